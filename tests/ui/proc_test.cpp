// The window procedure's own message rows, sent to real toolkit windows.
#include "tests/ui/ui_test_support.h"

#include <string>

#include <shlobj.h>

#include "rt/heap.h"

using UiProcTest = UiTest;

namespace {

std::vector<std::string> events;

void on_destroy(UiWindow* window)
{
    events.push_back("destroy");
}

void on_paint(UiWindow* window)
{
    events.push_back("paint");
}

void on_user(UiWindow* window, WPARAM wparam, LPARAM lparam)
{
    events.push_back("user " + std::to_string(wparam) + " " + std::to_string(lparam));
}

bool quit_pending()
{
    MSG msg;
    return PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_NOREMOVE) != 0;
}

} // namespace

TEST_F(UiProcTest, WindowOfTheClassWithoutAnObjectStaysUnbound)
{
    HWND bare = CreateWindowExW(0, L"QUORVEL_WI_WNDCLASS", L"", 0, 0, 0, 10, 10, nullptr, nullptr,
                                GetModuleHandleW(nullptr), nullptr);
    ASSERT_NE(bare, nullptr);
    adopt(bare);
    EXPECT_EQ(GetWindowLongPtrW(bare, GWLP_USERDATA), 0);
    SendMessageW(bare, WM_USER, 1, 2);
    SendMessageW(bare, WM_COMMAND, 5, 0);
    EXPECT_TRUE(command_log.commands.empty());
}

TEST_F(UiProcTest, DestroyCallsBackAndQuitsOnlyWhenAsked)
{
    for (uint8_t flags : {(uint8_t)0, UI_HIDE_ON_CLOSE, UI_QUIT_ON_DESTROY, (uint8_t)0xFE}) {
        SCOPED_TRACE((int)flags);
        events.clear();
        UiWindow& window = new_window();
        window.flags = flags;
        window.on_destroy = on_destroy;
        destroy(&window);
        EXPECT_EQ(events, std::vector<std::string>{"destroy"});
        EXPECT_EQ(quit_pending(), (flags & UI_QUIT_ON_DESTROY) != 0);
        MSG msg;
        while (PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
        }
    }
}

TEST_F(UiProcTest, PaintAndUserMessagesReachTheirCallbacks)
{
    UiWindow& window = new_window();
    events.clear();
    SendMessageW(window.hwnd, WM_PAINT, 0, 0);
    SendMessageW(window.hwnd, WM_USER, 7, -3);
    EXPECT_TRUE(events.empty()) << "no callbacks set yet";
    window.on_paint = on_paint;
    window.on_user_message = on_user;
    SendMessageW(window.hwnd, WM_PAINT, 0, 0);
    SendMessageW(window.hwnd, WM_USER, 7, -3);
    SendMessageW(window.hwnd, WM_USER + 1, 8, 9); // not the toolkit's message
    EXPECT_EQ(events, (std::vector<std::string>{"paint", "user 7 -3"}));
    EXPECT_TRUE(take_commands().empty());
}

TEST_F(UiProcTest, EraseFillsTheClientAreaWithTheWindowBrush)
{
    UiWindow& window = new_window();
    SetWindowLongPtrW(window.hwnd, GWL_STYLE, WS_POPUP);
    SetWindowPos(window.hwnd, nullptr, 0, 0, 20, 10, SWP_NOACTIVATE | SWP_FRAMECHANGED);
    window.background_brush = CreateSolidBrush(RGB(200, 10, 20));

    HDC screen = GetDC(nullptr);
    HDC dc = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, 40, 20);
    HGDIOBJ old = SelectObject(dc, bitmap);
    RECT all = {0, 0, 40, 20};
    FillRect(dc, &all, (HBRUSH)GetStockObject(BLACK_BRUSH));

    EXPECT_EQ(SendMessageW(window.hwnd, WM_ERASEBKGND, (WPARAM)dc, 0), 1);
    EXPECT_EQ(GetPixel(dc, 0, 0), RGB(200, 10, 20));
    EXPECT_EQ(GetPixel(dc, 19, 9), RGB(200, 10, 20));
    EXPECT_EQ(GetPixel(dc, 20, 9), RGB(0, 0, 0)) << "outside the client area";
    EXPECT_EQ(GetPixel(dc, 5, 10), RGB(0, 0, 0));

    SelectObject(dc, old);
    DeleteObject(bitmap);
    DeleteDC(dc);
    ReleaseDC(nullptr, screen);
    DeleteObject(window.background_brush);
}

