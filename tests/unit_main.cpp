// Entry of the unit-test program: the runtime needs its heap and its system DLLs before any test
// runs.
#include <gtest/gtest.h>

#include "rt/dll_search.h"
#include "rt/process.h"
#include "rt/system_imports.h"

#if !defined(_WIN64)
// gtest hands the text of every failed or skipped test to OutputDebugStringA. Under 32-bit Wine,
// emulated by qemu, the exception that call raises kills the whole run, so that one failing case
// would hide every other result: the 32-bit run prints its results to the console only.
extern "C" void* output_debug_string_slot __asm__("__imp__OutputDebugStringA@4");

static void WINAPI no_debugger_output(const char*) {}

static void keep_failures_off_the_debugger()
{
    DWORD old = 0;
    if (VirtualProtect(&output_debug_string_slot, sizeof(void*), PAGE_READWRITE, &old)) {
        output_debug_string_slot = (void*)no_debugger_output;
        (void)VirtualProtect(&output_debug_string_slot, sizeof(void*), old, &old);
    }
}
#endif

int main(int argc, char** argv)
{
    (void)restrict_dll_search(); // as the installer does; the tests of the search check the result
    if (load_system_imports() != 0) {
        return 1;
    }
#if !defined(_WIN64)
    keep_failures_off_the_debugger();
#endif
    process_globals.heap = GetProcessHeap();
    process_globals.dpi = 96;
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
