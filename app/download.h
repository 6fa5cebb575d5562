// The download worker thread and its progress reports.
#pragma once

#include <windows.h>
#include <wininet.h>
#include <stdint.h>

// report_progress's reserved totals.
const uint64_t PROGRESS_COMPLETE = 0;
const uint64_t PROGRESS_FAILED = ~(uint64_t)0;
const uint32_t DOWNLOAD_CHUNK_SIZE = 16384;

// Results of an attempt that failed without a system error of its own.
const int DOWNLOAD_ERROR_STATUS = ERROR_BAD_NET_RESP;     // the server answered outside 200-299
const int DOWNLOAD_ERROR_LENGTH = ERROR_HANDLE_EOF;       // the body differs from its Content-Length
const int DOWNLOAD_ERROR_DIGEST = ERROR_INVALID_DATA;     // the body does not match the sha256 pin
const int DOWNLOAD_ERROR_NOT_PROGRAM = ERROR_BAD_EXE_FORMAT; // empty, or not starting with "MZ"
const int DOWNLOAD_ERROR_INSECURE_REDIRECT = ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR;
const int DOWNLOAD_ERROR_NO_ADDRESS = ERROR_INTERNET_INVALID_URL; // no address configured
const int DOWNLOAD_ERROR_CANCELLED = ERROR_CANCELLED;     // download_cancel stopped the attempt
const int DOWNLOAD_ERROR_TIMEOUT = ERROR_INTERNET_TIMEOUT; // no answer, or no body byte, in time

// How long the worker waits, in milliseconds. Tests shorten them; the program never changes them.
struct DownloadTimings {
    DWORD first_round_wait;   // before the second round
    DWORD later_round_wait;   // before the third
    DWORD connect_limit;      // for the response head
    DWORD silence_limit;      // for the next body byte
    DWORD retry_after_limit;  // the most a server's Retry-After is waited for
};
extern DownloadTimings download_timings;

const int DOWNLOAD_ROUNDS = 3;
const int DOWNLOAD_RESUMES_IN_A_ROW = 10;

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

// What an attempt's response means for the next ones.
enum DownloadVerdict {
    VERDICT_RETRY,      // try again in a later round
    VERDICT_RULED_OUT,  // this address is not asked again in this run
    VERDICT_STOP,       // nothing more is tried (the disk is full)
};
// The verdict for an attempt's result and HTTP status (0: none came).
DownloadVerdict download_verdict(int result, DWORD status);
// Milliseconds of a Retry-After value (delta seconds; a date counts as none), at most limit_ms;
// 0 when there is none.
DWORD retry_after_ms(const char* text, DWORD limit_ms);
// The wait before round `round` (1 or 2) with jitter: a 32-bit random value moves it by up to a
// quarter either way.
DWORD round_wait_ms(int round, uint32_t random);
// Parses "bytes START-END/TOTAL". True with start and total.
bool parse_content_range(const char* text, uint64_t* start, uint64_t* total);

// Stops a running worker from any thread: it ends any wait at once, deletes its partial file,
// posts nothing more and ends with DOWNLOAD_ERROR_CANCELLED. Also stops a worker that has not
// started yet. The caller then waits for the thread.
void download_cancel();
// For a worker that would not stop: marks its partial file for deletion through the worker's own
// handle, so that it goes when the process ends. From any thread.
void download_abandon();
// Forgets an earlier download_cancel, so that a new worker may run. Only while no worker runs.
void download_cancel_clear();
