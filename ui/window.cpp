// Creating, moving, titling and measuring toolkit windows and controls.
#include "ui/ui.h"

#include "rt/heap.h"
#include "rt/text.h"

// Window texts are converted into a local array of this many UTF-16 units (plus the terminator)
// and only longer texts go through the heap.
static const int32_t TEXT_BUFFER_UNITS = 254;

int ui_register_class()
{
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    wc.style = 0;
    wc.lpfnWndProc = ui_window_proc;
    wc.cbClsExtra = 0;
    wc.cbWndExtra = 0;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hIcon = nullptr; // every window sets its own icons with WM_SETICON
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    // A system-colour brush that never shows: the window procedure paints the background itself.
    wc.hbrBackground = (HBRUSH)(INT_PTR)(COLOR_MENU + 1);
    wc.lpszMenuName = nullptr;
    wc.lpszClassName = UI_WINDOW_CLASS;
    wc.hIconSm = nullptr;
    return RegisterClassExW(&wc) != 0 ? 0 : 1;
}

void ui_unregister_class()
{
    // Fails only when a window of the class still exists or the class is unknown; nothing to do then.
    (void)UnregisterClassW(UI_WINDOW_CLASS, GetModuleHandleW(nullptr));
}

// The classes of kinds 10 to 16 come from the common controls, which must have registered them.
static void ensure_common_controls()
{
    static bool done = false;
    if (done) {
        return;
    }
    INITCOMMONCONTROLSEX icc = {};
    icc.dwSize = sizeof(icc);
    icc.dwICC = ICC_BAR_CLASSES | ICC_PROGRESS_CLASS | ICC_TAB_CLASSES | ICC_LISTVIEW_CLASSES |
                ICC_TREEVIEW_CLASSES | ICC_LINK_CLASS;
    // A failure shows up as a failed creation, which the caller reports.
    done = InitCommonControlsEx(&icc) != FALSE;
}

HWND ui_create_native(uint32_t kind, HWND parent, const UiRect* rect, uint32_t style, uint32_t ex_style,
                      void* create_param)
{
    if (kind >= UI_KIND_COUNT) {
        return nullptr;
    }
    if (kind >= UI_KIND_TRACKBAR) {
        ensure_common_controls();
    }
    int32_t dpi = ui_current_dpi();
    int32_t x = ui_scale(rect->x, dpi);
    int32_t y = ui_scale(rect->y, dpi);
    int32_t width = ui_scale(rect->width, dpi);
    int32_t height = ui_scale(rect->height, dpi);
    HINSTANCE instance = kind == UI_KIND_WINDOW ? GetModuleHandleW(nullptr) : nullptr;
    return CreateWindowExW(ex_style, ui_kinds[kind].class_name, L"", style, x, y, width, height, parent, nullptr,
                           instance, create_param);
}

void ui_default_command(UiWindow* window, uint32_t command)
{
}

int ui_window_create(UiWindow* window)
{
    window->kind = UI_KIND_WINDOW;
    window->on_command = ui_default_command;
    window->background_brush = CreateSolidBrush(RGB(255, 255, 255));
    // The window procedure binds the object (hwnd, user data, on_create) during WM_CREATE.
    HWND hwnd = ui_create_native(UI_KIND_WINDOW, nullptr, &process_globals.window_rect, 0, 0, window);
    return hwnd == nullptr ? 1 : 0;
}

int ui_control_create(UiControl* control, uint32_t kind, HWND parent)
{
    control->kind = kind;
    control->hwnd = nullptr;
    if (kind >= UI_KIND_COUNT) {
        return 1;
    }
    UiRect zero = {0, 0, 0, 0};
    const UiKindInfo* info = &ui_kinds[kind];
    HWND hwnd = ui_create_native(kind, parent, &zero, info->style | WS_CHILD, info->ex_style, nullptr);
    control->hwnd = hwnd;
    if (hwnd == nullptr) {
        return 1;
    }
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, (LONG_PTR)control);
    return 0;
}

int ui_label_create(UiControl* label, UiWindow* window)
{
    if (ui_control_create(label, UI_KIND_LABEL, window->hwnd) != 0) {
        return 1;
    }
    if (window->font != nullptr) {
        SendMessageW(label->hwnd, WM_SETFONT, (WPARAM)window->font, 0);
    }
    return 0;
}

int ui_move(void* object, int32_t x, int32_t y, int32_t width, int32_t height)
{
    HWND hwnd = ((UiObjectHead*)object)->hwnd;
    int32_t dpi = ui_current_dpi();
    // Null insert-after without SWP_NOZORDER: the window also comes to the top of the Z order.
    BOOL ok = SetWindowPos(hwnd, nullptr, ui_scale(x, dpi), ui_scale(y, dpi), ui_scale(width, dpi),
                           ui_scale(height, dpi), SWP_NOACTIVATE);
    return ok ? 0 : 1;
}

int ui_set_text(void* object, const char* text, int32_t length)
{
    HWND hwnd = ((UiObjectHead*)object)->hwnd;
    if (length == 0) {
        // The converter refuses an empty input; an empty title is still a valid request.
        return (int)SendMessageW(hwnd, WM_SETTEXT, 0, (LPARAM)L"");
    }
    wchar_t local[TEXT_BUFFER_UNITS + 1];
    int32_t units = TEXT_BUFFER_UNITS;
    wchar_t* wide = utf8_to_wide(local, &units, text, length);
    if (wide == nullptr) {
        return -1;
    }
    // Both the local array and a heap block have room for a terminator at index units.
    wide[units] = 0;
    int result = (int)SendMessageW(hwnd, WM_SETTEXT, 0, (LPARAM)wide);
    if (wide != local) {
        heap_free(wide);
    }
    return result;
}

void ui_get_rect(HWND hwnd, UiRect* out)
{
    RECT r = {};
    // A failed call leaves the zero rectangle.
    (void)GetWindowRect(hwnd, &r);
    out->x = r.left;
    out->y = r.top;
    out->width = r.right - r.left;
    out->height = r.bottom - r.top;
    HWND parent = GetParent(hwnd);
    if (parent != nullptr) {
        POINT corner = {r.left, r.top};
        (void)ScreenToClient(parent, &corner);
        out->x = corner.x;
        out->y = corner.y;
    }
}

bool ui_high_contrast()
{
    HIGHCONTRASTW contrast = {};
    contrast.cbSize = sizeof contrast;
    if (!SystemParametersInfoW(SPI_GETHIGHCONTRAST, sizeof contrast, &contrast, 0)) {
        return false; // a system that can't tell has no high contrast to follow
    }
    return (contrast.dwFlags & HCF_HIGHCONTRASTON) != 0;
}
