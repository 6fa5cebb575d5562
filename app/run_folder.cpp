#include "app/run_folder.h"

#include "app/config.h"
#include "app/install_log.h"
#include "rt/file.h"
#include "rt/file_handle.h"
#include "rt/format.h"
#include "rt/heap.h"
#include "rt/process.h"
#include "rt/random.h"
#include "rt/security.h"
#include "rt/signature.h"

// A name that exists already is made again: a run never uses a folder it did not just make.
static const int NAME_ATTEMPTS = 16;
static const uint32_t NAME_LENGTH = sizeof(RUN_FOLDER_PREFIX) - 1 + RUN_FOLDER_RANDOM_BYTES * 2;
// Rights the sweep needs to recognise a folder by its owner and access list.
static const SECURITY_INFORMATION SWEEP_SECURITY = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
static const DWORD SWEEP_DESCRIPTOR_BYTES = 4096;
// An earlier run's log stays this long, so that a user who runs the installer again after a
// failure still has the failed run's log to send; its folder goes with it afterwards.
static const ULONGLONG LOG_KEEP_100NS = 7ULL * 24 * 60 * 60 * 10000000;

static void close_held(HANDLE* handle)
{
    if (*handle && *handle != INVALID_HANDLE_VALUE) {
        CloseHandle(*handle);
    }
    *handle = nullptr;
}

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
    for (const char* p = RUN_FOLDER_PREFIX; *p; ++p, ++name) {
        if (*name != *p) {
            return false;
        }
    }
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
    run->parent = dir_open_held(parent, FILE_TRAVERSE | FILE_LIST_DIRECTORY | FILE_ADD_SUBDIRECTORY);
    if (run->parent == INVALID_HANDLE_VALUE) {
        run->parent = nullptr;
    } else if (protected_descriptor_init(descriptor) == 0 && make_folder(run, descriptor) == 0) {
        // The path comes from the handle: it names the very folder that was made.
        run->path = handle_path(run->folder);
        run->setup_path = run->path ? alloc_format("%s\\%s%Z", run->path, SETUP_FILE_NAME) : nullptr;
        result = run->setup_path ? 0 : 1;
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
    char* parent = temp_folder_path(true);
    int result = parent ? run_folder_create_in(run, parent) : 1;
    heap_free(parent);
    if (result != 0 && !process_is_elevated()) {
        // Without elevation there are no rights to take: the user's own folder serves.
        parent = temp_folder_path(false);
        result = parent ? run_folder_create_in(run, parent) : 1;
        heap_free(parent);
    }
    return result;
}

void run_folder_release(RunFolder* run)
{
    bool setup_started = run->setup_started;
    if (run->setup_lock) {
        if (!setup_started) {
            (void)handle_delete(run->setup_lock); // a file that stays is swept by a later run
        }
        close_held(&run->setup_lock);
    }
    bool remove = run->folder && !setup_started;
    close_held(&run->folder);
    if (remove) {
        // The held parent keeps the name leading to this run's folder; reopened for deletion,
        // which the held handle could not have had without keeping setup out of its folder.
        HANDLE folder = dir_open_in(run->parent, run->name);
        if (folder != INVALID_HANDLE_VALUE) {
            (void)handle_delete(folder); // refused while anything is left in it
            CloseHandle(folder);
        }
    }
    close_held(&run->parent);
    heap_free(run->setup_path);
    heap_free(run->path);
    run->setup_path = nullptr;
    run->path = nullptr;
}

// ---- earlier runs -------------------------------------------------------------------------------

struct SweepFolder {
    HANDLE folder;
    bool complete;       // every entry so far could go
    bool log_kept;       // a recent log stays, and so does the folder
    ULONGLONG now;       // FILETIME units
};

