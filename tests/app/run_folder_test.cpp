// This run's folder and the setup file in it.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include <windows.h>
#include <winternl.h>

#include "app/config.h"
#include "app/run_folder.h"
#include "rt/process.h"
#include "rt/security.h"
#include "tests/rt/rt_test_support.h"

// The import slot of NtCreateFile in this test program, to watch what the folder is made with.
#if defined(_WIN64)
extern "C" void* ntcreatefile_slot __asm__("__imp_NtCreateFile");
#else
extern "C" void* ntcreatefile_slot __asm__("__imp__NtCreateFile@44");
#endif

namespace {

using rt_test::exists;
using rt_test::widen;

typedef NTSTATUS(NTAPI* NtCreateFileCall)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK, PLARGE_INTEGER,
                                          ULONG, ULONG, ULONG, ULONG, PVOID, ULONG);
NtCreateFileCall original_create;

// Protected from inheritance, and only SYSTEM and the Administrators may change anything.
bool protected_admin_only(PSECURITY_DESCRIPTOR descriptor)
{
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    BOOL present = FALSE, defaulted = FALSE;
    ACL* acl = nullptr;
    return GetSecurityDescriptorControl(descriptor, &control, &revision) && (control & SE_DACL_PROTECTED) &&
           GetSecurityDescriptorDacl(descriptor, &present, &acl, &defaulted) && present && acl_admin_only_write(acl);
}

int folders_made;
bool folders_protected = true;

NTSTATUS NTAPI watching_create(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES object, PIO_STATUS_BLOCK status,
                               PLARGE_INTEGER size, ULONG attributes, ULONG share, ULONG disposition, ULONG options,
                               PVOID ea, ULONG ea_length)
{
    if (disposition == FILE_CREATE && (options & FILE_DIRECTORY_FILE)) {
        ++folders_made;
        folders_protected = folders_protected && object->SecurityDescriptor &&
                            protected_admin_only(object->SecurityDescriptor);
    }
    return original_create(handle, access, object, status, size, attributes, share, disposition, options, ea,
                           ea_length);
}

void swap_slot(void* value)
{
    DWORD old = 0;
    ASSERT_TRUE(VirtualProtect(&ntcreatefile_slot, sizeof(void*), PAGE_READWRITE, &old));
    ntcreatefile_slot = value;
    VirtualProtect(&ntcreatefile_slot, sizeof(void*), old, &old);
}

class RunFolderTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(scratch.ok());
        config = {};
        process_globals.config = &config;
    }
    void TearDown() override { process_globals.config = nullptr; }

    rt_test::ScratchDir scratch;
    InstallerConfig config = {};
};

TEST(RunFolderName, OnlyThePrefixAndSixteenLowerCaseHexDigits)
{
    const struct {
        const char* name;
        bool ours;
    } cases[] = {
        {"quorvel-0123456789abcdef", true},  {"quorvel-0123456789ABCDEF", false},
        {"quorvel-0123456789abcde", false},  {"quorvel-0123456789abcdef0", false},
        {"quorvel-", false},                 {"Quorvel-0123456789abcdef", false},
        {"quorvel-0123456789abcdeg", false}, {"quorvel", false},
        {"quorvel-0123456789abcdef.exe", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(run_folder_name_is_ours(c.name), c.ours) << c.name;
    }
}

// Each run makes a new folder with a name nobody can guess, in one step with its protected
// access list, and gives the path of the handle it holds.
TEST_F(RunFolderTest, NewUnpredictableProtectedFolders)
{
    original_create = (NtCreateFileCall)ntcreatefile_slot;
    swap_slot((void*)watching_create);
    folders_made = 0;
    folders_protected = true;
    std::set<std::string> names;
    RunFolder runs[3] = {};
    for (RunFolder& run : runs) {
        ASSERT_EQ(run_folder_create_in(&run, scratch.path().c_str()), 0) << GetLastError();
        names.insert(run.name);
        EXPECT_TRUE(run_folder_name_is_ours(run.name)) << run.name;
        EXPECT_EQ(std::string(run.path), scratch / run.name);
        EXPECT_EQ(std::string(run.setup_path), scratch / run.name + "\\setup.exe");
    }
    swap_slot((void*)original_create);
    EXPECT_EQ(names.size(), 3u);
    EXPECT_EQ(folders_made, 3);
    EXPECT_TRUE(folders_protected) << "a folder was made without the protected access list";

    runs[1].setup_started = true;
    for (RunFolder& run : runs) {
        run_folder_release(&run);
    }
    int left = 0;
    for (const std::string& name : names) {
        left += exists(scratch / name) ? 1 : 0;
    }
    EXPECT_EQ(left, 1) << "only the folder that setup was started from stays";
}

TEST_F(RunFolderTest, ParentThatIsNoFolderOrMissingRefused)
{
    ASSERT_TRUE(rt_test::write_file(scratch / "file", "x"));
    for (std::string parent : {scratch / "file", scratch / "missing"}) {
        RunFolder run = {};
        EXPECT_EQ(run_folder_create_in(&run, parent.c_str()), 1) << parent;
        EXPECT_EQ(run.folder, nullptr);
        EXPECT_EQ(run.path, nullptr);
    }
}

// The setup file is made new, deleted through its own handle when it goes unused, and must
// match the pin to be finished.
TEST_F(RunFolderTest, SetupFileLifecycle)
{
    RunFolder run = {};
    ASSERT_EQ(run_folder_create_in(&run, scratch.path().c_str()), 0);
    SetupWriter writer;
    ASSERT_EQ(setup_file_create(&run, &writer), 0);
    SetupWriter second;
    EXPECT_EQ(setup_file_create(&run, &second), 1) << "never opens a file that is there already";
    EXPECT_EQ(setup_file_write(&writer, "MZ", 2), 0);
    setup_file_discard(&writer);
    EXPECT_FALSE(exists(run.setup_path));

    const std::string body = "MZ and the rest of a program";
    std::string pin(64, 'f');
    config.sha256 = &pin[0];
    EXPECT_EQ(setup_file_write_all(&run, body.data(), (uint32_t)body.size()), 1);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_DATA);
    EXPECT_FALSE(exists(run.setup_path)) << "a file that fails its pin is deleted";
    config.sha256 = nullptr;

    ASSERT_EQ(setup_file_write_all(&run, body.data(), (uint32_t)body.size()), 0);
    EXPECT_TRUE(setup_file_intact(&run));
    EXPECT_EQ(rt_test::read_file(run.setup_path), body);
    run_folder_release(&run);
    EXPECT_FALSE(exists(scratch / run.name)) << "nothing started: file and folder go";
}

