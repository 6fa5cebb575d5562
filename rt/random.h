// Unpredictable bytes from the system's random number generator.
#pragma once

#include <stdint.h>

// 0 when length bytes were written to out; 1 otherwise (out is then unspecified).
int random_bytes(void* out, uint32_t length);
