// Hexadecimal and decimal text of bytes and numbers.
#pragma once

#include <cstdint>

#include "base/string.h"

namespace qv {

// Two digits per byte, high nibble first; with groupSize > 0 the separator follows every
// groupSize bytes except at the end. A count of 0 empties the text.
void BytesToHexText(STRING& target, const void* bytes, uint32_t count, bool lowerCase, uint32_t groupSize,
                    char16_t separator);
uint32_t HexTextLength(uint32_t count, uint32_t groupSize);
template <typename CHAR>
void WriteHexText(CHAR* output, const uint8_t* bytes, uint32_t count, bool lowerCase, uint32_t groupSize,
                  CHAR separator);

// Decimal text: no leading zeros or blanks, "-" before negative values, "0" for zero.
uint32_t DecimalTextLength(uint64_t magnitude, bool negative);
template <typename CHAR>
void WriteDecimalText(CHAR* output, uint64_t magnitude, bool negative);

STRING DecimalText(int32_t value);
STRING DecimalText(uint32_t value);
STRING DecimalText(int64_t value);
STRING DecimalText(uint64_t value);
STRING_A DecimalTextA(int32_t value);
STRING_A DecimalTextA(uint32_t value);
STRING_A DecimalTextA(int64_t value);
STRING_A DecimalTextA(uint64_t value);

}  // namespace qv
