// The local setup path and the start of the setup program.
#pragma once

#include <windows.h>

#include "app/worker_report.h" // on_worker_done, for the splash that calls it

// The setup program's command line: the quoted path, one space and args (none when null), as a
// new heap string; null on failure.
char* setup_command_line(const char* path, const char* args);
// Starts the setup program from the locked file of this run's folder, in that folder, and lifts
// the file's mark for deletion for it. 0 when a process was created; otherwise -1 with the last
// error, and the file is gone. Does not wait for the program. From any thread.
int run_setup();
