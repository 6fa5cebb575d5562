// Window and control objects against real windows: class, creation, kinds, moving, texts, links.
#include "tests/ui/ui_test_support.h"

#include <string>

CommandLog command_log;

void record_command(UiWindow* window, uint32_t command)
{
    command_log.commands.push_back(command);
    command_log.senders.push_back(window);
}

void UiTest::SetUp()
{
    saved_dpi = process_globals.dpi;
    process_globals.dpi = 96;
    registered = ui_register_class() == 0;
    ASSERT_TRUE(registered);
    command_log = CommandLog();
}

void UiTest::TearDown()
{
    for (HWND hwnd : extra_windows) {
        if (IsWindow(hwnd)) {
            DestroyWindow(hwnd);
        }
    }
    for (UiWindow& window : windows) {
        if (window.hwnd != nullptr && IsWindow(window.hwnd)) {
            DestroyWindow(window.hwnd);
        }
    }
    if (registered) {
        // Fails (1412) when a window of the class outlived its test.
        BOOL ok = UnregisterClassW(UI_WINDOW_CLASS, GetModuleHandleW(nullptr));
        DWORD error = GetLastError();
        EXPECT_TRUE(ok) << "error " << error;
    }
    // Windows destroyed with UI_QUIT_ON_DESTROY leave a quit message that would end the next loop.
    MSG msg;
    while (PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
    }
    process_globals.dpi = saved_dpi;
}

UiWindow& UiTest::new_window()
{
    windows.emplace_back();
    UiWindow& window = windows.back();
    EXPECT_EQ(ui_window_create(&window), 0);
    window.on_command = record_command;
    return window;
}

UiControl& UiTest::blank_control()
{
    controls.emplace_back();
    return controls.back();
}

UiControl& UiTest::new_control(uint32_t kind, UiWindow& window)
{
    UiControl& control = blank_control();
    EXPECT_EQ(ui_control_create(&control, kind, window.hwnd), 0) << "kind " << kind;
    return control;
}

void UiTest::destroy(UiWindow* window)
{
    DestroyWindow(window->hwnd);
}

std::vector<uint32_t> UiTest::take_commands()
{
    std::vector<uint32_t> taken = command_log.commands;
    command_log = CommandLog();
    return taken;
}

using UiWindowTest = UiTest;

TEST(UiClass, RegistersTheToolkitClassOnce)
{
    ASSERT_EQ(ui_register_class(), 0);
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    ASSERT_TRUE(GetClassInfoExW(GetModuleHandleW(nullptr), L"QUORVEL_WI_WNDCLASS", &wc));
    EXPECT_EQ(wc.style, 0u);
    EXPECT_EQ(wc.lpfnWndProc, ui_window_proc);
    EXPECT_EQ(wc.cbClsExtra, 0);
    EXPECT_EQ(wc.cbWndExtra, 0);
    EXPECT_EQ(wc.hIcon, nullptr);
    EXPECT_EQ(wc.hCursor, LoadCursorW(nullptr, IDC_ARROW));
    EXPECT_EQ(wc.hbrBackground, (HBRUSH)(INT_PTR)5);
    EXPECT_EQ(wc.lpszMenuName, nullptr);
    EXPECT_EQ(ui_register_class(), 1) << "a second registration must fail";
    ui_unregister_class();
    EXPECT_FALSE(GetClassInfoExW(GetModuleHandleW(nullptr), L"QUORVEL_WI_WNDCLASS", &wc));
}

static UiWindow* created_window;
static HWND created_hwnd;
static void remember_create(UiWindow* window)
{
    created_window = window;
    created_hwnd = window->hwnd;
    // Bound before on_create runs: the user-data slot already leads back to the object.
    EXPECT_EQ((UiWindow*)GetWindowLongPtrW(window->hwnd, GWLP_USERDATA), window);
}

