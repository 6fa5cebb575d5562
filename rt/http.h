// HTTP GET through WinINet whose every wait ends on a time limit or a cancel. WinINet's blocking
// calls are made on a reader thread of each request's own, and the thread that asked waits for
// them with a limit: a blocking InternetReadFile waits for as long as the server stays silent (a
// receive timeout does not bound it reliably), and InternetCloseHandle may not be called while a
// call on that handle is in flight, so a blocking call can only be abandoned by leaving it to a
// thread of its own. A reader that is given up on is left to finish, or to end with the process,
// and cleans up after itself. The program keeps to WinINet's synchronous mode: the asynchronous
// one would do without the threads, but its callbacks bring lifetime problems of their own on a
// handle being closed. One session serves one asking thread; the cancel event may be set from
// any thread. Uses the system's proxy settings.
//
// The library's session handle stays open while any reader of its requests lives, whoever closed
// the session: closing a parent handle closes its requests under the readers still blocked in
// them, their handle values are then handed out again to later requests, and a reader that woke
// up would close someone else's request.
#pragma once

#include <windows.h>
#include <wininet.h>
#include <stdint.h>

// The most one read returns, and the size of the library reads it is made of.
const DWORD HTTP_READ_SIZE = 262144;
const DWORD HTTP_CHUNK_SIZE = 16384;

struct HttpChannel; // a request's reader thread and what it shares with the asker
struct HttpRoot;    // the library's session handle and how many hold it

struct HttpSession {
    HttpRoot* root;         // null when closed
    HANDLE cancel;          // manual-reset; not owned
};

struct HttpRequest {
    HINTERNET handle;       // null until the request was made
    HttpChannel* channel;   // null when there is none, or it was given up on
};

// 0 when the session is open; 1 otherwise (GetLastError).
int http_session_open(HttpSession* session, const wchar_t* agent, HANDLE cancel);
// Lets go of the session; the library's handle goes with the last reader of its requests.
void http_session_close(HttpSession* session);
// Sends a GET for url with extra request headers (CR LF separated; null for none) and waits up to
// timeout_ms for the response head. 0 with the request; else 1 with the last error set:
// ERROR_INTERNET_TIMEOUT, ERROR_CANCELLED, or the library's own (0 when it gave none). The request
// is to be closed with http_close either way.
int http_get(HttpSession* session, const wchar_t* url, const wchar_t* headers, DWORD flags, DWORD timeout_ms,
             HttpRequest* request);
// Reads the next part of the body, waiting up to timeout_ms. While the body streams (the caller
// says so: the last read came back at once with half a chunk or more) the reader takes chunk
// after chunk as long as they come at once, up to HTTP_READ_SIZE, so that the hand-over between
// the threads is paid rarely; otherwise it waits until something has arrived and takes just that,
// so that a slow body still moves. A read whose reader has not come back within about 100 ms
// returns what the reader has taken in so far, whole chunks, and the next call goes on with that
// same read: a pause in a fast body holds back at most the chunk being read. 0 with the bytes
// (valid until the next call for the request) and their count, 0 at the end of the body; else 1
// with the last error as for http_get. waited tells whether the read took long enough to have
// waited for the network. timeout_ms bounds each call; a read given up on ends the request.
int http_read(HttpSession* session, HttpRequest* request, bool streaming, DWORD timeout_ms, const uint8_t** data,
              DWORD* got, bool* waited);
// Sends the request again on its own handle, with what it carries since (the credentials a sign-in
// set on it), and waits up to timeout_ms for the new response head. 0; else 1 as for http_get
// (after a time-out or a cancel the request is given up on, as there).
int http_send_again(HttpSession* session, HttpRequest* request, DWORD timeout_ms);
// The address a redirect sends the request on to: its Location, resolved against url (the address
// that answered) as a relative reference, into out (units UTF-16 units; not url itself). 0; else 1
// with the last error. A request made with INTERNET_FLAG_NO_AUTO_REDIRECT answers a redirect
// with its own status, so that the asker can judge each hop before anything is asked of it.
int http_location(HINTERNET request, const wchar_t* url, wchar_t* out, DWORD units);
// Ends a request: its reader closes it and goes, now or when its call returns.
void http_close(HttpRequest* request);
// Reader threads that have not finished yet, given up on or not (for tests that must not end
// the process under a reader).
LONG http_readers_alive();
