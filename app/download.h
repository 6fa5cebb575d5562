// The download worker thread and its progress reports.
#pragma once

#include <windows.h>
#include <stdint.h>

// report_progress's reserved totals.
const uint64_t PROGRESS_COMPLETE = 0;
const uint64_t PROGRESS_FAILED = ~(uint64_t)0;
const uint32_t DOWNLOAD_CHUNK_SIZE = 16384;

// Results of an attempt that failed without a system error of its own.
const int DOWNLOAD_ERROR_STATUS = ERROR_BAD_NET_RESP;     // the server answered outside 200-299
const int DOWNLOAD_ERROR_LENGTH = ERROR_HANDLE_EOF;       // the body differs from its Content-Length
const int DOWNLOAD_ERROR_DIGEST = ERROR_INVALID_DATA;     // the body does not match the sha256 pin
const int DOWNLOAD_ERROR_NO_ADDRESS = 12005;               // ERROR_INTERNET_INVALID_URL: no address configured
const int DOWNLOAD_ERROR_CANCELLED = ERROR_CANCELLED;     // download_cancel stopped the attempt

struct RunFolder;

// Thread entry; run_folder is the RunFolder the setup file goes into.
// Exit code 0 when one of the two addresses delivered the file (then under the run's lock), else
// the last attempt's result.
DWORD WINAPI download_worker(void* run_folder);
// One attempt: 0 on success, else the last system error (or -1 when that is 0). A failed attempt
// deletes its file through its handle.
int download_to_file(const char* url, RunFolder* run);
// Stores the progress for total bytes and renders the splash; PROGRESS_COMPLETE also posts the
// completion, PROGRESS_FAILED only the failure message. Always 0.
int report_progress(uint64_t total);
void post_worker_done();
// Per-mille progress of total bytes against expected ones; 0..1000.
uint32_t progress_per_mille(uint64_t total, uint64_t expected);

// Stops a running worker from any thread: it aborts the read in flight, deletes its partial file,
// posts nothing more and ends with DOWNLOAD_ERROR_CANCELLED. Also stops a worker that has not
// started yet. The caller then waits for the thread.
void download_cancel();
// For a worker that would not stop: marks its partial file for deletion through the worker's own
// handle, so that it goes when the process ends. From any thread.
void download_abandon();
// Forgets an earlier download_cancel, so that a new worker may run. Only while no worker runs.
void download_cancel_clear();
