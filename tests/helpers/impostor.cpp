// Plays a program of the installer's user that poses as the installer or as the desktop shell: it
// holds the installer's one-per-session name, makes a window of the installer's class and title, or
// registers a window of its own as the desktop shell (SetShellWindow), or holds the clipboard open,
// as told, and stays until it
// is told to stop, its parent ends, or its time is up.
//
//   impostor [--unelevated] [--mutex NAME] [--window CLASS TITLE] [--shell] [--hold-clipboard]
//            [--ready FILE] [--stop-event NAME] [--seconds N]
//   impostor --print-clipboard
//
//   --unelevated   run the rest in a child started with this process's linked (unelevated) token,
//                  as a program of the same user without the user's consent would run; the parent
//                  waits for it and returns its exit code, and the child ends when the parent does
//   --mutex NAME   create the named mutex (the name the installer claims) and keep it
//   --window C T   create a top-level window of class C (registered here) titled T, not shown
//   --shell        register that window (or a new one) as the desktop shell's window
//   --hold-clipboard  open the clipboard for that window (or a new one) and keep it open, as a
//                  clipboard viewer may for a moment
//   --ready FILE   write FILE (the process id, in decimal) once everything above holds
//   --stop-event N end when the named event (made by the caller) is set
//   --seconds N    end after N seconds at the latest (default 60)
//   --print-clipboard  print the clipboard's Unicode text as UTF-8 (what the user would paste) and end
//
// Exit code: 0 after a normal end, 3 when a step failed (message on stderr), 2 on a usage error.
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#include <string>

// user32 exports it; the SDK headers leave it out.
extern "C" BOOL WINAPI SetShellWindow(HWND window);

namespace {

int fail(const char* what)
{
    fprintf(stderr, "impostor: %s failed: %lu\n", what, GetLastError());
    return 3;
}

// Starts this program again, without --unelevated, under the linked token of this process's token
// (an elevated token's unelevated twin), and passes its own process id so that the child ends with it.
int run_unelevated(int argc, wchar_t** argv)
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return fail("OpenProcessToken");
    }
    TOKEN_LINKED_TOKEN linked = {};
    DWORD size = 0;
    if (!GetTokenInformation(token, TokenLinkedToken, &linked, sizeof linked, &size)) {
        return fail("GetTokenInformation(TokenLinkedToken)");
    }
    HANDLE primary = nullptr;
    if (!DuplicateTokenEx(linked.LinkedToken, MAXIMUM_ALLOWED, nullptr, SecurityImpersonation, TokenPrimary,
                          &primary)) {
        return fail("DuplicateTokenEx");
    }
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring command = L"\"" + std::wstring(self) + L"\" --parent " + std::to_wstring(GetCurrentProcessId());
    for (int i = 1; i < argc; ++i) {
        if (wcscmp(argv[i], L"--unelevated") != 0) {
            command += L" \"" + std::wstring(argv[i]) + L"\"";
        }
    }
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child = {};
    if (!CreateProcessAsUserW(primary, self, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                              &child)) {
        return fail("CreateProcessAsUserW");
    }
    WaitForSingleObject(child.hProcess, INFINITE);
    DWORD code = 3;
    GetExitCodeProcess(child.hProcess, &code);
    return (int)code;
}

