// Stand-in setup program for the benchmarks: writes the performance counter at the moment it
// runs to the file named by its first argument (a 64-bit counter shared by every process of the
// machine), so that a launcher can tell when it was started. Without an argument it only exits:
// then it is the trivial program whose start measures the process start cost itself.
// A copy with data appended still runs, which makes it the large download of the speed benchmark.
#include <windows.h>
#include <stdio.h>

int wmain(int argc, wchar_t** argv)
{
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    if (argc < 2) {
        return 0;
    }
    char text[32];
    int length = snprintf(text, sizeof text, "%lld\n", (long long)counter.QuadPart);
    // Written under another name and renamed, so that a reader never sees half a number.
    wchar_t temp[4096];
    if (swprintf(temp, 4096, L"%ls.tmp", argv[1]) < 0) {
        return 2;
    }
    HANDLE file = CreateFileW(temp, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return 3;
    }
    DWORD written = 0;
    BOOL ok = WriteFile(file, text, (DWORD)length, &written, nullptr);
    CloseHandle(file);
    if (!ok || !MoveFileExW(temp, argv[1], MOVEFILE_REPLACE_EXISTING)) {
        return 4;
    }
    return 0;
}
