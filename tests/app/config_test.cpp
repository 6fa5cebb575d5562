#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <random>
#include <string>

#include "app/config.h"
#include "rt/process.h"
#include "tests/test_heap.h"

namespace {

struct Fields {
    const char* setup_args;
    const char* http_url;
    const char* https_url;
    const char* sha256;
    const char* signer;
};

std::string escaped(const std::string& text)
{
    std::string out;
    for (unsigned char c : text) {
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c >= 0x7f) {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else {
            out += (char)c;
        }
    }
    return out;
}

void expect_field(const char* name, const char* expected, const char* actual, const std::string& text)
{
    if (expected == nullptr) {
        EXPECT_EQ(actual, nullptr) << name << " for \"" << escaped(text) << "\"";
    } else if (actual == nullptr) {
        ADD_FAILURE() << name << " missing for \"" << escaped(text) << "\"";
    } else {
        EXPECT_STREQ(actual, expected) << name << " for \"" << escaped(text) << "\"";
    }
}

} // namespace

TEST(ConfigBlock, DefaultBlockParsesToTheShippedSettings)
{
    uint32_t length = (uint32_t)strnlen(config_block, CONFIG_BLOCK_SIZE);
    ASSERT_LT(length, CONFIG_BLOCK_SIZE) << "the block lost its terminator";
    for (uint32_t i = length; i < CONFIG_BLOCK_SIZE; ++i) {
        ASSERT_EQ(config_block[i], 0) << "byte " << i << " after the text is not zero";
    }

    InstallerConfig config = {};
    ASSERT_EQ(parse_config(config_block, length, &config), 0);
    EXPECT_STREQ(config.setup_args, "\"AID=32197\"");
    EXPECT_EQ(strlen(config.setup_args), 11u);
    EXPECT_STREQ(config.https_url, "http://download.quorvel.com/webinstaller/setup.exe");
    EXPECT_STREQ(config.http_url, "https://download.quorvel.com/webinstaller/setup.exe");
    EXPECT_EQ(config.sha256, nullptr);
    config_release(&config);
}