int print_clipboard()
{
    for (int attempt = 0; attempt < 50 && !OpenClipboard(nullptr); ++attempt) {
        Sleep(100);
    }
    HANDLE data = GetClipboardData(CF_UNICODETEXT);
    const wchar_t* text = data ? (const wchar_t*)GlobalLock(data) : nullptr;
    if (!text) {
        CloseClipboard();
        return fail("GetClipboardData(CF_UNICODETEXT)");
    }
    std::string utf8(WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, &utf8[0], (int)utf8.size(), nullptr, nullptr);
    GlobalUnlock(data);
    CloseClipboard();
    fwrite(utf8.data(), 1, utf8.size() - 1, stdout);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc == 2 && wcscmp(argv[1], L"--print-clipboard") == 0) {
        return print_clipboard();
    }
    for (int i = 1; i < argc; ++i) {
        if (wcscmp(argv[i], L"--unelevated") == 0) {
            return run_unelevated(argc, argv);
        }
    }
    const wchar_t* mutex_name = nullptr;
    const wchar_t* window_class = nullptr;
    const wchar_t* window_title = nullptr;
    const wchar_t* ready = nullptr;
    const wchar_t* stop_event = nullptr;
    bool shell = false;
    bool hold_clipboard = false;
    DWORD parent_id = 0;
    DWORD seconds = 60;
    for (int i = 1; i < argc; ++i) {
        std::wstring arg = argv[i];
        bool has_value = i + 1 < argc;
        if (arg == L"--mutex" && has_value) {
            mutex_name = argv[++i];
        } else if (arg == L"--window" && i + 2 < argc) {
            window_class = argv[++i];
            window_title = argv[++i];
        } else if (arg == L"--shell") {
            shell = true;
        } else if (arg == L"--hold-clipboard") {
            hold_clipboard = true;
        } else if (arg == L"--ready" && has_value) {
            ready = argv[++i];
        } else if (arg == L"--stop-event" && has_value) {
            stop_event = argv[++i];
        } else if (arg == L"--seconds" && has_value) {
            seconds = (DWORD)_wtoi(argv[++i]);
        } else if (arg == L"--parent" && has_value) {
            parent_id = (DWORD)_wtoi(argv[++i]);
        } else {
            fprintf(stderr, "impostor: unknown argument %ls\n", argv[i]);
            return 2;
        }
    }

    HANDLE waits[2];
    DWORD wait_count = 0;
    if (parent_id != 0) {
        HANDLE parent = OpenProcess(SYNCHRONIZE, FALSE, parent_id);
        if (!parent) {
            return fail("OpenProcess(parent)");
        }
        waits[wait_count++] = parent;
    }
    if (stop_event) {
        HANDLE event = OpenEventW(SYNCHRONIZE, FALSE, stop_event);
        if (!event) {
            return fail("OpenEventW");
        }
        waits[wait_count++] = event;
    }
    if (mutex_name && !CreateMutexW(nullptr, FALSE, mutex_name)) {
        return fail("CreateMutexW");
    }
    HWND window = nullptr;
    if (window_class || shell || hold_clipboard) {
        const wchar_t* class_name = window_class ? window_class : L"QwiImpostorShell";
        WNDCLASSW wc = {};
        wc.lpfnWndProc = DefWindowProcW;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = class_name;
        RegisterClassW(&wc);
        window = CreateWindowExW(0, class_name, window_title ? window_title : L"", WS_POPUP, 0, 0, 10, 10, nullptr,
                                 nullptr, wc.hInstance, nullptr);
        if (!window) {
            return fail("CreateWindowExW");
        }
    }
    // The shell's place is free once the window of an earlier holder is gone, which can take a moment.
    bool registered = !shell;
    for (int attempt = 0; !registered && attempt < 100; ++attempt) {
        registered = SetShellWindow(window) != FALSE;
        if (!registered) {
            Sleep(50);
        }
    }
    if (!registered) {
        return fail("SetShellWindow");
    }
    if (hold_clipboard && !OpenClipboard(window)) {
        return fail("OpenClipboard");
    }
    if (ready) {
        HANDLE file = CreateFileW(ready, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            return fail("CreateFileW(ready)");
        }
        char text[16];
        int length = snprintf(text, sizeof text, "%lu", GetCurrentProcessId());
        DWORD written = 0;
        WriteFile(file, text, (DWORD)length, &written, nullptr);
        CloseHandle(file);
    }

    // Answers what is sent to the window while it waits.
    DWORD started = GetTickCount();
    for (;;) {
        DWORD waited = GetTickCount() - started;
        if (waited >= seconds * 1000) {
            return 0;
        }
        DWORD result = MsgWaitForMultipleObjects(wait_count, waits, FALSE, seconds * 1000 - waited, QS_ALLINPUT);
        if (result < WAIT_OBJECT_0 + wait_count) {
            return 0;
        }
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            DispatchMessageW(&msg);
        }
    }
}
