// The download worker against the loopback test servers (tests/server). The servers' ports come
// from QWI_HTTP_PORT, QWI_HTTPS_PORT and QWI_CLOSED_PORT; without them these tests skip.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "app/app_state.h"
#include "app/config.h"
#include "app/download.h"
#include "app/install_log.h"
#include "app/launch.h"
#include "app/proxy_sign_in.h"
#include "app/worker_report.h"
#include "rt/process.h"
#include "app/run_folder.h"
#include "app/setup_file.h"
#include "rt/file_handle.h"
#include "rt/http.h"
#include <wininet.h>
#include <cstdio>
#include <cstdlib>
#include "rt/sha256.h"
#include "tests/rt/rt_test_support.h"

namespace {

const DWORD WORKER_TIME_LIMIT_MS = 60000;
// For the readers the worker gave up on to go once their server lets go of them.
const DWORD READERS_END_LIMIT_MS = 10000;

// The servers' body pattern: byte i is (i % 251) ^ ((i / 251) % 256).
std::string pattern(size_t length)
{
    std::string bytes(length, '\0');
    for (size_t i = 0; i < length; ++i) {
        bytes[i] = (char)((i % 251) ^ ((i / 251) % 256));
    }
    return bytes;
}

// The test server's program head (program_head in tests/server/test_server.py): a minimal PE32
// whose one section runs from byte 512 to the end, so that the program is as long as its headers
// say; "MZ" alone below 512 bytes.
const size_t PROGRAM_HEADERS = 0x200;

std::string program_head(size_t length)
{
    if (length < PROGRAM_HEADERS) {
        return std::string("MZ").substr(0, length < 2 ? length : 2);
    }
    const uint32_t optional_size = 96 + 16 * 8;
    std::string head(0x40 + 4 + 20 + optional_size + 40, '\0');
    auto put = [&](size_t at, uint32_t value, int bytes) {
        for (int i = 0; i < bytes; ++i) {
            head[at + i] = (char)(value >> (8 * i));
        }
    };
    head[0] = 'M';
    head[1] = 'Z';
    put(0x3C, 0x40, 4);
    head.replace(0x40, 4, std::string("PE\0\0", 4));
    put(0x44, 0x14C, 2);
    put(0x46, 1, 2);
    put(0x54, optional_size, 2);
    put(0x56, 0x0102, 2);
    const size_t optional = 0x58;
    put(optional, 0x10B, 2);
    put(optional + 32, 0x1000, 4);
    put(optional + 36, PROGRAM_HEADERS, 4);
    put(optional + 60, PROGRAM_HEADERS, 4);
    put(optional + 92, 16, 4);
    const size_t section = optional + optional_size;
    const uint32_t raw = (uint32_t)(length - PROGRAM_HEADERS);
    head.replace(section, 8, std::string(".data\0\0\0", 8));
    put(section + 8, raw, 4);
    put(section + 12, 0x1000, 4);
    put(section + 16, raw, 4);
    put(section + 20, PROGRAM_HEADERS, 4);
    put(section + 36, 0xC0000040, 4);
    return head;
}

// What the servers send for a pattern path with "?mz" (and mz/N): the pattern as a program.
std::string program(size_t length)
{
    std::string bytes = pattern(length);
    std::string head = program_head(length);
    bytes.replace(0, head.size(), head);
    return bytes;
}

// The same after the test server's "edited": every byte after the program head inverted.
std::string edited_program(size_t length)
{
    std::string bytes = program(length);
    for (size_t i = program_head(length).size(); i < length; ++i) {
        bytes[i] = (char)~bytes[i];
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

// Stands in for the start of setup in the worker: the file stays where it is, readable by its
// path (the mark for deletion lifted, as the real start does), and the start is counted.
int setup_starts = 0;

int start_in_place()
{
    ++setup_starts;
    return handle_keep(current_run_folder->setup_lock) == 0 ? 0 : -1;
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
        saved_timings = download_timings;
        saved_room = download_room;
        // Short rounds; a stall, or a body under 500 bytes a second, shows after 2 s.
        download_timings = {100, 200, 5000, 2000, 3000, 500};
        saved_start = download_start_setup;
        download_start_setup = start_in_place;
        setup_starts = 0;

        ASSERT_TRUE(scratch.ok());
        ASSERT_EQ(run_folder_create_in(&run, scratch.path().c_str()), 0) << GetLastError();
        current_run_folder = &run;
        path = run.setup_path;
        run_path = run.path;
    }

    void TearDown() override
    {
        if (http_port.empty()) {
            return;
        }
        // A reader left blocked in a stall must not outlive its test: the process could end under
        // it, and one that woke up later would find another test's requests.
        DWORD waiting_since = GetTickCount();
        while (http_readers_alive() > 0 && GetTickCount() - waiting_since < READERS_END_LIMIT_MS) {
            Sleep(10);
        }
        EXPECT_EQ(http_readers_alive(), 0) << "a request's reader still runs after the test";
        if (log_open) {
            install_log_close();
            EXPECT_TRUE(DeleteFileW(widen(log_path()).c_str()));
        }
        if (app.splash_ready) {
            CloseHandle(app.splash_ready);
        }
        DestroyWindow(app.splash.hwnd);
        download_timings = saved_timings;
        download_room = saved_room;
        download_start_setup = saved_start;
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

    // Pins the setup program to body (its SHA-256): a plain http address is asked only then.
    void pin(const std::string& body)
    {
        pin_value = sha256_hex(body);
        config.sha256 = &pin_value[0];
    }

    std::string log_path() const { return run_path + "\\" + INSTALL_LOG_NAME; }

    void watch_pause(const std::string& stats_url, uint64_t pause_at, uint64_t size);

    // Opens the run's log, as installer_main does before it starts the worker.
    void open_log()
    {
        ASSERT_EQ(install_log_open(run.folder), 0);
        log_open = true;
    }

    // The events logged since the last call, without their times.
    std::vector<std::string> new_log_events()
    {
        std::string text = read_file(log_path());
        std::vector<std::string> events;
        for (size_t at = log_seen, end; (end = text.find("\r\n", at)) != std::string::npos; at = end + 2) {
            std::string line = text.substr(at, end - at);
            size_t space = line.find(' ');
            EXPECT_NE(space, std::string::npos) << line;
            events.push_back(line.substr(space + 1));
            log_seen = end + 2;
        }
        return events;
    }

    ProcessGlobals saved;
    DownloadTimings saved_timings;
    DownloadRoom saved_room;
    int (*saved_start)() = nullptr;
    InstallerConfig config;
    AppState app;
    std::string http_port, https_port, closed_port;
    rt_test::ScratchDir scratch;
    RunFolder run = {};
    std::string path, run_path, https_value, http_value, pin_value;
    bool log_open = false;
    size_t log_seen = 0;
};

// The worker posts once, when it ends.
const std::vector<WPARAM> DONE = {1};
const std::vector<WPARAM> FAILED = {0};

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
        {"/body/1000000?mz", 1000000, 1000000},
        {"/body/16384?mz", 16384, 16384},
        {"/nolength/200000?mz", 200000, DEFAULT_EXPECTED_SIZE},
                {"/length/123456789012345678901/70000?mz", 70000, DEFAULT_EXPECTED_SIZE}, // 21 digits: not usable
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        config.expected_size = DEFAULT_EXPECTED_SIZE;
        app.progress = 1;
        pin(program(c.length));
        std::string url = http(c.what);
        WorkerRun run = run_worker(url.c_str(), nullptr);
        EXPECT_TRUE(run.ended);
        EXPECT_EQ(run.exit_code, 0u);
        EXPECT_EQ(run.messages, DONE);
        EXPECT_EQ(app.progress, 1000u);
        EXPECT_EQ(config.expected_size, c.expected_size_after);
        std::string body = read_file(path);
        EXPECT_EQ(body.size(), c.length);
        EXPECT_TRUE(body == program(c.length)) << "content differs";
    }
}

TEST_F(Download, SignedOrMalformedLengthsAreIgnored)
{
    pin(program(600));
    for (const char* what : {"/length/%2B600/600?mz", "/length/-600/600?mz", "/length/600x/600?mz"}) {
        SCOPED_TRACE(what);
        config.expected_size = DEFAULT_EXPECTED_SIZE;
        std::string url = http(what);
        WorkerRun run = run_worker(url.c_str(), nullptr);
        EXPECT_TRUE(run.ended);
        EXPECT_EQ(config.expected_size, DEFAULT_EXPECTED_SIZE);
        if (run.exit_code == 0) {
            EXPECT_EQ(run.messages, DONE);
            EXPECT_EQ(read_file(path), program(600));
        } else { // the HTTP layer itself may refuse such a header; then the failure is complete
            EXPECT_EQ(run.messages, FAILED);
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
        {"/short/1000000/300000?mz", DOWNLOAD_ERROR_LENGTH}, // the connection closed early
        {"/length/400000/300000?mz", DOWNLOAD_ERROR_LENGTH},
    };
    pin(program(1000000));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string url = http(c.what);
        WorkerRun run = run_worker(url.c_str(), url.c_str());
        EXPECT_TRUE(run.ended);
        EXPECT_EQ(run.exit_code, c.exit_code);
        EXPECT_EQ(run.messages, FAILED);
        EXPECT_FALSE(file_exists(path));
    }
}

TEST_F(Download, SecondAddressAfterAFailedFirst)
{
    const std::string good = http("/body/300000?mz");
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
        {"refused, then good", closed.c_str(), good.c_str(), 0, DONE},
        {"404, then good", missing.c_str(), good.c_str(), 0, DONE},
        {"absent, then good", nullptr, good.c_str(), 0, DONE},
        {"good first: no second attempt", good.c_str(), closed.c_str(), 0, DONE},
        {"refused twice", closed.c_str(), closed.c_str(), 12029 /* cannot connect */, FAILED},
        {"both absent", nullptr, nullptr, (DWORD)DOWNLOAD_ERROR_NO_ADDRESS, FAILED},
        {"good, then absent", good.c_str(), nullptr, 0, DONE},
    };
    pin(program(300000));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        setup_starts = 0;
        WorkerRun run = run_worker(c.first, c.second);
        EXPECT_TRUE(run.ended);
        EXPECT_EQ(run.exit_code, c.exit_code);
        EXPECT_EQ(run.messages, c.messages);
        EXPECT_EQ(setup_starts, c.exit_code == 0 ? 1 : 0) << "setup starts once, from the finished file";
        if (c.exit_code == 0) {
            EXPECT_TRUE(read_file(path) == program(300000));
        } else {
            EXPECT_FALSE(file_exists(path));
        }
    }
}

