// Where the installer's download time goes: runs the real splash (its images, its DPI, its
// throttle) and the real download worker against a URL, then times renders on their own.
// Usage: download_profile.exe URL SHA256 OUTPUT_PATH [RENDERS] (a new run folder is made next to
// OUTPUT_PATH; SHA256 pins the body, without which a plain http address is not asked)
// Prints: dpi=... ms=... bytes=... renders=... skipped=... and the process's peak memory at the
// end of the download, then the mean cost of one render over RENDERS renders (default 200) of
// changing progress: render_ms for the whole card (the splash thread's renders), worker_render_ms
// for the renders of another thread, as the download worker does them.
#include <windows.h>
#include <gdiplus.h>
#include <psapi.h>
#include <stdio.h>

#include "app/app_state.h"
#include "app/config.h"
#include "app/download.h"
#include "bench/bench_run_folder.h"
#include "app/splash.h"
#include "rt/process.h"
#include "rt/system_imports.h"
#include "ui/ui.h"

static double now_ms()
{
    static LARGE_INTEGER frequency;
    if (!frequency.QuadPart) {
        QueryPerformanceFrequency(&frequency);
    }
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return (double)counter.QuadPart * 1000.0 / (double)frequency.QuadPart;
}

// Runs the thread's messages (the worker's layered updates may need them) until the worker ends.
// The worker-done message is dropped: here nothing is to be launched.
struct RenderRun {
    int count;
    double ms;
};

// Renders as the worker does, from a thread of its own, with the throttle's clock held open.
static DWORD WINAPI render_as_worker(void* argument)
{
    RenderRun* run = (RenderRun*)argument;
    double started = now_ms();
    for (int i = 0; i < run->count; ++i) {
        process_globals.app->progress = (uint32_t)(i * 1000 / run->count);
        splash_throttle.last_tick = GetTickCount() - 100000; // long enough for any cost
        splash_render();
    }
    run->ms = run->count > 0 ? (now_ms() - started) / run->count : 0;
    return 0;
}

static void pump_until(HANDLE worker)
{
    for (;;) {
        DWORD woke = MsgWaitForMultipleObjects(1, &worker, FALSE, INFINITE, QS_ALLINPUT);
        if (woke == WAIT_OBJECT_0) {
            return;
        }
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_USER) {
                continue;
            }
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
}

int wmain(int argc, wchar_t** argv)
{
    if (argc < 4) {
        fwprintf(stderr, L"usage: download_profile.exe URL SHA256 OUTPUT_PATH [RENDERS]\n");
        return 2;
    }
    int renders = argc > 4 ? _wtoi(argv[4]) : 200;
    if (load_system_imports() != 0) {
        return 2;
    }
    process_globals.heap = GetProcessHeap();
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
    process_globals.config = &config;
    process_globals.app = &app;

    Gdiplus::GdiplusStartupInput input;
    if (Gdiplus::GdiplusStartup(&app.gdiplus_token, &input, nullptr) != Gdiplus::Ok) {
        return 1;
    }
    splash_settle_dpi();
    if (ui_register_class() != 0 || ui_window_create(&app.splash) != 0 || splash_setup() != 0) {
        fprintf(stderr, "splash set-up failed\n");
        return 1;
    }
    app.progress = 1;
    splash_render();

    double started = now_ms();
    static RunFolder run;
    if (bench_run_folder(argv[3], &run) != 0) {
        return 1;
    }
    HANDLE worker = CreateThread(nullptr, 0, download_worker, &run, 0, nullptr);
    if (!worker) {
        return 1;
    }
    pump_until(worker);
    double elapsed = now_ms() - started;
    DWORD exit_code = 1;
    GetExitCodeThread(worker, &exit_code);
    CloseHandle(worker);
    // The main thread rendered twice before the worker existed.
    uint32_t worker_renders = splash_throttle.render_count - 2;
    uint32_t skipped = splash_throttle.skipped_count;

    unsigned long long size = bench_setup_size(&run);
    run_folder_release(&run);
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof counters;
    (void)GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters); // zeros on failure

    double render_started = now_ms();
    for (int i = 0; i < renders; ++i) {
        app.progress = (uint32_t)(i * 1000 / (renders > 0 ? renders : 1));
        splash_render_frame();
    }
    double render_ms = renders > 0 ? (now_ms() - render_started) / renders : 0;
    // From an empty bar again, so that every worker render changes the bar's length.
    app.progress = 0;
    splash_render_frame();
    RenderRun worker_run = {renders, 0};
    HANDLE render_thread = CreateThread(nullptr, 0, render_as_worker, &worker_run, 0, nullptr);
    if (render_thread) {
        pump_until(render_thread);
        CloseHandle(render_thread);
    }
    printf("exit=%lu dpi=%d ms=%.1f bytes=%llu renders=%u skipped=%u render_ms=%.2f worker_render_ms=%.2f "
           "peak_working_set=%llu peak_private=%llu\n",
           exit_code, process_globals.dpi, elapsed, size, worker_renders, skipped, render_ms, worker_run.ms,
           (unsigned long long)counters.PeakWorkingSetSize, (unsigned long long)counters.PeakPagefileUsage);
    return exit_code == 0 ? 0 : 1;
}
