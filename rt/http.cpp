#include "rt/http.h"

#include "rt/heap.h"

namespace {

enum ChannelOp { OP_OPEN, OP_READ_ARRIVED, OP_READ_STREAM, OP_SEND_AGAIN, OP_QUIT };

// Who holds the channel: the asker between calls, the reader during one, nobody once the asker
// gave up on a call (the reader then frees it when the call returns).
const LONG CHANNEL_IDLE = 0;
const LONG CHANNEL_BUSY = 1;
const LONG CHANNEL_ABANDONED = 2;

// A read shorter than this found its data at hand.
const DWORD AT_HAND_MS = 20;
// How long a read waits for its reader's call before it takes what the reader has already put in
// the buffer: a streaming read waits for whole chunks, and a pause in the body would otherwise
// hold back everything it has gathered until the body goes on.
const DWORD PUBLISHED_WAIT_MS = 100;

volatile LONG readers_alive;

} // namespace

struct HttpRoot {
    HINTERNET internet;
    volatile LONG holders;   // the session while open, and each channel
};

struct HttpChannel {
    HANDLE go;               // auto-reset: op is set
    HANDLE done;             // auto-reset: op returned
    volatile LONG state;
    int op;
    HttpRoot* root;          // held until the channel is freed
    wchar_t* url;
    wchar_t* headers;
    DWORD flags;
    HINTERNET request;
    BOOL ok;
    DWORD error;
    DWORD count;
    bool ended;              // the read found the end of the body
    volatile LONG filled;    // bytes of data the reader has finished with, during a read
    // The asker's, between its calls: a read in flight that it has taken filled bytes of.
    bool in_flight;
    DWORD taken;
    uint8_t data[HTTP_READ_SIZE];
};

