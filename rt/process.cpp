#include "rt/process.h"

#include "rt/heap.h"
#include "rt/result.h"
#include "rt/text.h"

ProcessGlobals process_globals = {
    nullptr,
    0,
    0,
    nullptr,
    nullptr,
    {0, 0, (int32_t)CW_USEDEFAULT, (int32_t)CW_USEDEFAULT},
    {0, 0, 400, 130},
    {0, 0, 32, 32},
    {0, 0, 64, 64},
};

int process_start(const char* path, const char* command_line, const char* folder, const wchar_t* environment)
{
    // CreateProcessW may write into the command line, so each text gets a block of its own.
    wchar_t* wide_path = utf8_to_wide(nullptr, nullptr, path, -1);
    wchar_t* wide_command = utf8_to_wide(nullptr, nullptr, command_line, -1);
    wchar_t* wide_folder = utf8_to_wide(nullptr, nullptr, folder, -1);
    int result = 1;
    if (!wide_path || !wide_command || !wide_folder) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    } else {
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process = {};
        if (CreateProcessW(wide_path, wide_command, nullptr, nullptr, FALSE, CREATE_UNICODE_ENVIRONMENT,
                           (void*)environment, wide_folder, &startup, &process)) {
            CloseHandle(process.hThread);
            CloseHandle(process.hProcess);
            result = 0;
        }
    }
    DWORD error = GetLastError();
    heap_free(wide_folder);
    heap_free(wide_command);
    heap_free(wide_path);
    SetLastError(error);
    return result;
}
