// Links: labels that look and act as links under the mouse, and the system's link control, which
// also takes the keyboard focus, opens with Enter and Space and tells screen readers it is a link.
#include "ui/ui.h"

#include "rt/heap.h"
#include "rt/text.h"

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

// The link control opens with Enter (NM_RETURN) but not everywhere with Space, which users expect of
// anything they can press: Space goes no further than here and reports the click the control
// reports for the mouse, once per press (not again while the key repeats).
static LRESULT CALLBACK link_control_proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam)
{
    UiControl* link = (UiControl*)GetWindowLongPtrW(hwnd, GWLP_USERDATA);
    if (link == nullptr || link->kind != UI_KIND_LINK || link->label.previous_proc == nullptr) {
        return DefWindowProcW(hwnd, message, wparam, lparam);
    }
    bool space = wparam == VK_SPACE && (message == WM_KEYDOWN || message == WM_KEYUP);
    if (space || (message == WM_CHAR && wparam == L' ')) {
        bool first_press = message == WM_KEYDOWN && (lparam & (1 << 30)) == 0;
        if (first_press) {
            NMLINK click = {};
            click.hdr.hwndFrom = hwnd;
            click.hdr.idFrom = (UINT_PTR)GetDlgCtrlID(hwnd);
            click.hdr.code = NM_CLICK;
            SendMessageW(GetParent(hwnd), WM_NOTIFY, click.hdr.idFrom, (LPARAM)&click);
        }
        return 0;
    }
    return CallWindowProcW(link->label.previous_proc, hwnd, message, wparam, lparam);
}

int ui_link_create(UiControl* link, UiWindow* window)
{
    if (ui_control_create(link, UI_KIND_LINK, window->hwnd) != 0) {
        return 1;
    }
    // The subclass is never removed; it lives as long as the link.
    link->label.previous_proc =
        (WNDPROC)SetWindowLongPtrW(link->hwnd, GWLP_WNDPROC, (LONG_PTR)link_control_proc);
    if (window->font != nullptr) {
        SendMessageW(link->hwnd, WM_SETFONT, (WPARAM)window->font, 0);
    }
    return 0;
}

static const wchar_t LINK_OPEN[] = L"<a>";
static const wchar_t LINK_CLOSE[] = L"</a>";
static const int32_t LINK_OPEN_UNITS = 3;
static const int32_t LINK_CLOSE_UNITS = 4;
static const int32_t LINK_TEXT_UNITS = 254;

int ui_link_set_text(UiControl* link, const char* text, int32_t length)
{
    // The markup goes around the text in one buffer: the converted text lands after the opening
    // tag, and both the local array and a heap block have room for the closing tag and terminator.
    wchar_t local[LINK_OPEN_UNITS + LINK_TEXT_UNITS + LINK_CLOSE_UNITS + 1];
    int32_t units = LINK_TEXT_UNITS;
    wchar_t* wide = nullptr;
    if (length > 0) {
        wide = utf8_to_wide(local + LINK_OPEN_UNITS, &units, text, length);
        if (wide == nullptr) {
            return -1;
        }
    } else {
        units = 0;
    }
    wchar_t* whole = local;
    if (wide != nullptr && wide != local + LINK_OPEN_UNITS) {
        whole = (wchar_t*)heap_alloc((size_t)(LINK_OPEN_UNITS + units + LINK_CLOSE_UNITS + 1) * sizeof(wchar_t));
        if (whole == nullptr) {
            heap_free(wide);
            return -1;
        }
        for (int32_t i = 0; i < units; ++i) {
            whole[LINK_OPEN_UNITS + i] = wide[i];
        }
        heap_free(wide);
    }
    for (int32_t i = 0; i < LINK_OPEN_UNITS; ++i) {
        whole[i] = LINK_OPEN[i];
    }
    for (int32_t i = 0; i <= LINK_CLOSE_UNITS; ++i) { // the terminator too
        whole[LINK_OPEN_UNITS + units + i] = LINK_CLOSE[i];
    }
    int result = (int)SendMessageW(link->hwnd, WM_SETTEXT, 0, (LPARAM)whole);
    if (whole != local) {
        heap_free(whole);
    }
    if (GetFocus() == link->hwnd) {
        // New text forgets which link had the focus: Enter would then do nothing until the next Tab.
        LITEM item = {};
        item.mask = LIF_ITEMINDEX | LIF_STATE;
        item.iLink = 0;
        item.state = LIS_FOCUSED | LIS_ENABLED;
        item.stateMask = LIS_FOCUSED | LIS_ENABLED;
        (void)SendMessageW(link->hwnd, LM_SETITEM, 0, (LPARAM)&item);
    }
    return result;
}

// LM_GETIDEALSIZE (Vista and later): the message of LM_GETIDEALHEIGHT with a SIZE to fill.
static const UINT LINK_GET_IDEAL_SIZE = LM_GETIDEALHEIGHT;

int32_t ui_link_ideal_width(const UiControl* link, int32_t max_width)
{
    SIZE size = {0, 0};
    (void)SendMessageW(link->hwnd, LINK_GET_IDEAL_SIZE, (WPARAM)max_width, (LPARAM)&size);
    return size.cx > 0 && size.cx < max_width ? size.cx : max_width;
}