TEST_F(UiProcTest, QueryEndSessionSendsTheCloseCommandAlways)
{
    UiWindow& window = new_window();
    SendMessageW(window.hwnd, WM_QUERYENDSESSION, 0, 0);
    window.close_command = 12;
    SendMessageW(window.hwnd, WM_QUERYENDSESSION, 0, 0);
    EXPECT_EQ(command_log.senders, (std::vector<UiWindow*>{&window, &window}));
    EXPECT_EQ(take_commands(), (std::vector<uint32_t>{0, 12}));
    EXPECT_TRUE(IsWindow(window.hwnd));
}

// Hiding a shown window waits for a window manager that this display lacks (two seconds each),
// so only the case that must hide a window shows one before closing.
TEST_F(UiProcTest, SystemCloseFiresAlwaysThenClosesOrHides)
{
    struct Case {
        const char* what;
        WPARAM command;
        uint32_t close;
        uint8_t flags;
        bool shown;
        bool exists;
    };
    const Case cases[] = {
        {"no command still closes", SC_CLOSE, 0, 0, false, false},
        {"low bits of the command are ignored", SC_CLOSE | 2, 31, UI_QUIT_ON_DESTROY, false, false},
        {"hides instead", SC_CLOSE, 31, UI_HIDE_ON_CLOSE, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        UiWindow& window = new_window();
        window.close_command = c.close;
        window.flags = c.flags;
        if (c.shown) {
            ShowWindow(window.hwnd, SW_SHOWNOACTIVATE);
        }
        LRESULT result = SendMessageW(window.hwnd, WM_SYSCOMMAND, c.command, 0);
        EXPECT_EQ(result, 0);
        EXPECT_EQ(take_commands(), std::vector<uint32_t>{c.close});
        EXPECT_EQ(IsWindow(window.hwnd) != 0, c.exists);
        if (c.exists) {
            EXPECT_FALSE(IsWindowVisible(window.hwnd));
        }
    }
}

TEST_F(UiProcTest, SystemSizeCommandsFireTheirCommands)
{
    UiWindow& window = new_window();
    SetWindowLongPtrW(window.hwnd, GWL_STYLE, WS_POPUP | WS_SYSMENU | WS_MINIMIZEBOX | WS_MAXIMIZEBOX);
    SetWindowPos(window.hwnd, nullptr, 10, 10, 200, 150, SWP_NOACTIVATE | SWP_FRAMECHANGED);
    ShowWindow(window.hwnd, SW_SHOWNOACTIVATE);
    struct Case {
        const char* what;
        WPARAM command;
        uint32_t minimize, maximize;
        std::vector<uint32_t> fired;
        bool iconic, zoomed;
    };
    const Case cases[] = {
        {"minimise taken over", SC_MINIMIZE, 32, 0, {32}, false, false},
        {"minimise normally", SC_MINIMIZE, 0, 0, {}, true, false},
        {"maximise fires then maximises", SC_MAXIMIZE, 0, 33, {33}, false, true},
        {"maximise fires even 0", SC_MAXIMIZE | 1, 0, 0, {0}, false, true},
        {"other commands fire nothing", SC_RESTORE, 32, 33, {}, false, false},
        {"close is not a size command", SC_KEYMENU, 32, 33, {}, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        take_commands();
        window.minimize_command = c.minimize;
        window.maximize_command = c.maximize;
        SendMessageW(window.hwnd, WM_SYSCOMMAND, c.command, 0);
        EXPECT_EQ(take_commands(), c.fired);
        EXPECT_TRUE(IsWindowVisible(window.hwnd));
        EXPECT_EQ(IsIconic(window.hwnd) != 0, c.iconic);
        EXPECT_EQ(IsZoomed(window.hwnd) != 0, c.zoomed);
        ShowWindow(window.hwnd, SW_SHOWNOACTIVATE);
        if (IsIconic(window.hwnd) || IsZoomed(window.hwnd)) {
            ShowWindow(window.hwnd, SW_RESTORE);
        }
    }
}

TEST_F(UiProcTest, ClosingByWmCloseIgnoresCloseCommandAndHideFlag)
{
    UiWindow& window = new_window();
    window.close_command = 31;
    window.flags = UI_HIDE_ON_CLOSE;
    SendMessageW(window.hwnd, WM_CLOSE, 0, 0);
    EXPECT_FALSE(IsWindow(window.hwnd));
    EXPECT_TRUE(take_commands().empty());
}

TEST_F(UiProcTest, ActivationFiresAndRestoresTheSavedFocus)
{
    UiWindow& window = new_window();
    SetWindowLongPtrW(window.hwnd, GWL_STYLE, WS_POPUP);
    SetWindowPos(window.hwnd, nullptr, 10, 10, 200, 150, SWP_NOACTIVATE | SWP_FRAMECHANGED);
    ShowWindow(window.hwnd, SW_SHOW);
    SetForegroundWindow(window.hwnd);
    UiControl& edit = new_control(UI_KIND_EDITBOX, window);
    ui_move(&edit, 5, 5, 100, 20);
    ShowWindow(edit.hwnd, SW_SHOW);
    SetFocus(edit.hwnd);
    ASSERT_EQ(GetFocus(), edit.hwnd);
    window.activate_command = 40;

    SendMessageW(window.hwnd, WM_ACTIVATE, WA_INACTIVE, 0);
    EXPECT_EQ(window.saved_focus, edit.hwnd);
    SetFocus(window.hwnd);
    take_commands();

    // Activated while minimised: nothing fires and the focus stays where it is.
    SendMessageW(window.hwnd, WM_ACTIVATE, 0x10001, 0);
    EXPECT_TRUE(take_commands().empty());
    EXPECT_EQ(window.saved_focus, edit.hwnd);
    EXPECT_EQ(GetFocus(), window.hwnd);

    EXPECT_EQ(SendMessageW(window.hwnd, WM_ACTIVATE, WA_ACTIVE, 0), 0);
    EXPECT_EQ(take_commands(), std::vector<uint32_t>{40});
    EXPECT_EQ(GetFocus(), edit.hwnd);
    EXPECT_EQ(window.saved_focus, nullptr);

    window.activate_command = 0;
    SendMessageW(window.hwnd, WM_ACTIVATE, WA_CLICKACTIVE, 0);
    EXPECT_TRUE(take_commands().empty());
    window.activate_command = 41;
    SendMessageW(window.hwnd, WM_ACTIVATE, WA_CLICKACTIVE, 0);
    EXPECT_EQ(take_commands(), std::vector<uint32_t>{41});
}

TEST_F(UiProcTest, WindowPosChangingSnapsOnlyWithADistance)
{
    RECT work;
    ASSERT_TRUE(SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0));
    UiWindow& window = new_window();
    process_globals.dpi = 144;
    for (uint8_t distance : {(uint8_t)0, (uint8_t)10}) {
        window.snap_distance = distance;
        for (int gap : {15, 16}) {
            WINDOWPOS pos = {window.hwnd, nullptr, work.left + gap, work.top + gap, 100, 50, SWP_NOZORDER | SWP_NOSIZE};
            SendMessageW(window.hwnd, WM_WINDOWPOSCHANGING, 0, (LPARAM)&pos);
            bool snapped = distance != 0 && gap == 15;
            EXPECT_EQ(pos.x, snapped ? work.left : work.left + gap) << (int)distance << " " << gap;
            EXPECT_EQ(pos.y, snapped ? work.top : work.top + gap);
            EXPECT_EQ(pos.cx, 100);
        }
    }
}

TEST_F(UiProcTest, StaticColoursForLabelsAndImages)
{
    UiWindow& window = new_window();
    UiControl& plain = new_control(UI_KIND_LABEL, window);
    UiControl& coloured = new_control(UI_KIND_LABEL, window);
    UiControl& image = new_control(UI_KIND_IMAGE, window);
    UiControl& bare_image = new_control(UI_KIND_IMAGE, window);
    UiControl& edit = new_control(UI_KIND_EDITBOX, window);
    coloured.label.text_color = RGB(0, 102, 204);
    image.image.background_brush = CreateSolidBrush(RGB(255, 255, 255));
    HBRUSH null_brush = (HBRUSH)GetStockObject(NULL_BRUSH);

    HDC dc = CreateCompatibleDC(nullptr);
    struct Case {
        UiControl* control;
        bool ours;
        HBRUSH brush;
        COLORREF text;
        int mode;
    };
    const Case cases[] = {
        {&plain, true, null_brush, RGB(1, 2, 3), TRANSPARENT},
        {&coloured, true, null_brush, RGB(0, 102, 204), TRANSPARENT},
        {&image, true, image.image.background_brush, RGB(1, 2, 3), OPAQUE},
        {&bare_image, false, nullptr, 0, 0},
        {&edit, false, nullptr, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(ui_kinds[c.control->kind].name);
        SetTextColor(dc, RGB(1, 2, 3));
        SetBkMode(dc, OPAQUE);
        HBRUSH result = (HBRUSH)SendMessageW(window.hwnd, WM_CTLCOLORSTATIC, (WPARAM)dc, (LPARAM)c.control->hwnd);
        if (c.ours) {
            EXPECT_EQ(result, c.brush);
            EXPECT_EQ(GetTextColor(dc), c.text);
            EXPECT_EQ(GetBkMode(dc), c.mode);
        } else {
            EXPECT_NE(result, null_brush);
            EXPECT_NE(result, image.image.background_brush);
        }
    }
    DeleteDC(dc);
    DeleteObject(image.image.background_brush);
}

namespace {

std::wstring dropped_name;
int32_t dropped_index = -1;
bool dropped_path_was_null = false;

void on_drop(UiWindow* window, UiDropFiles* files)
{
    wchar_t name[MAX_PATH];
    UINT n = DragQueryFileW(files->drop, 0, name, MAX_PATH);
    dropped_name.assign(name, n);
    dropped_index = files->index;
    dropped_path_was_null = files->path == nullptr;
    files->path = heap_strdup("C:\\dropped.txt"); // handed back: the procedure frees it
}

HDROP make_drop(const wchar_t* file)
{
    size_t chars = lstrlenW(file) + 2;
    HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, sizeof(DROPFILES) + chars * sizeof(wchar_t));
    DROPFILES* drop = (DROPFILES*)GlobalLock(memory);
    drop->pFiles = sizeof(DROPFILES);
    drop->fWide = TRUE;
    memcpy(drop + 1, file, lstrlenW(file) * sizeof(wchar_t));
    GlobalUnlock(memory);
    return (HDROP)memory;
}

} // namespace

TEST_F(UiProcTest, DroppedFilesReachTheCallbackAndTheDropAlwaysEnds)
{
    UiWindow& window = new_window();
    HDROP first = make_drop(L"C:\\one.txt");
    SendMessageW(window.hwnd, WM_DROPFILES, (WPARAM)first, 0);
    EXPECT_EQ(GlobalFlags(first), (UINT)GMEM_INVALID_HANDLE) << "ended without a callback";
    EXPECT_EQ(dropped_index, -1);

    window.on_drop_files = on_drop;
    HDROP second = make_drop(L"C:\\two.txt");
    SendMessageW(window.hwnd, WM_DROPFILES, (WPARAM)second, 0);
    EXPECT_EQ(dropped_name, L"C:\\two.txt");
    EXPECT_EQ(dropped_index, 0);
    EXPECT_TRUE(dropped_path_was_null);
    EXPECT_EQ(GlobalFlags(second), (UINT)GMEM_INVALID_HANDLE);
}

TEST_F(UiProcTest, HotkeysFireTheFirstMatchAlways)
{
    UiWindow& window = new_window();
    UiHotkey keys[] = {{7, 100}, {7, 200}, {9, 0}, {0x10007, 300}};
    SendMessageW(window.hwnd, WM_HOTKEY, 7, 0);
    EXPECT_TRUE(take_commands().empty()) << "no table yet";
    window.hotkeys = keys;
    window.hotkey_count = 4;
    for (WPARAM id : {7, 9, 8, 0x10007}) {
        SendMessageW(window.hwnd, WM_HOTKEY, id, 0);
    }
    EXPECT_EQ(take_commands(), (std::vector<uint32_t>{100, 0, 300}));
    window.hotkey_count = 1; // entries beyond the count are not searched
    SendMessageW(window.hwnd, WM_HOTKEY, 9, 0);
    EXPECT_TRUE(take_commands().empty());
}

namespace {

bool menu_opened = false;
WNDPROC toolkit_proc;

// Sits in front of ui_window_proc to see the popup menu open and to close it again.
LRESULT CALLBACK menu_spy(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam)
{
    if (message == WM_INITMENUPOPUP) {
        menu_opened = true;
        PostMessageW(hwnd, WM_CANCELMODE, 0, 0);
    }
    if (message == WM_ENTERIDLE) {
        EndMenu();
    }
    return CallWindowProcW(toolkit_proc, hwnd, message, wparam, lparam);
}

} // namespace

TEST_F(UiProcTest, TrayMessagesClickAndOpenTheMenu)
{
    UiWindow& window = new_window();
    toolkit_proc = (WNDPROC)SetWindowLongPtrW(window.hwnd, GWLP_WNDPROC, (LONG_PTR)menu_spy);
    UiMenu menu = {CreatePopupMenu()};
    AppendMenuW(menu.handle, MF_STRING, 77, L"Item");
    UiTrayIcon tray = {};
    tray.icon.cbSize = sizeof(tray.icon);
    tray.icon.uID = 5;
    tray.icon.uCallbackMessage = UI_MSG_TRAY;
    tray.click_command = 33;

    SendMessageW(window.hwnd, UI_MSG_TRAY, 5, WM_LBUTTONUP);
    EXPECT_TRUE(take_commands().empty()) << "no tray icon yet";
    window.tray_icon = &tray;
    SendMessageW(window.hwnd, UI_MSG_TRAY, 5, WM_LBUTTONUP);
    SendMessageW(window.hwnd, UI_MSG_TRAY, 6, WM_LBUTTONUP);
    SendMessageW(window.hwnd, UI_MSG_TRAY, 5, WM_LBUTTONDOWN);
    SendMessageW(window.hwnd, UI_MSG_TRAY, 5, WM_MOUSEMOVE);
    tray.click_command = 0;
    SendMessageW(window.hwnd, UI_MSG_TRAY, 5, WM_LBUTTONUP);
    EXPECT_EQ(take_commands(), std::vector<uint32_t>{33});

    menu_opened = false;
    SendMessageW(window.hwnd, UI_MSG_TRAY, 5, WM_RBUTTONUP);
    EXPECT_FALSE(menu_opened) << "no menu to show";
    tray.menu = &menu;
    SendMessageW(window.hwnd, UI_MSG_TRAY, 6, WM_RBUTTONUP);
    EXPECT_FALSE(menu_opened) << "another icon";
    SendMessageW(window.hwnd, UI_MSG_TRAY, 5, WM_RBUTTONUP);
    EXPECT_TRUE(menu_opened);
    DestroyMenu(menu.handle);
}
