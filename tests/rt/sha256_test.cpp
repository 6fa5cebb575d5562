#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "rt/sha256.h"

namespace {

std::string hex_of(const uint8_t* digest)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (uint32_t i = 0; i < SHA256_DIGEST_SIZE; ++i) {
        text += digits[digest[i] >> 4];
        text += digits[digest[i] & 15];
    }
    return text;
}

// Digest of data fed in pieces of the given size (0: all at once).
std::string digest_in_pieces(const std::string& data, size_t piece)
{
    Sha256 state;
    EXPECT_EQ(sha256_begin(&state), 0);
    size_t step = piece ? piece : (data.empty() ? 1 : data.size());
    for (size_t at = 0; at < data.size(); at += step) {
        size_t n = std::min(step, data.size() - at);
        EXPECT_EQ(sha256_update(&state, data.data() + at, (uint32_t)n), 0);
    }
    uint8_t digest[SHA256_DIGEST_SIZE];
    EXPECT_EQ(sha256_finish(&state, digest), 0);
    return hex_of(digest);
}

} // namespace

TEST(Sha256, KnownDigestsWhateverThePieces)
{
    struct Case {
        std::string data;
        const char* digest;
    };
    const Case cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const Case& c : cases) {
        for (size_t piece : {size_t(0), size_t(1), size_t(63), size_t(64), size_t(16384)}) {
            if (piece == 1 && c.data.size() > 1000) {
                continue;
            }
            EXPECT_EQ(digest_in_pieces(c.data, piece), c.digest) << "length " << c.data.size() << " piece " << piece;
        }
    }
}

TEST(Sha256, FileDigestReadsFromTheStartWhereverThePointerIs)
{
    wchar_t dir[MAX_PATH];
    ASSERT_NE(GetTempPathW(MAX_PATH, dir), 0u);
    std::wstring path = std::wstring(dir) + L"qwi-sha256-test.bin";
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    std::string data(200000, '\0');
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = (char)(i * 7 + (i >> 9));
    }
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(file, data.data(), (DWORD)data.size(), &written, nullptr));
    ASSERT_EQ(written, data.size()); // the pointer now stands at the end

    uint8_t digest[SHA256_DIGEST_SIZE];
    ASSERT_EQ(sha256_file(file, digest), 0);
    EXPECT_EQ(hex_of(digest), digest_in_pieces(data, 0));
    ASSERT_EQ(sha256_file(file, digest), 0); // again, from the end
    EXPECT_EQ(hex_of(digest), digest_in_pieces(data, 0));
    CloseHandle(file);

    HANDLE write_only = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    ASSERT_NE(write_only, INVALID_HANDLE_VALUE);
    EXPECT_EQ(sha256_file(write_only, digest), 1) << "a handle without read access can't be hashed";
    CloseHandle(write_only);
}

TEST(Sha256, PinComparison)
{
    uint8_t digest[SHA256_DIGEST_SIZE];
    for (uint32_t i = 0; i < SHA256_DIGEST_SIZE; ++i) {
        digest[i] = (uint8_t)(i * 9 + 0xA0);
    }
    std::string good = hex_of(digest);
    std::string upper = good;
    for (char& c : upper) {
        c = (char)toupper((unsigned char)c);
    }
    std::string last_wrong = good;
    last_wrong[63] = last_wrong[63] == '0' ? '1' : '0';
    std::string first_wrong = good;
    first_wrong[0] = first_wrong[0] == '0' ? '1' : '0';

    struct Case {
        const char* pin;
        int expected;
    };
    const std::string longer = good + "0";
    const std::string shorter = good.substr(0, 63);
    const std::string spaced = " " + good.substr(1);
    const std::string non_hex = good.substr(0, 62) + "g0";
    const std::string embedded_nul = good.substr(0, 10) + std::string(1, '\0') + good.substr(11);
    const Case cases[] = {
        {good.c_str(), 0},          {upper.c_str(), 0},         {last_wrong.c_str(), 1},
        {first_wrong.c_str(), 1},   {longer.c_str(), 1},        {shorter.c_str(), 1},
        {spaced.c_str(), 1},        {non_hex.c_str(), 1},       {embedded_nul.c_str(), 1},
        {"", 1},                    {nullptr, 1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(sha256_compare_hex(digest, c.pin), c.expected) << (c.pin ? c.pin : "(null)");
    }
}
