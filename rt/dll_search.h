// Where the program may load DLLs from.
#pragma once

// Restricts every later DLL load of the process to the system directory, so that a DLL planted
// next to the executable (a Downloads folder) is never loaded. Call before anything loads a DLL
// that is not one of the system's known DLLs. 0 on success; 1 when only the current directory
// could be removed from the search (systems without SetDefaultDllDirectories).
int restrict_dll_search();
