#include <gtest/gtest.h>

#include <string.h>

#include <memory>
#include <string>

#include "rt/security.h"
#include "rt/shell.h"
#include "tests/helpers/impostor_client.h"
#include "tests/rt/rt_test_support.h"

#include <objbase.h>
#include <tlhelp32.h>

// user32 exports it; the SDK headers leave it out.
extern "C" BOOL WINAPI SetShellWindow(HWND window);

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

namespace {

// Fake steps for shell_open_unelevated: each answers from `answers` ("e" elevated, then one digit
// per step: here, desktop, token given, as-user, copy; 0 is success) and leaves its letter in calls.
std::string answers, calls;
int answer(char step, int at) { calls += step; return answers[at] - '0'; }
bool fake_elevated() { calls += 'e'; return answers[0] == 'e'; }
int fake_here(const char*) { return answer('h', 1); }
int fake_desktop(const char*) { return answer('d', 2); }
HANDLE fake_token() { return answer('t', 3) == 0 ? CreateEventW(nullptr, TRUE, FALSE, nullptr) : nullptr; }
int fake_as_user(HANDLE, const char*) { return answer('u', 4); }
int fake_copy(const char*) { return answer('c', 5); }

std::wstring clipboard_text() {
    std::wstring text = L"<nothing>";
    for (int attempt = 0; attempt < 20 && !OpenClipboard(nullptr); attempt++) {
        Sleep(50);
    }
    HANDLE data = GetClipboardData(CF_UNICODETEXT);
    if (data != nullptr) {
        text = (const wchar_t*)GlobalLock(data);
        GlobalUnlock(data);
    }
    CloseClipboard();
    return text;
}

}  // namespace

// Which way takes the target: an elevated caller never opens it itself, whatever fails; the desktop
// user's token is asked for only when the desktop shell did not take it, the clipboard only when
// nothing could be started with that token.
TEST(ShellOpenUnelevated, WayFollowsWhatAnswers) {
    ShellOpenSteps saved = shell_open_steps;
    shell_open_steps = {fake_elevated, fake_here, fake_desktop, fake_token, fake_as_user, fake_copy};
    struct Row {
        const char* answers;
        int result;
        ShellOpenWay way;
        const char* calls;
    } rows[] = {
        {"-00000", 0, SHELL_OPEN_HERE, "eh"},           {"-10000", 1, SHELL_OPEN_NONE, "eh"},
        {"e00000", 0, SHELL_OPEN_BY_DESKTOP, "ed"},     {"e01000", 0, SHELL_OPEN_AS_DESKTOP_USER, "edtu"},
        {"e01100", 0, SHELL_OPEN_COPIED, "edtc"},       {"e01010", 0, SHELL_OPEN_COPIED, "edtuc"},
        {"e01011", 1, SHELL_OPEN_NONE, "edtuc"},
    };
    for (const Row& row : rows) {
        answers = row.answers;
        calls.clear();
        ShellOpenWay way = SHELL_OPEN_HERE;
        EXPECT_EQ(shell_open_unelevated("https://example.test/setup.exe", &way), row.result) << row.answers;
        EXPECT_EQ(way, row.way) << row.answers;
        EXPECT_EQ(calls, row.calls) << row.answers;
    }
    shell_open_steps = saved;
}

// The real steps here, for a program as the target: an elevated caller takes one of its own ways
// (printed, with the time: the desktop shell gets 2 s), a copy leaves the target on the clipboard,
// and the caller's thread keeps its COM state.
TEST(ShellOpenUnelevated, RealStepsKeepTheCallersCom) {
    rt_test::ScratchDir scratch;
    ASSERT_TRUE(scratch.ok());
    wchar_t system_dir[MAX_PATH];
    ASSERT_GT(GetSystemDirectoryW(system_dir, MAX_PATH), 0u);
    std::string program = scratch / "quick.exe";
    ASSERT_TRUE(CopyFileW((std::wstring(system_dir) + L"\\hostname.exe").c_str(),
                          rt_test::extended(program).c_str(), FALSE));
    APTTYPE type_before = APTTYPE_CURRENT, type_after = APTTYPE_CURRENT;
    APTTYPEQUALIFIER qualifier;
    HRESULT com_before = CoGetApartmentType(&type_before, &qualifier);
    DWORD started = GetTickCount();
    ShellOpenWay way = SHELL_OPEN_NONE;
    EXPECT_EQ(shell_open_unelevated(program.c_str(), &way), 0);
    printf("  way %d in %lu ms\n", (int)way, (unsigned long)(GetTickCount() - started));
    EXPECT_EQ(way == SHELL_OPEN_HERE, !shell_open_steps.caller_may_be_elevated());
    if (way == SHELL_OPEN_COPIED) {
        EXPECT_EQ(clipboard_text(), rt_test::widen(program));
    }
    EXPECT_EQ(CoGetApartmentType(&type_after, &qualifier), com_before);
    EXPECT_EQ(type_after, type_before);
    wait_for_program(L"quick.exe");
}