TEST_F(Download, HttpsAgainstTheTrustedTestServer)
{
    std::string url = https("/body/500000?mz");
    WorkerRun run = run_worker(url.c_str(), nullptr);
    EXPECT_TRUE(run.ended);
    EXPECT_EQ(run.exit_code, 0u) << "is the test CA trusted in this prefix (tests/server/start.sh)?";
    EXPECT_EQ(run.messages, DONE);
    EXPECT_TRUE(read_file(path) == program(500000));
}

TEST_F(Download, Sha256Pin)
{
    const std::string body = program(700000);
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
    std::string url = http("/body/700000?mz");
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
            EXPECT_EQ(run.messages, FAILED);
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
    pin(program(100000));
    std::string url = http("/body/100000?mz");
    WorkerRun result = run_worker(url.c_str(), url.c_str());
    EXPECT_TRUE(result.ended);
    EXPECT_EQ(result.exit_code, (DWORD)ERROR_ALREADY_EXISTS);
    EXPECT_EQ(result.messages, FAILED);
    EXPECT_EQ(read_file(path), planted);
    DeleteFileW(widen(path).c_str());
}

// While the body streams, the bar only moves forward and is not full before the end.
TEST_F(Download, ProgressMovesForwardWhileStreaming)
{
    config.expected_size = DEFAULT_EXPECTED_SIZE;
    app.progress = 0;
    pin(program(400000));
    std::string url = http("/slow/400000/800000?mz"); // about half a second
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

// A slow body reaches the file and the bar as it arrives, not a whole chunk at a time: a read that
// waited for 16 KiB would hold both still for a second at 16 KiB/s (and, below 546 bytes/s, for
// longer than the silence limit, failing a download that moves).
TEST_F(Download, SlowBodyMovesAsItArrives)
{
    app.progress = 0;
    pin(program(49152));
    std::string url = http("/slow/49152/16384?mz"); // 819 bytes every 50 ms, for three seconds
    HANDLE thread = start_worker(url.c_str(), nullptr);
    ASSERT_NE(thread, nullptr);
    uint32_t shown = 0;
    DWORD changed_at = 0;
    DWORD longest_still = 0;
    while (WaitForSingleObject(thread, 2) == WAIT_TIMEOUT) {
        uint32_t now = app.progress;
        DWORD tick = GetTickCount();
        if (now != shown) {
            if (shown != 0 && tick - changed_at > longest_still) {
                longest_still = tick - changed_at;
            }
            shown = now;
            changed_at = tick;
        }
    }
    WorkerRun run = finish_worker(thread);
    EXPECT_EQ(run.exit_code, 0u);
    EXPECT_TRUE(read_file(path) == program(49152));
    printf("  the bar stood still for at most %lu ms\n", longest_still);
    EXPECT_LT(longest_still, 400u);
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
        {"/slow/10000000/50000?mz", 600}, // streaming
        {"/slow/10000000/4?mz", 600},     // a byte every 250 ms: no read may wait for a whole chunk
        {"/slow/10000000/50000?mz", 0},   // at once, likely before the request exists
    };
    pin(program(10000000));
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
    pin(program(1000));
    std::string url = http("/body/1000?mz");
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
    pin(program(70000));
    std::string url = http("/body/70000?mz");
    app.splash_ready = CreateEventW(nullptr, TRUE, FALSE, nullptr); // as main.cpp's start_worker makes it
    ASSERT_NE(app.splash_ready, nullptr);
    HANDLE thread = start_worker(url.c_str(), nullptr);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(WaitForSingleObject(thread, 1500), (DWORD)WAIT_TIMEOUT) << "ended before the splash was shown";
    MSG msg;
    EXPECT_FALSE(PeekMessageW(&msg, app.splash.hwnd, WM_USER, WM_USER, PM_NOREMOVE)) << "posted to no window";
    EXPECT_EQ(app.progress, 1000u) << "the progress is stored for the first picture";
    EXPECT_EQ(read_file(path).size(), 70000u) << "the download itself does not wait";
    SetEvent(app.splash_ready); // the splash is shown
    WorkerRun run = finish_worker(thread);
    EXPECT_TRUE(run.ended);
    EXPECT_EQ(run.exit_code, 0u);
    EXPECT_EQ(run.messages, DONE);

    // Both addresses refused while the splash is still being set up, then the set-up fails.
    std::string closed = refused();
    ResetEvent(app.splash_ready);
    thread = start_worker(closed.c_str(), closed.c_str());
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(WaitForSingleObject(thread, 1500), (DWORD)WAIT_TIMEOUT);
    download_cancel();
    run = finish_worker(thread, 5000);
    EXPECT_TRUE(run.ended) << "a cancel must end the wait";
    EXPECT_TRUE(run.messages.empty());
    EXPECT_FALSE(file_exists(path));
}

