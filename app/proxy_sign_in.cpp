// The proxy's sign-in: which 407 is a proxy's, the system's sign-in dialog on the worker's thread
// (owned by the splash, ended by a cancel), and the request sent again with what the user entered.
//
// The dialog runs on the download worker's thread, which owns the request: no other thread ever
// touches the request's handle, so nothing can close it under the dialog, and the splash's thread
// keeps its own message loop (the splash still paints and can still be closed). A modal dialog
// has a loop of its own that the worker can't wait in, so a timer of the worker's thread, which
// that loop dispatches, watches the download's cancel and ends the dialog as its Cancel would.
// The same code serves a run without a splash, whose main thread waits for the worker and runs
// no loop at all: a hidden window of the worker's own owns the dialog then.
#include "app/proxy_sign_in.h"

#include "app/download.h"
#include "app/install_log.h"
#include "app/download_request.h"
#include "app/worker_report.h"

namespace {

const UINT CANCEL_WATCH_MS = 100;
const wchar_t DIALOG_CLASS[] = L"#32770";

// Once per run: a user who said no, or whose sign-in the proxy refused, is not asked again.
volatile LONG prompted;

DWORD system_prompt(HWND owner, HINTERNET request)
{
    return InternetErrorDlg(owner, request, ERROR_INTERNET_INCORRECT_PASSWORD,
                            FLAGS_ERROR_UI_FLAGS_GENERATE_DATA | FLAGS_ERROR_UI_FLAGS_CHANGE_OPTIONS |
                                FLAGS_ERROR_UI_FILTER_FOR_ERRORS,
                            nullptr);
}

bool is_separator(wchar_t c)
{
    return c == L';' || c == L',' || c == L' ' || c == L'\t' || c == L'\r' || c == L'\n';
}

// The next entry of a list at *at (moved past it); its length, 0 at the end.
int next_entry(const wchar_t** at, const wchar_t** entry)
{
    const wchar_t* p = *at;
    while (*p && is_separator(*p)) {
        ++p;
    }
    *entry = p;
    while (*p && !is_separator(*p)) {
        ++p;
    }
    *at = p;
    return (int)(p - *entry);
}

// Whether entry (length characters) begins with prefix, in any case (ASCII).
bool begins_with(const wchar_t* entry, int length, const wchar_t* prefix)
{
    for (int i = 0; prefix[i]; ++i) {
        wchar_t c = i < length ? entry[i] : 0;
        if ((c >= L'A' && c <= L'Z' ? c + 32 : c) != prefix[i]) {
            return false;
        }
    }
    return true;
}

// Whether a plain request was surely sent through a proxy, as the system's settings give it.
bool through_proxy(HINTERNET request)
{
    union {
        INTERNET_PROXY_INFO info;
        BYTE bytes[2048];
    } proxy; // read only after the query succeeded
    DWORD length = sizeof proxy;
    if (!InternetQueryOptionW(request, INTERNET_OPTION_PROXY, &proxy, &length) ||
        proxy.info.dwAccessType != INTERNET_OPEN_TYPE_PROXY) {
        return false;
    }
    return plain_requests_use_proxy((const wchar_t*)proxy.info.lpszProxy, (const wchar_t*)proxy.info.lpszProxyBypass);
}

// Whether a TLS connection to the server exists for the request: the request then reports its
// transfers as secure. A proxy's answer to the CONNECT comes before it. (The server's certificate
// chain is no sign: the library may hand out one from an earlier connection to the same server.)
bool tunnel_made(HINTERNET request)
{
    DWORD flags = 0;
    DWORD length = sizeof flags;
    bool known = InternetQueryOptionW(request, INTERNET_OPTION_SECURITY_FLAGS, &flags, &length);
    return !known || (flags & SECURITY_FLAG_SECURE) != 0; // in doubt, no dialog
}

DWORD status_of(HINTERNET request)
{
    DWORD status = 0;
    DWORD size = sizeof status;
    return HttpQueryInfoW(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, nullptr)
               ? status
               : 0;
}

BOOL CALLBACK cancel_dialog(HWND window, LPARAM)
{
    wchar_t name[16];
    if (GetClassNameW(window, name, 16) && lstrcmpW(name, DIALOG_CLASS) == 0) {
        (void)PostMessageW(window, WM_COMMAND, IDCANCEL, 0); // a window already gone needs nothing
    }
    return TRUE;
}

// On the worker's thread, from the dialog's own loop: a cancelled download ends the dialog.
void CALLBACK watch_cancel(HWND, UINT, UINT_PTR, DWORD)
{
    if (download_cancelled()) {
        (void)EnumThreadWindows(GetCurrentThreadId(), cancel_dialog, 0); // the worker shows no other window
    }
}

// A window of the worker's own to own the dialog when there is no splash (its artwork failed):
// the dialog needs an owner window to be shown at all, and the user is there all the same (a
// proxy that asks for a sign-in would otherwise fail every such run). Hidden, so that it shows
// nothing but the dialog, and disabled by it instead of anything of the user's. Null when the
// system could not make one.
HWND stand_in_owner()
{
    return CreateWindowExW(0, L"STATIC", L"Quorvel Web Installer", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                           GetModuleHandleW(nullptr), nullptr);
}

// The dialog, owned by the splash once it is shown. What it returned; ERROR_CANCELLED when the
// download was cancelled first.
DWORD show_prompt(HINTERNET request)
{
    HWND owner = splash_window_when_shown();
    if (download_cancelled()) {
        return ERROR_CANCELLED;
    }
    HWND stand_in = owner ? nullptr : stand_in_owner();
    UINT_PTR timer = SetTimer(nullptr, 0, CANCEL_WATCH_MS, watch_cancel);
    DWORD answer = ERROR_NOT_ENOUGH_MEMORY;
    if (timer && (owner || stand_in)) { // without the timer, a cancel could not end the dialog
        answer = proxy_sign_in_prompt(owner ? owner : stand_in, request);
    }
    if (timer) {
        (void)KillTimer(nullptr, timer);
    }
    if (stand_in) {
        (void)DestroyWindow(stand_in);
    }
    return answer;
}

void log_outcome(const ProxySignInAsk* ask, const char* outcome)
{
    install_log("attempt %d %s: %s", ask->number, ask->shown, outcome);
}

} // namespace

