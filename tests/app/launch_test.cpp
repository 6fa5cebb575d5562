// The setup path, the start of the setup program and the completion handling on the main thread.
// The stand-in setup program (tests/helpers/fake_setup.exe) records its command line next to itself.
#include <gtest/gtest.h>

#include <string>

#include "app/app_state.h"
#include "app/config.h"
#include "app/launch.h"
#include "rt/heap.h"
#include "rt/sha256.h"

namespace {

std::wstring widen(const std::string& text)
{
    std::wstring wide(text.size() + 1, L'\0');
    int n = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, &wide[0], (int)wide.size());
    wide.resize(n > 0 ? n - 1 : 0);
    return wide;
}

std::string narrow(const std::wstring& text)
{
    std::string bytes(text.size() * 4 + 1, '\0');
    int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &bytes[0], (int)bytes.size(), nullptr, nullptr);
    bytes.resize(n > 0 ? n - 1 : 0);
    return bytes;
}

// The stand-in setup program of this build, as a Windows path.
std::wstring fake_setup_exe()
{
    char build[1024];
    DWORD n = GetEnvironmentVariableA("QWI_BUILD_DIR", build, sizeof build);
    if (n == 0 || n >= sizeof build) {
        return L"";
    }
    std::wstring path = L"Z:" + widen(std::string(build, n) + "/tests/helpers/fake_setup.exe");
    for (wchar_t& c : path) {
        if (c == L'/') {
            c = L'\\';
        }
    }
    return GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES ? L"" : path;
}

std::string read_file(const std::wstring& path)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return "<missing>";
    }
    std::string bytes;
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0) {
        bytes.append(chunk, got);
    }
    CloseHandle(file);
    return bytes;
}

// Waits for the stand-in's record and returns its first line (the command line it received).
std::string wait_for_setup_command_line(const std::wstring& folder, DWORD limit_ms = 20000)
{
    std::wstring record = folder + L"\\setup-run.txt";
    for (DWORD waited = 0; waited < limit_ms; waited += 50) {
        std::string text = read_file(record);
        size_t end = text.find('\n');
        if (end != std::string::npos && text.find('\n', end + 1) != std::string::npos) {
            return text.substr(0, end);
        }
        Sleep(50);
    }
    return "<not started>";
}

void remove_tree(const std::wstring& folder)
{
    std::wstring pattern = folder + L"\\*";
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW(pattern.c_str(), &entry);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = entry.cFileName;
            if (name == L"." || name == L"..") {
                continue;
            }
            std::wstring child = folder + L"\\" + name;
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                remove_tree(child);
            } else {
                SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(child.c_str());
            }
        } while (FindNextFileW(find, &entry));
        FindClose(find);
    }
    RemoveDirectoryW(folder.c_str());
}

std::string hex_digest_of_file(const std::wstring& path)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    uint8_t digest[SHA256_DIGEST_SIZE] = {};
    EXPECT_EQ(sha256_file(file, digest), 0);
    CloseHandle(file);
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (uint8_t b : digest) {
        hex += digits[b >> 4];
        hex += digits[b & 15];
    }
    return hex;
}

// Each test gets its own TMP folder (named with spaces and Cyrillic letters, as users' folders
// are) and a fresh configuration.
class Launch : public testing::Test {
protected:
    void SetUp() override
    {
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        static int serial = 0;
        folder_ = std::wstring(temp) + L"qwi launch \x0442\x0435\x0441\x0442 " + std::to_wstring(GetCurrentProcessId()) +
                  L"." + std::to_wstring(++serial);
        remove_tree(folder_);
        CreateDirectoryW(folder_.c_str(), nullptr);
        saved_tmp_length_ = GetEnvironmentVariableW(L"TMP", saved_tmp_, MAX_PATH);
        SetEnvironmentVariableW(L"TMP", folder_.c_str());
        config_ = {};
        process_globals.config = &config_;
    }

    void TearDown() override
    {
        config_release(&config_);
        process_globals.config = nullptr;
        SetEnvironmentVariableW(L"TMP", saved_tmp_length_ ? saved_tmp_ : nullptr);
        remove_tree(folder_);
    }

    // Puts the stand-in setup program at the setup path.
    bool place_setup()
    {
        std::wstring source = fake_setup_exe();
        if (source.empty()) {
            return false;
        }
        CreateDirectoryW((folder_ + L"\\quorvel").c_str(), nullptr);
        return CopyFileW(source.c_str(), setup_file().c_str(), FALSE) != 0;
    }

    std::wstring setup_file() const { return folder_ + L"\\quorvel\\setup.exe"; }

    std::wstring folder_;
    wchar_t saved_tmp_[MAX_PATH] = {};
    DWORD saved_tmp_length_ = 0;
    InstallerConfig config_ = {};
};

TEST_F(Launch, SetupPathExpandsTmpOnceAndCachesIt)
{
    const char* path = setup_path();
    ASSERT_NE(path, nullptr);
    EXPECT_EQ(std::string(path), narrow(setup_file()));

    SetEnvironmentVariableW(L"TMP", L"C:\\T");
    EXPECT_EQ(setup_path(), path) << "the first answer is kept for the whole run";

    config_release(&config_);
    EXPECT_STREQ(setup_path(), "C:\\T\\quorvel\\setup.exe");

    config_release(&config_);
    SetEnvironmentVariableW(L"TMP", nullptr);
    EXPECT_STREQ(setup_path(), "%TMP%\\quorvel\\setup.exe") << "an undefined TMP stays literal";
}

