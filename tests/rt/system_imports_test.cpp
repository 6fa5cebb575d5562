// The program's own import slots: the calls the compiler makes go through them, and they lead
// into the DLLs of the system directory.
#include <gtest/gtest.h>

#include <windows.h>
#include <bcrypt.h>
#include <commctrl.h>
#include <gdiplus.h>
#include <wininet.h>

#include <string>

#include "rt/system_imports.h"

namespace {

std::wstring lower(std::wstring text)
{
    for (wchar_t& c : text) {
        c = (wchar_t)towlower(c);
    }
    return text;
}

std::wstring module_path_of(void* address)
{
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            (LPCWSTR)address, &module)) {
        return L"";
    }
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(module, path, MAX_PATH);
    return std::wstring(path, length);
}

} // namespace

TEST(SystemImportsTest, EverySlotIsFilledFromTheSystemDirectory)
{
    wchar_t system_dir[MAX_PATH];
    UINT length = GetSystemDirectoryW(system_dir, MAX_PATH);
    ASSERT_GT(length, 0u);
    const std::wstring expected_dir = lower(std::wstring(system_dir, length)) + L"\\";

    // The common controls of version 6, which the manifest asks for, come from the system's
    // side-by-side store in the Windows folder instead.
    wchar_t windows_dir[MAX_PATH];
    length = GetSystemWindowsDirectoryW(windows_dir, MAX_PATH);
    ASSERT_GT(length, 0u);
    const std::wstring side_by_side = lower(std::wstring(windows_dir, length)) + L"\\winsxs\\";

    ASSERT_GT(system_import_count(), 20);
    for (int32_t i = 0; i < system_import_count(); ++i) {
        SCOPED_TRACE(system_import_name(i));
        void* address = system_import_address(i);
        std::wstring path = lower(module_path_of(address));
        bool comctl32 = lstrcmpiW(system_import_dll(i), L"comctl32.dll") == 0;
        const std::wstring& dir = comctl32 && path.compare(0, side_by_side.size(), side_by_side) == 0 ? side_by_side
                                                                                                      : expected_dir;
        EXPECT_EQ(path.compare(0, dir.size(), dir), 0) << std::string(path.begin(), path.end());
    }
}

// Each slot holds the export of its own name (a table entry with a wrong name or DLL would send
// calls to the wrong function), and calls made through the SDK's declarations reach them: some of
// those headers declare the functions as imported, others not, and both kinds must arrive.
TEST(SystemImportsTest, SlotsHoldTheirNamedExportsAndCallsReachThem)
{
    for (int32_t i = 0; i < system_import_count(); ++i) {
        SCOPED_TRACE(system_import_name(i));
        HMODULE module = GetModuleHandleW(system_import_dll(i)); // its export may forward elsewhere
        ASSERT_NE(module, nullptr);
        EXPECT_EQ((void*)GetProcAddress(module, system_import_name(i)), system_import_address(i));
    }

    BCRYPT_ALG_HANDLE algorithm = nullptr; // bcrypt.h: not declared as imported
    EXPECT_EQ(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0), 0);
    EXPECT_EQ(BCryptCloseAlgorithmProvider(algorithm, 0), 0);
    HINTERNET session = InternetOpenW(L"test", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0); // imported
    EXPECT_NE(session, nullptr);
    EXPECT_TRUE(InternetCloseHandle(session));
    ULONG_PTR token = 0;
    Gdiplus::GdiplusStartupInput input;
    EXPECT_EQ(Gdiplus::GdiplusStartup(&token, &input, nullptr), Gdiplus::Ok);
    Gdiplus::GdiplusShutdown(token);
}

TEST(SystemImportsTest, LoadingAgainKeepsTheSameAddresses)
{
    void* before = system_import_address(0);
    EXPECT_EQ(load_system_imports(), 0);
    EXPECT_EQ(system_import_address(0), before);
}
