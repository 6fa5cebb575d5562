// What the download decides without the network: which answers are worth asking again, how long
// to wait, and which header values can be trusted. Pure functions; the timings are the one global.
#pragma once

#include <windows.h>
#include <wininet.h>
#include <stdint.h>

// HTTP_STATUS_REQUEST_TIMEOUT (408) comes with wininet.h; 429 does not.
const DWORD HTTP_STATUS_TOO_MANY_REQUESTS = 429;

// Results of an attempt that failed without a system error of its own.
const int DOWNLOAD_ERROR_STATUS = ERROR_BAD_NET_RESP;     // the server answered outside 200-299
const int DOWNLOAD_ERROR_LENGTH = ERROR_HANDLE_EOF;       // the body differs from its Content-Length
const int DOWNLOAD_ERROR_DIGEST = ERROR_INVALID_DATA;     // the body does not match the sha256 pin
const int DOWNLOAD_ERROR_NOT_PROGRAM = ERROR_BAD_EXE_FORMAT; // empty, or not starting with "MZ"
const int DOWNLOAD_ERROR_INSECURE_REDIRECT = ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR;
const int DOWNLOAD_ERROR_REDIRECT = ERROR_HTTP_REDIRECT_FAILED; // too many hops, or to no http(s) address
const int DOWNLOAD_ERROR_NO_ADDRESS = ERROR_INTERNET_INVALID_URL; // no address configured, or none may be asked
const int DOWNLOAD_ERROR_CANCELLED = ERROR_CANCELLED;     // download_cancel stopped the attempt
const int DOWNLOAD_ERROR_TIMEOUT = ERROR_INTERNET_TIMEOUT; // no answer, no body byte, or too few, in time
const int DOWNLOAD_ERROR_NO_ROOM = ERROR_FILE_TOO_LARGE;  // the body would eat into the disk's reserve
const int DOWNLOAD_ERROR_FRAMING = ERROR_HTTP_INVALID_SERVER_RESPONSE; // a status line or length read two ways
const int DOWNLOAD_ERROR_TRUNCATED = ERROR_FILE_CORRUPT;  // a program shorter than its own headers say

// How long the worker waits, in milliseconds. Tests shorten them; the program never changes them.
struct DownloadTimings {
    DWORD first_round_wait;   // before the second round
    DWORD later_round_wait;   // before the third
    DWORD connect_limit;      // for the response head
    DWORD silence_limit;      // for the next body byte; also the window the floor is measured over
    DWORD retry_after_limit;  // the most a server's Retry-After is waited for
    DWORD floor_bytes_per_second; // a body slower than this over a silence_limit stalls
};
extern DownloadTimings download_timings;

// Room on the target volume. Tests fake the free space; the program never changes either.
struct DownloadRoom {
    uint64_t reserve;         // left free for the system to keep working
    int (*free_bytes)(const char* path, uint64_t* bytes); // disk_free_bytes's contract
};
extern DownloadRoom download_room;
// The bytes a body may take of free_bytes: what is left above the reserve.
uint64_t room_for_body(uint64_t free_bytes, uint64_t reserve);
// The bytes a body must bring in window_ms at floor_bytes_per_second (at least 1).
uint64_t floor_bytes(DWORD floor_bytes_per_second, DWORD window_ms);

const int DOWNLOAD_ROUNDS = 3;
const int DOWNLOAD_RESUMES_IN_A_ROW = 10;
const int DOWNLOAD_REDIRECTS_MAX = 10; // hops followed for one request

// What an attempt's response means for the next ones.
enum DownloadVerdict {
    VERDICT_RETRY,      // try again in a later round
    VERDICT_RULED_OUT,  // this address is not asked again in this run
    VERDICT_STOP,       // nothing more is tried (a write found the disk full)
};
// Whether an address may be asked at all. The installer runs elevated and starts what it
// downloads, and a plain answer can come from anyone on the way, a proxy that the user's own
// settings name included (the system reads them for an elevated process too): an address that is
// not https (url_is_https) is asked only when the file is pinned by sha256 or signer (pinned).
bool address_may_be_asked(const char* url, bool pinned);
// The verdict for an attempt's result and HTTP status (0: none came).
DownloadVerdict download_verdict(int result, DWORD status);
// Whether a transfer that ended with result goes on where it broke: only after the last response
// brought body bytes into the file (body_came), when the first one announced its length and
// carried a validator, and not after an answer that a resume would only repeat.
bool download_resumable(int result, bool body_came, bool length_known, bool has_validator);
// Milliseconds of a Retry-After value (delta seconds; a date counts as none), at most limit_ms;
// 0 when there is none.
DWORD retry_after_ms(const char* text, DWORD limit_ms);
// The wait before round `round` (1 or 2) with jitter: a 32-bit random value moves it by up to a
// quarter either way.
DWORD round_wait_ms(int round, uint32_t random);
// Parses "bytes START-END/TOTAL" (numbers of 1 to 19 digits). True with start and total.
bool parse_content_range(const char* text, uint64_t* start, uint64_t* total);
// A usable Content-Length is 1 to 20 decimal digits and nothing else. True with its value
// (UINT64_MAX for a 20-digit number above it).
bool parse_content_length(const char* text, uint64_t* value);

// ---- redirects ----------------------------------------------------------------------------------

// Whether a status sends the request on to its Location: 301, 302, 303, 307 or 308.
bool redirect_status(DWORD status);
// Whether hop number `hop` (from 1) of a redirect chain, to target, may be followed: 0; else
// DOWNLOAD_ERROR_INSECURE_REDIRECT when the chain began at a secure address and target is not
// one, or DOWNLOAD_ERROR_REDIRECT for a target that is neither http nor https, or a hop beyond
// DOWNLOAD_REDIRECTS_MAX.
int redirect_check(bool secure, const char* target, int hop);

// ---- validators ---------------------------------------------------------------------------------

// A response's validator: its ETag, else its Last-Modified ("" for an absent header, and when
// both are).
const char* response_validator(const char* etag, const char* last_modified);
// Whether a full response's validator may be sent back in If-Range, so that a 206 to it can only
// continue the same file: a strong ETag (a quoted tag of visible characters, never W/"..."); or,
// when there is no ETag at all, a Last-Modified that the response's Date shows to be at least a
// second old. A file changed twice within one second keeps its date, and without a Date nothing
// shows that it did not.
bool validator_strong(const char* etag, const char* last_modified, const char* date);
// Whether a resume's 206 continues the file: its own validator (response_validator) is the one
// the resume asked with (asked, not ""), and its Content-Range starts where the file ends
// (file_end) and names the same whole length.
bool partial_continues(const char* asked, const char* etag, const char* last_modified, const char* content_range,
                       uint64_t file_end, uint64_t length);
// Parses an HTTP date in its current form, "Sun, 06 Nov 1994 08:49:37 GMT", from 1970 on (the
// obsolete forms count as unreadable). True with the seconds since 1970-01-01 00:00:00.
bool parse_http_date(const char* text, uint64_t* seconds);
