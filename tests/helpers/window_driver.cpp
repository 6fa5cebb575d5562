// window_driver: drives the installer's windows from outside, as a user would, for the
// end-to-end tests. Run it in the same Wine prefix and display as the installer.
//
//   window_driver wait TITLE [--class C] [--error | --splash] [--timeout-ms N]
//       Waits for a visible top-level window titled TITLE (of class C when given; --error: one
//       with child controls, --splash: one without). Prints hwnd, rect, size, children, layered.
//   window_driver wait-gone [TITLE] [--class C] [--timeout-ms N]
//       Waits until no visible top-level window matches (class default QUORVEL_WI_WNDCLASS).
//   window_driver dump
//       Every visible top-level window of class QUORVEL_WI_WNDCLASS and its child controls.
//   window_driver click-link [--timeout-ms N]
//       Clicks the error window's link: posts WM_LBUTTONDOWN, then WM_LBUTTONUP, to it.
//   window_driver close [--timeout-ms N]
//       Posts the system close command (WM_SYSCOMMAND, SC_CLOSE) to the top toolkit window: the
//       error window when there is one, else the splash.
//   window_driver alt-f4 [--keystroke | --wm-close] [--timeout-ms N]
//       The same for the splash window; --keystroke posts Alt+F4 as WM_SYSKEYDOWN/WM_SYSKEYUP
//       instead, so the window's default key handling turns it into the close command;
//       --wm-close posts WM_CLOSE itself, as the system's "end task" does (a window disabled by a
//       modal dialog ignores the close command and keys).
//   window_driver sign-in [USER PASSWORD | --cancel] [--timeout-ms N]
//       Waits for a visible dialog (class #32770) owned by a toolkit window: the system's proxy
//       sign-in dialog over the splash. Prints it (hwnd, title, owner, owner_is_splash, rect, its
//       controls as control.N.id/class/text/style) and, given USER and PASSWORD, types the user
//       into the edit box without ES_PASSWORD and the password into the one with it, then presses
//       OK; with --cancel presses Cancel; with neither only prints. 1 when no such dialog came.
//   window_driver activate-check
//       Which window is in the foreground.
//   window_driver keys KEY... [--timeout-ms N]
//       Brings the error window to the foreground (SetForegroundWindow) and types the keys with
//       SendInput, as a keyboard user would: tab, shift-tab, enter, space, esc. Prints the control
//       that had the focus before (focus.class, focus.text, focus.is_link).
//   window_driver hold
//       Uses the desktop and never ends (the test run's wineserver ends it). Wine's desktop
//       process (explorer.exe /desktop) quits a while after its last user is gone, and the next
//       program then starts a new one that inherits that program's output: a caller that reads
//       the output to its end (ctest) waits until that explorer quits, about 20 s per program.
//       One holder, started with its output elsewhere, keeps the first explorer for the run.
//
// Output: one `key=value` line per fact, UTF-8, on stdout. Texts are escaped: backslash as \\,
// CR as \r, LF as \n. Rectangles of top-level windows are screen pixels `left,top,right,bottom`;
// child rectangles are `x,y,width,height` in the parent's client pixels. Windows are numbered
// in the order the system lists them (top of the Z order first): window.0, window.0.child.0, ...
// Exit code: 0 on success, 1 when the window was not found in time (message on stderr),
// 2 on a usage error.
//
// The error window is the toolkit window with child controls; the splash has none. The link is
// the lower of the error window's two texts (the SysLink control, or a STATIC child without
// SS_ICON): the controls' Z order is not their creation order, their places are fixed.
#include <windows.h>

#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

