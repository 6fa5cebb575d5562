// The local setup path and the start of the setup program.
#include "app/launch.h"

#include "app/config.h"
#include "app/install_log.h"
#include "app/run_folder.h"
#include "app/setup_file.h"
#include "rt/file_handle.h"
#include "rt/format.h"
#include "rt/heap.h"
#include "rt/process.h"

// The path is quoted, so that a setup program whose path holds a space still finds its
// arguments where it expects them; the arguments follow verbatim.
char* setup_command_line(const char* path, const char* args)
{
    return alloc_format("\"%s\" %s%Z", path, args ? args : "");
}

int run_setup()
{
    RunFolder* run = current_run_folder;
    // The lock keeps the file from changing and its folder handle keeps the path leading to it.
    if (!run || !run->setup_lock || !handle_is_at(run->setup_lock, run->setup_path)) {
        install_log("setup not started: its file is not where it was written");
        return -1;
    }
    char* command = setup_command_line(run->setup_path, process_globals.config->setup_args);
    if (!command) {
        install_log_failure("setup not started", ERROR_NOT_ENOUGH_MEMORY);
        setup_file_drop(run);
        return -1;
    }
    install_log("starting setup: %s", command);
    // Started in its own folder: the folder the installer was started from (Downloads, as a
    // rule) is anyone's to write DLLs into.
    int result = process_start(run->setup_path, command, run->path) == 0 ? 0 : -1;
    if (result == 0) {
        install_log("setup started");
        run->setup_started = true;
    } else {
        install_log_failure("setup not started", GetLastError());
        setup_file_drop(run); // a file that can't be started is of no use to anyone
    }
    heap_free(command);
    return result;
}
