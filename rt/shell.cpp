#include "rt/shell.h"

#include <windows.h>
#include <shellapi.h>

#include "rt/heap.h"
#include "rt/text.h"

namespace {

// A system message with line breaks turned into spaces needs at most this many units here.
const DWORD MESSAGE_UNITS = 255;

}  // namespace

int shell_open(const char* target) {
    wchar_t local[PATH_BUFFER_UNITS];
    int32_t capacity = PATH_BUFFER_UNITS;
    wchar_t* wide = utf8_to_wide(local, &capacity, target, -1);
    if (wide == nullptr) {
        return -1;
    }
    HINSTANCE shown = ShellExecuteW(nullptr, L"open", wide, nullptr, nullptr, SW_SHOWNORMAL);
    if (wide != local) {
        heap_free(wide);
    }
    // The shell reports success by a value above 32.
    return (INT_PTR)shown > 32 ? 0 : -1;
}

int system_error_text(uint32_t code, char* out, int32_t out_size) {
    if (out_size <= 0) {
        return -1;
    }
    wchar_t text[MESSAGE_UNITS];
    // 0x12FF: from the system, no inserts, one line (line breaks become spaces).
    DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                                      FORMAT_MESSAGE_MAX_WIDTH_MASK,
                                  nullptr, code, 0, text, MESSAGE_UNITS, nullptr);
    if (length == 0) {
        out[0] = '\0';
        return -1;
    }
    // The one-line form ends "text. "; the text is wanted without the period.
    if (length > 2 && text[length - 2] == L'.' && text[length - 1] == L' ') {
        text[length - 2] = L'\0';
    }
    return wide_to_utf8(out, out_size, text, -1) > 0 ? 0 : -1;
}
