// The toolkit: window and control objects bound to native windows, one shared window procedure,
// the message loop, layout rows and edge snapping. Coordinates handed in are logical (1/96 inch)
// and scaled by process_globals.dpi. Knows nothing of any application built on it.
#pragma once

#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>
#include <stdint.h>

#include "rt/process.h"

// ---- control kinds -------------------------------------------------------------------------

enum ControlKind : uint32_t {
    UI_KIND_NONE = 0,
    UI_KIND_WINDOW = 1,
    UI_KIND_LABEL = 2,
    UI_KIND_IMAGE = 3,
    UI_KIND_EDITBOX = 4,
    UI_KIND_TEXT = 5,
    UI_KIND_COMBOBOX = 6,
    UI_KIND_BUTTON = 7,
    UI_KIND_CHECKBOX = 8,
    UI_KIND_RADIOBUTTON = 9,
    UI_KIND_TRACKBAR = 10,
    UI_KIND_PROGRESSBAR = 11,
    UI_KIND_STATUS_BAR = 12,
    UI_KIND_TAB = 13,
    UI_KIND_LISTVIEW = 14,
    UI_KIND_TREEVIEW = 15,
    UI_KIND_LINK = 16,        // the common controls' SysLink: a focusable link, Enter and Space open it
    UI_KIND_COUNT = 17,
};

struct UiKindInfo {
    const char* name;          // the kind's name in the program's vocabulary
    const wchar_t* class_name; // system window class
    uint32_t style;
    uint32_t ex_style;
};

extern const UiKindInfo ui_kinds[UI_KIND_COUNT];

// The toolkit's window class, registered by the application before its first window.
extern const wchar_t UI_WINDOW_CLASS[];

// ---- records -------------------------------------------------------------------------------

// UiWindow.flags
const uint8_t UI_QUIT_ON_DESTROY = 1;
const uint8_t UI_HIDE_ON_CLOSE = 2;
// The dialog manager's keys (ui_window_use_dialog_keys): Tab moves the focus between WS_TABSTOP
// controls, Esc acts as the close button. IDOK and IDCANCEL are then no menu commands of the window.
const uint8_t UI_DIALOG_KEYS = 4;
// Background, labels and links in the system's colours (COLOR_WINDOW, COLOR_WINDOWTEXT,
// COLOR_HOTLIGHT) rather than the window's own: what a high-contrast user has chosen.
const uint8_t UI_SYSTEM_COLORS = 8;
// trackbar flags
const uint8_t UI_TRACKING = 1;
// layout flags
const uint8_t UI_LAYOUT_ANCHOR_RIGHT = 1;
const uint8_t UI_LAYOUT_FILL_WIDTH = 4;
const uint8_t UI_LAYOUT_FILL_HEIGHT = 8;

// Message numbers of the toolkit.
const UINT UI_MSG_TRAY = WM_USER + 1000; // notification-area callback: wParam uID, lParam mouse message
const UINT UI_MSG_CALL = WM_APP + 1;     // thread message: wParam void (*)(void*), lParam its argument

struct UiWindow;
struct UiControl;
struct UiLayoutRow;
struct UiAccessible;

struct UiHotkey {
    uint32_t id;      // identifier the hotkey was registered under (wParam of WM_HOTKEY)
    uint32_t command;
};

// Popup menu; the window procedure uses only the handle.
struct UiMenu {
    HMENU handle;
};

// NOTIFYICONDATAW up to and including guidItem (the version-3 layout).
struct UiNotifyIconData {
    DWORD cbSize;
    HWND hWnd;
    UINT uID;
    UINT uFlags;
    UINT uCallbackMessage;
    HICON hIcon;
    WCHAR szTip[128];
    DWORD dwState;
    DWORD dwStateMask;
    WCHAR szInfo[256];
    union {
        UINT uTimeout;
        UINT uVersion;
    };
    WCHAR szInfoTitle[64];
    DWORD dwInfoFlags;
    GUID guidItem;
};

struct UiTrayIcon {
    UiNotifyIconData icon;
    UiMenu* menu;           // popup menu of a right click, or null
    uint32_t click_command; // sent on a left click
};

// Built on the stack for one on_drop_files call. A non-null path left by the callback is freed
// (heap_free) by the window procedure afterwards.
struct UiDropFiles {
    HDROP drop;
    int32_t index; // 0 on entry, free for the callback's use
    char* path;
};

typedef void (*UiWindowCallback)(UiWindow* window);
typedef void (*UiCommandCallback)(UiWindow* window, uint32_t command);
typedef void (*UiDropFilesCallback)(UiWindow* window, UiDropFiles* drop);
typedef void (*UiUserMessageCallback)(UiWindow* window, WPARAM wparam, LPARAM lparam);

