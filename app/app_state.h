// Everything of the download mode, in one zero-filled heap record owned by installer_main.
#pragma once

#include <windows.h>
#include <stdint.h>

#include "ui/ui.h"

struct AppState {
    UiWindow splash;
    UiWindow error_window;
    UiControl error_icon;     // image kind
    UiControl message_label;  // label kind
    UiControl link_label;     // label kind, made a link
    HANDLE worker;            // download worker, null when none runs or after it was joined
    HANDLE splash_ready;      // manual-reset, set once the splash is shown (or known missing); until then the
                              // worker neither renders nor posts. Null: nothing holds the worker back
    volatile LONG splash_missing; // 1 when the splash could not be set up: the worker neither renders nor posts
    volatile uint32_t progress; // per mille, 0..1000
    int exit_code;            // of the download mode once its loop ends: 1 after a failure was shown
    ULONG_PTR gdiplus_token;
    RECT work_area;           // logical units at the true DPI
    int32_t true_dpi;
    RECT splash_work_area;    // logical units at the splash DPI
    HBITMAP background_bitmap;
    UiRect background_rect;
    HBITMAP cap_bitmap;
    UiRect cap_rect;
    UiAccessible* splash_access; // the splash's progress bar for screen readers, or null; released at tear-down
    bool splash_high_contrast;   // the bar is drawn in the system's colours, without the cap
};
