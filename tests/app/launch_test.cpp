// The setup path, the start of the setup program and the completion handling on the main thread.
// The stand-in setup program (tests/helpers/fake_setup.exe) records its command line next to itself.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <windows.h>
#include <shellapi.h>

#include "app/app_state.h"
#include "app/config.h"
#include "app/error_window.h"
#include "app/launch.h"
#include "app/worker_report.h"
#include "app/run_folder.h"
#include "app/setup_file.h"
#include "rt/file_handle.h"
#include "rt/heap.h"
#include "tests/rt/rt_test_support.h"

namespace {

using rt_test::narrow;
using rt_test::read_file;
using rt_test::widen;

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

// What the stand-in recorded: its command line, its own path and its working directory.
struct SetupRecord {
    std::string command_line, self, folder;
};

// Waits for the stand-in's record next to it; empty fields when it never ran.
SetupRecord wait_for_setup_record(const std::string& folder, DWORD limit_ms = 20000)
{
    std::string record = folder + "\\setup-run.txt";
    for (DWORD waited = 0; waited < limit_ms; waited += 50) {
        std::string text;
        if (read_file(record, &text)) {
            size_t first = text.find('\n');
            size_t second = first == std::string::npos ? first : text.find('\n', first + 1);
            size_t third = second == std::string::npos ? second : text.find('\n', second + 1);
            if (third != std::string::npos) {
                return {text.substr(0, first), text.substr(first + 1, second - first - 1),
                        text.substr(second + 1, third - second - 1)};
            }
        }
        Sleep(50);
    }
    return {};
}

std::vector<std::string> split_like_a_program(const std::string& command_line)
{
    int count = 0;
    LPWSTR* argv = CommandLineToArgvW(widen(command_line).c_str(), &count);
    std::vector<std::string> args;
    for (int i = 0; argv && i < count; ++i) {
        args.push_back(narrow(argv[i]));
    }
    LocalFree(argv);
    return args;
}

// Each test gets a parent folder of its own (named with spaces and Cyrillic letters, as users'
// folders are), this run's folder in it, and a fresh configuration.
class Launch : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(scratch_.ok());
        parent_ = scratch_ / ("with space \xD1\x82\xD0\xB5\xD1\x81\xD1\x82");
        ASSERT_TRUE(CreateDirectoryW(widen(parent_).c_str(), nullptr));
        config_ = {};
        process_globals.config = &config_;
        ASSERT_EQ(run_folder_create_in(&run_, parent_.c_str()), 0) << GetLastError();
        current_run_folder = &run_;
    }

    void TearDown() override
    {
        run_folder_release(&run_);
        current_run_folder = nullptr;
        config_release(&config_);
        process_globals.config = nullptr;
    }

    // The stand-in setup program's bytes; empty when it is not built.
    std::string setup_bytes()
    {
        std::wstring source = fake_setup_exe();
        std::string bytes;
        return !source.empty() && read_file(narrow(source), &bytes) ? bytes : std::string();
    }

    // Writes the stand-in setup program as this run's setup file.
    bool place_setup()
    {
        std::string bytes = setup_bytes();
        return !bytes.empty() && setup_file_write_all(&run_, bytes.data(), (uint32_t)bytes.size()) == 0;
    }

    rt_test::ScratchDir scratch_;
    std::string parent_;
    InstallerConfig config_ = {};
    RunFolder run_ = {};
};