TEST_F(Launch, SetupStartsWithPathSpaceAndArgumentsVerbatim)
{
    ASSERT_TRUE(place_setup()) << "fake_setup.exe not found (QWI_BUILD_DIR)";
    const struct {
        const char* args;
        const char* expected_tail;
    } cases[] = {
        {"\"AID=32197\"", " \"AID=32197\""},
        {"/S  \"two  spaces\" x", " /S  \"two  spaces\" x"},
        {nullptr, " "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args ? c.args : "(no setup_args)");
        DeleteFileW((folder_ + L"\\quorvel\\setup-run.txt").c_str());
        config_.setup_args = c.args ? heap_strdup(c.args) : nullptr;
        ASSERT_EQ(run_setup(), 0);
        EXPECT_EQ(wait_for_setup_command_line(folder_ + L"\\quorvel"), narrow(setup_file()) + c.expected_tail);
        heap_free(config_.setup_args);
        config_.setup_args = nullptr;
    }
}

TEST_F(Launch, SetupThatCannotStartFails)
{
    EXPECT_EQ(run_setup(), -1) << "no file at the setup path";

    CreateDirectoryW((folder_ + L"\\quorvel").c_str(), nullptr);
    HANDLE page = CreateFileW(setup_file().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    WriteFile(page, "<html>404</html>", 16, &written, nullptr);
    CloseHandle(page);
    EXPECT_EQ(run_setup(), -1) << "an error page saved as setup.exe";
}

TEST_F(Launch, PinnedSetupStartsOnlyWhenItsDigestMatches)
{
    ASSERT_TRUE(place_setup());
    std::string good = hex_digest_of_file(setup_file());

    std::string wrong = good;
    wrong[10] = wrong[10] == '0' ? '1' : '0';
    config_.sha256 = heap_strdup(wrong.c_str());
    EXPECT_EQ(run_setup(), -1);
    EXPECT_EQ(read_file(folder_ + L"\\quorvel\\setup-run.txt"), "<missing>");
    heap_free(config_.sha256);

    for (char& c : good) {
        c = (char)toupper((unsigned char)c); // either case is a valid pin
    }
    config_.sha256 = heap_strdup(good.c_str());
    EXPECT_EQ(run_setup(), 0);
    EXPECT_NE(wait_for_setup_command_line(folder_ + L"\\quorvel"), "<not started>");
}

TEST_F(Launch, SetupOpenForWritingElsewhereIsNotStarted)
{
    ASSERT_TRUE(place_setup());
    // Somebody else holds the file open for writing: it could still change under the new process.
    HANDLE writer = CreateFileW(setup_file().c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    EXPECT_EQ(run_setup(), -1);
    CloseHandle(writer);
    EXPECT_EQ(run_setup(), 0);
}

// ---- completion handling ---------------------------------------------------------------------

struct WorkerPlan {
    DWORD delay_ms;
    DWORD exit_code;
};

DWORD WINAPI planned_worker(void* argument)
{
    const WorkerPlan* plan = (const WorkerPlan*)argument;
    Sleep(plan->delay_ms);
    return plan->exit_code;
}

class WorkerDone : public Launch {
protected:
    void SetUp() override
    {
        Launch::SetUp();
        app_ = (AppState*)heap_alloc_zeroed(sizeof(AppState));
        process_globals.app = app_;
        // Any window that WM_CLOSE destroys serves as the splash here.
        app_->splash.hwnd = CreateWindowExW(0, L"STATIC", L"splash", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                                            nullptr, nullptr);
    }

    void TearDown() override
    {
        if (app_->worker) {
            WaitForSingleObject(app_->worker, INFINITE);
            CloseHandle(app_->worker);
        }
        if (IsWindow(app_->splash.hwnd)) {
            DestroyWindow(app_->splash.hwnd);
        }
        heap_free(app_);
        process_globals.app = nullptr;
        Launch::TearDown();
    }

    void start_worker(const WorkerPlan* plan)
    {
        app_->worker = CreateThread(nullptr, 0, planned_worker, (void*)plan, 0, nullptr);
    }

    AppState* app_ = nullptr;
};

TEST_F(WorkerDone, CompletedDownloadStartsSetupAndClosesTheSplash)
{
    ASSERT_TRUE(place_setup());
    config_.setup_args = heap_strdup("X=1");
    WorkerPlan plan = {0, 0};
    start_worker(&plan);
    on_worker_done(&app_->splash, 1, 0);
    EXPECT_EQ(app_->worker, nullptr) << "joined";
    EXPECT_FALSE(IsWindow(app_->splash.hwnd));
    EXPECT_EQ(wait_for_setup_command_line(folder_ + L"\\quorvel"), narrow(setup_file()) + " X=1");

    on_worker_done(&app_->splash, 1, 0); // a late message finds no worker and does nothing
}

TEST_F(WorkerDone, FirstFailureWhileTheSecondAddressRunsChangesNothing)
{
    WorkerPlan plan = {3000, 0};
    start_worker(&plan);
    on_worker_done(&app_->splash, 0, 0);
    EXPECT_NE(app_->worker, nullptr) << "still running: left alone";
    EXPECT_TRUE(IsWindow(app_->splash.hwnd));
}

TEST_F(WorkerDone, CompletionMessageWaitsForASlowWorkerInsteadOfStalling)
{
    ASSERT_TRUE(place_setup());
    WorkerPlan plan = {1600, 0}; // posted completion, then slow to close its file
    start_worker(&plan);
    on_worker_done(&app_->splash, 1, 0);
    EXPECT_EQ(app_->worker, nullptr);
    EXPECT_FALSE(IsWindow(app_->splash.hwnd)) << "setup started although the join took over a second";
}

} // namespace