struct UiWindow {
    HWND hwnd;
    uint32_t kind;                    // always UI_KIND_WINDOW
    HFONT font;                       // given to every label created in this window
    HBRUSH background_brush;          // fills the client area on WM_ERASEBKGND
    uint8_t flags;                    // UI_QUIT_ON_DESTROY, UI_HIDE_ON_CLOSE
    uint8_t snap_distance;            // logical pixels; 0: no snapping
    HWND saved_focus;
    UiTrayIcon* tray_icon;
    UiLayoutRow* layout;
    UiControl* status_bar;            // a control of kind UI_KIND_STATUS_BAR, or null
    HACCEL accelerators;
    uint32_t hotkey_count;
    UiHotkey* hotkeys;
    UiWindowCallback on_create;
    UiWindowCallback on_destroy;
    UiCommandCallback on_command;     // never null once created
    UiDropFilesCallback on_drop_files;
    UiWindowCallback on_paint;
    UiUserMessageCallback on_user_message;
    uint32_t close_command;
    uint32_t minimize_command;
    uint32_t maximize_command;
    uint32_t activate_command;
    UiAccessible* accessible;         // answers WM_GETOBJECT for the client area; owned by the caller, or null
    UiWindowCallback on_settings_change; // WM_SETTINGCHANGE, WM_SYSCOLORCHANGE (high contrast on or off)
};

// Fields after the head, by kind. Links (UI_KIND_LINK) use the label's fields (not the cursor).
struct UiLabelFields {
    HFONT font;            // kept so that it lives as long as the label; the toolkit does not read it
    HCURSOR cursor;        // shown over a link label, or null
    COLORREF text_color;   // 0 keeps the default colour
    uint32_t click_command;
    uint32_t double_click_command;
    WNDPROC previous_proc; // the procedure that ui_link_proc replaced
};

struct UiImageFields {
    HBRUSH background_brush;
};

struct UiEditFields {
    uint32_t change_command;
    uint32_t focus_command;
};

struct UiComboboxFields {
    uint32_t select_command;
    uint32_t dropdown_command;
    uint32_t edit_change_command;
    uint32_t edit_update_command;
};

struct UiButtonFields {
    uint32_t click_command;
};

struct UiTrackbarFields {
    uint32_t end_command;
    uint32_t change_command;
    uint8_t flags; // UI_TRACKING
};

struct UiTabFields {
    uint32_t select_command;
};

struct UiListviewFields {
    UiMenu* menu;
    uint32_t select_command;
    uint32_t click_command;
    uint32_t activate_command;
    uint32_t column_command;
    uint32_t edit_command;
    uint32_t check_command;
    intptr_t event_data; // an item index, a column index or a UTF-8 text handed along with a command
};

struct UiTreeviewFields {
    uint32_t select_command;
};

struct UiControl {
    HWND hwnd;
    uint32_t kind;
    union {
        UiLabelFields label;       // label and link
        UiImageFields image;
        UiEditFields edit;         // editbox and text
        UiComboboxFields combobox;
        UiButtonFields button;
        UiTrackbarFields trackbar;
        UiTabFields tab;
        UiListviewFields listview;
        UiTreeviewFields treeview;
    };
};

// The head every toolkit object starts with (UiWindow, UiControl).
struct UiObjectHead {
    HWND hwnd;
    uint32_t kind;
};

struct UiLayoutRow {
    void* first; // any object whose first field is the window handle (UiControl, UiWindow), or null
    uint8_t first_flags;
    void* second;
    uint8_t second_flags;
    UiLayoutRow* next;
};

// ---- window and control objects ------------------------------------------------------------

// Registers UI_WINDOW_CLASS for the program's module; 0 on success, 1 on failure.
int ui_register_class();
void ui_unregister_class();

HWND ui_create_native(uint32_t kind, HWND parent, const UiRect* rect, uint32_t style, uint32_t ex_style,
                      void* create_param);
