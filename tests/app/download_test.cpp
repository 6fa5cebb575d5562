// The download worker against the loopback test servers (tests/server). The servers' ports come
// from QWI_HTTP_PORT, QWI_HTTPS_PORT and QWI_CLOSED_PORT; without them these tests skip.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/app_state.h"
#include "app/config.h"
#include "app/download.h"
#include "rt/process.h"
#include "app/run_folder.h"
#include "rt/sha256.h"
#include "tests/rt/rt_test_support.h"

namespace {

const DWORD WORKER_TIME_LIMIT_MS = 60000;

// The servers' body pattern: byte i is (i % 251) ^ ((i / 251) % 256).
std::string pattern(size_t length)
{
    std::string bytes(length, '\0');
    for (size_t i = 0; i < length; ++i) {
        bytes[i] = (char)((i % 251) ^ ((i / 251) % 256));
    }
    return bytes;
}

std::string sha256_hex(const std::string& data)
{
    Sha256 state;
    EXPECT_EQ(sha256_begin(&state), 0);
    EXPECT_EQ(sha256_update(&state, data.data(), (uint32_t)data.size()), 0);
    uint8_t digest[SHA256_DIGEST_SIZE];
    EXPECT_EQ(sha256_finish(&state, digest), 0);
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (uint8_t b : digest) {
        text += digits[b >> 4];
        text += digits[b & 15];
    }
    return text;
}

std::string env(const char* name)
{
    char value[256];
    DWORD n = GetEnvironmentVariableA(name, value, sizeof value);
    return n > 0 && n < sizeof value ? std::string(value, n) : std::string();
}

using rt_test::widen;

bool file_exists(const std::string& path)
{
    return rt_test::exists(path);
}

// The file's bytes, or "<missing>" when it can't be read.
std::string read_file(const std::string& path)
{
    std::string bytes;
    return rt_test::read_file(path, &bytes) ? bytes : "<missing>";
}

struct WorkerRun {
    DWORD exit_code;
    std::vector<WPARAM> messages; // wParam of each worker-done message, in order
    bool ended;
};

class Download : public testing::Test {
protected:
    void SetUp() override
    {
        http_port = env("QWI_HTTP_PORT");
        https_port = env("QWI_HTTPS_PORT");
        closed_port = env("QWI_CLOSED_PORT");
        if (http_port.empty() || https_port.empty() || closed_port.empty()) {
            GTEST_SKIP() << "QWI_HTTP_PORT, QWI_HTTPS_PORT and QWI_CLOSED_PORT are not set: start "
                            "tests/server/start.sh and source its server.env";
        }
        saved = process_globals;
        config = InstallerConfig{};
        config.expected_size = DEFAULT_EXPECTED_SIZE;
        app = AppState{};
        app.progress = 1;
        app.splash.hwnd = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
        ASSERT_NE(app.splash.hwnd, nullptr);
        process_globals.config = &config;
        process_globals.app = &app;
        download_cancel_clear();

        ASSERT_TRUE(scratch.ok());
        ASSERT_EQ(run_folder_create_in(&run, scratch.path().c_str()), 0) << GetLastError();
        process_globals.run = &run;
        path = run.setup_path;
        run_path = run.path;
    }

    void TearDown() override
    {
        if (http_port.empty()) {
            return;
        }
        DestroyWindow(app.splash.hwnd);
        run_folder_release(&run);
        EXPECT_FALSE(file_exists(run_path)) << "the run's folder outlived a run that started nothing";
        process_globals = saved;
    }

    std::string http(const std::string& what) { return "http://127.0.0.1:" + http_port + what; }
    std::string https(const std::string& what) { return "https://localhost:" + https_port + what; }
    std::string refused() { return "http://127.0.0.1:" + closed_port + "/body/10"; }

    // Starts the worker on the two addresses (null: absent).
    HANDLE start_worker(const char* https_url, const char* http_url)
    {
        https_value = https_url ? https_url : "";
        http_value = http_url ? http_url : "";
        config.https_url = https_url ? &https_value[0] : nullptr;
        config.http_url = http_url ? &http_value[0] : nullptr;
        setup_file_drop(&run); // an earlier case's finished file
        return CreateThread(nullptr, 0, download_worker, &run, 0, nullptr);
    }

