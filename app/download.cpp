// The download worker: fetches the setup program from the configured addresses into the setup
// path, reports progress to the splash window and tells the main thread how each attempt ended.
#include "app/download.h"

#include <wininet.h>

#include "app/app_state.h"
#include "app/config.h"
#include "app/splash.h"
#include "rt/buffer.h"
#include "app/run_folder.h"
#include "rt/file_handle.h"
#include "rt/heap.h"
#include "rt/process.h"
#include "rt/sha256.h"
#include "rt/text.h"

static const wchar_t DOWNLOAD_AGENT[] = L"Quorvel Web Installer";
static const uint32_t CONTENT_LENGTH_TEXT_SIZE = 64;
static const uint32_t CONTENT_LENGTH_MAX_DIGITS = 20;

// Cancellation. The flag is checked between chunks; the two slots hold the WinINet handles of the
// attempt in flight so that download_cancel can close them and so unblock a read that waits on
// the network. Whoever takes a handle out of its slot (by exchange) is the one that closes it.
static volatile LONG cancel_requested;
static void* volatile active_session;
static void* volatile active_request;
// The setup file being written, for download_abandon.
static void* volatile active_file;

static bool cancelled()
{
    return InterlockedCompareExchange(&cancel_requested, 0, 0) != 0;
}

static void close_slot(void* volatile* slot)
{
    HINTERNET handle = (HINTERNET)InterlockedExchangePointer((void* volatile*)slot, nullptr);
    if (handle) {
        (void)InternetCloseHandle(handle); // nothing to do about a failed close
    }
}

void download_cancel()
{
    InterlockedExchange(&cancel_requested, 1);
    close_slot(&active_request);
    close_slot(&active_session);
}

void download_abandon()
{
    HANDLE file = (HANDLE)InterlockedCompareExchangePointer(&active_file, nullptr, nullptr);
    if (file) {
        (void)handle_delete(file); // nothing more can be done about a file that stays
    }
}

void download_cancel_clear()
{
    InterlockedExchange(&cancel_requested, 0);
}

// Everything one attempt holds. The WinINet handles live in the slots above.
struct Attempt {
    RunFolder* run;
    SetupWriter writer;
    wchar_t* url;
    ByteBuffer buffer;
    bool length_announced;   // a usable Content-Length came with this response
    uint64_t announced_size;
    uint64_t total;
};

// An attempt's result for a failure whose cause is the system's last error.
static int last_error_result()
{
    DWORD error = GetLastError();
    return error ? (int)error : -1;
}

// The result for a failure with a cause of our own; a cancellation overrides every other cause.
static int failure(int cause)
{
    return cancelled() ? DOWNLOAD_ERROR_CANCELLED : cause;
}

// Puts a handle into its slot, unless a cancellation came first: then it closes it itself.
// 0 while the attempt may go on.
static int publish(void* volatile* slot, HINTERNET handle)
{
    InterlockedExchangePointer((void* volatile*)slot, handle);
    // NB: download_cancel sets the flag before it empties the slots, so either it sees the handle
    // here or we see the flag now.
    if (cancelled()) {
        close_slot(slot);
        return DOWNLOAD_ERROR_CANCELLED;
    }
    return 0;
}

// Fresh copies only from the server, and nothing written to the WinINet cache: the file is
// large, and a second copy of it in the cache would only waste the user's disk.
static DWORD request_flags(const char* url)
{
    DWORD flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE;
    int32_t order = prefix_compare("https://", 8, url);
    if (order == 0 || order == -9) {
        flags |= INTERNET_FLAG_SECURE;
    }
    return flags;
}

static int check_status(HINTERNET request)
{
    DWORD status = 0;
    DWORD size = sizeof status;
    if (!HttpQueryInfoW(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, nullptr)) {
        return failure(last_error_result());
    }
    return status >= 200 && status <= 299 ? 0 : failure(DOWNLOAD_ERROR_STATUS);
}

// A usable Content-Length is 1 to 20 decimal digits and nothing else; anything else (absent,
// signed, spaced, longer) leaves the expected size as it was.
static void read_content_length(HINTERNET request, Attempt* attempt)
{
    char text[CONTENT_LENGTH_TEXT_SIZE];
    DWORD length = CONTENT_LENGTH_TEXT_SIZE;
    if (!HttpQueryInfoA(request, HTTP_QUERY_CONTENT_LENGTH, text, &length, nullptr)) {
        return;
    }
    if (length == 0 || length > CONTENT_LENGTH_MAX_DIGITS) {
        return;
    }
    uint64_t value = 0;
    for (DWORD i = 0; i < length; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return;
        }
        value = value * 10 + (uint64_t)(text[i] - '0'); // wraps for 20 digits above 2^64 - 1
    }
    process_globals.config->expected_size = value;
    attempt->length_announced = true;
    attempt->announced_size = value;
}

