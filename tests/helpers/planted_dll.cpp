// A DLL an attacker might plant next to an installer in a Downloads folder. Whenever a process
// loads it, it leaves "planted-<its file name>.txt" next to itself, so a test can tell that it
// was loaded. It exports the one function of msimg32.dll that programs import most.
// The SDK declares AlphaBlend as an import; this DLL defines its own under that name.
#define AlphaBlend system_AlphaBlend
#include <windows.h>
#undef AlphaBlend

static void leave_marker(HMODULE self)
{
    wchar_t path[4096];
    DWORD length = GetModuleFileNameW(self, path, 4000);
    if (length == 0 || length >= 4000) {
        return;
    }
    wchar_t* name = path;
    for (wchar_t* p = path; *p; ++p) {
        if (*p == L'\\' || *p == L'/') {
            name = p + 1;
        }
    }
    wchar_t file_name[512];
    lstrcpynW(file_name, name, 400);
    lstrcpyW(name, L"planted-");
    lstrcatW(name, file_name);
    lstrcatW(name, L".txt");
    HANDLE marker = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (marker != INVALID_HANDLE_VALUE) {
        CloseHandle(marker);
    }
}

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void* reserved)
{
    if (reason == DLL_PROCESS_ATTACH) {
        leave_marker(instance);
    }
    return TRUE;
}

extern "C" __declspec(dllexport) BOOL WINAPI AlphaBlend(HDC, int, int, int, int, HDC, int, int, int, int,
                                                         BLENDFUNCTION)
{
    return FALSE;
}
