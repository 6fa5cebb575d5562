// How long a program's file must be, from its PE headers.
#include "app/pe_extent.h"

namespace {

const uint32_t DOS_LFANEW = 0x3C;      // offset of the PE header's offset
const uint32_t PE_SIGNATURE_SIZE = 4;  // "PE\0\0"
const uint32_t FILE_HEADER_SIZE = 20;
const uint32_t FILE_SECTIONS = 2;      // NumberOfSections, in the file header
const uint32_t FILE_OPTIONAL_SIZE = 16; // SizeOfOptionalHeader
const uint32_t OPTIONAL_SIZE_OF_HEADERS = 60;
const uint32_t SECTION_SIZE = 40;
const uint32_t SECTION_RAW_SIZE = 16;  // SizeOfRawData
const uint32_t SECTION_RAW_POINTER = 20; // PointerToRawData
const uint32_t SECURITY_DIRECTORY = 4;
const uint32_t DIRECTORY_SIZE = 8;

struct Layout {
    uint16_t magic;
    uint32_t directory_count; // offset of NumberOfRvaAndSizes in the optional header
    uint32_t directories;     // offset of the data directories
};
const Layout LAYOUTS[] = {{0x10B, 92, 96}, {0x20B, 108, 112}}; // PE32, PE32+

struct Head {
    const uint8_t* bytes;
    uint64_t length;   // of what was read
    bool whole;        // what was read is the whole file
    PeVerdict missing; // what bytes beyond length mean
};

// Whether the bytes [offset, offset + size) were read; else what their absence means.
bool has(Head* head, uint64_t offset, uint64_t size)
{
    if (offset + size <= head->length) {
        return true;
    }
    head->missing = head->whole ? PE_TRUNCATED : PE_NOT_PE;
    return false;
}

uint32_t u16_at(const Head* head, uint64_t offset)
{
    const uint8_t* p = head->bytes + offset;
    return (uint32_t)p[0] | (uint32_t)p[1] << 8;
}

uint32_t u32_at(const Head* head, uint64_t offset)
{
    const uint8_t* p = head->bytes + offset;
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

uint64_t larger(uint64_t a, uint64_t b)
{
    return a > b ? a : b;
}

} // namespace

PeVerdict pe_verdict(const uint8_t* bytes, uint32_t head_length, uint64_t file_length, uint64_t* needed)
{
    *needed = 0;
    Head head = {bytes, head_length < file_length ? head_length : file_length, head_length >= file_length, PE_NOT_PE};
    if (!has(&head, 0, 2)) {
        return head.missing;
    }
    if (bytes[0] != 'M' || bytes[1] != 'Z') {
        return PE_NOT_PE;
    }
    if (!has(&head, DOS_LFANEW, 4)) {
        return head.missing;
    }
    uint64_t pe = u32_at(&head, DOS_LFANEW);
    if (!has(&head, pe, PE_SIGNATURE_SIZE + FILE_HEADER_SIZE + 2)) {
        return head.missing;
    }
    if (u32_at(&head, pe) != 0x00004550) { // "PE\0\0"
        return PE_NOT_PE;
    }
    uint64_t file_header = pe + PE_SIGNATURE_SIZE;
    uint32_t sections = u16_at(&head, file_header + FILE_SECTIONS);
    uint32_t optional_size = u16_at(&head, file_header + FILE_OPTIONAL_SIZE);
    uint64_t optional = file_header + FILE_HEADER_SIZE;
    uint32_t magic = u16_at(&head, optional);
    const Layout* layout = nullptr;
    for (const Layout& candidate : LAYOUTS) {
        layout = candidate.magic == magic ? &candidate : layout;
    }
    if (!layout || optional_size < layout->directories) {
        return PE_NOT_PE; // no image of either kind, or one without its fixed fields
    }
    uint64_t table = optional + optional_size;
    if (!has(&head, optional, optional_size) || !has(&head, table, (uint64_t)sections * SECTION_SIZE)) {
        return head.missing;
    }
    uint64_t required = u32_at(&head, optional + OPTIONAL_SIZE_OF_HEADERS);
    uint64_t security = layout->directories + SECURITY_DIRECTORY * DIRECTORY_SIZE;
    if (u32_at(&head, optional + layout->directory_count) > SECURITY_DIRECTORY &&
        optional_size >= security + DIRECTORY_SIZE) {
        uint64_t offset = u32_at(&head, optional + security);
        uint64_t size = u32_at(&head, optional + security + 4);
        required = offset && size ? larger(required, offset + size) : required;
    }
    for (uint32_t i = 0; i < sections; ++i) {
        uint64_t section = table + (uint64_t)i * SECTION_SIZE;
        uint64_t size = u32_at(&head, section + SECTION_RAW_SIZE);
        required = size ? larger(required, u32_at(&head, section + SECTION_RAW_POINTER) + size) : required;
    }
    *needed = required;
    return file_length >= required ? PE_WHOLE : PE_TRUNCATED;
}