namespace {

// GET of a small text with WinINet's own synchronous calls, outside the code under test.
std::string fetch_text(const std::string& url)
{
    HINTERNET internet = InternetOpenW(L"qwi-test", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
    std::wstring wide(url.begin(), url.end());
    HINTERNET request = internet ? InternetOpenUrlW(internet, wide.c_str(), nullptr, 0,
                                                    INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE, 0)
                                 : nullptr;
    std::string text;
    char chunk[4096];
    DWORD got = 0;
    while (request && InternetReadFile(request, chunk, sizeof chunk, &got) && got > 0) {
        text.append(chunk, got);
    }
    if (request) {
        InternetCloseHandle(request);
    }
    if (internet) {
        InternetCloseHandle(internet);
    }
    return text;
}

// What the server saw for a token: the body bytes it sent in all, and each request's
// "server path status" in order.
struct Served {
    uint64_t body_bytes = 0;
    std::vector<std::string> requests;
};

std::string json_value(const std::string& text, size_t from, const char* key, size_t* at)
{
    std::string quoted = std::string("\"") + key + "\": ";
    size_t found = text.find(quoted, from);
    if (found == std::string::npos) {
        *at = std::string::npos;
        return "";
    }
    size_t start = found + quoted.size();
    size_t end = text.find_first_of(",\n}", start);
    *at = end;
    std::string value = text.substr(start, end - start);
    if (!value.empty() && value[0] == '"') {
        value = value.substr(1, value.size() - 2);
    }
    return value;
}

Served served(const std::string& stats_url)
{
    std::string text = fetch_text(stats_url);
    Served result;
    size_t last = text.rfind("\"body_bytes\": ");
    if (last != std::string::npos) {
        result.body_bytes = strtoull(text.c_str() + last + 14, nullptr, 10);
    }
    size_t at = 0;
    for (;;) {
        std::string server = json_value(text, at, "server", &at);
        if (at == std::string::npos) {
            break;
        }
        std::string path = json_value(text, at, "path", &at);
        std::string range = json_value(text, at, "range", &at);
        std::string status = json_value(text, at, "status", &at);
        result.requests.push_back(server + " " + status + (range == "null" || range.empty() ? "" : " ranged"));
    }
    return result;
}

} // namespace

namespace {

uint64_t fake_free_bytes;

int free_bytes_faked(const char*, uint64_t* bytes)
{
    *bytes = fake_free_bytes;
    return 0;
}

// How far behind what the server sent the file and the bar lag while a body pauses.
struct Lag {
    uint64_t file;
    uint32_t bar; // per mille
};

} // namespace

// While the body (of size bytes, announced) pauses after pause_at bytes, as the stats show them
// sent: the file and the bar, from 300 ms into the pause (a read that waits hands over what it has
// after 100 ms) for a second, are never more than one chunk behind.
void Download::watch_pause(const std::string& stats_url, uint64_t pause_at, uint64_t size)
{
    DWORD waiting_since = GetTickCount();
    while (served(stats_url).body_bytes < pause_at && GetTickCount() - waiting_since < 10000) {
        Sleep(20);
    }
    Sleep(300);
    Lag worst = {0, 0};
    for (DWORD watched = GetTickCount(); GetTickCount() - watched < 1000; Sleep(50)) {
        WIN32_FILE_ATTRIBUTE_DATA data = {};
        uint64_t length = GetFileAttributesExW(widen(path).c_str(), GetFileExInfoStandard, &data)
                              ? ((uint64_t)data.nFileSizeHigh << 32) | data.nFileSizeLow
                              : 0;
        int32_t bar = (int32_t)progress_per_mille(pause_at, size) - (int32_t)app.progress;
        worst.file = length < pause_at && pause_at - length > worst.file ? pause_at - length : worst.file;
        worst.bar = bar > (int32_t)worst.bar ? (uint32_t)bar : worst.bar;
    }
    printf("  while the body paused the file lagged up to %llu bytes, the bar %u per mille\n",
           (unsigned long long)worst.file, worst.bar);
    EXPECT_LE(worst.file, HTTP_CHUNK_SIZE);
    EXPECT_LE(worst.bar, HTTP_CHUNK_SIZE * 1000 / size + 1);
}

// Servers that misbehave: the download ends with the right file, resumes where it broke, and asks
// only as much as it needs. The file is always one the server served whole: never two versions
// joined, nor one that came by a plain address on the way from a secure one. Each case has tokens
// of its own on the test server.
TEST_F(Download, HostileServers)
{
    const uint64_t size = 1000000;
    const std::string body = program(size);
    const std::string edited = edited_program(size);
    pin(body);
    static int run_number = 0;
    std::string run_tag = std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++run_number);
    auto x = [&](const std::string& token, const std::string& behaviour) {
        return http("/x/" + token + run_tag + "/" + behaviour + (behaviour.empty() ? "" : "/") + "mz/1000000");
    };
    auto xs = [&](const std::string& token, const std::string& behaviour) {
        return https("/x/" + token + run_tag + "/" + behaviour + (behaviour.empty() ? "" : "/") + "mz/1000000");
    };
    // The same secure address with its scheme in capitals, as the system reads it too.
    auto xs_capitals = [&](const std::string& token, const std::string& behaviour) {
        return "HTTPS" + xs(token, behaviour).substr(5);
    };
    // n requests seen as `each`, then one as `last` unless it is "".
    auto chain = [](size_t n, const char* each, const char* last) {
        std::vector<std::string> requests(n, each);
        if (*last) {
            requests.push_back(last);
        }
        return requests;
    };
    const std::vector<std::string> three_refused_redirects = chain(3, "https 302", ""); // one a round
    const std::string closed = refused();
    struct Case {
        const char* name;
        std::string first, second;
        DWORD exit_code;
        const char* token;                 // whose requests are checked
        std::vector<std::string> requests; // as served() gives them
        bool bounded;                      // bytes served stay under 1.05 times the file
        bool edited = false;               // the file is the server's edited one
        uint64_t free_bytes = 0;           // the free space the worker is told of; 0: the disk's own
        uint64_t pause_at = 0;             // the body pauses after these bytes: watched while it does
    };
    const uint64_t fake_free = download_room.reserve + size / 2; // room for half the file
    const Case cases[] = {
        {"reset after 40 %: resumed", x("a", "reset=0.4"), closed, 0, "a",
         {"http 200", "http 206 ranged"}, true},
        {"ranges ignored: starts over", x("b", "reset=0.4/norange"), closed, 0, "b",
         {"http 200", "http 200 ranged"}, false},
        {"validator changed: starts over", x("c", "reset=0.4/newetag"), closed, 0, "c",
         {"http 200", "http 200 ranged"}, false},
        {"503 with Retry-After, then 200", x("d", "status=503,1,1"), closed, 0, "d",
         {"http 503", "http 200"}, true},
        {"404 first, reset second: first never asked again", x("e", "status=404"), x("f", "reset=0.3"), 0, "e",
         {"http 404"}, true},
        // What the stalled reader had taken in before it blocked is lost with it: up to one read.
        {"stall after 10 %: resumed", x("g", "stall=0.1,60"), closed, 0, "g",
         {"http 200", "http 206 ranged"}, false},
        {"login page first: the second address is used", x("h", "portal"), x("i", ""), 0, "h",
         {"http 200"}, true},
        {"empty 200 is no program", x("j", "empty"), "", (DWORD)DOWNLOAD_ERROR_NOT_PROGRAM, "j",
         {"http 200", "http 200", "http 200"}, true},
        // A refused hop is never asked: the plain server sees nothing.
        {"https redirected to http: refused", xs("k", "tohttp"), "", (DWORD)DOWNLOAD_ERROR_INSECURE_REDIRECT, "k",
         three_refused_redirects, true},
        {"https, then http, then https: refused", xs("l", "tohttp/tohttps"), "",
         (DWORD)DOWNLOAD_ERROR_INSECURE_REDIRECT, "l", three_refused_redirects, true},
        {"HTTPS in capitals redirected to http: refused", xs_capitals("m", "tohttp"), "",
         (DWORD)DOWNLOAD_ERROR_INSECURE_REDIRECT, "m", three_refused_redirects, true},
        {"HTTPS in capitals: served", xs_capitals("n", ""), "", 0, "n", {"https 200"}, true},
        {"http redirected to https: followed", x("o", "tohttps"), "", 0, "o", {"http 302", "https 200"}, true},
        // Relative addresses resolve against the one that answered: the https server's here.
        {"relative redirects after the secure one", x("p", "tohttps/redirect=2,307"), "", 0, "p",
         {"http 302", "https 307", "https 307", "https 200"}, true},
        {"ten redirects: followed", x("q", "redirect=10,308"), "", 0, "q", chain(10, "http 308", "http 200"),
         true},
        {"eleven redirects: refused, the eleventh never asked", x("r", "redirect=11"), "",
         (DWORD)DOWNLOAD_ERROR_REDIRECT, "r", chain(3 * 11, "http 302", ""), true},
        {"resumed through a redirect", x("s", "redirect=1/reset=0.4"), "", 0, "s",
         {"http 302", "http 200", "http 302 ranged", "http 206 ranged"}, true},
        // A 206 of the file as edited since, sent whatever If-Range said: its ETag is not the one
        // asked with, so the file starts again, whole.
        {"206 with another ETag: starts over", x("t", "reset=0.4/edited/anyrange"), "", 0, "t",
         {"http 200", "http 206 ranged", "http 200"}, false, true},
        // A weak tag or a date of the answer's own second would let an edited file through a
        // server's If-Range: neither is sent, the transfer is not resumed but asked for whole.
        {"weak ETag only: not resumed", x("u", "reset=0.4/weak/edited"), "", 0, "u",
         {"http 200", "http 200"}, false, true},
        {"fresh Last-Modified only: not resumed", x("v", "reset=0.4/fresh/edited"), "", 0, "v",
         {"http 200", "http 200"}, false, true},
        {"old Last-Modified only: resumed", x("w", "reset=0.4/noetag"), "", 0, "w",
         {"http 200", "http 206 ranged"}, true},
        // A byte just before each silence limit: under the floor, a stall, and resumed as one.
        {"trickle after 10 %: resumed", x("y", "trickle=0.1,1.5"), "", 0, "y", {"http 200", "http 206 ranged"},
         true},
        // Room: an announced length beyond the free space less the reserve rules the address out;
        // a body without one is stopped before it reaches the reserve.
        {"length beyond the free space: the second address", x("A", "length=99999999999999"), x("B", ""), 0, "A",
         {"http 200"}, false},
        {"no length, beyond the free space: stopped", x("C", "nolength"), "", (DWORD)DOWNLOAD_ERROR_NO_ROOM, "C",
         {"http 200"}, false, false, fake_free},
        // Framing read two ways fails the attempt; a program shorter than its own headers too.
        {"two Content-Lengths", x("D", "length=1000000,999999"), "", (DWORD)DOWNLOAD_ERROR_FRAMING, "D",
         {"http 200", "http 200", "http 200"}, false},
        {"status code 2OO", x("E", "statuscode=2OO"), "", (DWORD)DOWNLOAD_ERROR_FRAMING, "E",
         {"http 200", "http 200", "http 200"}, false},
        {"chunk size not hexadecimal", x("F", "chunked/badchunk=0.5,zz"), "", (DWORD)DOWNLOAD_ERROR_TRUNCATED, "F",
         {"http 200", "http 200", "http 200"}, false},
        {"chunk size beyond 64 bits", x("G", "chunked/badchunk=0.5,100000000000000010"), "",
         (DWORD)DOWNLOAD_ERROR_TRUNCATED, "G", {"http 200", "http 200", "http 200"}, false},
        {"chunked, cut short", x("H", "chunked/close=0.5,9"), "", (DWORD)DOWNLOAD_ERROR_TRUNCATED, "H",
         {"http 200", "http 200", "http 200"}, false},
        {"no length, cut short, then whole", x("I", "nolength/close=0.5"), "", 0, "I", {"http 200", "http 200"},
         false},
        {"chunked, whole", x("J", "chunked"), "", 0, "J", {"http 200"}, true},
        // A pause in a fast body: the file and the bar stay within a chunk of what was sent.
        {"fast body that pauses", x("K", "stall=500000,1.5"), "", 0, "K", {"http 200"}, true, false, 0, 500000},
    };
    // A token forgotten before its case counts only its own requests (process ids come again);
    // forgotten after it, it ends a stall the case left.
    auto forget = [&](const char* token) { (void)fetch_text(http(std::string("/forget/") + token + run_tag)); };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        forget(c.token);
        pin(c.edited ? edited : body); // plain addresses are asked only with a pin: the file the case ends with
        fake_free_bytes = c.free_bytes;
        download_room.free_bytes = c.free_bytes ? free_bytes_faked : saved_room.free_bytes;
        config.expected_size = DEFAULT_EXPECTED_SIZE;
        app.progress = 1;
        DWORD started = GetTickCount();
        HANDLE thread = start_worker(c.first.c_str(), c.second.empty() ? nullptr : c.second.c_str());
        ASSERT_NE(thread, nullptr);
        if (c.pause_at) {
            watch_pause(http(std::string("/stats/") + c.token + run_tag), c.pause_at, size);
        }
        WorkerRun result = finish_worker(thread);
        DWORD took = GetTickCount() - started;
        EXPECT_TRUE(result.ended);
        EXPECT_EQ(result.exit_code, c.exit_code);
        if (c.exit_code == 0) {
            EXPECT_TRUE(read_file(path) == (c.edited ? edited : body)) << "the file is not the one served";
        } else {
            EXPECT_FALSE(file_exists(path));
        }
        Served seen = served(http(std::string("/stats/") + c.token + run_tag));
        if (!c.requests.empty()) {
            EXPECT_EQ(seen.requests, c.requests);
        }
        if (c.bounded) {
            EXPECT_LT(seen.body_bytes, size * 105 / 100);
        }
        printf("  %-52s %7llu bytes served, %5lu ms\n", c.name, (unsigned long long)seen.body_bytes, took);
        fflush(stdout);
        forget(c.token);
    }
}

