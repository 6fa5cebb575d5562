#include "rt/thread_wait.h"

int thread_wait(HANDLE thread, DWORD limit_ms)
{
    DWORD start = GetTickCount();
    for (;;) {
        DWORD remaining = INFINITE;
        if (limit_ms != INFINITE) {
            DWORD elapsed = GetTickCount() - start;
            remaining = elapsed >= limit_ms ? 0 : limit_ms - elapsed;
        }
        DWORD woke = MsgWaitForMultipleObjects(1, &thread, FALSE, remaining, QS_SENDMESSAGE);
        if (woke == WAIT_OBJECT_0) {
            return 0;
        }
        if (woke != WAIT_OBJECT_0 + 1) {
            return 1; // the time is up, or the handle is not one to wait on
        }
        MSG message;
        (void)PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE); // runs the sent messages
    }
}
