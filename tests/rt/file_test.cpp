#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "rt/buffer.h"
#include "rt/file.h"
#include "tests/rt/rt_test_support.h"

using rt_test::exists;
using rt_test::is_directory;
using rt_test::is_file;
using rt_test::read_file;
using rt_test::write_file;

namespace {

std::string repeat(const std::string& part, int times) {
    std::string text;
    for (int i = 0; i < times; i++) {
        text += part;
    }
    return text;
}

// The kinds of path every routine must handle alike: ASCII, Cyrillic, and longer than the
// 255 units of the local conversion array (ASCII and Cyrillic).
struct PathKind {
    const char* name;
    std::string first;   // directory under the scratch directory
    std::string second;  // directory under first
    std::string file;    // file name
};

std::vector<PathKind> path_kinds() {
    std::string cyrillic = rt_test::cyrillic_name();
    return {
        {"ascii", "one", "two", "setup.exe"},
        {"cyrillic", cyrillic, cyrillic + "2", cyrillic + ".exe"},
        {"long ascii", rt_test::long_name('a'), rt_test::long_name('b'), "setup.exe"},
        // 117 letters of two UTF-8 bytes each: under the 255-byte name limit of the host.
        {"long cyrillic", repeat(cyrillic, 13), repeat(cyrillic, 13) + "2", cyrillic + ".exe"},
    };
}

std::wstring units(const std::string& path) {
    return rt_test::widen(path);
}

class FileTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(scratch.ok()); }

    // scratch\first\second\file, with both directories made; the file is not.
    std::string file_in_place(const PathKind& kind) {
        std::string first = scratch / kind.first;
        std::string second = first + "\\" + kind.second;
        CreateDirectoryW(rt_test::extended(first).c_str(), nullptr);
        CreateDirectoryW(rt_test::extended(second).c_str(), nullptr);
        return second + "\\" + kind.file;
    }

    rt_test::ScratchDir scratch;
};

// Changes the current directory for one scope.
class CurrentDir {
public:
    explicit CurrentDir(const std::string& path) {
        GetCurrentDirectoryW(MAX_PATH, saved_);
        ok_ = SetCurrentDirectoryW(rt_test::widen(path).c_str()) != 0;
    }
    ~CurrentDir() { SetCurrentDirectoryW(saved_); }
    bool ok() const { return ok_; }

private:
    wchar_t saved_[MAX_PATH];
    bool ok_;
};

bool write_handle(HANDLE file, const std::string& bytes) {
    DWORD written = 0;
    return WriteFile(file, bytes.data(), (DWORD)bytes.size(), &written, nullptr) &&
           written == bytes.size();
}

}  // namespace

TEST_F(FileTest, OpenOrCreateForWritingKeepsAnExistingFile) {
    for (const PathKind& kind : path_kinds()) {
        SCOPED_TRACE(kind.name);
        std::string path = file_in_place(kind);
        ASSERT_GT(units(path).size(), kind.name[0] == 'l' ? 255u : 0u);

        HANDLE file = file_open(path.c_str(), FOPEN_WRITE_OPEN_OR_CREATE);
        ASSERT_NE(file, INVALID_HANDLE_VALUE) << GetLastError();
        EXPECT_TRUE(write_handle(file, "hello"));
        CloseHandle(file);
        EXPECT_EQ(read_file(path), "hello");

        file = file_open(path.c_str(), FOPEN_WRITE_OPEN_OR_CREATE);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetFileSize(file, nullptr), 5u);
        char byte;
        DWORD got = 0;
        EXPECT_FALSE(ReadFile(file, &byte, 1, &got, nullptr)) << "write access only";
        EXPECT_TRUE(write_handle(file, "J"));
        // Shared for reading, writing and deletion while open.
        EXPECT_EQ(read_file(path), "Jello");
        CloseHandle(file);
    }
}

