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

TEST(ProtectedDescriptor, OnlyAdministratorsMayChangeAnything)
{
    ProtectedDescriptor protected_folder = {};
    ASSERT_EQ(protected_descriptor_init(&protected_folder), 0);

    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(GetSecurityDescriptorControl(&protected_folder.descriptor, &control, &revision));
    EXPECT_TRUE(control & SE_DACL_PROTECTED) << "inherits nothing from the temporary folder";

    BOOL present = FALSE, defaulted = FALSE;
    ACL* acl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(&protected_folder.descriptor, &present, &acl, &defaulted));
    ASSERT_TRUE(present && acl);
    EXPECT_TRUE(acl_admin_only_write(acl));
    // Every entry reaches the files made inside; the users keep reading and starting them.
    bool users_read = false;
    for (DWORD i = 0; i < acl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* entry = nullptr;
        ASSERT_TRUE(GetAce(acl, i, (void**)&entry));
        EXPECT_EQ(entry->Header.AceFlags & (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE),
                  OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
        if (IsWellKnownSid(&entry->SidStart, WinBuiltinUsersSid)) {
            users_read = (entry->Mask & (FILE_READ_DATA | FILE_EXECUTE)) == (FILE_READ_DATA | FILE_EXECUTE);
        }
    }
    EXPECT_TRUE(users_read);
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
