// Shared fixture of the toolkit tests: registers the window class, runs at a chosen DPI,
// records every on_command call and cleans up windows and stray quit messages.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "ui/ui.h"

struct CommandLog {
    std::vector<uint32_t> commands;
    std::vector<UiWindow*> windows;
};

extern CommandLog command_log;

void record_command(UiWindow* window, uint32_t command);

class UiTest : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Creates a toolkit window (class registered by the fixture) with record_command installed.
    void make_window(UiWindow* window);
    // Creates a control of kind inside window and checks that it worked.
    void make_control(UiControl* control, uint32_t kind, UiWindow* window);
    // Destroys a window made with make_window before its object goes out of scope.
    void destroy(UiWindow* window);
    // Takes and clears the commands recorded so far.
    std::vector<uint32_t> take_commands();
    // Keeps hwnd to be destroyed at tear-down (windows the test makes without the toolkit).
    void adopt(HWND hwnd) { extra_windows.push_back(hwnd); }

    int32_t saved_dpi = 0;
    bool registered = false;
    std::vector<UiWindow*> windows;
    std::vector<HWND> extra_windows;
};
