// The local setup path, the start of the setup program and the reaction to the worker's messages.
#pragma once

#include <windows.h>

#include "ui/ui.h"

// The setup program's command line: the quoted path, one space and args (none when null), as a
// new heap string; null on failure.
char* setup_command_line(const char* path, const char* args);
// Starts the setup program from the locked file of this run's folder, in that folder. 0 when a
// process was created, -1 otherwise. Does not wait for it.
int run_setup();
struct AppState;
// Waits up to limit_ms for the worker (answering messages sent to this thread's windows), then
// reads its exit code and closes its handle. 0 when it was joined; 1 when there is none or it
// still runs.
int worker_join(AppState* app, DWORD limit_ms, DWORD* exit_code);
// After the worker ended with worker_result: starts setup and closes the splash, or sets the exit
// code 1 and shows the error window.
void finish_download(AppState* app, DWORD worker_result);
// The splash window's user-message callback.
void on_worker_done(UiWindow* window, WPARAM wparam, LPARAM lparam);
