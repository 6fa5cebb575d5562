// Process entry: the C runtime's start-up calls this, and the process exits with its result.
#include <windows.h>

#include "app/installer.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE reserved, LPWSTR command_line, int show_command)
{
    return installer_main(instance, reserved, command_line, show_command);
}