// Closing the splash ends any wait at once: a pause between rounds, and a read the server
// answers with silence.
TEST_F(Download, CancelEndsWaitsAtOnce)
{
    download_timings.first_round_wait = 20000;
    download_timings.silence_limit = 30000;
    pin(program(1000000));
    const std::string token = "stall" + std::to_string(GetCurrentProcessId());
    std::string stalled = http("/x/" + token + "/stall=0.1,60/mz/1000000");
    const std::string closed = refused();
    const struct {
        const char* name;
        std::string url;
    } cases[] = {{"between rounds", closed}, {"in a stall", stalled}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        HANDLE thread = start_worker(c.url.c_str(), nullptr);
        ASSERT_NE(thread, nullptr);
        EXPECT_EQ(WaitForSingleObject(thread, 1500), (DWORD)WAIT_TIMEOUT);
        DWORD started = GetTickCount();
        download_cancel();
        WorkerRun result = finish_worker(thread, 2000);
        EXPECT_TRUE(result.ended);
        printf("  cancel %s: the worker ended after %lu ms\n", c.name, GetTickCount() - started);
        EXPECT_EQ(result.exit_code, (DWORD)DOWNLOAD_ERROR_CANCELLED);
        EXPECT_TRUE(result.messages.empty());
        EXPECT_FALSE(file_exists(path));
        download_cancel_clear();
    }
    (void)fetch_text(http("/forget/" + token)); // the stall ends, and the reader left in it goes
}

