// installer_main: start-up, the choice between the embedded-payload mode and the download mode,
// and the tear-down of each.
#include <windows.h>
#include <gdiplus.h>

#include "app/address.h"
#include "app/app_state.h"
#include "app/config.h"
#include "app/download.h"
#include "app/error_window.h"
#include "app/install_log.h"
#include "app/installer.h"
#include "app/launch.h"
#include "app/run_folder.h"
#include "app/setup_file.h"
#include "app/single_instance.h"
#include "app/splash.h"
#include "app/worker_report.h"
#include "rt/buffer.h"
#include "rt/dll_search.h"
#include "rt/file.h"
#include "rt/heap.h"
#include "rt/resource.h"
#include "rt/system_imports.h"

static const int EMBEDDED_SETUP_RESOURCE = 7;

// This run's folder; current_run_folder points here once it exists.
static RunFolder run_folder;

// Length of the block's text. A block without its terminator is cut before the last byte, so
// the parser never reads past the block.
static uint32_t config_text_length(const char* block)
{
    uint32_t length = 0;
    while (length < CONFIG_BLOCK_SIZE - 1 && block[length] != '\0') {
        ++length;
    }
    return length;
}

// Removes what earlier runs left in the system's temporary folder; nothing depends on it.
static void sweep_earlier_runs()
{
    char* parent = temp_folder_path(true);
    if (parent) {
        (void)run_folders_sweep(parent); // a folder that can't go now goes another time
    }
    heap_free(parent);
}

// Writes one configuration value; addresses lose any user name and password on the way.
static void log_setting(const char* key, const char* value, bool address)
{
    if (!value) {
        install_log("config %s: (none)", key);
        return;
    }
    char shown[CONFIG_BLOCK_SIZE];
    if (address) {
        address_without_credentials(value, shown, sizeof shown);
        value = shown;
    }
    install_log("config %s: \"%s\"", key, value);
}

static void log_configuration(const InstallerConfig* config)
{
    log_setting("https_url", config->https_url, true);
    log_setting("http_url", config->http_url, true);
    log_setting("setup_args", config->setup_args, false);
    log_setting("sha256", config->sha256, false);
    log_setting("signer", config->signer, false);
}

// Makes this run's folder and starts its log there. 0, or 1 when there is none: then nothing can
// be written or started.
static int make_run_folder(const InstallerConfig* config)
{
    if (run_folder_create(&run_folder) != 0) {
        return 1;
    }
    current_run_folder = &run_folder;
    if (install_log_open(run_folder.folder) == 0) { // without a log the run goes on all the same
        install_log("folder %s", run_folder.path);
        log_configuration(config);
    }
    return 0;
}

// Writes the carried setup program into this run's folder and starts it. No window is ever shown.
static int run_embedded_setup(const ByteSpan* payload)
{
    install_log("embedded setup program: %u bytes", payload->length);
    if (!current_run_folder || setup_file_write_all(current_run_folder, payload->data, payload->length) != 0) {
        install_log_failure("embedded setup program not written", GetLastError());
        return 1;
    }
    return run_setup() == 0 ? 0 : 1;
}

// Shows the error window and runs the loop until the user closes it.
static void report_early_failure()
{
    show_error_window();
    ui_message_loop();
}

// Starts the download before the splash exists: the window's set-up (GDI+, artwork, the first
// pictures) then costs the user no time. The worker holds back its reports until splash_shown.
static int start_worker(AppState* app, RunFolder* run)
{
    // The worker starts setup itself: a file that can't be started sends it to the next address.
    download_start_setup = run_setup;
    app->splash_ready = CreateEventW(nullptr, TRUE, FALSE, nullptr); // manual-reset: stays set
    app->worker = app->splash_ready ? CreateThread(nullptr, 0, download_worker, run, 0, nullptr) : nullptr;
    if (!app->worker) {
        if (app->splash_ready) {
            CloseHandle(app->splash_ready);
            app->splash_ready = nullptr;
        }
        return 1;
    }
    return 0;
}

// From here on the worker renders its progress and posts its results to the splash window (or,
// with splash_missing set before, learns that there is nobody to tell).
static void splash_shown(AppState* app)
{
    if (app->splash_ready) {
        SetEvent(app->splash_ready);
    }
}

static int setup_splash_window(AppState* app)
{
    Gdiplus::GdiplusStartupInput gdiplus_input;
    (void)Gdiplus::GdiplusStartup(&app->gdiplus_token, &gdiplus_input, nullptr); // a failure shows as a missing splash

    splash_settle_dpi();
    if (ui_register_class() != 0) {
        return 1;
    }
    process_globals.flags |= PROCESS_CLASS_REGISTERED;
    if (ui_window_create(&app->splash) != 0) {
        return 1;
    }
    return splash_setup(); // its first picture shows what the worker has done so far
}

// Without a splash (GDI+ or the artwork failed) the download still ends as it would with one:
// setup starts after a good download, the error window shows after a bad one. The worker's own
// limits end it.
static int run_without_splash(AppState* app, bool worker_started)
{
    InterlockedExchange(&app->splash_missing, 1);
    splash_shown(app);
    DWORD result = 1;
    if (worker_started && worker_join(app, INFINITE, &result) != 0) {
        return 1;
    }
    finish_download(app, result);
    if (app->exit_code != 0 && app->error_window.hwnd) {
        ui_message_loop();
    }
    return app->exit_code;
}