namespace {

// 1 with code as the last error.
int fail(DWORD code)
{
    SetLastError(code);
    return 1;
}

wchar_t* copy_wide(const wchar_t* text)
{
    if (!text) {
        return nullptr;
    }
    size_t size = ((size_t)lstrlenW(text) + 1) * sizeof(wchar_t);
    wchar_t* copy = (wchar_t*)heap_alloc(size);
    if (copy) {
        CopyMemory(copy, text, size);
    }
    return copy;
}

void root_hold(HttpRoot* root)
{
    InterlockedIncrement(&root->holders);
}

void root_release(HttpRoot* root)
{
    if (InterlockedDecrement(&root->holders) == 0) {
        (void)InternetCloseHandle(root->internet); // nothing is left to be done about a failure
        heap_free(root);
    }
}

void channel_free(HttpChannel* channel)
{
    if (channel->request) {
        (void)InternetCloseHandle(channel->request);
    }
    if (channel->root) {
        root_release(channel->root); // after its request: a parent never closes under a child
    }
    CloseHandle(channel->go);
    CloseHandle(channel->done);
    heap_free(channel->url);
    heap_free(channel->headers);
    heap_free(channel);
}

void run_op(HttpChannel* c)
{
    switch (c->op) {
    case OP_OPEN:
        c->request = InternetOpenUrlW(c->root->internet, c->url, c->headers, c->headers ? (DWORD)-1 : 0, c->flags, 0);
        c->ok = c->request != nullptr;
        break;
    case OP_SEND_AGAIN:
        c->ok = HttpSendRequestW(c->request, nullptr, 0, nullptr, 0);
        break;
    case OP_READ_ARRIVED: {
        // Waits for something to arrive, then takes what there is (a read of 0 bytes finds the end).
        c->count = 0;
        DWORD available = 0;
        c->ok = InternetQueryDataAvailable(c->request, &available, 0, 0);
        if (c->ok) {
            DWORD size = available == 0 ? HTTP_CHUNK_SIZE : available < HTTP_READ_SIZE ? available : HTTP_READ_SIZE;
            c->ok = InternetReadFile(c->request, c->data, size, &c->count);
        }
        c->ended = c->ok && c->count == 0;
        break;
    }
    case OP_READ_STREAM: {
        c->count = 0;
        DWORD started = GetTickCount();
        for (;;) {
            DWORD got = 0;
            c->ok = InternetReadFile(c->request, c->data + c->count, HTTP_CHUNK_SIZE, &got);
            c->count += got;
            c->ended = c->ok && got == 0;
            // Bytes below filled are never written again in this read: the asker may take them.
            InterlockedExchange(&c->filled, (LONG)c->count);
            if (!c->ok || got < HTTP_CHUNK_SIZE || c->count + HTTP_CHUNK_SIZE > HTTP_READ_SIZE ||
                GetTickCount() - started >= AT_HAND_MS) {
                break;
            }
        }
        if (!c->ok && c->count > 0) {
            c->ok = TRUE; // the bytes come first; the failure shows at the next read
        }
        break;
    }
    default:
        c->ok = FALSE;
        break;
    }
    c->error = c->ok ? 0 : GetLastError();
}

DWORD WINAPI reader(void* argument)
{
    HttpChannel* channel = (HttpChannel*)argument;
    for (;;) {
        if (WaitForSingleObject(channel->go, INFINITE) != WAIT_OBJECT_0 || channel->op == OP_QUIT) {
            break;
        }
        run_op(channel);
        if (InterlockedCompareExchange(&channel->state, CHANNEL_IDLE, CHANNEL_BUSY) == CHANNEL_ABANDONED) {
            break; // nobody waits for this answer any more
        }
        SetEvent(channel->done);
    }
    channel_free(channel);
    InterlockedDecrement(&readers_alive);
    return 0;
}

// Hands op to the reader.
void begin(HttpChannel* channel, int op)
{
    channel->op = op;
    channel->filled = 0;
    channel->taken = 0;
    channel->in_flight = true;
    InterlockedExchange(&channel->state, CHANNEL_BUSY);
    SetEvent(channel->go);
}

DWORD published(HttpChannel* channel)
{
    return (DWORD)InterlockedCompareExchange(&channel->filled, 0, 0);
}

// Waits up to timeout_ms for the reader's call in flight. 0 when it returned (its outcome is in
// the channel; returned true), or, when take_published, when the reader has put bytes beyond those
// taken into the buffer and its call has not returned within PUBLISHED_WAIT_MS (returned false;
// the call stays in flight). Else 1 with ERROR_INTERNET_TIMEOUT or ERROR_CANCELLED as the last
// error, and the channel is given up on.
int await(HttpSession* session, HttpRequest* request, DWORD timeout_ms, bool take_published, bool* returned)
{
    HttpChannel* channel = request->channel;
    *returned = false;
    HANDLE events[2] = {channel->done, session->cancel};
    DWORD started = GetTickCount();
    DWORD woke = WAIT_TIMEOUT;
    for (;;) {
        DWORD spent = GetTickCount() - started;
        DWORD left = spent < timeout_ms ? timeout_ms - spent : 0;
        DWORD slice = take_published && left > PUBLISHED_WAIT_MS ? PUBLISHED_WAIT_MS : left;
        woke = WaitForMultipleObjects(2, events, FALSE, slice);
        if (woke == WAIT_OBJECT_0) {
            channel->in_flight = false;
            *returned = true;
            return 0;
        }
        if (woke != WAIT_TIMEOUT || slice == left) {
            break;
        }
        if (published(channel) > channel->taken) {
            return 0;
        }
    }
    if (InterlockedCompareExchange(&channel->state, CHANNEL_ABANDONED, CHANNEL_BUSY) == CHANNEL_IDLE) {
        // The answer came just now after all. Its signal is taken here (the reader gives it right
        // after), so that it can't pass for the answer to the next call.
        (void)WaitForSingleObject(channel->done, INFINITE);
        channel->in_flight = false;
        *returned = true;
        return woke == WAIT_OBJECT_0 + 1 ? fail(ERROR_CANCELLED) : 0;
    }
    request->channel = nullptr; // the reader frees it when its call returns
    request->handle = nullptr;  // and closes the request
    return fail(woke == WAIT_OBJECT_0 + 1 ? ERROR_CANCELLED : ERROR_INTERNET_TIMEOUT);
}

bool cancelled(const HttpSession* session)
{
    return WaitForSingleObject(session->cancel, 0) == WAIT_OBJECT_0;
}

// 0 when the reader's call succeeded; else 1 with its error as the last error.
int outcome(const HttpChannel* channel)
{
    return channel->ok ? 0 : fail(channel->error);
}

} // namespace

int http_session_open(HttpSession* session, const wchar_t* agent, HANDLE cancel)
{
    session->cancel = cancel;
    session->root = nullptr;
    HttpRoot* root = (HttpRoot*)heap_alloc_zeroed(sizeof(HttpRoot));
    if (!root) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 1;
    }
    root->internet = InternetOpenW(agent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    if (!root->internet) {
        DWORD error = GetLastError();
        heap_free(root);
        SetLastError(error);
        return 1;
    }
    root->holders = 1;
    session->root = root;
    return 0;
}

void http_session_close(HttpSession* session)
{
    if (session->root) {
        root_release(session->root);
        session->root = nullptr;
    }
}

