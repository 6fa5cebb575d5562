// The one allocator: the process heap kept in process_globals.heap.
#pragma once

#include <stddef.h>

// Null, with the last error ERROR_NOT_ENOUGH_MEMORY, when the heap can't supply the block.
void* heap_alloc(size_t size);
// Same, with the block zero-filled (records that must start zeroed).
void* heap_alloc_zeroed(size_t size);
// Null is accepted and ignored.
void heap_free(void* block);
// Heap copy of a NUL-terminated UTF-8 string; null when out of memory.
char* heap_strdup(const char* text);
