#include "rt/system_imports.h"

#include <windows.h>

// Every function of these DLLs the program calls: DLL, name, bytes of arguments (the 32-bit
// stdcall decoration; the compiler calls through "__imp__Name@Bytes" there, "__imp_Name" in the
// 64-bit build).
#define SYSTEM_IMPORTS(X)                         \
    X(L"wininet.dll", HttpQueryInfoA, 20)         \
    X(L"wininet.dll", HttpQueryInfoW, 20)         \
    X(L"wininet.dll", HttpSendRequestW, 20)       \
    X(L"wininet.dll", InternetCloseHandle, 4)     \
    X(L"wininet.dll", InternetCombineUrlW, 20)    \
    X(L"wininet.dll", InternetErrorDlg, 20)       \
    X(L"wininet.dll", InternetOpenUrlW, 24)       \
    X(L"wininet.dll", InternetOpenW, 20)          \
    X(L"wininet.dll", InternetQueryOptionW, 16)   \
    X(L"wininet.dll", InternetQueryDataAvailable, 16) \
    X(L"wininet.dll", InternetReadFile, 16)       \
    X(L"gdiplus.dll", GdiplusStartup, 12)         \
    X(L"gdiplus.dll", GdiplusShutdown, 4)         \
    X(L"gdiplus.dll", GdipCreateBitmapFromStream, 8) \
    X(L"gdiplus.dll", GdipCreateFromHDC, 8)       \
    X(L"gdiplus.dll", GdipCreateHBITMAPFromBitmap, 12) \
    X(L"gdiplus.dll", GdipCreateSolidFill, 8)     \
    X(L"gdiplus.dll", GdipDeleteBrush, 4)         \
    X(L"gdiplus.dll", GdipDeleteGraphics, 4)      \
    X(L"gdiplus.dll", GdipDisposeImage, 4)        \
    X(L"gdiplus.dll", GdipFillRectangleI, 24)     \
    X(L"gdiplus.dll", GdipGetImageHeight, 8)      \
    X(L"gdiplus.dll", GdipGetImageWidth, 8)       \
    X(L"msimg32.dll", AlphaBlend, 44)             \
    X(L"comctl32.dll", InitCommonControlsEx, 4)   \
    X(L"bcrypt.dll", BCryptCloseAlgorithmProvider, 8) \
    X(L"bcrypt.dll", BCryptCreateHash, 28)        \
    X(L"bcrypt.dll", BCryptDestroyHash, 4)        \
    X(L"bcrypt.dll", BCryptFinishHash, 16)        \
    X(L"bcrypt.dll", BCryptGenRandom, 16)         \
    X(L"bcrypt.dll", BCryptGetProperty, 24)       \
    X(L"bcrypt.dll", BCryptHashData, 16)          \
    X(L"bcrypt.dll", BCryptOpenAlgorithmProvider, 16) \
    X(L"wintrust.dll", WinVerifyTrust, 12)        \
    X(L"wintrust.dll", WTHelperGetProvCertFromChain, 8) \
    X(L"wintrust.dll", WTHelperGetProvSignerFromChain, 16) \
    X(L"wintrust.dll", WTHelperProvDataFromStateData, 4) \
    X(L"crypt32.dll", CertCloseStore, 8)          \
    X(L"crypt32.dll", CertFreeCertificateChain, 4) \
    X(L"crypt32.dll", CertGetCertificateChain, 32) \
    X(L"crypt32.dll", CertOpenStore, 20)          \
    X(L"crypt32.dll", CertVerifyCertificateChainPolicy, 16) \
    X(L"crypt32.dll", CryptDecodeObject, 28)      \
    X(L"oleacc.dll", CreateStdAccessibleObject, 16) \
    X(L"oleacc.dll", LresultFromObject, 12)

