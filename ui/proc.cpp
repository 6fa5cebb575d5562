// The one window procedure of the toolkit's window class: binds each window to its UiWindow and
// turns messages into callbacks and commands of that object.
#include "ui/ui.h"

#include "rt/heap.h"

UiObjectHead* ui_object_of(HWND hwnd)
{
    if (hwnd == nullptr) {
        return nullptr;
    }
    UiObjectHead* object = (UiObjectHead*)GetWindowLongPtrW(hwnd, GWLP_USERDATA);
    if (object == nullptr || object->hwnd != hwnd) {
        return nullptr;
    }
    return object;
}

static void fire(UiWindow* window, uint32_t command)
{
    window->on_command(window, command);
}

static LRESULT bind_window(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam)
{
    if (message == WM_CREATE) {
        const CREATESTRUCTW* create = (const CREATESTRUCTW*)lparam;
        UiWindow* window = (UiWindow*)create->lpCreateParams;
        // A window of this class made without an object stays unbound and gets default processing.
        if (window != nullptr) {
            window->hwnd = hwnd;
            SetWindowLongPtrW(hwnd, GWLP_USERDATA, (LONG_PTR)window);
            if (window->on_create != nullptr) {
                window->on_create(window);
            }
        }
    }
    return DefWindowProcW(hwnd, message, wparam, lparam);
}

// Returns true when the activation was answered by restoring the focus (result 0).
static bool on_activate(UiWindow* window, WPARAM wparam)
{
    if (wparam == WA_INACTIVE) {
        window->saved_focus = GetFocus();
        return false;
    }
    if (wparam != WA_ACTIVE && wparam != WA_CLICKACTIVE) {
        return false; // activated or deactivated while minimised
    }
    if (window->activate_command != 0) {
        fire(window, window->activate_command);
    }
    if (window->saved_focus == nullptr) {
        return false;
    }
    // SetFocus returns the previous focus, or null also when it failed; nothing to do either way.
    (void)SetFocus(window->saved_focus);
    window->saved_focus = nullptr;
    return true;
}

// Returns true when the command was taken over (result 0, no default processing).
static bool on_syscommand(UiWindow* window, WPARAM wparam)
{
    switch (wparam & 0xFFF0) {
    case SC_MAXIMIZE:
        fire(window, window->maximize_command);
        return false;
    case SC_CLOSE:
        fire(window, window->close_command);
        if (window->flags & UI_HIDE_ON_CLOSE) {
            ShowWindow(window->hwnd, SW_HIDE);
            return true;
        }
        return false;
    case SC_MINIMIZE:
        if (window->minimize_command != 0) {
            fire(window, window->minimize_command);
            return true;
        }
        return false;
    default:
        return false;
    }
}

static bool system_colors(const UiWindow* window)
{
    return (window->flags & UI_SYSTEM_COLORS) != 0;
}

// What the window's background is painted with.
static HBRUSH background_brush(const UiWindow* window)
{
    return system_colors(window) ? GetSysColorBrush(COLOR_WINDOW) : window->background_brush;
}

// The brush to answer WM_CTLCOLORSTATIC with, or null for default processing.
static HBRUSH on_ctlcolor_static(const UiWindow* window, HDC dc, HWND control_hwnd)
{
    UiControl* control = (UiControl*)ui_object_of(control_hwnd);
    if (control == nullptr) {
        return nullptr;
    }
    bool system = system_colors(window);
    if (control->kind == UI_KIND_LABEL || control->kind == UI_KIND_LINK) {
        if (system) {
            SetTextColor(dc, GetSysColor(control->kind == UI_KIND_LINK ? COLOR_HOTLIGHT : COLOR_WINDOWTEXT));
        } else if (control->label.text_color != 0) {
            SetTextColor(dc, control->label.text_color);
        }
        SetBkMode(dc, TRANSPARENT);
        // A link repaints itself alone when its focus cue comes and goes: it needs the window's
        // background under it, where a label's text is drawn over what the window painted.
        return control->kind == UI_KIND_LINK ? background_brush(window) : (HBRUSH)GetStockObject(NULL_BRUSH);
    }
    if (control->kind == UI_KIND_IMAGE) {
        return system ? GetSysColorBrush(COLOR_WINDOW) : control->image.background_brush;
    }
    return nullptr;
}

// WM_COMMAND from the dialog manager: Esc (IDCANCEL) is the close button; Enter (IDOK) outside a
// control that takes it has no default action here. True when taken.
static bool on_dialog_command(UiWindow* window, WPARAM wparam, LPARAM lparam)
{
    if (!(window->flags & UI_DIALOG_KEYS) || lparam != 0 || HIWORD(wparam) != 0) {
        return false;
    }
    if (LOWORD(wparam) == IDCANCEL) {
        SendMessageW(window->hwnd, WM_SYSCOMMAND, SC_CLOSE, 0);
        return true;
    }
    return LOWORD(wparam) == IDOK;
}

