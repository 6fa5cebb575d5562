#include <gtest/gtest.h>

#include <string.h>

#include "rt/heap.h"
#include "tests/rt/rt_test_support.h"

TEST(Heap, BlocksComeFromTheProgramHeap) {
    char* block = (char*)heap_alloc(40);
    ASSERT_NE(block, nullptr);
    EXPECT_GE(HeapSize(process_globals.heap, 0, block), (SIZE_T)40);
    heap_free(block);

    unsigned char* zeroed = (unsigned char*)heap_alloc_zeroed(4096);
    ASSERT_NE(zeroed, nullptr);
    for (size_t i = 0; i < 4096; i++) {
        ASSERT_EQ(zeroed[i], 0) << "byte " << i;
    }
    heap_free(zeroed);
    heap_free(nullptr);
}

TEST(Heap, StrdupCopiesTextAndTerminator) {
    const char* texts[] = {"", "setup_args", "\xD0\xA3\xD1\x81"};
    for (const char* text : texts) {
        char* copy = heap_strdup(text);
        ASSERT_NE(copy, nullptr);
        EXPECT_NE(copy, text);
        EXPECT_STREQ(copy, text);
        EXPECT_EQ(HeapSize(process_globals.heap, 0, copy), strlen(text) + 1);
        heap_free(copy);
    }
}

TEST(Heap, ExhaustionGivesNull) {
    rt_test::TinyHeap tiny;
    ASSERT_TRUE(tiny.ok());
    EXPECT_EQ(heap_alloc(rt_test::TinyHeap::TOO_MUCH), nullptr);
    EXPECT_EQ(heap_alloc_zeroed(rt_test::TinyHeap::TOO_MUCH), nullptr);
    std::string big(rt_test::TinyHeap::TOO_MUCH, 'x');
    EXPECT_EQ(heap_strdup(big.c_str()), nullptr);
}