TEST_F(FileTest, OpenModesAndTheirTruncatingForms) {
    const uint32_t W = FOPEN_ACCESS_WRITE;
    const uint32_t T = FOPEN_TRUNCATE;
    struct Case {
        uint32_t flags;
        bool opens_existing;
        const char* existing_after;  // contents of the existing file afterwards
        bool opens_missing;          // and creates it
    } cases[] = {
        {FOPEN_ACCESS_READ | 0, true, "abcdef", false},  // mode 0 is open-existing
        {W | 1, false, "abcdef", true},
        {W | 2, true, "", true},
        {W | 3, true, "abcdef", false},
        {W | 4, true, "abcdef", true},
        {W | 5, true, "", false},
        {W | FOPEN_MODE_APPEND, true, "abcdef", true},
        {W | 0 | T, true, "", false},  // truncate existing
        {W | 3 | T, true, "", false},
        {W | 4 | T, true, "", true},  // create always
        {W | FOPEN_MODE_APPEND | T, true, "", true},
        // No truncating form: the system gets disposition 0 and refuses.
        {W | 1 | T, false, "abcdef", false},
        {W | 2 | T, false, "abcdef", false},
        {W | 5 | T, false, "abcdef", false},
        {W | 6 | T, false, "abcdef", false},
        // Modes without meaning reach the system unchanged, and it refuses them.
        {W | 6, false, "abcdef", false},
        {W | 9, false, "abcdef", false},
        {W | 13, false, "abcdef", false},
        {W | 15, false, "abcdef", false},
        // Bits 10-15 are not read.
        {W | 4 | 0xFC00, true, "abcdef", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "flags 0x" << std::hex << c.flags);
        std::string existing = scratch / "existing.bin";
        std::string missing = scratch / "missing.bin";
        ASSERT_TRUE(write_file(existing, "abcdef"));
        DeleteFileW(units(missing).c_str());

        HANDLE file = file_open(existing.c_str(), c.flags);
        EXPECT_EQ(file != INVALID_HANDLE_VALUE, c.opens_existing) << GetLastError();
        if (file != INVALID_HANDLE_VALUE) {
            CloseHandle(file);
        }
        EXPECT_EQ(read_file(existing), c.existing_after);

        SetLastError(0);
        file = file_open(missing.c_str(), c.flags);
        EXPECT_EQ(file != INVALID_HANDLE_VALUE, c.opens_missing);
        if (file != INVALID_HANDLE_VALUE) {
            CloseHandle(file);
        } else {
            EXPECT_NE(GetLastError(), 0u) << "the open's error is left for the caller";
        }
        EXPECT_EQ(is_file(missing), c.opens_missing);
    }
}

TEST_F(FileTest, FailedOpenLeavesTheSystemError) {
    std::string missing_file = scratch / "nothing.bin";
    std::string missing_dir = scratch / "no-dir\\nothing.bin";
    std::string long_missing = scratch / (rt_test::long_name('x') + "\\" + rt_test::long_name('y'));
    struct Case {
        std::string path;
        uint32_t flags;
        DWORD error;
    } cases[] = {
        {missing_file, FOPEN_ACCESS_READ, ERROR_FILE_NOT_FOUND},
        {missing_dir, FOPEN_WRITE_OPEN_OR_CREATE, ERROR_PATH_NOT_FOUND},
        {long_missing, FOPEN_WRITE_OPEN_OR_CREATE, ERROR_PATH_NOT_FOUND},
    };
    for (const Case& c : cases) {
        SetLastError(0);
        EXPECT_EQ(file_open(c.path.c_str(), c.flags), INVALID_HANDLE_VALUE) << c.path;
        EXPECT_EQ(GetLastError(), c.error) << c.path;
    }
}

TEST_F(FileTest, AppendModeWritesAtTheEndWhateverAccessIsAsked) {
    std::string path = scratch / "log.txt";
    ASSERT_TRUE(write_file(path, "abc"));
    const uint32_t flags = FOPEN_MODE_APPEND | FOPEN_ACCESS_READ | FOPEN_ACCESS_WRITE | FOPEN_ACCESS_ALL;
    HANDLE file = file_open(path.c_str(), flags);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << GetLastError();
    char byte;
    DWORD got = 0;
    EXPECT_FALSE(ReadFile(file, &byte, 1, &got, nullptr)) << "no read access in append mode";
    EXPECT_TRUE(write_handle(file, "de"));
    CloseHandle(file);
    EXPECT_EQ(read_file(path), "abcde");
}

