#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

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

namespace {

const char* const VALUE_KEYS[] = {"setup_args", "http_url", "https_url", "sha256", "signer"};

const char* field_of(const InstallerConfig& config, const std::string& key)
{
    return key == "setup_args" ? config.setup_args
         : key == "http_url"   ? config.http_url
         : key == "https_url"  ? config.https_url
         : key == "sha256"     ? config.sha256
                               : config.signer;
}

// One case of tests/data/config_block_cases.txt: a block text and the values kept from it.
struct BlockCase {
    int line;
    std::string text;
    std::map<std::string, std::string> values;
    bool refused; // parse_config returns 1
};

// The bytes of a quoted field of the case file, its escapes undone; false when it is malformed.
bool unquote(const std::string& field, std::string* out)
{
    if (field.size() < 2 || field.front() != '"' || field.back() != '"') {
        return false;
    }
    out->clear();
    for (size_t i = 1; i + 1 < field.size(); ++i) {
        char c = field[i];
        if (c != '\\') {
            *out += c;
            continue;
        }
        if (i + 2 >= field.size()) {
            return false;
        }
        char escape = field[++i];
        if (escape == 'x') {
            if (i + 3 >= field.size() || !isxdigit((unsigned char)field[i + 1]) ||
                !isxdigit((unsigned char)field[i + 2])) {
                return false;
            }
            *out += (char)strtoul(field.substr(i + 1, 2).c_str(), nullptr, 16);
            i += 2;
        } else if (escape == 'n' || escape == 'r' || escape == 't') {
            *out += escape == 'n' ? '\n' : escape == 'r' ? '\r' : '\t';
        } else if (escape == '\\' || escape == '"') {
            *out += escape;
        } else {
            return false;
        }
    }
    return true;
}

// The cases of the table that the configuration tool's test reads too. The unit tests run under
// Wine, which shows the Unix file system as drive Z:, so the source tree's path is found there.
bool read_block_cases(std::vector<BlockCase>* cases, std::string* error)
{
    std::string path = std::string("Z:") + QWI_TEST_DATA_DIR + "/config_block_cases.txt";
    for (char& c : path) {
        c = c == '/' ? '\\' : c;
    }
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        *error = "cannot read " + path;
        return false;
    }
    std::string line;
    for (int number = 1; std::getline(file, line); ++number) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        size_t space = line.find(' ');
        std::string word = line.substr(0, space);
        std::string rest = space == std::string::npos ? "" : line.substr(space + 1);
        std::string value;
        bool known = word == "text" || word == "tool" || (word == "installer" && rest == "refused");
        for (const char* key : VALUE_KEYS) {
            known = known || word == key;
        }
        bool quoted = word != "tool" && word != "installer";
        if (!known || (quoted && !unquote(rest, &value)) || (word != "text" && cases->empty())) {
            *error = path + " line " + std::to_string(number) + " is not a case line: " + line;
            return false;
        }
        if (word == "text") {
            cases->push_back(BlockCase{number, value, {}, false});
        } else if (word == "installer") {
            cases->back().refused = true;
        } else if (word != "tool") { // the tool's verdict is the tool test's business
            cases->back().values[word] = value;
        }
    }
    return true;
}

} // namespace

TEST(ConfigParse, SharedBlockCases)
{
    std::vector<BlockCase> cases;
    std::string error;
    ASSERT_TRUE(read_block_cases(&cases, &error)) << error;
    ASSERT_FALSE(cases.empty());
    for (const BlockCase& c : cases) {
        SCOPED_TRACE("config_block_cases.txt line " + std::to_string(c.line));
        // The block's text ends at its first NUL. More text follows the counted bytes, so that a
        // read past them changes the result.
        size_t length = c.text.find('\0');
        length = length == std::string::npos ? c.text.size() : length;
        std::string bytes = c.text + "XX https_url overrun";
        InstallerConfig config = {};
        ASSERT_EQ(parse_config(bytes.data(), (uint32_t)length, &config), c.refused ? 1 : 0) << escaped(c.text);
        for (const char* key : VALUE_KEYS) {
            auto found = c.values.find(key);
            expect_field(key, found == c.values.end() ? nullptr : found->second.c_str(), field_of(config, key),
                         c.text);
        }
        config_release(&config);
    }
}

TEST(ConfigParse, OnlyLengthBytesAreRead)
{
    struct Case {
        std::string text;
        uint32_t length;
        Fields expected;
    };
    const Case cases[] = {
        {"setup_args xyz", 12, {"x", nullptr, nullptr, nullptr}},
        {"https_url abc\nhttp_url d", 13, {nullptr, nullptr, "abc", nullptr}},
        {"https_url abc\nhttp_url d", 0, {nullptr, nullptr, nullptr, nullptr}},
    };
    for (const Case& c : cases) {
        InstallerConfig config = {};
        // More text follows the counted bytes, so that a read past length changes the result.
        std::string bytes = c.text + "XX https_url overrun";
        ASSERT_EQ(parse_config(bytes.data(), c.length, &config), 0) << escaped(c.text);
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

// UTF-8 as the strict decoders read it: no overlong forms, no surrogates, nothing above U+10FFFF.
// The count of characters, or -1.
int utf8_characters(const std::string& text)
{
    int count = 0;
    for (size_t i = 0; i < text.size(); ++count) {
        unsigned char c = (unsigned char)text[i];
        int extra = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : -1;
        if (extra < 0 || i + extra >= text.size()) {
            return -1;
        }
        uint32_t code = extra == 0 ? c : c & (0x3F >> extra);
        for (int k = 1; k <= extra; ++k) {
            unsigned char next = (unsigned char)text[i + k];
            if ((next & 0xC0) != 0x80) {
                return -1;
            }
            code = (code << 6) | (next & 0x3F);
        }
        static const uint32_t least[] = {0, 0x80, 0x800, 0x10000};
        if (code < least[extra] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
            return -1;
        }
        i += 1 + extra;
    }
    return count;
}

// A signer the installer accepts: 1 to 64 characters of UTF-8, no control character.
bool signer_acceptable(const std::string& value)
{
    for (unsigned char c : value) {
        if (c < 0x20 || c == 0x7F) {
            return false;
        }
    }
    int characters = utf8_characters(value);
    return characters >= 1 && characters <= 64;
}

// Independent statement of the line rules, for the randomised comparison below. A signer line the
// installer does not accept refuses the block (refused) and leaves the signer as it was.
std::map<std::string, std::string> reference_parse(const std::string& text, bool* refused)
{
    *refused = false;
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
            if (key == name && key == "signer" && !signer_acceptable(value)) {
                *refused = true;
            } else if (key == name) {
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
        bool refused = false;
        std::map<std::string, std::string> expected = reference_parse(text, &refused);
        auto want = [&](const char* key) {
            auto found = expected.find(key);
            return found == expected.end() ? nullptr : found->second.c_str();
        };

        InstallerConfig config = {};
        ASSERT_EQ(parse_config(text.data(), (uint32_t)text.size(), &config), refused ? 1 : 0) << escaped(text);
        for (const char* key : VALUE_KEYS) {
            expect_field(key, want(key), field_of(config, key), text);
        }
        config_release(&config);
        if (HasFailure()) {
            FAIL() << "stopped at round " << round;
        }
    }
    EXPECT_EQ(heap.busy_blocks(), baseline);
}