TEST_F(UiWindowTest, CreatesAHiddenBoundWindowAtTheOriginAtEveryDpi)
{
    for (int32_t dpi : {96, 120, 144, 192}) {
        SCOPED_TRACE(dpi);
        process_globals.dpi = dpi;
        UiWindow window = {};
        window.on_create = remember_create;
        created_window = nullptr;
        ASSERT_EQ(ui_window_create(&window), 0);
        EXPECT_EQ(created_window, &window);
        EXPECT_EQ(created_hwnd, window.hwnd);
        EXPECT_EQ(window.kind, 1u);
        EXPECT_EQ(window.on_command, ui_default_command);
        EXPECT_NE(window.background_brush, nullptr);
        EXPECT_FALSE(IsWindowVisible(window.hwnd));
        RECT r;
        GetWindowRect(window.hwnd, &r);
        EXPECT_EQ(r.left, 0);
        EXPECT_EQ(r.top, 0);
        // CW_USEDEFAULT scales to 0 at even DPIs; the system may still widen an overlapped
        // window to its minimum tracking size, so only "not the default size" is asserted.
        EXPECT_LT(r.right - r.left, GetSystemMetrics(SM_CXSCREEN) / 2);
        DestroyWindow(window.hwnd);
    }
}

TEST(UiWindowFailure, UnregisteredClassFailsButPreparesTheObject)
{
    UiWindow window = {};
    ASSERT_EQ(ui_window_create(&window), 1);
    EXPECT_EQ(window.hwnd, nullptr);
    EXPECT_EQ(window.on_command, ui_default_command);
    EXPECT_NE(window.background_brush, nullptr);
}

TEST_F(UiWindowTest, CreatesEveryKindHiddenWithItsClassAndStyles)
{
    UiWindow& window = new_window();
    UiControl* controls[UI_KIND_COUNT] = {};
    for (uint32_t kind = UI_KIND_LABEL; kind < UI_KIND_COUNT; ++kind) {
        SCOPED_TRACE(ui_kinds[kind].name);
        UiControl* control = &blank_control();
        controls[kind] = control;
        ASSERT_EQ(ui_control_create(control, kind, window.hwnd), 0);
        EXPECT_EQ(control->kind, kind);
        EXPECT_EQ((UiControl*)GetWindowLongPtrW(control->hwnd, GWLP_USERDATA), control);
        wchar_t class_name[64];
        GetClassNameW(control->hwnd, class_name, 64);
        EXPECT_EQ(lstrcmpiW(class_name, ui_kinds[kind].class_name), 0);
        DWORD style = (DWORD)GetWindowLongPtrW(control->hwnd, GWL_STYLE);
        EXPECT_EQ(style & ui_kinds[kind].style, ui_kinds[kind].style);
        EXPECT_TRUE(style & WS_CHILD);
        EXPECT_FALSE(style & WS_VISIBLE);
        // The combo box draws its own edge and drops the client edge it was created with.
        DWORD ex_style = (DWORD)GetWindowLongPtrW(control->hwnd, GWL_EXSTYLE);
        if (kind != UI_KIND_COMBOBOX) {
            EXPECT_EQ(ex_style & ui_kinds[kind].ex_style, ui_kinds[kind].ex_style);
        }
        EXPECT_EQ(GetDlgCtrlID(control->hwnd), 0);
        EXPECT_EQ(GetParent(control->hwnd), window.hwnd);
    }
    // Controls that do not size themselves start with no size at all.
    for (uint32_t kind : {UI_KIND_LABEL, UI_KIND_EDITBOX, UI_KIND_BUTTON, UI_KIND_LISTVIEW}) {
        UiRect r;
        ui_get_rect(controls[kind]->hwnd, &r);
        EXPECT_EQ(r.width, 0) << ui_kinds[kind].name;
        EXPECT_EQ(r.height, 0) << ui_kinds[kind].name;
    }
}

