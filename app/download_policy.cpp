// What the download decides without the network.
#include "app/download_policy.h"

#include "app/address.h"
#include "rt/file.h"
#include "rt/text.h"

static const char RANGE_UNIT[] = "bytes ";
static const uint32_t RANGE_NUMBER_MAX_DIGITS = 19; // any such number fits in 64 bits
static const uint32_t CONTENT_LENGTH_MAX_DIGITS = 20;

// The floor: a body that brings less than 500 bytes a second over 30 s would take more than 13
// hours for a setup program of 24 MB, which no user waits for, while the slowest links still in
// use (a weak mobile signal, about 2 KB/s and up) stay well above it. A server that sends a byte
// just before each silence limit runs out keeps a connection alive without end: measured over the
// limit's window, such a body stalls, and is resumed as any stall is.
DownloadTimings download_timings = {1000, 3000, 30000, 30000, 30000, 500};

// 256 MiB stay free: a disk filled to the last byte by the download leaves the system, and the
// setup program it starts, without room to work.
DownloadRoom download_room = {256ull << 20, disk_free_bytes};

uint64_t room_for_body(uint64_t free_bytes, uint64_t reserve)
{
    return free_bytes > reserve ? free_bytes - reserve : 0;
}

uint64_t floor_bytes(DWORD floor_bytes_per_second, DWORD window_ms)
{
    uint64_t bytes = (uint64_t)floor_bytes_per_second * window_ms / 1000;
    return bytes ? bytes : 1;
}

bool address_may_be_asked(const char* url, bool pinned)
{
    return pinned || url_is_https(url);
}

DownloadVerdict download_verdict(int result, DWORD status)
{
    if (result == ERROR_DISK_FULL || result == ERROR_HANDLE_DISK_FULL) {
        return VERDICT_STOP;
    }
    if (result == DOWNLOAD_ERROR_DIGEST) {
        return VERDICT_RULED_OUT; // this address serves another file than the one pinned
    }
    if (result == DOWNLOAD_ERROR_NO_ROOM) {
        return VERDICT_RULED_OUT; // its file does not fit; another address's may
    }
    // A timeout or a "too many" says nothing about the file: those are worth asking again.
    bool passing = status == HTTP_STATUS_REQUEST_TIMEOUT || status == HTTP_STATUS_TOO_MANY_REQUESTS;
    if (result == DOWNLOAD_ERROR_STATUS && status >= 400 && status <= 499 && !passing) {
        return VERDICT_RULED_OUT; // gone, forbidden, or asked for wrongly: asking again won't help
    }
    return VERDICT_RETRY;
}

bool download_resumable(int result, bool body_came, bool length_known, bool has_validator)
{
    bool answered_wrongly = result == DOWNLOAD_ERROR_CANCELLED || result == DOWNLOAD_ERROR_STATUS ||
                            result == DOWNLOAD_ERROR_NOT_PROGRAM || result == DOWNLOAD_ERROR_INSECURE_REDIRECT ||
                            result == DOWNLOAD_ERROR_REDIRECT || result == DOWNLOAD_ERROR_DIGEST ||
                            result == DOWNLOAD_ERROR_NO_ROOM || result == DOWNLOAD_ERROR_FRAMING ||
                            result == DOWNLOAD_ERROR_TRUNCATED || download_verdict(result, 0) == VERDICT_STOP;
    return !answered_wrongly && body_came && length_known && has_validator;
}

static const char* skip_spaces(const char* text)
{
    while (*text == ' ') {
        ++text;
    }
    return text;
}

DWORD retry_after_ms(const char* text, DWORD limit_ms)
{
    uint64_t seconds = 0;
    text = skip_spaces(text);
    uint32_t digits = parse_decimal(text, &seconds);
    text = skip_spaces(text + digits);
    if (digits == 0 || *text != '\0') {
        return 0; // an HTTP date, or nonsense: the usual wait applies
    }
    // seconds * 1000 exceeds the limit exactly when seconds exceeds limit / 1000: no product wraps.
    return seconds > limit_ms / 1000 ? limit_ms : (DWORD)seconds * 1000;
}

DWORD round_wait_ms(int round, uint32_t random)
{
    DWORD base = round <= 1 ? download_timings.first_round_wait : download_timings.later_round_wait;
    // base * (0.75 .. 1.25): a quarter of base, scaled by random over its whole range, either way.
    uint64_t spread = (uint64_t)(base / 2) * random / 0xFFFFFFFFu;
    return base - base / 4 + (DWORD)spread;
}

static bool parse_range_number(const char** text, uint64_t* value)
{
    uint32_t digits = parse_decimal(*text, value);
    *text += digits;
    return digits > 0 && digits <= RANGE_NUMBER_MAX_DIGITS;
}

bool parse_content_range(const char* text, uint64_t* start, uint64_t* total)
{
    if (!text_starts_with(text, RANGE_UNIT, false)) {
        return false;
    }
    text += sizeof RANGE_UNIT - 1;
    uint64_t end = 0;
    if (!parse_range_number(&text, start) || *text++ != '-' || !parse_range_number(&text, &end) ||
        *text++ != '/' || !parse_range_number(&text, total) || *text != '\0') {
        return false;
    }
    return *start <= end && end < *total;
}

