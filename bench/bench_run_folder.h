// The run folder the benchmark programs download into: a new one in the folder of OUTPUT_PATH.
#pragma once

#include <windows.h>

#include "app/run_folder.h"
#include "app/setup_file.h"
#include "rt/process.h"

// 0 when run is ready (and current_run_folder points at it); 1 otherwise.
inline int bench_run_folder(const wchar_t* output_path, RunFolder* run)
{
    static char parent[4096];
    if (!WideCharToMultiByte(CP_UTF8, 0, output_path, -1, parent, sizeof parent, nullptr, nullptr)) {
        return 1;
    }
    char* slash = nullptr;
    for (char* c = parent; *c; ++c) {
        if (*c == '\\' || *c == '/') {
            slash = c;
        }
    }
    if (!slash) {
        return 1;
    }
    *slash = '\0';
    if (run_folder_create_in(run, parent) != 0) {
        return 1;
    }
    current_run_folder = run;
    return 0;
}

// The size of the downloaded setup file; 0 when there is none.
inline unsigned long long bench_setup_size(const RunFolder* run)
{
    LARGE_INTEGER size = {};
    return run->setup_lock && GetFileSizeEx(run->setup_lock, &size) ? (unsigned long long)size.QuadPart : 0;
}
