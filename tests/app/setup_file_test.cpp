// The setup file in this run's folder: written, finished under its lock, checked, dropped.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <string>

#include <windows.h>

#include "app/config.h"
#include "app/install_log.h"
#include "app/run_folder.h"
#include "app/setup_file.h"
#include "rt/process.h"
#include "tests/app/scratch_config.h"
#include "tests/rt/rt_test_support.h"

namespace {

using rt_test::exists;
using rt_test::widen;

// The locked file's bytes, read through the lock: until setup starts, the file is marked for
// deletion, and such a file can't be opened by its path.
std::string read_locked(const RunFolder& run)
{
    std::string bytes;
    LARGE_INTEGER start = {};
    if (!run.setup_lock || !SetFilePointerEx(run.setup_lock, start, nullptr, FILE_BEGIN)) {
        return "<no lock>";
    }
    char chunk[65536];
    DWORD got = 0;
    while (ReadFile(run.setup_lock, chunk, sizeof chunk, &got, nullptr) && got > 0) {
        bytes.append(chunk, got);
    }
    return bytes;
}

class SetupFileTest : public ScratchConfigTest {};

// The cause the log gives for a refused setup file: a pin that does not match, or "setup file
// refused: (CODE) text", the code decimal or, for an HRESULT, 0x and hex. 0 when the events hold
// no refusal.
DWORD refusal_in(const std::string& events)
{
    if (events.find("pin does not match") != std::string::npos) {
        return ERROR_INVALID_DATA;
    }
    const std::string marker = "setup file refused: (";
    size_t at = events.find(marker);
    if (at == std::string::npos) {
        return 0;
    }
    const char* code = events.c_str() + at + marker.size();
    return (DWORD)strtoul(code, nullptr, code[0] == '0' && code[1] == 'x' ? 16 : 10);
}

// The setup file is made new, deleted through its own handle when it goes unused, and must
// match the pin to be finished.
TEST_F(SetupFileTest, Lifecycle)
{
    RunFolder run = {};
    ASSERT_EQ(run_folder_create_in(&run, scratch.path().c_str()), 0);
    SetupWriter writer;
    ASSERT_EQ(setup_file_create(&run, &writer), 0);
    SetupWriter second;
    EXPECT_EQ(setup_file_create(&run, &second), 1) << "never opens a file that is there already";
    EXPECT_EQ(setup_file_write(&writer, "MZ", 2), 0);
    setup_file_discard(&writer);
    EXPECT_FALSE(exists(run.setup_path));

    const std::string body = "MZ and the rest of a program";
    std::string pin(64, 'f');
    config.sha256 = &pin[0];
    EXPECT_EQ(setup_file_write_all(&run, body.data(), (uint32_t)body.size()), 1);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_DATA);
    EXPECT_FALSE(exists(run.setup_path)) << "a file that fails its pin is deleted";
    config.sha256 = nullptr;

    ASSERT_EQ(setup_file_write_all(&run, body.data(), (uint32_t)body.size()), 0);
    EXPECT_TRUE(setup_file_intact(&run));
    EXPECT_EQ(read_locked(run), body);
    run_folder_release(&run);
    EXPECT_FALSE(exists(scratch / run.name)) << "nothing started: file and folder go";
}

std::string sha256_hex(const std::string& bytes)
{
    Sha256 state = {};
    uint8_t digest[SHA256_DIGEST_SIZE];
    if (sha256_begin(&state) != 0 || sha256_update(&state, bytes.data(), (uint32_t)bytes.size()) != 0 ||
        sha256_finish(&state, digest) != 0) {
        return std::string();
    }
    std::string hex;
    for (uint8_t byte : digest) {
        hex += "0123456789abcdef"[byte >> 4];
        hex += "0123456789abcdef"[byte & 15];
    }
    return hex;
}

// The signer and the pin, each where configured, must both hold for the file that is written
// (the embedded payload's way; a download finishes its file the same way). A refused file is
// gone, and the refusal's cause is kept in the run's log. The files come from tests/signing.
TEST_F(SetupFileTest, SignerAndPinBothHoldOrTheFileGoes)
{
    std::string name;
    ASSERT_TRUE(rt_test::read_file(rt_test::signing_file("publisher.txt"), &name)) << "tests/signing not built?";
    enum Pin { NO_PIN, RIGHT_PIN, WRONG_PIN };
    struct Case {
        const char* file;
        bool signer;
        Pin pin;
        DWORD refusal; // 0: accepted
    };
    const Case cases[] = {
        {"unsigned.exe", false, NO_PIN, ERROR_SUCCESS}, // without a signer, as before
        {"signed.exe", true, NO_PIN, ERROR_SUCCESS},
        {"signed.exe", true, RIGHT_PIN, ERROR_SUCCESS},
        {"signed.exe", true, WRONG_PIN, ERROR_INVALID_DATA},
        {"other_signer.exe", true, RIGHT_PIN, ERROR_INVALID_DATA},
        {"unsigned.exe", true, RIGHT_PIN, (DWORD)TRUST_E_NOSIGNATURE},
        {"untrusted.exe", true, NO_PIN, (DWORD)CERT_E_UNTRUSTEDROOT},
        {"tampered.exe", true, NO_PIN, (DWORD)TRUST_E_BAD_DIGEST},
    };
    RunFolder run = {};
    ASSERT_EQ(run_folder_create_in(&run, scratch.path().c_str()), 0);
    ASSERT_EQ(install_log_open(run.folder), 0);
    const std::string log_path = std::string(run.path) + "\\" + INSTALL_LOG_NAME;
    size_t log_seen = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.file) + (c.signer ? ", signer" : "") +
                     (c.pin == RIGHT_PIN ? ", right pin" : c.pin == WRONG_PIN ? ", wrong pin" : ""));
        std::string body;
        ASSERT_TRUE(rt_test::read_file(rt_test::signing_file(c.file), &body));
        std::string pin = sha256_hex(body);
        if (c.pin == WRONG_PIN) {
            pin[10] = pin[10] == '0' ? '1' : '0';
        }
        config.sha256 = c.pin == NO_PIN ? nullptr : &pin[0];
        config.signer = c.signer ? &name[0] : nullptr;
        SetLastError(0);
        int result = setup_file_write_all(&run, body.data(), (uint32_t)body.size());
        DWORD error = GetLastError();
        config.sha256 = nullptr;
        config.signer = nullptr;
        std::string log = rt_test::read_file(log_path);
        std::string events = log.substr(log_seen);
        log_seen = log.size();
        if (c.refusal == ERROR_SUCCESS) {
            EXPECT_EQ(result, 0) << std::hex << error << "\n" << events;
            EXPECT_EQ(read_locked(run), body);
            setup_file_drop(&run);
        } else {
            EXPECT_EQ(result, 1);
            EXPECT_EQ(error, (DWORD)ERROR_INVALID_DATA) << "every refusal looks like a pin mismatch to the download";
            EXPECT_EQ(refusal_in(events), c.refusal) << events;
            EXPECT_EQ(run.setup_lock, nullptr);
            EXPECT_FALSE(exists(run.setup_path)) << "a refused file is deleted";
        }
    }
    install_log_close();
    ASSERT_TRUE(DeleteFileW(widen(log_path).c_str()));
    run_folder_release(&run);
    EXPECT_FALSE(exists(scratch / run.name));
}

} // namespace
