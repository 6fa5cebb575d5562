// Integers for the formatter: digits, sign, grouping and padding within a bounded room.
#include "rt/format.h"

const char FORMAT_DIGITS[33] = "0123456789ABCDEF0123456789abcdef";

namespace {

// Everything about one number except where it goes. digits holds the digits least significant first.
struct NumberLayout {
    char digits[20];
    uint32_t count;    // digits in use, 1..20
    uint32_t sign;     // 1 when a "-" is due
    uint32_t width;    // bits 24-31 of the option word
    uint32_t commas;   // commas of a grouped number; 0 when the number is not grouped
    bool grouped;
};

void layout_number(uint64_t value, uint32_t options, NumberLayout* layout)
{
    layout->sign = 0;
    if ((options & NUM_SIGNED) != 0 && (int64_t)value < 0) {
        value = 0 - value;
        layout->sign = 1;
    }
    if ((options & NUM_NEGATIVE) != 0) {
        layout->sign = 1;
    }

    uint32_t n = 0;
    if ((options & (NUM_HEX_UPPER | NUM_HEX_LOWER)) != 0) {
        const char* table = (options & NUM_HEX_UPPER) != 0 ? FORMAT_DIGITS : FORMAT_DIGITS + 16;
        do {
            layout->digits[n++] = table[value & 15];
            value >>= 4;
        } while (value != 0);
    } else {
        // 64-bit division is a library call on the 32-bit build: only pay for it while needed.
        while ((value >> 32) != 0) {
            layout->digits[n++] = (char)('0' + value % 10);
            value /= 10;
        }
        uint32_t low = (uint32_t)value;
        do {
            layout->digits[n++] = (char)('0' + low % 10);
            low /= 10;
        } while (low != 0);
    }
    layout->count = n;
    layout->width = options >> NUM_WIDTH_SHIFT;
    layout->grouped = (options & NUM_GROUP) != 0 && layout->width == 0 && n > 3;
    layout->commas = layout->grouped ? (n - 1) / 3 : 0;
}

uint32_t layout_length(const NumberLayout* layout)
{
    uint32_t bare = layout->sign + layout->count + layout->commas;
    return layout->width > bare ? layout->width : bare;
}

}  // namespace

uint32_t format_number(uint64_t value, char* out, uint32_t room, uint32_t options)
{
    NumberLayout layout;
    layout_number(value, options, &layout);
    uint32_t n = layout.count;
    uint32_t pos = 0;

    if (layout.grouped) {
        if (layout.sign != 0 && pos < room) {
            out[pos++] = '-';
        }
        // All or nothing after the sign: a half-written grouped number would misread as another value.
        if (room - pos < n + layout.commas) {
            return room;
        }
        for (uint32_t i = n; i > 0; --i) {
            out[pos++] = layout.digits[i - 1];
            if (i > 1 && (i - 1) % 3 == 0) {
                out[pos++] = ',';
            }
        }
        return pos;
    }

    uint32_t pad = layout.width > layout.sign + n ? layout.width - layout.sign - n : 0;
    char fill = (options & NUM_ZERO_FILL) != 0 ? '0' : ' ';
    if (fill == '0' && layout.sign != 0 && pos < room) {
        out[pos++] = '-';
    }
    for (uint32_t i = 0; i < pad && pos < room; ++i) {
        out[pos++] = fill;
    }
    if (fill == ' ' && layout.sign != 0 && pos < room) {
        out[pos++] = '-';
    }
    for (uint32_t i = n; i > 0 && pos < room; --i) {
        out[pos++] = layout.digits[i - 1];
    }
    return pos;
}

uint32_t number_length(uint64_t value, uint32_t options)
{
    NumberLayout layout;
    layout_number(value, options, &layout);
    return layout_length(&layout);
}