// True for an install log written within LOG_KEEP_100NS; such a log and its folder stay.
static bool log_is_recent(const SweepFolder* sweep, const char* name, HANDLE file)
{
    if (lstrcmpiA(name, INSTALL_LOG_NAME) != 0) {
        return false;
    }
    FILETIME written = {};
    if (!GetFileTime(file, nullptr, nullptr, &written)) {
        return false;
    }
    ULONGLONG time = ((ULONGLONG)written.dwHighDateTime << 32) | written.dwLowDateTime;
    return time + LOG_KEEP_100NS > sweep->now;
}

static void sweep_entry(const char* name, DWORD attributes, void* context)
{
    SweepFolder* sweep = (SweepFolder*)context;
    if (!sweep->complete) {
        return;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        sweep->complete = false; // a setup program's own folders are its business: the folder stays
        return;
    }
    HANDLE file = file_open_for_delete_in(sweep->folder, name);
    if (file == INVALID_HANDLE_VALUE) {
        sweep->complete = false;
        return;
    }
    if (log_is_recent(sweep, name, file)) {
        sweep->log_kept = true;
    } else if (handle_delete(file) != 0) {
        sweep->complete = false; // a program that still runs from it, for one
    }
    CloseHandle(file);
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
    ULONGLONG now;       // FILETIME units
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
    if (folder == INVALID_HANDLE_VALUE) {
        return;
    }
    if (folder_is_protected(folder)) {
        SweepFolder contents = {folder, true, false, sweep->now};
        if (dir_list_handle(folder, sweep_entry, &contents) == 0 && contents.complete && !contents.log_kept) {
            (void)handle_delete(folder); // refused when something is left after all
        }
    }
    CloseHandle(folder);
}

int run_folders_sweep(const char* parent)
{
    FILETIME now = {};
    GetSystemTimeAsFileTime(&now);
    SweepParent sweep = {dir_open_held(parent, FILE_TRAVERSE | FILE_LIST_DIRECTORY),
                         ((ULONGLONG)now.dwHighDateTime << 32) | now.dwLowDateTime};
    if (sweep.parent == INVALID_HANDLE_VALUE) {
        return 1;
    }
    char pattern[sizeof(RUN_FOLDER_PREFIX) + 1];
    CopyMemory(pattern, RUN_FOLDER_PREFIX, sizeof(RUN_FOLDER_PREFIX) - 1);
    pattern[sizeof(RUN_FOLDER_PREFIX) - 1] = '*';
    pattern[sizeof(RUN_FOLDER_PREFIX)] = '\0';
    int result = dir_list(parent, pattern, sweep_candidate, &sweep);
    CloseHandle(sweep.parent);
    return result;
}

// ---- the setup file -----------------------------------------------------------------------------

int setup_file_create(const RunFolder* run, SetupWriter* writer)
{
    writer->file = INVALID_HANDLE_VALUE;
    writer->length = 0;
    writer->digest = {};
    if (sha256_begin(&writer->digest) != 0) {
        return 1;
    }
    writer->file = file_create_in(run->folder, SETUP_FILE_NAME);
    if (writer->file == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        sha256_release(&writer->digest);
        SetLastError(error);
        return 1;
    }
    return 0;
}

int setup_file_write(SetupWriter* writer, const void* data, uint32_t length)
{
    DWORD written = 0;
    if (!WriteFile(writer->file, data, length, &written, nullptr)) {
        return 1;
    }
    if (written != length) {
        SetLastError(ERROR_WRITE_FAULT);
        return 1;
    }
    if (sha256_update(&writer->digest, data, length) != 0) {
        SetLastError(ERROR_INVALID_FUNCTION);
        return 1;
    }
    writer->length += length;
    return 0;
}

int setup_file_restart(SetupWriter* writer)
{
    LARGE_INTEGER start = {};
    if (!SetFilePointerEx(writer->file, start, nullptr, FILE_BEGIN) || !SetEndOfFile(writer->file)) {
        return 1;
    }
    sha256_release(&writer->digest);
    writer->length = 0;
    if (sha256_begin(&writer->digest) != 0) {
        SetLastError(ERROR_INVALID_FUNCTION);
        return 1;
    }
    return 0;
}

