// The local setup path, the start of the setup program, and the reaction to the worker's
// worker-done messages on the main thread.
#include "app/launch.h"

#include "app/app_state.h"
#include "app/config.h"
#include "app/error_window.h"
#include "rt/format.h"
#include "rt/heap.h"
#include "rt/sha256.h"
#include "rt/text.h"
#include "rt/thread_wait.h"

static const char SETUP_PATH_TEMPLATE[] = "%TMP%\\quorvel\\setup.exe";
static const DWORD WORKER_JOIN_MS = 1000;

// Expands the template; a heap UTF-8 string, or null.
static char* expand_setup_path()
{
    wchar_t* pattern = utf8_to_wide(nullptr, nullptr, SETUP_PATH_TEMPLATE, -1);
    if (!pattern) {
        return nullptr;
    }
    char* result = nullptr;
    DWORD units = ExpandEnvironmentStringsW(pattern, nullptr, 0);
    wchar_t* expanded = units ? (wchar_t*)heap_alloc(units * sizeof(wchar_t)) : nullptr;
    if (expanded && ExpandEnvironmentStringsW(pattern, expanded, units) == units) {
        int32_t bytes = wide_to_utf8(nullptr, 0, expanded, -1);
        result = bytes > 0 ? (char*)heap_alloc((size_t)bytes) : nullptr;
        if (result && wide_to_utf8(result, bytes, expanded, -1) != bytes) {
            heap_free(result);
            result = nullptr;
        }
    }
    heap_free(expanded);
    heap_free(pattern);
    return result;
}

const char* setup_path()
{
    InstallerConfig* config = process_globals.config;
    if (!config->cached_setup_path) {
        config->cached_setup_path = expand_setup_path(); // null is tried again on the next call
    }
    return config->cached_setup_path;
}

// Opens the finished setup file so that nobody can change, replace or delete it until the new
// process has been created from it. INVALID_HANDLE_VALUE when that is not possible.
static HANDLE lock_setup_file(const wchar_t* path)
{
    return CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                       nullptr);
}

// True when the file under the lock may be started: no pin is configured, or its digest matches.
static bool setup_file_trusted(HANDLE file)
{
    const char* pin = process_globals.config->sha256;
    if (!pin) {
        return true;
    }
    uint8_t digest[SHA256_DIGEST_SIZE];
    return sha256_file(file, digest) == 0 && sha256_compare_hex(digest, pin) == 0;
}

static int create_setup_process(const wchar_t* path, wchar_t* command)
{
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(path, command, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
        return -1;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return 0;
}

int run_setup()
{
    const char* path = setup_path();
    if (!path) {
        return -1;
    }
    const char* args = process_globals.config->setup_args;
    char* command = alloc_format("%s %s%Z", path, args ? args : "");
    wchar_t* wide_path = utf8_to_wide(nullptr, nullptr, path, -1);
    wchar_t* wide_command = command ? utf8_to_wide(nullptr, nullptr, command, -1) : nullptr;

    int result = -1;
    if (wide_path && wide_command) {
        HANDLE lock = lock_setup_file(wide_path);
        if (lock != INVALID_HANDLE_VALUE) {
            if (setup_file_trusted(lock)) {
                result = create_setup_process(wide_path, wide_command);
            }
            CloseHandle(lock);
        }
    }
    heap_free(wide_command);
    heap_free(wide_path);
    heap_free(command);
    return result;
}

void on_worker_done(UiWindow* window, WPARAM wparam, LPARAM lparam)
{
    AppState* app = process_globals.app;
    if (!app->worker) {
        return; // a late message after the join
    }
    // wParam 1 means the body is complete and the worker only closes its file: wait for that
    // rather than leave the user in front of a full bar. wParam 0 may come while the second
    // address is still being tried: then a short wait tells whether the worker has ended.
    DWORD limit = wparam == 1 ? INFINITE : WORKER_JOIN_MS;
    if (thread_wait(app->worker, limit) != 0) {
        return;
    }
    DWORD exit_code = 1;
    if (!GetExitCodeThread(app->worker, &exit_code)) {
        exit_code = 1;
    }
    CloseHandle(app->worker);
    app->worker = nullptr;

    if (exit_code == 0 && run_setup() == 0) {
        SendMessageW(app->splash.hwnd, WM_CLOSE, 0, 0);
        return;
    }
    show_error_window();
}
