// Runs the download worker once against a URL and prints the process's peak memory, for the
// memory benchmark (bench/download_memory.sh). Usage: download_bench.exe URL SHA256 OUTPUT_PATH
// (a new run folder is made next to OUTPUT_PATH; SHA256 pins the body, without which a plain http
// address is not asked). Prints: exit=... bytes=... ms=... peak_working_set=... peak_private=...
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
    if (argc != 4) {
        fwprintf(stderr, L"usage: download_bench.exe URL SHA256 OUTPUT_PATH\n");
        return 2;
    }
    if (load_system_imports() != 0) {
        return 2;
    }
    process_globals.heap = GetProcessHeap();
    process_globals.dpi = 96;
    static char url[4096];
    static char pin[128];
    if (!WideCharToMultiByte(CP_UTF8, 0, argv[1], -1, url, sizeof url, nullptr, nullptr)
        || !WideCharToMultiByte(CP_UTF8, 0, argv[2], -1, pin, sizeof pin, nullptr, nullptr)) {
        return 2;
    }
    static InstallerConfig config;
    static AppState app;
    config.expected_size = DEFAULT_EXPECTED_SIZE;
    config.https_url = url;
    config.sha256 = pin;
    app.splash.hwnd = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    process_globals.config = &config;
    process_globals.app = &app;

    DWORD started = GetTickCount();
    static RunFolder run;
    if (bench_run_folder(argv[3], &run) != 0) {
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
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof counters;
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) {
        return 1;
    }
    printf("exit=%lu bytes=%llu ms=%lu peak_working_set=%llu peak_private=%llu\n", exit_code, size, elapsed,
           (unsigned long long)counters.PeakWorkingSetSize, (unsigned long long)counters.PeakPagefileUsage);
    return exit_code == 0 ? 0 : 1;
}
