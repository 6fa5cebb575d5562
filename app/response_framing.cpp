// How a response is framed, read so that it means one thing only: its Content-Length from every
// instance of the field, and its status line as it came.
#include "app/response_framing.h"

#include "app/download_policy.h"
#include "app/download_request.h"
#include "rt/heap.h"

// Takes the numbers of one Content-Length field's text, comma-separated values included, into
// *length. False when one differs from a number taken before.
static bool take_length_values(char* text, bool* known, uint64_t* length)
{
    for (char* value = text; value;) {
        char* comma = value;
        while (*comma && *comma != ',') {
            ++comma;
        }
        char* next = *comma ? comma + 1 : nullptr;
        while (comma > value && (comma[-1] == ' ' || comma[-1] == '\t')) {
            --comma;
        }
        *comma = '\0';
        while (*value == ' ' || *value == '\t') {
            ++value;
        }
        uint64_t number = 0;
        if (parse_content_length(value, &number)) { // anything else is not a length, as ever
            if (*known && number != *length) {
                return false;
            }
            *known = true;
            *length = number;
        }
        value = next;
    }
    return true;
}

// The response's Content-Length, from every instance of the field (the library answers the first
// one alone): two that differ leave the body's end to whichever one a parser on the way believed,
// so they fail the attempt. The same number twice is one length. 0, or DOWNLOAD_ERROR_FRAMING.
int response_length(HINTERNET request, bool* known, uint64_t* length)
{
    *known = false;
    for (DWORD index = 0, asked = 0;; asked = index) {
        char text[HEADER_TEXT_SIZE];
        DWORD size = sizeof text - 1;
        if (!HttpQueryInfoA(request, HTTP_QUERY_CONTENT_LENGTH, text, &size, &index)) {
            // No more instances; or one too long to be any length, behind which others would hide.
            return GetLastError() == ERROR_INSUFFICIENT_BUFFER ? DOWNLOAD_ERROR_FRAMING : 0;
        }
        text[size < sizeof text ? size : sizeof text - 1] = '\0';
        if (!take_length_values(text, known, length)) {
            return DOWNLOAD_ERROR_FRAMING;
        }
        if (index == asked) {
            return 0; // a library that does not move on: nothing more to read
        }
    }
}

// Whether a status line reads one way only: "HTTP/1." and a digit, a space, three digits, and
// the end or a space before the reason. A code written otherwise ("2OO") is read as one number
// by one parser and as another, or as none, by the next.
static bool status_line_sound(const char* line)
{
    static const char VERSION[] = "HTTP/1.";
    for (uint32_t i = 0; i < sizeof VERSION - 1; ++i) {
        if (line[i] != VERSION[i]) {
            return false;
        }
    }
    const char* at = line + sizeof VERSION - 1;
    bool digits = at[0] >= '0' && at[0] <= '9' && at[1] == ' ';
    for (int i = 2; digits && i < 5; ++i) {
        digits = at[i] >= '0' && at[i] <= '9';
    }
    return digits && (at[5] == '\0' || at[5] == ' ');
}

// The response's status line as it came (the first of its raw header lines). 0 when it is sound;
// DOWNLOAD_ERROR_FRAMING, or the result of a failed query.
int response_status_line(HINTERNET request)
{
    DWORD size = 0;
    if (HttpQueryInfoA(request, HTTP_QUERY_RAW_HEADERS, nullptr, &size, nullptr) ||
        GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        return DOWNLOAD_ERROR_FRAMING; // no head to read
    }
    char* raw = (char*)heap_alloc((size_t)size + 1);
    if (!raw) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    int result = 0;
    if (!HttpQueryInfoA(request, HTTP_QUERY_RAW_HEADERS, raw, &size, nullptr)) {
        result = last_error_result();
    } else {
        raw[size] = '\0'; // the lines are NUL-separated: the first ends at the first NUL
        result = status_line_sound(raw) ? 0 : DOWNLOAD_ERROR_FRAMING;
    }
    heap_free(raw);
    return result;
}
