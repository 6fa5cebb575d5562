// The run's log: install.log in the run's folder, for whoever has to find out why a run failed.
// One event a line, UTF-8: the milliseconds since the installer started, a space, the event.
// Writing it never fails the run: without an open log, or once it is full, events are dropped.
#pragma once

#include <windows.h>
#include <stdint.h>

const char INSTALL_LOG_NAME[] = "install.log";
// The log stops growing here; its last line then says so.
const uint32_t INSTALL_LOG_CAP = 65536;

// Starts the clock that the log's times count from. Called first thing; a log opened without it
// counts from its opening.
void install_log_start_clock();
// Creates the log new in the held folder (a file of that name already there, or a link, is never
// written through). 0, or 1 with the last error; the run goes on without a log either way.
int install_log_open(HANDLE folder);
// Appends one event, formatted as str_format does; a line that does not fit is cut. Any thread.
void install_log(const char* format, ...);
// Appends "<what>: (<code>) <the system's text for it>", the code in hex when it is an HRESULT;
// without a text from the system, just the code. Keeps the last error.
void install_log_failure(const char* what, uint32_t code);
// Closes the log; later events are dropped.
void install_log_close();
