#include "rt/text.h"

#include <windows.h>

#include "rt/heap.h"

wchar_t* utf8_to_wide(wchar_t* dest, int32_t* capacity, const char* source, int32_t source_length) {
    if (source_length < -1) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    // A dest of capacity 0 would only be measured into, never filled: treat it as no dest.
    bool use_dest = dest != nullptr && capacity != nullptr && *capacity > 0;
    if (source_length == 0) {
        // The system converter rejects an empty counted source; the honest answer is zero units.
        if (use_dest) {
            *capacity = 0;
            return dest;
        }
        wchar_t* empty = (wchar_t*)heap_alloc(sizeof(wchar_t));
        if (empty == nullptr) {
            return nullptr;
        }
        empty[0] = L'\0';
        if (capacity != nullptr) {
            *capacity = 0;
        }
        return empty;
    }
    if (use_dest) {
        int count = MultiByteToWideChar(CP_UTF8, 0, source, source_length, dest, *capacity);
        if (count != 0) {
            *capacity = count;
            return dest;
        }
    }
    // UTF-16 never needs more units than UTF-8 has bytes; the block keeps one unit beyond the
    // count so that a caller may terminate a counted conversion in place.
    int64_t units;
    if (source_length == -1) {
        int64_t bytes = 0;
        while (source[bytes] != '\0') {
            bytes++;
        }
        units = bytes + 2;
    } else {
        units = (int64_t)source_length + 1;
    }
    if (units > 0x7FFFFFFF) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    wchar_t* block = (wchar_t*)heap_alloc((size_t)units * sizeof(wchar_t));
    if (block == nullptr) {
        return nullptr;
    }
    int count = MultiByteToWideChar(CP_UTF8, 0, source, source_length, block, (int)units);
    if (count == 0) {
        DWORD error = GetLastError();
        heap_free(block);
        SetLastError(error);  // the converter's reason, not the heap's
        return nullptr;
    }
    if (capacity != nullptr) {
        *capacity = count;
    }
    return block;
}

int32_t wide_to_utf8(char* dest, int32_t dest_size, const wchar_t* source, int32_t source_length) {
    return WideCharToMultiByte(CP_UTF8, 0, source, source_length, dest, dest_size, nullptr, nullptr);
}

char* wide_to_utf8_alloc(const wchar_t* source) {
    int32_t bytes = wide_to_utf8(nullptr, 0, source, -1);
    char* text = bytes > 0 ? (char*)heap_alloc((size_t)bytes) : nullptr;
    if (text && wide_to_utf8(text, bytes, source, -1) != bytes) {
        heap_free(text);
        text = nullptr;
    }
    return text;
}

int32_t prefix_compare(const char* span, int32_t span_length, const char* key) {
    if (span_length < 0) {
        span_length = 0;  // a negative count holds no bytes
    }
    const unsigned char* s = (const unsigned char*)span;
    const unsigned char* k = (const unsigned char*)key;
    for (int32_t i = 0;; i++) {
        if (i == span_length) {
            return k[i] == 0 ? 0 : ~i;
        }
        if (k[i] == 0) {
            return i + 1;
        }
        if (s[i] != k[i]) {
            return s[i] > k[i] ? i + 1 : ~i;
        }
    }
}

bool utf8_count(const char* text, uint32_t length, uint32_t* characters) {
    const unsigned char* bytes = (const unsigned char*)text;
    uint32_t count = 0;
    for (uint32_t i = 0; i < length; ++count) {
        uint32_t lead = bytes[i];
        uint32_t extra = lead < 0x80 ? 0 : lead < 0xC2 ? 4 : lead < 0xE0 ? 1 : lead < 0xF0 ? 2 : lead < 0xF5 ? 3 : 4;
        if (extra == 4 || extra >= length - i) {
            return false;  // a continuation byte, a lead that no character has, or one cut off
        }
        uint32_t code = extra ? lead & (0x7Fu >> (extra + 1)) : lead;
        for (uint32_t k = 1; k <= extra; ++k) {
            uint32_t next = bytes[i + k];
            if ((next & 0xC0) != 0x80) {
                return false;
            }
            code = code << 6 | (next & 0x3F);
        }
        if ((extra == 2 && (code < 0x800 || (code >= 0xD800 && code <= 0xDFFF)))
            || (extra == 3 && (code < 0x10000 || code > 0x10FFFF))) {
            return false;  // overlong, a surrogate, or beyond Unicode
        }
        i += extra + 1;
    }
    *characters = count;
    return true;
}

const char* span_skip(const char* data, uint32_t length, const char* set, uint32_t set_length) {
    const char* end = data + length;
    const char* at = data;
    while (at < end) {
        bool in_set = false;
        for (uint32_t j = 0; j < set_length; j++) {
            if (set[j] == *at) {
                in_set = true;
                break;
            }
        }
        if (!in_set) {
            break;
        }
        at++;
    }
    return at;
}

bool text_starts_with(const char* text, const char* prefix, bool ignore_case) {
    for (; *prefix != '\0'; ++prefix, ++text) {
        char a = *text;
        char b = *prefix;
        if (ignore_case) {
            a = (a >= 'A' && a <= 'Z') ? (char)(a + 32) : a;
            b = (b >= 'A' && b <= 'Z') ? (char)(b + 32) : b;
        }
        if (a != b) {
            return false;  // also at the end of a shorter text: its NUL differs from the prefix
        }
    }
    return true;
}

uint32_t parse_decimal(const char* text, uint64_t* value) {
    uint64_t result = 0;
    uint32_t digits = 0;
    for (; text[digits] >= '0' && text[digits] <= '9'; ++digits) {
        uint64_t digit = (uint64_t)(text[digits] - '0');
        result = result > (~(uint64_t)0 - digit) / 10 ? ~(uint64_t)0 : result * 10 + digit;
    }
    *value = result;
    return digits;
}

wchar_t* path_to_wide(wchar_t* local, const char* path) {
    int32_t capacity = PATH_BUFFER_UNITS;
    return utf8_to_wide(local, &capacity, path, -1);
}

void path_release(wchar_t* wide, const wchar_t* local) {
    if (wide != local) {
        DWORD error = GetLastError();
        heap_free(wide);
        SetLastError(error);
    }
}
