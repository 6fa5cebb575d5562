#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "rt/heap.h"
#include "rt/text.h"
#include "tests/rt/rt_test_support.h"

namespace {

const char PRIVET[] = "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82";  // "Привет"
const wchar_t PRIVET_WIDE[] = L"\x041F\x0440\x0438\x0432\x0435\x0442";

// Holds whatever utf8_to_wide returned and frees it when it is not the caller's buffer.
struct Converted {
    wchar_t* text;
    const wchar_t* local;
    ~Converted() {
        if (text != local) {
            heap_free(text);
        }
    }
};

}  // namespace

TEST(Utf8ToWide, FitsInTheCallersBuffer) {
    struct Case {
        const char* source;
        int32_t source_length;
        std::wstring expected;  // units written, terminator included when counted
    } cases[] = {
        {"", -1, std::wstring(1, L'\0')},
        {"setup", -1, std::wstring(L"setup", 6)},
        {"setup.exe", 5, L"setup"},
        {PRIVET, -1, std::wstring(PRIVET_WIDE, 7)},
        {PRIVET, 4, L"\x041F\x0440"},
        {"a\xF0\x9F\x98\x80z", -1, std::wstring(L"a\xD83D\xDE00z", 5)},  // surrogate pair
    };
    for (const Case& c : cases) {
        wchar_t local[PATH_BUFFER_UNITS];
        for (wchar_t& unit : local) {
            unit = L'#';
        }
        int32_t capacity = PATH_BUFFER_UNITS;
        Converted result = {utf8_to_wide(local, &capacity, c.source, c.source_length), local};
        ASSERT_EQ(result.text, local) << c.source;
        EXPECT_EQ(capacity, (int32_t)c.expected.size()) << c.source;
        EXPECT_EQ(std::wstring(local, capacity), c.expected) << c.source;
        EXPECT_EQ(local[capacity], L'#') << "nothing written past the count for " << c.source;
    }
}

TEST(Utf8ToWide, TooLongForTheBufferLandsOnTheHeapWithRoomForATerminator) {
    std::string text(300, 'p');
    wchar_t local[PATH_BUFFER_UNITS];
    int32_t capacity = PATH_BUFFER_UNITS;
    Converted result = {utf8_to_wide(local, &capacity, text.c_str(), -1), local};
    ASSERT_NE(result.text, nullptr);
    ASSERT_NE(result.text, local);
    EXPECT_EQ(capacity, 301);
    EXPECT_EQ(HeapSize(process_globals.heap, 0, result.text), (SIZE_T)(302 * sizeof(wchar_t)));
    EXPECT_EQ(std::wstring(result.text), std::wstring(300, L'p'));

    // Counted text that does not fit: the unit after the count is there for the caller's NUL.
    std::string cyrillic;
    for (int i = 0; i < 30; i++) {
        cyrillic += PRIVET;
    }
    wchar_t small[100];
    int32_t small_capacity = 100;
    Converted counted = {utf8_to_wide(small, &small_capacity, cyrillic.data(), (int32_t)cyrillic.size()),
                         small};
    ASSERT_NE(counted.text, nullptr);
    ASSERT_NE(counted.text, small);
    EXPECT_EQ(small_capacity, 180);
    EXPECT_GE(HeapSize(process_globals.heap, 0, counted.text), (SIZE_T)(181 * sizeof(wchar_t)));
    counted.text[small_capacity] = L'\0';
    EXPECT_EQ(rt_test::narrow(counted.text), cyrillic);
}

TEST(Utf8ToWide, NoUsableBufferMeansAHeapBlock) {
    // No buffer at all, and a buffer whose capacity is 0, behave alike.
    int32_t zero = 0;
    wchar_t unused[4] = {L'#', L'#', L'#', L'#'};
    struct Case {
        wchar_t* dest;
        int32_t* capacity;
    } cases[] = {{nullptr, nullptr}, {unused, &zero}};
    for (const Case& c : cases) {
        Converted result = {utf8_to_wide(c.dest, c.capacity, PRIVET, -1), c.dest};
        ASSERT_NE(result.text, nullptr);
        EXPECT_NE(result.text, c.dest);
        EXPECT_EQ(std::wstring(result.text), PRIVET_WIDE);
        if (c.capacity != nullptr) {
            EXPECT_EQ(*c.capacity, 7);
        }
    }
    EXPECT_EQ(unused[0], L'#');
}

