#include "rt/shell.h"

#include <windows.h>
#include <exdisp.h>
#include <shellapi.h>
#include <shldisp.h>
#include <shlguid.h>
#include <shlobj.h>

#include "rt/heap.h"
#include "rt/result.h"
#include "rt/text.h"
#include "rt/thread_wait.h"

namespace {

// A system message with line breaks turned into spaces needs at most this many units here.
const DWORD MESSAGE_UNITS = 255;
// What stands for an insert ("%1") of a system message: the messages this program reports with
// inserts (ERROR_BAD_EXE_FORMAT, "%1 is not a valid Win32 application") are about a file.
const wchar_t INSERT_TEXT[] = L"the file";
const wchar_t INSERT_TEXT_FIRST[] = L"The file";

// Copies text into out (units, terminator included), each insert ("%1", "%12", "%1!s!") replaced
// by INSERT_TEXT; cut short where out ends.
void replace_inserts(const wchar_t* text, wchar_t* out, DWORD units) {
    DWORD at = 0;
    while (*text && at + 1 < units) {
        if (text[0] != L'%' || text[1] < L'1' || text[1] > L'9') {
            out[at++] = *text++;
            continue;
        }
        ++text;
        while (*text >= L'0' && *text <= L'9') {
            ++text;
        }
        if (*text == L'!') { // a printf-style format of its own, up to the next '!'
            do {
                ++text;
            } while (*text && *text != L'!');
            text += *text ? 1 : 0;
        }
        for (const wchar_t* word = at == 0 ? INSERT_TEXT_FIRST : INSERT_TEXT; *word && at + 1 < units; ++word) {
            out[at++] = *word;
        }
    }
    out[at] = L'\0';
}

// ShellExecuteW of an address already in UTF-16; 0 when the shell accepted it.
int shell_execute_wide(const wchar_t* target) {
    HINSTANCE shown = ShellExecuteW(nullptr, L"open", target, nullptr, nullptr, SW_SHOWNORMAL);
    // The shell reports success by a value above 32, and a failure's cause as the last error.
    return (INT_PTR)shown > 32 ? 0 : 1;
}

// How long a click waits for the desktop shell before opening the address itself. The shell
// answers at once when it is there; COM that is slow to come up (a shell still starting, or one
// that never registered its windows) must not keep the user waiting.
const DWORD DESKTOP_WAIT_MS = 2000;

// Who opens the address: exactly one of the two ways, never both.
const LONG UNCLAIMED = 0;
const LONG CLAIMED_BY_DESKTOP = 1;
const LONG CLAIMED_BY_CALLER = 2;

// Shared by the caller and the thread that talks to the desktop shell. The caller may stop waiting
// for that thread, so whichever of the two lets go last frees it.
struct DesktopRequest {
    volatile LONG references;
    volatile LONG claim;
    bool opened; // the desktop shell accepted the address; read once its thread has ended
    wchar_t* target;
};

void release_request(DesktopRequest* request) {
    if (InterlockedDecrement(&request->references) == 0) {
        heap_free(request->target);
        heap_free(request);
    }
}

// The running desktop shell's window as a dispatch object; null when there is none. Only the
// running shell's object is wanted: asking for it alone keeps any in-process server out of this
// (elevated) process.
IDispatch* desktop_window() {
    IShellWindows* windows = nullptr;
    if (FAILED(CoCreateInstance(CLSID_ShellWindows, nullptr, CLSCTX_LOCAL_SERVER, IID_IShellWindows,
                                (void**)&windows))) {
        return nullptr;
    }
    VARIANT location;
    VariantInit(&location);
    location.vt = VT_I4;
    location.lVal = CSIDL_DESKTOP;
    VARIANT root;
    VariantInit(&root);
    LONG found = 0;
    IDispatch* desktop = nullptr;
    // S_FALSE: no desktop window; the pointer is then null or must not be trusted.
    if (windows->FindWindowSW(&location, &root, SWC_DESKTOP, &found, SWFO_NEEDDISPATCH, &desktop) != S_OK &&
        desktop != nullptr) {
        desktop->Release();
        desktop = nullptr;
    }
    windows->Release();
    return desktop;
}

// The desktop shell's IShellDispatch2, reached from its window through its view; null when any
// step fails. Each step releases the interface it came from once it holds the next one, and a
// null pointer ends the chain: a failure anywhere leaves nothing held.
IShellDispatch2* desktop_shell() {
    IDispatch* desktop = desktop_window();
    IServiceProvider* services = nullptr;
    IShellBrowser* browser = nullptr;
    IShellView* view = nullptr;
    IDispatch* background = nullptr;
    IShellFolderViewDual* folder_view = nullptr;
    IDispatch* application = nullptr;
    IShellDispatch2* shell = nullptr;
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
    return shell;
}

// The shell's "open" of target, asked through its dispatch interface. True when it took it.
bool shell_dispatch_open(IShellDispatch2* shell, const wchar_t* target) {
    BSTR file = SysAllocString(target);
    BSTR empty = SysAllocString(L"");
    BSTR verb = SysAllocString(L"open");
    bool opened = false;
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
    return opened;
}

// Has the desktop's shell process open the target with its "open" verb, so that what starts gets
// the desktop's rights rather than ours, unless the caller has meanwhile claimed the target for
// itself.
bool open_through_desktop(DesktopRequest* request) {
    IShellDispatch2* shell = desktop_shell();
    if (shell == nullptr) {
        return false;
    }
    bool opened = false;
    // Once claimed here, the caller no longer opens the address itself, however long this takes.
    if (InterlockedCompareExchange(&request->claim, CLAIMED_BY_DESKTOP, UNCLAIMED) == UNCLAIMED) {
        opened = shell_dispatch_open(shell, request->target);
    }
    shell->Release();
    return opened;
}

DWORD WINAPI desktop_open_thread(void* parameter) {
    DesktopRequest* request = (DesktopRequest*)parameter;
    // A thread of its own: its COM is set up for this request only and undone after it.
    if (SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE))) {
        request->opened = open_through_desktop(request);
        CoUninitialize();
    }
    release_request(request);
    return 0;
}

