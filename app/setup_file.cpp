#include "app/setup_file.h"

#include "app/config.h"
#include "app/install_log.h"
#include "rt/file_handle.h"
#include "rt/heap.h"
#include "rt/process.h"
#include "rt/result.h"
#include "rt/signature.h"

int setup_file_create(const RunFolder* run, SetupWriter* writer)
{
    writer->file = nullptr;
    writer->length = 0;
    writer->digest = {};
    if (sha256_begin(&writer->digest) != 0) {
        return 1;
    }
    // Marked at once: until it has passed every check, the file goes with its last handle.
    writer->file = file_create_in(run->folder, SETUP_FILE_NAME, nullptr);
    if (!writer->file || handle_delete(writer->file) != 0) {
        DWORD error = GetLastError();
        sha256_release(&writer->digest);
        handle_close(&writer->file); // a file that can't be marked can't be deleted either
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
        return fail_with(ERROR_WRITE_FAULT);
    }
    if (sha256_update(&writer->digest, data, length) != 0) {
        return fail_with(ERROR_INVALID_FUNCTION);
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
        return fail_with(ERROR_INVALID_FUNCTION);
    }
    return 0;
}

int setup_file_judge(SetupWriter* writer, PeVerdict* verdict, uint64_t* needed)
{
    uint32_t size = writer->length < PE_HEAD_READ ? (uint32_t)writer->length : PE_HEAD_READ;
    uint8_t* head = (uint8_t*)heap_alloc(size ? size : 1);
    if (!head) {
        return fail_with(ERROR_NOT_ENOUGH_MEMORY);
    }
    // Through the handle that wrote it, which nobody else could write through: what is judged is
    // what was written. A read at an offset moves the file's position; it goes back to the end.
    OVERLAPPED at = {};
    DWORD got = 0;
    DWORD error = size == 0 || ReadFile(writer->file, head, size, &got, &at) ? 0 : GetLastError();
    LARGE_INTEGER none = {};
    if (!SetFilePointerEx(writer->file, none, nullptr, FILE_END) && error == 0) {
        error = GetLastError();
    }
    if (error == 0 && got != size) {
        error = ERROR_HANDLE_EOF; // the file is shorter than its writer wrote
    }
    if (error == 0) {
        *verdict = pe_verdict(head, size, writer->length, needed);
    }
    heap_free(head);
    return error == 0 ? 0 : fail_with(error);
}

// The file was written through a handle that let nobody else write, and the lock was taken from
// it (file_lock_from_writer says who could write it in between: only those who may change the
// program anyway): the digest of what was written is the digest of what is there, and reading the
// file again would tell nothing new. What is left to check through the lock is the signature (when
// one is asked for), the system's verdict on those very bytes, and that the path still leads to
// the file.
static bool intact(const RunFolder* run, const char* signer)
{
    if (!run->setup_lock || !handle_is_at(run->setup_lock, run->setup_path)) {
        SetLastError(ERROR_PATH_REDIRECTED);
        return false;
    }
    return !signer || signer_check(run->setup_lock, run->setup_path, signer) == 0;
}

bool setup_file_intact(const RunFolder* run)
{
    const InstallerConfig* config = process_globals.config;
    return intact(run, config ? config->signer : nullptr);
}

int setup_file_finish(SetupWriter* writer, RunFolder* run)
{
    const InstallerConfig* config = process_globals.config;
    const char* pin = config ? config->sha256 : nullptr;
    const char* signer = config ? config->signer : nullptr;
    uint8_t digest[SHA256_DIGEST_SIZE];
    if (sha256_finish(&writer->digest, digest) != 0) {
        setup_file_discard(writer);
        return fail_with(ERROR_INVALID_FUNCTION);
    }
    bool allowed = !pin || sha256_compare_hex(digest, pin) == 0;
    install_log("setup file: %U bytes, sha256 %32b, pin %s", writer->length, digest,
                !pin ? "not set" : allowed ? "matches" : "does not match");
    if (!allowed) {
        setup_file_discard(writer);
        return fail_with(ERROR_INVALID_DATA);
    }
    HANDLE lock = file_lock_from_writer(&writer->file);
    if (!lock) {
        DWORD error = GetLastError();
        setup_file_discard(writer);
        return fail_with(error);
    }
    run->setup_lock = lock;
    if (!intact(run, signer)) {
        install_log_failure("setup file refused", GetLastError());
        setup_file_drop(run);
        // One cause for every refusal of the file itself: the download rules the address out
        // for it as for a pin that does not match.
        return fail_with(ERROR_INVALID_DATA);
    }
    if (signer) {
        install_log("setup file signed by \"%s\", as configured", signer);
    }
    return 0;
}

void setup_file_discard(SetupWriter* writer)
{
    sha256_release(&writer->digest);
    if (writer->file) {
        (void)handle_delete(writer->file); // nothing more can be done about a file that stays
        handle_close(&writer->file);
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
        return fail_with(error);
    }
    return setup_file_finish(&writer, run);
}

void setup_file_drop(RunFolder* run)
{
    if (run->setup_lock) {
        (void)handle_delete(run->setup_lock); // a file that stays is swept by a later run
        handle_close(&run->setup_lock);
    }
}