// An address that is not https is not asked without a pin (sha256 or signer): the server sees no
// request, the log says why, the other address goes on, and with none left the run fails.
TEST_F(Download, PlainAddressWithoutAPinIsNotAsked)
{
    const size_t size = 200000;
    static int run_number = 0;
    std::string run_tag = "plain" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++run_number);
    auto x = [&](const std::string& token) { return "/x/" + token + run_tag + "/mz/" + std::to_string(size); };
    std::string signer = "Quorvel Test Signer";
    const std::string closed_https = "https://localhost:" + closed_port + "/body/10";
    const std::string not_asked = " is not asked: a plain http address needs sha256 or signer";
    struct Case {
        const char* name;
        std::string first, second;
        bool signer;                      // else no pin at all
        DWORD exit_code;
        std::vector<std::string> skipped; // addresses the log names as not asked
        std::vector<std::pair<std::string, std::vector<std::string>>> served; // token: its requests
    };
    const Case cases[] = {
        {"plain first, https second: only the https address", http(x("a")), https(x("b")), false, 0,
         {http(x("a"))}, {{"a", {}}, {"b", {"https 200"}}}},
        {"plain first, https second unreachable: the run fails", http(x("c")), closed_https, false, 12029,
         {http(x("c"))}, {{"c", {}}}},
        {"both plain, one in capitals: nothing is asked", http(x("d")), "HTTP://127.0.0.1:" + http_port + x("e"),
         false, (DWORD)DOWNLOAD_ERROR_NO_ADDRESS, {http(x("d")), "HTTP://127.0.0.1:" + http_port + x("e")},
         {{"d", {}}, {"e", {}}}},
        {"https in capitals needs no pin", "HTTPS://localhost:" + https_port + x("f"), "", false, 0, {},
         {{"f", {"https 200"}}}},
        // A signer pins the file as a sha256 does: the plain address is asked, its unsigned file refused.
        {"a signer pins a plain address", http(x("g")), "", true, (DWORD)DOWNLOAD_ERROR_DIGEST, {},
         {{"g", {"http 200"}}}},
    };
    open_log();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        config.signer = c.signer ? &signer[0] : nullptr;
        (void)new_log_events(); // an earlier case's
        WorkerRun result = run_worker(c.first.c_str(), c.second.empty() ? nullptr : c.second.c_str());
        config.signer = nullptr;
        EXPECT_TRUE(result.ended);
        EXPECT_EQ(result.exit_code, c.exit_code);
        EXPECT_EQ(result.messages, c.exit_code == 0 ? DONE : FAILED) << "the error window follows a failure";
        if (c.exit_code == 0) {
            EXPECT_TRUE(read_file(path) == program(size));
        } else {
            EXPECT_FALSE(file_exists(path));
        }
        std::vector<std::string> skipped;
        for (const std::string& event : new_log_events()) {
            if (event.size() > not_asked.size() && event.compare(event.size() - not_asked.size(), std::string::npos,
                                                                 not_asked) == 0) {
                skipped.push_back(event.substr(0, event.size() - not_asked.size()));
            }
        }
        EXPECT_EQ(skipped, c.skipped);
        for (const auto& token : c.served) {
            EXPECT_EQ(served(http("/stats/" + token.first + run_tag)).requests, token.second) << token.first;
        }
    }
}

