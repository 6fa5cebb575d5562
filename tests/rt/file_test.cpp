// Where files go: file times as numbers.
#include <gtest/gtest.h>

#include "rt/file.h"

// The two halves make one number: the high half counts 2^32 units, and nothing is lost at the top.
TEST(FileTime, HalvesMakeOneNumber)
{
    const struct {
        DWORD low;
        DWORD high;
        uint64_t value;
    } cases[] = {
        {0, 0, 0},
        {1, 0, 1},
        {0xFFFFFFFFu, 0, 0xFFFFFFFFull},
        {0, 1, 0x100000000ull},
        {0x89ABCDEFu, 0x01234567u, 0x0123456789ABCDEFull},
        {0xFFFFFFFFu, 0xFFFFFFFFu, ~0ull},
    };
    for (const auto& c : cases) {
        FILETIME time = {c.low, c.high};
        EXPECT_EQ(file_time_value(&time), c.value) << c.high << ":" << c.low;
    }
    EXPECT_GT(file_time_now(), 0x01D0000000000000ull) << "a time after 2015";
}
