// The system DLLs that are not among the system's known DLLs, and how the program gets them.
//
// The loader would look for such a DLL next to the executable first (a Downloads folder, where
// anyone can put a file) before the program has had a chance to restrict the search. So the
// program does not import them: it defines the import slots that the compiler's calls go through
// and fills them itself, from DLLs loaded from the system directory only. The program and its
// tests link no import library of these DLLs; a call to a function missing from the table in
// system_imports.cpp therefore fails to link rather than bypassing it.
#pragma once

#include <stdint.h>

// Loads wininet, gdiplus, msimg32, comctl32, bcrypt, wintrust, crypt32 and oleacc from the system
// directory and fills the import slots of every function the program uses. Call once, after
// restrict_dll_search and before the program starts a thread or calls any of those functions. 0 on success; 1 when a DLL
// or a function could not be found (GetLastError tells why). Slots left unfilled end the process
// with STATUS_ENTRYPOINT_NOT_FOUND if called, as the loader would have done at start-up.
int load_system_imports();

// The imported functions, for tests and diagnostics: how many there are, and the DLL, the name
// and the address held by the slot at `index` (0 .. count-1).
int32_t system_import_count();
const wchar_t* system_import_dll(int32_t index);
const char* system_import_name(int32_t index);
void* system_import_address(int32_t index);
