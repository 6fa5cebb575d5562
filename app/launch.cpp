// The local setup path and the start of the setup program.
#include "app/launch.h"

#include "app/config.h"
#include "app/install_log.h"
#include "rt/format.h"
#include "rt/heap.h"
#include "app/run_folder.h"
#include "rt/file_handle.h"
#include "rt/text.h"

const char* setup_path()
{
    RunFolder* run = process_globals.run;
    return run ? run->setup_path : nullptr;
}

// The path is quoted, so that a setup program whose path holds a space still finds its
// arguments where it expects them; the arguments follow verbatim.
char* setup_command_line(const char* path, const char* args)
{
    return alloc_format("\"%s\" %s%Z", path, args ? args : "");
}

static int create_setup_process(const wchar_t* path, wchar_t* command, const wchar_t* folder)
{
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    // Started in its own folder: the folder the installer was started from (Downloads, as a
    // rule) is anyone's to write DLLs into.
    if (!CreateProcessW(path, command, nullptr, nullptr, FALSE, 0, nullptr, folder, &startup, &process)) {
        return -1;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return 0;
}

int run_setup()
{
    RunFolder* run = process_globals.run;
    // The lock keeps the file from changing and its folder handle keeps the path leading to it.
    if (!run || !run->setup_lock || !handle_is_at(run->setup_lock, run->setup_path)) {
        install_log("setup not started: its file is not where it was written");
        return -1;
    }
    char* command = setup_command_line(run->setup_path, process_globals.config->setup_args);
    wchar_t* wide_path = utf8_to_wide(nullptr, nullptr, run->setup_path, -1);
    wchar_t* wide_command = command ? utf8_to_wide(nullptr, nullptr, command, -1) : nullptr;
    wchar_t* wide_folder = utf8_to_wide(nullptr, nullptr, run->path, -1);

    int result = -1;
    if (wide_path && wide_command && wide_folder) {
        install_log("starting setup: %s", command);
        result = create_setup_process(wide_path, wide_command, wide_folder);
    } else {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    }
    if (result == 0) {
        install_log("setup started");
        run->setup_started = true;
    } else {
        install_log_failure("setup not started", GetLastError());
        setup_file_drop(run); // a file that can't be started is of no use to anyone
    }
    heap_free(wide_folder);
    heap_free(wide_command);
    heap_free(wide_path);
    heap_free(command);
    return result;
}
