// Shared fixture of the toolkit tests: registers the window class, runs at a chosen DPI,
// records every on_command call and cleans up windows and stray quit messages.
#pragma once

#include <gtest/gtest.h>

#include <deque>
#include <vector>

#include "ui/ui.h"

struct CommandLog {
    std::vector<uint32_t> commands;
    std::vector<UiWindow*> senders;
};

extern CommandLog command_log;

void record_command(UiWindow* window, uint32_t command);

class UiTest : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Objects live in the fixture until after tear-down has destroyed their windows: the window
    // procedure reaches them for as long as the windows exist.
    // A toolkit window (class registered by the fixture) with record_command installed.
    UiWindow& new_window();
    // A zeroed control object, for creation by the test itself.
    UiControl& blank_control();
    // A control of kind inside window.
    UiControl& new_control(uint32_t kind, UiWindow& window);
    void destroy(UiWindow* window);
    // Takes and clears the commands recorded so far.
    std::vector<uint32_t> take_commands();
    // Keeps hwnd to be destroyed at tear-down (windows the test makes without the toolkit).
    void adopt(HWND hwnd) { extra_windows.push_back(hwnd); }

    int32_t saved_dpi = 0;
    bool registered = false;
    std::deque<UiWindow> windows;
    std::deque<UiControl> controls;
    std::vector<HWND> extra_windows;
};
