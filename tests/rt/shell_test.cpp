#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "rt/shell.h"
#include "tests/rt/rt_test_support.h"

#include <objbase.h>
#include <tlhelp32.h>

namespace {

// Waits for the programs started from a file of this name to end, so that the file can go.
void wait_for_program(const std::wstring& exe_name) {
    for (int round = 0; round < 100; round++) {
        HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
        if (snapshot == INVALID_HANDLE_VALUE) {
            return;
        }
        bool running = false;
        PROCESSENTRY32W entry;
        entry.dwSize = sizeof entry;
        for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
            if (_wcsicmp(entry.szExeFile, exe_name.c_str()) == 0) {
                running = true;
                HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, entry.th32ProcessID);
                if (process != nullptr) {
                    WaitForSingleObject(process, 10000);
                    CloseHandle(process);
                }
            }
        }
        CloseHandle(snapshot);
        if (!running) {
            return;
        }
    }
}

}  // namespace

TEST(ShellOpen, AcceptsAProgramUnderALongCyrillicPath) {
    rt_test::ScratchDir scratch;
    ASSERT_TRUE(scratch.ok());
    wchar_t system_dir[MAX_PATH];
    ASSERT_GT(GetSystemDirectoryW(system_dir, MAX_PATH), 0u);
    std::wstring program = std::wstring(system_dir) + L"\\hostname.exe";
    // A program that ends at once, copied to a Cyrillic name and reached through a text of over
    // 255 units. The length comes from ".\" steps: the shell itself refuses some long real paths.
    std::string name = std::string(rt_test::cyrillic_name()) + ".exe";
    ASSERT_TRUE(CopyFileW(program.c_str(), rt_test::extended(scratch / name).c_str(), FALSE));
    std::string target = scratch.path() + "\\";
    for (int i = 0; i < 120; i++) {
        target += ".\\";
    }
    target += name;
    ASSERT_GT(rt_test::widen(target).size(), 255u);
    EXPECT_EQ(shell_open(target.c_str()), 0);
    // The running program holds its file: let it end before the directory goes.
    wait_for_program(rt_test::widen(name));
}

TEST(ShellOpen, RefusalsAreMinusOne) {
    rt_test::ScratchDir scratch;
    ASSERT_TRUE(scratch.ok());
    // Nothing there (a shell result of 2), and a file no program is registered for (31).
    std::string unknown = scratch / "data.qwi-no-such-type";
    ASSERT_TRUE(rt_test::write_file(unknown, "x"));
    EXPECT_EQ(shell_open((scratch / "missing.exe").c_str()), 1);
    EXPECT_EQ(shell_open(unknown.c_str()), 1);

    rt_test::TinyHeap tiny;
    ASSERT_TRUE(tiny.ok());
    std::string huge(rt_test::TinyHeap::TOO_MUCH, 'u');
    EXPECT_EQ(shell_open(huge.c_str()), 1);
}

// Whichever way opens the target (the desktop's shell where there is one, else this process), the
// answer is shell_open's and the caller's thread keeps its COM state. The time each click took is
// printed: under Wine, COM can take 10 s to find there is no shell, and the 2 s cap should show.
TEST(ShellOpenUnelevated, AnswersAsShellOpen) {
    rt_test::ScratchDir scratch;
    ASSERT_TRUE(scratch.ok());
    wchar_t system_dir[MAX_PATH];
    ASSERT_GT(GetSystemDirectoryW(system_dir, MAX_PATH), 0u);
    std::string program = scratch / "quick.exe";
    ASSERT_TRUE(CopyFileW((std::wstring(system_dir) + L"\\hostname.exe").c_str(),
                          rt_test::extended(program).c_str(), FALSE));
    struct Row {
        std::string target;
        int result;
    } rows[] = {{program, 0}, {scratch / "missing.exe", 1}};
    for (const Row& row : rows) {
        APTTYPE type_before = APTTYPE_CURRENT, type_after = APTTYPE_CURRENT;
        APTTYPEQUALIFIER qualifier;
        HRESULT com_before = CoGetApartmentType(&type_before, &qualifier);
        DWORD started = GetTickCount();
        EXPECT_EQ(shell_open_unelevated(row.target.c_str()), row.result) << row.target;
        printf("  shell_open_unelevated(%s): %lu ms\n", row.result == 0 ? "a program" : "a missing file",
               (unsigned long)(GetTickCount() - started));
        EXPECT_EQ(CoGetApartmentType(&type_after, &qualifier), com_before) << row.target;
        EXPECT_EQ(type_after, type_before) << row.target;
    }
    wait_for_program(L"quick.exe");
}

TEST(SystemErrorText, OneLineWithoutTheClosingPeriod) {
    char text[256];
    const DWORD codes[] = {ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED, ERROR_INVALID_NAME, ERROR_DISK_FULL};
    for (DWORD code : codes) {
        memset(text, '#', sizeof text);
        ASSERT_EQ(system_error_text(code, text, sizeof text), 0) << code;
        size_t length = strlen(text);
        ASSERT_GT(length, 0u) << code;
        EXPECT_EQ(strchr(text, '\n'), nullptr) << text;
        EXPECT_EQ(strchr(text, '\r'), nullptr) << text;
        EXPECT_FALSE(length >= 2 && text[length - 2] == '.' && text[length - 1] == ' ') << text;
    }
}

// A text that the system keeps with an insert ("%1 is not a valid Win32 application", "Bad EXE
// format for %1") names the file instead, wherever the insert stands.
TEST(SystemErrorText, InsertsNameTheFile) {
    char text[256];
    ASSERT_EQ(system_error_text(ERROR_BAD_EXE_FORMAT, text, sizeof text), 0);
    EXPECT_EQ(strchr(text, '%'), nullptr) << text;
    EXPECT_TRUE(strstr(text, "the file") || strncmp(text, "The file", 8) == 0) << text;
    printf("  ERROR_BAD_EXE_FORMAT: %s\n", text);
}

TEST(SystemErrorText, RoomIsCheckedExactly) {
    char text[256];
    ASSERT_EQ(system_error_text(ERROR_ACCESS_DENIED, text, sizeof text), 0);
    const int32_t needed = (int32_t)strlen(text) + 1;

    char exact[256];
    EXPECT_EQ(system_error_text(ERROR_ACCESS_DENIED, exact, needed), 0);
    EXPECT_STREQ(exact, text);
    EXPECT_EQ(system_error_text(ERROR_ACCESS_DENIED, exact, needed - 1), 1);

    // No room at all: nothing is written.
    char untouched[4] = {'#', '#', '#', '#'};
    EXPECT_EQ(system_error_text(ERROR_ACCESS_DENIED, untouched, 0), 1);
    EXPECT_EQ(system_error_text(ERROR_ACCESS_DENIED, untouched, -5), 1);
    EXPECT_EQ(untouched[0], '#');
}

TEST(SystemErrorText, UnknownCodeGivesAnEmptyText) {
    const DWORD unknown = 0x2000F1F1;  // customer bit set: the system has no text for it
    char text[16];
    memset(text, '#', sizeof text);
    EXPECT_EQ(system_error_text(unknown, text, sizeof text), 1);
    EXPECT_STREQ(text, "");
    char one = '#';
    EXPECT_EQ(system_error_text(unknown, &one, 1), 1);
    EXPECT_EQ(one, '\0');
}
