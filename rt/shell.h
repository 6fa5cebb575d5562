// The shell and the system's error texts.
#pragma once

#include <stdint.h>

// 0 when the shell accepted the target (a path or a URL) for its "open" verb; -1 otherwise.
int shell_open(const char* target);
// 0 and the NUL-terminated UTF-8 message for code in out; -1 otherwise (out holds "" when the system
// has no text and out_size > 0). out_size 0: -1, nothing written.
int system_error_text(uint32_t code, char* out, int32_t out_size);
