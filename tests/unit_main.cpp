// Entry of the unit-test program: the runtime needs its heap and its system DLLs before any test
// runs.
#include <gtest/gtest.h>

#include "rt/dll_search.h"
#include "rt/process.h"
#include "rt/system_imports.h"

int main(int argc, char** argv)
{
    (void)restrict_dll_search(); // as the installer does; the tests of the search check the result
    if (load_system_imports() != 0) {
        return 1;
    }
    process_globals.heap = GetProcessHeap();
    process_globals.dpi = 96;
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
