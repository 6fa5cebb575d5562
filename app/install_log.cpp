#include "app/install_log.h"

#include <stdarg.h>

#include "rt/file_handle.h"
#include "rt/format.h"
#include "rt/security.h"
#include "rt/shell.h"

// A line longer than this is cut: an address can take most of the configuration block.
static const uint32_t LINE_BYTES = 1536;
// Room kept at the end of the log for the line that says it stopped.
static const uint32_t STOP_LINE_BYTES = 96;

// The worker and the main thread both write; the lock keeps their lines whole and in order.
static SRWLOCK log_lock = SRWLOCK_INIT;
static HANDLE log_file;         // null while no log is open
static uint32_t log_written;
static bool log_full;
static ULONGLONG log_clock_start;

void install_log_start_clock()
{
    log_clock_start = GetTickCount64();
}

int install_log_open(HANDLE folder)
{
    // The log may hold setup arguments and address queries (tokens, licence keys): only SYSTEM and
    // the Administrators (and, in a run without elevation, the user it runs as) may read it.
    ProtectedDescriptor descriptor;
    uint32_t protection = process_is_elevated() ? PROTECT_OWNER_ADMINS : PROTECT_CURRENT_USER;
    if (protected_descriptor_init(&descriptor, protection) != 0) {
        return 1;
    }
    HANDLE file = file_create_in(folder, INSTALL_LOG_NAME, &descriptor.descriptor);
    if (!file) {
        return 1;
    }
    AcquireSRWLockExclusive(&log_lock);
    if (log_file) {
        CloseHandle(log_file);
    }
    log_file = file;
    log_written = 0;
    log_full = false;
    if (log_clock_start == 0) {
        log_clock_start = GetTickCount64();
    }
    ReleaseSRWLockExclusive(&log_lock);
    return 0;
}

// Writes the whole span or gives up on the log: a log that failed once is not trusted to be whole.
static void write_locked(const char* text, uint32_t length)
{
    DWORD written = 0;
    if (!WriteFile(log_file, text, length, &written, nullptr) || written != length) {
        log_full = true;
        return;
    }
    log_written += length;
}

// The event's text after its time: what fits of the formatted event, then the line's end.
static uint32_t format_line(char* line, const char* format, va_list args)
{
    uint32_t length = 0;
    int32_t time = str_print(line, LINE_BYTES, "%U ", (uint64_t)(GetTickCount64() - log_clock_start));
    if (time > 0) {
        length = (uint32_t)time;
    }
    const uint32_t end_room = 3; // "\r\n" and the formatter's spare byte
    int32_t event = str_format(line + length, LINE_BYTES - length - end_room, format, args);
    if (event > 0) {
        length += (uint32_t)event;
    } else if (event < 0) {
        length = LINE_BYTES - end_room - 1; // cut: the formatter filled what it had
    }
    line[length++] = '\r';
    line[length++] = '\n';
    return length;
}

void install_log(const char* format, ...)
{
    if (!log_file) {
        return;
    }
    // Callers log a failure before they hand its error on.
    DWORD error = GetLastError();
    char line[LINE_BYTES];
    va_list args;
    va_start(args, format);
    uint32_t length = format_line(line, format, args);
    va_end(args);

    AcquireSRWLockExclusive(&log_lock);
    if (log_file && !log_full) {
        if (log_written + length <= INSTALL_LOG_CAP - STOP_LINE_BYTES) {
            write_locked(line, length);
        } else {
            char stop[STOP_LINE_BYTES];
            int32_t stop_length =
                str_print(stop, sizeof stop, "%U log stopped: it reached %u bytes\r\n",
                          (uint64_t)(GetTickCount64() - log_clock_start), INSTALL_LOG_CAP - STOP_LINE_BYTES);
            if (stop_length > 0) {
                write_locked(stop, (uint32_t)stop_length);
            }
            log_full = true;
        }
    }
    ReleaseSRWLockExclusive(&log_lock);
    SetLastError(error);
}

void install_log_failure(const char* what, uint32_t code)
{
    // The formatter's own error conversion fails the whole line for a code without a text.
    char text[512];
    bool has_text = system_error_text(code, text, (int32_t)sizeof text) == 0 && text[0] != '\0';
    const char* number = (code & 0x80000000u) != 0 ? "%s: (0x%08Xu) %s" : "%s: (%u) %s";
    install_log(number, what, code, has_text ? text : "no text from the system");
}

void install_log_close()
{
    AcquireSRWLockExclusive(&log_lock);
    if (log_file) {
        CloseHandle(log_file);
        log_file = nullptr;
    }
    ReleaseSRWLockExclusive(&log_lock);
}