TEST_F(FileTest, SystemFlagsAndBackupSemanticsReachTheSystem) {
    // FILE_FLAG_DELETE_ON_CLOSE travels in the upper half of the flag word.
    std::string path = scratch / "temporary.bin";
    HANDLE file = file_open(path.c_str(), FOPEN_ACCESS_ALL | 1 | FILE_FLAG_DELETE_ON_CLOSE);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << GetLastError();
    EXPECT_TRUE(is_file(path));
    CloseHandle(file);
    EXPECT_FALSE(exists(path));

    // Backup semantics are always asked for, so a directory opens like a file.
    HANDLE dir = file_open(scratch.path().c_str(), FOPEN_ACCESS_READ);
    EXPECT_NE(dir, INVALID_HANDLE_VALUE) << GetLastError();
    if (dir != INVALID_HANDLE_VALUE) {
        CloseHandle(dir);
    }
}

TEST_F(FileTest, ExactPathOpensOnlyTheStoredLongForm) {
    const uint32_t flags = FOPEN_EXACT_PATH | FOPEN_WRITE_OPEN_OR_CREATE;
    std::string path = scratch / "Exact Name.bin";
    ASSERT_TRUE(write_file(path, "x"));

    HANDLE file = file_open(path.c_str(), flags);
    EXPECT_NE(file, INVALID_HANDLE_VALUE) << GetLastError();
    CloseHandle(file);

    // Letter case alone is no difference.
    file = file_open((scratch / "EXACT NAME.BIN").c_str(), flags);
    EXPECT_NE(file, INVALID_HANDLE_VALUE) << GetLastError();
    CloseHandle(file);

    // Nor is it for Cyrillic letters ("УСТАНОВКА" for "Установка").
    std::string cyrillic = scratch / (std::string(rt_test::cyrillic_name()) + ".bin");
    ASSERT_TRUE(write_file(cyrillic, "c"));
    std::string upper = scratch / "\xD0\xA3\xD0\xA1\xD0\xA2\xD0\x90\xD0\x9D\xD0\x9E\xD0\x92\xD0\x9A\xD0\x90.BIN";
    file = file_open(upper.c_str(), flags);
    EXPECT_NE(file, INVALID_HANDLE_VALUE) << GetLastError();
    CloseHandle(file);

    // A missing file is not created, and the error is the system's own.
    std::string missing = scratch / "missing.bin";
    SetLastError(0);
    EXPECT_EQ(file_open(missing.c_str(), flags), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(exists(missing));

    // Long and Cyrillic names pass too.
    for (const PathKind& kind : path_kinds()) {
        std::string placed = file_in_place(kind);
        ASSERT_TRUE(write_file(placed, "y"));
        file = file_open(placed.c_str(), flags);
        EXPECT_NE(file, INVALID_HANDLE_VALUE) << kind.name << ": " << GetLastError();
        CloseHandle(file);
    }
}

TEST_F(FileTest, ExactPathRefusesAShortAlias) {
    std::string path = scratch / "a rather long file name.data";
    ASSERT_TRUE(write_file(path, "x"));
    wchar_t short_form[MAX_PATH];
    DWORD length = GetShortPathNameW(units(path).c_str(), short_form, MAX_PATH);
    ASSERT_GT(length, 0u);
    std::string alias = rt_test::narrow(short_form);
    if (_wcsicmp(short_form, units(path).c_str()) == 0) {
        GTEST_SKIP() << "the file system gives no short alias";
    }
    // Without the test the alias opens the file; with it nothing is opened.
    HANDLE file = file_open(alias.c_str(), FOPEN_ACCESS_READ);
    EXPECT_NE(file, INVALID_HANDLE_VALUE) << alias;
    CloseHandle(file);
    SetLastError(0);
    EXPECT_EQ(file_open(alias.c_str(), FOPEN_ACCESS_READ | FOPEN_EXACT_PATH), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_NAME);
    EXPECT_EQ(path_is_exact(short_form), 0);
    EXPECT_EQ(path_is_exact(units(path).c_str()), 1);
}

TEST_F(FileTest, DeleteReportsWhatTheSystemDid) {
    for (const PathKind& kind : path_kinds()) {
        SCOPED_TRACE(kind.name);
        std::string path = file_in_place(kind);
        ASSERT_TRUE(write_file(path, "payload"));
        EXPECT_EQ(file_delete(path.c_str()), 0);
        EXPECT_FALSE(exists(path));
        SetLastError(0);
        EXPECT_EQ(file_delete(path.c_str()), 1);
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    }
    SetLastError(0);
    EXPECT_EQ(file_delete((scratch / "no-dir\\x.bin").c_str()), 1);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(file_delete(scratch.path().c_str()), 1) << "a directory is not deleted";
    EXPECT_TRUE(is_directory(scratch.path()));
}

TEST_F(FileTest, WriteAllLeavesExactlyTheBlock) {
    const std::string binary("MZ\0\x90\0\xFF payload", 14);
    for (const PathKind& kind : path_kinds()) {
        SCOPED_TRACE(kind.name);
        std::string path = file_in_place(kind);
        ByteSpan block = {(uint32_t)binary.size(), binary.data()};
        EXPECT_EQ(file_write_all(path.c_str(), &block), 0);
        EXPECT_EQ(read_file(path), binary);

        // Over an older, longer file: no tail of it is left.
        ASSERT_TRUE(write_file(path, std::string(5000, 'o')));
        ByteSpan shorter = {3, "new"};
        EXPECT_EQ(file_write_all(path.c_str(), &shorter), 0);
        EXPECT_EQ(read_file(path), "new");

        // An empty block empties an existing file, and creates a missing one.
        ByteSpan empty = {0, nullptr};
        EXPECT_EQ(file_write_all(path.c_str(), &empty), 0);
        EXPECT_TRUE(is_file(path));
        EXPECT_EQ(read_file(path), "");
        ASSERT_TRUE(DeleteFileW(rt_test::extended(path).c_str()));
        EXPECT_EQ(file_write_all(path.c_str(), &empty), 0);
        EXPECT_TRUE(is_file(path));
    }
}

TEST_F(FileTest, WriteAllFailsWithTheOpensErrorThenSucceedsOnceTheFolderExists) {
    // The embedded-payload flow: write, make the folders on "path not found", write again.
    for (const PathKind& kind : path_kinds()) {
        SCOPED_TRACE(kind.name);
        std::string path = scratch / (kind.first + "\\" + kind.second + "\\" + kind.file);
        ByteSpan block = {7, "payload"};
        SetLastError(0);
        EXPECT_EQ(file_write_all(path.c_str(), &block), 1);
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_PATH_NOT_FOUND);
        EXPECT_FALSE(exists(path));

        std::string before = path;
        EXPECT_EQ(make_parent_dirs(&path[0]), 0);
        EXPECT_EQ(path, before);
        EXPECT_TRUE(is_directory(scratch / (kind.first + "\\" + kind.second)));
        EXPECT_FALSE(exists(path));
        EXPECT_EQ(file_write_all(path.c_str(), &block), 0);
        EXPECT_EQ(read_file(path), "payload");
    }
    // A directory can't be replaced by a file.
    ByteSpan block = {1, "x"};
    EXPECT_EQ(file_write_all(scratch.path().c_str(), &block), 1);
    EXPECT_TRUE(is_directory(scratch.path()));
}