DWORD (*proxy_sign_in_prompt)(HWND owner, HINTERNET request) = system_prompt;

bool plain_requests_use_proxy(const wchar_t* proxy, const wchar_t* bypass)
{
    if (!proxy || !proxy[0]) {
        return false;
    }
    const wchar_t* entry = nullptr;
    bool per_scheme = false;
    bool plain_named = false;
    for (const wchar_t* at = proxy; int n = next_entry(&at, &entry);) {
        bool scheme_entry = false;
        for (int i = 0; i < n; ++i) {
            scheme_entry = scheme_entry || entry[i] == L'=';
        }
        per_scheme = per_scheme || scheme_entry;
        plain_named = plain_named || (begins_with(entry, n, L"http=") && n > 5);
    }
    if (per_scheme && !plain_named) {
        return false;
    }
    for (const wchar_t* at = bypass ? bypass : L""; int n = next_entry(&at, &entry);) {
        if (n != 7 || !begins_with(entry, n, L"<local>")) {
            return false;
        }
    }
    return true;
}

bool proxy_asked(bool through_proxy, bool https, bool tunnel_made)
{
    return https ? !tunnel_made : through_proxy;
}

void proxy_sign_in_forget()
{
    InterlockedExchange(&prompted, 0);
}

int proxy_sign_in(const ProxySignInAsk* ask, DWORD* user_ms)
{
    *user_ms = 0;
    HINTERNET request = ask->request->handle;
    bool https = ask->https;
    if (!proxy_asked(!https && through_proxy(request), https, https && tunnel_made(request))) {
        log_outcome(ask, "a 407 not known to be a proxy's: no sign-in");
        return 0;
    }
    if (InterlockedExchange(&prompted, 1) != 0) {
        log_outcome(ask, "proxy asked for a sign-in again: not asked again in this run");
        return 0;
    }
    log_outcome(ask, "proxy asked for a sign-in");
    DWORD shown = GetTickCount();
    DWORD answer = show_prompt(request);
    *user_ms = GetTickCount() - shown;
    if (download_cancelled()) {
        return DOWNLOAD_ERROR_CANCELLED;
    }
    if (answer != ERROR_INTERNET_FORCE_RETRY) {
        if (answer == ERROR_CANCELLED || answer == ERROR_SUCCESS) { // Cancel, also when reported as nothing done
            log_outcome(ask, "proxy sign-in cancelled");
        } else {
            install_log_failure("proxy sign-in not shown", answer);
        }
        return 0; // the 407 stands
    }
    if (http_send_again(ask->session, ask->request, ask->timeout_ms) != 0) {
        return download_failure(last_error_result());
    }
    log_outcome(ask, status_of(ask->request->handle) == HTTP_STATUS_PROXY_AUTH_REQ ? "proxy sign-in refused again"
                                                                                  : "proxy signed in");
    return 0;
}
