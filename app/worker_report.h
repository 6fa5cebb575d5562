// The download worker's hand-over to the splash window: the progress it renders itself, the one
// worker-done message it posts, the wait until the splash is there to receive them, and, on the
// main thread, what that message starts.
#pragma once

#include <windows.h>
#include <stdint.h>

#include "ui/ui.h"

struct AppState;

// The worker-done message, posted to the splash window as the worker ends: wParam
// WORKER_DONE_COMPLETE (setup was started) or WORKER_DONE_FAILED, lParam 0.
const UINT WM_WORKER_DONE = WM_USER;
const WPARAM WORKER_DONE_FAILED = 0;
const WPARAM WORKER_DONE_COMPLETE = 1;

// report_progress's reserved totals.
const uint64_t PROGRESS_COMPLETE = 0;
const uint64_t PROGRESS_FAILED = ~(uint64_t)0;

// ---- on the worker ----
// Stores the progress for total bytes and renders the splash; PROGRESS_COMPLETE also posts the
// completion, PROGRESS_FAILED only the failure message. The bar never goes back: a total below
// what is shown (a transfer that starts again) leaves it. Always 0.
int report_progress(uint64_t total);
// Posts the failure message, once the splash is there to take it.
void post_worker_done();
// The splash window, once it is shown, for a window the worker shows over it; null when there is
// no splash (its set-up failed) or the download was cancelled while waiting for it.
HWND splash_window_when_shown();
// Per-mille progress of total bytes against expected ones; 0..1000.
uint32_t progress_per_mille(uint64_t total, uint64_t expected);

// ---- on the main thread ----
// Waits up to limit_ms for the worker (answering messages sent to this thread's windows), then
// reads its exit code and closes its handle and app->splash_ready. 0 when it was joined; 1 when
// there is none or it still runs.
int worker_join(AppState* app, DWORD limit_ms, DWORD* exit_code);
// After the worker ended with worker_result: closes the splash once the worker has started setup
// (0), or sets the exit code 1 and shows the error window.
void finish_download(AppState* app, DWORD worker_result);
// The splash window's user-message callback: the worker-done message.
void on_worker_done(UiWindow* window, WPARAM wparam, LPARAM lparam);