    WorkerRun finish_worker(HANDLE thread, DWORD limit_ms = WORKER_TIME_LIMIT_MS)
    {
        WorkerRun run = {};
        run.ended = WaitForSingleObject(thread, limit_ms) == WAIT_OBJECT_0;
        if (!run.ended) {
            download_cancel(); // don't leave it running into the next test
            WaitForSingleObject(thread, INFINITE);
        }
        GetExitCodeThread(thread, &run.exit_code);
        CloseHandle(thread);
        MSG msg;
        while (PeekMessageW(&msg, app.splash.hwnd, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_USER) {
                EXPECT_EQ(msg.lParam, 0);
                run.messages.push_back(msg.wParam);
            }
        }
        return run;
    }

    WorkerRun run_worker(const char* https_url, const char* http_url)
    {
        HANDLE thread = start_worker(https_url, http_url);
        EXPECT_NE(thread, nullptr);
        return finish_worker(thread);
    }

    ProcessGlobals saved;
    InstallerConfig config;
    AppState app;
    std::string http_port, https_port, closed_port;
    rt_test::ScratchDir scratch;
    RunFolder run = {};
    std::string path, run_path, https_value, http_value;
};

const std::vector<WPARAM> DONE = {1};
const std::vector<WPARAM> FAILED_THEN_DONE = {0, 1};
const std::vector<WPARAM> BOTH_FAILED = {0, 0};

} // namespace

TEST(DownloadProgress, PerMille)
{
    struct Case {
        uint64_t total;
        uint64_t expected;
        uint32_t progress;
    };
    const uint64_t all = ~(uint64_t)0;
    const Case cases[] = {
        {16384, 1000000, 16},
        {983040, 1000000, 983},
        {999999, 1000000, 999},  // not full before the last byte
        {1000000, 1000000, 1000},
        {3000000, 1000000, 1000}, // more than announced stays full
        {1, 1, 1000},
        {12058624, DEFAULT_EXPECTED_SIZE, 500},
        // A Content-Length of 0 with body bytes: no division by zero; the bar moves as without a length.
        {5000, 0, 0},
        {12058624, 0, 500},
        {DEFAULT_EXPECTED_SIZE + 1, 0, 1000},
        {all, all, 1000},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(progress_per_mille(c.total, c.expected), c.progress) << c.total << " of " << c.expected;
    }
    // Totals whose product with 1000 does not fit in 64 bits: no wrap-around, at most one per
    // mille off, and not full before the last byte.
    const uint64_t huge[][3] = {{all / 2, all, 499}, {all - 1, all, 999}, {all / 3, all / 2, 666}};
    for (const auto& h : huge) {
        uint32_t progress = progress_per_mille(h[0], h[1]);
        EXPECT_LE(progress, 999u) << h[0];
        EXPECT_GE(progress, h[2]) << h[0];
        EXPECT_LE(progress, h[2] + 1) << h[0];
    }
}

TEST_F(Download, ReportProgressStoresAndPostsByReservedTotals)
{
    config.expected_size = 1000000;
    EXPECT_EQ(report_progress(250000), 0);
    EXPECT_EQ(app.progress, 250u);
    EXPECT_EQ(report_progress(PROGRESS_FAILED), 0);
    EXPECT_EQ(app.progress, 250u) << "a failure leaves the bar alone";
    config.expected_size = 0;
    EXPECT_EQ(report_progress(12058624), 0);
    EXPECT_EQ(app.progress, 500u);
    EXPECT_EQ(report_progress(PROGRESS_COMPLETE), 0);
    EXPECT_EQ(app.progress, 1000u);
    post_worker_done();
    std::vector<WPARAM> messages;
    MSG msg;
    while (PeekMessageW(&msg, app.splash.hwnd, WM_USER, WM_USER, PM_REMOVE)) {
        messages.push_back(msg.wParam);
    }
    EXPECT_EQ(messages, (std::vector<WPARAM>{0, 1, 0}));
}

