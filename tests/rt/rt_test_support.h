// Helpers shared by the runtime tests: a scratch directory under %TMP%, a small heap that runs out,
// and UTF-8/UTF-16 conversions that do not go through the code under test.
#pragma once

#include <windows.h>

#include <string>

#include "rt/process.h"
#include "tests/test_heap.h"

namespace rt_test {

inline std::wstring widen(const std::string& text) {
    if (text.empty()) {
        return std::wstring();
    }
    int units = MultiByteToWideChar(CP_UTF8, 0, text.data(), (int)text.size(), nullptr, 0);
    std::wstring wide((size_t)units, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), (int)text.size(), &wide[0], units);
    return wide;
}

inline std::string narrow(const std::wstring& text) {
    if (text.empty()) {
        return std::string();
    }
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), (int)text.size(), nullptr, 0, nullptr,
                                    nullptr);
    std::string utf8((size_t)bytes, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), (int)text.size(), &utf8[0], bytes, nullptr, nullptr);
    return utf8;
}

// The \\?\ form reaches paths of any length, whatever the caller's own limits.
inline std::wstring extended(const std::string& path) {
    return L"\\\\?\\" + widen(path);
}

inline bool is_directory(const std::string& path) {
    DWORD attributes = GetFileAttributesW(extended(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

inline bool is_file(const std::string& path) {
    DWORD attributes = GetFileAttributesW(extended(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

inline bool exists(const std::string& path) {
    return GetFileAttributesW(extended(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

inline bool read_file(const std::string& path, std::string* contents) {
    HANDLE file = CreateFileW(extended(path).c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    contents->clear();
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got != 0) {
        contents->append(chunk, got);
    }
    CloseHandle(file);
    return true;
}

inline std::string read_file(const std::string& path) {
    std::string contents;
    return read_file(path, &contents) ? contents : std::string("<missing>");
}

inline bool write_file(const std::string& path, const std::string& contents) {
    HANDLE file = CreateFileW(extended(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD written = 0;
    BOOL ok = WriteFile(file, contents.data(), (DWORD)contents.size(), &written, nullptr);
    CloseHandle(file);
    return ok && written == contents.size();
}

inline void remove_tree(const std::wstring& dir) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((dir + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = found.cFileName;
            if (name == L"." || name == L"..") {
                continue;
            }
            std::wstring child = dir + L"\\" + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                remove_tree(child);
            } else {
                SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(child.c_str());
            }
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(dir.c_str());
}

// A fresh directory under %TMP% for one test, removed with everything in it afterwards.
class ScratchDir {
public:
    ScratchDir() {
        wchar_t temp[MAX_PATH + 1];
        DWORD length = GetTempPathW(MAX_PATH + 1, temp);
        std::string base = narrow(std::wstring(temp, length));
        if (!base.empty() && base.back() != '\\') {
            base += '\\';
        }
        static unsigned serial = 0;
        for (;;) {
            path_ = base + "qwi-rt-" + std::to_string(GetCurrentProcessId()) + "-" +
                    std::to_string(serial++);
            if (CreateDirectoryW(widen(path_).c_str(), nullptr)) {
                ok_ = true;
                break;
            }
            if (GetLastError() != ERROR_ALREADY_EXISTS) {
                break;
            }
        }
    }
    ~ScratchDir() {
        // A program started from here may still hold its file for a moment after it ends.
        for (int attempt = 0; ok_ && attempt < 50; attempt++) {
            remove_tree(extended(path_));
            if (GetFileAttributesW(extended(path_).c_str()) == INVALID_FILE_ATTRIBUTES) {
                break;
            }
            Sleep(100);
        }
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    bool ok() const { return ok_; }
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "\\" + name; }

private:
    std::string path_;
    bool ok_ = false;
};

// Swaps the program's heap for a small one that can't grow, so that allocations beyond a few
// kilobytes fail; the real heap comes back at the end of the scope.
class TinyHeap : public TestHeap {
public:
    TinyHeap() : TestHeap(SMALL) {}
};

// A path component of 120 characters: three of them push a path past 255 UTF-16 units.
inline std::string long_name(char letter) {
    return std::string(120, letter);
}

// "Установка" (Cyrillic, two UTF-8 bytes per letter).
inline const char* cyrillic_name() {
    return "\xD0\xA3\xD1\x81\xD1\x82\xD0\xB0\xD0\xBD\xD0\xBE\xD0\xB2\xD0\xBA\xD0\xB0";
}

// A file that tests/signing/make_signed.sh made in the build (QWI_BUILD_DIR), as a Windows path;
// empty when QWI_BUILD_DIR is not set.
inline std::string signing_file(const char* name) {
    char build[1024];
    DWORD n = GetEnvironmentVariableA("QWI_BUILD_DIR", build, sizeof build);
    if (n == 0 || n >= sizeof build) {
        return std::string();
    }
    std::string path = "Z:" + std::string(build, n) + "/tests/signing/" + name;
    for (char& c : path) {
        c = c == '/' ? '\\' : c;
    }
    return path;
}

}  // namespace rt_test
