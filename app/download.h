// The download worker thread and its progress reports.
#pragma once

#include <windows.h>
#include <wininet.h>
#include <stdint.h>

#include "app/download_policy.h" // the worker's results and timings

// report_progress's reserved totals.
const uint64_t PROGRESS_COMPLETE = 0;
const uint64_t PROGRESS_FAILED = ~(uint64_t)0;
const uint32_t DOWNLOAD_CHUNK_SIZE = 16384;

struct RunFolder;

// Thread entry; run_folder is the RunFolder the setup file goes into. Tries the addresses in
// rounds (the first address first in each), resumes broken transfers, and posts one worker-done
// message at its end (wParam 1 after a complete download, 0 after the last failure; none after a
// cancel). Exit code 0 when the file is complete and under the run's lock, else the last
// attempt's result.
DWORD WINAPI download_worker(void* run_folder);
// Stores the progress for total bytes and renders the splash; PROGRESS_COMPLETE also posts the
// completion, PROGRESS_FAILED only the failure message. The bar never goes back: a total below
// what is shown (a transfer that starts again) leaves it. Always 0.
int report_progress(uint64_t total);
void post_worker_done();
// Per-mille progress of total bytes against expected ones; 0..1000.
uint32_t progress_per_mille(uint64_t total, uint64_t expected);

// Stops a running worker from any thread: it ends any wait at once, deletes its partial file,
// posts nothing more and ends with DOWNLOAD_ERROR_CANCELLED. Also stops a worker that has not
// started yet. The caller then waits for the thread.
void download_cancel();
// For a worker that would not stop: marks its partial file for deletion through the worker's own
// handle, so that it goes when the process ends. From any thread.
void download_abandon();
// Forgets an earlier download_cancel, so that a new worker may run. Only while no worker runs.
void download_cancel_clear();