bool parse_content_length(const char* text, uint64_t* value)
{
    uint32_t digits = parse_decimal(text, value);
    return digits > 0 && digits <= CONTENT_LENGTH_MAX_DIGITS && text[digits] == '\0';
}

bool redirect_status(DWORD status)
{
    return (status >= HTTP_STATUS_MOVED && status <= HTTP_STATUS_REDIRECT_METHOD) ||
           status == HTTP_STATUS_REDIRECT_KEEP_VERB || status == HTTP_STATUS_PERMANENT_REDIRECT;
}

int redirect_check(bool secure, const char* target, int hop)
{
    bool https = url_is_https(target);
    if (secure && !https) {
        return DOWNLOAD_ERROR_INSECURE_REDIRECT;
    }
    return (https || url_is_http(target)) && hop <= DOWNLOAD_REDIRECTS_MAX ? 0 : DOWNLOAD_ERROR_REDIRECT;
}

const char* response_validator(const char* etag, const char* last_modified)
{
    return etag[0] ? etag : last_modified;
}

// A quoted tag of visible characters (RFC 9110 entity-tag); W/"..." and anything else is no strong
// one. Such a tag can't carry a line break into the request it is sent back in.
static bool strong_etag(const char* etag)
{
    if (*etag++ != '"') {
        return false;
    }
    for (; *etag != '"'; ++etag) {
        uint8_t ch = (uint8_t)*etag;
        if (ch < 0x21 || ch == 0x7F) {
            return false; // the end of the text included
        }
    }
    return etag[1] == '\0';
}

bool validator_strong(const char* etag, const char* last_modified, const char* date)
{
    if (etag[0]) {
        return strong_etag(etag); // with an ETag, a date never stands in (RFC 9110 If-Range)
    }
    uint64_t modified = 0;
    uint64_t now = 0;
    return parse_http_date(last_modified, &modified) && parse_http_date(date, &now) && now > modified;
}

static bool same_text(const char* a, const char* b)
{
    while (*a && *a == *b) {
        ++a;
        ++b;
    }
    return *a == *b;
}

bool partial_continues(const char* asked, const char* etag, const char* last_modified, const char* content_range,
                       uint64_t file_end, uint64_t length)
{
    uint64_t start = 0;
    uint64_t total = 0;
    return asked[0] && same_text(asked, response_validator(etag, last_modified)) &&
           parse_content_range(content_range, &start, &total) && start == file_end && total == length;
}

// Reads `digits` decimal digits at text. False when one is missing.
static bool fixed_number(const char* text, uint32_t digits, uint32_t* value)
{
    *value = 0;
    for (uint32_t i = 0; i < digits; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return false;
        }
        *value = *value * 10 + (uint32_t)(text[i] - '0');
    }
    return true;
}

// Index of the three letters at text among names (three letters each), or -1.
static int name_index(const char* text, const char* names)
{
    for (int i = 0; names[3 * i]; ++i) {
        if (text[0] == names[3 * i] && text[1] == names[3 * i + 1] && text[2] == names[3 * i + 2]) {
            return i;
        }
    }
    return -1;
}

bool parse_http_date(const char* text, uint64_t* seconds)
{
    // Lower-case letters of the layout stand for a field; everything else must be there as it is.
    static const char LAYOUT[] = "www, dd mmm yyyy hh:mm:ss GMT";
    for (uint32_t i = 0; i < sizeof LAYOUT - 1; ++i) {
        bool field = LAYOUT[i] >= 'a' && LAYOUT[i] <= 'z';
        if (field ? text[i] == '\0' : text[i] != LAYOUT[i]) {
            return false;
        }
    }
    uint32_t day = 0, year = 0, hour = 0, minute = 0, second = 0;
    int month = name_index(text + 8, "JanFebMarAprMayJunJulAugSepOctNovDec");
    if (text[sizeof LAYOUT - 1] != '\0' || name_index(text, "MonTueWedThuFriSatSun") < 0 || month < 0 ||
        !fixed_number(text + 5, 2, &day) || !fixed_number(text + 12, 4, &year) ||
        !fixed_number(text + 17, 2, &hour) || !fixed_number(text + 20, 2, &minute) ||
        !fixed_number(text + 23, 2, &second) || day < 1 || day > 31 || year < 1970 || hour > 23 ||
        minute > 59 || second > 60) {
        return false;
    }
    // Days from 0000-03-01, the year taken from March so that a leap day ends it.
    uint32_t y = year - (month < 2 ? 1 : 0);
    uint32_t from_march = (uint32_t)(month < 2 ? month + 10 : month - 2);
    uint64_t days = (uint64_t)y * 365 + y / 4 - y / 100 + y / 400 + (153 * from_march + 2) / 5 + day - 1;
    const uint64_t DAYS_TO_1970 = 719468;
    *seconds = (days - DAYS_TO_1970) * 86400 + hour * 3600 + minute * 60 + second;
    return true;
}
