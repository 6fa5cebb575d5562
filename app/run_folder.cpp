#include "app/run_folder.h"

#include "app/install_log.h"
#include "rt/file.h"
#include "rt/file_handle.h"
#include "rt/format.h"
#include "rt/heap.h"
#include "rt/random.h"
#include "rt/security.h"
#include "rt/text.h"

// A name that exists already is made again: a run never uses a folder it did not just make.
static const int NAME_ATTEMPTS = 16;
static const uint32_t NAME_LENGTH = sizeof(RUN_FOLDER_PREFIX) - 1 + RUN_FOLDER_RANDOM_BYTES * 2;
// Rights the sweep needs to recognise a folder by its owner and access list.
static const SECURITY_INFORMATION SWEEP_SECURITY = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
static const DWORD SWEEP_DESCRIPTOR_BYTES = 4096;
// An earlier run's folder stays this long, whole.
static const uint64_t RUN_KEEP_100NS = 7ULL * 24 * 60 * 60 * 10000000;

RunFolder* current_run_folder;

static int random_name(char name[NAME_LENGTH + 1])
{
    uint8_t random[RUN_FOLDER_RANDOM_BYTES];
    if (random_bytes(random, sizeof random) != 0) {
        return 1;
    }
    char* at = name;
    for (const char* p = RUN_FOLDER_PREFIX; *p; ++p) {
        *at++ = *p;
    }
    for (uint8_t byte : random) {
        *at++ = FORMAT_DIGITS[16 + (byte >> 4)];
        *at++ = FORMAT_DIGITS[16 + (byte & 15)];
    }
    *at = '\0';
    return 0;
}

bool run_folder_name_is_ours(const char* name)
{
    if (!text_starts_with(name, RUN_FOLDER_PREFIX, false)) {
        return false;
    }
    name += sizeof(RUN_FOLDER_PREFIX) - 1;
    uint32_t digits = 0;
    for (; *name; ++name, ++digits) {
        bool hex = (*name >= '0' && *name <= '9') || (*name >= 'a' && *name <= 'f');
        if (!hex) {
            return false;
        }
    }
    return digits == RUN_FOLDER_RANDOM_BYTES * 2;
}

// Makes the folder under the held parent; 0 with run->folder, or 1.
static int make_folder(RunFolder* run, ProtectedDescriptor* descriptor)
{
    for (int attempt = 0; attempt < NAME_ATTEMPTS; ++attempt) {
        char name[NAME_LENGTH + 1];
        if (random_name(name) != 0) {
            return 1;
        }
        HANDLE folder = nullptr;
        if (dir_create_in(run->parent, name, &descriptor->descriptor, &folder) == 0) {
            run->folder = folder;
            CopyMemory(run->name, name, sizeof run->name);
            return 0;
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS) {
            return 1;
        }
    }
    return 1;
}

int run_folder_create_in(RunFolder* run, const char* parent)
{
    *run = {};
    ProtectedDescriptor* descriptor = (ProtectedDescriptor*)heap_alloc_zeroed(sizeof(ProtectedDescriptor));
    if (!descriptor) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 1;
    }
    int result = 1;
    // Without elevation the folder is under the user's own %TMP% and the user must create the
    // files in it: there are no rights to take from the user who runs the installer.
    uint32_t protection = process_is_elevated() ? PROTECT_FOLDER_ELEVATED : PROTECT_FOLDER_USER;
    run->parent = dir_open_held(parent, FILE_TRAVERSE | FILE_LIST_DIRECTORY | FILE_ADD_SUBDIRECTORY);
    if (run->parent && protected_descriptor_init(descriptor, protection) == 0 && make_folder(run, descriptor) == 0 &&
        dir_create_in(run->folder, RUN_TEMP_NAME, nullptr, &run->temp) == 0) {
        // The paths come from the handle: they name the very folder that was made.
        run->path = handle_path(run->folder);
        run->setup_path = run->path ? alloc_format("%s\\%s%Z", run->path, SETUP_FILE_NAME) : nullptr;
        run->temp_path = run->path ? alloc_format("%s\\%s%Z", run->path, RUN_TEMP_NAME) : nullptr;
        result = run->setup_path && run->temp_path ? 0 : 1;
    }
    DWORD error = GetLastError();
    heap_free(descriptor);
    if (result != 0) {
        run_folder_release(run);
        SetLastError(error ? error : ERROR_NOT_ENOUGH_MEMORY);
    }
    return result;
}

int run_folder_create(RunFolder* run)
{
    // Without elevation the system's folder is of no use: its admin-only folders would lock the
    // installer out of its own files. The user's own folder serves.
    char* parent = temp_folder_path(process_is_elevated());
    int result = parent ? run_folder_create_in(run, parent) : 1;
    heap_free(parent);
    return result;
}

