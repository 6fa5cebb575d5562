// The download worker: fetches the setup program from the configured addresses into this run's
// folder, trying again in rounds and resuming broken transfers, reports progress to the splash
// window and tells the main thread how the download ended.
#include "app/download.h"

#include "app/address.h"
#include "app/app_state.h"
#include "app/config.h"
#include "app/install_log.h"
#include "app/run_folder.h"
#include "app/splash.h"
#include "rt/file.h"
#include "rt/file_handle.h"
#include "rt/format.h"
#include "rt/heap.h"
#include "rt/http.h"
#include "rt/process.h"
#include "rt/random.h"
#include "rt/text.h"

static const wchar_t DOWNLOAD_AGENT[] = L"Quorvel Web Installer";
static const uint32_t HEADER_TEXT_SIZE = 256;
static const uint32_t URL_UNITS = 2048;
static const uint32_t RANGE_HEADER_UNITS = HEADER_TEXT_SIZE + 64;

// Cancellation: a manual-reset event that every wait of the worker also waits for. Made on first
// use from whichever thread comes first.
static HANDLE volatile cancel_event;
// The setup file being written, for download_abandon.
static void* volatile active_file;
// The worker's WinINet session.
static HttpSession session_record;
static HttpSession* const session = &session_record;

static HANDLE cancel_signal()
{
    HANDLE event = cancel_event;
    if (event) {
        return event;
    }
    HANDLE made = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!made) {
        return nullptr;
    }
    HANDLE before = InterlockedCompareExchangePointer((void* volatile*)&cancel_event, made, nullptr);
    if (before) {
        CloseHandle(made); // another thread was first
        return before;
    }
    return made;
}

static bool cancelled()
{
    HANDLE event = cancel_signal();
    return event && WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
}

void download_cancel()
{
    HANDLE event = cancel_signal();
    if (event) {
        SetEvent(event);
    }
}

void download_cancel_clear()
{
    HANDLE event = cancel_signal();
    if (event) {
        ResetEvent(event);
    }
}

void download_abandon()
{
    HANDLE file = (HANDLE)InterlockedCompareExchangePointer(&active_file, nullptr, nullptr);
    if (file) {
        (void)handle_delete(file); // nothing more can be done about a file that stays
    }
}

// Waits ms, or less when the download is cancelled. False when it was.
static bool pause(DWORD ms)
{
    HANDLE event = cancel_signal();
    if (!event) {
        Sleep(ms);
        return true;
    }
    return WaitForSingleObject(event, ms) != WAIT_OBJECT_0;
}

// ---- one address, across its resumes ------------------------------------------------------------

struct Transfer {
    RunFolder* run;
    const char* shown;          // the address as the log shows it
    int number;                 // of the attempt in this run, from 1
    SetupWriter writer;
    bool writing;               // writer holds an open file
    const wchar_t* url;
    bool https;
    uint64_t total;             // bytes in the file
    bool length_known;
    uint64_t length;            // of the whole body, as its first response announced it
    char validator[HEADER_TEXT_SIZE]; // ETag, else Last-Modified, of that response; "" when none
    bool validator_is_etag;
    DWORD status;               // of the last response; 0 when none came
    DWORD retry_after;          // ms the last response asked to wait; 0 when none
    uint8_t head[2];            // the body's first bytes, for the program check
    uint32_t head_length;
    bool start_again;           // the last response can't continue the file: ask for all of it
};

static int last_error_result()
{
    DWORD error = GetLastError();
    return error ? (int)error : -1;
}

// A cancellation overrides every other cause.
static int failure(int cause)
{
    return cancelled() ? DOWNLOAD_ERROR_CANCELLED : cause;
}

static bool query_text(HINTERNET request, DWORD info, char* out, DWORD size)
{
    DWORD length = size - 1;
    if (!HttpQueryInfoA(request, info, out, &length, nullptr) || length >= size) {
        out[0] = '\0';
        return false;
    }
    out[length] = '\0';
    return true;
}

static bool query_length(HINTERNET request, uint64_t* value)
{
    char text[HEADER_TEXT_SIZE];
    return query_text(request, HTTP_QUERY_CONTENT_LENGTH, text, sizeof text) && parse_content_length(text, value);
}

// The address the response finally came from, after any redirects, is checked whatever the
// machine's WinINet settings allow: a secure address never ends on a plain one.
static bool redirected_to_plain(HINTERNET request, bool https)
{
    if (!https) {
        return false;
    }
    wchar_t* final_url = (wchar_t*)heap_alloc(URL_UNITS * sizeof(wchar_t));
    DWORD size = URL_UNITS * sizeof(wchar_t);
    char* text = final_url && InternetQueryOptionW(request, INTERNET_OPTION_URL, final_url, &size)
                     ? wide_to_utf8_alloc(final_url)
                     : nullptr;
    bool plain = !text || !url_is_https(text);
    heap_free(text);
    heap_free(final_url);
    return plain;
}

