// Entry of the unit-test program: the runtime needs its heap before any test runs.
#include <gtest/gtest.h>

#include "rt/process.h"

int main(int argc, char** argv)
{
    process_globals.heap = GetProcessHeap();
    process_globals.dpi = 96;
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
