// Files and directories by UTF-8 path. Failures leave the system's last error for the caller.
#pragma once

#include <windows.h>
#include <stdint.h>

struct ByteSpan;

// The file-open flag word.
const uint32_t FOPEN_MODE_MASK = 0x0F;
const uint32_t FOPEN_MODE_APPEND = 14;
const uint32_t FOPEN_ACCESS_ALL = 0x10;
const uint32_t FOPEN_ACCESS_EXECUTE = 0x20;
const uint32_t FOPEN_ACCESS_WRITE = 0x40;
const uint32_t FOPEN_ACCESS_READ = 0x80;
const uint32_t FOPEN_EXACT_PATH = 0x100;
const uint32_t FOPEN_TRUNCATE = 0x200;
const uint32_t FOPEN_SYSTEM_FLAGS_MASK = 0xFFFF0000;

// Write access, open or create, shared for read/write/delete, length unchanged.
const uint32_t FOPEN_WRITE_OPEN_OR_CREATE = 0x44;
// The same, but an existing file is emptied (CREATE_ALWAYS).
const uint32_t FOPEN_WRITE_REPLACE = 0x244;

// INVALID_HANDLE_VALUE on failure.
HANDLE file_open(const char* path, uint32_t flags);
// 1 when path names an existing file or directory in its exact long form; 0 otherwise.
int path_is_exact(const wchar_t* path);
// 0 deleted; 1 refused; -1 the path could not be converted.
int file_delete(const char* path);
// 0 when every byte was written and the file closed; 1 otherwise.
int file_write_all(const char* path, const ByteSpan* block);
// 0 when every directory along path exists afterwards; 1 when one could not be made; -1 conversion failed.
int make_dirs(const char* path);
// True for the errors of a failed open or write that a missing folder can cause (file or path not
// found, device not ready, invalid name): creating the parent folders and trying once more may help.
bool is_missing_path_error(DWORD error);
// make_dirs of the directory part of a file path; 0 when there is none. path is restored before return.
int make_parent_dirs(char* path);
// The system's temporary folder (the Windows folder's "Temp") when system, else the user's (%TMP%),
// without a trailing separator, as a new heap UTF-8 string; null on failure.
char* temp_folder_path(bool system);
// 0 and the bytes free to the caller on the volume of path (an existing folder); 1 otherwise.
int disk_free_bytes(const char* path, uint64_t* free_bytes);