TEST(Utf8ToWide, EmptyCountedTextIsZeroUnitsNotAFailure) {
    wchar_t local[8] = {L'#'};
    int32_t capacity = 8;
    EXPECT_EQ(utf8_to_wide(local, &capacity, "ignored", 0), local);
    EXPECT_EQ(capacity, 0);

    int32_t heap_count = 5;
    Converted result = {utf8_to_wide(nullptr, &heap_count, "ignored", 0), nullptr};
    ASSERT_NE(result.text, nullptr);
    EXPECT_EQ(heap_count, 0);
    EXPECT_EQ(result.text[0], L'\0');
}

TEST(Utf8ToWide, FailuresGiveNull) {
    // A negative length other than -1 is no length at all.
    int32_t capacity = 8;
    wchar_t local[8];
    EXPECT_EQ(utf8_to_wide(local, &capacity, "abc", -2), nullptr);

    rt_test::TinyHeap tiny;
    ASSERT_TRUE(tiny.ok());
    std::string big(rt_test::TinyHeap::TOO_MUCH, 'q');
    EXPECT_EQ(utf8_to_wide(local, &capacity, big.c_str(), -1), nullptr);
    EXPECT_EQ(utf8_to_wide(nullptr, nullptr, big.c_str(), (int32_t)big.size()), nullptr);
    // Short text still fits the small heap.
    wchar_t* small = utf8_to_wide(nullptr, nullptr, "abc", -1);
    ASSERT_NE(small, nullptr);
    heap_free(small);
}

TEST(WideToUtf8, MeasuresThenConverts) {
    EXPECT_EQ(wide_to_utf8(nullptr, 0, PRIVET_WIDE, -1), 13);  // 12 bytes and the NUL
    EXPECT_EQ(wide_to_utf8(nullptr, 0, PRIVET_WIDE, 2), 4);

    char out[32];
    memset(out, '#', sizeof out);
    ASSERT_EQ(wide_to_utf8(out, sizeof out, PRIVET_WIDE, -1), 13);
    EXPECT_STREQ(out, PRIVET);

    memset(out, '#', sizeof out);
    ASSERT_EQ(wide_to_utf8(out, sizeof out, PRIVET_WIDE, 2), 4);
    EXPECT_EQ(std::string(out, 5), std::string(PRIVET, 4) + "#");

    EXPECT_EQ(wide_to_utf8(out, 12, PRIVET_WIDE, -1), 0);  // no room for the NUL
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
}

