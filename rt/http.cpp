#include "rt/http.h"

namespace {

void CALLBACK status_callback(HINTERNET handle, DWORD_PTR context, DWORD status, void* information, DWORD length)
{
    HttpCall* call = (HttpCall*)context;
    if (!call || !information) {
        return;
    }
    if (status == INTERNET_STATUS_REDIRECT) {
        // The new address, as text: anything but https counts, whatever WinINet would allow.
        const wchar_t* target = (const wchar_t*)information;
        bool secure = length >= 6 * sizeof(wchar_t) && (target[0] | 32) == L'h' && (target[1] | 32) == L't' &&
                      (target[2] | 32) == L't' && (target[3] | 32) == L'p' && (target[4] | 32) == L's' &&
                      target[5] == L':';
        if (!secure) {
            InterlockedExchange(&call->plain_redirect, 1);
        }
        return;
    }
    const INTERNET_ASYNC_RESULT* outcome = (const INTERNET_ASYNC_RESULT*)information;
    if (status == INTERNET_STATUS_HANDLE_CREATED) {
        call->handle = (HINTERNET)outcome->dwResult;
    } else if (status == INTERNET_STATUS_REQUEST_COMPLETE) {
        call->result = outcome->dwResult;
        call->error = outcome->dwError;
        SetEvent(call->done);
    }
}

// Waits for the call's completion, the cancel or the time limit. 0 when the call completed.
int wait_call(HttpSession* session, HttpCall* call, DWORD timeout_ms)
{
    HANDLE events[2] = {call->done, session->cancel};
    DWORD woke = WaitForMultipleObjects(2, events, FALSE, timeout_ms);
    if (woke == WAIT_OBJECT_0) {
        return 0;
    }
    if (woke == WAIT_OBJECT_0 + 1) {
        return ERROR_CANCELLED;
    }
    return woke == WAIT_TIMEOUT ? ERROR_INTERNET_TIMEOUT : (int)GetLastError();
}

bool cancelled(const HttpSession* session)
{
    return WaitForSingleObject(session->cancel, 0) == WAIT_OBJECT_0;
}

} // namespace

int http_session_open(HttpSession* session, const wchar_t* agent, HANDLE cancel)
{
    session->cancel = cancel;
    for (HttpCall& call : session->calls) {
        if (!call.done) {
            call.done = CreateEventW(nullptr, FALSE, FALSE, nullptr);
            if (!call.done) {
                return 1;
            }
        }
    }
    session->internet = InternetOpenW(agent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, INTERNET_FLAG_ASYNC);
    if (!session->internet) {
        return 1;
    }
    // The previous callback is returned; INTERNET_INVALID_STATUS_CALLBACK means it was refused.
    if (InternetSetStatusCallbackW(session->internet, status_callback) == INTERNET_INVALID_STATUS_CALLBACK) {
        InternetCloseHandle(session->internet);
        session->internet = nullptr;
        return 1;
    }
    return 0;
}

void http_session_close(HttpSession* session)
{
    if (session->internet) {
        (void)InternetCloseHandle(session->internet); // its requests close with it
        session->internet = nullptr;
    }
}

int http_get(HttpSession* session, const wchar_t* url, const wchar_t* headers, DWORD flags, DWORD timeout_ms,
             HttpRequest* request)
{
    request->handle = nullptr;
    request->call = nullptr;
    if (cancelled(session)) {
        return ERROR_CANCELLED;
    }
    HttpCall* call = &session->calls[session->next_call];
    session->next_call = (session->next_call + 1) % HTTP_CALLS;
    ResetEvent(call->done);
    call->handle = nullptr;
    call->result = 0;
    call->error = 0;
    call->plain_redirect = 0;
    request->call = call;

    HINTERNET handle = InternetOpenUrlW(session->internet, url, headers, headers ? (DWORD)-1 : 0, flags, (DWORD_PTR)call);
    if (!handle) {
        DWORD error = GetLastError();
        if (error != ERROR_IO_PENDING) {
            return error ? (int)error : -1;
        }
        int waited = wait_call(session, call, timeout_ms);
        if (waited != 0) {
            request->handle = call->handle; // made but not answered: closed by the caller
            return waited;
        }
        if (!call->result) {
            return call->error ? (int)call->error : -1;
        }
        handle = (HINTERNET)call->result;
    }
    request->handle = handle;
    return 0;
}

int http_available(HttpSession* session, HttpRequest* request, DWORD timeout_ms, DWORD* available)
{
    *available = 0;
    HttpCall* call = request->call;
    DWORD started = GetTickCount();
    for (;;) {
        if (cancelled(session)) {
            return ERROR_CANCELLED;
        }
        ResetEvent(call->done);
        if (InternetQueryDataAvailable(request->handle, available, 0, (DWORD_PTR)call)) {
            return 0;
        }
        DWORD error = GetLastError();
        if (error != ERROR_IO_PENDING) {
            return error ? (int)error : -1;
        }
        DWORD waited = GetTickCount() - started;
        int result = wait_call(session, call, waited >= timeout_ms ? 0 : timeout_ms - waited);
        if (result != 0) {
            return result;
        }
        if (!call->result) {
            return call->error ? (int)call->error : -1;
        }
        // Something arrived: asking again answers at once, with the count.
    }
}

int http_read(HttpSession* session, HttpRequest* request, DWORD size, DWORD timeout_ms, const uint8_t** data,
              DWORD* got, bool* waited)
{
    *got = 0;
    *waited = false;
    *data = nullptr;
    if (cancelled(session)) {
        return ERROR_CANCELLED;
    }
    HttpCall* call = request->call;
    call->buffers = {};
    call->buffers.dwStructSize = sizeof call->buffers;
    call->buffers.lpvBuffer = call->data;
    call->buffers.dwBufferLength = size < HTTP_READ_SIZE ? size : HTTP_READ_SIZE;
    ResetEvent(call->done);
    if (!InternetReadFileExA(request->handle, &call->buffers, IRF_ASYNC, (DWORD_PTR)call)) {
        DWORD error = GetLastError();
        if (error != ERROR_IO_PENDING) {
            return error ? (int)error : -1;
        }
        *waited = true;
        int result = wait_call(session, call, timeout_ms);
        if (result != 0) {
            return result;
        }
        if (!call->result) {
            return call->error ? (int)call->error : -1;
        }
    }
    // A read that completes later fills the same record.
    *got = call->buffers.dwBufferLength;
    *data = call->data;
    return 0;
}

void http_close(HttpRequest* request)
{
    if (request->handle) {
        (void)InternetCloseHandle(request->handle);
        request->handle = nullptr;
    }
}

bool http_redirected_to_plain(const HttpRequest* request)
{
    return request->call && InterlockedCompareExchange(&request->call->plain_redirect, 0, 0) != 0;
}
