// The protected access list of the run folders, and how a folder is recognised as one of them.
#include <gtest/gtest.h>

#include <windows.h>
#include <sddl.h>

#include "rt/security.h"

namespace {

struct Descriptor {
    PSECURITY_DESCRIPTOR sd = nullptr;
    explicit Descriptor(const wchar_t* sddl)
    {
        EXPECT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &sd, nullptr)) << sddl;
    }
    ~Descriptor() { LocalFree(sd); }
};

// What each kind of protected descriptor gives whom. The file system under test does not keep
// access lists, so they are read here from the descriptor the program passes when it makes things.
TEST(ProtectedDescriptor, EachKindGivesWhatItSays)
{
    const struct {
        const char* what;
        uint32_t flags;
        bool admins_own;    // the owner is named: the Administrators group
        bool users_read;    // the Users group may read and execute
        bool user_writes;   // the token's user has full control
        bool inherited;     // entries reach what is made inside
    } kinds[] = {
        {"elevated run's folder", PROTECT_FOLDER_ELEVATED, true, true, false, true},
        {"unelevated run's folder", PROTECT_FOLDER_USER, false, false, true, true},
        {"elevated run's log", PROTECT_OWNER_ADMINS, true, false, false, false},
        {"unelevated run's log", PROTECT_CURRENT_USER, false, false, true, false},
    };
    HANDLE token = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    union {
        TOKEN_USER user;
        uint8_t bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    } me;
    DWORD size = 0;
    ASSERT_TRUE(GetTokenInformation(token, TokenUser, &me, sizeof me, &size));
    CloseHandle(token);

    for (const auto& kind : kinds) {
        SCOPED_TRACE(kind.what);
        ProtectedDescriptor protection = {};
        ASSERT_EQ(protected_descriptor_init(&protection, kind.flags), 0);
        SECURITY_DESCRIPTOR_CONTROL control = 0;
        DWORD revision = 0;
        ASSERT_TRUE(GetSecurityDescriptorControl(&protection.descriptor, &control, &revision));
        EXPECT_TRUE(control & SE_DACL_PROTECTED) << "inherits nothing from the folder above";
        PSID owner = nullptr;
        BOOL defaulted = FALSE;
        ASSERT_TRUE(GetSecurityDescriptorOwner(&protection.descriptor, &owner, &defaulted));
        EXPECT_EQ(owner != nullptr && IsWellKnownSid(owner, WinBuiltinAdministratorsSid), kind.admins_own);
        EXPECT_EQ(owner == nullptr, !kind.admins_own) << "the token's default owner applies otherwise";

        BOOL present = FALSE;
        ACL* acl = nullptr;
        ASSERT_TRUE(GetSecurityDescriptorDacl(&protection.descriptor, &present, &acl, &defaulted));
        ASSERT_TRUE(present && acl);
        EXPECT_EQ(acl_admin_only_write(acl), !kind.user_writes);
        EXPECT_EQ(descriptor_is_protected(&protection.descriptor), !kind.user_writes);
        bool users_read = false;
        bool user_writes = false;
        for (DWORD i = 0; i < acl->AceCount; ++i) {
            ACCESS_ALLOWED_ACE* entry = nullptr;
            ASSERT_TRUE(GetAce(acl, i, (void**)&entry));
            EXPECT_EQ(entry->Header.AceFlags & (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE),
                      kind.inherited ? OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE : 0);
            if (IsWellKnownSid(&entry->SidStart, WinBuiltinUsersSid)) {
                users_read = (entry->Mask & (FILE_READ_DATA | FILE_EXECUTE)) == (FILE_READ_DATA | FILE_EXECUTE) &&
                             (entry->Mask & (FILE_WRITE_DATA | DELETE | WRITE_DAC)) == 0;
            }
            if (EqualSid(&entry->SidStart, me.user.User.Sid)) {
                user_writes = (entry->Mask & FILE_ALL_ACCESS) == FILE_ALL_ACCESS;
            }
        }
        EXPECT_EQ(users_read, kind.users_read);
        EXPECT_EQ(user_writes, kind.user_writes);
    }
}

TEST(ProtectedDescriptor, RecognisesOnlyAdministratorsFolders)
{
    const struct {
        const wchar_t* sddl;
        bool ours;
    } cases[] = {
        {L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)", true},
        {L"O:SYD:P(A;OICI;FA;;;SY)", true},
        {L"O:BAD:P", true},                                          // grants nothing
        {L"O:BAD:P(D;;FA;;;WD)(A;OICI;FA;;;BA)", true},              // a denial takes nothing away
        {L"O:S-1-5-21-1-2-3-1001D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", false}, // a user's own folder
        {L"O:BAD:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", false},          // inherits its parent's rights
        {L"O:BAD:P(A;OICI;FA;;;BA)(A;OICI;FW;;;BU)", false},         // users may write
        {L"O:BAD:P(A;OICI;FA;;;BA)(A;;WD;;;WD)", false},             // anyone may change the rights
        {L"O:BAD:P(A;OICI;FA;;;BA)(A;;SD;;;AU)", false},             // signed-in users may delete
        {L"O:BAD:P(A;OICI;FA;;;BA)(A;;GA;;;S-1-5-21-1-2-3-1001)", false},
        {L"O:BAD:NO_ACCESS_CONTROL", false},                         // no list: everyone may do all
        {L"O:BAD:P(A;OICI;FA;;;BA)(AU;SA;FA;;;WD)", false},        // an entry not understood
    };
    for (const auto& c : cases) {
        Descriptor descriptor(c.sddl);
        if (!descriptor.sd) {
            continue;
        }
        EXPECT_EQ(descriptor_is_admin_only(descriptor.sd), c.ours) << testing::PrintToString(std::wstring(c.sddl));
    }
}

} // namespace

// A token whose elevation can't be read (no query right, no token) gets the caller's answer for the
// unknown, never a guess; a readable one its own answer, whatever the caller would have chosen.
TEST(TokenIsElevated, UnreadableTokensGetTheCallersAnswer)
{
    HANDLE readable = nullptr, unreadable = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &readable));
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE, &unreadable));
    bool own = process_is_elevated();
    for (bool if_unknown : {false, true}) {
        EXPECT_EQ(token_is_elevated(readable, if_unknown), own);
        EXPECT_EQ(token_is_elevated(unreadable, if_unknown), if_unknown);
        EXPECT_EQ(token_is_elevated(nullptr, if_unknown), if_unknown);
    }
    CloseHandle(readable);
    CloseHandle(unreadable);
}
