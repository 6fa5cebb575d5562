// The run's install log.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include <windows.h>

#include "app/install_log.h"
#include "rt/file_handle.h"
#include "tests/app/create_watch.h"
#include "tests/rt/rt_test_support.h"

namespace {

struct LogFolder {
    rt_test::ScratchDir scratch;
    HANDLE folder = nullptr;
    LogFolder() { folder = dir_open_held(scratch.path().c_str(), FILE_TRAVERSE | FILE_LIST_DIRECTORY); }
    ~LogFolder()
    {
        install_log_close();
        if (folder) {
            CloseHandle(folder);
        }
    }
    std::string log_path() const { return scratch / INSTALL_LOG_NAME; }
    std::vector<std::string> lines() const
    {
        std::vector<std::string> result;
        std::istringstream text(rt_test::read_file(log_path()));
        for (std::string line; std::getline(text, line);) {
            EXPECT_FALSE(line.empty() || line.back() != '\r') << "not a CRLF line: " << line;
            result.push_back(line.substr(0, line.size() - 1));
        }
        return result;
    }
};

// Each line is whole and timed, events keep their order, and the caller's last error survives.
TEST(InstallLog, TimedWholeLinesThatKeepTheLastError)
{
    LogFolder scratch;
    ASSERT_NE(scratch.folder, nullptr);
    install_log_start_clock();
    ASSERT_EQ(install_log_open(scratch.folder), 0);
    install_log("first %d", 1);
    SetLastError(ERROR_DISK_FULL);
    install_log_failure("failed", ERROR_DISK_FULL);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_DISK_FULL);
    install_log_failure("refused", 0x800B0109); // a trust failure: a code that may have no text
    install_log_failure("unknown", 0x2000DEAD);  // a code no table has: the line still ends cleanly
    install_log("long %s", std::string(4000, 'x').c_str());
    install_log_close();
    install_log("after close");

    std::vector<std::string> lines = scratch.lines();
    ASSERT_EQ(lines.size(), 5u);
    uint64_t previous = 0;
    for (const std::string& line : lines) {
        size_t space = line.find(' ');
        ASSERT_NE(space, std::string::npos) << line;
        uint64_t time = std::stoull(line.substr(0, space));
        EXPECT_GE(time, previous);
        previous = time;
    }
    EXPECT_NE(lines[0].find(" first 1"), std::string::npos);
    EXPECT_NE(lines[1].find(" failed: (112) "), std::string::npos) << lines[1];
    EXPECT_NE(lines[2].find(" refused: (0x800B0109) "), std::string::npos) << lines[2];
    EXPECT_EQ(lines[3].substr(lines[3].find(' ')), " unknown: (536927917) no text from the system") << lines[3];
    EXPECT_LT(lines[4].size(), 2000u) << "a long event is cut to one line";
}

DWORD WINAPI second_writer(void*)
{
    for (int i = 0; i < 1200; ++i) {
        install_log("writer 1 event %d %s", i, "........................................");
    }
    return 0;
}

// Two threads writing at once (the worker and the main thread) never mix their lines, and the log
// stops at its cap with a last line that says so. (Two, not more: 32-bit Wine under qemu crashes
// with several threads started at once, whatever they run.)
TEST(InstallLog, ThreadsShareItUpToTheCap)
{
    LogFolder scratch;
    ASSERT_NE(scratch.folder, nullptr);
    ASSERT_EQ(install_log_open(scratch.folder), 0);
    HANDLE writer = CreateThread(nullptr, 0, second_writer, nullptr, 0, nullptr);
    ASSERT_NE(writer, nullptr);
    for (int i = 0; i < 1200; ++i) {
        install_log("writer 0 event %d %s", i, "........................................");
    }
    EXPECT_EQ(WaitForSingleObject(writer, INFINITE), WAIT_OBJECT_0);
    CloseHandle(writer);
    install_log_close();

    std::string text = rt_test::read_file(scratch.log_path());
    EXPECT_LE(text.size(), (size_t)INSTALL_LOG_CAP);
    EXPECT_GT(text.size(), (size_t)INSTALL_LOG_CAP - 200);
    std::vector<std::string> lines = scratch.lines();
    ASSERT_GT(lines.size(), 100u);
    EXPECT_NE(lines.back().find("log stopped"), std::string::npos) << lines.back();
    for (size_t i = 0; i + 1 < lines.size(); ++i) {
        EXPECT_NE(lines[i].find(" writer "), std::string::npos) << lines[i];
        EXPECT_NE(lines[i].find("event"), std::string::npos) << lines[i];
        EXPECT_EQ(lines[i].find("writer", lines[i].find("writer") + 1), std::string::npos) << "mixed: " << lines[i];
    }
}

// The log can hold setup arguments and address queries: it is made readable by SYSTEM and the
// Administrators only, in the step that creates it (this process runs elevated).
TEST(InstallLog, OnlyAdministratorsMayReadIt)
{
    LogFolder scratch;
    ASSERT_NE(scratch.folder, nullptr);
    std::vector<create_watch::Made> made;
    {
        create_watch::Watch watch;
        ASSERT_EQ(install_log_open(scratch.folder), 0);
        made = watch.made;
    }
    install_log_close();
    ASSERT_EQ(made.size(), 1u);
    EXPECT_EQ(made[0].name, L"install.log");
    EXPECT_TRUE(made[0].descriptor && made[0].admin_only);
    EXPECT_FALSE(made[0].users_read);
}

// A file of the log's name that stands in the folder beforehand is never written through.
TEST(InstallLog, NeverWritesIntoAFileThatWasThere)
{
    LogFolder scratch;
    ASSERT_NE(scratch.folder, nullptr);
    ASSERT_TRUE(rt_test::write_file(scratch.log_path(), "planted"));
    EXPECT_EQ(install_log_open(scratch.folder), 1);
    install_log("nothing goes anywhere");
    EXPECT_EQ(rt_test::read_file(scratch.log_path()), "planted");
}

}  // namespace
