// The program's own entry.
#pragma once

#include <windows.h>

// The title of the installer's windows; the second installer of a session finds the first by it.
const char INSTALLER_TITLE[] = "Quorvel Web Installer";
const wchar_t INSTALLER_TITLE_WIDE[] = L"Quorvel Web Installer";

// Returns the process exit code: 0 on success, 1 on failure.
int installer_main(HINSTANCE instance, HINSTANCE reserved, LPWSTR command_line, int show_command);
