// Runs the download worker once against a URL and prints the process's peak memory, for the
// memory benchmark (bench/download_memory.sh). Usage: download_bench.exe URL OUTPUT_PATH (a new run folder is made next to it)
#include <windows.h>
#include <psapi.h>
#include <stdio.h>

#include "app/app_state.h"
#include "app/config.h"
#include "app/download.h"
#include "bench/bench_run_folder.h"
#include "rt/process.h"
#include "rt/system_imports.h"

int wmain(int argc, wchar_t** argv)
{
    if (argc != 3) {
        fwprintf(stderr, L"usage: download_bench.exe URL OUTPUT_PATH\n");
        return 2;
    }
    if (load_system_imports() != 0) {
        return 2;
    }
    process_globals.heap = GetProcessHeap();
    process_globals.dpi = 96;
    static char url[4096];
    static char path[4096];
    if (!WideCharToMultiByte(CP_UTF8, 0, argv[1], -1, url, sizeof url, nullptr, nullptr)
        || !WideCharToMultiByte(CP_UTF8, 0, argv[2], -1, path, sizeof path, nullptr, nullptr)) {
        return 2;
    }
    static InstallerConfig config;
    static AppState app;
    config.expected_size = DEFAULT_EXPECTED_SIZE;
    config.https_url = url;
    app.splash.hwnd = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    process_globals.config = &config;
    process_globals.app = &app;

    DWORD started = GetTickCount();
    static RunFolder run;
    if (bench_run_folder(argv[2], &run) != 0) {
        return 1;
    }
    HANDLE worker = CreateThread(nullptr, 0, download_worker, &run, 0, nullptr);
    if (!worker) {
        return 1;
    }
    WaitForSingleObject(worker, INFINITE);
    DWORD elapsed = GetTickCount() - started;
    DWORD exit_code = 1;
    GetExitCodeThread(worker, &exit_code);
    CloseHandle(worker);

    unsigned long long size = bench_setup_size(&run);
    run_folder_release(&run);
    return exit_code == 0 ? 0 : 1;
}
