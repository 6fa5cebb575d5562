// Growable byte buffer and read-only byte span.
#pragma once

#include <stdint.h>

// A counted view of bytes that it does not own. data is meaningful only when length != 0.
struct ByteSpan {
    uint32_t length;
    const char* data;
};

// capacity 0: the buffer owns nothing (data is null or views somebody else's bytes).
// capacity != 0: data is a process-heap block of exactly capacity bytes, length <= capacity.
// An all-zero record is a valid empty buffer. Begins with the same two fields as ByteSpan.
struct ByteBuffer {
    uint32_t length;
    char* data;
    uint32_t capacity;
};

// Makes the capacity exactly size bytes (0 counts as 1); returns data, or null with the buffer unchanged.
char* buffer_reserve(ByteBuffer* buffer, uint32_t size);
// Frees an owned block; the buffer is empty afterwards. Harmless on an empty buffer or a view.
void buffer_release(ByteBuffer* buffer);
