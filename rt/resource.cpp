#include "rt/resource.h"

#include <windows.h>

#include "rt/buffer.h"
#include "rt/result.h"

int resource_load(int id, ByteSpan* out) {
    HMODULE module = GetModuleHandleW(nullptr);
    HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(id), RT_RCDATA);
    if (found == nullptr) {
        return 1;  // out untouched; FindResourceW's last error says why
    }
    out->length = SizeofResource(module, found);
    if (out->length == 0) {
        return fail_with(ERROR_RESOURCE_DATA_NOT_FOUND);  // out->data untouched
    }
    // Part of the loaded image: read-only, never freed, valid for the life of the process.
    const char* data = (const char*)LockResource(LoadResource(module, found));
    if (data == nullptr) {
        return 1;
    }
    out->data = data;
    return 0;
}
