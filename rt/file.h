// Where files go: the temporary folders, the room on a volume, file times.
#pragma once

#include <windows.h>
#include <stdint.h>

// The system's temporary folder (the Windows folder's "Temp") when system, else the user's (%TMP%),
// without a trailing separator, as a new heap UTF-8 string; null on failure.
char* temp_folder_path(bool system);
// The bytes free to the caller on the volume of path (an existing folder). 0, or 1 with the last error.
int disk_free_bytes(const char* path, uint64_t* free_bytes);
// A FILETIME as one number of 100-ns units since 1601, for arithmetic on times.
uint64_t file_time_value(const FILETIME* time);
// The system's time now, as file_time_value counts it.
uint64_t file_time_now();