TEST(ConfigParse, LineForms)
{
    struct Case {
        std::string text;
        int32_t length; // -1: the whole text
        Fields expected;
    };
    const Case cases[] = {
        // Only the first space after the key separates; trailing spaces go.
        {"  https_url   x  ", -1, {nullptr, nullptr, "  x", nullptr}},
        // Spaces before a final carriage return stay; a bare carriage return goes.
        {"https_url x  \r\n", -1, {nullptr, nullptr, "x  ", nullptr}},
        {"https_url x\r\n", -1, {nullptr, nullptr, "x", nullptr}},
        {"https_url x\r", -1, {nullptr, nullptr, "x", nullptr}},
        {"https_url x\r  \n", -1, {nullptr, nullptr, "x", nullptr}},
        // Only one carriage return is dropped; one inside the value stays.
        {"https_url x\r\r\n", -1, {nullptr, nullptr, "x\r", nullptr}},
        {"https_url a\rb\n", -1, {nullptr, nullptr, "a\rb", nullptr}},
        // Comments, with or without leading spaces, even when a key follows the mark.
        {"#https_url x\n   # http_url y\nsetup_args z", -1, {"z", nullptr, nullptr, nullptr}},
        // Keys are compared case-sensitively and whole.
        {"HTTPS_URL x\nhttps_urlx y\nhttps_ur z\nhttp_url\tw\n", -1, {nullptr, nullptr, nullptr, nullptr}},
        // A known key alone, or followed by spaces only, stores an empty value; spaces before a
        // carriage return are value bytes even then.
        {"setup_args", -1, {"", nullptr, nullptr, nullptr}},
        {"setup_args   \n", -1, {"", nullptr, nullptr, nullptr}},
        {"setup_args \r", -1, {"", nullptr, nullptr, nullptr}},
        {"setup_args   \r\n", -1, {"  ", nullptr, nullptr, nullptr}},
        // No final line feed; blank and space-only lines; tabs are ordinary bytes.
        {"\n\n   \n\r\nhttp_url a\tb \nsetup_args \"x y\"  z", -1, {"\"x y\"  z", "a\tb", nullptr, nullptr}},
        {"\thttp_url a", -1, {nullptr, nullptr, nullptr, nullptr}},
        // The later line wins.
        {"https_url a\nhttps_url b\nhttps_url c\n", -1, {nullptr, nullptr, "c", nullptr}},
        {"sha256 00ff\nsha256\n", -1, {nullptr, nullptr, nullptr, ""}},
        // A signer's name keeps its inner spaces and bytes verbatim; a key that only starts with
        // "signer" is another key.
        {"signer  Quorvel  M\xc3\xbcller Ltd.  \nsigners x\nSigner y\n", -1,
         {nullptr, nullptr, nullptr, nullptr, " Quorvel  M\xc3\xbcller Ltd."}},
        // Only length bytes are read.
        {"setup_args xyz", 12, {"x", nullptr, nullptr, nullptr}},
        {"https_url abc\nhttp_url d", 13, {nullptr, nullptr, "abc", nullptr}},
        {"https_url abc\nhttp_url d", 0, {nullptr, nullptr, nullptr, nullptr}},
        {"      ", -1, {nullptr, nullptr, nullptr, nullptr}},
        // Bytes above 0x7f are ordinary value bytes.
        {"setup_args \xd0\x9f\xd1\x80\xd0\xb8", -1, {"\xd0\x9f\xd1\x80\xd0\xb8", nullptr, nullptr, nullptr}},
    };
    for (const Case& c : cases) {
        InstallerConfig config = {};
        uint32_t length = c.length < 0 ? (uint32_t)c.text.size() : (uint32_t)c.length;
        // More text follows the counted bytes, so that a read past length changes the result.
        std::string bytes = c.text + "XX https_url overrun";
        ASSERT_EQ(parse_config(bytes.data(), length, &config), 0) << escaped(c.text);
        expect_field("setup_args", c.expected.setup_args, config.setup_args, c.text);
        expect_field("http_url", c.expected.http_url, config.http_url, c.text);
        expect_field("https_url", c.expected.https_url, config.https_url, c.text);
        expect_field("sha256", c.expected.sha256, config.sha256, c.text);
        expect_field("signer", c.expected.signer, config.signer, c.text);
        config_release(&config);
    }
}

TEST(ConfigParse, ReleaseFreesEveryStringAndRepeatedKeysLeakNothing)
{
    TestHeap heap;
    int baseline = heap.busy_blocks();

    InstallerConfig config = {};
    std::string text;
    for (int i = 0; i < 50; ++i) {
        text += "setup_args a\nhttp_url b\nhttps_url c\nsha256 d\nsigner f\nunknown e\n";
    }
    ASSERT_EQ(parse_config(text.data(), (uint32_t)text.size(), &config), 0);
    EXPECT_EQ(heap.busy_blocks(), baseline + 5);

    config_release(&config);
    EXPECT_EQ(heap.busy_blocks(), baseline);
    EXPECT_EQ(config.setup_args, nullptr);
    EXPECT_EQ(config.http_url, nullptr);
    EXPECT_EQ(config.https_url, nullptr);
    EXPECT_EQ(config.sha256, nullptr);
    EXPECT_EQ(config.signer, nullptr);

    config_release(&config); // twice is harmless: the fields were nulled
}

TEST(ConfigParse, FailedCopyReportsFailureAndKeepsWhatWasStored)
{
    TestHeap heap(TestHeap::SMALL); // a fixed-size heap that can't hold the long value below
    int baseline = heap.busy_blocks();

    std::string text = "https_url a\nsetup_args " + std::string(0x20000, 'v') + "\nhttp_url b\n";
    InstallerConfig config = {};
    EXPECT_EQ(parse_config(text.data(), (uint32_t)text.size(), &config), 1);
    EXPECT_STREQ(config.https_url, "a");
    EXPECT_EQ(config.setup_args, nullptr);
    EXPECT_EQ(config.http_url, nullptr) << "parsing went on after the failure";
    config_release(&config);
    EXPECT_EQ(heap.busy_blocks(), baseline);
}