std::string sha256_hex(const std::string& bytes)
{
    Sha256 state = {};
    uint8_t digest[SHA256_DIGEST_SIZE];
    if (sha256_begin(&state) != 0 || sha256_update(&state, bytes.data(), (uint32_t)bytes.size()) != 0 ||
        sha256_finish(&state, digest) != 0) {
        return std::string();
    }
    std::string hex;
    for (uint8_t byte : digest) {
        hex += "0123456789abcdef"[byte >> 4];
        hex += "0123456789abcdef"[byte & 15];
    }
    return hex;
}

// The signer and the pin, each where configured, must both hold for the file that is written
// (the embedded payload's way; a download finishes its file the same way). A refused file is
// gone, and the refusal's cause is kept for the run. The files come from tests/signing.
TEST_F(RunFolderTest, SignerAndPinBothHoldOrTheFileGoes)
{
    std::string name;
    ASSERT_TRUE(rt_test::read_file(rt_test::signing_file("publisher.txt"), &name)) << "tests/signing not built?";
    enum Pin { NO_PIN, RIGHT_PIN, WRONG_PIN };
    struct Case {
        const char* file;
        bool signer;
        Pin pin;
        DWORD refusal; // 0: accepted
    };
    const Case cases[] = {
        {"unsigned.exe", false, NO_PIN, ERROR_SUCCESS}, // without a signer, as before
        {"signed.exe", true, NO_PIN, ERROR_SUCCESS},
        {"signed.exe", true, RIGHT_PIN, ERROR_SUCCESS},
        {"signed.exe", true, WRONG_PIN, ERROR_INVALID_DATA},
        {"other_signer.exe", true, RIGHT_PIN, ERROR_INVALID_DATA},
        {"unsigned.exe", true, RIGHT_PIN, (DWORD)TRUST_E_NOSIGNATURE},
        {"untrusted.exe", true, NO_PIN, (DWORD)CERT_E_UNTRUSTEDROOT},
        {"tampered.exe", true, NO_PIN, (DWORD)TRUST_E_BAD_DIGEST},
    };
    RunFolder run = {};
    ASSERT_EQ(run_folder_create_in(&run, scratch.path().c_str()), 0);
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.file) + (c.signer ? ", signer" : "") +
                     (c.pin == RIGHT_PIN ? ", right pin" : c.pin == WRONG_PIN ? ", wrong pin" : ""));
        std::string body;
        ASSERT_TRUE(rt_test::read_file(rt_test::signing_file(c.file), &body));
        std::string pin = sha256_hex(body);
        if (c.pin == WRONG_PIN) {
            pin[10] = pin[10] == '0' ? '1' : '0';
        }
        config.sha256 = c.pin == NO_PIN ? nullptr : &pin[0];
        config.signer = c.signer ? &name[0] : nullptr;
        SetLastError(0);
        int result = setup_file_write_all(&run, body.data(), (uint32_t)body.size());
        DWORD error = GetLastError();
        config.sha256 = nullptr;
        config.signer = nullptr;
        if (c.refusal == ERROR_SUCCESS) {
            EXPECT_EQ(result, 0) << std::hex << error << " refusal " << run.setup_refusal;
            EXPECT_EQ(rt_test::read_file(run.setup_path), body);
            setup_file_drop(&run);
        } else {
            EXPECT_EQ(result, 1);
            EXPECT_EQ(error, (DWORD)ERROR_INVALID_DATA) << "every refusal looks like a pin mismatch to the download";
            EXPECT_EQ(run.setup_refusal, c.refusal) << std::hex << run.setup_refusal;
            EXPECT_EQ(run.setup_lock, nullptr);
            EXPECT_FALSE(exists(run.setup_path)) << "a refused file is deleted";
        }
    }
    run_folder_release(&run);
    EXPECT_FALSE(exists(scratch / run.name));
}

// Only folders this program provably made are swept; under Wine no access list reads back as
// protected, so there every one of these stays, as a user's own folder would on Windows.
TEST_F(RunFolderTest, SweepLeavesAloneWhatIsNotProvablyOurs)
{
    const std::string lookalike = scratch / "quorvel-0123456789abcdef";
    const std::string other = scratch / "quorvel-other";
    ASSERT_TRUE(CreateDirectoryW(widen(lookalike).c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(widen(other).c_str(), nullptr));
    ASSERT_TRUE(rt_test::write_file(lookalike + "\\setup.exe", "user's"));
    ASSERT_TRUE(rt_test::write_file(scratch / "quorvel-fedcba9876543210", "a file"));
    EXPECT_EQ(run_folders_sweep(scratch.path().c_str()), 0);
    EXPECT_TRUE(exists(lookalike + "\\setup.exe"));
    EXPECT_TRUE(exists(other));
    EXPECT_TRUE(exists(scratch / "quorvel-fedcba9876543210"));
}

} // namespace
