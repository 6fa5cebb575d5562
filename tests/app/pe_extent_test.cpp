// The length a program's own PE headers ask for, against headers built field by field here.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/pe_extent.h"
#include "tests/rt/rt_test_support.h"

namespace {

struct Section {
    uint32_t raw_pointer;
    uint32_t raw_size;
};

struct Image {
    uint16_t magic = 0x10B;
    uint32_t pe_at = 0x80;
    uint32_t size_of_headers = 0x400;
    std::vector<Section> sections = {{0x400, 0x1000}, {0x1400, 0x200}};
    uint32_t directory_count = 16;
    uint32_t security_offset = 0;
    uint32_t security_size = 0;
    int optional_size = -1; // -1: the usual one for the magic
};

void put16(std::string& b, size_t at, uint32_t v)
{
    b[at] = (char)v;
    b[at + 1] = (char)(v >> 8);
}

void put32(std::string& b, size_t at, uint32_t v)
{
    put16(b, at, v & 0xFFFF);
    put16(b, at + 2, v >> 16);
}

// The headers of image, padded with zeros to size bytes (at least the headers).
std::string build(const Image& image, size_t size)
{
    bool plus = image.magic == 0x20B;
    uint32_t directories = plus ? 112 : 96;
    uint32_t optional_size = image.optional_size >= 0 ? (uint32_t)image.optional_size : directories + 16 * 8;
    size_t table = image.pe_at + 24 + optional_size;
    size_t end = table + 40 * image.sections.size();
    std::string b(end > size ? end : size, '\0');
    b[0] = 'M';
    b[1] = 'Z';
    put32(b, 0x3C, image.pe_at);
    b.replace(image.pe_at, 4, std::string("PE\0\0", 4));
    put16(b, image.pe_at + 4, plus ? 0x8664 : 0x14C);
    put16(b, image.pe_at + 6, (uint32_t)image.sections.size());
    put16(b, image.pe_at + 20, optional_size);
    size_t optional = image.pe_at + 24;
    put16(b, optional, image.magic);
    put32(b, optional + 60, image.size_of_headers);
    if (optional_size >= (plus ? 112u : 96u)) {
        put32(b, optional + (plus ? 108 : 92), image.directory_count);
    }
    if (optional_size >= directories + 5 * 8) {
        put32(b, optional + directories + 32, image.security_offset);
        put32(b, optional + directories + 36, image.security_size);
    }
    for (size_t i = 0; i < image.sections.size(); ++i) {
        put32(b, table + 40 * i + 16, image.sections[i].raw_size);
        put32(b, table + 40 * i + 20, image.sections[i].raw_pointer);
    }
    return b;
}

PeVerdict judge(const std::string& file, uint64_t* needed, uint32_t head = PE_HEAD_READ)
{
    uint32_t read = file.size() < head ? (uint32_t)file.size() : head;
    return pe_verdict((const uint8_t*)file.data(), read, file.size(), needed);
}

} // namespace

