// The runtime's printf-like formatter with conversions of its own.
#pragma once

#include <stdarg.h>
#include <stdint.h>

struct ByteBuffer;

// A counted UTF-16 string.
struct WideSpan {
    uint32_t length;
    const wchar_t* data;
};

// Number option word for format_number; the width goes in bits 24-31.
const uint32_t NUM_SIGNED = 0x01;
const uint32_t NUM_HEX_LOWER = 0x02;
const uint32_t NUM_HEX_UPPER = 0x04;
const uint32_t NUM_ZERO_FILL = 0x08;
const uint32_t NUM_GROUP = 0x10;
const uint32_t NUM_NEGATIVE = 0x40;
const uint32_t NUM_WIDTH_SHIFT = 24;

// Writes no terminating NUL unless the format ends with %Z: pass the returned length on, never the
// buffer as a C string. Bytes written when it fits (at least one byte to spare); the complement of
// the needed count when the output reached the end; 0 for a bad directive. Never writes at or past
// buffer + size.
int32_t str_format(char* buffer, uint32_t size, const char* format, va_list args);
int32_t str_print(char* buffer, uint32_t size, const char* format, ...);
// Writes value within room bytes; returns the bytes written, never more than room.
uint32_t format_number(uint64_t value, char* out, uint32_t room, uint32_t options);
// Bytes that format_number writes for value and options when the room is unlimited.
uint32_t number_length(uint64_t value, uint32_t options);
// Upper-case hex digits, then lower-case ones; index a half by a 4-bit value.
extern const char FORMAT_DIGITS[33];
// Writes UTF-8 of units code units at out, never at or past end; see the formatter's contract.
char* wide_append_utf8(char* out, char* end, const wchar_t* text, uint32_t units);
// Appends to buffer, growing it once; bytes appended, or 0 on failure or empty output.
int32_t buffer_format(ByteBuffer* buffer, const char* format, va_list args);
// New heap block holding the output (NUL-terminated only if the format writes %Z); null on failure.
char* alloc_format(const char* format, ...);
