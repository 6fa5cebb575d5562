// The program's own entry.
#pragma once

#include <windows.h>

// Returns the process exit code: 0 on success, 1 on failure.
int installer_main(HINSTANCE instance, HINSTANCE reserved, LPWSTR command_line, int show_command);