namespace {

const wchar_t TOOLKIT_CLASS[] = L"QUORVEL_WI_WNDCLASS";
const wchar_t DIALOG_CLASS[] = L"#32770";
const DWORD DEFAULT_TIMEOUT_MS = 10000;
const DWORD POLL_MS = 50;
const int MAX_WINDOWS = 64;
const int MAX_CHILDREN = 64;
const int TEXT_UNITS = 1024;

// ---- output ---------------------------------------------------------------------------------

void write_bytes(HANDLE handle, const char* bytes, int length)
{
    DWORD written = 0;
    (void)WriteFile(handle, bytes, (DWORD)length, &written, nullptr);
}

void write_out(const char* text)
{
    write_bytes(GetStdHandle(STD_OUTPUT_HANDLE), text, lstrlenA(text));
}

void fail(const char* message)
{
    HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    write_bytes(err, "window_driver: ", 15);
    write_bytes(err, message, lstrlenA(message));
    write_bytes(err, "\n", 1);
}

// key=value line with a UTF-16 value, escaped and converted to UTF-8.
void print_text(const char* key, const wchar_t* text)
{
    static wchar_t escaped[TEXT_UNITS * 2 + 1];
    int n = 0;
    for (const wchar_t* p = text; *p && n < TEXT_UNITS * 2 - 1; ++p) {
        switch (*p) {
        case L'\\': escaped[n++] = L'\\'; escaped[n++] = L'\\'; break;
        case L'\r': escaped[n++] = L'\\'; escaped[n++] = L'r'; break;
        case L'\n': escaped[n++] = L'\\'; escaped[n++] = L'n'; break;
        default: escaped[n++] = *p; break;
        }
    }
    escaped[n] = 0;
    static char utf8[TEXT_UNITS * 8];
    int bytes = WideCharToMultiByte(CP_UTF8, 0, escaped, -1, utf8, sizeof utf8, nullptr, nullptr);
    if (bytes <= 0) {
        utf8[0] = 0;
    }
    write_out(key);
    write_out("=");
    write_out(utf8);
    write_out("\n");
}

void print_value(const char* key, const char* format, ...)
{
    char line[512];
    int n = snprintf(line, sizeof line, "%s=", key);
    va_list args;
    va_start(args, format);
    n += vsnprintf(line + n, sizeof line - (size_t)n, format, args);
    va_end(args);
    if (n > (int)sizeof line - 2) {
        n = (int)sizeof line - 2;
    }
    line[n++] = '\n';
    line[n] = 0;
    write_out(line);
}

void print_hwnd(const char* key, HWND hwnd)
{
    print_value(key, "0x%llx", (unsigned long long)(uintptr_t)hwnd);
}

// ---- finding windows ------------------------------------------------------------------------

struct WindowList {
    HWND items[MAX_WINDOWS];
    int count;
};

BOOL CALLBACK collect_top_level(HWND hwnd, LPARAM param)
{
    WindowList* list = (WindowList*)param;
    if (list->count < MAX_WINDOWS && IsWindowVisible(hwnd)) {
        list->items[list->count++] = hwnd;
    }
    return TRUE;
}

struct ChildSearch {
    HWND parent;
    WindowList* list;
};

BOOL CALLBACK collect_direct_children(HWND hwnd, LPARAM param)
{
    ChildSearch* search = (ChildSearch*)param;
    WindowList* list = search->list;
    // EnumChildWindows also walks grandchildren; only the window's own controls count here.
    if (list->count < MAX_CHILDREN && GetParent(hwnd) == search->parent) {
        list->items[list->count++] = hwnd;
    }
    return TRUE;
}

// The direct children of parent, top of the Z order first.
void list_children(HWND parent, WindowList* out)
{
    out->count = 0;
    ChildSearch search = {parent, out};
    EnumChildWindows(parent, collect_direct_children, (LPARAM)&search);
}

int child_count(HWND hwnd)
{
    WindowList children;
    list_children(hwnd, &children);
    return children.count;
}

bool has_class(HWND hwnd, const wchar_t* class_name)
{
    wchar_t actual[256] = {};
    GetClassNameW(hwnd, actual, 256);
    return lstrcmpiW(actual, class_name) == 0;
}

enum Shape { ANY_SHAPE, ERROR_SHAPE, SPLASH_SHAPE };

struct Query {
    const wchar_t* title; // null: any
    const wchar_t* class_name; // null: any
    Shape shape;
};

bool matches(HWND hwnd, const Query* query)
{
    if (query->class_name && !has_class(hwnd, query->class_name)) {
        return false;
    }
    if (query->title) {
        wchar_t title[TEXT_UNITS] = {};
        GetWindowTextW(hwnd, title, TEXT_UNITS);
        if (lstrcmpW(title, query->title) != 0) {
            return false;
        }
    }
    if (query->shape == ERROR_SHAPE && child_count(hwnd) == 0) {
        return false;
    }
    if (query->shape == SPLASH_SHAPE && child_count(hwnd) != 0) {
        return false;
    }
    return true;
}

HWND find_now(const Query* query)
{
    WindowList all = {};
    EnumWindows(collect_top_level, (LPARAM)&all);
    for (int i = 0; i < all.count; ++i) {
        if (matches(all.items[i], query)) {
            return all.items[i];
        }
    }
    return nullptr;
}

HWND find_waiting(const Query* query, DWORD timeout_ms)
{
    DWORD start = GetTickCount();
    for (;;) {
        HWND hwnd = find_now(query);
        if (hwnd || GetTickCount() - start >= timeout_ms) {
            return hwnd;
        }
        Sleep(POLL_MS);
    }
}

HWND find_error_window(DWORD timeout_ms)
{
    Query query = {nullptr, TOOLKIT_CLASS, ERROR_SHAPE};
    return find_waiting(&query, timeout_ms);
}

HWND find_splash_window(DWORD timeout_ms)
{
    Query query = {nullptr, TOOLKIT_CLASS, SPLASH_SHAPE};
    return find_waiting(&query, timeout_ms);
}

// Child rectangle relative to the parent's client area.
RECT client_relative_rect(HWND child)
{
    RECT r = {};
    GetWindowRect(child, &r);
    MapWindowPoints(nullptr, GetParent(child), (POINT*)&r, 2);
    return r;
}

// The link: the lowest text label (STATIC without SS_ICON) of the error window.
HWND find_link(HWND error_window)
{
    WindowList children;
    list_children(error_window, &children);
    HWND link = nullptr;
    LONG link_top = 0;
    for (int i = 0; i < children.count; ++i) {
        HWND child = children.items[i];
        LONG style = GetWindowLongW(child, GWL_STYLE);
        bool text = has_class(child, L"SysLink") || (has_class(child, L"Static") && (style & SS_TYPEMASK) != SS_ICON);
        if (!text) {
            continue;
        }
        RECT r = client_relative_rect(child);
        if (link == nullptr || r.top > link_top) {
            link = child;
            link_top = r.top;
        }
    }
    return link;
}

// ---- printing windows -----------------------------------------------------------------------

void print_top_level(const char* prefix, HWND hwnd)
{
    char key[64];
    wchar_t title[TEXT_UNITS] = {};
    GetWindowTextW(hwnd, title, TEXT_UNITS);
    RECT r = {};
    GetWindowRect(hwnd, &r);
    RECT client = {};
    GetClientRect(hwnd, &client);
    LONG style = GetWindowLongW(hwnd, GWL_STYLE);
    LONG ex_style = GetWindowLongW(hwnd, GWL_EXSTYLE);

    snprintf(key, sizeof key, "%shwnd", prefix);
    print_hwnd(key, hwnd);
    snprintf(key, sizeof key, "%stitle", prefix);
    print_text(key, title);
    snprintf(key, sizeof key, "%srect", prefix);
    print_value(key, "%ld,%ld,%ld,%ld", r.left, r.top, r.right, r.bottom);
    snprintf(key, sizeof key, "%ssize", prefix);
    print_value(key, "%ldx%ld", r.right - r.left, r.bottom - r.top);
    snprintf(key, sizeof key, "%sclient", prefix);
    print_value(key, "%ldx%ld", client.right, client.bottom);
    snprintf(key, sizeof key, "%sstyle", prefix);
    print_value(key, "0x%08lx", (unsigned long)style);
    snprintf(key, sizeof key, "%sexstyle", prefix);
    print_value(key, "0x%08lx", (unsigned long)ex_style);
    snprintf(key, sizeof key, "%slayered", prefix);
    print_value(key, "%s", (ex_style & WS_EX_LAYERED) ? "yes" : "no");
    snprintf(key, sizeof key, "%schildren", prefix);
    print_value(key, "%d", child_count(hwnd));
}

void print_child(const char* prefix, HWND child)
{
    char key[96];
    wchar_t class_name[256] = {};
    GetClassNameW(child, class_name, 256);
    wchar_t text[TEXT_UNITS] = {};
    GetWindowTextW(child, text, TEXT_UNITS);
    RECT r = client_relative_rect(child);

    snprintf(key, sizeof key, "%shwnd", prefix);
    print_hwnd(key, child);
    snprintf(key, sizeof key, "%sclass", prefix);
    print_text(key, class_name);
    snprintf(key, sizeof key, "%stext", prefix);
    print_text(key, text);
    snprintf(key, sizeof key, "%srect", prefix);
    print_value(key, "%ld,%ld,%ld,%ld", r.left, r.top, r.right - r.left, r.bottom - r.top);
    snprintf(key, sizeof key, "%sstyle", prefix);
    print_value(key, "0x%08lx", (unsigned long)GetWindowLongW(child, GWL_STYLE));
    snprintf(key, sizeof key, "%svisible", prefix);
    print_value(key, "%s", IsWindowVisible(child) ? "yes" : "no");
}

// ---- subcommands ----------------------------------------------------------------------------

struct Options {
    const wchar_t* title;
    const wchar_t* class_name;
    Shape shape;
    DWORD timeout_ms;
    bool keystroke;
    bool wm_close;
    bool cancel;
    const wchar_t* user;
    const wchar_t* password;
};

// 0, or 2 after reporting a usage error.
int parse_options(int argc, wchar_t** argv, int first, Options* out)
{
    for (int i = first; i < argc; ++i) {
        const wchar_t* arg = argv[i];
        if (lstrcmpW(arg, L"--class") == 0 && i + 1 < argc) {
            out->class_name = argv[++i];
        } else if (lstrcmpW(arg, L"--timeout-ms") == 0 && i + 1 < argc) {
            wchar_t* end = nullptr;
            out->timeout_ms = (DWORD)wcstoul(argv[++i], &end, 10);
            if (end == nullptr || *end != 0) {
                fail("--timeout-ms needs a number");
                return 2;
            }
        } else if (lstrcmpW(arg, L"--error") == 0) {
            out->shape = ERROR_SHAPE;
        } else if (lstrcmpW(arg, L"--splash") == 0) {
            out->shape = SPLASH_SHAPE;
        } else if (lstrcmpW(arg, L"--keystroke") == 0) {
            out->keystroke = true;
        } else if (lstrcmpW(arg, L"--wm-close") == 0) {
            out->wm_close = true;
        } else if (lstrcmpW(arg, L"--cancel") == 0) {
            out->cancel = true;
        } else if (arg[0] != L'-' && out->title == nullptr) {
            out->title = arg;
        } else if (arg[0] != L'-' && out->user == nullptr) {
            out->user = arg; // the second word; sign-in's user is the first (title)
        } else if (arg[0] != L'-' && out->password == nullptr) {
            out->password = arg;
        } else {
            fail("unknown or incomplete option");
            return 2;
        }
    }
    return 0;
}

int command_wait(const Options* options)
{
    if (options->title == nullptr) {
        fail("wait needs a window title");
        return 2;
    }
    Query query = {options->title, options->class_name, options->shape};
    HWND hwnd = find_waiting(&query, options->timeout_ms);
    if (!hwnd) {
        fail("no such visible window within the timeout");
        return 1;
    }
    print_top_level("", hwnd);
    return 0;
}

int command_wait_gone(const Options* options)
{
    Query query = {options->title, options->class_name ? options->class_name : TOOLKIT_CLASS, options->shape};
    DWORD start = GetTickCount();
    while (find_now(&query)) {
        if (GetTickCount() - start >= options->timeout_ms) {
            fail("the window is still there after the timeout");
            return 1;
        }
        Sleep(POLL_MS);
    }
    print_value("gone", "yes");
    return 0;
}

int command_dump()
{
    WindowList all = {};
    EnumWindows(collect_top_level, (LPARAM)&all);
    int count = 0;
    for (int i = 0; i < all.count; ++i) {
        HWND hwnd = all.items[i];
        if (!has_class(hwnd, TOOLKIT_CLASS)) {
            continue;
        }
        char prefix[32];
        snprintf(prefix, sizeof prefix, "window.%d.", count);
        print_top_level(prefix, hwnd);
        WindowList children;
        list_children(hwnd, &children);
        for (int c = 0; c < children.count; ++c) {
            char child_prefix[64];
            snprintf(child_prefix, sizeof child_prefix, "window.%d.child.%d.", count, c);
            print_child(child_prefix, children.items[c]);
        }
        ++count;
    }
    print_value("window.count", "%d", count);
    return 0;
}

int command_click_link(const Options* options)
{
    HWND error_window = find_error_window(options->timeout_ms);
    if (!error_window) {
        fail("no error window");
        return 1;
    }
    HWND link = find_link(error_window);
    if (!link) {
        fail("the error window has no link label");
        return 1;
    }
    RECT client = {};
    GetClientRect(link, &client);
    LPARAM point = MAKELPARAM(client.right / 2, client.bottom / 2);
    // Wine reports the click on the button-down and Windows on the button-up: post both.
    if (!PostMessageW(link, WM_LBUTTONDOWN, MK_LBUTTON, point) || !PostMessageW(link, WM_LBUTTONUP, 0, point)) {
        fail("posting the click failed");
        return 1;
    }
    wchar_t text[TEXT_UNITS] = {};
    GetWindowTextW(link, text, TEXT_UNITS);
    print_hwnd("clicked", link);
    print_text("text", text);
    return 0;
}

int post_close(HWND hwnd, const char* which, bool keystroke, bool wm_close = false)
{
    BOOL ok;
    if (wm_close) {
        ok = PostMessageW(hwnd, WM_CLOSE, 0, 0);
    } else if (keystroke) {
        // lParam: repeat count 1, scan code of F4 (0x3E), bit 29 = Alt held; the key-up also
        // has the previous-state and transition bits.
        LPARAM down = 1 | (0x3E << 16) | (1 << 29);
        LPARAM up = down | (1u << 30) | (1u << 31);
        ok = PostMessageW(hwnd, WM_SYSKEYDOWN, VK_F4, down) && PostMessageW(hwnd, WM_SYSKEYUP, VK_F4, up);
    } else {
        ok = PostMessageW(hwnd, WM_SYSCOMMAND, SC_CLOSE, 0);
    }
    if (!ok) {
        fail("posting the close command failed");
        return 1;
    }
    print_hwnd("closed", hwnd);
    print_value("which", "%s", which);
    return 0;
}

int command_close(const Options* options)
{
    // The splash comes first and the error window after it: wait for either, prefer the error.
    DWORD start = GetTickCount();
    for (;;) {
        HWND error_window = find_error_window(0);
        if (error_window) {
            return post_close(error_window, "error", options->keystroke);
        }
        HWND splash = find_splash_window(0);
        if (splash) {
            return post_close(splash, "splash", options->keystroke);
        }
        if (GetTickCount() - start >= options->timeout_ms) {
            fail("no toolkit window to close");
            return 1;
        }
        Sleep(POLL_MS);
    }
}

int command_alt_f4(const Options* options)
{
    HWND splash = find_splash_window(options->timeout_ms);
    if (!splash) {
        fail("no splash window");
        return 1;
    }
    return post_close(splash, "splash", options->keystroke, options->wm_close);
}

// A visible dialog whose owner is a toolkit window.
BOOL CALLBACK collect_owned_dialog(HWND hwnd, LPARAM param)
{
    HWND* found = (HWND*)param;
    HWND owner = GetWindow(hwnd, GW_OWNER);
    if (IsWindowVisible(hwnd) && has_class(hwnd, DIALOG_CLASS) && owner && has_class(owner, TOOLKIT_CLASS)) {
        *found = hwnd;
        return FALSE;
    }
    return TRUE;
}

HWND find_sign_in_dialog(DWORD timeout_ms)
{
    DWORD start = GetTickCount();
    for (;;) {
        HWND found = nullptr;
        EnumWindows(collect_owned_dialog, (LPARAM)&found);
        if (found || GetTickCount() - start >= timeout_ms) {
            return found;
        }
        Sleep(POLL_MS);
    }
}

void print_controls(HWND dialog)
{
    WindowList children;
    list_children(dialog, &children);
    for (int c = 0; c < children.count; ++c) {
        char prefix[64];
        snprintf(prefix, sizeof prefix, "control.%d.", c);
        print_child(prefix, children.items[c]);
        char key[96];
        snprintf(key, sizeof key, "%sid", prefix);
        print_value(key, "%d", GetDlgCtrlID(children.items[c]));
    }
    print_value("control.count", "%d", children.count);
}

// Types the user and the password into the dialog's edit boxes, the password into the one that
// hides what is typed. False when there are not both.
bool fill_sign_in(HWND dialog, const wchar_t* user, const wchar_t* password)
{
    WindowList children;
    list_children(dialog, &children);
    bool user_done = false;
    bool password_done = false;
    for (int c = 0; c < children.count; ++c) {
        HWND child = children.items[c];
        LONG style = GetWindowLongW(child, GWL_STYLE);
        if (!has_class(child, L"Edit") || !IsWindowEnabled(child) || (style & ES_READONLY)) {
            continue;
        }
        bool hidden = (style & ES_PASSWORD) != 0;
        if (hidden ? password_done : user_done) {
            continue;
        }
        SendMessageW(child, WM_SETTEXT, 0, (LPARAM)(hidden ? password : user));
        (hidden ? password_done : user_done) = true;
    }
    return user_done && password_done;
}

int command_sign_in(const Options* options)
{
    HWND dialog = find_sign_in_dialog(options->timeout_ms);
    if (!dialog) {
        fail("no dialog owned by a toolkit window within the timeout");
        return 1;
    }
    HWND owner = GetWindow(dialog, GW_OWNER);
    print_top_level("", dialog);
    print_hwnd("owner", owner);
    print_value("owner_is_splash", "%s", child_count(owner) == 0 ? "yes" : "no");
    print_value("owner_enabled", "%s", IsWindowEnabled(owner) ? "yes" : "no");
    print_controls(dialog);
    const wchar_t* user = options->title; // the words after the command, in order
    const wchar_t* password = options->user;
    int button = options->cancel ? IDCANCEL : user && password ? IDOK : 0;
    if (button == IDOK && !fill_sign_in(dialog, user, password)) {
        fail("the dialog has no user and password boxes");
        return 1;
    }
    if (button != 0) {
        HWND control = GetDlgItem(dialog, button);
        BOOL posted = control ? PostMessageW(control, BM_CLICK, 0, 0) : PostMessageW(dialog, WM_COMMAND, button, 0);
        if (!posted) {
            fail("pressing the button failed");
            return 1;
        }
        print_value("pressed", "%s", button == IDOK ? "ok" : "cancel");
    }
    return 0;
}

int command_activate_check()
{
    HWND foreground = GetForegroundWindow();
    print_hwnd("foreground", foreground);
    if (!foreground) {
        print_value("which", "none");
        return 0;
    }
    wchar_t title[TEXT_UNITS] = {};
    GetWindowTextW(foreground, title, TEXT_UNITS);
    wchar_t class_name[256] = {};
    GetClassNameW(foreground, class_name, 256);
    print_text("title", title);
    print_text("class", class_name);
    const char* which = "other";
    if (has_class(foreground, TOOLKIT_CLASS)) {
        which = child_count(foreground) != 0 ? "error" : "splash";
    }
    print_value("which", "%s", which);
    return 0;
}

struct Key {
    const wchar_t* name;
    WORD vk;
    bool shift;
};

const Key KEYS[] = {
    {L"tab", VK_TAB, false}, {L"shift-tab", VK_TAB, true}, {L"enter", VK_RETURN, false},
    {L"space", VK_SPACE, false}, {L"esc", VK_ESCAPE, false},
};

void key_input(INPUT* input, WORD vk, bool up)
{
    ZeroMemory(input, sizeof *input);
    input->type = INPUT_KEYBOARD;
    input->ki.wVk = vk;
    input->ki.wScan = (WORD)MapVirtualKeyW(vk, MAPVK_VK_TO_VSC);
    input->ki.dwFlags = up ? KEYEVENTF_KEYUP : 0;
}

// 0, or 2 for an unknown key name.
int send_key(const wchar_t* name)
{
    for (const Key& key : KEYS) {
        if (lstrcmpiW(name, key.name) != 0) {
            continue;
        }
        INPUT inputs[4];
        UINT count = 0;
        if (key.shift) {
            key_input(&inputs[count++], VK_SHIFT, false);
        }
        key_input(&inputs[count++], key.vk, false);
        key_input(&inputs[count++], key.vk, true);
        if (key.shift) {
            key_input(&inputs[count++], VK_SHIFT, true);
        }
        return SendInput(count, inputs, sizeof(INPUT)) == count ? 0 : 1;
    }
    fail("unknown key (tab, shift-tab, enter, space, esc)");
    return 2;
}

// The control with the keyboard focus in hwnd's thread.
HWND focus_of(HWND hwnd)
{
    GUITHREADINFO info = {};
    info.cbSize = sizeof info;
    if (!GetGUIThreadInfo(GetWindowThreadProcessId(hwnd, nullptr), &info)) {
        return nullptr;
    }
    return info.hwndFocus;
}

int command_keys(int argc, wchar_t** argv, const Options* options)
{
    HWND error_window = find_error_window(options->timeout_ms);
    if (!error_window) {
        fail("no error window");
        return 1;
    }
    (void)SetForegroundWindow(error_window);
    DWORD start = GetTickCount();
    while (GetForegroundWindow() != error_window && GetTickCount() - start < 2000) {
        Sleep(POLL_MS);
    }
    print_value("foreground", "%s", GetForegroundWindow() == error_window ? "yes" : "no");
    HWND focus = focus_of(error_window);
    wchar_t class_name[256] = {};
    wchar_t text[TEXT_UNITS] = {};
    if (focus) {
        GetClassNameW(focus, class_name, 256);
        GetWindowTextW(focus, text, TEXT_UNITS);
    }
    print_text("focus.class", class_name);
    print_text("focus.text", text);
    print_value("focus.is_link", "%s", focus && focus == find_link(error_window) ? "yes" : "no");
    for (int i = 2; i < argc; ++i) {
        if (argv[i][0] == L'-') {
            if (lstrcmpW(argv[i], L"--timeout-ms") == 0) {
                ++i;
            }
            continue;
        }
        int result = send_key(argv[i]);
        if (result != 0) {
            return result;
        }
        Sleep(200); // the installer handles one key before the next comes
    }
    return 0;
}

int command_hold()
{
    (void)GetDesktopWindow(); // makes this thread a user of the desktop
    for (;;) {
        Sleep(INFINITE);
    }
}

int usage()
{
    fail("usage: window_driver wait TITLE [--class C] [--error|--splash] [--timeout-ms N] | wait-gone [TITLE] "
         "[--class C] [--timeout-ms N] | dump | click-link | close | alt-f4 [--keystroke|--wm-close] | "
         "sign-in [USER PASSWORD | --cancel] | activate-check | keys KEY... | hold");
    return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2) {
        return usage();
    }
    Options options = {nullptr, nullptr, ANY_SHAPE, DEFAULT_TIMEOUT_MS, false, false, false, nullptr, nullptr};
    const wchar_t* command = argv[1];
    if (lstrcmpW(command, L"keys") == 0) {
        // Key names are no options: only --timeout-ms is read here.
        for (int i = 2; i + 1 < argc; ++i) {
            if (lstrcmpW(argv[i], L"--timeout-ms") == 0) {
                options.timeout_ms = (DWORD)wcstoul(argv[i + 1], nullptr, 10);
            }
        }
        return command_keys(argc, argv, &options);
    }
    if (parse_options(argc, argv, 2, &options) != 0) {
        return 2;
    }
    if (lstrcmpW(command, L"wait") == 0) {
        return command_wait(&options);
    }
    if (lstrcmpW(command, L"wait-gone") == 0) {
        return command_wait_gone(&options);
    }
    if (lstrcmpW(command, L"dump") == 0) {
        return command_dump();
    }
    if (lstrcmpW(command, L"click-link") == 0) {
        return command_click_link(&options);
    }
    if (lstrcmpW(command, L"close") == 0) {
        return command_close(&options);
    }
    if (lstrcmpW(command, L"alt-f4") == 0) {
        return command_alt_f4(&options);
    }
    if (lstrcmpW(command, L"sign-in") == 0) {
        return command_sign_in(&options);
    }
    if (lstrcmpW(command, L"activate-check") == 0) {
        return command_activate_check();
    }
    if (lstrcmpW(command, L"hold") == 0) {
        return command_hold();
    }
    return usage();
}