#if defined(_WIN64)
#define IMPORT_SLOT_SYMBOL(name, bytes) "__imp_" #name
#define IMPORT_THUNK_SYMBOL(name, bytes) #name
#define IMPORT_THUNK_JUMP(name, bytes) "jmp *" IMPORT_SLOT_SYMBOL(name, bytes) "(%rip)"
#else
#define IMPORT_SLOT_SYMBOL(name, bytes) "__imp__" #name "@" #bytes
#define IMPORT_THUNK_SYMBOL(name, bytes) "_" #name "@" #bytes
#define IMPORT_THUNK_JUMP(name, bytes) "jmp *" IMPORT_SLOT_SYMBOL(name, bytes)
#endif

// What an unfilled slot calls. It never returns, so the caller's calling convention and arguments
// do not matter.
static void WINAPI import_not_loaded()
{
    ExitProcess(0xC0000139); // STATUS_ENTRYPOINT_NOT_FOUND
}

// The slots, under the names the compiler's calls use. Plain data the program writes once at
// start-up, before any other thread runs.
#define DEFINE_IMPORT_SLOT(dll, name, bytes) \
    extern "C" void* import_slot_##name __asm__(IMPORT_SLOT_SYMBOL(name, bytes)); \
    void* import_slot_##name = (void*)import_not_loaded;
SYSTEM_IMPORTS(DEFINE_IMPORT_SLOT)

// Headers that do not declare a function as imported (bcrypt, wintrust, the GDI+ flat API) make the
// compiler call it by its plain name. An import library would supply a jump through the slot under
// that name; these are those jumps. Without them the linker would patch such calls at start-up,
// from the slots' contents at that time, before load_system_imports has filled them.
#define DEFINE_IMPORT_THUNK(dll, name, bytes) \
    extern "C" void import_thunk_##name() __asm__(IMPORT_THUNK_SYMBOL(name, bytes)); \
    extern "C" __attribute__((naked, used)) void import_thunk_##name() { __asm__(IMPORT_THUNK_JUMP(name, bytes)); }
SYSTEM_IMPORTS(DEFINE_IMPORT_THUNK)

struct SystemImport {
    const wchar_t* dll;
    const char* name;
    void** slot;
};

#define DESCRIBE_IMPORT(dll, name, bytes) {dll, #name, &import_slot_##name},
static const SystemImport system_imports[] = {SYSTEM_IMPORTS(DESCRIBE_IMPORT)};

// Loads a DLL from the system directory, its dependencies too. Without SetDefaultDllDirectories
// (the search flags are refused) the full path is given, and the altered search order looks for
// the dependencies in the DLL's own folder rather than the executable's.
static HMODULE load_system_dll(const wchar_t* name)
{
    HMODULE module = LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module || GetLastError() != ERROR_INVALID_PARAMETER) {
        return module;
    }
    wchar_t path[MAX_PATH + 32];
    UINT length = GetSystemDirectoryW(path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return nullptr;
    }
    path[length++] = L'\\';
    for (const wchar_t* c = name; *c; ++c) {
        path[length++] = *c;
    }
    path[length] = L'\0';
    return LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

int load_system_imports()
{
    const wchar_t* loaded_name = nullptr;
    HMODULE module = nullptr;
    int result = 0;
    for (const SystemImport& import : system_imports) {
        if (import.dll != loaded_name) { // the table keeps each DLL's functions together
            loaded_name = import.dll;
            module = load_system_dll(import.dll);
        }
        FARPROC function = module ? GetProcAddress(module, import.name) : nullptr;
        if (!function) {
            result = 1; // the slot keeps import_not_loaded; the caller gives up
            continue;
        }
        *import.slot = (void*)function;
    }
    return result;
}

int32_t system_import_count()
{
    return (int32_t)(sizeof system_imports / sizeof system_imports[0]);
}

const wchar_t* system_import_dll(int32_t index)
{
    return system_imports[index].dll;
}

const char* system_import_name(int32_t index)
{
    return system_imports[index].name;
}

void* system_import_address(int32_t index)
{
    return *system_imports[index].slot;
}
