#include "rt/environment.h"

#include <windows.h>

#include "rt/heap.h"
#include "rt/result.h"

namespace {

wchar_t fold(wchar_t c)
{
    return c >= L'A' && c <= L'Z' ? (wchar_t)(c + 32) : c;
}

// True when the variable of entry ("NAME=value") is named by pattern (ASCII; a final '*' matches
// any rest of the name).
bool name_matches(const wchar_t* entry, const char* pattern)
{
    for (; *pattern != '\0'; ++pattern, ++entry) {
        if (*pattern == '*' && pattern[1] == '\0') {
            return true;
        }
        if (*entry == L'=' || *entry == L'\0' || fold(*entry) != fold((wchar_t)(unsigned char)*pattern)) {
            return false;
        }
    }
    return *entry == L'=';
}

// The length of a "NAME=value" setting's name.
uint32_t name_length(const char* setting)
{
    uint32_t length = 0;
    while (setting[length] != '\0' && setting[length] != '=') {
        ++length;
    }
    return length;
}

// True when entry's variable has the name of setting ("NAME=value").
bool same_name(const wchar_t* entry, const char* setting)
{
    uint32_t length = name_length(setting);
    for (uint32_t i = 0; i < length; ++i) {
        if (entry[i] == L'\0' || fold(entry[i]) != fold((wchar_t)(unsigned char)setting[i])) {
            return false;
        }
    }
    return entry[length] == L'=';
}

// Appends a UTF-8 setting as UTF-16 at out (room units); the units written with the NUL, or 0.
uint32_t put_setting(wchar_t* out, uint32_t room, const char* setting)
{
    int units = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, setting, -1, out, (int)room);
    return units > 0 ? (uint32_t)units : 0;
}

} // namespace

wchar_t* environment_block_edit(const wchar_t* source, const char* const* dropped, uint32_t dropped_count,
                                const char* const* set, uint32_t set_count)
{
    uint32_t source_units = 0;
    while (source[source_units] != L'\0') {
        source_units += (uint32_t)lstrlenW(source + source_units) + 1;
    }
    uint32_t room = source_units + 1;
    for (uint32_t i = 0; i < set_count; ++i) {
        room += (uint32_t)lstrlenA(set[i]) + 1; // UTF-16 never needs more units than UTF-8 has bytes
    }
    wchar_t* block = (wchar_t*)heap_alloc(room * sizeof(wchar_t));
    if (!block) {
        return nullptr;
    }
    bool placed[ENVIRONMENT_MAX_SET] = {};
    if (set_count > ENVIRONMENT_MAX_SET) {
        heap_free(block);
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    uint32_t at = 0;
    for (const wchar_t* entry = source; *entry != L'\0'; entry += lstrlenW(entry) + 1) {
        bool drop = false;
        for (uint32_t i = 0; i < dropped_count && !drop && entry[0] != L'='; ++i) {
            drop = name_matches(entry, dropped[i]);
        }
        uint32_t replaced = set_count;
        for (uint32_t i = 0; i < set_count && replaced == set_count && entry[0] != L'='; ++i) {
            replaced = same_name(entry, set[i]) ? i : set_count;
        }
        if (replaced < set_count && placed[replaced]) {
            continue; // a second variable of that name: the setting stands once
        }
        if (replaced < set_count) {
            uint32_t units = put_setting(block + at, room - at, set[replaced]);
            if (units == 0) {
                heap_free(block);
                return nullptr;
            }
            at += units;
            placed[replaced] = true;
        } else if (!drop) {
            uint32_t units = (uint32_t)lstrlenW(entry) + 1;
            CopyMemory(block + at, entry, units * sizeof(wchar_t));
            at += units;
        }
    }
    for (uint32_t i = 0; i < set_count; ++i) {
        uint32_t units = placed[i] ? 1 : put_setting(block + at, room - at, set[i]);
        if (units == 0) {
            heap_free(block);
            return nullptr;
        }
        at += placed[i] ? 0 : units;
    }
    block[at] = L'\0';
    return block;
}

wchar_t* environment_of_process_edit(const char* const* dropped, uint32_t dropped_count, const char* const* set,
                                     uint32_t set_count)
{
    wchar_t* own = GetEnvironmentStringsW();
    if (!own) {
        return nullptr;
    }
    wchar_t* edited = environment_block_edit(own, dropped, dropped_count, set, set_count);
    DWORD error = GetLastError();
    (void)FreeEnvironmentStringsW(own); // nothing to be done about a block the system keeps
    SetLastError(error);
    return edited;
}
