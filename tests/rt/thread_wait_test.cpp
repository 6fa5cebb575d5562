// Waiting for a thread that is itself blocked sending a message to a window of the waiting thread.
#include <gtest/gtest.h>

#include "rt/thread_wait.h"

namespace {

DWORD WINAPI send_then_end(void* window)
{
    SendMessageW((HWND)window, WM_NULL, 0, 0); // blocks until the owning thread answers
    return 7;
}

DWORD WINAPI sleep_long(void*)
{
    Sleep(3000);
    return 0;
}

TEST(ThreadWait, AnswersSentMessagesWhileWaiting)
{
    HWND window = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(window, nullptr);
    HANDLE thread = CreateThread(nullptr, 0, send_then_end, window, 0, nullptr);
    EXPECT_EQ(thread_wait(thread, 5000), 0) << "a plain wait would time out here";
    DWORD code = 0;
    GetExitCodeThread(thread, &code);
    EXPECT_EQ(code, 7u);
    CloseHandle(thread);
    DestroyWindow(window);
}

TEST(ThreadWait, GivesUpAfterItsLimit)
{
    HANDLE thread = CreateThread(nullptr, 0, sleep_long, nullptr, 0, nullptr);
    EXPECT_EQ(thread_wait(thread, 200), 1) << "returned 0: it waited for the end instead";
    EXPECT_EQ(thread_wait(thread, INFINITE), 0);
    CloseHandle(thread);
    EXPECT_EQ(thread_wait(nullptr, 100), 1) << "no thread to wait for";
}

} // namespace