// Each request's log line, byte for byte, also after a line whose texts were longer: a proxy
// named "none" and a length shorter than "unknown" end where they end.
TEST_F(Download, RequestLogLineIsExact)
{
    pin(program(600));
    const std::string first = http("/nolength/200000"); // no program: the second address follows
    const std::string second = http("/body/600?mz");
    open_log();
    WorkerRun run = run_worker(first.c_str(), second.c_str());
    EXPECT_EQ(run.exit_code, 0u);
    std::vector<std::string> attempts;
    for (const std::string& event : new_log_events()) {
        if (event.compare(0, 8, "attempt ") == 0) {
            attempts.push_back(event);
        }
    }
    ASSERT_EQ(attempts.size(), 2u);
    // The times vary: everything else is fixed.
    auto without_time = [](const std::string& line) {
        size_t in = line.find(" bytes in ");
        size_t ms = line.find(" ms: ", in);
        if (in == std::string::npos || ms == std::string::npos) {
            return line;
        }
        std::string digits = line.substr(in + 10, ms - in - 10);
        bool number = !digits.empty() && digits.find_first_not_of("0123456789") == std::string::npos;
        return line.substr(0, in + 10) + (number ? "T" : "<" + digits + ">") + line.substr(ms);
    };
    const std::string failed = "attempt 1 " + first +
                               ": proxy none, status 200, length unknown, validator none, 0 bytes in T ms: (193) ";
    EXPECT_EQ(without_time(attempts[0]).substr(0, failed.size()), failed);
    EXPECT_EQ(without_time(attempts[1]),
              "attempt 2 " + second + ": proxy none, status 200, length 600, validator none, 600 bytes in T ms: complete");
}

// A file that passes every check but can't be started (CreateProcessW refuses a PE of an unknown
// machine with ERROR_BAD_EXE_FORMAT) rules its address out: the next address is asked at once and
// setup starts from its file; when no address is left, the worker fails without another round.
// The files come from the test server's folder (QWI_FILES_DIR); setup is really started.
TEST_F(Download, FileThatCannotStartRulesItsAddressOut)
{
    auto windows_path = [](std::string unix_path) {
        for (char& c : unix_path) {
            c = c == '/' ? '\\' : c;
        }
        return unix_path.empty() ? unix_path : "Z:" + unix_path;
    };
    const std::string files = windows_path(env("QWI_FILES_DIR"));
    const std::string build = windows_path(env("QWI_BUILD_DIR"));
    std::string good;
    ASSERT_FALSE(files.empty() || build.empty()) << "QWI_FILES_DIR or QWI_BUILD_DIR not set";
    ASSERT_TRUE(rt_test::read_file(build + "\\tests\\helpers\\fake_setup.exe", &good));
    std::string bad = good;
    uint32_t pe = *(const uint32_t*)&bad[0x3C];
    bad[pe + 4] = bad[pe + 5] = (char)0x99; // the machine field
    const std::string tag = std::to_string(GetCurrentProcessId());
    const std::string good_name = "start-good-" + tag + ".exe", bad_name = "start-bad-" + tag + ".exe";
    ASSERT_TRUE(rt_test::write_file(files + "\\" + good_name, good));
    ASSERT_TRUE(rt_test::write_file(files + "\\" + bad_name, bad));
    download_start_setup = run_setup;
    // Secure addresses: a plain one is asked only with a pin, which would refuse one of the two files.
    auto served_from = [&](const std::string& token, const std::string& name) {
        return https("/x/" + token + "/plain/files/" + name);
    };
    const struct {
        const char* name;
        const std::string* second;
        DWORD exit_code;
    } cases[] = {
        {"unstartable, then good", &good_name, 0},
        {"unstartable at both", &bad_name, ERROR_BAD_EXE_FORMAT},
    };
    int number = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string first_token = "nostart" + tag + "a" + std::to_string(number);
        std::string second_token = "nostart" + tag + "b" + std::to_string(number++);
        std::string first = served_from(first_token, bad_name), second = served_from(second_token, *c.second);
        WorkerRun result = run_worker(first.c_str(), second.c_str());
        EXPECT_TRUE(result.ended);
        EXPECT_EQ(result.exit_code, c.exit_code);
        EXPECT_EQ(result.messages, c.exit_code == 0 ? DONE : FAILED);
        const std::vector<std::string> once = {"https 200"};
        EXPECT_EQ(served(http("/stats/" + first_token)).requests, once) << "the first address was asked again";
        EXPECT_EQ(served(http("/stats/" + second_token)).requests, once);
        std::string record = run_path + "\\setup-run.txt";
        for (int waited = 0; c.exit_code == 0 && !file_exists(record) && waited < 200; ++waited) {
            Sleep(50);
        }
        if (c.exit_code == 0) {
            EXPECT_TRUE(run.setup_started);
            EXPECT_TRUE(read_file(path) == good) << "setup did not start from the second address's file";
            EXPECT_NE(read_file(record).find(path), std::string::npos) << "setup did not run";
        } else {
            EXPECT_FALSE(file_exists(path));
        }
        run.setup_started = false; // the folder goes with the test
        setup_file_drop(&run);
        for (int tries = 0; file_exists(path) && tries < 100; ++tries) {
            DeleteFileW(widen(path).c_str()); // once the started program has ended
            Sleep(50);
        }
        DeleteFileW(widen(record).c_str());
        DeleteFileW(widen(run_path + "\\setup-env.txt").c_str());
    }
    DeleteFileW(widen(files + "\\" + good_name).c_str());
    DeleteFileW(widen(files + "\\" + bad_name).c_str());
}

