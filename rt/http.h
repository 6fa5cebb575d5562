// HTTP GET through WinINet whose every wait ends on a time limit or a cancel. WinINet's blocking
// calls are made on a reader thread of each request's own, and the thread that asked waits for
// them with a limit: a blocking read waits for as long as the server stays silent, whatever
// receive timeout it was given, and closing its handles does not end it (seen under Wine). A
// reader that is given up on is left to finish, or to end with the process, and cleans up after
// itself. (WinINet's asynchronous mode would do without the threads, but the 32-bit Wine that
// the shipping build is tested under crashes in it.) One session serves one asking thread; the
// cancel event may be set from any thread. Uses the system's proxy settings.
#pragma once

#include <windows.h>
#include <wininet.h>
#include <stdint.h>

// The most one read returns.
const DWORD HTTP_READ_SIZE = 16384;

struct HttpChannel; // a request's reader thread and what it shares with the asker

struct HttpSession {
    HINTERNET internet;
    HANDLE cancel;          // manual-reset; not owned
};

struct HttpRequest {
    HINTERNET handle;       // null until the request was made
    HttpChannel* channel;   // null when there is none, or it was given up on
};

// 0 when the session is open; 1 otherwise (GetLastError).
int http_session_open(HttpSession* session, const wchar_t* agent, HANDLE cancel);
void http_session_close(HttpSession* session);
// Sends a GET for url with extra request headers (CR LF separated; null for none) and waits up to
// timeout_ms for the response head. 0 with the request; else the error: ERROR_INTERNET_TIMEOUT,
// ERROR_CANCELLED, or the library's own. The request is to be closed with http_close either way.
int http_get(HttpSession* session, const wchar_t* url, const wchar_t* headers, DWORD flags, DWORD timeout_ms,
             HttpRequest* request);
// Waits up to timeout_ms until some of the body has arrived, or its end. 0 with the count that a
// read now takes at once (0: the end, or the library can't tell); else the error as for http_get.
int http_available(HttpSession* session, HttpRequest* request, DWORD timeout_ms, DWORD* available);
// Reads up to size (at most HTTP_READ_SIZE) bytes of the body; a read returns when all of them are
// there or the body ends, so ask http_available first where the body may trickle. Waits up to
// timeout_ms. 0 with the bytes (valid until the next call for the request) and their count, 0 at
// the end of the body; else the error as for http_get. waited tells whether the read took long
// enough to have waited for the network.
int http_read(HttpSession* session, HttpRequest* request, DWORD size, DWORD timeout_ms, const uint8_t** data,
              DWORD* got, bool* waited);
// Ends a request: its reader closes it and goes, now or when its call returns.
void http_close(HttpRequest* request);
