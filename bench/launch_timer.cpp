// Times a program from the moment it is started, inside Wine, so that Wine's own process start
// is part of every figure and of its baseline alike.
//
// Usage: launch_timer.exe STAMP_FILE|- PROGRAM [ARGS...]
//   With "-": the time until the program has exited.
//   With a stamp file: the time until a program started by it (stamp_setup.exe) wrote its start
//   counter there; the file is deleted first, and waited for up to 600 s after the program exits.
// Prints: exit=CODE exit_ms=... stamp_ms=...   (stamp_ms=-1 without a stamp)
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

static double elapsed_ms(LONGLONG from, LONGLONG to)
{
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return (double)(to - from) * 1000.0 / (double)frequency.QuadPart;
}

static bool read_stamp(const wchar_t* path, LONGLONG* value)
{
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    char text[40] = {};
    DWORD got = 0;
    BOOL ok = ReadFile(file, text, sizeof text - 1, &got, nullptr);
    CloseHandle(file);
    if (!ok || got == 0) {
        return false;
    }
    *value = _strtoi64(text, nullptr, 10);
    return *value != 0;
}

// The rest of our own command line after the first two words, as it was given.
static wchar_t* program_command_line()
{
    wchar_t* p = GetCommandLineW();
    for (int word = 0; word < 2; ++word) {
        bool quoted = false;
        while (*p == L' ' || *p == L'\t') {
            ++p;
        }
        while (*p && (quoted || (*p != L' ' && *p != L'\t'))) {
            if (*p == L'"') {
                quoted = !quoted;
            }
            ++p;
        }
    }
    while (*p == L' ' || *p == L'\t') {
        ++p;
    }
    return p;
}

int wmain(int argc, wchar_t** argv)
{
    if (argc < 3) {
        fwprintf(stderr, L"usage: launch_timer.exe STAMP_FILE|- PROGRAM [ARGS...]\n");
        return 2;
    }
    const wchar_t* stamp = wcscmp(argv[1], L"-") ? argv[1] : nullptr;
    if (stamp) {
        DeleteFileW(stamp);
    }
    wchar_t* command = _wcsdup(program_command_line());
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    LARGE_INTEGER started;
    QueryPerformanceCounter(&started);
    if (!CreateProcessW(nullptr, command, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
        fwprintf(stderr, L"cannot start %ls: %lu\n", command, GetLastError());
        return 1;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    LARGE_INTEGER exited;
    QueryPerformanceCounter(&exited);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);

    double stamp_ms = -1;
    if (stamp) {
        LONGLONG value = 0;
        for (int waited = 0; waited < 600000 && !read_stamp(stamp, &value); waited += 5) {
            Sleep(5);
        }
        if (value) {
            stamp_ms = elapsed_ms(started.QuadPart, value);
        }
    }
    printf("exit=%lu exit_ms=%.1f stamp_ms=%.1f\n", code, elapsed_ms(started.QuadPart, exited.QuadPart), stamp_ms);
    return stamp && stamp_ms < 0 ? 1 : 0;
}