TEST_F(UiWindowTest, KindsWithoutAClassFail)
{
    UiWindow& window = new_window();
    for (uint32_t kind : {0u, (uint32_t)UI_KIND_COUNT, 1000u}) {
        UiControl control = {};
        control.hwnd = (HWND)1;
        EXPECT_EQ(ui_control_create(&control, kind, window.hwnd), 1) << kind;
        EXPECT_EQ(control.hwnd, nullptr);
        EXPECT_EQ(control.kind, kind);
    }
    UiRect zero = {0, 0, 0, 0};
    EXPECT_EQ(ui_create_native(0, nullptr, &zero, 0, 0, nullptr), nullptr);
}

TEST_F(UiWindowTest, LabelsTakeTheWindowFontWhenThereIsOne)
{
    UiWindow& window = new_window();
    UiControl& plain = blank_control();
    ASSERT_EQ(ui_label_create(&plain, &window), 0);
    EXPECT_EQ(plain.kind, (uint32_t)UI_KIND_LABEL);
    EXPECT_EQ((HFONT)SendMessageW(plain.hwnd, WM_GETFONT, 0, 0), nullptr);

    window.font = (HFONT)GetStockObject(DEFAULT_GUI_FONT);
    UiControl& styled = blank_control();
    ASSERT_EQ(ui_label_create(&styled, &window), 0);
    EXPECT_EQ((HFONT)SendMessageW(styled.hwnd, WM_GETFONT, 0, 0), window.font);

    UiWindow missing = {};
    UiControl orphan = {};
    missing.hwnd = (HWND)(INT_PTR)0x7ff0; // no such window
    EXPECT_EQ(ui_label_create(&orphan, &missing), 1);
}

TEST_F(UiWindowTest, MoveScalesLogicalUnitsAndGetRectMeasuresPixels)
{
    UiWindow& window = new_window();
    UiControl& label = new_control(UI_KIND_LABEL, window);
    struct Case {
        int32_t dpi;
        UiRect logical;
        UiRect pixels;
    };
    const Case cases[] = {
        {96, {3, 4, 400, 130}, {3, 4, 400, 130}},
        {120, {8, 9, 400, 130}, {10, 11, 500, 162}},
        {144, {-5, 10, 33, 7}, {-7, 15, 49, 10}},
        {192, {-3, 5, 101, 7}, {-6, 10, 202, 14}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.dpi);
        process_globals.dpi = c.dpi;
        ASSERT_EQ(ui_move(&label, c.logical.x, c.logical.y, c.logical.width, c.logical.height), 0);
        UiRect r;
        ui_get_rect(label.hwnd, &r);
        EXPECT_EQ(r.x, c.pixels.x);
        EXPECT_EQ(r.y, c.pixels.y);
        EXPECT_EQ(r.width, c.pixels.width);
        EXPECT_EQ(r.height, c.pixels.height);
    }
    // A top-level window measures in screen coordinates.
    process_globals.dpi = 96;
    ASSERT_EQ(ui_move(&window, 30, 40, 300, 200), 0);
    UiRect top;
    ui_get_rect(window.hwnd, &top);
    EXPECT_EQ(top.x, 30);
    EXPECT_EQ(top.y, 40);
    EXPECT_EQ(top.width, 300);
    EXPECT_EQ(top.height, 200);

    UiControl gone = {};
    gone.hwnd = (HWND)(INT_PTR)0x7ff0;
    EXPECT_EQ(ui_move(&gone, 0, 0, 1, 1), 1);
}

static std::wstring window_text(HWND hwnd)
{
    wchar_t buffer[1024];
    int n = GetWindowTextW(hwnd, buffer, 1024);
    return std::wstring(buffer, n);
}

