// The local setup path and the start of the setup program.
#include "app/launch.h"

#include "app/config.h"
#include "app/install_log.h"
#include "app/run_folder.h"
#include "app/setup_file.h"
#include "rt/file_handle.h"
#include "rt/format.h"
#include "rt/heap.h"
#include "rt/environment.h"
#include "rt/process.h"

// Variables that make a process load code from a path of the environment's choosing: the .NET
// profilers, startup hooks and runtime location (the COMPlus_ and DOTNET_ settings name JIT and
// profiler DLLs too), and the Java launcher's agent options. The environment is the user's to set,
// and setup runs elevated.
static const char* const SETUP_ENVIRONMENT_DROPPED[] = {
    "COR_ENABLE_PROFILING", "COR_PROFILER*",  "CORECLR_*",     "DOTNET_*",
    "COMPlus_*",            "JAVA_TOOL_OPTIONS", "_JAVA_OPTIONS", "JDK_JAVA_OPTIONS",
};

// The setup program's environment: the installer's own, without SETUP_ENVIRONMENT_DROPPED, and
// with TMP and TEMP in the run's protected folder, so that what setup unpacks is out of reach of
// the user's programs as setup.exe itself is. A new heap block; null on failure.
static wchar_t* setup_environment(const RunFolder* run)
{
    char* tmp = alloc_format("TMP=%s%Z", run->temp_path);
    char* temp = alloc_format("TEMP=%s%Z", run->temp_path);
    const char* set[] = {tmp, temp};
    wchar_t* environment =
        tmp && temp ? environment_of_process_edit(SETUP_ENVIRONMENT_DROPPED,
                                                  sizeof SETUP_ENVIRONMENT_DROPPED / sizeof SETUP_ENVIRONMENT_DROPPED[0],
                                                  set, 2)
                    : nullptr;
    DWORD error = GetLastError();
    heap_free(temp);
    heap_free(tmp);
    SetLastError(error);
    return environment;
}

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
        if (run) {
            setup_file_drop(run);
        }
        SetLastError(ERROR_PATH_REDIRECTED);
        return -1;
    }
    char* command = setup_command_line(run->setup_path, process_globals.config->setup_args);
    wchar_t* environment = command ? setup_environment(run) : nullptr;
    if (!command || !environment) {
        DWORD error = GetLastError();
        install_log_failure("setup not started", error);
        heap_free(command);
        setup_file_drop(run);
        SetLastError(error);
        return -1;
    }
    install_log("starting setup: %s", command);
    // The file is marked for deletion until now, and a marked file can't be opened, by
    // CreateProcessW neither. The lock still keeps everyone else to reading it.
    // Started in its own folder: the folder the installer was started from (Downloads, as a
    // rule) is anyone's to write DLLs into.
    int result = handle_keep(run->setup_lock) == 0 && process_start(run->setup_path, command, run->path, environment) == 0
                     ? 0
                     : -1;
    DWORD error = GetLastError();
    heap_free(environment);
    if (result == 0) {
        install_log("setup started");
        run->setup_started = true;
    } else {
        install_log_failure("setup not started", error);
        setup_file_drop(run); // a file that can't be started is of no use to anyone; marked again
    }
    heap_free(command);
    SetLastError(error);
    return result;
}
