// Makes a folder look as old as a test needs: sets its creation time to DAYS days ago through a
// handle, then prints what the system reads back, "created_days_ago=D" (whole days, rounded down),
// and "protected=yes|no" (whether its access list reads back as protected from inheritance, as the
// installer's sweep requires of a folder it made).
// Usage: folder_times.exe FOLDER DAYS
#include <windows.h>
#include <aclapi.h>
#include <stdio.h>
#include <stdlib.h>

static unsigned long long now_value()
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return ((unsigned long long)now.dwHighDateTime << 32) | now.dwLowDateTime;
}

int wmain(int argc, wchar_t** argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: folder_times.exe FOLDER DAYS\n");
        return 2;
    }
    const unsigned long long DAY = 24ull * 60 * 60 * 10000000;
    HANDLE folder = CreateFileW(argv[1], FILE_WRITE_ATTRIBUTES | FILE_READ_ATTRIBUTES | READ_CONTROL,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (folder == INVALID_HANDLE_VALUE) {
        fprintf(stderr, "open: %lu\n", GetLastError());
        return 1;
    }
    unsigned long long wanted = now_value() - (unsigned long long)_wtoi(argv[2]) * DAY;
    FILETIME made = {(DWORD)wanted, (DWORD)(wanted >> 32)};
    if (!SetFileTime(folder, &made, nullptr, nullptr)) {
        fprintf(stderr, "set: %lu\n", GetLastError());
        return 1;
    }
    FILETIME read = {};
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(folder, &info)) {
        fprintf(stderr, "read: %lu\n", GetLastError());
        return 1;
    }
    read = info.ftCreationTime;
    unsigned long long value = ((unsigned long long)read.dwHighDateTime << 32) | read.dwLowDateTime;
    printf("created_days_ago=%llu\n", value < now_value() ? (now_value() - value) / DAY : 0);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    PACL dacl = nullptr;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    bool protected_list = GetSecurityInfo(folder, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                                          nullptr, &descriptor) == ERROR_SUCCESS &&
                          GetSecurityDescriptorControl(descriptor, &control, &revision) &&
                          (control & SE_DACL_PROTECTED) != 0;
    printf("protected=%s\n", protected_list ? "yes" : "no");
    LocalFree(descriptor);
    CloseHandle(folder);
    return 0;
}
