// The download addresses: whether one is secure, and how the log shows one.
#include "app/address.h"

#include "rt/text.h"

bool url_is_https(const char* url)
{
    return text_starts_with(url, "https://", true);
}

bool url_is_http(const char* url)
{
    return text_starts_with(url, "http://", true);
}

void address_without_credentials(const char* address, char* out, uint32_t size)
{
    if (size == 0) {
        return;
    }
    // The credentials end at the last "@" before the host's end ("/", "?" or "#").
    const char* host = address;
    const char* scheme_end = address;
    while (*scheme_end != '\0' && *scheme_end != '/' && *scheme_end != ':') {
        ++scheme_end;
    }
    if (scheme_end[0] == ':' && scheme_end[1] == '/' && scheme_end[2] == '/') {
        host = scheme_end + 3;
    }
    const char* credentials_end = nullptr;
    for (const char* p = host; *p != '\0' && *p != '/' && *p != '?' && *p != '#'; ++p) {
        if (*p == '@') {
            credentials_end = p;
        }
    }
    uint32_t length = 0;
    for (const char* p = address; *p != '\0' && length + 1 < size; ++p) {
        if (credentials_end && p == host) {
            p = credentials_end; // the "@" itself goes too
            continue;
        }
        out[length++] = *p;
    }
    out[length] = '\0';
}
