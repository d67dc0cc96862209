#include "support/number_text.h"

namespace qv {

namespace {

constexpr char LOWER_DIGITS[] = "0123456789abcdef";
constexpr char UPPER_DIGITS[] = "0123456789ABCDEF";

template <typename STRING_TYPE, typename CHAR>
STRING_TYPE MakeDecimal(uint64_t magnitude, bool negative) {
    STRING_TYPE text;
    text.SetLength(DecimalTextLength(magnitude, negative));
    WriteDecimalText<CHAR>(text.Buffer(), magnitude, negative);
    return text;
}

uint64_t Magnitude(int64_t value) {
    // Two's complement negation in unsigned arithmetic also handles INT64_MIN.
    return value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
}

}  // namespace

uint32_t HexTextLength(uint32_t count, uint32_t groupSize) {
    if (count == 0) return 0;
    uint32_t separators = groupSize > 0 ? (count - 1) / groupSize : 0;
    return 2 * count + separators;
}

template <typename CHAR>
void WriteHexText(CHAR* output, const uint8_t* bytes, uint32_t count, bool lowerCase, uint32_t groupSize,
                  CHAR separator) {
    const char* digits = lowerCase ? LOWER_DIGITS : UPPER_DIGITS;
    for (uint32_t i = 0; i < count; ++i) {
        if (groupSize > 0 && i > 0 && i % groupSize == 0) *output++ = separator;
        *output++ = static_cast<CHAR>(digits[bytes[i] >> 4]);
        *output++ = static_cast<CHAR>(digits[bytes[i] & 0x0F]);
    }
}

template void WriteHexText<char16_t>(char16_t*, const uint8_t*, uint32_t, bool, uint32_t, char16_t);
template void WriteHexText<char>(char*, const uint8_t*, uint32_t, bool, uint32_t, char);

void BytesToHexText(STRING& target, const void* bytes, uint32_t count, bool lowerCase, uint32_t groupSize,
                    char16_t separator) {
    target.SetLength(HexTextLength(count, groupSize));
    if (count == 0) return;
    WriteHexText<char16_t>(target.Buffer(), static_cast<const uint8_t*>(bytes), count, lowerCase, groupSize,
                           separator);
}

uint32_t DecimalTextLength(uint64_t magnitude, bool negative) {
    uint32_t digits = 1;
    while (magnitude >= 10) {
        magnitude /= 10;
        ++digits;
    }
    return digits + (negative ? 1 : 0);
}

template <typename CHAR>
void WriteDecimalText(CHAR* output, uint64_t magnitude, bool negative) {
    CHAR* end = output + DecimalTextLength(magnitude, negative);
    if (negative) *output = '-';
    do {
        *--end = static_cast<CHAR>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
}

template void WriteDecimalText<char16_t>(char16_t*, uint64_t, bool);
template void WriteDecimalText<char>(char*, uint64_t, bool);

STRING DecimalText(int32_t value) { return DecimalText(static_cast<int64_t>(value)); }
STRING DecimalText(uint32_t value) { return DecimalText(static_cast<uint64_t>(value)); }
STRING DecimalText(int64_t value) { return MakeDecimal<STRING, char16_t>(Magnitude(value), value < 0); }
STRING DecimalText(uint64_t value) { return MakeDecimal<STRING, char16_t>(value, false); }
STRING_A DecimalTextA(int32_t value) { return DecimalTextA(static_cast<int64_t>(value)); }
STRING_A DecimalTextA(uint32_t value) { return DecimalTextA(static_cast<uint64_t>(value)); }
STRING_A DecimalTextA(int64_t value) { return MakeDecimal<STRING_A, char>(Magnitude(value), value < 0); }
STRING_A DecimalTextA(uint64_t value) { return MakeDecimal<STRING_A, char>(value, false); }

}  // namespace qv
