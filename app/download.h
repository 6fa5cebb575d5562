// The download worker: the transfers, their rounds, and how a worker is stopped.
#pragma once

#include <windows.h>

#include "app/download_policy.h" // the worker's results and timings

struct RunFolder;

// Thread entry; run_folder is the RunFolder the setup file goes into. Tries the addresses in
// rounds (the first address first in each; one that is not https only when the configuration
// pins the file, see address_may_be_asked), resumes broken transfers, starts setup from the first
// file that passes every check (download_start_setup), and posts one worker-done message as it
// ends (WORKER_DONE_COMPLETE once setup was started, WORKER_DONE_FAILED after the last failure;
// none after a cancel). A file that can't be started rules its address out, as a 404 does. Exit
// code 0 when setup was started (without download_start_setup: when the file is complete and
// under the run's lock), else the last attempt's result (DOWNLOAD_ERROR_NO_ADDRESS when none was
// asked).
DWORD WINAPI download_worker(void* run_folder);
// How the worker starts setup from a finished file under the run's lock, from its own thread:
// run_setup's contract (0 when it started; otherwise -1 with the last error, and the file is
// gone). installer_main sets run_setup; null: the worker only downloads.
extern int (*download_start_setup)();

// Stops a running worker from any thread: it ends any wait at once, deletes its partial file,
// posts nothing more and ends with DOWNLOAD_ERROR_CANCELLED. Also stops a worker that has not
// started yet. The caller then waits for the thread.
void download_cancel();
// Forgets an earlier download_cancel, so that a new worker may run. Only while no worker runs.
void download_cancel_clear();
// The manual-reset event that download_cancel sets, for the worker's waits; null when the system
// could not make one.
HANDLE download_cancel_signal();
// True once download_cancel was called (and not cleared since).
bool download_cancelled();
// cause, or DOWNLOAD_ERROR_CANCELLED after a cancel: a cancellation overrides every other cause.
int download_failure(int cause);