TEST(PeExtent, LengthTheHeadersAskFor)
{
    Image usual;
    Image plus;
    plus.magic = 0x20B;
    Image signed_file; // a certificate table past the sections, as a signing tool appends it
    signed_file.security_offset = 0x1600;
    signed_file.security_size = 0x500;
    Image few_directories = signed_file; // a table the image does not count among its directories
    few_directories.directory_count = 4;
    Image unsorted;
    unsorted.sections = {{0x3000, 0x100}, {0x400, 0x200}};
    Image headers_only;
    headers_only.sections = {};
    Image empty_section; // raw size 0: its pointer says nothing
    empty_section.sections = {{0x400, 0x200}, {0xFFFFFFFF, 0}};
    Image wrapping; // a 32-bit sum would wrap to 0x1FF
    wrapping.sections = {{0xFFFFFFFF, 0x200}};
    Image wrapping_certificate;
    wrapping_certificate.security_offset = 0xFFFFFF00;
    wrapping_certificate.security_size = 0x200;
    Image big_headers;
    big_headers.size_of_headers = 0x2000;
    struct Case {
        const char* name;
        const Image* image;
        uint64_t needed;
    };
    const Case cases[] = {
        {"PE32", &usual, 0x1600},
        {"PE32+", &plus, 0x1600},
        {"certificate table last", &signed_file, 0x1B00},
        {"security entry beyond the directory count", &few_directories, 0x1600},
        {"sections out of order", &unsorted, 0x3100},
        {"no sections", &headers_only, 0x400},
        {"an empty section", &empty_section, 0x600},
        {"section end beyond 32 bits", &wrapping, 0x1000001FFull},
        {"certificate end beyond 32 bits", &wrapping_certificate, 0x100000100ull},
        {"headers larger than the sections", &big_headers, 0x2000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        uint64_t needed = 0;
        if (c.needed < 0x100000) {
            EXPECT_EQ(judge(build(*c.image, c.needed), &needed), PE_WHOLE);
            EXPECT_EQ(needed, c.needed);
            EXPECT_EQ(judge(build(*c.image, c.needed + 4096), &needed), PE_WHOLE) << "an overlay";
            EXPECT_EQ(judge(build(*c.image, c.needed).substr(0, c.needed - 1), &needed), PE_TRUNCATED);
        } else {
            EXPECT_EQ(judge(build(*c.image, 0x4000), &needed), PE_TRUNCATED);
        }
        EXPECT_EQ(needed, c.needed);
    }
}

TEST(PeExtent, HeadersThatAreNoneOrCutOff)
{
    Image usual;
    const std::string good = build(usual, 0x1600);
    Image far_pe; // the PE header beyond the bytes read of a longer file
    far_pe.pe_at = 0x20000;
    Image rom; // a magic of neither kind
    rom.magic = 0x107;
    Image short_optional; // too short for its own fixed fields
    short_optional.optional_size = 64;
    std::string no_signature = good;
    no_signature[0x80] = 'N';
    std::string not_mz = good;
    not_mz[1] = 'Y';
    std::string huge_lfanew = good;
    put32(huge_lfanew, 0x3C, 0xFFFFFFF0);
    struct Case {
        const char* name;
        std::string file;
        uint32_t head;
        PeVerdict verdict;
    };
    const Case cases[] = {
        {"a whole program", good, PE_HEAD_READ, PE_WHOLE},
        {"not MZ", not_mz, PE_HEAD_READ, PE_NOT_PE},
        {"MZ, no PE signature", no_signature, PE_HEAD_READ, PE_NOT_PE},
        {"neither PE32 nor PE32+", build(rom, 0x1600), PE_HEAD_READ, PE_NOT_PE},
        {"optional header too short", build(short_optional, 0x1600), PE_HEAD_READ, PE_NOT_PE},
        // Cut inside its headers: a download that ended early.
        {"MZ alone", "MZ", PE_HEAD_READ, PE_TRUNCATED},
        {"cut in the DOS header", good.substr(0, 0x30), PE_HEAD_READ, PE_TRUNCATED},
        {"cut in the section table", good.substr(0, 0x80 + 24 + 224 + 20), PE_HEAD_READ, PE_TRUNCATED},
        {"PE header offset past the end", huge_lfanew.substr(0, 0x1000), PE_HEAD_READ, PE_TRUNCATED},
        // A longer file whose headers lie beyond what was read is not judged a program.
        {"PE header beyond the bytes read", build(far_pe, 0x30000), PE_HEAD_READ, PE_NOT_PE},
        {"section table beyond the bytes read", good, 0x100, PE_NOT_PE},
        {"empty", "", PE_HEAD_READ, PE_TRUNCATED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        uint64_t needed = 0;
        EXPECT_EQ(judge(c.file, &needed, c.head), c.verdict);
    }
}

// A program the toolchain made, whole and one byte short.
TEST(PeExtent, RealProgram)
{
    wchar_t self[MAX_PATH];
    ASSERT_GT(GetModuleFileNameW(nullptr, self, MAX_PATH), 0u);
    char path[MAX_PATH * 3];
    ASSERT_GT(WideCharToMultiByte(CP_UTF8, 0, self, -1, path, sizeof path, nullptr, nullptr), 0);
    std::string file;
    ASSERT_TRUE(rt_test::read_file(path, &file));
    uint64_t needed = 0;
    EXPECT_EQ(judge(file, &needed), PE_WHOLE);
    EXPECT_GT(needed, 0x1000u);
    EXPECT_LE(needed, file.size());
    EXPECT_EQ(judge(file.substr(0, needed - 1), &needed), PE_TRUNCATED);
}