static int start_over(Transfer* transfer)
{
    transfer->total = 0;
    transfer->head_length = 0;
    return setup_file_restart(&transfer->writer) == 0 ? 0 : last_error_result();
}

// The head of a full (200) response: the length and validator that resumes are checked against,
// and room for the body on the disk.
static int take_full_response(Transfer* transfer, HINTERNET request)
{
    transfer->length_known = query_length(request, &transfer->length);
    if (transfer->length_known) {
        process_globals.config->expected_size = transfer->length;
        uint64_t free_bytes = 0;
        if (disk_free_bytes(transfer->run->path, &free_bytes) == 0 && free_bytes < transfer->length) {
            return ERROR_DISK_FULL;
        }
    }
    transfer->validator_is_etag = query_text(request, HTTP_QUERY_ETAG, transfer->validator, HEADER_TEXT_SIZE);
    if (!transfer->validator_is_etag) {
        (void)query_text(request, HTTP_QUERY_LAST_MODIFIED, transfer->validator, HEADER_TEXT_SIZE); // "" without
    }
    return 0;
}

// Checks a response head. A resume's 206 must continue exactly where the file ends and describe
// the same whole body; a 200 to a resume (a server that ignores ranges, or a file that changed)
// starts the file again from its first byte. 0 when the body may be appended.
static int take_response(Transfer* transfer, HttpRequest* call, bool resuming)
{
    DWORD size = sizeof transfer->status;
    transfer->retry_after = 0;
    HINTERNET request = call->handle;
    if (!HttpQueryInfoW(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &transfer->status, &size, nullptr)) {
        transfer->status = 0;
        return failure(last_error_result());
    }
    if (redirected_to_plain(request, transfer->https)) {
        return failure(DOWNLOAD_ERROR_INSECURE_REDIRECT);
    }
    DWORD status = transfer->status;
    if (resuming && status == HTTP_STATUS_PARTIAL_CONTENT) {
        char range[HEADER_TEXT_SIZE];
        uint64_t start = 0;
        uint64_t total = 0;
        if (query_text(request, HTTP_QUERY_CONTENT_RANGE, range, sizeof range) &&
            parse_content_range(range, &start, &total) && start == transfer->total && total == transfer->length) {
            return 0;
        }
        int restarted = start_over(transfer); // the part offered does not fit: the next request asks for all
        transfer->start_again = restarted == 0;
        return restarted != 0 ? restarted : failure(DOWNLOAD_ERROR_LENGTH);
    }
    if (status >= 200 && status <= 299 && status != HTTP_STATUS_PARTIAL_CONTENT) {
        if (resuming) {
            int restarted = start_over(transfer);
            if (restarted != 0) {
                return restarted;
            }
        }
        return take_full_response(transfer, request);
    }
    if (status == HTTP_STATUS_TOO_MANY_REQUESTS || status == HTTP_STATUS_SERVICE_UNAVAIL) {
        char text[HEADER_TEXT_SIZE];
        if (query_text(request, HTTP_QUERY_RETRY_AFTER, text, sizeof text)) {
            transfer->retry_after = retry_after_ms(text, download_timings.retry_after_limit);
        }
    }
    return failure(DOWNLOAD_ERROR_STATUS);
}

// Only a program can be started: a 2xx body that does not begin with "MZ" (a captive portal's
// login page, a filter's notice) fails as soon as its first bytes show it.
static int check_program_head(Transfer* transfer, const uint8_t* data, DWORD got)
{
    for (DWORD i = 0; i < got && transfer->head_length < sizeof transfer->head; ++i) {
        transfer->head[transfer->head_length++] = data[i];
    }
    if (transfer->head_length >= 1 && transfer->head[0] != 'M') {
        return DOWNLOAD_ERROR_NOT_PROGRAM;
    }
    if (transfer->head_length >= 2 && transfer->head[1] != 'Z') {
        return DOWNLOAD_ERROR_NOT_PROGRAM;
    }
    return 0;
}

// Streams the body into the file. received counts this response's bytes.
static int stream_body(Transfer* transfer, HttpRequest* request, uint64_t* received)
{
    bool streaming = false;
    for (;;) {
        const uint8_t* data = nullptr;
        DWORD got = 0;
        bool waited = false;
        int result = http_read(session, request, streaming, download_timings.silence_limit, &data, &got, &waited);
        if (result != 0) {
            return failure(last_error_result());
        }
        // Only a read that found a good part of a chunk at hand shows a streaming body: a slow body
        // has its few bytes at hand too, and whole-chunk reads would then wait for each chunk to
        // trickle in, holding the progress (and the file) still for that long.
        streaming = !waited && got >= HTTP_CHUNK_SIZE / 2;
        if (got == 0) {
            if (transfer->length_known && transfer->total != transfer->length) {
                return failure(DOWNLOAD_ERROR_LENGTH); // cut short: resumable
            }
            return transfer->total == 0 ? DOWNLOAD_ERROR_NOT_PROGRAM : 0;
        }
        result = check_program_head(transfer, data, got);
        if (result != 0) {
            return result;
        }
        if (setup_file_write(&transfer->writer, data, got) != 0) {
            return failure(last_error_result());
        }
        transfer->total += got;
        *received += got;
        if (cancelled()) {
            return DOWNLOAD_ERROR_CANCELLED;
        }
        (void)report_progress(transfer->total); // always 0
    }
}