// true when the desktop shell took the address (or has it and has not answered in time, when
// opening it here too would open it twice); false when this process must open it itself.
bool ask_desktop(const char* target) {
    DesktopRequest* request = (DesktopRequest*)heap_alloc_zeroed(sizeof(DesktopRequest));
    if (request == nullptr) {
        return false;
    }
    int32_t units = 0;
    request->target = utf8_to_wide(nullptr, &units, target, -1);
    request->references = 2;
    HANDLE thread = nullptr;
    if (request->target != nullptr) {
        thread = CreateThread(nullptr, 0, desktop_open_thread, request, 0, nullptr);
    }
    if (thread == nullptr) {
        request->references = 1; // the thread never got its share
        release_request(request);
        return false;
    }
    bool opened = false;
    if (thread_wait(thread, DESKTOP_WAIT_MS) == 0) {
        opened = request->opened;
    } else if (InterlockedCompareExchange(&request->claim, CLAIMED_BY_CALLER, UNCLAIMED) != UNCLAIMED) {
        // The shell was already asked: let it answer rather than open the address a second time.
        opened = thread_wait(thread, DESKTOP_WAIT_MS) != 0 || request->opened;
    }
    CloseHandle(thread);
    release_request(request);
    return opened;
}

}  // namespace

int shell_open(const char* target) {
    wchar_t local[PATH_BUFFER_UNITS];
    wchar_t* wide = path_to_wide(local, target);
    if (wide == nullptr) {
        return 1;
    }
    int result = shell_execute_wide(wide);
    path_release(wide, local);
    return result;
}

int shell_open_unelevated(const char* target) {
    return ask_desktop(target) ? 0 : shell_open(target);
}

int system_error_text(uint32_t code, char* out, int32_t out_size) {
    if (out_size <= 0) {
        return fail_with(ERROR_INSUFFICIENT_BUFFER);
    }
    wchar_t text[MESSAGE_UNITS];
    // From the system, no inserts, one line (line breaks become spaces). WinINet keeps the texts
    // of its errors (12001-12999) in its own table, asked first once it is loaded.
    HMODULE wininet = GetModuleHandleW(L"wininet.dll");
    DWORD source = FORMAT_MESSAGE_FROM_SYSTEM | (wininet ? FORMAT_MESSAGE_FROM_HMODULE : 0);
    DWORD length = FormatMessageW(source | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK,
                                  wininet, code, 0, text, MESSAGE_UNITS, nullptr);
    if (length == 0) {
        out[0] = '\0';
        return 1; // FormatMessageW's last error says why
    }
    // The one-line form ends "text. "; the text is wanted without the period.
    if (length > 2 && text[length - 2] == L'.' && text[length - 1] == L' ') {
        text[length - 2] = L'\0';
    }
    // The inserts were left in place ("Bad EXE format for %1"): a log should not show them.
    wchar_t plain[MESSAGE_UNITS + 64];
    replace_inserts(text, plain, sizeof plain / sizeof plain[0]);
    return wide_to_utf8(out, out_size, plain, -1) > 0 ? 0 : 1;
}
