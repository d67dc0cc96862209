#include "base/utf.h"

namespace qv {

char32_t NextCodePoint(const char16_t*& text, const char16_t* end) {
    char32_t c = *text++;
    if (c >= 0xD800 && c <= 0xDBFF && text < end && *text >= 0xDC00 && *text <= 0xDFFF) {
        return 0x10000 + ((c - 0xD800) << 10) + (*text++ - 0xDC00);
    }
    return (c >= 0xD800 && c <= 0xDFFF) ? REPLACEMENT_CHARACTER : c;
}

// Overlong forms, surrogates, values beyond U+10FFFF and truncated sequences read as one
// U+FFFD for the lead byte; the bytes after it are read again as leads of their own.
char32_t NextCodePoint(const char*& text, const char* end) {
    auto lead = static_cast<unsigned char>(*text++);
    if (lead < 0x80) return lead;
    int extra = (lead & 0xE0) == 0xC0 ? 1 : (lead & 0xF0) == 0xE0 ? 2 : (lead & 0xF8) == 0xF0 ? 3 : -1;
    if (extra < 0 || end - text < extra) return REPLACEMENT_CHARACTER;
    char32_t value = lead & (0x3F >> extra);
    for (int k = 0; k < extra; ++k) {
        auto next = static_cast<unsigned char>(text[k]);
        if ((next & 0xC0) != 0x80) return REPLACEMENT_CHARACTER;
        value = (value << 6) | (next & 0x3F);
    }
    text += extra;
    static constexpr char32_t MINIMUM[] = {0, 0x80, 0x800, 0x10000};
    if (value < MINIMUM[extra] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
        return REPLACEMENT_CHARACTER;
    }
    return value;
}

uint32_t EncodeCodePoint(char32_t c, char16_t* output) {
    if (c < 0x10000) {
        if (output) output[0] = static_cast<char16_t>(c);
        return 1;
    }
    if (output) {
        output[0] = static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
        output[1] = static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    }
    return 2;
}

uint32_t EncodeCodePoint(char32_t c, char* output) {
    uint32_t length = c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
    if (output) {
        static constexpr unsigned char LEAD[] = {0, 0, 0xC0, 0xE0, 0xF0};
        for (uint32_t i = length - 1; i > 0; --i, c >>= 6) output[i] = static_cast<char>(0x80 | (c & 0x3F));
        output[0] = static_cast<char>(LEAD[length] | c);
    }
    return length;
}

namespace {

template <typename FROM, typename TO>
uint32_t Convert(const FROM* input, uint32_t inputLength, TO* output) {
    const FROM* end = input + inputLength;
    uint32_t written = 0;
    while (input < end) written += EncodeCodePoint(NextCodePoint(input, end), output ? output + written : nullptr);
    return written;
}

}  // namespace

uint32_t Utf8ToUtf16(const char* input, uint32_t inputLength, char16_t* output) {
    return Convert(input, inputLength, output);
}

uint32_t Utf16ToUtf8(const char16_t* input, uint32_t inputLength, char* output) {
    return Convert(input, inputLength, output);
}

}  // namespace qv