// Removes the held folder `name` inside the held folder parent through a handle opened for that;
// refused while anything is left in it.
static void remove_folder_in(HANDLE parent, const char* name)
{
    HANDLE folder = dir_open_in(parent, name);
    if (folder) {
        (void)handle_delete(folder); // a folder that stays is swept by a later run
        CloseHandle(folder);
    }
}

void run_folder_release(RunFolder* run)
{
    bool setup_started = run->setup_started;
    if (run->setup_lock) {
        if (!setup_started) {
            (void)handle_delete(run->setup_lock); // a file that stays is swept by a later run
        }
        handle_close(&run->setup_lock);
    }
    bool remove = run->folder && !setup_started;
    // The held folders keep the names leading to them; each is reopened for deletion, which the
    // held handles could not have had without keeping setup out of its folders.
    bool had_temp = run->temp != nullptr;
    handle_close(&run->temp);
    if (remove && had_temp) {
        remove_folder_in(run->folder, RUN_TEMP_NAME);
    }
    handle_close(&run->folder);
    if (remove) {
        remove_folder_in(run->parent, run->name);
    }
    handle_close(&run->parent);
    heap_free(run->temp_path);
    heap_free(run->setup_path);
    heap_free(run->path);
    run->temp_path = nullptr;
    run->setup_path = nullptr;
    run->path = nullptr;
}

// ---- earlier runs -------------------------------------------------------------------------------

struct SweepFolder {
    HANDLE folder;
    bool complete;       // every entry so far could go
};

// True when the folder was made within RUN_KEEP_100NS of now: the whole folder then stays, the
// setup program's files with it (a setup that goes on from its folder after a restart, an
// installer package that keeps its source there), and its log for whoever has to find out why the
// run failed. The time is the folder's own, which nobody but the administrators can change.
static bool folder_is_recent(HANDLE folder, uint64_t now)
{
    FILETIME made = {};
    return GetFileTime(folder, &made, nullptr, nullptr) && file_time_value(&made) + RUN_KEEP_100NS > now;
}

static void sweep_entry(const char* name, DWORD attributes, void* context)
{
    SweepFolder* sweep = (SweepFolder*)context;
    if (!sweep->complete) {
        return;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        // The run's temporary folder goes when setup left it empty; a setup program's own
        // folders, and anything it left, are its business: the folder stays.
        HANDLE folder = lstrcmpiA(name, RUN_TEMP_NAME) == 0 ? dir_open_in(sweep->folder, name) : nullptr;
        if (!folder || handle_delete(folder) != 0) {
            sweep->complete = false;
        }
        if (folder) {
            CloseHandle(folder);
        }
        return;
    }
    HANDLE file = file_open_for_delete_in(sweep->folder, name);
    if (!file) {
        sweep->complete = false;
        return;
    }
    if (handle_delete(file) != 0) {
        sweep->complete = false; // a program that still runs from it, for one
    }
    CloseHandle(file);
}

bool run_folder_empty_out(HANDLE folder, uint64_t now)
{
    if (folder_is_recent(folder, now)) {
        return false;
    }
    SweepFolder contents = {folder, true};
    return dir_list_handle(folder, sweep_entry, &contents) == 0 && contents.complete;
}

static bool folder_is_protected(HANDLE folder)
{
    void* descriptor = heap_alloc(SWEEP_DESCRIPTOR_BYTES);
    DWORD needed = 0;
    bool ours = descriptor &&
                GetKernelObjectSecurity(folder, SWEEP_SECURITY, descriptor, SWEEP_DESCRIPTOR_BYTES, &needed) &&
                descriptor_is_admin_only(descriptor);
    heap_free(descriptor);
    return ours;
}

struct SweepParent {
    HANDLE parent;
    uint64_t now;        // file_time_value units
};

static void sweep_candidate(const char* name, DWORD attributes, void* context)
{
    const SweepParent* sweep = (const SweepParent*)context;
    if (!run_folder_name_is_ours(name) || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
        (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        return;
    }
    // Opened with delete access: a folder that a running installer holds refuses it.
    HANDLE folder = dir_open_in(sweep->parent, name);
    if (!folder) {
        return;
    }
    if (folder_is_protected(folder) && run_folder_empty_out(folder, sweep->now)) {
        (void)handle_delete(folder); // refused when something is left after all
    }
    CloseHandle(folder);
}

int run_folders_sweep(const char* parent)
{
    SweepParent sweep = {dir_open_held(parent, FILE_TRAVERSE | FILE_LIST_DIRECTORY), file_time_now()};
    if (!sweep.parent) {
        return 1;
    }
    // Listed through the held handle: the folder that was checked is the folder that is listed.
    int result = dir_list_handle(sweep.parent, sweep_candidate, &sweep);
    CloseHandle(sweep.parent);
    return result;
}