TEST_F(Launch, SetupStartsInItsFolderWithQuotedPathAndArgumentsVerbatim)
{
    const struct {
        const char* args;
        const char* expected_tail;
        std::vector<std::string> argv_tail;
    } cases[] = {
        {"\"AID=32197\"", " \"AID=32197\"", {"AID=32197"}},
        {"/S  \"two  spaces\" x", " /S  \"two  spaces\" x", {"/S", "two  spaces", "x"}},
        {nullptr, " ", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args ? c.args : "(no setup_args)");
        ASSERT_TRUE(place_setup()) << "fake_setup.exe not found (QWI_BUILD_DIR)";
        config_.setup_args = c.args ? heap_strdup(c.args) : nullptr;
        ASSERT_EQ(run_setup(), 0);
        SetupRecord record = wait_for_setup_record(run_.path);
        std::string path = run_.setup_path;
        EXPECT_NE(path.find("with space"), std::string::npos);
        EXPECT_EQ(record.command_line, "\"" + path + "\"" + c.expected_tail);
        std::vector<std::string> argv = {path};
        argv.insert(argv.end(), c.argv_tail.begin(), c.argv_tail.end());
        EXPECT_EQ(split_like_a_program(record.command_line), argv);
        EXPECT_EQ(record.folder, run_.path) << "setup runs in its own folder, not the installer's";
        heap_free(config_.setup_args);
        config_.setup_args = nullptr;

        // The next case writes its own file; this one's stays with the started program.
        run_.setup_started = false;
        setup_file_drop(&run_);
        // The stand-in may still be ending after writing its record, and a running program's file
        // can't be deleted: the next case's file is created new, so this one must be gone first.
        for (int tries = 0; tries < 200 && rt_test::exists(run_.setup_path); ++tries) {
            (void)DeleteFileW(widen(run_.setup_path).c_str());
            Sleep(50);
        }
        DeleteFileW(widen(std::string(run_.path) + "\\setup-run.txt").c_str());
    }
}

TEST_F(Launch, OnlyAnIntactLockedFileStarts)
{
    EXPECT_EQ(run_setup(), -1) << "nothing written yet";

    const std::string page = "<html>404</html>";
    ASSERT_EQ(setup_file_write_all(&run_, page.data(), (uint32_t)page.size()), 0);
    EXPECT_EQ(run_setup(), -1) << "an error page saved as setup.exe";
    setup_file_drop(&run_);
    EXPECT_FALSE(rt_test::exists(run_.setup_path)) << "dropped through its lock";

    std::string wrong(64, '0');
    config_.sha256 = heap_strdup(wrong.c_str());
    EXPECT_FALSE(place_setup()) << "a pin that does not match refuses the file";
    EXPECT_FALSE(rt_test::exists(run_.setup_path)) << "and deletes it through its own handle";
}

// The stand-in setup program with an unknown machine in its PE header: it passes every check of
// the download, and CreateProcessW refuses it (ERROR_BAD_EXE_FORMAT).
std::string unknown_machine(std::string program)
{
    if (program.size() < 0x40) {
        return std::string();
    }
    uint32_t pe = *(const uint32_t*)&program[0x3C];
    if (pe + 6 > program.size()) {
        return std::string();
    }
    program[pe + 4] = (char)0x99;
    program[pe + 5] = (char)0x99;
    return program;
}

