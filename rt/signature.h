// Who signed a program: its Authenticode signature, checked by the system, and the name of the
// signer it vouches for.
#pragma once

#include <windows.h>
#include <wincrypt.h>

// How long the check may wait for the network in all (revocation lists, a missing issuer).
const DWORD SIGNER_NETWORK_WAIT_MS = 15000;

// 0 when the system trusts the Authenticode signature of the program open as file (read access),
// its signer's certificate chain ends in a root of the machine's own stores, and the subject of the
// signing certificate has exactly one common name, equal to signer (UTF-8, byte for byte).
// Otherwise 1 with the last error: the system's verdict on the signature or the chain
// (TRUST_E_NOSIGNATURE, TRUST_E_BAD_DIGEST, CERT_E_UNTRUSTEDROOT, CERT_E_REVOKED, ...) or
// ERROR_INVALID_DATA for a trusted signature by someone else, a subject with no, two or an
// unreadable common name, or an empty or absent signer, which never matches.
// The file is read through the handle only; path merely names it for the system.
int signer_check(HANDLE file, const char* path, const char* signer);

// The revocation part of a chain's verdict: 1 with CERT_E_REVOKED when any certificate of chain
// is revoked, 1 with CERT_E_REVOCATION_FAILURE when one's status is unknown for any reason other
// than its revocation lists being out of reach, else 0.
int chain_revocation_check(const CERT_CHAIN_CONTEXT* chain);
