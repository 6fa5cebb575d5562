// One request of a download attempt: the request itself, the checks of its response's head, its
// body into the setup file, and its line in the run's log.
#include "app/download_request.h"

#include <stdarg.h>

#include "app/address.h"
#include "app/config.h"
#include "app/download.h"
#include "app/install_log.h"
#include "app/proxy_sign_in.h"
#include "app/response_framing.h"
#include "app/worker_report.h"
#include "rt/file.h"
#include "rt/format.h"
#include "rt/heap.h"
#include "rt/process.h"
#include "rt/text.h"

static const uint32_t URL_UNITS = 2048;
static const uint32_t RANGE_HEADER_UNITS = HEADER_TEXT_SIZE + 64;

int last_error_result()
{
    DWORD error = GetLastError();
    return error ? (int)error : -1;
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

// The address the final response came from is checked too, should the library ever have followed
// a redirect of its own: a secure address never ends on a plain one.
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

// An ETag, Last-Modified or Date header into out (HEADER_TEXT_SIZE); "" when absent. One too long
// to be read is kept as "?": no validator, and no strong one, so that a longer ETag can't make way
// for the date behind it.
static void query_validator(HINTERNET request, DWORD info, char* out)
{
    if (!query_text(request, info, out, HEADER_TEXT_SIZE) && GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
        out[0] = '?';
        out[1] = '\0';
    }
}

// The head of a full (200) response: the length and validator that resumes are checked against,
// and room for the body on the disk, above a reserve that the system keeps. A length beyond it
// rules the address out; a body without one is stopped before it passes it (stream_body).
static int take_full_response(Transfer* transfer, HINTERNET request)
{
    int result = response_length(request, &transfer->length_known, &transfer->length);
    if (result != 0) {
        return download_failure(result);
    }
    transfer->room = ~(uint64_t)0; // free space unknown: the write tells
    uint64_t free_bytes = 0;
    if (download_room.free_bytes(transfer->run->path, &free_bytes) == 0) {
        transfer->room = room_for_body(free_bytes, download_room.reserve);
    }
    if (transfer->length_known) {
        process_globals.config->expected_size = transfer->length;
        if (transfer->length > transfer->room) {
            return download_failure(DOWNLOAD_ERROR_NO_ROOM);
        }
    }
    char text[HEADER_TEXT_SIZE];
    char etag[HEADER_TEXT_SIZE];
    char last_modified[HEADER_TEXT_SIZE];
    query_validator(request, HTTP_QUERY_ETAG, etag);
    query_validator(request, HTTP_QUERY_LAST_MODIFIED, last_modified);
    query_validator(request, HTTP_QUERY_DATE, text);
    bool strong = validator_strong(etag, last_modified, text);
    const char* validator = response_validator(etag, last_modified);
    transfer->validator_weak = !strong && validator[0];
    lstrcpynA(transfer->validator, strong ? validator : "", HEADER_TEXT_SIZE);
    return 0;
}

// A resume's 206 must carry the validator it was asked with, continue exactly where the file
// ends and describe the same whole body: anything else is another file, or another part of it,
// and is never joined to what the file holds. It starts the file again, and the next request asks
// for all of it. A part whose Content-Length is read two ways fails as a full response's does.
static int take_partial_response(Transfer* transfer, HINTERNET request)
{
    bool length_known = false;
    uint64_t length = 0; // the part's: its Content-Range is what is checked
    int framing = response_length(request, &length_known, &length);
    if (framing != 0) {
        return download_failure(framing);
    }
    char range[HEADER_TEXT_SIZE];
    char etag[HEADER_TEXT_SIZE];
    char last_modified[HEADER_TEXT_SIZE];
    (void)query_text(request, HTTP_QUERY_CONTENT_RANGE, range, sizeof range); // "" without
    query_validator(request, HTTP_QUERY_ETAG, etag);
    query_validator(request, HTTP_QUERY_LAST_MODIFIED, last_modified);
    if (partial_continues(transfer->validator, etag, last_modified, range, transfer->total, transfer->length)) {
        return 0;
    }
    int restarted = start_over(transfer);
    transfer->start_again = restarted == 0;
    return restarted != 0 ? restarted : download_failure(DOWNLOAD_ERROR_LENGTH);
}

// Checks a response head; a 200 to a resume (a server that ignores ranges, or a file that
// changed) starts the file again from its first byte. 0 when the body may be appended.
static int take_response(Transfer* transfer, HINTERNET request, bool resuming)
{
    transfer->retry_after = 0;
    if (redirected_to_plain(request, transfer->https)) {
        return download_failure(DOWNLOAD_ERROR_INSECURE_REDIRECT);
    }
    DWORD status = transfer->status;
    if (resuming && status == HTTP_STATUS_PARTIAL_CONTENT) {
        return take_partial_response(transfer, request);
    }
    if (status >= 200 && status <= 299 && status != HTTP_STATUS_PARTIAL_CONTENT) {
        int restarted = resuming ? start_over(transfer) : 0;
        return restarted != 0 ? restarted : take_full_response(transfer, request);
    }
    char text[HEADER_TEXT_SIZE];
    if ((status == HTTP_STATUS_TOO_MANY_REQUESTS || status == HTTP_STATUS_SERVICE_UNAVAIL) &&
        query_text(request, HTTP_QUERY_RETRY_AFTER, text, sizeof text)) {
        transfer->retry_after = retry_after_ms(text, download_timings.retry_after_limit);
    }
    return download_failure(DOWNLOAD_ERROR_STATUS);
}

// Only a program can be started: a 2xx body that does not begin with "MZ" (a captive portal's
// login page, a filter's notice) fails as soon as its first bytes show it.
static int check_program_head(Transfer* transfer, const uint8_t* data, DWORD got)
{
    static const char MAGIC[] = "MZ";
    for (DWORD i = 0; i < got && transfer->head_length < sizeof MAGIC - 1; ++i, ++transfer->head_length) {
        if (data[i] != (uint8_t)MAGIC[transfer->head_length]) {
            return DOWNLOAD_ERROR_NOT_PROGRAM;
        }
    }
    return 0;
}

// The body has ended: complete, cut short (resumable), empty, or not the whole of the program its
// headers describe, whatever the transfer reported (a chunked or close-delimited body that broke
// off, a length that the server got wrong).
static int body_ended(Transfer* transfer)
{
    if (transfer->length_known && transfer->total != transfer->length) {
        return download_failure(DOWNLOAD_ERROR_LENGTH);
    }
    if (transfer->total == 0) {
        return DOWNLOAD_ERROR_NOT_PROGRAM;
    }
    PeVerdict verdict = PE_NOT_PE;
    uint64_t needed = 0;
    if (setup_file_judge(&transfer->writer, &verdict, &needed) != 0) {
        return download_failure(last_error_result());
    }
    if (verdict == PE_TRUNCATED) {
        install_log("attempt %d %s: the program ends at byte %U, its headers ask for %U", transfer->number,
                    transfer->shown, transfer->total, needed);
        return DOWNLOAD_ERROR_TRUNCATED;
    }
    return verdict == PE_WHOLE ? 0 : DOWNLOAD_ERROR_NOT_PROGRAM;
}

// The body's pace over windows of the silence limit: a body that brings less than the floor in a
// window stalls, also one that sends a byte just before each silence limit runs out.
struct Pace {
    DWORD window_start;
    uint64_t bytes;     // in this window
};

// The limit for the next read: the silence limit, or less, the rest of the window, while the
// window is short of its floor. 0 when a window ended short of it.
static DWORD pace_limit(Pace* pace)
{
    DWORD window = download_timings.silence_limit;
    uint64_t floor = floor_bytes(download_timings.floor_bytes_per_second, window);
    DWORD spent = GetTickCount() - pace->window_start;
    if (spent >= window) {
        if (pace->bytes < floor) {
            return 0;
        }
        pace->window_start += spent;
        pace->bytes = 0;
        spent = 0;
    }
    return pace->bytes < floor ? window - spent : window;
}

// Streams the body into the file. received counts this response's bytes.
static int stream_body(Transfer* transfer, HttpRequest* request, uint64_t* received)
{
    Pace pace = {GetTickCount(), 0};
    for (bool streaming = false;;) {
        const uint8_t* data = nullptr;
        DWORD got = 0;
        bool waited = false;
        DWORD limit = pace_limit(&pace);
        if (limit == 0) {
            return download_failure(DOWNLOAD_ERROR_TIMEOUT); // a trickle: resumed as a stall is
        }
        if (http_read(transfer->session, request, streaming, limit, &data, &got, &waited) != 0) {
            return download_failure(last_error_result());
        }
        // Only a read that found a good part of a chunk at hand shows a streaming body: a slow body
        // has its few bytes at hand too, and whole-chunk reads would then wait for each chunk to
        // trickle in, holding the progress (and the file) still for that long.
        streaming = !waited && got >= HTTP_CHUNK_SIZE / 2;
        if (got == 0) {
            return body_ended(transfer);
        }
        pace.bytes += got;
        int result = check_program_head(transfer, data, got);
        if (result != 0) {
            return result;
        }
        if (!transfer->length_known && transfer->total + got > transfer->room) {
            return download_failure(DOWNLOAD_ERROR_NO_ROOM); // before it eats into the reserve
        }
        if (setup_file_write(&transfer->writer, data, got) != 0) {
            return download_failure(last_error_result());
        }
        transfer->total += got;
        *received += got;
        if (download_cancelled()) {
            return DOWNLOAD_ERROR_CANCELLED;
        }
        (void)report_progress(transfer->total); // always 0
    }
}

// str_print into out, which then always ends in a NUL (the text cut short when it does not fit):
// the formatter itself writes one only where the format asks for it.
static void print_text(char* out, uint32_t size, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    int32_t written = str_format(out, size - 1, format, args);
    va_end(args);
    out[written >= 0 ? (uint32_t)written : size - 1] = '\0';
}

// The proxy the request was sent through, as the system's settings name it; "none" for a direct one.
static void request_proxy(HINTERNET request, char* out, uint32_t size)
{
    union {
        INTERNET_PROXY_INFO info;
        uint8_t bytes[1024];
    } proxy; // filled by the query, read only after it succeeded
    DWORD length = sizeof proxy;
    const wchar_t* name = request && InternetQueryOptionW(request, INTERNET_OPTION_PROXY, &proxy, &length) &&
                                  proxy.info.dwAccessType == INTERNET_OPEN_TYPE_PROXY
                              ? (const wchar_t*)proxy.info.lpszProxy
                              : nullptr;
    print_text(out, size, name ? "%q" : "none", name);
}

// One line for each request in the run's log: what was asked, what came, and how it ended.
static void log_request(const Transfer* transfer, const char* proxy, uint64_t from, uint64_t received, DWORD ms,
                        int result)
{
    char length[24];
    print_text(length, sizeof length, transfer->length_known ? "%U" : "unknown", transfer->length);
    char resumed[48] = "";
    if (from) {
        print_text(resumed, sizeof resumed, ", resumed from byte %U", from);
    }
    char what[CONFIG_BLOCK_SIZE + 512];
    print_text(what, sizeof what, "attempt %d%s %s: proxy %s, status %u, length %s, validator %s, %U bytes in %u ms",
               transfer->number, resumed, transfer->shown, proxy, transfer->status, length,
               transfer->validator[0] ? transfer->validator : transfer->validator_weak ? "weak" : "none", received, ms);
    if (result == 0) {
        install_log("%s: complete", what);
    } else {
        install_log_failure(what, (uint32_t)result);
    }
}

// The headers that ask for the rest of the file, if it is still the same, into headers
// (RANGE_HEADER_UNITS). 0, or ERROR_NOT_ENOUGH_MEMORY for a validator too long to send back.
static int resume_headers(const Transfer* transfer, wchar_t* headers)
{
    char* text = alloc_format("Range: bytes=%U-\r\nIf-Range: %s\r\n%Z", transfer->total, transfer->validator);
    int32_t units = RANGE_HEADER_UNITS;
    wchar_t* wide = text ? utf8_to_wide(headers, &units, text, -1) : nullptr;
    heap_free(text);
    if (wide != headers) {
        heap_free(wide);
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    return 0;
}

// The status of a response into transfer->status (0 when there is none). 0, or the result.
static int take_status(Transfer* transfer, HINTERNET request)
{
    DWORD size = sizeof transfer->status;
    int result = 0;
    if (!HttpQueryInfoW(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &transfer->status, &size, nullptr)) {
        transfer->status = 0;
        result = last_error_result();
    }
    int line = response_status_line(request); // the number as the library read it stays for the log
    return line != 0 ? download_failure(line) : result;
}

// Where a redirect from url sends the request, into next (URL_UNITS), with whether that is secure.
// 0 when it may be asked; logged either way.
static int next_hop(Transfer* transfer, HINTERNET request, const wchar_t* url, int hop, wchar_t* next, bool* https)
{
    if (http_location(request, url, next, URL_UNITS) != 0) {
        return DOWNLOAD_ERROR_REDIRECT;
    }
    char* target = wide_to_utf8_alloc(next);
    if (!target) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    char shown[CONFIG_BLOCK_SIZE];
    address_without_credentials(target, shown, sizeof shown);
    install_log("attempt %d %s: redirect %d (%u) to %s", transfer->number, transfer->shown, hop, transfer->status,
                shown);
    int result = redirect_check(transfer->https, target, hop);
    *https = url_is_https(target);
    heap_free(target);
    return result;
}

// A 407: the proxy's sign-in, which may send the request again (proxy_sign_in). The time the user
// spends in its dialog moves started on, so that the limit for the head does not count it. 0 with
// the status of the request's answer; else the result.
static int answer_proxy_sign_in(Transfer* transfer, HttpRequest* request, bool https, DWORD* started)
{
    DWORD spent = GetTickCount() - *started;
    DWORD limit = download_timings.connect_limit;
    ProxySignInAsk ask = {transfer->session, request, https, spent < limit ? limit - spent : 0, transfer->number,
                          transfer->shown};
    DWORD user_ms = 0;
    int result = proxy_sign_in(&ask, &user_ms);
    *started += user_ms;
    return result != 0 ? result : take_status(transfer, request->handle);
}

// Sends the request to the address and on along its redirects, each hop checked before anything
// is asked of it: WinINet's own following is off, as its settings could let a secure download pass
// through a plain address on the way, where anyone on the network could send it elsewhere. One
// time limit for the head covers the chain. 0 with the final response's status; else the result.
// The request is to be closed either way.
static int open_request(Transfer* transfer, const wchar_t* headers, HttpRequest* request)
{
    wchar_t hops[2][URL_UNITS]; // the one being asked and the next
    const wchar_t* url = transfer->url;
    bool https = transfer->https;
    DWORD started = GetTickCount();
    for (int hop = 1;; ++hop) {
        DWORD flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_UI |
                      INTERNET_FLAG_NO_AUTO_REDIRECT | (https ? INTERNET_FLAG_SECURE : 0);
        DWORD spent = GetTickCount() - started;
        DWORD limit = download_timings.connect_limit;
        if (http_get(transfer->session, url, headers, flags, spent < limit ? limit - spent : 0, request) != 0) {
            return last_error_result();
        }
        int result = take_status(transfer, request->handle);
        if (result == 0 && transfer->status == HTTP_STATUS_PROXY_AUTH_REQ) {
            result = answer_proxy_sign_in(transfer, request, https, &started);
        }
        if (result != 0 || !redirect_status(transfer->status)) {
            return result;
        }
        wchar_t* next = hops[hop % 2];
        result = next_hop(transfer, request->handle, url, hop, next, &https);
        if (result != 0) {
            return result;
        }
        http_close(request);
        url = next;
    }
}

// One request: the whole body, or from where the file ends.
int request_once(Transfer* transfer, bool resuming, uint64_t* received)
{
    *received = 0;
    wchar_t headers[RANGE_HEADER_UNITS];
    if (resuming && resume_headers(transfer, headers) != 0) {
        return ERROR_NOT_ENOUGH_MEMORY; // no resume
    }
    HttpRequest request = {};
    DWORD started = GetTickCount();
    uint64_t from = transfer->total;
    transfer->status = 0;
    int result = open_request(transfer, resuming ? headers : nullptr, &request);
    // Asked before the body: a read given up on, or still in flight, takes the request with it.
    char proxy[256];
    request_proxy(request.handle, proxy, sizeof proxy);
    if (result == 0) {
        result = take_response(transfer, request.handle, resuming);
    }
    if (result == 0) {
        result = stream_body(transfer, &request, received);
    }
    result = download_failure(result);
    log_request(transfer, proxy, resuming ? from : 0, *received, GetTickCount() - started, result);
    http_close(&request);
    return result;
}
