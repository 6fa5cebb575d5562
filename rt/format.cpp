// The formatter's core: the format scan, the directive grammar and every conversion.
// Nothing here allocates, and nothing is written at or past the end of the caller's span.
#include "rt/format.h"

#include <stdint.h>
#include <string.h>
#include <wchar.h>

#include "rt/buffer.h"
#include "rt/shell.h"
#include "rt/text.h"

namespace {

// Needed count that integers and "F" claim when they meet the end; enough for any 64-bit value.
const uint32_t NUMBER_ESTIMATE = 20;
const uint32_t WIDTH_MAX = 255;
// 10^18 is the largest power of ten that a double holds exactly and a uint64_t holds at all;
// fraction digits past the 18th are written as zeros.
const int32_t FRACTION_DIGITS_MAX = 18;
// Counted for "E" when the code has no message: a retry comes up short again and fails.
const uint32_t ERROR_TEXT_UNKNOWN = 255;
// The system's message is at most 254 UTF-16 units, each at most 3 bytes of UTF-8.
const uint32_t ERROR_TEXT_MAX = 254 * 3;
const uint32_t ERROR_SCRATCH_SIZE = 256;

struct Output {
    char* pos;
    char* end;
    uint64_t needed;   // 64 bits so that huge counts cannot wrap into a false "it fitted"
};

struct Directive {
    uint32_t flags;      // NUM_ZERO_FILL, NUM_GROUP, NUM_HEX_LOWER, NUM_HEX_UPPER
    uint32_t width;      // W, saturated; integers and "F" cap it at 255
    int32_t count;       // N: -1 when no count was given
    int32_t precision;   // P: -1 when not given
    char letter;
};

uint32_t room_of(const Output* out)
{
    return (uint32_t)(out->end - out->pos);
}

uint32_t min_u32(uint32_t a, uint32_t b)
{
    return a < b ? a : b;
}

uint64_t max_u64(uint64_t a, uint64_t b)
{
    return a > b ? a : b;
}

void put_byte(Output* out, char c)
{
    if (out->pos != out->end) {
        *out->pos++ = c;
    }
    out->needed += 1;
}

// Copies as much of count bytes as fits; the caller counts.
void put_bytes(Output* out, const char* bytes, uint32_t count)
{
    uint32_t n = min_u32(count, room_of(out));
    if (n != 0) {
        memcpy(out->pos, bytes, n);
        out->pos += n;
    }
}

// Saturates instead of overflowing: a count past INT32_MAX cannot be honoured anyway.
uint32_t read_decimal(const char** cursor)
{
    const char* f = *cursor;
    uint32_t value = 0;
    while (*f >= '0' && *f <= '9') {
        uint32_t digit = (uint32_t)(*f - '0');
        value = value > (INT32_MAX - digit) / 10 ? (uint32_t)INT32_MAX : value * 10 + digit;
        ++f;
    }
    *cursor = f;
    return value;
}

// Reads the directive after its "%"; returns the byte after the letter (letter 0 at the format's end).
const char* parse_directive(const char* f, Directive* d, va_list* args)
{
    d->flags = 0;
    d->precision = -1;
    if (*f == '0') {
        d->flags |= NUM_ZERO_FILL;
        ++f;
    }
    d->width = read_decimal(&f);
    d->count = d->width > 0 ? (int32_t)d->width : -1;
    for (;;) {
        switch (*f) {
        case '.':
            ++f;
            d->precision = (int32_t)read_decimal(&f);
            continue;
        case '*': {
            int32_t n = va_arg(*args, int32_t);
            d->count = n < 0 ? -1 : n;   // any negative count means "none", as -1 does
            ++f;
            continue;
        }
        case ',':
            d->flags |= NUM_GROUP;
            ++f;
            continue;
        case 'x':
            d->flags |= NUM_HEX_LOWER;
            ++f;
            continue;
        case 'X':
            d->flags |= NUM_HEX_UPPER;
            ++f;
            continue;
        default:
            d->letter = *f;
            return *f != '\0' ? f + 1 : f;
        }
    }
}

void convert_integer(Output* out, const Directive* d, va_list* args)
{
    uint64_t value = 0;
    uint32_t options = d->flags;
    uint32_t width = min_u32(d->width, WIDTH_MAX);
    switch (d->letter) {
    case 'd':
    case 'I':
        value = (uint64_t)(int64_t)va_arg(*args, int32_t);
        options |= NUM_SIGNED;
        break;
    case 'u':
    case 'L':
        value = va_arg(*args, uint32_t);
        break;
    case 'D':
        value = (uint64_t)va_arg(*args, int64_t);
        options |= NUM_SIGNED;
        break;
    case 'U':
        value = va_arg(*args, uint64_t);
        break;
    default:  // 'p': every bit of the pointer, at least eight digits
        value = (uint64_t)(uintptr_t)va_arg(*args, const void*);
        options |= NUM_HEX_LOWER | NUM_ZERO_FILL;
        width = 8;
        break;
    }
    options |= width << NUM_WIDTH_SHIFT;
    uint32_t written = format_number(value, out->pos, room_of(out), options);
    out->pos += written;
    if (out->pos != out->end) {
        out->needed += written;
        return;
    }
    // Never claim less than the number really takes: a grouped 64-bit number is longer than 20.
    uint64_t estimate = max_u64(min_u32(d->width, WIDTH_MAX), NUMBER_ESTIMATE);
    out->needed += max_u64(estimate, number_length(value, options));
}

// "F". Outside the signed 64-bit range the text is chosen here: magnitudes up to 2^64 are written
// exactly (the integer part is unsigned), larger ones and infinities as "inf", NaN as "nan"; the
// last three take neither width nor precision. Fraction digits past the 18th are zeros.
void convert_fixed(Output* out, const Directive* d, va_list* args)
{
    double x = va_arg(*args, double);
    uint32_t wf = min_u32(d->width, WIDTH_MAX);
    int32_t precision = d->precision < 0 ? 6 : (int32_t)min_u32((uint32_t)d->precision, WIDTH_MAX);
    char* start = out->pos;
    uint64_t length = 0;   // the whole output's length, for the needed count

    bool negative = x < 0;   // false for -0.0 and NaN
    if (negative) {
        x = -x;
    }
    if (x != x || x >= 18446744073709551616.0) {
        const char* word = x != x ? "nan" : "inf";
        if (negative && out->pos != out->end) {
            *out->pos++ = '-';
        }
        put_bytes(out, word, 3);
        length = (negative ? 1 : 0) + 3;
    } else {
        uint64_t ip = (uint64_t)x;
        uint64_t fraction = 0;
        int32_t computed = precision < FRACTION_DIGITS_MAX ? precision : FRACTION_DIGITS_MAX;
        if (precision > 0) {
            uint64_t m = 1;
            for (int32_t i = 0; i < computed; ++i) {
                m *= 10;
            }
            fraction = (uint64_t)((x - (double)ip) * (double)m + 0.5);
            if (fraction >= m) {
                ip += 1;
                fraction = 0;
            }
        }
        // The integer part is never negative here, so NUM_SIGNED would change nothing below 2^63
        // and misread the values above it; the sign travels as NUM_NEGATIVE.
        uint32_t options = (d->flags & NUM_ZERO_FILL) | (wf << NUM_WIDTH_SHIFT);
        if (negative) {
            options |= NUM_NEGATIVE;
        }
        out->pos += format_number(ip, out->pos, room_of(out), options);
        length = number_length(ip, options);
        if (precision > 0) {
            if (out->pos != out->end) {
                *out->pos++ = '.';
            }
            uint32_t fraction_options = NUM_ZERO_FILL | ((uint32_t)computed << NUM_WIDTH_SHIFT);
            out->pos += format_number(fraction, out->pos, room_of(out), fraction_options);
            for (int32_t i = computed; i < precision && out->pos != out->end; ++i) {
                *out->pos++ = '0';
            }
            length += 1 + (uint64_t)precision;
        }
    }

    if (out->pos != out->end) {
        out->needed += (uint64_t)(out->pos - start);
        return;
    }
    uint64_t estimate = max_u64(wf, NUMBER_ESTIMATE) + min_u32((uint32_t)precision, 20) + 1;
    out->needed += max_u64(estimate, length);
}

void convert_string(Output* out, const Directive* d, va_list* args)
{
    const char* text = va_arg(*args, const char*);
    if (d->count >= 0) {
        put_bytes(out, text, (uint32_t)d->count);
        out->needed += (uint32_t)d->count;
        return;
    }
    const char* s = text;
    while (*s != '\0' && out->pos != out->end) {
        *out->pos++ = *s++;
    }
    out->needed += (uint64_t)(s - text) + strlen(s);
}

// UTF-8 size of the whole text, for the needed count of a text that met the end.
uint64_t wide_utf8_size(const wchar_t* text, uint32_t units)
{
    if (units == 0) {
        return 0;
    }
    if (units > (uint32_t)INT32_MAX) {
        return (uint64_t)units * 3;
    }
    int32_t size = wide_to_utf8(nullptr, 0, text, (int32_t)units);
    return size > 0 ? (uint64_t)size : 0;
}

void put_wide(Output* out, const wchar_t* text, uint32_t units)
{
    char* start = out->pos;
    out->pos = wide_append_utf8(out->pos, out->end, text, units);
    if (out->pos != out->end) {
        out->needed += (uint64_t)(out->pos - start);
    } else {
        out->needed += wide_utf8_size(text, units);
    }
}

void convert_char(Output* out, const Directive* d, va_list* args)
{
    char c = (char)va_arg(*args, int32_t);
    uint32_t times = d->count < 0 ? 1 : (uint32_t)d->count;
    for (uint32_t i = 0; i < times && out->pos != out->end; ++i) {
        *out->pos++ = c;
    }
    out->needed += times;
}

// Returns false when no count was given: the dump has no other way to know its length.
bool convert_dump(Output* out, const Directive* d, va_list* args)
{
    if (d->count < 0) {
        return false;
    }
    const unsigned char* bytes = va_arg(*args, const unsigned char*);
    uint64_t size = (uint64_t)(uint32_t)d->count * 2;
    out->needed += size;
    if (size > room_of(out)) {
        out->pos = out->end;   // all or nothing: half a dump would look like a shorter block
        return true;
    }
    const char* table = (d->flags & NUM_HEX_UPPER) != 0 ? FORMAT_DIGITS : FORMAT_DIGITS + 16;
    for (int32_t i = 0; i < d->count; ++i) {
        *out->pos++ = table[bytes[i] >> 4];
        *out->pos++ = table[bytes[i] & 15];
    }
    return true;
}

// Length of the system's message for code as measured in a scratch area; 0 for a code without
// a message, ERROR_TEXT_MAX when the message is too long for the scratch area.
uint32_t measure_error_text(uint32_t code, bool* known)
{
    char scratch[ERROR_SCRATCH_SIZE];
    scratch[0] = 1;   // system_error_text leaves "" here only when the system has no text
    if (system_error_text(code, scratch, (int32_t)sizeof scratch) == 0) {
        *known = true;
        return (uint32_t)strlen(scratch);
    }
    *known = scratch[0] != '\0';
    return *known ? ERROR_TEXT_MAX : 0;
}

void convert_error(Output* out, va_list* args)
{
    uint32_t code = va_arg(*args, uint32_t);
    int32_t r = str_print(out->pos, room_of(out), "(%u) ", code);
    bool known = false;
    if (r < 0) {
        out->pos = out->end;
        out->needed += (uint64_t)(-(int64_t)r) + measure_error_text(code, &known);
        return;
    }
    char* text = out->pos + r;
    if (system_error_text(code, text, (int32_t)(out->end - text)) == 0) {
        size_t length = strlen(text);   // the NUL after it is left for the next output to overwrite
        out->pos = text + length;
        out->needed += (uint64_t)r + length;
        return;
    }
    // A message that merely did not fit must be counted in full, or the retry of buffer_format
    // would come up short again for long (non-ASCII) messages.
    uint32_t size = measure_error_text(code, &known);
    out->pos = out->end;
    out->needed += known ? max_u64(ERROR_TEXT_UNKNOWN, (uint64_t)r + size) : ERROR_TEXT_UNKNOWN;
}

// Returns false for a letter that is no conversion.
bool convert(Output* out, const Directive* d, va_list* args)
{
    switch (d->letter) {
    case 'd':
    case 'I':
    case 'u':
    case 'L':
    case 'D':
    case 'U':
    case 'p':
        convert_integer(out, d, args);
        return true;
    case 'F':
        convert_fixed(out, d, args);
        return true;
    case 's':
        convert_string(out, d, args);
        return true;
    case 'S': {
        const ByteSpan* span = va_arg(*args, const ByteSpan*);
        put_bytes(out, span->data, span->length);
        out->needed += span->length;
        return true;
    }
    case 'q': {
        const wchar_t* text = va_arg(*args, const wchar_t*);
        put_wide(out, text, d->count < 0 ? (uint32_t)wcslen(text) : (uint32_t)d->count);
        return true;
    }
    case 'Q': {
        const WideSpan* span = va_arg(*args, const WideSpan*);
        put_wide(out, span->data, span->length);
        return true;
    }
    case 'c':
        convert_char(out, d, args);
        return true;
    case 'b':
        return convert_dump(out, d, args);
    case 'Z':
        put_byte(out, '\0');
        return true;
    case '%':
        put_byte(out, '%');
        return true;
    case 'E':
        convert_error(out, args);
        return true;
    default:
        return false;
    }
}

}  // namespace

