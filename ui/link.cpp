// The subclass that turns a label into a link: its own cursor, everything else unchanged.
#include "ui/ui.h"

void ui_label_make_link(UiControl* label, HCURSOR cursor)
{
    if (label->kind != UI_KIND_LABEL) {
        return;
    }
    label->label.cursor = cursor;
    // The subclass is never removed; it lives as long as the label.
    label->label.previous_proc =
        (WNDPROC)SetWindowLongPtrW(label->hwnd, GWLP_WNDPROC, (LONG_PTR)ui_link_proc);
}

LRESULT CALLBACK ui_link_proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam)
{
    UiControl* label = (UiControl*)GetWindowLongPtrW(hwnd, GWLP_USERDATA);
    if (label == nullptr || label->kind != UI_KIND_LABEL) {
        return 0;
    }
    if (message == WM_SETCURSOR && label->label.cursor != nullptr) {
        SetCursor(label->label.cursor);
        return TRUE;
    }
    return CallWindowProcW(label->label.previous_proc, label->hwnd, message, wparam, lparam);
}
