// UTF-8 inside the program, UTF-16 only at the system call; byte-span helpers.
#pragma once

#include <stdint.h>

// Size of the local UTF-16 arrays that path routines convert into.
const int32_t PATH_BUFFER_UNITS = 256;

// Converts UTF-8 into dest (capacity in/out, UTF-16 units) or, when dest is null or too small,
// into a new heap block that the caller frees with heap_free (tell them apart by comparing with dest).
// source_length -1: NUL-terminated source, the count includes the NUL. Null on failure.
wchar_t* utf8_to_wide(wchar_t* dest, int32_t* capacity, const char* source, int32_t source_length);
// One WideCharToMultiByte call; bytes written (or needed with dest_size 0); 0 on failure.
int32_t wide_to_utf8(char* dest, int32_t dest_size, const wchar_t* source, int32_t source_length);
// A new heap UTF-8 copy of NUL-terminated UTF-16 text; null on failure. The caller frees it.
char* wide_to_utf8_alloc(const wchar_t* source);
// Three-way comparison of a counted span with a NUL-terminated key; 0 only for equal bytes and length.
int32_t prefix_compare(const char* span, int32_t span_length, const char* key);
// True when text begins with prefix (both NUL-terminated). ignore_case folds ASCII letters only,
// as URL schemes and HTTP tokens are compared.
bool text_starts_with(const char* text, const char* prefix, bool ignore_case);
// Reads decimal digits at text into value, which stops at UINT64_MAX instead of wrapping. Returns
// the number of digits read (0 when text does not start with one, value then 0); text + that
// count is the first byte after them.
uint32_t parse_decimal(const char* text, uint64_t* value);
// True when the length bytes at text are well-formed UTF-8 (no overlong form, no surrogate, nothing
// above U+10FFFF), with the number of characters in *characters; false otherwise.
bool utf8_count(const char* text, uint32_t length, uint32_t* characters);
// First byte of data not among the set_length bytes of set, or data + length.
const char* span_skip(const char* data, uint32_t length, const char* set, uint32_t set_length);

// A NUL-terminated UTF-8 path as UTF-16 for one system call: in local (PATH_BUFFER_UNITS units)
// when it fits, else in a heap block. Null on failure. Give the result back with path_release.
wchar_t* path_to_wide(wchar_t* local, const char* path);
// Frees what path_to_wide put on the heap (nothing when it used local); keeps the last error.
void path_release(wchar_t* wide, const wchar_t* local);