int32_t str_format(char* buffer, uint32_t size, const char* format, va_list args)
{
    // Results are signed 32-bit: a larger buffer is used only up to what a result can express.
    if (size > (uint32_t)INT32_MAX) {
        size = (uint32_t)INT32_MAX;
    }
    Output out = {buffer, buffer + size, 0};
    va_list ap;
    va_copy(ap, args);
    for (const char* f = format; *f != '\0';) {
        if (*f != '%') {
            put_byte(&out, *f++);
            continue;
        }
        Directive d;
        f = parse_directive(f + 1, &d, &ap);
        if (!convert(&out, &d, &ap)) {
            va_end(ap);
            return 0;
        }
    }
    va_end(ap);
    if (out.pos != out.end) {
        return (int32_t)(out.pos - buffer);
    }
    return out.needed >= (uint64_t)INT32_MAX ? INT32_MIN : ~(int32_t)out.needed;
}

int32_t str_print(char* buffer, uint32_t size, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    int32_t result = str_format(buffer, size, format, args);
    va_end(args);
    return result;
}

char* wide_append_utf8(char* out, char* end, const wchar_t* text, uint32_t units)
{
    if (units == 0 || out == nullptr) {
        return out;
    }
    if (out >= end || units > (uint32_t)INT32_MAX) {
        return end;
    }
    int64_t room = end - out;
    int32_t dest_size = room > INT32_MAX ? INT32_MAX : (int32_t)room;
    int32_t written = wide_to_utf8(out, dest_size, text, (int32_t)units);
    return written > 0 ? out + written : end;
}

