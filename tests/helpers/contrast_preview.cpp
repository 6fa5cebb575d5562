// contrast_preview: shows the installer's error window as a high-contrast user sees it, for the
// screenshot in docs/. The test's Wine cannot turn high contrast on (SPI_SETHIGHCONTRAST is refused
// and SPI_GETHIGHCONTRAST always reports it off), so this program sets a high-contrast colour
// scheme for the session itself, shows the error window with its system-colour mode on, and puts
// the old colours back when it ends.
//
//   contrast_preview [--seconds N]     (default 30; the window stays that long)
//   contrast_preview --restore         the session's colours from the registry again (a preview
//                                      that was killed could not put them back)
// Exit code: 0, 1 when the window could not be shown or the colours not set.
#include <windows.h>

#include <stdlib.h>

#include "app/app_state.h"
#include "app/config.h"
#include "app/error_window.h"
#include "rt/process.h"
#include "rt/system_imports.h"
#include "ui/ui.h"

namespace {

// White on black, links yellow, selection cyan: Windows' "High Contrast Black".
const int ELEMENTS[] = {COLOR_WINDOW, COLOR_WINDOWTEXT, COLOR_HOTLIGHT, COLOR_HIGHLIGHT, COLOR_HIGHLIGHTTEXT,
                        COLOR_BTNFACE, COLOR_BTNTEXT};
const COLORREF SCHEME[] = {RGB(0, 0, 0), RGB(255, 255, 255), RGB(255, 255, 0), RGB(26, 235, 255), RGB(0, 0, 0),
                           RGB(0, 0, 0), RGB(255, 255, 255)};
const int COUNT = (int)(sizeof ELEMENTS / sizeof ELEMENTS[0]);
// Their names under HKCU\Control Panel\Colors, where the session's colours come from.
const wchar_t* const NAMES[] = {L"Window", L"WindowText", L"HotTrackingColor", L"Hilight", L"HilightText",
                                L"ButtonFace", L"ButtonText"};

// The colours the registry holds for the session ("R G B"); an element without a value keeps its
// current colour.
void registry_colors(COLORREF* colors)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, L"Control Panel\\Colors", 0, KEY_READ, &key) != ERROR_SUCCESS) {
        key = nullptr;
    }
    for (int i = 0; i < COUNT; ++i) {
        colors[i] = GetSysColor(ELEMENTS[i]);
        wchar_t text[32] = {};
        DWORD size = sizeof text - sizeof(wchar_t);
        if (key && RegQueryValueExW(key, NAMES[i], nullptr, nullptr, (BYTE*)text, &size) == ERROR_SUCCESS) {
            wchar_t* end = text;
            unsigned long r = wcstoul(end, &end, 10);
            unsigned long g = wcstoul(end, &end, 10);
            unsigned long b = wcstoul(end, &end, 10);
            colors[i] = RGB(r, g, b);
        }
    }
    if (key) {
        RegCloseKey(key);
    }
}

void pump()
{
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc > 1 && lstrcmpW(argv[1], L"--restore") == 0) {
        COLORREF colors[COUNT];
        registry_colors(colors);
        return SetSysColors(COUNT, ELEMENTS, colors) ? 0 : 1;
    }
    DWORD seconds = argc > 2 && lstrcmpW(argv[1], L"--seconds") == 0 ? (DWORD)wcstoul(argv[2], nullptr, 10) : 30;
    // The scheme first: the common controls read the colours they draw with as they load.
    COLORREF saved[COUNT];
    for (int i = 0; i < COUNT; ++i) {
        saved[i] = GetSysColor(ELEMENTS[i]);
    }
    if (!SetSysColors(COUNT, ELEMENTS, SCHEME)) {
        return 1;
    }
    pump();
    if (load_system_imports() != 0) {
        (void)SetSysColors(COUNT, ELEMENTS, saved);
        return 1;
    }
    process_globals.heap = GetProcessHeap();

    static char https[] = "https://download.quorvel.com/webinstaller/setup.exe";
    InstallerConfig config = {};
    config.https_url = https;
    static AppState app = {};
    process_globals.config = &config;
    process_globals.app = &app;
    process_globals.dpi = 96;
    app.true_dpi = 96;
    app.work_area = {0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    if (ui_register_class() != 0) {
        (void)SetSysColors(COUNT, ELEMENTS, saved);
        return 1;
    }
    show_error_window();
    if (!app.error_window.hwnd) {
        (void)SetSysColors(COUNT, ELEMENTS, saved);
        return 1;
    }
    // What the window does when the system reports high contrast on: the link control reads the
    // system's colours again, and the window paints in them.
    SendMessageW(app.error_window.hwnd, WM_SYSCOLORCHANGE, 0, 0);
    app.error_window.flags |= UI_SYSTEM_COLORS;
    RedrawWindow(app.error_window.hwnd, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);

    DWORD start = GetTickCount();
    while (GetTickCount() - start < seconds * 1000 && IsWindow(app.error_window.hwnd)) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 100, QS_ALLINPUT);
        pump();
    }
    app.error_window.flags &= (uint8_t)~UI_QUIT_ON_DESTROY;
    error_window_release();
    (void)SetSysColors(COUNT, ELEMENTS, saved);
    return 0;
}