namespace {

// Independent statement of the line rules, for the randomised comparison below.
std::map<std::string, std::string> reference_parse(const std::string& text)
{
    static const char* const known[] = {"setup_args", "http_url", "https_url", "sha256", "signer"};
    std::map<std::string, std::string> values;
    size_t position = 0;
    while (position < text.size()) {
        size_t line_feed = text.find('\n', position);
        std::string line = text.substr(position, line_feed == std::string::npos ? std::string::npos
                                                                               : line_feed - position);
        position = line_feed == std::string::npos ? text.size() : line_feed + 1;

        size_t first = line.find_first_not_of(' ');
        if (first == std::string::npos) {
            continue;
        }
        line.erase(0, first);
        line.erase(line.find_last_not_of(' ') + 1);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.empty() || line[0] == '#') {
            continue;
        }
        size_t space = line.find(' ');
        std::string key = line.substr(0, space);
        std::string value = space == std::string::npos ? "" : line.substr(space + 1);
        for (const char* name : known) {
            if (key == name) {
                values[key] = value;
            }
        }
    }
    return values;
}

std::string random_block(std::mt19937& random)
{
    static const char* const keys[] = {
        "setup_args", "http_url", "https_url", "sha256", "HTTPS_URL", "Setup_args", "https_urlx",
        "http_urls", "https_ur", "http_", "sha25", "sha2566", "#https_url", "#", "x", "\t", "\r",
        "signer", "signers", "Signer",
    };
    static const char* const pieces[] = {
        " ", " ", "  ", "\r", "\t", "#", "a", "http://h/p", "\"AID=32197\"", "x y", "\xff", "\x01", "=",
    };
    auto pick = [&](uint32_t n) { return (uint32_t)(random() % n); };

    std::string text;
    uint32_t lines = pick(12);
    for (uint32_t i = 0; i < lines; ++i) {
        text.append(pick(4) == 0 ? pick(4) : 0, ' ');
        if (pick(8) != 0) {
            text += keys[pick(sizeof keys / sizeof keys[0])];
        }
        if (pick(6) != 0) {
            text.append(1 + (pick(4) == 0 ? pick(3) : 0), ' ');
        }
        uint32_t count = pick(5);
        for (uint32_t j = 0; j < count; ++j) {
            text += pieces[pick(sizeof pieces / sizeof pieces[0])];
        }
        text.append(pick(3) == 0 ? pick(3) : 0, ' ');
        if (pick(3) == 0) {
            text += '\r';
            text.append(pick(4) == 0 ? 1 : 0, ' ');
        }
        if (i + 1 < lines || pick(2) == 0) {
            text += '\n';
        }
    }
    if (text.size() >= CONFIG_BLOCK_SIZE) {
        text.resize(CONFIG_BLOCK_SIZE - 1);
    }
    return text;
}

} // namespace

TEST(ConfigModel, RandomBlocksMatchTheReferenceRules)
{
    TestHeap heap;
    int baseline = heap.busy_blocks();
    std::mt19937 random(20261207);
    for (int round = 0; round < 5000; ++round) {
        std::string text = random_block(random);
        std::map<std::string, std::string> expected = reference_parse(text);
        auto want = [&](const char* key) {
            auto found = expected.find(key);
            return found == expected.end() ? nullptr : found->second.c_str();
        };

        InstallerConfig config = {};
        ASSERT_EQ(parse_config(text.data(), (uint32_t)text.size(), &config), 0);
        expect_field("setup_args", want("setup_args"), config.setup_args, text);
        expect_field("http_url", want("http_url"), config.http_url, text);
        expect_field("https_url", want("https_url"), config.https_url, text);
        expect_field("sha256", want("sha256"), config.sha256, text);
        expect_field("signer", want("signer"), config.signer, text);
        config_release(&config);
        if (HasFailure()) {
            FAIL() << "stopped at round " << round;
        }
    }
    EXPECT_EQ(heap.busy_blocks(), baseline);
}
