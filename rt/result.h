// How every function of rt/ reports failure, so that a caller knows without opening it:
// - an int result is 0 on success and 1 on failure, with the system's last error set to the cause
//   (GetLastError tells why);
// - a handle or a heap block is null on failure, with the last error set; INVALID_HANDLE_VALUE
//   never leaves rt/, and records hold null for "no handle";
// - a predicate (is_, _is_) returns bool and false also when it can't tell;
// - the formatter's writers return byte counts, as rt/format.h says.
#pragma once

#include <windows.h>

// Sets the last error and returns the failure result: `return fail_with(ERROR_INVALID_DATA);`.
inline int fail_with(DWORD error)
{
    SetLastError(error);
    return 1;
}
