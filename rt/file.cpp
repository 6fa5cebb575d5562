#include "rt/file.h"

#include "rt/buffer.h"
#include "rt/heap.h"
#include "rt/text.h"

namespace {

const DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
const DWORD APPEND_ACCESS = 0x00120004;  // SYNCHRONIZE | READ_CONTROL | FILE_APPEND_DATA
const DWORD LONG_PATH_UNITS = 4096;

// Converts a NUL-terminated UTF-8 path into local (PATH_BUFFER_UNITS units) or a heap block.
wchar_t* path_to_wide(wchar_t* local, const char* path) {
    int32_t capacity = PATH_BUFFER_UNITS;
    return utf8_to_wide(local, &capacity, path, -1);
}

// Frees a heap copy made by path_to_wide and keeps the caller's last error.
void path_release(wchar_t* wide, const wchar_t* local) {
    if (wide != local) {
        DWORD error = GetLastError();
        heap_free(wide);
        SetLastError(error);
    }
}

bool is_separator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

bool is_ascii_letter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// Length of the part of path that is not a directory of its own: "X:" before a separator or the
// end, nothing otherwise (rooted, relative, drive-relative and UNC paths alike).
int drive_prefix_length(const char* path) {
    if (path[0] == '/' || path[0] == '\\') {
        return 0;
    }
    if (is_ascii_letter(path[0]) && path[1] == ':' &&
        (path[2] == '\0' || path[2] == '/' || path[2] == '\\')) {
        return 2;
    }
    return 0;
}

bool is_directory(const wchar_t* path) {
    DWORD attributes = GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// CreateFileW disposition for the mode bits; may adjust access for the append mode.
DWORD disposition_for(uint32_t flags, DWORD* access) {
    DWORD mode = flags & FOPEN_MODE_MASK;
    if (mode == 0) {
        mode = OPEN_EXISTING;
    } else if (mode == FOPEN_MODE_APPEND) {
        mode = OPEN_ALWAYS;
        *access = APPEND_ACCESS;
    }
    if (flags & FOPEN_TRUNCATE) {
        if (mode == OPEN_ALWAYS) {
            mode = CREATE_ALWAYS;
        } else if (mode == OPEN_EXISTING) {
            mode = TRUNCATE_EXISTING;
        } else {
            mode = 0;  // no truncating form: the system rejects the open
        }
    }
    return mode;
}

}  // namespace

HANDLE file_open(const char* path, uint32_t flags) {
    wchar_t local[PATH_BUFFER_UNITS];
    wchar_t* wide = path_to_wide(local, path);
    if (wide == nullptr) {
        return INVALID_HANDLE_VALUE;
    }
    DWORD access = (flags << 24) & 0xF0000000;
    DWORD attributes = (flags & FOPEN_SYSTEM_FLAGS_MASK) | FILE_FLAG_BACKUP_SEMANTICS |
                       FILE_ATTRIBUTE_NORMAL;
    HANDLE file = INVALID_HANDLE_VALUE;
    // path_is_exact leaves its own last error when it refuses.
    if ((flags & FOPEN_EXACT_PATH) == 0 || path_is_exact(wide)) {
        DWORD disposition = disposition_for(flags, &access);
        file = CreateFileW(wide, access, SHARE_ALL, nullptr, disposition, attributes, nullptr);
    }
    path_release(wide, local);
    return file;
}

int path_is_exact(const wchar_t* path) {
    wchar_t long_form[LONG_PATH_UNITS];
    DWORD length = GetLongPathNameW(path, long_form, LONG_PATH_UNITS);
    if (length == 0) {
        return 0;
    }
    if (length >= LONG_PATH_UNITS) {
        // Only the needed size was reported; nothing to compare with.
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return 0;
    }
    if (_wcsicmp(long_form, path) == 0) {
        return 1;
    }
    SetLastError(ERROR_INVALID_NAME);
    return 0;
}

int file_delete(const char* path) {
    wchar_t local[PATH_BUFFER_UNITS];
    wchar_t* wide = path_to_wide(local, path);
    if (wide == nullptr) {
        return -1;
    }
    int result = DeleteFileW(wide) ? 0 : 1;
    path_release(wide, local);
    return result;
}

int file_write_all(const char* path, const ByteSpan* block) {
    // Replaces the whole file, so an older, longer file leaves no tail behind.
    HANDLE file = file_open(path, FOPEN_WRITE_REPLACE);
    if (file == INVALID_HANDLE_VALUE) {
        return 1;  // the open's last error stays for the caller
    }
    DWORD written = 0;
    bool complete = true;
    if (block->length != 0) {
        // data means nothing for an empty span, so it is not handed to the system then.
        complete = WriteFile(file, block->data, block->length, &written, nullptr) &&
                   written == block->length;
    }
    DWORD error = complete ? 0 : GetLastError();
    if (!CloseHandle(file)) {
        if (complete) {
            error = GetLastError();
        }
        complete = false;
    }
    if (!complete) {
        // A short write's cause (often ERROR_DISK_FULL) matters more than the delete's outcome.
        (void)file_delete(path);
        SetLastError(error);
        return 1;
    }
    return 0;
}

int make_dirs(const char* path) {
    wchar_t local[PATH_BUFFER_UNITS];
    wchar_t* wide = path_to_wide(local, path);
    if (wide == nullptr) {
        return -1;
    }
    wchar_t* cursor = wide + drive_prefix_length(path);
    if (is_separator(*cursor)) {
        cursor++;
    }
    int result = 0;
    for (;;) {
        while (*cursor != L'\0' && !is_separator(*cursor)) {
            cursor++;
        }
        wchar_t kept = *cursor;
        *cursor = L'\0';
        BOOL created = CreateDirectoryW(wide, nullptr);
        *cursor = kept;
        if (!created && GetLastError() != ERROR_ALREADY_EXISTS) {
            result = 1;
            break;
        }
        if (kept == L'\0') {
            // A file standing where the last directory belongs also says "already exists".
            if (!created && !is_directory(wide)) {
                SetLastError(ERROR_ALREADY_EXISTS);
                result = 1;
            }
            break;
        }
        cursor++;
    }
    path_release(wide, local);
    return result;
}

int make_parent_dirs(char* path) {
    char* separator = nullptr;
    for (char* at = path; *at != '\0'; at++) {
        if (*at == '\\' || *at == '/') {
            separator = at;
        }
    }
    if (separator == nullptr) {
        return 0;
    }
    char kept = *separator;
    *separator = '\0';
    int result = make_dirs(path);
    *separator = kept;
    return result;
}

bool is_missing_path_error(DWORD error)
{
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_NOT_READY ||
           error == ERROR_INVALID_NAME;
}

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
        length += (DWORD)(sizeof TEMP / sizeof TEMP[0]) - 1;
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