static void on_drop_files(UiWindow* window, HDROP drop)
{
    if (window->on_drop_files != nullptr) {
        UiDropFiles files = {drop, 0, nullptr};
        window->on_drop_files(window, &files);
        heap_free(files.path);
    }
    DragFinish(drop);
}

static void on_hotkey(UiWindow* window, WPARAM id)
{
    for (uint32_t i = 0; i < window->hotkey_count; ++i) {
        if ((WPARAM)window->hotkeys[i].id == id) {
            fire(window, window->hotkeys[i].command);
            return;
        }
    }
}

static void on_tray(UiWindow* window, WPARAM id, LPARAM mouse_message)
{
    UiTrayIcon* tray = window->tray_icon;
    if (tray == nullptr || id != (WPARAM)tray->icon.uID) {
        return;
    }
    if (mouse_message == WM_LBUTTONUP) {
        if (tray->click_command != 0) {
            fire(window, tray->click_command);
        }
    } else if (mouse_message == WM_RBUTTONUP) {
        if (tray->menu != nullptr) {
            ui_show_popup_menu(window, tray->menu);
        }
    }
}

void ui_show_popup_menu(UiWindow* window, const UiMenu* menu)
{
    // A window in the background would not get the menu's choice or dismissal right.
    (void)SetForegroundWindow(window->hwnd);
    POINT cursor = {0, 0};
    (void)GetCursorPos(&cursor);
    // Flags 0: top-left corner at the cursor, left button; the choice arrives as WM_COMMAND.
    (void)TrackPopupMenuEx(menu->handle, 0, cursor.x, cursor.y, window->hwnd, nullptr);
}

LRESULT CALLBACK ui_window_proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam)
{
    UiWindow* window = (UiWindow*)GetWindowLongPtrW(hwnd, GWLP_USERDATA);
    if (window == nullptr) {
        return bind_window(hwnd, message, wparam, lparam);
    }
    switch (message) {
    case WM_DESTROY:
        if (window->accessible != nullptr) {
            ui_accessible_disconnect(window->accessible);
        }
        if (window->on_destroy != nullptr) {
            window->on_destroy(window);
        }
        if (window->flags & UI_QUIT_ON_DESTROY) {
            PostQuitMessage(0);
        }
        break;
    case WM_SIZE:
        if (lparam != 0) {
            ui_layout_rows(window);
        }
        break;
    case WM_ACTIVATE:
        if (on_activate(window, wparam)) {
            return 0;
        }
        break;
    case WM_PAINT:
        if (window->on_paint != nullptr) {
            window->on_paint(window);
        }
        break;
    case WM_QUERYENDSESSION:
        fire(window, window->close_command);
        break;
    case WM_ERASEBKGND: {
        RECT client = {};
        (void)GetClientRect(hwnd, &client);
        (void)FillRect((HDC)wparam, &client, background_brush(window));
        return 1;
    }
    case WM_WINDOWPOSCHANGING:
        if (window->snap_distance != 0) {
            ui_snap_to_work_area(window, (WINDOWPOS*)lparam);
        }
        break;
    case WM_NOTIFY:
        ui_on_notify(window, (const NMHDR*)lparam);
        break;
    case WM_COMMAND:
        if (on_dialog_command(window, wparam, lparam)) {
            return 0;
        }
        ui_on_command_message(window, wparam, lparam);
        break;
    case WM_SYSCOMMAND:
        if (on_syscommand(window, wparam)) {
            return 0;
        }
        break;
    case WM_HSCROLL:
    case WM_VSCROLL:
        ui_on_scroll(window, wparam, lparam);
        break;
    case WM_CTLCOLORSTATIC: {
        HBRUSH brush = on_ctlcolor_static(window, (HDC)wparam, (HWND)lparam);
        if (brush != nullptr) {
            return (LRESULT)brush;
        }
        break;
    }
    case WM_DROPFILES:
        on_drop_files(window, (HDROP)wparam);
        break;
    case WM_HOTKEY:
        on_hotkey(window, wparam);
        break;
    case WM_USER:
        if (window->on_user_message != nullptr) {
            window->on_user_message(window, wparam, lparam);
        }
        break;
    case UI_MSG_TRAY:
        on_tray(window, wparam, lparam);
        break;
    case WM_SETTINGCHANGE:
    case WM_SYSCOLORCHANGE:
        if (window->on_settings_change != nullptr) {
            window->on_settings_change(window);
        }
        break;
    case WM_GETOBJECT:
        // The object id travels as a 32-bit value; a 64-bit lParam may carry it sign-extended or not.
        if (window->accessible != nullptr && (DWORD)lparam == (DWORD)OBJID_CLIENT) {
            LRESULT answer = ui_accessible_answer(window->accessible, wparam);
            if (answer != 0) {
                return answer;
            }
        }
        break;
    default:
        break;
    }
    return DefWindowProcW(hwnd, message, wparam, lparam);
}
