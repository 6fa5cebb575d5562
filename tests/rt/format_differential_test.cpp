// The integer conversions against the C library's snprintf, where the two mean the same thing.
#include <gtest/gtest.h>

#include <inttypes.h>
#include <stdint.h>
#include <stdio.h>

#include <random>
#include <string>

#include "rt/format.h"

namespace {

const uint32_t SEED = 20240611u;
const int CASES = 20000;

enum Kind { KIND_D32, KIND_U32, KIND_D64, KIND_U64, KIND_POINTER, KIND_COUNT };

struct Value {
    Kind kind;
    uint64_t bits;
};

std::string reference(const std::string& c_format, const Value& v)
{
    char text[512];
    int n = 0;
    switch (v.kind) {
    case KIND_D32: n = snprintf(text, sizeof text, c_format.c_str(), (int32_t)(uint32_t)v.bits); break;
    case KIND_U32: n = snprintf(text, sizeof text, c_format.c_str(), (uint32_t)v.bits); break;
    case KIND_D64: n = snprintf(text, sizeof text, c_format.c_str(), (int64_t)v.bits); break;
    case KIND_U64: n = snprintf(text, sizeof text, c_format.c_str(), v.bits); break;
    default: n = snprintf(text, sizeof text, c_format.c_str(), (uintptr_t)v.bits); break;
    }
    return n < 0 ? std::string("<snprintf failed>") : std::string(text, (size_t)n);
}

int32_t ours(char* buffer, uint32_t size, const std::string& format, const Value& v)
{
    switch (v.kind) {
    case KIND_D32: return str_print(buffer, size, format.c_str(), (int32_t)(uint32_t)v.bits);
    case KIND_U32: return str_print(buffer, size, format.c_str(), (uint32_t)v.bits);
    case KIND_D64: return str_print(buffer, size, format.c_str(), (int64_t)v.bits);
    case KIND_U64: return str_print(buffer, size, format.c_str(), v.bits);
    default: return str_print(buffer, size, format.c_str(), (const void*)(uintptr_t)v.bits);
    }
}

const char* c_conversion(Kind kind, int hex)
{
    static const char* const table[KIND_COUNT][3] = {
        {PRId32, PRIx32, PRIX32},
        {PRIu32, PRIx32, PRIX32},
        {PRId64, PRIx64, PRIX64},
        {PRIu64, PRIx64, PRIX64},
        {PRIxPTR, PRIxPTR, PRIXPTR},
    };
    return table[kind][hex];
}

uint64_t random_bits(std::mt19937_64& random, Kind kind)
{
    static const uint64_t EDGES[] = {0, 1, 9, 10, 99, 100, 999, 1000, 0x7FFFFFFF, 0x80000000,
                                     0xFFFFFFFF, 0x100000000ull, 0x7FFFFFFFFFFFFFFFull,
                                     0x8000000000000000ull, 0xFFFFFFFFFFFFFFFFull,
                                     10000000000000000000ull, 9999999999999999999ull};
    uint64_t bits = random() % 8 == 0 ? EDGES[random() % (sizeof EDGES / sizeof EDGES[0])]
                                      : random() >> (random() % 64);   // every digit count
    if (random() % 2 == 0) {
        bits = 0 - bits;
    }
    bool wide = kind == KIND_D64 || kind == KIND_U64 || (kind == KIND_POINTER && sizeof(void*) == 8);
    return wide ? bits : (uint32_t)bits;
}

bool is_negative(const Value& v)
{
    return (v.kind == KIND_D32 && (int32_t)(uint32_t)v.bits < 0) ||
           (v.kind == KIND_D64 && (int64_t)v.bits < 0);
}

}  // namespace

TEST(FormatDifferential, ReferenceIsWhatWeThinkItIs)
{
    EXPECT_EQ(reference("%05" PRId32, Value{KIND_D32, (uint32_t)-42}), "-0042");
    EXPECT_EQ(reference("%" PRIu64, Value{KIND_U64, UINT64_MAX}), "18446744073709551615");
    EXPECT_EQ(reference("%" PRId64, Value{KIND_D64, (uint64_t)INT64_MIN}), "-9223372036854775808");
    EXPECT_EQ(reference("%08" PRIX64, Value{KIND_U64, 0xBEEF}), "0000BEEF");
    EXPECT_EQ(reference("%5" PRId32, Value{KIND_D32, (uint32_t)-42}), "  -42");
}

TEST(FormatDifferential, IntegersMatchSnprintfInFullAndCut)
{
    std::mt19937_64 random(SEED);
    static const char LETTERS[KIND_COUNT][2] = {{'d', 'I'}, {'u', 'L'}, {'D', 'D'}, {'U', 'U'},
                                                {'p', 'p'}};
    for (int i = 0; i < CASES; ++i) {
        Value v;
        v.kind = (Kind)(random() % KIND_COUNT);
        v.bits = random_bits(random, v.kind);
        bool zero = random() % 2 == 0;
        uint32_t width = random() % 16 == 0 ? 200 + random() % 100 : random() % 26;
        int hex = (int)(random() % 3);
        if (hex != 0 && is_negative(v)) {
            hex = 0;   // a signed hex number is "-" and its magnitude: snprintf has no such form
        }

        std::string format = "%";
        if (zero) {
            format += "0";
        }
        if (width != 0) {
            format += std::to_string(width);
        }
        format += hex == 1 ? "x" : hex == 2 ? "X" : "";
        format += LETTERS[v.kind][random() % 2];

        uint32_t c_width = width > 255 ? 255 : width;
        bool c_zero = zero;
        if (v.kind == KIND_POINTER) {
            c_width = 8;     // "p" ignores the directive's width and always zero-fills
            c_zero = true;
            hex = hex == 2 ? 2 : 1;
        }
        std::string c_format = "%";
        if (c_zero) {
            c_format += "0";
        }
        c_format += std::to_string(c_width) + c_conversion(v.kind, hex);

        std::string expected = reference(c_format, v);
        char buffer[320];
        uint32_t size = random() % 3 == 0 ? (uint32_t)(random() % (expected.size() + 1))
                                           : (uint32_t)sizeof buffer - 1;
        buffer[size] = '#';
        int32_t r = ours(buffer, size, format, v);
        std::string where = "seed " + std::to_string(SEED) + " case " + std::to_string(i) + ": " +
                            format + " of " + std::to_string(v.bits) + " (" + c_format +
                            ") into " + std::to_string(size);
        ASSERT_EQ(buffer[size], '#') << where;
        if (size > expected.size()) {
            ASSERT_EQ(r, (int32_t)expected.size()) << where;
            ASSERT_EQ(std::string(buffer, (size_t)r), expected) << where;
        } else {
            ASSERT_LT(r, 0) << where;
            ASSERT_GE((uint32_t)~r, (uint32_t)expected.size()) << where;
            ASSERT_EQ(std::string(buffer, size), expected.substr(0, size)) << where;
        }
    }
}
