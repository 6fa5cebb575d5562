// This run's folder: made new and protected, released, and swept by later runs.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include <windows.h>
#include <winternl.h>

#include "app/config.h"
#include "app/run_folder.h"
#include "rt/process.h"
#include "rt/security.h"
#include "tests/app/scratch_config.h"
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

int folders_made;
bool folders_protected = true;

NTSTATUS NTAPI watching_create(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES object, PIO_STATUS_BLOCK status,
                               PLARGE_INTEGER size, ULONG attributes, ULONG share, ULONG disposition, ULONG options,
                               PVOID ea, ULONG ea_length)
{
    if (disposition == FILE_CREATE && (options & FILE_DIRECTORY_FILE)) {
        ++folders_made;
        folders_protected = folders_protected && object->SecurityDescriptor &&
                            descriptor_is_protected(object->SecurityDescriptor);
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

class RunFolderTest : public ScratchConfigTest {};

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
