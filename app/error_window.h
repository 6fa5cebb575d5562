// The error window with its message and download link.
#pragma once

#include <windows.h>
#include <stdint.h>

#include "rt/shell.h"
#include "ui/ui.h"

struct InstallerConfig;

// Builds and shows the error window inside process_globals.app at the true DPI and returns at
// once; the caller runs the message loop, which ends when the window is destroyed.
// Main thread only, at most once per run.
void show_error_window();
// The error window's on_command: 1 (the link) opens the download address and closes the window;
// when the address could only be put on the clipboard, the window stays and its link says so.
// Every other command is ignored.
void on_error_command(UiWindow* window, uint32_t command);
// Completes a zeroed LOGFONTW (the caller may have set weight and underline): 10-point Arial at
// process_globals.dpi, character set 255, proof quality.
void font_init(LOGFONTW* font);

// The language-dependent texts, UTF-8, with their byte lengths.
struct ErrorTexts {
    const char* message; // two sentences separated by CR LF
    int32_t message_length;
    const char* link;
    int32_t link_length;
    const char* copied; // the link's text once the address is on the clipboard
    int32_t copied_length;
};

// Russian texts for language identifier 0x0419, English for every other value.
const ErrorTexts* error_texts_for_language(uint32_t language);
// The user's language identifier (low 16 bits of the locale's LOCALE_ILANGUAGE), or 0 when the
// system can't tell, which selects English.
uint32_t user_language();
// What the link opens: https_url, else http_url; a missing or empty value counts as absent.
// Null when neither is there (the link then only closes the window).
const char* error_link_target(const InstallerConfig* config);
// Opens the link's target; shell_open_unelevated unless a test points it elsewhere.
extern int (*error_window_open_link)(const char* target, ShellOpenWay* way);
// Frees the fonts and brushes of the error window once its native window is gone (the window
// is destroyed first if it still exists). Safe to call when no error window was ever built.
void error_window_release();