// Successful downloads: the file holds exactly the body, the completion is posted once.
TEST_F(Download, CompleteBodiesLandWhole)
{
    struct Case {
        const char* what;
        size_t length;
        uint64_t expected_size_after;
    };
    const Case cases[] = {
        {"/body/1000000", 1000000, 1000000},
        {"/body/16384", 16384, 16384},
        {"/nolength/200000", 200000, DEFAULT_EXPECTED_SIZE},
        {"/empty", 0, 0},
        {"/length/123456789012345678901/70000", 70000, DEFAULT_EXPECTED_SIZE}, // 21 digits: not usable
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        config.expected_size = DEFAULT_EXPECTED_SIZE;
        app.progress = 1;
        std::string url = http(c.what);
        WorkerRun run = run_worker(url.c_str(), nullptr);
        EXPECT_TRUE(run.ended);
        EXPECT_EQ(run.exit_code, 0u);
        EXPECT_EQ(run.messages, DONE);
        EXPECT_EQ(app.progress, 1000u);
        EXPECT_EQ(config.expected_size, c.expected_size_after);
        std::string body = read_file(path);
        EXPECT_EQ(body.size(), c.length);
        EXPECT_TRUE(body == pattern(c.length)) << "content differs";
    }
}

TEST_F(Download, SignedOrMalformedLengthsAreIgnored)
{
    for (const char* what : {"/length/%2B5/5", "/length/-5/5", "/length/5x/5"}) {
        SCOPED_TRACE(what);
        config.expected_size = DEFAULT_EXPECTED_SIZE;
        std::string url = http(what);
        WorkerRun run = run_worker(url.c_str(), nullptr);
        EXPECT_TRUE(run.ended);
        EXPECT_EQ(config.expected_size, DEFAULT_EXPECTED_SIZE);
        if (run.exit_code == 0) {
            EXPECT_EQ(run.messages, DONE);
            EXPECT_EQ(read_file(path), pattern(5));
        } else { // the HTTP layer itself may refuse such a header; then the failure is complete
            EXPECT_EQ(run.messages, std::vector<WPARAM>{0});
            EXPECT_FALSE(file_exists(path));
        }
    }
}

// Failed attempts: each posts 0, removes its file, and the worker ends with the last cause.
TEST_F(Download, BadResponsesFailBothAttempts)
{
    struct Case {
        const char* what;
        DWORD exit_code;
    };
    const Case cases[] = {
        {"/status/404", DOWNLOAD_ERROR_STATUS},
        {"/status/500", DOWNLOAD_ERROR_STATUS},
        {"/short/1000000/300000", DOWNLOAD_ERROR_LENGTH}, // the connection closed early
        {"/length/400000/300000", DOWNLOAD_ERROR_LENGTH},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string url = http(c.what);
        WorkerRun run = run_worker(url.c_str(), url.c_str());
        EXPECT_TRUE(run.ended);
        EXPECT_EQ(run.exit_code, c.exit_code);
        EXPECT_EQ(run.messages, BOTH_FAILED);
        EXPECT_FALSE(file_exists(path));
    }
}