int ui_window_create(UiWindow* window);
int ui_control_create(UiControl* control, uint32_t kind, HWND parent);
int ui_label_create(UiControl* label, UiWindow* window);
void ui_label_make_link(UiControl* label, HCURSOR cursor);
// A SysLink control in window, in the window's font; 0 or 1.
int ui_link_create(UiControl* link, UiWindow* window);
// Sets a link's text: the whole text is the one link (markup characters in it are not escaped).
// The result of WM_SETTEXT, or -1 when the text can't be converted.
int ui_link_set_text(UiControl* link, const char* text, int32_t length);
// The width in pixels that a link's text takes in its font, at most max_width (also when the
// control can't tell).
int32_t ui_link_ideal_width(const UiControl* link, int32_t max_width);
// Turns on the dialog manager's keys for window (UI_DIALOG_KEYS, WS_EX_CONTROLPARENT), and lets the
// system decide from the last input whether focus cues show, as it does for a dialog.
void ui_window_use_dialog_keys(UiWindow* window);
// True when the user has turned high contrast on.
bool ui_high_contrast();
// object: any toolkit object (its first field is the window handle).
int ui_move(void* object, int32_t x, int32_t y, int32_t width, int32_t height);
int ui_set_text(void* object, const char* text, int32_t length);
void ui_get_rect(HWND hwnd, UiRect* out);
void ui_center_rect(const RECT* outer, UiRect* inner);
void rect_to_logical(int32_t values[4]);
void ui_default_command(UiWindow* window, uint32_t command);
LRESULT CALLBACK ui_link_proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);

// Pure arithmetic, usable without a window.
int32_t ui_scale(int32_t value, int32_t dpi);   // (value * dpi) / 96, product wrapping at 32 bits
int32_t ui_unscale(int32_t value, int32_t dpi); // (value * 96) / dpi; dpi 0 counts as 96
// process_globals.dpi, or 96 while it is still 0 (unread).
int32_t ui_current_dpi();

// ---- window procedure and loop -------------------------------------------------------------

LRESULT CALLBACK ui_window_proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
void ui_message_loop();

// The toolkit object bound to hwnd (from its user-data slot), or null when the slot is empty or
// holds something whose window handle is not hwnd.
UiObjectHead* ui_object_of(HWND hwnd);
// The nearest toolkit top-level window at or above hwnd, going up through parents and owners;
// null when a window without parent or owner is reached first.
UiWindow* ui_accelerator_window(HWND hwnd);

// Control notifications arriving at a toolkit window; each fires commands of window.
void ui_on_command_message(UiWindow* window, WPARAM wparam, LPARAM lparam);
void ui_on_notify(UiWindow* window, const NMHDR* header);
void ui_on_scroll(UiWindow* window, WPARAM wparam, LPARAM lparam);
// Shows menu at the cursor; the chosen item comes back to window as WM_COMMAND with lParam 0.
void ui_show_popup_menu(UiWindow* window, const UiMenu* menu);

// ---- accessibility ---------------------------------------------------------------------------

// A minimal accessible object (IAccessible) for a window's client area that the window draws as one
// element, such as a progress bar on a card: its role and state, the window's title as its name,
// its location, and a value "N%". Reference-counted; the creator holds one reference.
// Null when memory runs out.
UiAccessible* ui_accessible_create(HWND hwnd, LONG role, LONG state, uint32_t percent);
// Drops the creator's reference; clients that still hold one keep the object until they let go.
void ui_accessible_release(UiAccessible* object);
// Sets the value to percent (at most 100) and, when the whole percentage changed, raises
// EVENT_OBJECT_VALUECHANGE for the window's client area. Any thread.
void ui_accessible_set_percent(UiAccessible* object, uint32_t percent);
// The window is going: from now on the object answers that it is disconnected.
void ui_accessible_disconnect(UiAccessible* object);
// WM_GETOBJECT's answer for the client area (LresultFromObject), or 0 when it can't be made, which
// leaves the window to the system's standard object.
LRESULT ui_accessible_answer(UiAccessible* object, WPARAM wparam);
// The object as a COM interface pointer (IAccessible), for in-process callers; no reference added.
IUnknown* ui_accessible_interface(UiAccessible* object);

// ---- layout and snapping -------------------------------------------------------------------

void ui_layout_rows(UiWindow* window);
void ui_snap_to_work_area(UiWindow* window, WINDOWPOS* pos);

// Where one laid-out control goes: SetWindowPos arguments (SWP_NOMOVE in flags when it keeps its place).
struct UiLayoutPlacement {
    int32_t x;
    int32_t y;
    int32_t width;
    int32_t height;
    uint32_t flags;
};

// One row of the layout in pixels: right and bottom are the usable client edges, first and second
// the controls' current rectangles (null when absent; the matching placement is then not written).
void ui_layout_place_row(int32_t right, int32_t bottom, const UiRect* first, uint8_t first_flags,
                         const UiRect* second, uint8_t second_flags, UiLayoutPlacement* first_out,
                         UiLayoutPlacement* second_out);
// Pulls pos onto the edges of work_area that lie within distance pixels; left beats right and
// top beats bottom; the size is never changed.
void ui_snap_position(const RECT* work_area, int32_t distance, WINDOWPOS* pos);
