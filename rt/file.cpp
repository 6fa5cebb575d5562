#include "rt/file.h"

#include "rt/text.h"

char* temp_folder_path(bool system)
{
    wchar_t folder[MAX_PATH + 8];
    DWORD length = 0;
    if (system) {
        // Not %SystemRoot%: the environment is the user's to set.
        static const wchar_t TEMP[] = L"\\Temp";
        length = GetSystemWindowsDirectoryW(folder, MAX_PATH);
        if (length == 0 || length >= MAX_PATH) {
            return nullptr;
        }
        if (folder[length - 1] == L'\\') {
            --length;
        }
        CopyMemory(folder + length, TEMP, sizeof TEMP);
    } else {
        length = GetTempPathW(MAX_PATH + 1, folder);
        if (length == 0 || length > MAX_PATH) {
            return nullptr;
        }
        if (length > 3 && folder[length - 1] == L'\\') {
            folder[--length] = L'\0';
        }
    }
    return wide_to_utf8_alloc(folder);
}

int disk_free_bytes(const char* path, uint64_t* free_bytes)
{
    wchar_t local[PATH_BUFFER_UNITS];
    wchar_t* wide = path_to_wide(local, path);
    if (wide == nullptr) {
        return 1;
    }
    ULARGE_INTEGER available = {};
    int result = GetDiskFreeSpaceExW(wide, &available, nullptr, nullptr) ? 0 : 1;
    path_release(wide, local);
    *free_bytes = available.QuadPart;
    return result;
}

uint64_t file_time_value(const FILETIME* time)
{
    return ((uint64_t)time->dwHighDateTime << 32) | time->dwLowDateTime;
}

uint64_t file_time_now()
{
    FILETIME now = {};
    GetSystemTimeAsFileTime(&now);
    return file_time_value(&now);
}
