// The shell and the system's error texts.
#pragma once

#include <stdint.h>

// 0 when the shell accepted the target (a path or a URL) for its "open" verb; 1 otherwise.
int shell_open(const char* target);
// As shell_open, but the target is opened by the desktop shell's own process (through its
// IShellDispatch2), so that an elevated caller does not hand its rights to the browser. That is
// asked on a thread of its own, which alone initialises COM (apartment-threaded) and undoes it; the
// caller's COM is not touched. When any step fails, or the shell has not taken the target within
// 2 s, the target is opened as shell_open does, and never by both ways. Answers messages sent to
// the caller's windows while it waits. 0 when one of the two ways accepted the target; 1 otherwise.
int shell_open_unelevated(const char* target);
// 0 and the NUL-terminated UTF-8 message for code in out; 1 otherwise (out holds "" when the system
// has no text and out_size > 0). out_size 0: 1, nothing written.
int system_error_text(uint32_t code, char* out, int32_t out_size);
