// Who signed a program: its Authenticode signature, checked by the system, and the name of the
// signer it vouches for.
#pragma once

#include <windows.h>

// 0 when the system trusts the Authenticode signature of the program open as file (read access)
// and the common name in the subject of its signing certificate is exactly signer (UTF-8, compared
// byte for byte). Otherwise 1 with the last error: the system's verdict on the signature
// (TRUST_E_NOSIGNATURE, TRUST_E_BAD_DIGEST, CERT_E_UNTRUSTEDROOT, ...) or ERROR_INVALID_DATA for
// a trusted signature by someone else, or for an empty or absent signer, which never matches.
// The file is read through the handle only; path merely names it for the system.
int signer_check(HANDLE file, const char* path, const char* signer);