TEST(PrefixCompare, ThreeWayResultAndFirstDifference) {
    struct Case {
        const char* span;
        int32_t span_length;
        const char* key;
        int32_t expected;
    } cases[] = {
        {"setup_args", 10, "setup_args", 0},
        {"setup_args", 5, "setup_args", -6},
        {"setup_argsX", 11, "setup_args", 11},
        {"https_url", 9, "http_url", 5},
        {"http_url", 8, "https_url", -5},
        {"https://", 8, "https://", 0},
        {"https://", 8, "https://example.test/setup.exe", -9},
        {"https://", 8, "http://example.test/setup.exe", 5},
        {"https://", 8, "HTTPS://EXAMPLE.TEST/", 1},
        {"", 0, "", 0},
        {"", 0, "k", -1},
        {"k", 1, "", 1},
        // Bytes compare unsigned, and a NUL inside the span is an ordinary, smallest byte.
        {"\xD0\x9F", 2, "\xD0\x20", 2},
        {"a\0b", 3, "a\x01", -2},
        {"a\0", 2, "a", 2},
        // Only span_length bytes count, whatever follows them.
        {"http_urlZZZ", 8, "http_url", 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(prefix_compare(c.span, c.span_length, c.key), c.expected)
            << '"' << std::string(c.span, c.span_length) << "\" vs \"" << c.key << '"';
    }
}

TEST(SpanSkip, StopsAtTheFirstByteOutsideTheSet) {
    const char data[] = "  \0 x y";
    struct Case {
        uint32_t length;
        const char* set;
        uint32_t set_length;
        ptrdiff_t expected;
    } cases[] = {
        {7, " ", 1, 2},
        {7, " \0", 2, 4},  // the set may hold a NUL
        {7, "x \0", 3, 6},
        {7, "", 0, 0},
        {0, " ", 1, 0},
        {2, " ", 1, 2},  // all in the set: data + length
        {7, "xy \0", 4, 7},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(span_skip(data, c.length, c.set, c.set_length) - data, c.expected)
            << "length " << c.length << ", set of " << c.set_length;
    }
}

TEST(TextStartsWith, ExactOrAsciiCaseFolded) {
    struct Case {
        const char* text;
        const char* prefix;
        bool ignore_case;
        bool expected;
    } cases[] = {
        {"https://host/", "https://", false, true},
        {"HTTPS://host/", "https://", false, false},
        {"HTTPS://host/", "https://", true, true},
        {"hTtPs://", "https://", true, true},
        {"https:", "https://", true, false},        // text ends first
        {"", "", false, true},
        {"anything", "", true, true},
        {"http://host/", "https://", true, false},
        {"\xD0\x9F", "\xD0\xBF", true, false},      // no folding beyond ASCII
        {"[", "{", true, false},                    // neighbours of the letters stay apart
    };
    for (const Case& c : cases) {
        EXPECT_EQ(text_starts_with(c.text, c.prefix, c.ignore_case), c.expected) << c.text << " / " << c.prefix;
    }
}

TEST(ParseDecimal, DigitsReadAndValueThatNeverWraps) {
    struct Case {
        const char* text;
        uint32_t digits;
        uint64_t value;
    } cases[] = {
        {"", 0, 0},
        {"x12", 0, 0},
        {"-1", 0, 0},
        {"0", 1, 0},
        {"007", 3, 7},
        {"123-456", 3, 123},
        {"30 ", 2, 30},
        {"18446744073709551615", 20, 18446744073709551615ull},
        {"18446744073709551616", 20, 18446744073709551615ull},   // one above: held at the top
        {"99999999999999999999999", 23, 18446744073709551615ull},
    };
    for (const Case& c : cases) {
        uint64_t value = 1;
        EXPECT_EQ(parse_decimal(c.text, &value), c.digits) << c.text;
        EXPECT_EQ(value, c.value) << c.text;
    }
}

// What Python's strict UTF-8 decoder (the configuration tool's) accepts, and how many characters
// it counts; only length bytes are read.
TEST(Utf8Count, WellFormedOnlyCountingCharactersNotBytes) {
    struct Case {
        std::string text;
        bool valid;
        uint32_t characters;
    };
    const Case cases[] = {
        {"", true, 0},
        {"abc", true, 3},
        {PRIVET, true, 6},
        {"M\xC3\xBCller", true, 6},
        {"\xE2\x82\xAC", true, 1},          // U+20AC, three bytes
        {"\xF0\x9F\x98\x80", true, 1},      // U+1F600, four bytes
        {"\xF4\x8F\xBF\xBF", true, 1},      // U+10FFFF, the last one
        {"\xEF\xBF\xBF", true, 1},          // U+FFFF, a noncharacter but well-formed
        {"M\xFCller", false, 0},            // Latin-1
        {"\xC3", false, 0},                 // cut off
        {"\xE2\x82", false, 0},
        {"\xBC", false, 0},                 // a continuation byte first
        {"\xC3\x28", false, 0},             // a lead without its continuation
        {"\xC0\xAF", false, 0},             // overlong "/"
        {"\xC1\xBF", false, 0},
        {"\xE0\x80\xAF", false, 0},
        {"\xF0\x80\x80\xAF", false, 0},
        {"\xED\xA0\x80", false, 0},         // U+D800, a surrogate
        {"\xED\xBF\xBF", false, 0},         // U+DFFF
        {"\xF4\x90\x80\x80", false, 0},     // beyond U+10FFFF
        {"\xF5\x80\x80\x80", false, 0},
        {"\xFF", false, 0},
        {std::string("a\0b", 3), true, 3},  // a NUL is a character here; the caller rules it out
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.text));
        std::string bytes = c.text + "\xC3";  // a cut-off character right after length
        uint32_t characters = 12345;
        EXPECT_EQ(utf8_count(bytes.data(), (uint32_t)c.text.size(), &characters), c.valid);
        if (c.valid) {
            EXPECT_EQ(characters, c.characters);
        }
    }
}
