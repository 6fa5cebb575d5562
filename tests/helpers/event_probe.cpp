// event_probe: listens, from its own process, for the value-change events that screen readers
// follow (EVENT_OBJECT_VALUECHANGE, out of context) and for foreground changes, and writes one line
// per event to a file, for the end-to-end tests.
//
//   event_probe --out FILE [--seconds N]
//       Writes "ready" once its hooks are set, then per event
//       "value hwnd=0x.. object=N child=N class=NAME" or "foreground hwnd=0x.. class=NAME", each
//       line flushed at once. Ends after N seconds (default 120) or when killed.
// Exit code: 0, 1 when the hooks or the file can't be made, 2 on a usage error.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

namespace {

FILE* out = nullptr;

void CALLBACK on_event(HWINEVENTHOOK, DWORD event, HWND hwnd, LONG object, LONG child, DWORD, DWORD)
{
    wchar_t class_name[128] = {};
    if (hwnd) {
        GetClassNameW(hwnd, class_name, 128);
    }
    if (event == EVENT_OBJECT_VALUECHANGE) {
        fprintf(out, "value hwnd=0x%llx object=%ld child=%ld class=%ls\n", (unsigned long long)(uintptr_t)hwnd,
                object, child, class_name);
    } else if (event == EVENT_SYSTEM_FOREGROUND) {
        fprintf(out, "foreground hwnd=0x%llx class=%ls\n", (unsigned long long)(uintptr_t)hwnd, class_name);
    }
    fflush(out);
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    const wchar_t* path = nullptr;
    DWORD seconds = 120;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (lstrcmpW(argv[i], L"--out") == 0) {
            path = argv[i + 1];
        } else if (lstrcmpW(argv[i], L"--seconds") == 0) {
            seconds = (DWORD)wcstoul(argv[i + 1], nullptr, 10);
        } else {
            return 2;
        }
    }
    if (!path) {
        fprintf(stderr, "usage: event_probe --out FILE [--seconds N]\n");
        return 2;
    }
    out = _wfopen(path, L"w");
    if (!out) {
        return 1;
    }
    DWORD flags = WINEVENT_OUTOFCONTEXT | WINEVENT_SKIPOWNPROCESS;
    HWINEVENTHOOK value = SetWinEventHook(EVENT_OBJECT_VALUECHANGE, EVENT_OBJECT_VALUECHANGE, nullptr, on_event,
                                          0, 0, flags);
    HWINEVENTHOOK foreground = SetWinEventHook(EVENT_SYSTEM_FOREGROUND, EVENT_SYSTEM_FOREGROUND, nullptr, on_event,
                                               0, 0, flags);
    if (!value || !foreground) {
        return 1;
    }
    fprintf(out, "ready\n");
    fflush(out);
    UINT_PTR timer = SetTimer(nullptr, 0, seconds * 1000, nullptr);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (msg.message == WM_TIMER && msg.wParam == timer) {
            break;
        }
        DispatchMessageW(&msg);
    }
    UnhookWinEvent(value);
    UnhookWinEvent(foreground);
    fclose(out);
    return 0;
}