int http_get(HttpSession* session, const wchar_t* url, const wchar_t* headers, DWORD flags, DWORD timeout_ms,
             HttpRequest* request)
{
    request->handle = nullptr;
    request->channel = nullptr;
    if (!session->root) {
        return fail(ERROR_INVALID_HANDLE);
    }
    if (cancelled(session)) {
        return fail(ERROR_CANCELLED);
    }
    HttpChannel* channel = (HttpChannel*)heap_alloc_zeroed(sizeof(HttpChannel));
    if (!channel) {
        return fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    channel->go = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    channel->done = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    channel->root = session->root;
    root_hold(channel->root);
    channel->url = copy_wide(url);
    channel->headers = copy_wide(headers);
    channel->flags = flags;
    HANDLE thread = nullptr;
    if (channel->go && channel->done && channel->url && (channel->headers || !headers)) {
        InterlockedIncrement(&readers_alive); // before it starts: it may be over at once
        thread = CreateThread(nullptr, 0, reader, channel, 0, nullptr);
        if (!thread) {
            InterlockedDecrement(&readers_alive);
        }
    }
    if (!thread) {
        DWORD error = GetLastError();
        channel_free(channel);
        return fail(error ? error : ERROR_NOT_ENOUGH_MEMORY);
    }
    CloseHandle(thread); // never joined: it ends by itself
    request->channel = channel;
    begin(channel, OP_OPEN);
    bool returned = false;
    if (await(session, request, timeout_ms, false, &returned) != 0) {
        return 1;
    }
    request->handle = channel->request;
    return outcome(channel);
}

int http_read(HttpSession* session, HttpRequest* request, bool streaming, DWORD timeout_ms, const uint8_t** data,
              DWORD* got, bool* waited)
{
    *got = 0;
    *data = nullptr;
    *waited = false;
    DWORD started = GetTickCount();
    for (;;) {
        HttpChannel* channel = request->channel;
        if (!channel) {
            return fail(ERROR_INVALID_HANDLE);
        }
        if (!channel->in_flight) {
            begin(channel, streaming ? OP_READ_STREAM : OP_READ_ARRIVED);
        }
        DWORD spent = GetTickCount() - started;
        bool returned = false;
        int result = await(session, request, spent < timeout_ms ? timeout_ms - spent : 0, true, &returned);
        *waited = GetTickCount() - started >= AT_HAND_MS;
        if (result != 0) {
            return 1; // GetTickCount keeps the last error
        }
        // Until its call returns, the reader only writes past what it has published.
        DWORD end = returned ? channel->count : published(channel);
        *data = channel->data + channel->taken;
        *got = end - channel->taken;
        channel->taken = end;
        if (!returned) {
            return 0;
        }
        if (*got > 0 || channel->ended || !channel->ok) {
            return outcome(channel);
        }
        // The call returned with nothing that was not taken already, short of the end: read on.
    }
}

int http_send_again(HttpSession* session, HttpRequest* request, DWORD timeout_ms)
{
    if (!request->channel) {
        return fail(ERROR_INVALID_HANDLE);
    }
    if (cancelled(session)) {
        return fail(ERROR_CANCELLED);
    }
    begin(request->channel, OP_SEND_AGAIN); // between reads: no read of the body is in flight
    bool returned = false;
    return await(session, request, timeout_ms, false, &returned) != 0 ? 1 : outcome(request->channel);
}

int http_location(HINTERNET request, const wchar_t* url, wchar_t* out, DWORD units)
{
    DWORD size = units * sizeof(wchar_t);
    if (!HttpQueryInfoW(request, HTTP_QUERY_LOCATION, out, &size, nullptr)) {
        return 1;
    }
    wchar_t* location = copy_wide(out); // the result is written over out
    DWORD length = units;
    BOOL combined = location && InternetCombineUrlW(url, location, out, &length, ICU_ENCODE_SPACES_ONLY);
    DWORD error = location ? GetLastError() : ERROR_NOT_ENOUGH_MEMORY;
    heap_free(location);
    return combined ? 0 : fail(error);
}

void http_close(HttpRequest* request)
{
    HttpChannel* channel = request->channel;
    request->channel = nullptr;
    request->handle = nullptr;
    if (!channel) {
        return;
    }
    if (channel->in_flight &&
        InterlockedCompareExchange(&channel->state, CHANNEL_ABANDONED, CHANNEL_BUSY) == CHANNEL_BUSY) {
        return; // a read taken in part: the reader frees the channel, and the request, when it returns
    }
    channel->op = OP_QUIT; // the reader is idle: it closes the request and goes
    SetEvent(channel->go);
}

LONG http_readers_alive()
{
    return InterlockedCompareExchange(&readers_alive, 0, 0);
}
