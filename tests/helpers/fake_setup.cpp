// Plays the setup program in end-to-end tests: writes the command line it received, its own path
// and its working directory, as UTF-8 lines, to "setup-run.txt" next to itself, then exits with
// code 0.
// A second run appends, so a test can tell how often setup was started. Its whole environment
// goes to "setup-env.txt" beside it, one variable a line (the last run's).
#include <windows.h>

static void write_utf8_line(HANDLE file, const wchar_t* text)
{
    char bytes[8192];
    int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, bytes, sizeof bytes - 2, nullptr, nullptr);
    if (n <= 0) {
        return;
    }
    n -= 1; // drop the NUL
    bytes[n++] = '\n';
    DWORD written = 0;
    (void)WriteFile(file, bytes, (DWORD)n, &written, nullptr);
}

int wmain()
{
    wchar_t self[4096];
    DWORD length = GetModuleFileNameW(nullptr, self, 4096);
    if (length == 0 || length >= 4096) {
        return 2;
    }
    wchar_t log_path[4200];
    lstrcpyW(log_path, self);
    wchar_t* slash = log_path;
    for (wchar_t* p = log_path; *p; ++p) {
        if (*p == L'\\' || *p == L'/') {
            slash = p + 1;
        }
    }
    lstrcpyW(slash, L"setup-run.txt");

    HANDLE file = CreateFileW(log_path, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return 3;
    }
    write_utf8_line(file, GetCommandLineW());
    write_utf8_line(file, self);
    wchar_t folder[4096];
    DWORD folder_length = GetCurrentDirectoryW(4096, folder);
    write_utf8_line(file, folder_length > 0 && folder_length < 4096 ? folder : L"?");
    CloseHandle(file);

    lstrcpyW(slash, L"setup-env.txt");
    file = CreateFileW(log_path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                       nullptr);
    wchar_t* environment = GetEnvironmentStringsW();
    if (file == INVALID_HANDLE_VALUE || !environment) {
        return 4;
    }
    for (const wchar_t* entry = environment; *entry; entry += lstrlenW(entry) + 1) {
        write_utf8_line(file, entry);
    }
    FreeEnvironmentStringsW(environment);
    CloseHandle(file);
    return 0;
}
