// Parsing of the configuration block text into InstallerConfig.
#include "app/config.h"

#include "rt/heap.h"
#include "rt/result.h"
#include "rt/text.h"

// The most characters a certificate's common name may have (X.520's upper bound).
static const uint32_t SIGNER_MAX_CHARACTERS = 64;

// Bounded byte search; null when the byte does not occur in the length bytes.
static const char* find_byte(const char* data, uint32_t length, char byte)
{
    for (uint32_t i = 0; i < length; ++i) {
        if (data[i] == byte) {
            return data + i;
        }
    }
    return nullptr;
}

// Heap copy of length bytes plus a NUL; null when the heap can't supply it.
static char* copy_value(const char* value, uint32_t length)
{
    char* copy = (char*)heap_alloc((size_t)length + 1);
    if (copy == nullptr) {
        return nullptr;
    }
    for (uint32_t i = 0; i < length; ++i) {
        copy[i] = value[i];
    }
    copy[length] = '\0';
    return copy;
}

// Whether value could be the one common name of a signing certificate: 1 to 64 characters of
// UTF-8, none of them a control character (a NUL among them). The configuration tool writes no
// other signer. Any other value is a pin that no setup program could meet; it must refuse the
// block, never read as if there were no pin.
static bool signer_acceptable(const char* value, uint32_t length)
{
    for (uint32_t i = 0; i < length; ++i) {
        unsigned char c = (unsigned char)value[i];
        if (c < 0x20 || c == 0x7F) {
            return false;
        }
    }
    uint32_t characters = 0;
    return length > 0 && utf8_count(value, length, &characters) && characters <= SIGNER_MAX_CHARACTERS;
}

// The field that a key names, or null for a key the installer does not know.
static char** field_for_key(InstallerConfig* config, const char* key, uint32_t key_length)
{
    int32_t length = (int32_t)key_length;
    if (prefix_compare(key, length, "setup_args") == 0) {
        return &config->setup_args;
    }
    if (prefix_compare(key, length, "http_url") == 0) {
        return &config->http_url;
    }
    if (prefix_compare(key, length, "https_url") == 0) {
        return &config->https_url;
    }
    if (prefix_compare(key, length, "sha256") == 0) {
        return &config->sha256;
    }
    if (prefix_compare(key, length, "signer") == 0) {
        return &config->signer;
    }
    return nullptr;
}

// One line without its line feed and leading spaces (the first byte is not a space).
static int parse_line(const char* line, uint32_t length, InstallerConfig* config)
{
    while (length > 0 && line[length - 1] == ' ') {
        --length;
    }
    // Only after the spaces: spaces standing before a final carriage return stay in the value.
    if (length > 0 && line[length - 1] == '\r') {
        --length;
    }
    if (length == 0 || line[0] == '#') {
        return 0;
    }

    const char* space = find_byte(line, length, ' ');
    uint32_t key_length = space ? (uint32_t)(space - line) : length;
    const char* value = space ? space + 1 : line + length;
    uint32_t value_length = length - (uint32_t)(value - line);

    char** field = field_for_key(config, line, key_length);
    if (field == nullptr) {
        return 0;
    }
    if (field == &config->signer && !signer_acceptable(value, value_length)) {
        return fail_with(ERROR_INVALID_DATA);
    }
    char* copy = copy_value(value, value_length);
    if (copy == nullptr) {
        return 1;
    }
    // The later line wins; the earlier copy has no other owner.
    heap_free(*field);
    *field = copy;
    copy = nullptr;
    return 0;
}

int parse_config(const char* text, uint32_t length, InstallerConfig* config)
{
    bool refused = false;
    const char* cursor = text;
    uint32_t remaining = length;
    while (remaining > 0) {
        const char* start = span_skip(cursor, remaining, " ", 1);
        remaining -= (uint32_t)(start - cursor);
        cursor = start;
        if (remaining == 0) {
            break;
        }
        const char* line_feed = find_byte(cursor, remaining, '\n');
        uint32_t line_length = line_feed ? (uint32_t)(line_feed - cursor) : remaining;
        if (parse_line(cursor, line_length, config) != 0) {
            if (GetLastError() != ERROR_INVALID_DATA) {
                return 1;
            }
            refused = true; // the rest is still read: the error window needs the addresses
        }
        uint32_t consumed = line_feed ? line_length + 1 : line_length;
        cursor += consumed;
        remaining -= consumed;
    }
    return refused ? fail_with(ERROR_INVALID_DATA) : 0;
}

void config_release(InstallerConfig* config)
{
    char** fields[] = {
        &config->setup_args, &config->http_url, &config->https_url,
        &config->sha256, &config->signer,
    };
    for (char** field : fields) {
        heap_free(*field);
        *field = nullptr;
    }
}
