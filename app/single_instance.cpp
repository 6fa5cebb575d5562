#include "app/single_instance.h"

#include "app/installer.h"
#include "rt/security.h"
#include "ui/ui.h"

// Per session ("Local\"): one installer per user at a time; each run has a folder of its own.
static const wchar_t INSTANCE_NAME[] = L"Local\\QuorvelWebInstaller.7d1f3c52-5b8e-4a51-9e0a-2c64f0b8d1a7";

int single_instance_claim(HANDLE* claim)
{
    *claim = nullptr;
    HANDLE mutex = CreateMutexW(nullptr, FALSE, INSTANCE_NAME);
    if (!mutex) {
        return 0;
    }
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(mutex);
        return 1;
    }
    *claim = mutex;
    return 0;
}

void single_instance_release(HANDLE claim)
{
    if (claim) {
        CloseHandle(claim);
    }
}

// A window with the installer's class and title is the running installer's only when its process
// could be one: when this process is elevated, it must be elevated too.
static bool is_installer_window(HWND window, bool elevated)
{
    if (!elevated) {
        return true; // a program with this process's rights can do anything it could
    }
    DWORD process_id = 0;
    GetWindowThreadProcessId(window, &process_id);
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process_id);
    if (!process) {
        return false;
    }
    HANDLE token = nullptr;
    bool installer = OpenProcessToken(process, TOKEN_QUERY, &token) && token_is_elevated(token, false);
    if (token) {
        CloseHandle(token);
    }
    CloseHandle(process);
    return installer;
}

int single_instance_hand_over(DWORD wait_ms)
{
    bool elevated = process_is_elevated();
    DWORD started = GetTickCount();
    for (;;) {
        // Top-level windows are searched in Z order, so an error window is found before the splash
        // it covers; a look-alike in front of them is passed over.
        HWND window = nullptr;
        while ((window = FindWindowExW(nullptr, window, UI_WINDOW_CLASS, INSTALLER_TITLE_WIDE)) != nullptr) {
            if (is_installer_window(window, elevated)) {
                (void)SetForegroundWindow(window); // may be refused; the window is still there
                return 0;
            }
        }
        if (GetTickCount() - started >= wait_ms) {
            return 1;
        }
        Sleep(50);
    }
}