// The download mode up to the end of its message loop: 0 once setup was started or the user
// closed the splash, 1 after any failure (shown in the error window where it can be).
// A failure after the worker started leaves it to the tear-down to stop.
static int run_download_mode(AppState* app, bool may_download)
{
    app->progress = 1;
    bool worker_started = may_download && current_run_folder && start_worker(app, current_run_folder) == 0;
    if (setup_splash_window(app) != 0) {
        return run_without_splash(app, worker_started);
    }
    splash_shown(app);
    if (!worker_started) {
        report_early_failure();
        return 1;
    }
    ui_message_loop();
    return app->exit_code;
}

// How long the tear-down waits for a stopped worker. A read that the system cannot interrupt
// (a server that sends nothing) may outlast it; see stop_worker.
static const DWORD WORKER_STOP_MS = 5000;

// Stops and joins the worker. The loop can end while it still downloads (the user closed the
// splash). Returns false when it did not end in time: it may still use AppState, the bitmaps and
// GDI+, so nothing of those may be released before the process ends. Its setup file, marked for
// deletion until setup starts, goes when the process ends and the system closes its handles.
static bool stop_worker(AppState* app)
{
    if (!app->worker) {
        return true;
    }
    download_cancel();
    DWORD ignored = 0;
    return worker_join(app, WORKER_STOP_MS, &ignored) == 0;
}

static void teardown_download_mode(AppState* app)
{
    if (!stop_worker(app)) {
        return; // AppState stays for the worker until the process exits
    }
    error_window_release();
    // The splash may outlive the loop (the error window ended it): it must not hand out the object
    // once the program has let go of it. Clients that still hold it keep it, disconnected.
    app->splash.accessible = nullptr;
    if (app->splash_access) {
        ui_accessible_disconnect(app->splash_access);
        ui_accessible_release(app->splash_access);
        app->splash_access = nullptr;
    }
    if (app->background_bitmap) {
        DeleteObject(app->background_bitmap);
    }
    if (app->cap_bitmap) {
        DeleteObject(app->cap_bitmap);
    }
    if (app->gdiplus_token) {
        Gdiplus::GdiplusShutdown(app->gdiplus_token);
    }
    if (process_globals.flags & PROCESS_CLASS_REGISTERED) {
        ui_unregister_class();
        process_globals.flags &= ~PROCESS_CLASS_REGISTERED;
    }
    process_globals.dpi = 0;
    heap_free(app);
    process_globals.app = nullptr;
}

static int run_installer(InstallerConfig* config)
{
    // A signer that no certificate could carry pins nothing a setup program could meet: such a
    // block starts nothing, never runs as if it had no pin. The run still says so in its log and
    // shows the error window, whose link leads to the manual download.
    bool refused = false;
    if (parse_config(config_block, config_text_length(config_block), config) != 0) {
        if (GetLastError() != ERROR_INVALID_DATA) {
            return 1;
        }
        refused = true;
    }
    config->expected_size = DEFAULT_EXPECTED_SIZE;

    sweep_earlier_runs();
    int have_folder = make_run_folder(config); // without one, the download mode shows the error window
    if (refused) {
        install_log("config refused: a signer is empty, holds a control character, is not UTF-8 or has more "
                    "than 64 characters; nothing is downloaded or started");
    }

    ByteSpan payload = {};
    if (resource_load(EMBEDDED_SETUP_RESOURCE, &payload) == 0) {
        return have_folder == 0 && !refused ? run_embedded_setup(&payload) : 1;
    }
    AppState* app = (AppState*)heap_alloc_zeroed(sizeof(AppState));
    if (!app) {
        return 1;
    }
    process_globals.app = app;
    int result = run_download_mode(app, !refused);
    teardown_download_mode(app);
    return result;
}

int installer_main(HINSTANCE instance, HINSTANCE reserved, LPWSTR command_line, int show_command)
{
    install_log_start_clock();
    // Before anything can load a DLL by name from the executable's folder.
    (void)restrict_dll_search(); // 1 still leaves the current directory out of the search

    HANDLE instance_claim = nullptr;
    if (single_instance_claim(&instance_claim) != 0) {
        // 0 only when the running installer's window is found: anything else holding the name
        // must not make this run look done.
        return single_instance_hand_over(SINGLE_INSTANCE_WAIT_MS);
    }

    // A system without one of these DLLs could not have started a program that imports them.
    if (load_system_imports() != 0) {
        single_instance_release(instance_claim);
        return 1;
    }

    process_globals.heap = GetProcessHeap();
    int result = 1;
    InstallerConfig* config = (InstallerConfig*)heap_alloc_zeroed(sizeof(InstallerConfig));
    if (config) {
        process_globals.config = config;
        result = run_installer(config);
        install_log("exit code %d", result);
        install_log_close();
        if (!process_globals.app) { // else a worker that would not stop still uses both
            if (current_run_folder) {
                run_folder_release(current_run_folder);
                current_run_folder = nullptr;
            }
            config_release(config);
            heap_free(config);
            process_globals.config = nullptr;
        }
    }
    single_instance_release(instance_claim);
    return result;
}
