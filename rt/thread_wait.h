// Waiting for a thread from a thread that owns windows.
#pragma once

#include <windows.h>

// Waits up to limit_ms (or INFINITE) for thread to end, meanwhile answering messages that other
// threads send to this thread's windows: the thread waited for may itself be blocked sending one
// (a layered-window update of a window this thread owns). 0 when the thread ended, 1 otherwise.
int thread_wait(HANDLE thread, DWORD limit_ms);
