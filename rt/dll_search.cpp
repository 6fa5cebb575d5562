#include "rt/dll_search.h"

#include <windows.h>

typedef BOOL(WINAPI* SetDefaultDllDirectoriesFn)(DWORD flags);

int restrict_dll_search()
{
    // Looked up rather than imported: a system without it must still start the program.
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    SetDefaultDllDirectoriesFn set_default =
        kernel ? (SetDefaultDllDirectoriesFn)(void*)GetProcAddress(kernel, "SetDefaultDllDirectories") : nullptr;
    if (set_default && set_default(LOAD_LIBRARY_SEARCH_SYSTEM32)) {
        return 0;
    }
    (void)SetDllDirectoryW(L""); // at least no DLL from the current directory
    return 1;
}
