// Process-wide state shared by the installer, the toolkit and the runtime.
#pragma once

#include <windows.h>
#include <stdint.h>

struct InstallerConfig;
struct AppState;

// A rectangle as (x, y, width, height). Logical units (1/96 inch) unless a caller says pixels.
struct UiRect {
    int32_t x;
    int32_t y;
    int32_t width;
    int32_t height;
};

// Bit 0 of ProcessGlobals.flags: the toolkit's window class is registered.
const uint32_t PROCESS_CLASS_REGISTERED = 1;

struct ProcessGlobals {
    HANDLE heap;                 // the process heap; every allocation of the program comes from it
    int32_t dpi;                 // DPI that logical coordinates are scaled by; 0 until installer_main sets it
    uint32_t flags;              // PROCESS_CLASS_REGISTERED
    InstallerConfig* config;
    AppState* app;
    UiRect window_rect;          // initial rectangle of every toolkit top-level window
    UiRect error_window_rect;
    UiRect error_icon_rect;
    UiRect error_icon_box;
};

extern ProcessGlobals process_globals;

// Starts the program at path (UTF-8) with command_line, in folder, with the caller's rights and
// the environment block environment (UTF-16; null: the caller's own), and does not wait for it.
// 0 when a process was created; 1 otherwise.
int process_start(const char* path, const char* command_line, const char* folder, const wchar_t* environment);
