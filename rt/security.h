// Access lists for the folders and files the program writes programs and logs into, and the
// token's rights.
#pragma once

#include <windows.h>
#include <stdint.h>

// Room for an access list of three entries, each with a well-known SID.
const uint32_t PROTECTED_ACL_BYTES = sizeof(ACL) + 3 * (sizeof(ACCESS_ALLOWED_ACE) + SECURITY_MAX_SID_SIZE);

// What a protected descriptor lets whom do, besides the full control of SYSTEM and the
// Administrators group that every one of them gives.
const uint32_t PROTECT_OWNER_ADMINS = 0x01;  // owned by the Administrators group, whatever the
                                             // token's default owner (needs an elevated token)
const uint32_t PROTECT_USERS_READ = 0x02;    // the Users group may read and execute
const uint32_t PROTECT_CURRENT_USER = 0x04;  // the token's user has full control
const uint32_t PROTECT_INHERITED = 0x08;     // the entries reach the files and folders made inside

// The elevated run's folder, and the unelevated one's (under the user's own %TMP%, where the
// user who runs it must create the files: nobody can be protected from themself).
const uint32_t PROTECT_FOLDER_ELEVATED = PROTECT_OWNER_ADMINS | PROTECT_USERS_READ | PROTECT_INHERITED;
const uint32_t PROTECT_FOLDER_USER = PROTECT_CURRENT_USER | PROTECT_INHERITED;

// A security descriptor whose access list is protected from inheritance and lets only SYSTEM and
// the Administrators group (and, with PROTECT_CURRENT_USER, the token's user) write, delete or
// change permissions. The record points into itself: it must not be moved or copied after
// protected_descriptor_init.
struct ProtectedDescriptor {
    SECURITY_DESCRIPTOR descriptor;
    uint64_t acl[(PROTECTED_ACL_BYTES + 7) / 8];
    uint64_t owner[(SECURITY_MAX_SID_SIZE + 7) / 8];
    uint64_t user[(SECURITY_MAX_SID_SIZE + 7) / 8];
};

// Builds the descriptor for the PROTECT_ flags. 0 when the record is ready; 1 otherwise
// (GetLastError tells why).
int protected_descriptor_init(ProtectedDescriptor* out, uint32_t flags);

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