// Until run_setup starts it, the setup file goes with its last handle: a run that ends at any
// point before (the system closes a dead process's handles, as the test does here) leaves nothing
// unchecked behind. Only a started setup program's file stays.
TEST_F(Launch, SetupFileGoesWithItsHandlesUntilSetupStarts)
{
    const std::string program = setup_bytes();
    ASSERT_FALSE(program.empty()) << "fake_setup.exe not found (QWI_BUILD_DIR)";
    const std::string refused = unknown_machine(program);
    ASSERT_FALSE(refused.empty());
    enum Stage { CREATED, WRITTEN, FINISHED, NOT_STARTED, STARTED };
    const struct {
        const char* name;
        Stage stage;
        bool stays;
    } cases[] = {
        {"created", CREATED, false},
        {"written", WRITTEN, false},
        {"finished under its lock", FINISHED, false},
        {"refused by CreateProcessW", NOT_STARTED, false},
        {"started", STARTED, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string& body = c.stage == NOT_STARTED ? refused : program;
        SetupWriter writer = {};
        if (c.stage <= WRITTEN) {
            ASSERT_EQ(setup_file_create(&run_, &writer), 0);
            if (c.stage == WRITTEN) {
                ASSERT_EQ(setup_file_write(&writer, body.data(), (uint32_t)body.size()), 0);
            }
            sha256_release(&writer.digest);
        } else {
            ASSERT_EQ(setup_file_write_all(&run_, body.data(), (uint32_t)body.size()), 0);
            if (c.stage >= NOT_STARTED) {
                EXPECT_EQ(run_setup(), c.stage == STARTED ? 0 : -1);
            }
        }
        if (c.stage == NOT_STARTED) {
            EXPECT_EQ(GetLastError(), (DWORD)ERROR_BAD_EXE_FORMAT);
        }
        if (c.stage == STARTED) {
            EXPECT_FALSE(wait_for_setup_record(run_.path).self.empty()) << "setup did not run";
        }
        // The process ends here: every handle closes, none by the program's own clean-up.
        handle_close(&writer.file);
        handle_close(&run_.setup_lock);
        EXPECT_EQ(rt_test::exists(run_.setup_path), c.stays);
        run_.setup_started = false;
        for (int tries = 0; rt_test::exists(run_.setup_path) && tries < 100; ++tries) {
            DeleteFileW(widen(run_.setup_path).c_str()); // once the started program has ended
            Sleep(50);
        }
        DeleteFileW(widen(std::string(run_.path) + "\\setup-run.txt").c_str());
        DeleteFileW(widen(std::string(run_.path) + "\\setup-env.txt").c_str());
    }
}

// Nobody else may change the file between its check and the start, nor move its folder.
TEST_F(Launch, LockedFileAndHeldFolderRefuseChanges)
{
    ASSERT_TRUE(place_setup());
    std::wstring file = widen(run_.setup_path);
    std::wstring folder = widen(run_.path);
    HANDLE writer = CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(writer, INVALID_HANDLE_VALUE) << "opened for writing";
    if (writer != INVALID_HANDLE_VALUE) {
        CloseHandle(writer);
    }
    EXPECT_FALSE(DeleteFileW(file.c_str()));
    EXPECT_FALSE(MoveFileW(file.c_str(), (folder + L"\\moved.exe").c_str()));
    EXPECT_FALSE(MoveFileW(folder.c_str(), (folder + L"-moved").c_str()));
    EXPECT_FALSE(MoveFileW(widen(parent_).c_str(), widen(parent_ + "-moved").c_str())) << "the parent is held too";
    EXPECT_TRUE(setup_file_intact(&run_));
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
        saved_dpi_ = process_globals.dpi;
        ASSERT_EQ(ui_register_class(), 0); // for the error window
        app_ = (AppState*)heap_alloc_zeroed(sizeof(AppState));
        process_globals.app = app_;
        app_->true_dpi = 96;
        app_->work_area = {0, 0, 1280, 1024};
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
        error_window_release();
        if (IsWindow(app_->splash.hwnd)) {
            DestroyWindow(app_->splash.hwnd);
        }
        MSG quit;
        (void)PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE);
        ui_unregister_class();
        heap_free(app_);
        process_globals.app = nullptr;
        process_globals.dpi = saved_dpi_;
        Launch::TearDown();
    }

    void start_worker(const WorkerPlan* plan)
    {
        app_->worker = CreateThread(nullptr, 0, planned_worker, (void*)plan, 0, nullptr);
    }

    AppState* app_ = nullptr;
    int32_t saved_dpi_ = 0;
};

// The worker posts its message as it ends, having started setup or given up; the main thread
// waits for its end however long that takes, then closes the splash or shows the error window,
// whose closing ends the run with exit code 1.
TEST_F(WorkerDone, EveryEndOfTheWorkerIsWaitedFor)
{
    const struct {
        const char* name;
        WorkerPlan plan;
        bool error_shown;
    } cases[] = {
        {"setup started", {0, 0}, false},
        {"setup started, slow to end", {1600, 0}, false},
        {"failed", {0, 12029 /* cannot connect */}, true},
        {"failed, slow to end", {1600, ERROR_BAD_EXE_FORMAT}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (!IsWindow(app_->splash.hwnd)) {
            app_->splash.hwnd = CreateWindowExW(0, L"STATIC", L"splash", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                                                nullptr, nullptr);
        }
        app_->exit_code = 0;
        start_worker(&c.plan);
        on_worker_done(&app_->splash, c.error_shown ? WORKER_DONE_FAILED : WORKER_DONE_COMPLETE, 0);
        EXPECT_EQ(app_->worker, nullptr) << "joined";
        EXPECT_EQ(IsWindow(app_->error_window.hwnd) != FALSE, c.error_shown);
        EXPECT_EQ(IsWindow(app_->splash.hwnd) == FALSE, !c.error_shown) << "the splash closes once setup started";
        EXPECT_EQ(app_->exit_code, c.error_shown ? 1 : 0);
        error_window_release();
    }
    on_worker_done(&app_->splash, WORKER_DONE_FAILED, 0); // a late message finds no worker
    EXPECT_FALSE(IsWindow(app_->error_window.hwnd));
}

} // namespace
