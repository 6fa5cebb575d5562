#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "rt/buffer.h"
#include "tests/rt/rt_test_support.h"

namespace {

std::string contents(const ByteBuffer& buffer) {
    return std::string(buffer.data, buffer.length);
}

ByteBuffer owned(const char* text) {
    ByteBuffer buffer = {};
    uint32_t length = (uint32_t)strlen(text);
    char* data = buffer_reserve(&buffer, length);
    memcpy(data, text, length);
    buffer.length = length;
    return buffer;
}

}  // namespace

TEST(Buffer, ReserveOnEmptyBufferOwnsExactlyTheSizeAsked) {
    struct Case {
        uint32_t size;
        uint32_t capacity;
    } cases[] = {{0, 1}, {1, 1}, {16384, 16384}};
    for (const Case& c : cases) {
        ByteBuffer buffer = {};
        char* data = buffer_reserve(&buffer, c.size);
        ASSERT_NE(data, nullptr) << c.size;
        EXPECT_EQ(buffer.data, data);
        EXPECT_EQ(buffer.length, 0u);
        EXPECT_EQ(buffer.capacity, c.capacity);
        EXPECT_EQ(HeapSize(process_globals.heap, 0, data), (SIZE_T)c.capacity);
        buffer_release(&buffer);
    }
}

TEST(Buffer, ReserveAtCurrentCapacityKeepsTheBlock) {
    ByteBuffer buffer = owned("abcdef");
    char* before = buffer.data;
    EXPECT_EQ(buffer_reserve(&buffer, 6), before);
    EXPECT_EQ(buffer.data, before);
    EXPECT_EQ(contents(buffer), "abcdef");
    // 0 counts as 1, so a 1-byte block is already the right size for it.
    ByteBuffer one = {};
    char* single = buffer_reserve(&one, 1);
    EXPECT_EQ(buffer_reserve(&one, 0), single);
    buffer_release(&one);
    buffer_release(&buffer);
}

TEST(Buffer, ResizingAnOwnedBlockKeepsContentsUpToTheSmallerSize) {
    ByteBuffer buffer = owned("abcdefgh");
    ASSERT_NE(buffer_reserve(&buffer, 100000), nullptr);
    EXPECT_EQ(buffer.capacity, 100000u);
    EXPECT_EQ(contents(buffer), "abcdefgh");

    ASSERT_NE(buffer_reserve(&buffer, 3), nullptr);
    EXPECT_EQ(buffer.capacity, 3u);
    EXPECT_EQ(HeapSize(process_globals.heap, 0, buffer.data), (SIZE_T)3);
    EXPECT_EQ(contents(buffer), "abc");

    ASSERT_NE(buffer_reserve(&buffer, 0), nullptr);
    EXPECT_EQ(buffer.capacity, 1u);
    EXPECT_EQ(contents(buffer), "a");
    buffer_release(&buffer);
}

TEST(Buffer, ReserveOnAViewCopiesAndLeavesTheViewedBytesAlone) {
    struct Case {
        uint32_t size;
        const char* expected;
    } cases[] = {{3, "vie"}, {5, "viewd"}, {64, "viewd"}};
    for (const Case& c : cases) {
        char foreign[] = "viewd";
        ByteBuffer buffer = {5, foreign, 0};
        char* data = buffer_reserve(&buffer, c.size);
        ASSERT_NE(data, nullptr);
        EXPECT_NE(data, foreign);
        EXPECT_EQ(buffer.capacity, c.size);
        EXPECT_EQ(contents(buffer), c.expected);
        EXPECT_STREQ(foreign, "viewd");
        buffer_release(&buffer);
    }
}

TEST(Buffer, ReleaseFreesOnlyWhatIsOwned) {
    char foreign[] = "abc";
    ByteBuffer view = {3, foreign, 0};
    buffer_release(&view);
    EXPECT_EQ(view.length, 0u);
    EXPECT_EQ(view.data, nullptr);
    EXPECT_EQ(view.capacity, 0u);
    buffer_release(&view);
    EXPECT_STREQ(foreign, "abc");

    ByteBuffer buffer = owned("xyz");
    buffer_release(&buffer);
    EXPECT_EQ(buffer.length, 0u);
    EXPECT_EQ(buffer.data, nullptr);
    EXPECT_EQ(buffer.capacity, 0u);
    buffer_release(&buffer);
}

TEST(Buffer, FailedReserveLeavesTheBufferAsItWas) {
    rt_test::TinyHeap tiny;
    ASSERT_TRUE(tiny.ok());
    ByteBuffer buffer = owned("abcd");
    char* before = buffer.data;
    EXPECT_EQ(buffer_reserve(&buffer, (uint32_t)rt_test::TinyHeap::TOO_MUCH), nullptr);
    EXPECT_EQ(buffer.data, before);
    EXPECT_EQ(buffer.capacity, 4u);
    EXPECT_EQ(contents(buffer), "abcd");
    buffer_release(&buffer);

    char foreign[] = "view";
    ByteBuffer view = {4, foreign, 0};
    EXPECT_EQ(buffer_reserve(&view, (uint32_t)rt_test::TinyHeap::TOO_MUCH), nullptr);
    EXPECT_EQ(view.data, foreign);
    EXPECT_EQ(view.length, 4u);
    EXPECT_EQ(view.capacity, 0u);
}