TEST_F(FileTest, MakeDirsCreatesEveryLevelAndAcceptsExistingOnes) {
    for (const PathKind& kind : path_kinds()) {
        SCOPED_TRACE(kind.name);
        std::string deep = scratch / (kind.first + "\\" + kind.second + "\\" + kind.file);
        EXPECT_EQ(make_dirs(deep.c_str()), 0) << GetLastError();
        EXPECT_TRUE(is_directory(deep));
        EXPECT_EQ(make_dirs(deep.c_str()), 0) << "levels that exist are accepted";
    }
    // Either separator, doubled or trailing.
    std::string mixed = scratch.path() + "/m1\\m2//m3\\\\m4/";
    EXPECT_EQ(make_dirs(mixed.c_str()), 0) << GetLastError();
    EXPECT_TRUE(is_directory(scratch / "m1\\m2\\m3\\m4"));
}

TEST_F(FileTest, MakeDirsStopsAtAFileInTheWay) {
    ASSERT_TRUE(write_file(scratch / "blocker", "x"));
    // A file where a middle level belongs: the next level can't be made under it.
    SetLastError(0);
    EXPECT_EQ(make_dirs((scratch / "blocker\\below\\deeper").c_str()), 1);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PATH_NOT_FOUND);
    EXPECT_TRUE(is_file(scratch / "blocker"));

    // A file where the last level belongs is no directory either.
    SetLastError(0);
    EXPECT_EQ(make_dirs((scratch / "blocker").c_str()), 1);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
    EXPECT_TRUE(is_file(scratch / "blocker"));

    // Levels made before the failure stay.
    ASSERT_TRUE(CreateDirectoryW(rt_test::extended(scratch / "p").c_str(), nullptr));
    ASSERT_TRUE(write_file(scratch / "p\\q", "x"));
    EXPECT_EQ(make_dirs((scratch / "p\\q\\r").c_str()), 1);
    EXPECT_EQ(make_dirs((scratch / "n1\\n2").c_str()), 0);
    EXPECT_TRUE(is_directory(scratch / "n1"));
}