// The proxy the request was sent through, as the system's settings name it; "none" for a direct one.
static void request_proxy(HINTERNET request, char* out, uint32_t size)
{
    union {
        INTERNET_PROXY_INFO info;
        uint8_t bytes[1024];
    } proxy = {};
    DWORD length = sizeof proxy;
    (void)str_print(out, size, "none");
    if (request && InternetQueryOptionW(request, INTERNET_OPTION_PROXY, &proxy, &length) &&
        proxy.info.dwAccessType == INTERNET_OPEN_TYPE_PROXY && proxy.info.lpszProxy) {
        (void)str_print(out, size, "%q", (const wchar_t*)proxy.info.lpszProxy);
    }
}

// One line for each request in the run's log: what was asked, what came, and how it ended.
static void log_request(const Transfer* transfer, HINTERNET request, uint64_t from, uint64_t received, DWORD ms,
                        int result)
{
    char proxy[256];
    request_proxy(request, proxy, sizeof proxy);
    char length[24];
    (void)str_print(length, sizeof length, transfer->length_known ? "%U" : "unknown", transfer->length);
    char resumed[48] = "";
    if (from) {
        (void)str_print(resumed, sizeof resumed, ", resumed from byte %U", from);
    }
    char what[CONFIG_BLOCK_SIZE + 512];
    (void)str_print(what, sizeof what,
                    "attempt %d%s %s: proxy %s, status %u, length %s, validator %s, %U bytes in %u ms",
                    transfer->number, resumed, transfer->shown, proxy,
                    transfer->status, length, transfer->validator[0] ? transfer->validator : "none", received, ms);
    if (result == 0) {
        install_log("%s: complete", what);
    } else {
        install_log_failure(what, (uint32_t)result);
    }
}

// One request: the whole body, or from where the file ends.
static int request_once(Transfer* transfer, bool resuming, uint64_t* received)
{
    *received = 0;
    wchar_t headers[RANGE_HEADER_UNITS];
    const wchar_t* extra = nullptr;
    if (resuming) {
        char* text = alloc_format("Range: bytes=%U-\r\nIf-Range: %s\r\n%Z", transfer->total, transfer->validator);
        int32_t units = RANGE_HEADER_UNITS;
        wchar_t* wide = text ? utf8_to_wide(headers, &units, text, -1) : nullptr;
        heap_free(text);
        if (wide != headers) {
            heap_free(wide);
            return ERROR_NOT_ENOUGH_MEMORY; // a validator too long to send back: no resume
        }
        extra = headers;
    }
    DWORD flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_UI |
                  (transfer->https ? INTERNET_FLAG_SECURE : 0);
    HttpRequest request = {};
    DWORD started = GetTickCount();
    uint64_t from = transfer->total;
    transfer->status = 0;
    int result = http_get(session, transfer->url, extra, flags, download_timings.connect_limit, &request) == 0
                     ? 0
                     : last_error_result();
    if (result == 0) {
        result = take_response(transfer, &request, resuming);
    }
    if (result == 0) {
        result = stream_body(transfer, &request, received);
    }
    result = failure(result);
    log_request(transfer, request.handle, resuming ? from : 0, *received, GetTickCount() - started, result);
    http_close(&request);
    return result;
}

// One attempt on one address, with its resumes. On success the file is complete and under the
// run's lock.
static int attempt(Transfer* transfer)
{
    if (setup_file_create(transfer->run, &transfer->writer) != 0) {
        int result = failure(last_error_result());
        install_log_failure("setup file not created", (uint32_t)result);
        return result;
    }
    transfer->writing = true;
    InterlockedExchangePointer(&active_file, transfer->writer.file);
    transfer->total = 0;
    transfer->head_length = 0;
    transfer->validator[0] = '\0';
    transfer->length_known = false;
    transfer->start_again = false;
    uint64_t received = 0;
    int result = request_once(transfer, false, &received);
    for (int resumes = 0; result != 0 && resumes < DOWNLOAD_RESUMES_IN_A_ROW; ++resumes) {
        bool restart = transfer->start_again;
        transfer->start_again = false;
        bool body_came = received > 0 && transfer->total > 0;
        bool has_validator = transfer->validator[0] != '\0';
        if (!restart && !download_resumable(result, body_came, transfer->length_known, has_validator)) {
            break; // a resume that brought nothing also ends here
        }
        result = request_once(transfer, transfer->total > 0, &received);
    }
    InterlockedExchangePointer(&active_file, nullptr);
    if (result == 0) {
        transfer->writing = false;
        if (setup_file_finish(&transfer->writer, transfer->run) != 0) {
            return failure(last_error_result());
        }
        return 0;
    }
    transfer->writing = false;
    setup_file_discard(&transfer->writer); // nothing is left behind; the next attempt starts anew
    return result;
}

