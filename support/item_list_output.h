// The item-list builder's stores into its output block (support/item_list.cpp): values in
// either byte order, texts, NULs and decimal digits, at any position. The output has no
// alignment, so every multi-byte store goes through memcpy or single bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "support/number_text.h"

namespace qv::item_list {

// 16- and 32-bit stores: machine order through memcpy, or most significant byte first.
inline uint8_t* Put16(uint8_t* out, uint16_t value, bool bigEndian) {
    if (bigEndian) {
        out[0] = static_cast<uint8_t>(value >> 8);
        out[1] = static_cast<uint8_t>(value);
    } else {
        std::memcpy(out, &value, 2);
    }
    return out + 2;
}

inline uint8_t* Put32(uint8_t* out, uint32_t value, bool bigEndian) {
    if (bigEndian) {
        out[0] = static_cast<uint8_t>(value >> 24);
        out[1] = static_cast<uint8_t>(value >> 16);
        out[2] = static_cast<uint8_t>(value >> 8);
        out[3] = static_cast<uint8_t>(value);
    } else {
        std::memcpy(out, &value, 4);
    }
    return out + 4;
}

// A NUL of 0, 1 or 2 bytes.
inline uint8_t* PutTerminator(uint8_t* out, uint32_t width) {
    if (width != 0) {
        out[0] = 0;
        if (width == 2) out[1] = 0;
    }
    return out + width;
}

// Text without its NUL; wide units in the requested byte order. Texts in requests are
// short, so wide text is copied unit by unit in one go rather than measured again.
inline uint8_t* PutText(uint8_t* out, const char16_t* text, bool bigEndian) {
    if (text == nullptr) return out;
    if (bigEndian) {
        for (; *text != 0; ++text) out = Put16(out, static_cast<uint16_t>(*text), true);
    } else {
        for (; *text != 0; ++text) out = Put16(out, static_cast<uint16_t>(*text), false);
    }
    return out;
}

inline uint8_t* PutText(uint8_t* out, const char* text, bool) {
    if (text == nullptr) return out;
    const size_t units = std::strlen(text);
    std::memcpy(out, text, units);
    return out + units;
}

// Wide text produced by a routine that stores char16_t units itself (hex digits, formatted
// text). Such stores must be aligned, and the output position may be odd after byte items:
// then the routine writes one byte early, the text slides up one byte, and the byte it
// covered is put back. The output block itself is always aligned (it comes from malloc),
// so an odd position is never its first byte.
template <typename PRODUCE>
inline uint8_t* PutProducedWide(uint8_t* out, uint8_t* end, PRODUCE&& produce) {
    if ((reinterpret_cast<uintptr_t>(out) & 1) == 0) {
        size_t units = produce(reinterpret_cast<char16_t*>(out), static_cast<size_t>(end - out) / 2);
        return out + units * 2;
    }
    uint8_t* aligned = out - 1;
    uint8_t covered = *aligned;
    size_t units = produce(reinterpret_cast<char16_t*>(aligned), static_cast<size_t>(end - aligned) / 2);
    std::memmove(out, aligned, units * 2);
    *aligned = covered;
    return out + units * 2;
}

// Decimal digits straight into the output, except wide digits at an odd position, which go
// through a small buffer (char16_t stores must be aligned).
template <typename CHAR>
inline uint8_t* PutDecimal(uint8_t* out, uint64_t magnitude, bool negative) {
    const uint32_t units = DecimalTextLength(magnitude, negative);
    if (sizeof(CHAR) == 1 || (reinterpret_cast<uintptr_t>(out) & 1) == 0) {
        WriteDecimalText<CHAR>(reinterpret_cast<CHAR*>(out), magnitude, negative);
    } else {
        CHAR digits[24];
        WriteDecimalText<CHAR>(digits, magnitude, negative);
        std::memcpy(out, digits, units * sizeof(CHAR));
    }
    return out + units * sizeof(CHAR);
}

// A length or offset of 1, 2 or 4 bytes, cut to that width, in machine order.
inline void StoreLength(uint8_t* target, uint64_t value, size_t width) {
    if (width == 1) {
        *target = static_cast<uint8_t>(value);
    } else if (width == 2) {
        uint16_t v = static_cast<uint16_t>(value);
        std::memcpy(target, &v, 2);
    } else {
        uint32_t v = static_cast<uint32_t>(value);
        std::memcpy(target, &v, 4);
    }
}

}  // namespace qv::item_list