// Only an unelevated desktop shell's token is lent, as a primary token: none without a shell
// window, none when an elevated program's window is the shell (here, under Wine, any program but
// one started with the linked token), one when an unelevated program of the user's registered it.
TEST(DesktopUserToken, OnlyAnUnelevatedShellsToken) {
    if (GetShellWindow() != nullptr || impostor::program().empty()) {
        GTEST_SKIP() << "needs a session without a desktop shell, and impostor.exe (QWI_BUILD_DIR)";
    }
    struct Row {
        const wchar_t* impostor; // null: no shell window
        bool elevated_shell;
        DWORD error;
    } rows[] = {{nullptr, false, ERROR_NOT_FOUND}, {L"--shell", true, ERROR_ACCESS_DENIED},
                {L"--unelevated --shell", false, 0}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.impostor ? testing::PrintToString(rt_test::narrow(row.impostor)) : "no shell");
        std::unique_ptr<impostor::Running> shell(row.impostor ? new impostor::Running(row.impostor) : nullptr);
        ASSERT_TRUE(!shell || shell->ok()) << shell->error();
        HWND window = GetShellWindow();
        DWORD shell_id = 0;
        HANDLE shell_token = nullptr;
        HANDLE process = window ? OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                                              (GetWindowThreadProcessId(window, &shell_id), shell_id))
                                : nullptr;
        bool elevated = process && OpenProcessToken(process, TOKEN_QUERY, &shell_token) &&
                        token_is_elevated(shell_token, false);
        if (row.impostor) {
            ASSERT_EQ(elevated, row.elevated_shell) << "the impostor's token is not what the case needs";
        }
        SetLastError(0);
        HANDLE token = desktop_user_token();
        DWORD error = GetLastError();
        TOKEN_TYPE type = TokenImpersonation;
        DWORD size = 0;
        if (row.error == 0) {
            ASSERT_NE(token, nullptr);
            EXPECT_FALSE(token_is_elevated(token, true));
            EXPECT_TRUE(GetTokenInformation(token, TokenType, &type, sizeof type, &size) && type == TokenPrimary);
            CloseHandle(token);
        } else {
            EXPECT_EQ(token, nullptr);
            EXPECT_EQ(error, row.error);
        }
        for (HANDLE h : {shell_token, process}) {
            if (h) {
                CloseHandle(h);
            }
        }
        shell.reset();
        for (int waited = 0; waited < 5000 && GetShellWindow() != nullptr; waited += 20) {
            Sleep(20); // the shell's window goes with its process
        }
    }
}

// explorer from the Windows folder, started with a token, gets the target as one argument and opens
// it: a stand-in program under a path with spaces, '&' and Cyrillic letters records that it ran.
// Targets that can't be one argument are refused before anything starts.
TEST(ShellOpenAsDesktopUser, ExplorerOpensTheTargetAsOneArgument) {
    std::wstring fake_setup = impostor::program();
    if (fake_setup.empty()) {
        GTEST_SKIP() << "QWI_BUILD_DIR is not set: the stand-in setup program is not at hand";
    }
    fake_setup.replace(fake_setup.rfind(L"impostor.exe"), std::wstring::npos, L"fake_setup.exe");
    rt_test::ScratchDir scratch;
    ASSERT_TRUE(scratch.ok());
    std::string folder = scratch / (std::string("with spaces ") + rt_test::cyrillic_name());
    ASSERT_TRUE(CreateDirectoryW(rt_test::extended(folder).c_str(), nullptr));
    std::string target = folder + "\\setup & more.exe";
    ASSERT_TRUE(CopyFileW(fake_setup.c_str(), rt_test::extended(target).c_str(), FALSE));
    HANDLE token = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_ASSIGN_PRIMARY, &token));
    for (const char* refused : {"", "https://example.test/\"quoted\"", "/select,C:\\Windows"}) {
        SetLastError(0);
        EXPECT_EQ(shell_open_as_desktop_user(token, refused), 1) << refused;
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER) << refused;
    }
    EXPECT_EQ(shell_open_as_desktop_user(token, target.c_str()), 0);
    CloseHandle(token);
    // The stand-in writes its command line, then its own path, next to itself.
    std::string record;
    for (int waited = 0; waited < 20000 && record.find('\n', record.find('\n') + 1) == std::string::npos;
         waited += 50) {
        Sleep(50);
        rt_test::read_file(folder + "\\setup-run.txt", &record);
    }
    EXPECT_NE(record.find("\n" + target + "\n"), std::string::npos) << "explorer did not start it: " << record;
    wait_for_program(L"setup & more.exe");
}

// The clipboard ends up holding exactly the text as Unicode text; while another program holds it
// open, the call gives up after its short wait and says so.
TEST(ClipboardPutText, ReplacesTheClipboardWithTheText) {
    for (std::string text : {std::string("https://example.test/") + rt_test::cyrillic_name() + "?a=1&b=2", std::string()}) {
        EXPECT_EQ(clipboard_put_text(text.c_str()), 0) << text;
        EXPECT_EQ(clipboard_text(), rt_test::widen(text)) << text;
    }
    if (impostor::program().empty()) {
        return; // the held clipboard needs another program
    }
    impostor::Running holder(L"--hold-clipboard");
    ASSERT_TRUE(holder.ok()) << holder.error();
    DWORD started = GetTickCount();
    SetLastError(0);
    EXPECT_EQ(clipboard_put_text("while held"), 1);
    EXPECT_NE(GetLastError(), 0u);
    EXPECT_GE(GetTickCount() - started, 400u);
    EXPECT_LT(GetTickCount() - started, 3000u);
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