TEST_F(UiWindowTest, SetTextConvertsShortAndLongTextsWhole)
{
    UiWindow& window = new_window();
    UiControl& label = new_control(UI_KIND_LABEL, window);
    struct Case {
        std::string utf8;
        std::wstring wide;
    };
    std::vector<Case> cases = {
        {"Quorvel Web Installer", L"Quorvel Web Installer"},
        {std::string(254, 'a'), std::wstring(254, L'a')}, // fills the local array exactly
        {std::string(255, 'b'), std::wstring(255, L'b')}, // one unit too many: heap
        {std::string(300, 'c'), std::wstring(300, L'c')},
        {"", L""},
    };
    std::string cyrillic;
    for (int i = 0; i < 300; ++i) {
        cyrillic += "\xd0\x96"; // U+0416, two bytes, one unit
    }
    cases.push_back({cyrillic, std::wstring(300, L'\x0416')});
    cases.push_back({"\xf0\x9f\x98\x80!", L"\xd83d\xde00!"}); // a surrogate pair
    for (const Case& c : cases) {
        SCOPED_TRACE(c.utf8.size());
        // Not NUL-terminated: a trailing byte that must not show up.
        std::string counted = c.utf8 + "X";
        EXPECT_EQ(ui_set_text(&label, counted.data(), (int32_t)c.utf8.size()), 1);
        EXPECT_EQ(window_text(label.hwnd), c.wide);
    }
    EXPECT_EQ(ui_set_text(&window, "title", -1), 1) << "-1 reads up to the NUL";
    EXPECT_EQ(window_text(window.hwnd), L"title");
}

static std::vector<UINT> spied;
static WNDPROC spied_next;
static LRESULT CALLBACK spy_proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam)
{
    spied.push_back(message);
    return CallWindowProcW(spied_next, hwnd, message, wparam, lparam);
}

TEST_F(UiWindowTest, LinkShowsItsCursorWithoutTheLabelSeeingIt)
{
    UiWindow& window = new_window();
    UiControl& link = blank_control();
    ASSERT_EQ(ui_label_create(&link, &window), 0);
    // A spy in front of the label's own procedure sees what the link passes on.
    spied_next = (WNDPROC)SetWindowLongPtrW(link.hwnd, GWLP_WNDPROC, (LONG_PTR)spy_proc);
    HCURSOR hand = LoadCursorW(nullptr, IDC_HAND);
    ui_label_make_link(&link, hand);
    EXPECT_EQ(link.label.cursor, hand);
    EXPECT_EQ(link.label.previous_proc, spy_proc);
    EXPECT_EQ((WNDPROC)GetWindowLongPtrW(link.hwnd, GWLP_WNDPROC), ui_link_proc);

    spied.clear();
    LPARAM hit = MAKELPARAM(HTCLIENT, WM_MOUSEMOVE);
    EXPECT_EQ(SendMessageW(link.hwnd, WM_SETCURSOR, (WPARAM)link.hwnd, hit), 1);
    EXPECT_EQ(GetCursor(), hand);
    EXPECT_TRUE(spied.empty());

    // Everything else, and the cursor message once the cursor is gone, reaches the label.
    SendMessageW(link.hwnd, WM_SETTEXT, 0, (LPARAM)L"Download");
    EXPECT_EQ(window_text(link.hwnd), L"Download");
    link.label.cursor = nullptr;
    spied.clear();
    SendMessageW(link.hwnd, WM_SETCURSOR, (WPARAM)link.hwnd, hit);
    ASSERT_EQ(spied.size(), 1u);
    EXPECT_EQ(spied[0], (UINT)WM_SETCURSOR);
}

TEST_F(UiWindowTest, OnlyLabelsBecomeLinks)
{
    UiWindow& window = new_window();
    UiControl& image = new_control(UI_KIND_IMAGE, window);
    LONG_PTR before = GetWindowLongPtrW(image.hwnd, GWLP_WNDPROC);
    UiControl copy = image;
    ui_label_make_link(&image, LoadCursorW(nullptr, IDC_HAND));
    EXPECT_EQ(GetWindowLongPtrW(image.hwnd, GWLP_WNDPROC), before);
    EXPECT_EQ(memcmp(&copy, &image, sizeof image), 0);
}
