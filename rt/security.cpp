#include "rt/security.h"

namespace {

const DWORD INHERIT_TO_ALL = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
const DWORD READ_AND_EXECUTE = FILE_GENERIC_READ | FILE_GENERIC_EXECUTE;

// Every right that changes a file or folder, its contents, its name or who may do what with it.
const DWORD CHANGING_RIGHTS = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_WRITE_ATTRIBUTES |
                              FILE_DELETE_CHILD | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL |
                              MAXIMUM_ALLOWED;

bool add_entry(ACL* acl, WELL_KNOWN_SID_TYPE who, DWORD rights, DWORD inherit)
{
    uint64_t sid[(SECURITY_MAX_SID_SIZE + 7) / 8];
    DWORD sid_size = sizeof sid;
    return CreateWellKnownSid(who, nullptr, sid, &sid_size) && AddAccessAllowedAceEx(acl, ACL_REVISION, inherit, rights, sid);
}

// The user of this process's token, copied into sid (SECURITY_MAX_SID_SIZE bytes).
bool token_user(void* sid)
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return false;
    }
    union {
        TOKEN_USER user;
        uint8_t bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    } info;
    DWORD size = 0;
    bool copied = GetTokenInformation(token, TokenUser, &info, sizeof info, &size) &&
                  CopySid(SECURITY_MAX_SID_SIZE, sid, info.user.User.Sid);
    DWORD error = GetLastError();
    CloseHandle(token);
    SetLastError(error);
    return copied;
}

bool is_admin_sid(PSID sid)
{
    return sid != nullptr && (IsWellKnownSid(sid, WinLocalSystemSid) || IsWellKnownSid(sid, WinBuiltinAdministratorsSid));
}

} // namespace

int protected_descriptor_init(ProtectedDescriptor* out, uint32_t flags)
{
    ACL* acl = (ACL*)out->acl;
    DWORD inherit = (flags & PROTECT_INHERITED) ? INHERIT_TO_ALL : 0;
    bool built = InitializeAcl(acl, sizeof out->acl, ACL_REVISION) &&
                 add_entry(acl, WinLocalSystemSid, FILE_ALL_ACCESS, inherit) &&
                 add_entry(acl, WinBuiltinAdministratorsSid, FILE_ALL_ACCESS, inherit) &&
                 InitializeSecurityDescriptor(&out->descriptor, SECURITY_DESCRIPTOR_REVISION) &&
                 SetSecurityDescriptorDacl(&out->descriptor, TRUE, acl, FALSE) &&
                 SetSecurityDescriptorControl(&out->descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
    if (built && (flags & PROTECT_USERS_READ)) {
        built = add_entry(acl, WinBuiltinUsersSid, READ_AND_EXECUTE, inherit);
    }
    if (built && (flags & PROTECT_CURRENT_USER)) {
        built = token_user(out->user) && AddAccessAllowedAceEx(acl, ACL_REVISION, inherit, FILE_ALL_ACCESS, out->user);
    }
    // Without an explicit owner the token's default owner applies, which a policy can make the user:
    // an owner may always rewrite the access list, so the elevated run names the group itself.
    if (built && (flags & PROTECT_OWNER_ADMINS)) {
        DWORD size = sizeof out->owner;
        built = CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, out->owner, &size) &&
                SetSecurityDescriptorOwner(&out->descriptor, out->owner, FALSE);
    }
    return built ? 0 : 1;
}

bool acl_admin_only_write(const ACL* acl)
{
    if (acl == nullptr) {
        return false;
    }
    for (DWORD index = 0; index < acl->AceCount; ++index) {
        void* entry = nullptr;
        if (!GetAce((ACL*)acl, index, &entry)) {
            return false;
        }
        const ACE_HEADER* header = (const ACE_HEADER*)entry;
        if (header->AceType == ACCESS_DENIED_ACE_TYPE) {
            continue; // a denial takes nothing away from the administrators' hold on it
        }
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) {
            return false;
        }
        const ACCESS_ALLOWED_ACE* allowed = (const ACCESS_ALLOWED_ACE*)entry;
        if ((allowed->Mask & CHANGING_RIGHTS) != 0 && !is_admin_sid((PSID)&allowed->SidStart)) {
            return false;
        }
    }
    return true;
}

bool descriptor_is_protected(PSECURITY_DESCRIPTOR descriptor)
{
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    if (!GetSecurityDescriptorControl(descriptor, &control, &revision) || (control & SE_DACL_PROTECTED) == 0) {
        return false;
    }
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    ACL* acl = nullptr;
    return GetSecurityDescriptorDacl(descriptor, &present, &acl, &defaulted) && present && acl_admin_only_write(acl);
}

bool descriptor_is_admin_only(PSECURITY_DESCRIPTOR descriptor)
{
    BOOL defaulted = FALSE;
    PSID owner = nullptr;
    return descriptor_is_protected(descriptor) && GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) &&
           is_admin_sid(owner);
}

bool token_is_elevated(HANDLE token, bool if_unknown)
{
    TOKEN_ELEVATION elevation = {};
    DWORD size = 0;
    if (!GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size)) {
        return if_unknown;
    }
    return elevation.TokenIsElevated != 0;
}

bool process_is_elevated()
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return false;
    }
    bool elevated = token_is_elevated(token, false);
    CloseHandle(token);
    return elevated;
}
