#include "rt/heap.h"

#include "rt/process.h"

// HeapAlloc does not set the last error when it fails; rt/'s callers read it.
static void* allocated(void* block) {
    if (block == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    }
    return block;
}

void* heap_alloc(size_t size) {
    return allocated(HeapAlloc(process_globals.heap, 0, size));
}

void* heap_alloc_zeroed(size_t size) {
    return allocated(HeapAlloc(process_globals.heap, HEAP_ZERO_MEMORY, size));
}

void heap_free(void* block) {
    if (block != nullptr) {
        (void)HeapFree(process_globals.heap, 0, block);  // nothing useful to do if the heap refuses
    }
}

char* heap_strdup(const char* text) {
    size_t size = 1;
    while (text[size - 1] != '\0') {
        size++;
    }
    char* copy = (char*)heap_alloc(size);
    if (copy == nullptr) {
        return nullptr;
    }
    for (size_t i = 0; i < size; i++) {
        copy[i] = text[i];
    }
    return copy;
}
