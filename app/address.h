// The download addresses: whether one is secure, and how the log shows one.
#pragma once

#include <stdint.h>

// True when url begins with "https://", in any case: the system's HTTP library reads the scheme
// without regard to case, so "HTTPS://" is as secure as "https://".
bool url_is_https(const char* url);
// True when url begins with "http://", in any case.
bool url_is_http(const char* url);
// Copies the address into out (size bytes, NUL-terminated) without the user name and password
// that it may carry before its host.
void address_without_credentials(const char* address, char* out, uint32_t size);