TEST_F(Download, SecondAddressAfterAFailedFirst)
{
    const std::string good = http("/body/300000");
    const std::string missing = http("/status/404");
    const std::string closed = refused();
    struct Case {
        const char* name;
        const char* first;
        const char* second;
        DWORD exit_code;
        std::vector<WPARAM> messages;
    };
    const Case cases[] = {
        {"refused, then good", closed.c_str(), good.c_str(), 0, FAILED_THEN_DONE},
        {"404, then good", missing.c_str(), good.c_str(), 0, FAILED_THEN_DONE},
        {"absent, then good", nullptr, good.c_str(), 0, FAILED_THEN_DONE},
        {"good first: no second attempt", good.c_str(), closed.c_str(), 0, DONE},
        {"refused twice", closed.c_str(), closed.c_str(), 12029 /* cannot connect */, BOTH_FAILED},
        {"both absent", nullptr, nullptr, (DWORD)DOWNLOAD_ERROR_NO_ADDRESS, BOTH_FAILED},
        {"good, then absent", good.c_str(), nullptr, 0, DONE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WorkerRun run = run_worker(c.first, c.second);
        EXPECT_TRUE(run.ended);
        EXPECT_EQ(run.exit_code, c.exit_code);
        EXPECT_EQ(run.messages, c.messages);
        if (c.exit_code == 0) {
            EXPECT_TRUE(read_file(path) == pattern(300000));
        } else {
            EXPECT_FALSE(file_exists(path));
        }
    }
}

TEST_F(Download, HttpsAgainstTheTrustedTestServer)
{
    std::string url = https("/body/500000");
    WorkerRun run = run_worker(url.c_str(), nullptr);
    EXPECT_TRUE(run.ended);
    EXPECT_EQ(run.exit_code, 0u) << "is the test CA trusted in this prefix (tests/server/start.sh)?";
    EXPECT_EQ(run.messages, DONE);
    EXPECT_TRUE(read_file(path) == pattern(500000));
}

TEST_F(Download, Sha256Pin)
{
    const std::string body = pattern(700000);
    const std::string good = sha256_hex(body);
    std::string upper = good;
    for (char& ch : upper) {
        ch = (char)toupper((unsigned char)ch);
    }
    std::string wrong = good;
    wrong[17] = wrong[17] == 'a' ? 'b' : 'a';
    std::string empty;
    struct Case {
        const char* name;
        const std::string* pin;
        DWORD exit_code;
    };
    const Case cases[] = {
        {"matching", &good, 0},
        {"matching, capitals", &upper, 0},
        {"one digit off", &wrong, DOWNLOAD_ERROR_DIGEST},
        {"empty pin never matches", &empty, DOWNLOAD_ERROR_DIGEST},
    };
    std::string url = http("/body/700000");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string pin = *c.pin;
        config.sha256 = &pin[0];
        WorkerRun run = run_worker(url.c_str(), url.c_str());
        config.sha256 = nullptr;
        EXPECT_TRUE(run.ended);
        EXPECT_EQ(run.exit_code, c.exit_code);
        if (c.exit_code == 0) {
            EXPECT_EQ(run.messages, DONE);
            EXPECT_TRUE(read_file(path) == body);
        } else {
            EXPECT_EQ(run.messages, BOTH_FAILED);
            EXPECT_FALSE(file_exists(path));
        }
    }
}

// A file that stands in the run's folder already (put there by someone else) is never opened,
// written or deleted: each attempt fails instead.
TEST_F(Download, FileStandingInTheFolderIsNeverWrittenThrough)
{
    const std::string planted = "planted by someone else";
    ASSERT_TRUE(rt_test::write_file(path, planted));
    std::string url = http("/body/100000");
    WorkerRun result = run_worker(url.c_str(), url.c_str());
    EXPECT_TRUE(result.ended);
    EXPECT_EQ(result.exit_code, (DWORD)ERROR_ALREADY_EXISTS);
    EXPECT_EQ(result.messages, BOTH_FAILED);
    EXPECT_EQ(read_file(path), planted);
    DeleteFileW(widen(path).c_str());
}

// While the body streams, the bar only moves forward and is not full before the end.
TEST_F(Download, ProgressMovesForwardWhileStreaming)
{
    config.expected_size = DEFAULT_EXPECTED_SIZE;
    app.progress = 0;
    std::string url = http("/slow/400000/800000"); // about half a second
    HANDLE thread = start_worker(url.c_str(), nullptr);
    ASSERT_NE(thread, nullptr);
    std::vector<uint32_t> seen;
    while (WaitForSingleObject(thread, 2) == WAIT_TIMEOUT) {
        uint32_t now = app.progress;
        if (seen.empty() || seen.back() != now) {
            seen.push_back(now);
        }
    }
    WorkerRun run = finish_worker(thread);
    EXPECT_EQ(run.exit_code, 0u);
    EXPECT_EQ(run.messages, DONE);
    bool partial = false;
    for (size_t i = 0; i < seen.size(); ++i) {
        if (i > 0) {
            EXPECT_GE(seen[i], seen[i - 1]) << "step " << i;
        }
        partial = partial || (seen[i] > 0 && seen[i] < 1000);
    }
    EXPECT_TRUE(partial) << "no progress between 0 and 1000 was seen";
}

