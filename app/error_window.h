// The error window with its message and download link.
#pragma once

#include <windows.h>
#include <stdint.h>

#include "ui/ui.h"

void show_error_window();
void on_error_command(UiWindow* window, uint32_t command);
void font_init(LOGFONTW* font);
