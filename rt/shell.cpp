#include "rt/shell.h"

#include <windows.h>
#include <exdisp.h>
#include <shellapi.h>
#include <shldisp.h>
#include <shlguid.h>
#include <shlobj.h>

#include "rt/heap.h"
#include "rt/text.h"

namespace {

// A system message with line breaks turned into spaces needs at most this many units here.
const DWORD MESSAGE_UNITS = 255;

// ShellExecuteW of an address already in UTF-16; 0 when the shell accepted it.
int shell_execute_wide(const wchar_t* target) {
    HINSTANCE shown = ShellExecuteW(nullptr, L"open", target, nullptr, nullptr, SW_SHOWNORMAL);
    // The shell reports success by a value above 32.
    return (INT_PTR)shown > 32 ? 0 : -1;
}

// Has the desktop's shell process open target with its "open" verb, so that what starts gets the
// desktop's rights rather than ours. Each step releases the interface it came from once it holds
// the next one, and a null pointer ends the chain: a failure anywhere leaves nothing held.
bool open_through_desktop(const wchar_t* target) {
    IShellWindows* windows = nullptr;
    IDispatch* desktop = nullptr;
    IServiceProvider* services = nullptr;
    IShellBrowser* browser = nullptr;
    IShellView* view = nullptr;
    IDispatch* background = nullptr;
    IShellFolderViewDual* folder_view = nullptr;
    IDispatch* application = nullptr;
    IShellDispatch2* shell = nullptr;
    bool opened = false;

    // Only the running shell's object is wanted; asking for it alone keeps any in-process server
    // out of this (elevated) process.
    if (FAILED(CoCreateInstance(CLSID_ShellWindows, nullptr, CLSCTX_LOCAL_SERVER, IID_IShellWindows,
                                (void**)&windows))) {
        windows = nullptr;
    }
    if (windows != nullptr) {
        VARIANT location;
        VariantInit(&location);
        location.vt = VT_I4;
        location.lVal = CSIDL_DESKTOP;
        VARIANT root;
        VariantInit(&root);
        LONG found = 0;
        // S_FALSE: no desktop window; the pointer is then null or must not be trusted.
        if (windows->FindWindowSW(&location, &root, SWC_DESKTOP, &found, SWFO_NEEDDISPATCH, &desktop) != S_OK &&
            desktop != nullptr) {
            desktop->Release();
            desktop = nullptr;
        }
        windows->Release();
    }
    if (desktop != nullptr) {
        if (FAILED(desktop->QueryInterface(IID_IServiceProvider, (void**)&services))) {
            services = nullptr;
        }
        desktop->Release();
    }
    if (services != nullptr) {
        if (FAILED(services->QueryService(SID_STopLevelBrowser, IID_IShellBrowser, (void**)&browser))) {
            browser = nullptr;
        }
        services->Release();
    }
    if (browser != nullptr) {
        if (FAILED(browser->QueryActiveShellView(&view))) {
            view = nullptr;
        }
        browser->Release();
    }
    if (view != nullptr) {
        if (FAILED(view->GetItemObject(SVGIO_BACKGROUND, IID_IDispatch, (void**)&background))) {
            background = nullptr;
        }
        view->Release();
    }
    if (background != nullptr) {
        if (FAILED(background->QueryInterface(IID_IShellFolderViewDual, (void**)&folder_view))) {
            folder_view = nullptr;
        }
        background->Release();
    }
    if (folder_view != nullptr) {
        if (FAILED(folder_view->get_Application(&application))) {
            application = nullptr;
        }
        folder_view->Release();
    }
    if (application != nullptr) {
        if (FAILED(application->QueryInterface(IID_IShellDispatch2, (void**)&shell))) {
            shell = nullptr;
        }
        application->Release();
    }
    if (shell != nullptr) {
        BSTR file = SysAllocString(target);
        BSTR empty = SysAllocString(L"");
        BSTR verb = SysAllocString(L"open");
        if (file != nullptr && empty != nullptr && verb != nullptr) {
            // The callee only reads these; they stay ours to free.
            VARIANT arguments;
            VariantInit(&arguments);
            arguments.vt = VT_BSTR;
            arguments.bstrVal = empty;
            VARIANT operation;
            VariantInit(&operation);
            operation.vt = VT_BSTR;
            operation.bstrVal = verb;
            VARIANT show;
            VariantInit(&show);
            show.vt = VT_I4;
            show.lVal = SW_SHOWNORMAL;
            // S_FALSE is the shell's "nothing took it": then this process tries for itself.
            opened = shell->ShellExecute(file, arguments, arguments, operation, show) == S_OK;
        }
        SysFreeString(file);
        SysFreeString(empty);
        SysFreeString(verb);
        shell->Release();
    }
    return opened;
}

}  // namespace

int shell_open(const char* target) {
    wchar_t local[PATH_BUFFER_UNITS];
    int32_t capacity = PATH_BUFFER_UNITS;
    wchar_t* wide = utf8_to_wide(local, &capacity, target, -1);
    if (wide == nullptr) {
        return -1;
    }
    int result = shell_execute_wide(wide);
    if (wide != local) {
        heap_free(wide);
    }
    return result;
}

int shell_open_unelevated(const char* target) {
    wchar_t local[PATH_BUFFER_UNITS];
    int32_t capacity = PATH_BUFFER_UNITS;
    wchar_t* wide = utf8_to_wide(local, &capacity, target, -1);
    if (wide == nullptr) {
        return -1;
    }
    // A thread that already runs COM in the other model can still make the calls; only a
    // successful initialisation here is ours to undo.
    HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    bool opened = (SUCCEEDED(com) || com == RPC_E_CHANGED_MODE) && open_through_desktop(wide);
    if (SUCCEEDED(com)) {
        CoUninitialize();
    }
    int result = opened ? 0 : shell_execute_wide(wide);
    if (wide != local) {
        heap_free(wide);
    }
    return result;
}

int system_error_text(uint32_t code, char* out, int32_t out_size) {
    if (out_size <= 0) {
        return -1;
    }
    wchar_t text[MESSAGE_UNITS];
    // 0x12FF: from the system, no inserts, one line (line breaks become spaces).
    DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                                      FORMAT_MESSAGE_MAX_WIDTH_MASK,
                                  nullptr, code, 0, text, MESSAGE_UNITS, nullptr);
    if (length == 0) {
        out[0] = '\0';
        return -1;
    }
    // The one-line form ends "text. "; the text is wanted without the period.
    if (length > 2 && text[length - 2] == L'.' && text[length - 1] == L' ') {
        text[length - 2] = L'\0';
    }
    return wide_to_utf8(out, out_size, text, -1) > 0 ? 0 : -1;
}
