#include "rt/file_handle.h"

#include <winternl.h>

#include "rt/heap.h"
#include "rt/text.h"

namespace {

const DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
const DWORD SHARE_NO_DELETE = FILE_SHARE_READ | FILE_SHARE_WRITE;
const DWORD FINAL_PATH_UNITS = 1024;
const wchar_t FINAL_PATH_PREFIX[] = L"\\\\?\\";
const wchar_t FINAL_UNC_PREFIX[] = L"\\\\?\\UNC\\";

// True when text, of length units, begins with the NUL-terminated prefix.
bool has_prefix(const wchar_t* text, DWORD length, const wchar_t* prefix)
{
    int prefix_length = lstrlenW(prefix);
    return length >= (DWORD)prefix_length &&
           CompareStringOrdinal(text, prefix_length, prefix, prefix_length, FALSE) == CSTR_EQUAL;
}

bool handle_is_link(HANDLE handle)
{
    FILE_ATTRIBUTE_TAG_INFO tag = {};
    if (!GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag)) {
        return true; // what can't be told is treated as a link
    }
    return (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// The final path of handle in the form paths are written in: "C:\..." or "\\server\...".
// 0 with the text in out (out_units units); 1 otherwise.
int final_path(HANDLE handle, wchar_t* out, DWORD out_units)
{
    DWORD length = GetFinalPathNameByHandleW(handle, out, out_units, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0 || length >= out_units) {
        return 1;
    }
    if (has_prefix(out, length, FINAL_UNC_PREFIX)) {
        DWORD skip = (DWORD)lstrlenW(FINAL_UNC_PREFIX) - 2; // keep "\\" before the server
        out[skip] = L'\\';
        MoveMemory(out, out + skip, (length - skip + 1) * sizeof(wchar_t));
    } else if (has_prefix(out, length, FINAL_PATH_PREFIX)) {
        DWORD skip = (DWORD)lstrlenW(FINAL_PATH_PREFIX);
        MoveMemory(out, out + skip, (length - skip + 1) * sizeof(wchar_t));
    }
    return 0;
}

bool same_path(const wchar_t* a, const wchar_t* b)
{
    return CompareStringOrdinal(a, -1, b, -1, TRUE) == CSTR_EQUAL;
}

HANDLE open_wide(const char* path, DWORD access, DWORD share, DWORD disposition, DWORD flags)
{
    wchar_t local[PATH_BUFFER_UNITS];
    wchar_t* wide = path_to_wide(local, path);
    if (wide == nullptr) {
        return nullptr;
    }
    HANDLE handle = CreateFileW(wide, access, share, nullptr, disposition, flags, nullptr);
    path_release(wide, local);
    return handle == INVALID_HANDLE_VALUE ? nullptr : handle;
}


// Opens or creates `name` relative to the folder of root with the native call, which (unlike
// CreateFileW) takes a folder handle rather than a path to resolve again. The system's status
// becomes the last error. Null on failure.
HANDLE open_relative(HANDLE root, const char* name, DWORD access, DWORD share, DWORD disposition, DWORD options,
                     PSECURITY_DESCRIPTOR descriptor)
{
    wchar_t local[PATH_BUFFER_UNITS];
    wchar_t* wide = path_to_wide(local, name);
    if (wide == nullptr) {
        return nullptr;
    }
    UNICODE_STRING text;
    text.Length = (USHORT)(lstrlenW(wide) * sizeof(wchar_t));
    text.MaximumLength = text.Length;
    text.Buffer = wide;
    OBJECT_ATTRIBUTES object;
    InitializeObjectAttributes(&object, &text, OBJ_CASE_INSENSITIVE, root, descriptor);
    IO_STATUS_BLOCK status_block = {};
    HANDLE handle = nullptr;
    NTSTATUS status = NtCreateFile(&handle, access | SYNCHRONIZE, &object, &status_block, nullptr,
                                   FILE_ATTRIBUTE_NORMAL, share, disposition, options | FILE_SYNCHRONOUS_IO_NONALERT,
                                   nullptr, 0);
    path_release(wide, local);
    if (!NT_SUCCESS(status)) {
        SetLastError(RtlNtStatusToDosError(status));
        return nullptr;
    }
    return handle;
}

// Decides whether actual, a handle's final path, is the path meant by wide (a path or a name in
// parent); scratch has FINAL_PATH_UNITS units for the path meant.
typedef bool (*PathMatch)(const wchar_t* actual, const wchar_t* wide, HANDLE parent, wchar_t* scratch);

// True when handle is no link and its final path matches text (UTF-8) as match decides.
bool handle_matches(HANDLE handle, const char* text, PathMatch match, HANDLE parent)
{
    if (handle_is_link(handle)) {
        return false;
    }
    wchar_t local[PATH_BUFFER_UNITS];
    wchar_t* wide = path_to_wide(local, text);
    if (wide == nullptr) {
        return false;
    }
    wchar_t* scratch = (wchar_t*)heap_alloc(FINAL_PATH_UNITS * sizeof(wchar_t));
    wchar_t* actual = (wchar_t*)heap_alloc(FINAL_PATH_UNITS * sizeof(wchar_t));
    bool same = scratch && actual && final_path(handle, actual, FINAL_PATH_UNITS) == 0 &&
                match(actual, wide, parent, scratch);
    heap_free(actual);
    heap_free(scratch);
    path_release(wide, local);
    return same;
}

// The final path of parent, a separator and the name.
bool is_child_path(const wchar_t* actual, const wchar_t* name, HANDLE parent, wchar_t* meant)
{
    if (final_path(parent, meant, FINAL_PATH_UNITS) != 0) {
        return false;
    }
    uint32_t length = (uint32_t)lstrlenW(meant);
    uint32_t name_length = (uint32_t)lstrlenW(name);
    if (length + 1 + name_length >= FINAL_PATH_UNITS) {
        return false;
    }
    if (length == 0 || meant[length - 1] != L'\\') { // a drive's root ends in one already
        meant[length++] = L'\\';
    }
    CopyMemory(meant + length, name, (name_length + 1) * sizeof(wchar_t));
    return same_path(meant, actual);
}

// The path itself, or its long form: a path with short names, such as a %TMP% of
// "C:\Users\JOHNSM~1\...", names the same folder.
bool is_same_path(const wchar_t* actual, const wchar_t* path, HANDLE, wchar_t* long_path)
{
    if (same_path(path, actual)) {
        return true;
    }
    DWORD length = GetLongPathNameW(path, long_path, FINAL_PATH_UNITS);
    return length != 0 && length < FINAL_PATH_UNITS && same_path(long_path, actual);
}

// True when handle is no link and its final path is the final path of parent, a separator and name.
bool handle_is_child(HANDLE handle, HANDLE parent, const char* name)
{
    return handle_matches(handle, name, is_child_path, parent);
}

// A held folder is opened without delete access: a handle with it would keep everyone else who
// does not share deletion from opening the folder, a process started in it included.
const DWORD HELD_FOLDER_ACCESS = READ_CONTROL | FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES;
const DWORD REMOVABLE_FOLDER_ACCESS = HELD_FOLDER_ACCESS | DELETE;

} // namespace

HANDLE dir_open_held(const char* path, DWORD access)
{
    HANDLE folder = open_wide(path, access | FILE_READ_ATTRIBUTES, SHARE_NO_DELETE, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT);
    if (!folder) {
        return nullptr;
    }
    if (!handle_is_at(folder, path)) {
        CloseHandle(folder);
        SetLastError(ERROR_PATH_REDIRECTED);
        return nullptr;
    }
    return folder;
}

int dir_create_in(HANDLE parent, const char* name, PSECURITY_DESCRIPTOR descriptor, HANDLE* folder)
{
    *folder = open_relative(parent, name, HELD_FOLDER_ACCESS, SHARE_NO_DELETE, FILE_CREATE,
                            FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT, descriptor);
    return *folder ? 0 : 1;
}

HANDLE dir_open_in(HANDLE parent, const char* name)
{
    HANDLE folder = open_relative(parent, name, REMOVABLE_FOLDER_ACCESS, SHARE_NO_DELETE, FILE_OPEN,
                                  FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT, nullptr);
    if (!folder) {
        return nullptr;
    }
    if (!handle_is_child(folder, parent, name)) {
        CloseHandle(folder);
        SetLastError(ERROR_PATH_REDIRECTED);
        return nullptr;
    }
    return folder;
}

int dir_list_handle(HANDLE folder, void (*visit)(const char* name, DWORD attributes, void* context), void* context)
{
    const DWORD LISTING_BYTES = 16384;
    const int32_t NAME_BYTES = MAX_PATH * 3 + 1;
    uint64_t* listing = (uint64_t*)heap_alloc(LISTING_BYTES);
    if (!listing) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 1;
    }
    char name[NAME_BYTES];
    wchar_t wide[MAX_PATH + 1];
    FILE_INFO_BY_HANDLE_CLASS query = FileFullDirectoryRestartInfo;
    int result = 0;
    while (GetFileInformationByHandleEx(folder, query, listing, LISTING_BYTES)) {
        query = FileFullDirectoryInfo;
        const uint8_t* at = (const uint8_t*)listing;
        for (;;) {
            const FILE_FULL_DIR_INFO* entry = (const FILE_FULL_DIR_INFO*)at;
            DWORD units = entry->FileNameLength / sizeof(wchar_t);
            bool dots = (units == 1 && entry->FileName[0] == L'.') ||
                        (units == 2 && entry->FileName[0] == L'.' && entry->FileName[1] == L'.');
            if (!dots && units <= MAX_PATH) {
                CopyMemory(wide, entry->FileName, units * sizeof(wchar_t));
                wide[units] = L'\0';
                if (wide_to_utf8(name, NAME_BYTES, wide, -1) > 0) {
                    visit(name, entry->FileAttributes, context);
                }
            }
            if (entry->NextEntryOffset == 0) {
                break;
            }
            at += entry->NextEntryOffset;
        }
    }
    if (GetLastError() != ERROR_NO_MORE_FILES) {
        result = 1;
    }
    DWORD error = GetLastError();
    heap_free(listing);
    SetLastError(error);
    return result;
}