// ---- a proxy that asks for a sign-in -------------------------------------------------------------

namespace {

const wchar_t INTERNET_SETTINGS[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";

// Points the user's proxy setting, which WinINet reads as each session opens, at the run's proxy
// that asks for a sign-in, and puts the old values back when it goes.
class SystemProxy {
public:
    explicit SystemProxy(const std::string& port)
    {
        for (Saved& value : saved) {
            DWORD size = sizeof value.data;
            value.present = RegGetValueW(HKEY_CURRENT_USER, INTERNET_SETTINGS, value.name, RRF_RT_ANY, &value.type,
                                         value.data, &size) == ERROR_SUCCESS;
            value.size = size;
        }
        DWORD enable = 1;
        std::wstring server = widen("127.0.0.1:" + port);
        set(L"ProxyEnable", REG_DWORD, &enable, sizeof enable);
        set(L"ProxyServer", REG_SZ, server.c_str(), (DWORD)((server.size() + 1) * sizeof(wchar_t)));
        set(L"ProxyOverride", REG_SZ, L"", sizeof(wchar_t));
    }
    ~SystemProxy()
    {
        for (const Saved& value : saved) {
            if (value.present) {
                set(value.name, value.type, value.data, value.size);
            } else {
                RegDeleteKeyValueW(HKEY_CURRENT_USER, INTERNET_SETTINGS, value.name);
            }
        }
    }

private:
    static void set(const wchar_t* name, DWORD type, const void* data, DWORD size)
    {
        EXPECT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, INTERNET_SETTINGS, name, type, data, size), ERROR_SUCCESS);
    }
    struct Saved {
        const wchar_t* name;
        bool present;
        DWORD type;
        BYTE data[512];
        DWORD size;
    };
    Saved saved[3] = {{L"ProxyEnable"}, {L"ProxyServer"}, {L"ProxyOverride"}};
};

// Stands in for the system's sign-in dialog: answers as the case says, after the time the case
// gives the user, and counts how often it was asked and by whom.
struct PromptScript {
    DWORD answer;            // ERROR_INTERNET_FORCE_RETRY: signs in with user and password
    std::wstring user, password;
    DWORD user_ms;           // the time the user takes
    bool real_dialog;        // a real modal box instead, answered by nobody
};
PromptScript prompt_script;
int prompts = 0;
HWND prompt_owner = nullptr;

DWORD scripted_prompt(HWND owner, HINTERNET request)
{
    ++prompts;
    prompt_owner = owner;
    if (prompt_script.real_dialog) {
        int pressed = MessageBoxW(nullptr, L"Sign in to the proxy", L"Proxy", MB_OKCANCEL);
        return pressed == IDOK ? ERROR_INTERNET_FORCE_RETRY : ERROR_CANCELLED;
    }
    Sleep(prompt_script.user_ms);
    if (prompt_script.answer == ERROR_INTERNET_FORCE_RETRY) {
        // What the system's dialog does with what the user entered: it keeps it on the request.
        auto set_option = (decltype(&InternetSetOptionW))(void*)GetProcAddress(GetModuleHandleW(L"wininet.dll"),
                                                                               "InternetSetOptionW");
        EXPECT_NE(set_option, nullptr);
        EXPECT_TRUE(set_option(request, INTERNET_OPTION_PROXY_USERNAME, (void*)prompt_script.user.c_str(),
                               (DWORD)prompt_script.user.size()));
        EXPECT_TRUE(set_option(request, INTERNET_OPTION_PROXY_PASSWORD, (void*)prompt_script.password.c_str(),
                               (DWORD)prompt_script.password.size()));
    }
    return prompt_script.answer;
}

// How many of the proxy's log records since `before` carry each sign-in outcome.
std::string proxy_auths(const std::string& log, size_t before)
{
    std::string seen;
    size_t at = before;
    for (;;) {
        at = log.find("\"auth\": ", at);
        if (at == std::string::npos) {
            return seen;
        }
        at += 8;
        size_t end = log.find_first_of(",\n}", at);
        seen += (seen.empty() ? "" : " ") + log.substr(at, end - at);
    }
}

class DownloadSignIn : public Download {
protected:
    void SetUp() override
    {
        Download::SetUp();
        if (IsSkipped() || HasFatalFailure()) {
            return;
        }
        signin_port = env("QWI_SIGNIN_PROXY_PORT");
        std::string credentials = env("QWI_SIGNIN_CREDENTIALS");
        size_t colon = credentials.find(':');
        if (signin_port.empty() || colon == std::string::npos) {
            GTEST_SKIP() << "the run's servers have no sign-in proxy (QWI_SIGNIN_PROXY_PORT)";
        }
        user = widen(credentials.substr(0, colon));
        password = widen(credentials.substr(colon + 1));
        saved_prompt = proxy_sign_in_prompt;
        proxy_sign_in_prompt = scripted_prompt;
        prompts = 0;
        prompt_owner = nullptr;
        proxy_sign_in_forget();
    }
    void TearDown() override
    {
        if (saved_prompt) {
            proxy_sign_in_prompt = saved_prompt;
        }
        proxy_sign_in_forget();
        Download::TearDown();
    }
    std::string signin_port;
    std::wstring user, password;
    DWORD (*saved_prompt)(HWND, HINTERNET) = nullptr;
};

} // namespace