// download_cancel stops a worker promptly, whether the server trickles or stalls, removes the
// partial file and posts nothing.
TEST_F(Download, CancelStopsPromptly)
{
    struct Case {
        const char* what;
        DWORD wait_before_cancel_ms;
    };
    const Case cases[] = {
        {"/slow/10000000/50000", 600}, // streaming
        {"/slow/10000000/4", 600},     // a byte every 250 ms: no read may wait for a whole chunk
        {"/slow/10000000/50000", 0},   // at once, likely before the request exists
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string url = http(c.what);
        HANDLE thread = start_worker(url.c_str(), url.c_str());
        ASSERT_NE(thread, nullptr);
        if (c.wait_before_cancel_ms) {
            EXPECT_EQ(WaitForSingleObject(thread, c.wait_before_cancel_ms), (DWORD)WAIT_TIMEOUT);
        }
        DWORD started = GetTickCount();
        download_cancel();
        WorkerRun run = finish_worker(thread, 1000);
        EXPECT_TRUE(run.ended) << "still running 1 s after the cancellation";
        EXPECT_LT(GetTickCount() - started, 1100u);
        EXPECT_EQ(run.exit_code, (DWORD)DOWNLOAD_ERROR_CANCELLED);
        EXPECT_TRUE(run.messages.empty());
        EXPECT_FALSE(file_exists(path));
        download_cancel_clear();
    }
}

TEST_F(Download, CancelBeforeTheWorkerStarts)
{
    download_cancel();
    std::string url = http("/body/1000");
    WorkerRun run = run_worker(url.c_str(), url.c_str());
    EXPECT_EQ(run.exit_code, (DWORD)DOWNLOAD_ERROR_CANCELLED);
    EXPECT_TRUE(run.messages.empty());
    EXPECT_FALSE(file_exists(path));
}

// The worker starts before the splash window exists. Until the window is shown it neither
// renders nor posts: a finished download waits for it, and a tear-down's cancel ends that wait
// without a message.
TEST_F(Download, WorkerAheadOfTheSplashWaitsForItsWindow)
{
    std::string url = http("/body/70000");
    app.splash_pending = 1;
    HANDLE thread = start_worker(url.c_str(), nullptr);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(WaitForSingleObject(thread, 1500), (DWORD)WAIT_TIMEOUT) << "ended before the splash was shown";
    MSG msg;
    EXPECT_FALSE(PeekMessageW(&msg, app.splash.hwnd, WM_USER, WM_USER, PM_NOREMOVE)) << "posted to no window";
    EXPECT_EQ(app.progress, 1000u) << "the progress is stored for the first picture";
    EXPECT_EQ(read_file(path).size(), 70000u) << "the download itself does not wait";
    InterlockedExchange(&app.splash_pending, 0);
    WorkerRun run = finish_worker(thread);
    EXPECT_TRUE(run.ended);
    EXPECT_EQ(run.exit_code, 0u);
    EXPECT_EQ(run.messages, DONE);

    // Both addresses refused while the splash is still being set up, then the set-up fails.
    std::string closed = refused();
    app.splash_pending = 1;
    thread = start_worker(closed.c_str(), closed.c_str());
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(WaitForSingleObject(thread, 1500), (DWORD)WAIT_TIMEOUT);
    download_cancel();
    run = finish_worker(thread, 5000);
    EXPECT_TRUE(run.ended) << "a cancel must end the wait";
    EXPECT_TRUE(run.messages.empty());
    EXPECT_FALSE(file_exists(path));
}