TEST_F(FileTest, MakeDirsPrefixes) {
    CurrentDir here(scratch.path());
    ASSERT_TRUE(here.ok());
    const std::string& root = scratch.path();
    ASSERT_EQ(root[1], ':');
    std::string drive = root.substr(0, 2);
    std::string rooted = root.substr(2);  // \users\...\qwi-rt-...
    struct Case {
        std::string path;
        std::string made;  // relative to the scratch directory
    } cases[] = {
        {"rel\\one/two", "rel\\one\\two"},            // relative to the current directory
        {rooted + "\\lead\\x", "lead\\x"},            // leading separator: the current drive's root
        {drive + "drel\\y", "drel\\y"},                // drive-relative: no prefix of its own
        {drive + "/" + rooted.substr(1) + "/fwd", "fwd"},  // drive letter then '/'
    };
    for (const Case& c : cases) {
        EXPECT_EQ(make_dirs(c.path.c_str()), 0) << c.path << ": " << GetLastError();
        EXPECT_TRUE(is_directory(scratch / c.made)) << c.path;
    }
}

TEST_F(FileTest, MakeParentDirsRestoresTheCallersText) {
    CurrentDir here(scratch.path());
    ASSERT_TRUE(here.ok());
    struct Case {
        std::string path;
        int result;
        const char* made;  // a directory that must exist afterwards, or null
    } cases[] = {
        {"setup.exe", 0, nullptr},  // a bare name: nothing to make
        {"sub/setup.exe", 0, "sub"},
        {scratch / "a\\b/c\\setup.exe", 0, "a\\b\\c"},
        {scratch / "ends-in-separator\\", 0, "ends-in-separator"},
    };
    for (Case& c : cases) {
        std::string before = c.path;
        EXPECT_EQ(make_parent_dirs(&c.path[0]), c.result) << before;
        EXPECT_EQ(c.path, before);
        if (c.made != nullptr) {
            EXPECT_TRUE(is_directory(scratch / c.made)) << before;
        }
    }
    EXPECT_FALSE(exists(scratch / "setup.exe"));
    EXPECT_FALSE(exists(scratch / "sub\\setup.exe"));

    // A file in the way fails, and the text still comes back whole.
    ASSERT_TRUE(write_file(scratch / "plain", "x"));
    std::string blocked = scratch / "plain\\setup.exe";
    std::string before = blocked;
    EXPECT_EQ(make_parent_dirs(&blocked[0]), 1);
    EXPECT_EQ(blocked, before);
}

TEST_F(FileTest, PathsTheHeapCanNotHoldAttemptNothing) {
    std::string path = scratch / (rt_test::long_name('h') + "\\" + rt_test::long_name('i'));
    ASSERT_EQ(make_dirs(path.c_str()), 0);
    std::string file = path + "\\setup.exe";
    ASSERT_TRUE(write_file(file, "keep"));
    std::string huge = scratch / std::string(rt_test::TinyHeap::TOO_MUCH, 'z');
    rt_test::TinyHeap tiny;
    ASSERT_TRUE(tiny.ok());
    // The real paths are long enough to need the heap, which is enough for them...
    EXPECT_EQ(file_delete((path + "\\absent").c_str()), 1);
    // ...but not for these.
    EXPECT_EQ(file_open(huge.c_str(), FOPEN_WRITE_OPEN_OR_CREATE), INVALID_HANDLE_VALUE);
    EXPECT_EQ(file_delete(huge.c_str()), -1);
    EXPECT_EQ(make_dirs(huge.c_str()), -1);
    EXPECT_EQ(make_parent_dirs(&(huge + "\\x")[0]), -1);
    ByteSpan block = {1, "x"};
    EXPECT_EQ(file_write_all(huge.c_str(), &block), 1);
    EXPECT_EQ(read_file(file), "keep");
}
