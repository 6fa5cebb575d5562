// Access lists for the folders the elevated program writes programs into, and the token's rights.
#pragma once

#include <windows.h>
#include <stdint.h>

// Room for an access list of three entries, each with a well-known SID.
const uint32_t PROTECTED_ACL_BYTES = sizeof(ACL) + 3 * (sizeof(ACCESS_ALLOWED_ACE) + SECURITY_MAX_SID_SIZE);

// A security descriptor whose access list is protected from inheritance and lets only SYSTEM and
// the Administrators group write, delete or change permissions; the Users group may read and
// execute. Entries are inherited by the files and folders made inside. The record points into
// itself: it must not be moved or copied after protected_descriptor_init.
struct ProtectedDescriptor {
    SECURITY_DESCRIPTOR descriptor;
    uint64_t acl[(PROTECTED_ACL_BYTES + 7) / 8];
};

// 0 when the record is ready; 1 otherwise (GetLastError tells why).
int protected_descriptor_init(ProtectedDescriptor* out);

// True when no entry of acl lets anyone but SYSTEM or the Administrators group write, append,
// delete, take ownership or change permissions, and every entry is one this check understands
// (plain allow or deny entries). A null list grants everything to everyone: false.
bool acl_admin_only_write(const ACL* acl);

// True when the access list of descriptor is protected from inheritance and acl_admin_only_write.
bool descriptor_is_protected(PSECURITY_DESCRIPTOR descriptor);

// True when descriptor looks like one the program made: descriptor_is_protected, and its owner is
// SYSTEM or the Administrators group (a user can protect a folder of their own, but can't give it
// to the administrators).
bool descriptor_is_admin_only(PSECURITY_DESCRIPTOR descriptor);

// True when the process runs with an elevated token. False also when that can't be told.
bool process_is_elevated();
// True when token (opened with TOKEN_QUERY) is elevated, false when it is known not to be; when
// that can't be read, the answer is if_unknown, so that each caller errs on its own safe side.
bool token_is_elevated(HANDLE token, bool if_unknown);
