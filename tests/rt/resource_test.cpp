#include <gtest/gtest.h>

#include <string>

#include "rt/buffer.h"
#include "rt/resource.h"

// Resources 900 and 901 come from tests/rt/test_resources.rc.

TEST(ResourceLoad, FindsTheBytesOfANumberedResource) {
    ByteSpan out = {0, nullptr};
    ASSERT_EQ(resource_load(900, &out), 0);
    EXPECT_EQ(std::string(out.data, out.length), std::string("QWI\x01\x02", 5));
    // The same bytes every time: they are the loaded image's, not a copy.
    ByteSpan again = {0, nullptr};
    ASSERT_EQ(resource_load(900, &again), 0);
    EXPECT_EQ(again.data, out.data);
}

TEST(ResourceLoad, MissingOrEmptyIsAFailure) {
    static const char sentinel[] = "untouched";
    ByteSpan out = {123, sentinel};
    EXPECT_EQ(resource_load(999, &out), 1);
    EXPECT_EQ(out.length, 123u);
    EXPECT_EQ(out.data, sentinel);

    // The embedded payload number is absent from this program too.
    EXPECT_EQ(resource_load(7, &out), 1);
    EXPECT_EQ(out.length, 123u);

    EXPECT_EQ(resource_load(901, &out), 1);
    EXPECT_EQ(out.length, 0u);
    EXPECT_EQ(out.data, sentinel);
}
