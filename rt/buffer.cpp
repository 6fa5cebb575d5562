#include "rt/buffer.h"

#include "rt/process.h"

char* buffer_reserve(ByteBuffer* buffer, uint32_t size) {
    if (size == 0) {
        size = 1;
    }
    bool owned = buffer->capacity != 0;
    if (owned && buffer->capacity == size) {
        return buffer->data;
    }
    // One heap call at most: an owned block is resized in place (it may move), anything else
    // gets a fresh block.
    void* block;
    if (owned && buffer->data != nullptr) {
        block = HeapReAlloc(process_globals.heap, 0, buffer->data, size);
    } else {
        block = HeapAlloc(process_globals.heap, 0, size);
    }
    if (block == nullptr) {
        return nullptr;  // the buffer, and any block it owns, are untouched
    }
    uint32_t kept = buffer->length < size ? buffer->length : size;
    if (!owned && kept != 0) {
        // A view: copy the viewed bytes, leave them where they are.
        const char* from = buffer->data;
        char* to = (char*)block;
        for (uint32_t i = 0; i < kept; i++) {
            to[i] = from[i];
        }
    }
    buffer->capacity = size;
    buffer->data = (char*)block;
    buffer->length = kept;
    return buffer->data;
}

void buffer_release(ByteBuffer* buffer) {
    if (buffer->capacity != 0) {
        (void)HeapFree(process_globals.heap, 0, buffer->data);  // nothing to do if the heap refuses
        buffer->capacity = 0;
    }
    buffer->data = nullptr;
    buffer->length = 0;
}
