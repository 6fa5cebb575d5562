// A private heap swapped into process_globals.heap for one scope, so that a test can count the blocks
// the code under test leaves behind and, with a small maximum, make its allocations fail on purpose.
// The program's own heap comes back at the end of the scope.
#pragma once

#include <windows.h>

#include <stddef.h>

#include "rt/process.h"

class TestHeap {
public:
    // A heap that can never hold more than this: allocations beyond a few kilobytes fail.
    static const SIZE_T SMALL = 64 * 1024;
    // More than a SMALL heap can ever hand out.
    static const size_t TOO_MUCH = 1024 * 1024;

    // maximum 0: the heap grows as needed.
    explicit TestHeap(SIZE_T maximum = 0) : saved_(process_globals.heap) {
        heap_ = HeapCreate(0, 0, maximum);
        if (heap_ != nullptr) {
            process_globals.heap = heap_;
        }
    }
    ~TestHeap() {
        process_globals.heap = saved_;
        if (heap_ != nullptr) {
            HeapDestroy(heap_);
        }
    }
    TestHeap(const TestHeap&) = delete;
    TestHeap& operator=(const TestHeap&) = delete;

    bool ok() const { return heap_ != nullptr; }

    // Blocks in use: compare with a count taken before the code under test ran.
    int busy_blocks() const {
        PROCESS_HEAP_ENTRY entry = {};
        int count = 0;
        while (heap_ != nullptr && HeapWalk(heap_, &entry)) {
            if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) {
                ++count;
            }
        }
        return count;
    }

private:
    HANDLE saved_;
    HANDLE heap_;
};
