// The local setup path and the start of the setup program.
#pragma once

#include <windows.h>

#include "app/worker_report.h" // on_worker_done, for the splash that calls it

// The setup program's command line: the quoted path, one space and args (none when null), as a
// new heap string; null on failure.
char* setup_command_line(const char* path, const char* args);
// Starts the setup program from the locked file of this run's folder, in that folder. 0 when a
// process was created, -1 otherwise. Does not wait for it.
int run_setup();
