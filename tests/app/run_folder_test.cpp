// This run's folder: made new and protected, released, and swept by later runs.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include <windows.h>
#include <winternl.h>

#include "app/config.h"
#include "app/run_folder.h"
#include "rt/file.h"
#include "rt/file_handle.h"
#include "rt/process.h"
#include "rt/security.h"
#include "tests/app/create_watch.h"
#include "tests/app/scratch_config.h"
#include "tests/rt/rt_test_support.h"

namespace {

using rt_test::exists;
using rt_test::widen;

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
    create_watch::Watch* watch = new create_watch::Watch;
    std::set<std::string> names;
    RunFolder runs[3] = {};
    for (RunFolder& run : runs) {
        ASSERT_EQ(run_folder_create_in(&run, scratch.path().c_str()), 0) << GetLastError();
        names.insert(run.name);
        EXPECT_TRUE(run_folder_name_is_ours(run.name)) << run.name;
        EXPECT_EQ(std::string(run.path), scratch / run.name);
        EXPECT_EQ(std::string(run.setup_path), scratch / run.name + "\\setup.exe");
        EXPECT_EQ(std::string(run.temp_path), scratch / run.name + "\\temp");
        EXPECT_TRUE(rt_test::is_directory(run.temp_path)) << "setup's TMP and TEMP";
    }
    std::vector<create_watch::Made> made = watch->made;
    delete watch;
    EXPECT_EQ(names.size(), 3u);
    // Each run folder is made in one step with the protected list and the Administrators as its
    // owner (this process runs elevated), so that no policy on default owners hands it to the
    // user; its temporary folder inherits that list.
    int folders = 0;
    for (const create_watch::Made& m : made) {
        if (m.name.compare(0, 8, L"quorvel-") == 0) {
            ++folders;
            EXPECT_TRUE(m.directory && m.descriptor && m.admin_only) << "made without the protected access list";
        } else {
            EXPECT_TRUE(m.name == L"temp" && m.directory && !m.descriptor);
        }
    }
    EXPECT_EQ(folders, 3);

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

// What a later run's sweep takes out of an earlier run's folder: everything once the run is more
// than a week old, nothing while it is younger (its setup may still need its files), and never a
// folder setup made itself. The folders are made now; the sweep is told it is later.
TEST_F(RunFolderTest, EarlierRunsFolderEmptiedOnlyAfterAWeek)
{
    const uint64_t DAY = 24ull * 60 * 60 * 10000000;
    const struct {
        const char* what;
        int days_later;
        bool temp_holds_a_file;
        bool setup_folder;      // a folder of setup's own
        bool emptied;
    } cases[] = {
        {"eight days on", 8, false, false, true},
        {"a month on", 30, false, false, true},
        {"six days on: everything stays", 6, false, false, false},
        {"the same day", 0, true, true, false},
        {"setup left a file in temp", 8, true, false, false},
        {"setup made a folder of its own", 8, false, true, false},
    };
    HANDLE parent = dir_open_held(scratch.path().c_str(), FILE_TRAVERSE | FILE_LIST_DIRECTORY);
    ASSERT_NE(parent, nullptr);
    int number = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::string name = "quorvel-000000000000000" + std::to_string(number++);
        std::string folder = scratch / name;
        ASSERT_TRUE(CreateDirectoryW(widen(folder).c_str(), nullptr));
        ASSERT_TRUE(CreateDirectoryW(widen(folder + "\\temp").c_str(), nullptr));
        ASSERT_TRUE(rt_test::write_file(folder + "\\setup.exe", "MZ"));
        ASSERT_TRUE(rt_test::write_file(folder + "\\install.log", "0 folder\r\n"));
        if (c.temp_holds_a_file) {
            ASSERT_TRUE(rt_test::write_file(folder + "\\temp\\unpacked.dll", "MZ"));
        }
        if (c.setup_folder) {
            ASSERT_TRUE(CreateDirectoryW(widen(folder + "\\data").c_str(), nullptr));
        }
        HANDLE held = dir_open_in(parent, name.c_str());
        ASSERT_NE(held, nullptr) << GetLastError();
        EXPECT_EQ(run_folder_empty_out(held, file_time_now() + (uint64_t)c.days_later * DAY), c.emptied);
        CloseHandle(held);
        if (c.days_later < 7) {
            EXPECT_TRUE(exists(folder + "\\setup.exe") && exists(folder + "\\install.log"))
                << "a young run's folder stays whole";
        }
        if (c.emptied) {
            EXPECT_FALSE(exists(folder + "\\setup.exe"));
            EXPECT_FALSE(exists(folder + "\\temp"));
            EXPECT_FALSE(exists(folder + "\\install.log"));
        }
    }
    CloseHandle(parent);
}