HANDLE file_create_in(HANDLE folder, const char* name, PSECURITY_DESCRIPTOR descriptor)
{
    return open_relative(folder, name, GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ, FILE_CREATE,
                         FILE_NON_DIRECTORY_FILE, descriptor);
}

HANDLE file_open_for_delete_in(HANDLE folder, const char* name)
{
    return open_relative(folder, name, DELETE | FILE_READ_ATTRIBUTES, 0, FILE_OPEN,
                         FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT, nullptr);
}

HANDLE file_lock_from_writer(HANDLE* writer)
{
    // A handle that shares no writing can only be opened once nobody writes, the writer included;
    // and the writer shares nothing but reading. So a bridge that shares everything comes first,
    // the writer goes, and the lock is opened from the bridge. A file marked for deletion can't be
    // opened at all: the mark is lifted for those two opens and put back through the lock, and only
    // then does the bridge go. While the mark is off, the writer and then the lock keep everyone
    // else to reading, but for the moment between closing the writer and opening the lock, when
    // only the bridge is open: then whoever the file's access list lets write it could open it for
    // writing. In a folder that only its maker and the administrators may write in, they are those
    // who could change the program anyway. The bridge can't ask for delete access: the writer
    // does not share it.
    if (handle_keep(*writer) != 0) {
        return nullptr;
    }
    HANDLE bridge = ReOpenFile(*writer, GENERIC_READ, SHARE_ALL, 0);
    if (bridge == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        (void)handle_delete(*writer); // the caller discards it through the writer all the same
        SetLastError(error);
        return nullptr;
    }
    CloseHandle(*writer);
    *writer = nullptr;
    HANDLE lock = ReOpenFile(bridge, GENERIC_READ | DELETE, FILE_SHARE_READ, 0);
    if (lock != INVALID_HANDLE_VALUE && handle_delete(lock) != 0) {
        CloseHandle(lock); // a lock that can't keep its mark is no use
        lock = INVALID_HANDLE_VALUE;
    }
    if (lock == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        HANDLE deleter = ReOpenFile(bridge, DELETE, SHARE_ALL, 0);
        if (deleter != INVALID_HANDLE_VALUE) {
            (void)handle_delete(deleter); // the file is of no use without its lock
            CloseHandle(deleter);
        }
        CloseHandle(bridge);
        SetLastError(error);
        return nullptr;
    }
    CloseHandle(bridge);
    return lock;
}

static int set_disposition(HANDLE handle, BOOL delete_file)
{
    FILE_DISPOSITION_INFO disposition = {};
    disposition.DeleteFile = delete_file;
    return SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition) ? 0 : 1;
}

int handle_delete(HANDLE handle)
{
    return set_disposition(handle, TRUE);
}

int handle_keep(HANDLE handle)
{
    return set_disposition(handle, FALSE);
}

bool handle_is_at(HANDLE handle, const char* path)
{
    return handle_matches(handle, path, is_same_path, nullptr);
}

char* handle_path(HANDLE handle)
{
    wchar_t* wide = (wchar_t*)heap_alloc(FINAL_PATH_UNITS * sizeof(wchar_t));
    char* path = nullptr;
    if (wide && final_path(handle, wide, FINAL_PATH_UNITS) == 0) {
        path = wide_to_utf8_alloc(wide);
    }
    heap_free(wide);
    return path;
}

void handle_close(HANDLE* handle)
{
    if (*handle) {
        (void)CloseHandle(*handle); // a handle that will not close is gone for this program either way
        *handle = nullptr;
    }
}
