#include "support/utf.h"

namespace qv {

namespace {

constexpr char32_t REPLACEMENT = 0xFFFD;

// Decodes one UTF-8 sequence starting at input[i]; advances i. Overlong forms, surrogates,
// values beyond U+10FFFF and truncated sequences decode as U+FFFD (one per bad byte).
char32_t DecodeUtf8(const unsigned char* input, uint32_t length, uint32_t& i) {
    unsigned char lead = input[i++];
    if (lead < 0x80) return lead;
    uint32_t extra;
    char32_t value;
    char32_t minimum;
    if ((lead & 0xE0) == 0xC0) {
        extra = 1, value = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        extra = 2, value = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        extra = 3, value = lead & 0x07, minimum = 0x10000;
    } else {
        return REPLACEMENT;
    }
    if (length - i < extra) return REPLACEMENT;
    for (uint32_t k = 0; k < extra; ++k) {
        if ((input[i + k] & 0xC0) != 0x80) return REPLACEMENT;
    }
    for (uint32_t k = 0; k < extra; ++k) value = (value << 6) | (input[i + k] & 0x3F);
    i += extra;
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return REPLACEMENT;
    return value;
}

}  // namespace

uint32_t Utf8ToUtf16(const char* input, uint32_t inputLength, char16_t* output) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(input);
    uint32_t written = 0;
    for (uint32_t i = 0; i < inputLength;) {
        char32_t c = DecodeUtf8(bytes, inputLength, i);
        if (c >= 0x10000) {
            if (output) {
                output[written] = static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
                output[written + 1] = static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
            }
            written += 2;
        } else {
            if (output) output[written] = static_cast<char16_t>(c);
            ++written;
        }
    }
    return written;
}

uint32_t Utf16ToUtf8(const char16_t* input, uint32_t inputLength, char* output) {
    uint32_t written = 0;
    auto put = [&](unsigned value) {
        if (output) output[written] = static_cast<char>(value);
        ++written;
    };
    for (uint32_t i = 0; i < inputLength; ++i) {
        char32_t c = input[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < inputLength && input[i + 1] >= 0xDC00 && input[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (input[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = REPLACEMENT;
        }
        if (c < 0x80) {
            put(c);
        } else if (c < 0x800) {
            put(0xC0 | (c >> 6));
            put(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            put(0xE0 | (c >> 12));
            put(0x80 | ((c >> 6) & 0x3F));
            put(0x80 | (c & 0x3F));
        } else {
            put(0xF0 | (c >> 18));
            put(0x80 | ((c >> 12) & 0x3F));
            put(0x80 | ((c >> 6) & 0x3F));
            put(0x80 | (c & 0x3F));
        }
    }
    return written;
}

}  // namespace qv
