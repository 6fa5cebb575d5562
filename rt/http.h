// HTTP GET through WinINet in its asynchronous mode, so that every wait for the network ends on a
// timeout or a cancel: a synchronous read waits for as long as the server stays silent, and
// closing its handles does not end it. One session serves one thread; http_cancel may come from
// any thread. Uses the system's proxy settings.
#pragma once

#include <windows.h>
#include <wininet.h>
#include <stdint.h>

// The most one read returns.
const DWORD HTTP_READ_SIZE = 16384;

// What one request's status callbacks report, and where its reads land. A read that is given up
// (a timeout, a cancel) may still be completed by the library after its request was closed, so
// the buffers live as long as the session, which lives as long as the process.
struct HttpCall {
    HANDLE done;               // auto-reset: the operation in flight completed
    volatile HINTERNET handle; // the request, as soon as the library made it
    DWORD_PTR result;
    DWORD error;
    volatile LONG plain_redirect; // a redirect of this request led to an address that is not https
    INTERNET_BUFFERSA buffers;
    uint8_t data[HTTP_READ_SIZE];
};

const int HTTP_CALLS = 4;

// Keep it for the life of the process (see HttpCall).
struct HttpSession {
    HINTERNET internet;
    HANDLE cancel;             // manual-reset, set by http_cancel
    HttpCall calls[HTTP_CALLS]; // used in turn: a late report of a closed request lands in its own
    int next_call;
};

// True when a redirect of the request led to an address that is not https.
bool http_redirected_to_plain(const struct HttpRequest* request);

// A request and the call record its reports go to.
struct HttpRequest {
    HINTERNET handle;
    HttpCall* call;
};

// 0 when the session is open; 1 otherwise (GetLastError). cancel is the event http_cancel sets;
// the session does not own it.
int http_session_open(HttpSession* session, const wchar_t* agent, HANDLE cancel);
void http_session_close(HttpSession* session);
// Sends a GET for url with extra request headers (CR LF separated; null for none) and waits up to
// timeout_ms for the response head. 0 with the request; else the error: ERROR_INTERNET_TIMEOUT,
// ERROR_CANCELLED, or the library's own.
int http_get(HttpSession* session, const wchar_t* url, const wchar_t* headers, DWORD flags, DWORD timeout_ms,
             HttpRequest* request);
// Waits up to timeout_ms until some of the body has arrived, or its end. 0 with the count that a
// read now takes at once (0: the end, or the library can't tell); else the error as for http_get.
int http_available(HttpSession* session, HttpRequest* request, DWORD timeout_ms, DWORD* available);
// Reads up to size (at most HTTP_READ_SIZE) bytes of the body; a read returns when all of them are
// there or the body ends, so ask http_available first where the body may trickle. Waits up to
// timeout_ms. 0 with the bytes (valid until the next read of the request) and their count, 0 at
// the end of the body; else the error as for http_get.
// waited tells whether the library had nothing at hand and the read had to wait for the network.
int http_read(HttpSession* session, HttpRequest* request, DWORD size, DWORD timeout_ms, const uint8_t** data,
              DWORD* got, bool* waited);
// Closes a request (null: nothing); an operation still in flight ends with it.
void http_close(HttpRequest* request);
