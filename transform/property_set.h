// The layout of the summary information stream: one property set, as every structured-storage
// document keeps one. Its header (byte order, format version, system, class, one section) is
// followed by the section's entry (its format id and offset), then by the section: its size,
// its property count, a (number, offset) pair for each property, then the values, each a type
// word and the value.
#pragma once

#include <cstdint>

namespace qv {

constexpr uint16_t PROPERTY_SET_BYTE_ORDER = 0xFFFE;
constexpr uint32_t PROPERTY_SET_HEADER_SIZE = 28;
constexpr uint32_t PROPERTY_SET_SECTION_ENTRY_SIZE = 20;
// {F29F85E0-4FF9-1068-AB91-08002B27B3D9}, as it is stored.
constexpr unsigned char SUMMARY_INFORMATION_FORMAT_ID[16] = {0xE0, 0x85, 0x9F, 0xF2, 0xF9, 0x4F, 0x68, 0x10,
                                                             0xAB, 0x91, 0x08, 0x00, 0x2B, 0x27, 0xB3, 0xD9};

// Value types.
constexpr uint32_t VT_I2 = 2;
constexpr uint32_t VT_I4 = 3;
constexpr uint32_t VT_LPSTR = 30;
constexpr uint32_t VT_FILETIME = 64;

}  // namespace qv
