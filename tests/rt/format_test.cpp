#include <gtest/gtest.h>

#include <windows.h>

#include <math.h>
#include <stdint.h>
#include <string.h>

#include <functional>
#include <string>
#include <vector>

#include "rt/buffer.h"
#include "rt/format.h"
#include "rt/heap.h"
#include "rt/shell.h"

namespace {

using Call = std::function<int32_t(char*, uint32_t)>;

// One formatting call, replayable into any buffer.
struct Case {
    const char* text;        // the call as written, for failure messages
    Call call;
    std::string expected;    // the whole output
    bool cut_is_prefix;      // a short buffer holds a prefix of the output (not so for "b", grouping,
                             // and UTF-8 conversions, whose cut bytes are unspecified)
};

#define FMT(expected, ...) \
    Case{#__VA_ARGS__, [](char* b, uint32_t n) { return str_print(b, n, __VA_ARGS__); }, expected, true}
#define FMT_WHOLE(expected, ...) \
    Case{#__VA_ARGS__, [](char* b, uint32_t n) { return str_print(b, n, __VA_ARGS__); }, expected, false}

template <size_t N>
std::string bytes(const char (&text)[N])
{
    return std::string(text, N - 1);
}

const unsigned char DUMP[] = {0x01, 0xAB, 0x23, 0xFF};
const wchar_t PRIVET_WIDE[] = L"\x041F\x0440\x0438\x0432\x0435\x0442";
const char PRIVET[] = "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82";
const ByteSpan SPAN = {5, "ab\0cd"};
const WideSpan WIDE_SPAN = {3, PRIVET_WIDE};

std::string error_text(uint32_t code)
{
    char text[512];
    return system_error_text(code, text, sizeof text) == 0 ? std::string(text) : std::string("?");
}

// Output of a call into a roomy buffer; "<failed>" or "<short>" when the call did not succeed.
std::string run(const Call& call)
{
    char buffer[1024];
    int32_t r = call(buffer, sizeof buffer);
    if (r <= 0) {
        return r == 0 ? "<failed>" : "<short>";
    }
    return std::string(buffer, (size_t)r);
}

// Every conversion, each in a buffer large enough.
std::vector<Case> all_cases()
{
    return {
        FMT_WHOLE("1,234,567", "%,d", 1234567),
        FMT("  -42", "%5d", -42),
        FMT("-0042", "%05d", -42),
        FMT("0000beef", "%08xu", 48879u),
        FMT("100000000", "%XU", (uint64_t)4294967296ull),
        FMT("000012ab", "%p", (void*)0x12AB),
        FMT("000012AB", "%Xp", (void*)0x12AB),
        FMT("3.14", "%.2F", 3.14159),
        FMT("0.500000", "%F", 0.5),
        FMT("-0000003.50", "%08.2F", -3.5),
        FMT("-inf", "%F", -INFINITY),
        FMT_WHOLE("01AB23FF", "%4Xb", DUMP),
        FMT_WHOLE("01ab", "%*b", 2, DUMP),
        FMT("zzz", "%3c", 'z'),
        FMT("abc", "%3s", "abcdef"),
        FMT("%", "%5%"),
        FMT("-2147483648|4294967295", "%I|%L", INT32_MIN, UINT32_MAX),
        FMT("-9223372036854775808 18446744073709551615", "%D %U", INT64_MIN, UINT64_MAX),
        FMT("-1 ffffffff", "%xd %xu", -1, 0xFFFFFFFFu),
        FMT_WHOLE("   -1,234,567|", "%3s%,d|", "   ", -1234567),
        FMT_WHOLE("fff,fff", "%,xu", 0xFFFFFFu),
        FMT(bytes("ab\0cd"), "%S", &SPAN),
        FMT_WHOLE(PRIVET, "%q", PRIVET_WIDE),
        FMT_WHOLE(std::string(PRIVET, 4) + "|", "%2q|", PRIVET_WIDE),
        FMT_WHOLE(std::string(PRIVET, 6), "%Q", &WIDE_SPAN),
        FMT(bytes("a\0b"), "a%Zb"),
        FMT(bytes("x\0\0x"), "x%*Z%0Zx", 7),   // "*" takes its argument even when the letter ignores it
        FMT("a 42 -7 -1.5 9 b", "a %D %d %.1F %u b", (int64_t)42, -7, -1.5, 9u),
        FMT_WHOLE("(5) " + error_text(5) + "|", "%E|", 5u),
    };
}

}  // namespace

TEST(FormatExamples, EachConversionWritesItsText)
{
    for (const Case& c : all_cases()) {
        EXPECT_EQ(run(c.call), c.expected) << c.text;
    }
}

// Guard bytes around the buffer; every size from 0 to one past the output's length.
TEST(FormatGuard, NoCallWritesOutsideItsBuffer)
{
    const size_t GUARD = 16;
    const unsigned char FILL = 0xA5;
    for (const Case& c : all_cases()) {
        size_t length = c.expected.size();
        for (uint32_t size = 0; size <= length + 1; ++size) {
            std::vector<unsigned char> area(size + 2 * GUARD, FILL);
            char* buffer = (char*)area.data() + GUARD;
            int32_t r = c.call(buffer, size);
            SCOPED_TRACE(std::string(c.text) + " size " + std::to_string(size));
            for (size_t i = 0; i < GUARD; ++i) {
                ASSERT_EQ(area[i], FILL) << "written before the buffer";
                ASSERT_EQ(area[GUARD + size + i], FILL) << "written past the end";
            }
            if (size > length) {
                ASSERT_EQ(r, (int32_t)length);
                continue;
            }
            ASSERT_LT(r, 0) << "a buffer no larger than the output must report shortage";
            uint32_t needed = (uint32_t)~r;
            ASSERT_GE(needed, length);
            if (c.cut_is_prefix) {
                ASSERT_EQ(std::string(buffer, size), c.expected.substr(0, size));
            }
            // The needed count must be enough for a retry, as buffer_format relies on.
            std::vector<char> retry(needed + 1);
            ASSERT_EQ(c.call(retry.data(), needed + 1), (int32_t)length);
        }
        EXPECT_LT(c.call(nullptr, 0), 0) << c.text << ": a measuring call reports a need";
    }
}

TEST(FormatGrammar, BadDirectivesFailAtOnce)
{
    char buffer[32];
    struct Bad {
        const char* format;
        const char* kept;   // what stays in the buffer
    } cases[] = {
        {"abc%", "abc"}, {"%y", ""}, {"ab%y", "ab"}, {"%,5d", ""}, {"%-5d", ""}, {"%+d", ""},
        {"%b", ""},      {"%0b", ""}, {"x%.3", "x"},
    };
    for (const Bad& c : cases) {
        memset(buffer, '#', sizeof buffer);
        EXPECT_EQ(str_print(buffer, sizeof buffer, c.format, 1, 2, 3), 0) << c.format;
        EXPECT_EQ(std::string(buffer, strlen(c.kept)), c.kept) << c.format;
        EXPECT_EQ(buffer[strlen(c.kept)], '#') << c.format;
        EXPECT_EQ(str_print(nullptr, 0, c.format, 1, 2, 3), 0) << c.format << " while measuring";
    }
    EXPECT_EQ(str_print(buffer, sizeof buffer, "%*b", -1, DUMP), 0) << "negative count is no count";
}

TEST(FormatGrammar, WidthCountAndModifiers)
{
    EXPECT_EQ(run([](char* b, uint32_t n) { return str_print(b, n, "%*d|%d", 5, 42, 7); }), "42|7");
    EXPECT_EQ(run([](char* b, uint32_t n) { return str_print(b, n, "%5,d", 1234567); }), "1234567");
    EXPECT_EQ(run([](char* b, uint32_t n) { return str_print(b, n, "%8,d", 1234); }), "    1234");
    EXPECT_EQ(run([](char* b, uint32_t n) { return str_print(b, n, "%300d", 1); }),
              std::string(254, ' ') + "1");
    EXPECT_EQ(run([](char* b, uint32_t n) { return str_print(b, n, "%0c%*c|", 'a', 0, 'b'); }), "a|");
    EXPECT_EQ(run([](char* b, uint32_t n) { return str_print(b, n, "%*s|", 0, (const char*)0); }), "|");
    EXPECT_EQ(run([](char* b, uint32_t n) { return str_print(b, n, "%x,.3*Xu", 9, 0xABCDu); }), "A,BCD");
    // Grouping boundaries: never a comma in front.
    const struct {
        int64_t value;
        const char* text;
    } groups[] = {{100, "100"}, {1000, "1,000"}, {-999, "-999"}, {-100000, "-100,000"},
                  {INT64_MIN, "-9,223,372,036,854,775,808"}, {0, "0"}};
    for (const auto& g : groups) {
        char buffer[64];
        int32_t r = str_print(buffer, sizeof buffer, "%,D", g.value);
        EXPECT_EQ(std::string(buffer, r > 0 ? r : 0), g.text);
    }
}

TEST(FormatNumber, CutsAtTheRoomInEveryLayout)
{
    const uint32_t W5 = 5u << NUM_WIDTH_SHIFT;
    const struct {
        uint64_t value;
        uint32_t options;
        uint32_t room;
        const char* text;
        uint32_t result;
    } cases[] = {
        {(uint64_t)-42, NUM_SIGNED | NUM_ZERO_FILL | W5, 1, "-", 1},     // the sign takes the last byte
        {(uint64_t)-42, NUM_SIGNED | NUM_ZERO_FILL | W5, 3, "-00", 3},
        {(uint64_t)-42, NUM_SIGNED | W5, 3, "  -", 3},
        {(uint64_t)-42, NUM_SIGNED | W5, 2, "  ", 2},
        {123456, 0, 4, "1234", 4},
        {(uint64_t)-1234567, NUM_SIGNED | NUM_GROUP, 9, "-", 9},          // grouped: sign or nothing
        {1234567, NUM_GROUP, 8, "", 8},
        {(uint64_t)-1234567, NUM_SIGNED | NUM_GROUP, 10, "-1,234,567", 10},
        {(uint64_t)-1, 0, 64, "18446744073709551615", 20},                 // unsigned unless told
        {0, NUM_NEGATIVE, 64, "-0", 2},
        {0xABCD, NUM_HEX_LOWER | NUM_HEX_UPPER, 64, "ABCD", 4},          // upper case wins
        {5000000000ull, 0, 64, "5000000000", 10},                          // 64-bit division path
        {4294967296ull * 10, 0, 64, "42949672960", 11},
        {7, 255u << NUM_WIDTH_SHIFT, 300, nullptr, 255},
        {7, 0, 0, "", 0},
    };
    for (const auto& c : cases) {
        char buffer[301];
        memset(buffer, '#', sizeof buffer);
        uint32_t r = format_number(c.value, buffer, c.room, c.options);
        EXPECT_EQ(r, c.result) << c.value << " room " << c.room;
        if (c.text != nullptr) {
            EXPECT_EQ(std::string(buffer, strlen(c.text)), c.text) << c.value << " room " << c.room;
            EXPECT_EQ(buffer[strlen(c.text)], '#') << c.value << " room " << c.room;
        }
        EXPECT_EQ(buffer[c.room], '#') << c.value << " room " << c.room;
    }
}

TEST(FormatFixed, RoundingSignsAndTheOddValues)
{
    const struct {
        const char* format;
        double value;
        const char* text;
    } cases[] = {
        {"%F", -0.0, "0.000000"},
        {"%.2F", 0.999, "1.00"},
        {"%.0F", 2.7, "2"},
        {"%.0F", -0.4, "-0"},
        {"%.1F", 2.96, "3.0"},
        {"%6.1F", -2.96, "    -3.0"},
        {"%.2F", 0.05, "0.05"},
        {"%10F", INFINITY, "inf"},
        {"%010.2F", -INFINITY, "-inf"},
        {"%F", NAN, "nan"},
        {"%.1F", 9223372036854775808.0, "9223372036854775808.0"},
        {"%.1F", -18446744073709549568.0, "-18446744073709549568.0"},
        {"%.1F", 1e300, "inf"},
        {"%.12F", 0.5, "0.500000000000"},
        {"%.25F", 0.25, "0.2500000000000000000000000"},
        {"%,x.1F", 1234.0, "1234.0"},                // grouping and hex do not apply
        {"%.9F", 1.000000001, "1.000000001"},
    };
    for (const auto& c : cases) {
        char buffer[64];
        int32_t r = str_print(buffer, sizeof buffer, c.format, c.value);
        EXPECT_EQ(std::string(buffer, r > 0 ? r : 0), c.text) << c.format << " of " << c.value;
    }
}

TEST(FormatTruncation, NeededCounts)
{
    const struct {
        Call call;
        uint32_t size;
        int32_t result;
        const char* text;
    } cases[] = {
        {[](char* b, uint32_t n) { return str_print(b, n, "%d|%u", 1, 2); }, 0, ~41, ""},
        {[](char* b, uint32_t n) { return str_print(b, n, ""); }, 0, -1, ""},
        {[](char* b, uint32_t n) { return str_print(b, n, ""); }, 4, 0, ""},
        {[](char* b, uint32_t n) { return str_print(b, n, "%*c", 0, 'a'); }, 0, -1, ""},
        {[](char* b, uint32_t n) { return str_print(b, n, "abc"); }, 3, ~3, "abc"},
        {[](char* b, uint32_t n) { return str_print(b, n, "%s|", "abcdef"); }, 3, ~7, "abc"},
        {[](char* b, uint32_t n) { return str_print(b, n, "%5c|", 'q'); }, 2, ~6, "qq"},
        {[](char* b, uint32_t n) { return str_print(b, n, "%9d", 1); }, 4, ~20, "    "},
        {[](char* b, uint32_t n) { return str_print(b, n, "%40d", 1); }, 4, ~40, "    "},
        {[](char* b, uint32_t n) { return str_print(b, n, "%F", 1.0); }, 0, ~27, ""},
        {[](char* b, uint32_t n) { return str_print(b, n, "%30.2F", 1.0); }, 0, ~33, ""},
        // Both exceed the fixed estimates; the count still covers them.
        {[](char* b, uint32_t n) { return str_print(b, n, "%,U", UINT64_MAX); }, 0, ~26, ""},
        {[](char* b, uint32_t n) { return str_print(b, n, "%.60F", 1.5); }, 0, ~62, ""},
        // "b" all or nothing; a grouped number leaves its sign; neither writes past.
        {[](char* b, uint32_t n) { return str_print(b, n, "ab%4b|", DUMP); }, 9, ~11, "ab"},
        {[](char* b, uint32_t n) { return str_print(b, n, "%,d|", -1234567); }, 5, ~21, "-"},
        // UTF-16 text meeting the end counts its whole UTF-8 size.
        {[](char* b, uint32_t n) { return str_print(b, n, "ab%q", PRIVET_WIDE); }, 2, ~14, "ab"},
        {[](char* b, uint32_t n) { return str_print(b, n, "ab%Q", &WIDE_SPAN); }, 0, ~8, ""},
    };
    for (const auto& c : cases) {
        char buffer[64];
        memset(buffer, '#', sizeof buffer);
        int32_t r = c.call(c.size != 0 ? buffer : nullptr, c.size);
        EXPECT_EQ(r, c.result) << "size " << c.size << " text " << c.text;
        EXPECT_EQ(std::string(buffer, strlen(c.text)), c.text);
        EXPECT_EQ(buffer[strlen(c.text)], '#') << c.text;
    }
}

TEST(FormatCounts, HugeCountsNeverLookLikeSuccess)
{
    char buffer[8];
    int32_t r = str_print(buffer, sizeof buffer, "%*c%*c", INT32_MAX, 'a', INT32_MAX, 'b');
    EXPECT_EQ(r, INT32_MIN);
    EXPECT_EQ(std::string(buffer, sizeof buffer), "aaaaaaaa");
}

TEST(FormatError, CodeAndSystemText)
{
    std::string text = error_text(5);
    ASSERT_NE(text, "?");
    std::string whole = "(5) " + text;
    char buffer[600];
    // Prefix fits, text does not: the count covers the whole message, so a retry fits.
    int32_t r = str_print(buffer, 6, "%E", 5u);
    ASSERT_LT(r, 0);
    EXPECT_GE((uint32_t)~r, whole.size());
    EXPECT_EQ(str_print(buffer, (uint32_t)-r, "%E", 5u), (int32_t)whole.size());
    // Prefix does not fit: prefix, its spare byte and the text are counted.
    EXPECT_EQ(str_print(buffer, 3, "%E", 5u), ~(int32_t)(whole.size() + 1));
    EXPECT_EQ(std::string(buffer, 3), "(5)");
    // A code without a message makes the output short, so a retry fails again.
    const uint32_t UNKNOWN = 0x2000ABCDu;
    ASSERT_EQ(error_text(UNKNOWN), "?");
    r = str_print(buffer, sizeof buffer, "a%Eb", UNKNOWN);
    EXPECT_EQ(r, ~(1 + 255 + 1));
    EXPECT_EQ(alloc_format("%E", UNKNOWN), nullptr);
    char* message = alloc_format("%E%Z", 5u);
    ASSERT_NE(message, nullptr);
    EXPECT_EQ(std::string(message), whole);
    heap_free(message);
}

TEST(FormatBuffer, AppendsAndGrowsOnce)
{
    ByteBuffer buffer = {0, nullptr, 0};
    ASSERT_NE(buffer_reserve(&buffer, 3), nullptr);
    memcpy(buffer.data, "abc", 3);
    buffer.length = 3;
    auto append = [](ByteBuffer* b, const char* format, ...) {
        va_list args;
        va_start(args, format);
        int32_t r = buffer_format(b, format, args);
        va_end(args);
        return r;
    };
    EXPECT_EQ(append(&buffer, "%s%d%Z", "defg", 12), 7);
    EXPECT_EQ(buffer.length, 10u);
    EXPECT_EQ(buffer.capacity, 3u + 20 + 4 + 1 + 1);   // the integer counted 20 while measuring
    EXPECT_EQ(std::string(buffer.data, buffer.length), bytes("abcdefg12\0"));
    char* data = buffer.data;
    EXPECT_EQ(append(&buffer, "%c", 'x'), 1) << "spare room: no growth";
    EXPECT_EQ(buffer.data, data);
    EXPECT_EQ(append(&buffer, "%y"), 0);
    EXPECT_EQ(append(&buffer, ""), 0);
    EXPECT_EQ(buffer.length, 11u);
    buffer_release(&buffer);

    // A view is copied into a block of its own, never written through.
    char foreign[4] = {'v', 'w', '#', '#'};
    ByteBuffer view = {2, foreign, 0};
    EXPECT_EQ(append(&view, "%u", 7u), 1);
    EXPECT_EQ(std::string(view.data, view.length), "vw7");
    EXPECT_NE(view.data, foreign);
    EXPECT_EQ(std::string(foreign, 4), "vw##");
    buffer_release(&view);
}

TEST(FormatAlloc, WorkedExampleAndFailures)
{
    char* command = alloc_format("%s %s%Z", "C:\\Temp\\setup.exe", "X=1");
    ASSERT_NE(command, nullptr);
    EXPECT_STREQ(command, "C:\\Temp\\setup.exe X=1");
    EXPECT_EQ(HeapSize(GetProcessHeap(), 0, command), 23u);
    heap_free(command);

    EXPECT_EQ(alloc_format(""), nullptr);
    EXPECT_EQ(alloc_format("%s", ""), nullptr);
    EXPECT_EQ(alloc_format("ab%y"), nullptr);
    char* big = alloc_format("%,U|%.60F%Z", UINT64_MAX, 1.5);
    ASSERT_NE(big, nullptr);
    EXPECT_EQ(std::string(big), "18,446,744,073,709,551,615|1.5" + std::string(59, '0'));
    heap_free(big);
}