// ---- the worker ----------------------------------------------------------------------------------

struct Address {
    const char* url;
    wchar_t* wide;
    char shown[CONFIG_BLOCK_SIZE]; // as the log shows it: without user name and password
    bool ruled_out;
    DWORD not_before;  // tick before which it is not asked again (a server's Retry-After)
    bool waiting;
};

// The addresses in rounds, the first address first in each, with a pause between rounds.
static int try_addresses(RunFolder* run, Address* addresses, int count)
{
    int result = DOWNLOAD_ERROR_NO_ADDRESS;
    int attempts = 0;
    for (int round = 0; round < DOWNLOAD_ROUNDS; ++round) {
        bool any_left = false;
        for (int i = 0; i < count; ++i) {
            any_left = any_left || !addresses[i].ruled_out;
        }
        if (!any_left) {
            break;
        }
        if (round > 0) {
            uint32_t random = 0;
            (void)random_bytes(&random, sizeof random); // without it, no jitter: the wait stays
            DWORD wait = round_wait_ms(round, random);
            install_log("waiting %u ms before round %d", wait, round + 1);
            if (!pause(wait)) {
                return DOWNLOAD_ERROR_CANCELLED;
            }
        }
        for (int i = 0; i < count; ++i) {
            Address* address = &addresses[i];
            if (address->ruled_out) {
                continue;
            }
            if (address->waiting) {
                DWORD left = address->not_before - GetTickCount();
                if ((LONG)left > 0) {
                    install_log("waiting %u ms before asking %s again, as it asked", left, address->shown);
                }
                if ((LONG)left > 0 && !pause(left)) {
                    return DOWNLOAD_ERROR_CANCELLED;
                }
                address->waiting = false;
            }
            Transfer transfer = {};
            transfer.run = run;
            transfer.url = address->wide;
            transfer.https = url_is_https(address->url);
            transfer.shown = address->shown;
            transfer.number = ++attempts;
            result = attempt(&transfer);
            if (result == 0 || cancelled()) {
                return cancelled() ? DOWNLOAD_ERROR_CANCELLED : 0;
            }
            DownloadVerdict verdict = download_verdict(result, transfer.status);
            if (verdict == VERDICT_STOP) {
                return result;
            }
            address->ruled_out = verdict == VERDICT_RULED_OUT;
            if (address->ruled_out) {
                install_log("%s is not asked again in this run", address->shown);
            }
            if (transfer.retry_after) {
                address->not_before = GetTickCount() + transfer.retry_after;
                address->waiting = true;
            }
        }
    }
    return result;
}

static int run_download(RunFolder* run)
{
    if (cancelled()) {
        return DOWNLOAD_ERROR_CANCELLED;
    }
    InstallerConfig* config = process_globals.config;
    Address addresses[2] = {{config->https_url}, {config->http_url}};
    int result = 0;
    for (Address& address : addresses) {
        address.ruled_out = address.url == nullptr;
        if (address.url) {
            address_without_credentials(address.url, address.shown, sizeof address.shown);
            address.wide = utf8_to_wide(nullptr, nullptr, address.url, -1);
            if (!address.wide) {
                result = ERROR_NOT_ENOUGH_MEMORY;
            }
        }
    }
    if (result == 0) {
        if (http_session_open(session, DOWNLOAD_AGENT, cancel_signal()) != 0) {
            result = last_error_result();
        } else {
            result = try_addresses(run, addresses, 2);
            http_session_close(session);
        }
    }
    for (Address& address : addresses) {
        heap_free(address.wide);
    }
    return result;
}

DWORD WINAPI download_worker(void* run_folder)
{
    int result = run_download((RunFolder*)run_folder);
    if (result == 0) {
        (void)report_progress(PROGRESS_COMPLETE); // always 0
    } else if (!cancelled()) {
        post_worker_done();
    } else {
        result = DOWNLOAD_ERROR_CANCELLED;
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
    uint32_t progress = progress_per_mille(total, process_globals.config->expected_size);
    if (progress <= app->progress) {
        return 0; // a transfer that started again stays behind the bar until it passes it
    }
    app->progress = progress;
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
