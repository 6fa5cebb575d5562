// The thread's message loop: accelerators of the nearest toolkit window, the dialog manager's keys
// for windows that use them, calls posted to the thread.
#include "ui/ui.h"

UiWindow* ui_accelerator_window(HWND hwnd)
{
    // GetParent yields the owner for an owned top-level window, so the search also climbs from
    // an owned popup to its owner.
    while (hwnd != nullptr) {
        UiObjectHead* object = ui_object_of(hwnd);
        if (object != nullptr && object->kind == UI_KIND_WINDOW) {
            return (UiWindow*)object;
        }
        hwnd = GetParent(hwnd);
    }
    return nullptr;
}

typedef void (*UiPostedCall)(void* argument);

static bool translate_accelerator(MSG* msg)
{
    UiWindow* window = ui_accelerator_window(msg->hwnd);
    if (window == nullptr || window->accelerators == nullptr) {
        return false;
    }
    return TranslateAcceleratorW(window->hwnd, window->accelerators, msg) != 0;
}

// Tab, Esc, Enter and the rest of the keyboard interface, as the system gives it to dialogs.
static bool dialog_message(MSG* msg)
{
    UiWindow* window = ui_accelerator_window(msg->hwnd);
    if (window == nullptr || !(window->flags & UI_DIALOG_KEYS)) {
        return false;
    }
    return IsDialogMessageW(window->hwnd, msg) != FALSE;
}

void ui_window_use_dialog_keys(UiWindow* window)
{
    window->flags |= UI_DIALOG_KEYS;
    LONG_PTR ex_style = GetWindowLongPtrW(window->hwnd, GWL_EXSTYLE);
    SetWindowLongPtrW(window->hwnd, GWL_EXSTYLE, ex_style | WS_EX_CONTROLPARENT);
    // As for a new dialog: focus cues show when the last input came from the keyboard.
    SendMessageW(window->hwnd, WM_CHANGEUISTATE, MAKEWPARAM(UIS_INITIALIZE, 0), 0);
}

void ui_message_loop()
{
    MSG msg;
    // -1 (an error) ends the loop as well: retrying would spin on the same failure.
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (msg.hwnd == nullptr) {
            if (msg.message == UI_MSG_CALL) {
                UiPostedCall call = (UiPostedCall)msg.wParam;
                if (call != nullptr) {
                    call((void*)msg.lParam);
                }
                continue;
            }
        } else if (translate_accelerator(&msg) || dialog_message(&msg)) {
            continue;
        }
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}