static bool digest_allowed(const uint8_t digest[SHA256_DIGEST_SIZE])
{
    const char* pin = process_globals.config ? process_globals.config->sha256 : nullptr;
    return !pin || sha256_compare_hex(digest, pin) == 0;
}

int setup_file_finish(SetupWriter* writer, RunFolder* run)
{
    run->setup_refusal = ERROR_SUCCESS;
    uint8_t digest[SHA256_DIGEST_SIZE];
    if (sha256_finish(&writer->digest, digest) != 0) {
        setup_file_discard(writer);
        SetLastError(ERROR_INVALID_FUNCTION);
        return 1;
    }
    const char* pin = process_globals.config ? process_globals.config->sha256 : nullptr;
    bool allowed = digest_allowed(digest);
    install_log("setup file: %U bytes, sha256 %32b, pin %s", writer->length, digest,
                !pin ? "not set" : allowed ? "matches" : "does not match");
    if (!allowed) {
        setup_file_discard(writer);
        run->setup_refusal = ERROR_INVALID_DATA;
        SetLastError(ERROR_INVALID_DATA);
        return 1;
    }
    HANDLE lock = file_lock_from_writer(&writer->file);
    if (lock == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        setup_file_discard(writer);
        SetLastError(error);
        return 1;
    }
    run->setup_lock = lock;
    CopyMemory(run->setup_digest, digest, sizeof digest);
    if (!setup_file_intact(run)) {
        run->setup_refusal = GetLastError();
        install_log_failure("setup file refused", run->setup_refusal);
        setup_file_drop(run);
        // One cause for every refusal of the file itself: the download rules the address out
        // for it as for a pin that does not match.
        SetLastError(ERROR_INVALID_DATA);
        return 1;
    }
    const char* signer = process_globals.config ? process_globals.config->signer : nullptr;
    if (signer) {
        install_log("setup file signed by \"%s\", as configured", signer);
    }
    return 0;
}

void setup_file_discard(SetupWriter* writer)
{
    sha256_release(&writer->digest);
    if (writer->file != INVALID_HANDLE_VALUE) {
        (void)handle_delete(writer->file); // nothing more can be done about a file that stays
        CloseHandle(writer->file);
        writer->file = INVALID_HANDLE_VALUE;
    }
}

int setup_file_write_all(RunFolder* run, const void* data, uint32_t length)
{
    SetupWriter writer;
    if (setup_file_create(run, &writer) != 0) {
        return 1;
    }
    if (setup_file_write(&writer, data, length) != 0) {
        DWORD error = GetLastError();
        setup_file_discard(&writer);
        SetLastError(error);
        return 1;
    }
    return setup_file_finish(&writer, run);
}

bool setup_file_intact(const RunFolder* run)
{
    if (!run->setup_lock || !handle_is_at(run->setup_lock, run->setup_path)) {
        SetLastError(ERROR_PATH_REDIRECTED);
        return false;
    }
    uint8_t digest[SHA256_DIGEST_SIZE];
    if (sha256_file(run->setup_lock, digest) != 0) {
        return false;
    }
    for (uint32_t i = 0; i < SHA256_DIGEST_SIZE; ++i) {
        if (digest[i] != run->setup_digest[i]) {
            SetLastError(ERROR_INVALID_DATA);
            return false;
        }
    }
    if (!digest_allowed(digest)) {
        SetLastError(ERROR_INVALID_DATA);
        return false;
    }
    // The signature is checked through the lock, which keeps the file as it is from here until
    // setup has been started from it.
    const char* signer = process_globals.config ? process_globals.config->signer : nullptr;
    return !signer || signer_check(run->setup_lock, run->setup_path, signer) == 0;
}

void setup_file_drop(RunFolder* run)
{
    if (run->setup_lock) {
        (void)handle_delete(run->setup_lock); // a file that stays is swept by a later run
        close_held(&run->setup_lock);
    }
}
