// The download worker's hand-over to the splash window, on both sides: the worker renders its
// progress and posts how it ended; the main thread joins it and starts setup or shows the error.
#include "app/worker_report.h"

#include "app/app_state.h"
#include "app/config.h"
#include "app/download.h"
#include "app/error_window.h"
#include "app/splash.h"
#include "rt/process.h"
#include "rt/thread_wait.h"

// ---- the worker's side ---------------------------------------------------------------------------

// The worker starts before the splash exists, so that the window's set-up overlaps the
// download. Until the main thread has shown it, progress is only stored (the first picture shows
// it); a worker that has something to post by then (a small file, a refused connection) waits.
static bool splash_shown_now(const AppState* app)
{
    HANDLE ready = app->splash_ready;
    return !ready || WaitForSingleObject(ready, 0) == WAIT_OBJECT_0;
}

// A splash that could not be set up: the main thread waits for the worker itself.
static bool splash_missing(AppState* app)
{
    return InterlockedCompareExchange(&app->splash_missing, 0, 0) != 0;
}

// False when a cancellation ended the wait, or there is no splash: nobody to tell.
static bool wait_for_splash(AppState* app)
{
    HANDLE events[2] = {app->splash_ready, download_cancel_signal()};
    if (events[0]) {
        DWORD count = events[1] ? 2 : 1; // without a cancel event, nothing can cancel the wait
        if (WaitForMultipleObjects(count, events, FALSE, INFINITE) != WAIT_OBJECT_0) {
            return false;
        }
    }
    return !splash_missing(app);
}

// Once the splash is there: the full bar of a complete download, and the worker-done message.
static void post_done(WPARAM how)
{
    AppState* app = process_globals.app;
    if (!wait_for_splash(app)) {
        return;
    }
    if (how == WORKER_DONE_COMPLETE) {
        splash_render();
    }
    (void)PostMessageW(app->splash.hwnd, WM_WORKER_DONE, how, 0); // no window left: nobody to tell
}

int report_progress(uint64_t total)
{
    AppState* app = process_globals.app;
    if (total == PROGRESS_COMPLETE) {
        app->progress = 1000;
    }
    if (total == PROGRESS_COMPLETE || total == PROGRESS_FAILED) {
        post_done(total == PROGRESS_COMPLETE ? WORKER_DONE_COMPLETE : WORKER_DONE_FAILED);
        return 0;
    }
    uint32_t progress = progress_per_mille(total, process_globals.config->expected_size);
    if (progress <= app->progress) {
        return 0; // a transfer that started again stays behind the bar until it passes it
    }
    app->progress = progress;
    if (splash_shown_now(app) && !splash_missing(app)) {
        splash_render();
    }
    return 0;
}

void post_worker_done()
{
    post_done(WORKER_DONE_FAILED);
}

HWND splash_window_when_shown()
{
    AppState* app = process_globals.app;
    return app && wait_for_splash(app) ? app->splash.hwnd : nullptr;
}

uint32_t progress_per_mille(uint64_t total, uint64_t expected)
{
    // A server that announced 0 bytes and still sends some has told us nothing about the size:
    // the bar then moves as without any announcement.
    if (expected == 0) {
        expected = DEFAULT_EXPECTED_SIZE;
    }
    if (total >= expected) {
        return 1000;
    }
    if (total <= ~(uint64_t)0 / 1000) {
        return (uint32_t)(total * 1000 / expected);
    }
    // Beyond 18 PB the product would wrap; divide first (expected > total keeps the divisor above
    // 0) and keep the bar short of full until the last byte.
    uint64_t coarse = total / (expected / 1000);
    return coarse < 1000 ? (uint32_t)coarse : 999;
}

// ---- the main thread's side ----------------------------------------------------------------------

int worker_join(AppState* app, DWORD limit_ms, DWORD* exit_code)
{
    if (!app->worker || thread_wait(app->worker, limit_ms) != 0) {
        return 1;
    }
    if (!GetExitCodeThread(app->worker, exit_code)) {
        *exit_code = 1;
    }
    CloseHandle(app->worker);
    app->worker = nullptr;
    if (app->splash_ready) { // nobody waits on it any more
        CloseHandle(app->splash_ready);
        app->splash_ready = nullptr;
    }
    return 0;
}

void finish_download(AppState* app, DWORD worker_result)
{
    if (worker_result == 0) { // the worker has started setup
        if (app->splash.hwnd) {
            SendMessageW(app->splash.hwnd, WM_CLOSE, 0, 0);
        }
        return;
    }
    app->exit_code = 1;
    show_error_window();
}

void on_worker_done(UiWindow* window, WPARAM wparam, LPARAM lparam)
{
    AppState* app = process_globals.app;
    // The worker posts once, as it ends: all that is left of it is its return, so the wait has no
    // limit of its own (and answers what the worker sends to the splash meanwhile). A message
    // after the join finds no worker.
    DWORD exit_code = 1;
    if (worker_join(app, INFINITE, &exit_code) != 0) {
        return;
    }
    finish_download(app, exit_code);
}