// Opens the session and the request, and checks the response head.
static int open_request(const char* url, Attempt* attempt, HINTERNET* request)
{
    HINTERNET session = InternetOpenW(DOWNLOAD_AGENT, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    if (!session) {
        return failure(last_error_result());
    }
    int result = publish(&active_session, session);
    if (result != 0) {
        return result;
    }
    *request = InternetOpenUrlW(session, attempt->url, nullptr, 0, request_flags(url), 0);
    if (!*request) {
        return failure(last_error_result());
    }
    result = publish(&active_request, *request);
    if (result != 0) {
        return result;
    }
    result = check_status(*request);
    if (result != 0) {
        return result;
    }
    read_content_length(*request, attempt);
    return 0;
}

// How much the next read asks for. A read waits until it has all it asked for, and closing the
// handles does not end that wait, so a slow server could hold a whole-chunk read (and with it the
// progress and a cancellation) for as long as a chunk takes to trickle in: reads ask how much has
// arrived and take only that. Asking costs a call per read, though, and the library reports at
// most its own buffer (8 KiB under Wine), which doubles the calls and made a fast download take
// about 1.4 times as long. So while the body streams (half a chunk or more was waiting, and the
// last whole-chunk read came back at once) whole chunks are read without asking; a whole-chunk
// read that had to wait goes back to asking. 0 with the size, or the failure.
static int next_read_size(HINTERNET request, bool streaming, DWORD* wanted)
{
    *wanted = DOWNLOAD_CHUNK_SIZE;
    if (streaming) {
        return 0;
    }
    DWORD available = 0;
    if (!InternetQueryDataAvailable(request, &available, 0, 0)) {
        return failure(last_error_result());
    }
    // 0: nothing more will come, or the library can't tell; the read then finds out.
    if (available != 0 && available < DOWNLOAD_CHUNK_SIZE / 2) {
        *wanted = available;
    }
    return 0;
}

// A whole-chunk read that takes longer than this means the body no longer streams.
static const DWORD STREAMING_READ_MS = 20;

// Streams the body into the file, one chunk at a time, reporting progress after each.
static int stream_body(HINTERNET request, Attempt* attempt)
{
    bool streaming = false;
    for (;;) {
        if (cancelled()) {
            return DOWNLOAD_ERROR_CANCELLED;
        }
        DWORD wanted = 0;
        int result = next_read_size(request, streaming, &wanted);
        if (result != 0) {
            return result;
        }
        if (cancelled()) {
            return DOWNLOAD_ERROR_CANCELLED;
        }
        DWORD got = 0;
        DWORD started = GetTickCount();
        if (!InternetReadFile(request, attempt->buffer.data, wanted, &got)) {
            return failure(last_error_result());
        }
        streaming = wanted == DOWNLOAD_CHUNK_SIZE && got == wanted && GetTickCount() - started < STREAMING_READ_MS;
        if (got == 0) {
            return 0;
        }
        if (setup_file_write(&attempt->writer, attempt->buffer.data, got) != 0) {
            return failure(last_error_result());
        }
        attempt->total += got;
        if (cancelled()) {
            return DOWNLOAD_ERROR_CANCELLED;
        }
        (void)report_progress(attempt->total); // always 0
    }
}

// Checks the complete body against what was announced and pinned, and puts the file under the
// run's lock, from which setup starts.
static int finish_body(Attempt* attempt)
{
    if (attempt->length_announced && attempt->total != attempt->announced_size) {
        return failure(DOWNLOAD_ERROR_LENGTH);
    }
    if (cancelled()) {
        return DOWNLOAD_ERROR_CANCELLED;
    }
    InterlockedExchangePointer(&active_file, nullptr);
    if (setup_file_finish(&attempt->writer, attempt->run) != 0) {
        return failure(last_error_result());
    }
    return 0;
}

static int fetch(const char* url, Attempt* attempt)
{
    if (cancelled()) {
        return DOWNLOAD_ERROR_CANCELLED;
    }
    if (!url) {
        return DOWNLOAD_ERROR_NO_ADDRESS;
    }
    attempt->url = utf8_to_wide(nullptr, nullptr, url, -1);
    if (!attempt->url) {
        return last_error_result();
    }
    if (!buffer_reserve(&attempt->buffer, DOWNLOAD_CHUNK_SIZE)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return last_error_result();
    }
    HINTERNET request = nullptr;
    int result = open_request(url, attempt, &request);
    if (result == 0) {
        result = stream_body(request, attempt);
    }
    if (result == 0) {
        result = finish_body(attempt);
    }
    return result;
}

static void release_attempt(Attempt* attempt)
{
    close_slot(&active_request);
    close_slot(&active_session);
    buffer_release(&attempt->buffer);
    heap_free(attempt->url);
    attempt->url = nullptr;
}

int download_to_file(const char* url, RunFolder* run)
{
    Attempt attempt = {};
    attempt.run = run;
    int result = 0;
    if (setup_file_create(run, &attempt.writer) != 0) {
        result = last_error_result();
    } else {
        InterlockedExchangePointer(&active_file, attempt.writer.file);
        result = fetch(url, &attempt);
        InterlockedExchangePointer(&active_file, nullptr);
    }
    release_attempt(&attempt);
    if (result == 0) {
        (void)report_progress(PROGRESS_COMPLETE); // always 0
        return 0;
    }
    // A failed attempt leaves nothing behind; a later attempt makes the file new again.
    setup_file_discard(&attempt.writer);
    if (!cancelled()) {
        post_worker_done();
    }
    return result;
}

DWORD WINAPI download_worker(void* run_folder)
{
    RunFolder* run = (RunFolder*)run_folder;
    InstallerConfig* config = process_globals.config;
    int result = download_to_file(config->https_url, run);
    if (result != 0 && !cancelled()) {
        result = download_to_file(config->http_url, run);
    }
    return (DWORD)result;
}

uint32_t progress_per_mille(uint64_t total, uint64_t expected)
{
    // A server that announced 0 bytes and still sends some has told us nothing about the size:
    // the bar then moves as without any announcement.
    if (expected == 0) {
        expected = DEFAULT_EXPECTED_SIZE;
    }
    if (total >= expected) {
        return 1000;
    }
    if (total <= ~(uint64_t)0 / 1000) {
        return (uint32_t)(total * 1000 / expected);
    }
    // Beyond 18 PB the product would wrap; divide first (expected > total keeps the divisor above
    // 0) and keep the bar short of full until the last byte.
    uint64_t coarse = total / (expected / 1000);
    return coarse < 1000 ? (uint32_t)coarse : 999;
}

// The worker starts before the splash exists, so that the window's set-up overlaps the
// download. Until the main thread has shown it, progress is only stored (the first picture shows
// it); a worker that has something to post by then (a small file, a refused connection) waits.
static const DWORD SPLASH_WAIT_POLL_MS = 5;

static bool splash_pending(AppState* app)
{
    return InterlockedCompareExchange(&app->splash_pending, 0, 0) != 0;
}

// A splash that could not be set up: the main thread waits for the worker itself.
static bool splash_missing(AppState* app)
{
    return InterlockedCompareExchange(&app->splash_missing, 0, 0) != 0;
}

// False when a cancellation ended the wait, or there is no splash: nobody to tell.
static bool wait_for_splash(AppState* app)
{
    while (splash_pending(app)) {
        if (cancelled()) {
            return false;
        }
        Sleep(SPLASH_WAIT_POLL_MS);
    }
    return !splash_missing(app);
}

int report_progress(uint64_t total)
{
    if (total == PROGRESS_FAILED) {
        post_worker_done();
        return 0;
    }
    AppState* app = process_globals.app;
    if (total == PROGRESS_COMPLETE) {
        app->progress = 1000;
        if (wait_for_splash(app)) {
            splash_render();
            (void)PostMessageW(app->splash.hwnd, WM_USER, 1, 0); // no window left: nobody to tell
        }
        return 0;
    }
    app->progress = progress_per_mille(total, process_globals.config->expected_size);
    if (!splash_pending(app) && !splash_missing(app)) {
        splash_render();
    }
    return 0;
}

void post_worker_done()
{
    AppState* app = process_globals.app;
    if (wait_for_splash(app)) {
        (void)PostMessageW(app->splash.hwnd, WM_USER, 0, 0); // no window left: nobody to tell
    }
}
