// Plays a program that runs as the same user as the installer, without elevation, and tries to
// change what the installer will start: it waits for a run folder (quorvel-*) with a setup.exe
// being written under the folder given, then tries to write, rename and delete the file, to
// rename the folder and open it for deletion, and to put a DLL next to the file. Prints one line
// "name=refused <error>" or "name=allowed" per try, and undoes whatever was allowed.
// Usage: tamper.exe SYSTEM_TEMP TIMEOUT_MS
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>

static bool find_run_folder(const std::wstring& parent, std::wstring* folder)
{
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW((parent + L"\\quorvel-*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) {
        return false;
    }
    bool found = false;
    do {
        std::wstring candidate = parent + L"\\" + entry.cFileName;
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (GetFileAttributesExW((candidate + L"\\setup.exe").c_str(), GetFileExInfoStandard, &data) &&
            (data.nFileSizeLow > 0 || data.nFileSizeHigh > 0)) {
            *folder = candidate;
            found = true;
        }
    } while (!found && FindNextFileW(find, &entry));
    FindClose(find);
    return found;
}

static void report(const char* name, bool allowed)
{
    DWORD error = GetLastError();
    if (allowed) {
        printf("%s=allowed\n", name);
    } else {
        printf("%s=refused %lu\n", name, error);
    }
}

int wmain(int argc, wchar_t** argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: tamper.exe SYSTEM_TEMP TIMEOUT_MS\n");
        return 2;
    }
    std::wstring parent = argv[1];
    DWORD limit = (DWORD)_wtoi(argv[2]);
    std::wstring folder;
    DWORD started = GetTickCount();
    while (!find_run_folder(parent, &folder)) {
        if (GetTickCount() - started > limit) {
            printf("found=no\n");
            return 1;
        }
        Sleep(20);
    }
    printf("found=yes\n");
    std::wstring file = folder + L"\\setup.exe";

    HANDLE writer = CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    report("open_for_writing", writer != INVALID_HANDLE_VALUE);
    if (writer != INVALID_HANDLE_VALUE) {
        CloseHandle(writer);
    }

    std::wstring moved = folder + L"\\moved.exe";
    bool renamed = MoveFileW(file.c_str(), moved.c_str());
    report("rename_file", renamed);
    if (renamed) {
        MoveFileW(moved.c_str(), file.c_str());
    }

    report("delete_file", DeleteFileW(file.c_str()));

    std::wstring other = folder + L"-moved";
    bool folder_renamed = MoveFileW(folder.c_str(), other.c_str());
    report("rename_folder", folder_renamed);
    if (folder_renamed) {
        MoveFileW(other.c_str(), folder.c_str());
    }

    HANDLE deleter = CreateFileW(folder.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    report("open_folder_for_deletion", deleter != INVALID_HANDLE_VALUE);
    if (deleter != INVALID_HANDLE_VALUE) {
        CloseHandle(deleter);
    }

    // Only the folder's access list keeps this out, and Wine does not enforce access lists.
    std::wstring dll = folder + L"\\version.dll";
    HANDLE planted = CreateFileW(dll.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    report("plant_dll", planted != INVALID_HANDLE_VALUE);
    if (planted != INVALID_HANDLE_VALUE) {
        CloseHandle(planted);
        DeleteFileW(dll.c_str());
    }
    return 0;
}
