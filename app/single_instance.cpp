#include "app/single_instance.h"

#include "app/installer.h"
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

void single_instance_activate_other()
{
    for (int attempt = 0; attempt < 20; ++attempt) {
        // Top-level windows are searched in Z order, so an error window is found before the
        // splash it covers.
        HWND window = FindWindowW(UI_WINDOW_CLASS, INSTALLER_TITLE_WIDE);
        if (window) {
            (void)SetForegroundWindow(window); // may be refused; the window is still there
            return;
        }
        Sleep(50);
    }
}
