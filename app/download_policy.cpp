// What the download decides without the network.
#include "app/download_policy.h"

#include "app/address.h"
#include "rt/text.h"

static const char RANGE_UNIT[] = "bytes ";
static const uint32_t RANGE_NUMBER_MAX_DIGITS = 19; // any such number fits in 64 bits
static const uint32_t CONTENT_LENGTH_MAX_DIGITS = 20;

DownloadTimings download_timings = {1000, 3000, 30000, 30000, 30000};

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
                            result == DOWNLOAD_ERROR_DIGEST || download_verdict(result, 0) == VERDICT_STOP;
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
