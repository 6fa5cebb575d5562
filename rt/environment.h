// Environment blocks for the programs the installer starts.
#pragma once

#include <stdint.h>

// The most settings one edit may set.
const uint32_t ENVIRONMENT_MAX_SET = 8;

// A new environment block (UTF-16 "NAME=value" strings, each NUL-terminated, one more NUL at the
// end) made from source, a block of the same form: without the variables that `dropped` names,
// and with each "NAME=value" of `set` in place of the variable of that name (appended when there
// is none). A name in dropped that ends in '*' drops every variable that begins with the rest.
// Names compare without regard to ASCII case, as Windows compares them. Entries that begin with
// '=' (the per-drive current folders) are kept. At most ENVIRONMENT_MAX_SET settings. Null on failure; the caller frees it with heap_free.
wchar_t* environment_block_edit(const wchar_t* source, const char* const* dropped, uint32_t dropped_count,
                                const char* const* set, uint32_t set_count);
// environment_block_edit of this process's own environment.
wchar_t* environment_of_process_edit(const char* const* dropped, uint32_t dropped_count, const char* const* set,
                                     uint32_t set_count);