int32_t buffer_format(ByteBuffer* buffer, const char* format, va_list args)
{
    // A view (capacity 0) has no spare room of its own; never write into the bytes it views.
    uint32_t spare = buffer->capacity > buffer->length ? buffer->capacity - buffer->length : 0;
    char* tail = spare != 0 ? buffer->data + buffer->length : nullptr;
    va_list first;
    va_copy(first, args);
    int32_t r = str_format(tail, spare, format, first);
    va_end(first);
    if (r > 0) {
        buffer->length += (uint32_t)r;
        return r;
    }
    if (r == 0) {
        return 0;
    }
    uint64_t want = (uint64_t)buffer->length + (uint64_t)(-(int64_t)r);
    if (want > UINT32_MAX) {
        return 0;
    }
    if (buffer->capacity < want && buffer_reserve(buffer, (uint32_t)want) == nullptr) {
        return 0;
    }
    va_list second;
    va_copy(second, args);
    int32_t r2 = str_format(buffer->data + buffer->length, buffer->capacity - buffer->length, format,
                            second);
    va_end(second);
    if (r2 < 0) {
        buffer->length = buffer->capacity;   // keeps the cut output, as a short str_format does
        return 0;
    }
    buffer->length += (uint32_t)r2;
    return r2;
}

char* alloc_format(const char* format, ...)
{
    ByteBuffer buffer = {0, nullptr, 0};
    va_list args;
    va_start(args, format);
    int32_t r = buffer_format(&buffer, format, args);
    va_end(args);
    if (r == 0) {
        buffer_release(&buffer);
        return nullptr;
    }
    return buffer.data;
}
