// The local setup path, the start of the setup program and the reaction to the worker's messages.
#pragma once

#include <windows.h>

#include "ui/ui.h"

// Cached, owned by the configuration; null when it can't be computed.
const char* setup_path();
// 0 when a process was created, -1 otherwise. Does not wait for it.
int run_setup();
// The splash window's user-message callback.
void on_worker_done(UiWindow* window, WPARAM wparam, LPARAM lparam);
