// How a response is framed: what a parser on the way could read in more than one way fails the
// attempt (DOWNLOAD_ERROR_FRAMING), as the body's end or the answer's meaning would then be
// whichever one that parser believed.
#pragma once

#include <windows.h>
#include <wininet.h>
#include <stdint.h>

// The response's Content-Length from every instance of the field, comma-separated values included
// (the library answers the first one alone). 0 with known and length (known false without one);
// DOWNLOAD_ERROR_FRAMING for values that differ, or one too long to be read. The same number twice
// is one length.
int response_length(HINTERNET request, bool* known, uint64_t* length);
// 0 when the response's status line reads one way only: "HTTP/1." and a digit, a space, three
// digits, and the end or a space before the reason; else DOWNLOAD_ERROR_FRAMING, or the result of
// a failed query.
int response_status_line(HINTERNET request);
