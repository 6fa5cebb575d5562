#include "rt/shell.h"

#include <windows.h>
#include <exdisp.h>
#include <shellapi.h>
#include <shldisp.h>
#include <shlguid.h>
#include <shlobj.h>
#include <string.h>

#include "rt/format.h"
#include "rt/heap.h"
#include "rt/result.h"
#include "rt/security.h"
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

// How long a click waits for the desktop shell before taking another way. The shell answers at
// once when it is there; COM that is slow to come up (a shell still starting, one that never
// registered its windows, or one that is hung) must not keep the user waiting.
const DWORD DESKTOP_WAIT_MS = 2000;

// Who opens the address: the desktop shell or the caller's other ways, never both.
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
        // S_FALSE is the shell's "nothing took it": then the caller takes another way.
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
    // Once claimed here, the caller takes no other way, however long this takes.
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

// The elevated path is taken unless the token is known not to be elevated.
bool caller_may_be_elevated() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return true;
    }
    bool elevated = token_is_elevated(token, true);
    CloseHandle(token);
    return elevated;
}

// How often, and how far apart, the clipboard is asked for while another program holds it open.
const int CLIPBOARD_TRIES = 10;
const DWORD CLIPBOARD_PAUSE_MS = 50;

}  // namespace

int shell_open_by_desktop(const char* target) {
    DesktopRequest* request = (DesktopRequest*)heap_alloc_zeroed(sizeof(DesktopRequest));
    if (request == nullptr) {
        return 1;
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
        return 1;
    }
    bool ended = thread_wait(thread, DESKTOP_WAIT_MS) == 0;
    bool opened = ended && request->opened;
    if (!ended && InterlockedCompareExchange(&request->claim, CLAIMED_BY_CALLER, UNCLAIMED) != UNCLAIMED) {
        // The shell was already asked: let it answer rather than open the address a second time.
        opened = thread_wait(thread, DESKTOP_WAIT_MS) != 0 || request->opened;
    }
    CloseHandle(thread);
    release_request(request);
    // The shell's own failure stays on its thread; the caller learns that it did not take the target.
    return opened ? 0 : fail_with(ended ? ERROR_NOT_FOUND : ERROR_TIMEOUT);
}

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

ShellOpenSteps shell_open_steps = {
    caller_may_be_elevated, shell_open, shell_open_by_desktop, desktop_user_token, shell_open_as_desktop_user,
    clipboard_put_text,
};

HANDLE desktop_user_token() {
    DWORD process_id = 0;
    HWND shell = GetShellWindow();
    if (shell == nullptr || GetWindowThreadProcessId(shell, &process_id) == 0) {
        SetLastError(ERROR_NOT_FOUND);
        return nullptr;
    }
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process_id);
    if (process == nullptr) {
        return nullptr;
    }
    HANDLE token = nullptr;
    HANDLE primary = nullptr;
    if (OpenProcessToken(process, TOKEN_QUERY | TOKEN_DUPLICATE, &token)) {
        if (token_is_elevated(token, true)) {
            SetLastError(ERROR_ACCESS_DENIED);
        } else if (!DuplicateTokenEx(token,
                                     TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_ASSIGN_PRIMARY | TOKEN_ADJUST_DEFAULT |
                                         TOKEN_ADJUST_SESSIONID,
                                     nullptr, SecurityImpersonation, TokenPrimary, &primary)) {
            primary = nullptr;
        }
        DWORD error = GetLastError();
        CloseHandle(token);
        SetLastError(error);
    }
    DWORD error = GetLastError();
    CloseHandle(process);
    SetLastError(error);
    return primary;
}

int shell_open_as_desktop_user(HANDLE token, const char* target) {
    // One quoted argument: a quote inside would end it, and explorer reads a leading '/' as a switch.
    if (target[0] == '\0' || target[0] == '/' || strchr(target, '"') != nullptr) {
        return fail_with(ERROR_INVALID_PARAMETER);
    }
    // The Windows folder as the system reports it: %SystemRoot% in the environment is the user's to set.
    wchar_t program[MAX_PATH + 16];
    UINT length = GetSystemWindowsDirectoryW(program, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return length == 0 ? 1 : fail_with(ERROR_BUFFER_OVERFLOW);
    }
    lstrcatW(program, L"\\explorer.exe");
    // CreateProcessWithTokenW may write into the command line: it gets a block of its own.
    char* line = alloc_format("\"%q\" \"%s\"%Z", program, target);
    wchar_t* command = line ? utf8_to_wide(nullptr, nullptr, line, -1) : nullptr;
    int result = 1;
    if (command != nullptr) {
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION started = {};
        if (CreateProcessWithTokenW(token, 0, program, command, 0, nullptr, nullptr, &startup, &started)) {
            CloseHandle(started.hThread);
            CloseHandle(started.hProcess);
            result = 0;
        }
    }
    DWORD error = GetLastError();
    heap_free(command);
    heap_free(line);
    SetLastError(error);
    return result;
}

int clipboard_put_text(const char* text) {
    int32_t units = 0;
    wchar_t* wide = utf8_to_wide(nullptr, &units, text, -1);
    if (wide == nullptr) {
        return 1;
    }
    // The clipboard takes the text as movable global memory and owns it once it accepts it.
    HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, (SIZE_T)units * sizeof(wchar_t));
    void* copy = memory != nullptr ? GlobalLock(memory) : nullptr;
    int result = 1;
    if (copy != nullptr) {
        memcpy(copy, wide, (size_t)units * sizeof(wchar_t));
        GlobalUnlock(memory);
        // Another program (a clipboard viewer, a remote session) may hold it open for a moment. The
        // caller's active window owns the new contents: opened without a window, the clipboard is
        // documented to refuse SetClipboardData.
        HWND owner = GetActiveWindow();
        bool open = false;
        for (int attempt = 0; attempt < CLIPBOARD_TRIES && !(open = OpenClipboard(owner)); ++attempt) {
            Sleep(CLIPBOARD_PAUSE_MS);
        }
        if (open) {
            if (EmptyClipboard() && SetClipboardData(CF_UNICODETEXT, memory) != nullptr) {
                memory = nullptr;
                result = 0;
            }
            DWORD error = GetLastError();
            CloseClipboard();
            SetLastError(error);
        }
    }
    DWORD error = GetLastError();
    if (memory != nullptr) {
        GlobalFree(memory);
    }
    heap_free(wide);
    SetLastError(error);
    return result;
}

int shell_open_unelevated(const char* target, ShellOpenWay* way) {
    *way = SHELL_OPEN_NONE;
    const ShellOpenSteps* steps = &shell_open_steps;
    // Whatever this process starts inherits its rights: only an unelevated one opens the target itself.
    if (!steps->caller_may_be_elevated()) {
        if (steps->open_here(target) != 0) {
            return 1;
        }
        *way = SHELL_OPEN_HERE;
        return 0;
    }
    if (steps->open_by_desktop(target) == 0) {
        *way = SHELL_OPEN_BY_DESKTOP;
        return 0;
    }
    // The shell did not take it (busy, hung or suspended): explorer, started with the shell's own
    // token, opens it with the user's rights.
    HANDLE token = steps->desktop_user_token();
    if (token != nullptr) {
        int started = steps->open_as_desktop_user(token, target);
        CloseHandle(token);
        if (started == 0) {
            *way = SHELL_OPEN_AS_DESKTOP_USER;
            return 0;
        }
    }
    // Nothing may open it with the user's rights: the user pastes it into a browser.
    if (steps->copy_to_clipboard(target) != 0) {
        return 1;
    }
    *way = SHELL_OPEN_COPIED;
    return 0;
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
