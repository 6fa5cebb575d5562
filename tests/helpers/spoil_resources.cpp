// Replaces RT_RCDATA resources of a copy of a program with bytes that are no image, so that a test
// can run an installer whose splash artwork fails. (Wine's UpdateResource does not delete a
// resource given no data, so they are spoilt rather than removed.) Usage: spoil_resources.exe PROGRAM ID...
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>

static const char NOT_AN_IMAGE[] = "not an image";

struct Found {
    WORD languages[16];
    int count;
};

static BOOL CALLBACK note_language(HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR context)
{
    Found* found = (Found*)context;
    if (found->count < 16) {
        found->languages[found->count++] = language;
    }
    return TRUE;
}

int wmain(int argc, wchar_t** argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: spoil_resources.exe PROGRAM ID...\n");
        return 2;
    }
    // Each resource is deleted in every language it was stored in.
    Found found[32] = {};
    HMODULE image = LoadLibraryExW(argv[1], nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (!image || argc - 2 > 32) {
        fprintf(stderr, "can't read %ls\n", argv[1]);
        return 1;
    }
    for (int i = 2; i < argc; ++i) {
        EnumResourceLanguagesW(image, RT_RCDATA, MAKEINTRESOURCEW(_wtoi(argv[i])), note_language,
                               (LONG_PTR)&found[i - 2]);
    }
    for (int i = 2; i < argc; ++i) {
        fprintf(stderr, "resource %ls: %d languages%s\n", argv[i], found[i - 2].count,
                found[i - 2].count ? "" : " (nothing to spoil)");
    }
    FreeLibrary(image);
    HANDLE update = BeginUpdateResourceW(argv[1], FALSE);
    if (!update) {
        fprintf(stderr, "BeginUpdateResource: %lu\n", GetLastError());
        return 1;
    }
    for (int i = 2; i < argc; ++i) {
        WORD id = (WORD)_wtoi(argv[i]);
        for (int l = 0; l < found[i - 2].count; ++l) {
            if (!UpdateResourceW(update, RT_RCDATA, MAKEINTRESOURCEW(id),
                                 found[i - 2].languages[l], (void*)NOT_AN_IMAGE, sizeof NOT_AN_IMAGE)) {
                fprintf(stderr, "UpdateResource %u: %lu\n", id, GetLastError());
                EndUpdateResourceW(update, TRUE);
                return 1;
            }
        }
    }
    if (!EndUpdateResourceW(update, FALSE)) {
        fprintf(stderr, "EndUpdateResource: %lu\n", GetLastError());
        return 1;
    }
    return 0;
}
