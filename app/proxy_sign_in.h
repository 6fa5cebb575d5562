// A proxy that asks for a sign-in (407 Proxy Authentication Required). WinINet answers it first
// with what the system already knows (the signed-in user's credentials for an NTLM or Negotiate
// proxy, credentials the user saved), as the requests are made without INTERNET_FLAG_NO_AUTH. When
// that does not settle it, the system's own proxy sign-in dialog is shown, once per run, owned by
// the splash, and the request is sent again with what the user entered: WinINet keeps those
// credentials on the request and gives them to the proxy alone. The program never reads them,
// logs them or writes them anywhere.
#pragma once

#include <windows.h>
#include <wininet.h>

#include "rt/http.h"

// One request that was answered with a 407.
struct ProxySignInAsk {
    HttpSession* session;
    HttpRequest* request;
    bool https;          // the request's own address is secure
    DWORD timeout_ms;    // for the response head of the request sent again
    int number;          // of the attempt, for the log
    const char* shown;   // the address as the log shows it
};

// Answers a 407: when it came from a proxy (proxy_asked) and this run has not shown the dialog yet,
// shows it and, after OK, sends the request again (http_send_again, its time limit timeout_ms).
// 0 when the request has its answer, the new one or the 407 that stands (not a proxy's, the
// dialog spent, the user cancelled): its status is to be read again; else the result (the
// download was cancelled, the request sent again timed out, or the system failed).
// user_ms: the time the dialog was up, which no time limit of the request counts.
int proxy_sign_in(const ProxySignInAsk* ask, DWORD* user_ms);

// Whether a 407 is a proxy's own. Over https: only when no TLS connection to the server exists
// yet (tunnel_made): a proxy answers the CONNECT before the tunnel exists, a server sent to directly
// is spoken to in TLS from the start, and a 407 from inside the tunnel comes from the server, which
// must never be given the proxy's credentials nor be able to show the dialog; whatever chose the
// proxy (the settings, a configuration script) does not matter. A plain request: only when it
// surely went through a proxy (through_proxy, from plain_requests_use_proxy).
bool proxy_asked(bool through_proxy, bool https, bool tunnel_made);

// Whether the system's proxy settings, as INTERNET_OPTION_PROXY gives them (the proxy list and the
// bypass list; null for none), send every plain http request through a proxy: a proxy for all
// schemes, or an "http=" entry among per-scheme ones, and no bypass entry but "<local>" (names
// without a dot, which no download address is). Otherwise a plain request may have gone straight to
// its server, a 407 may be that server's own, and the credentials typed in answer to it would go
// to that server: such a 407 shows no dialog.
bool plain_requests_use_proxy(const wchar_t* proxy, const wchar_t* bypass);

// Shows the system's proxy sign-in dialog for request, owned by owner (the splash, or a hidden
// window of the worker's own without one), and returns what InternetErrorDlg returns
// (ERROR_INTERNET_FORCE_RETRY after OK; ERROR_CANCELLED, or 0, after Cancel). Called on the download worker's thread, which the dialog's modal loop then runs on.
// Tests replace it.
extern DWORD (*proxy_sign_in_prompt)(HWND owner, HINTERNET request);

// Lets a new run show the dialog again (tests).
void proxy_sign_in_forget();