// The proxy asks for Basic credentials, for plain requests and for CONNECT: the dialog is shown
// once in a run, owned by the splash; after OK the request is sent again with what the user
// entered; Cancel, or credentials the proxy refuses again, rule the address out, and the other
// address (through the same proxy) gets no second dialog. The time the user takes is not counted
// against the limit for the response head.
TEST_F(DownloadSignIn, ProxySignIn)
{
    struct Case {
        const char* what;
        bool https;
        DWORD answer;
        bool right_password;
        DWORD user_ms;
        DWORD exit_code;
        const char* outcome;      // the log's words after "proxy asked for a sign-in"
        const char* auths;        // the proxy's records, in order (the library asks without
                                  // credentials first, and sends saved ones by itself)
        bool splash = true;       // false: its set-up failed
    };
    const DWORD OK = ERROR_INTERNET_FORCE_RETRY;
    const Case cases[] = {
        {"https, signed in", true, OK, true, 0, 0, "proxy signed in", "(\"none\" )+\"accepted\""},
        {"plain, signed in", false, OK, true, 0, 0, "proxy signed in", "(\"none\" )+\"accepted\""},
        {"signed in after longer than the head's limit", true, OK, true, 4000, 0, "proxy signed in",
         "(\"none\" )+\"accepted\""},
        {"cancelled", true, ERROR_CANCELLED, false, 0, (DWORD)DOWNLOAD_ERROR_STATUS, "proxy sign-in cancelled",
         "\"none\"( \"none\")*"},
        {"cancelled, reported as nothing done", true, ERROR_SUCCESS, false, 0, (DWORD)DOWNLOAD_ERROR_STATUS,
         "proxy sign-in cancelled", "\"none\"( \"none\")*"},
        {"without a splash: a hidden window of its own owns the dialog", true, OK, true, 0, 0, "proxy signed in",
         "(\"none\" )+\"accepted\"", false},
        {"refused again", true, OK, false, 0, (DWORD)DOWNLOAD_ERROR_STATUS, "proxy sign-in refused again",
         "(\"none\" )+\"wrong\"( \"none\"| \"wrong\")*"},
    };
    SystemProxy proxy(signin_port);
    open_log();
    pin(program(300000));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        proxy_sign_in_forget();
        prompts = 0;
        prompt_script = {c.answer, user, c.right_password ? password : L"not the password", c.user_ms, false};
        download_timings.connect_limit = 3000; // less than the slow user takes
        InterlockedExchange(&app.splash_missing, c.splash ? 0 : 1);
        std::string token = std::string("signin-") + std::to_string(GetCurrentProcessId()) + "-" +
                            std::to_string(&c - cases);
        std::string first = c.https ? https("/x/" + token + "/mz/300000") : http("/x/" + token + "/mz/300000");
        std::string second = http("/x/" + token + "-second/mz/300000");
        size_t before = fetch_text(http("/proxy-log")).size() - 1; // its closing bracket
        (void)new_log_events();
        WorkerRun result = run_worker(first.c_str(), second.c_str());
        EXPECT_TRUE(result.ended);
        EXPECT_EQ(result.exit_code, c.exit_code);
        EXPECT_EQ(prompts, 1) << "the dialog is shown once in a run";
        if (c.splash) {
            EXPECT_EQ(prompt_owner, app.splash.hwnd);
        } else {
            EXPECT_NE(prompt_owner, nullptr);
            EXPECT_NE(prompt_owner, app.splash.hwnd);
            EXPECT_FALSE(IsWindow(prompt_owner)) << "the stand-in owner outlived the dialog";
        }
        std::vector<std::string> events = new_log_events();
        std::string prefix = "attempt 1 " + first + ": ";
        std::vector<std::string> sign_in;
        for (const std::string& event : events) {
            if (event.find("sign-in") != std::string::npos || event.find("signed in") != std::string::npos) {
                sign_in.push_back(event);
            }
            EXPECT_EQ(event.find("qwi-sign-in"), std::string::npos) << "the password in the log: " << event;
        }
        std::vector<std::string> expected = {prefix + "proxy asked for a sign-in", prefix + c.outcome};
        if (c.exit_code != 0) {
            expected.push_back("attempt 2 " + second + ": proxy asked for a sign-in again: not asked again in this run");
        }
        EXPECT_EQ(sign_in, expected);
        std::string auths = proxy_auths(fetch_text(http("/proxy-log")), before);
        EXPECT_TRUE(std::regex_match(auths, std::regex(c.auths))) << auths;
        EXPECT_EQ(setup_starts, c.exit_code == 0 ? 1 : 0);
        setup_starts = 0;
    }
    InterlockedExchange(&app.splash_missing, 0);
}

// A cancel while the dialog waits for the user (the splash closed) ends the dialog, and the
// worker with it, at once.
TEST_F(DownloadSignIn, CancelEndsTheSignInDialog)
{
    SystemProxy proxy(signin_port);
    prompt_script = {ERROR_CANCELLED, user, password, 0, true};
    std::string url = https("/x/signin-cancel-" + std::to_string(GetCurrentProcessId()) + "/mz/300000");
    HANDLE thread = start_worker(url.c_str(), nullptr);
    ASSERT_NE(thread, nullptr);
    for (int waited = 0; prompts == 0 && waited < 200; ++waited) {
        Sleep(50);
    }
    ASSERT_EQ(prompts, 1) << "no dialog within 10 s";
    EXPECT_EQ(WaitForSingleObject(thread, 500), (DWORD)WAIT_TIMEOUT) << "the dialog ended by itself";
    DWORD started = GetTickCount();
    download_cancel();
    WorkerRun result = finish_worker(thread, 3000);
    EXPECT_TRUE(result.ended) << "the dialog still waits 3 s after the cancel";
    EXPECT_LT(GetTickCount() - started, 1000u);
    EXPECT_EQ(result.exit_code, (DWORD)DOWNLOAD_ERROR_CANCELLED);
    EXPECT_TRUE(result.messages.empty());
    download_cancel_clear();
}
