// The item-list builder: a list of typed items turned into bytes or text in two passes,
// measuring first and writing second, into one block of exactly the measured size.
//
// A list is a sequence of slots: a tag (an unsigned number; its low 24 bits choose the
// item, the top three bits are flags) followed by the tag's arguments, one slot each, and
// tag 0 at the end. Slots are typed (FORMAT_ARG), and every slot is checked against what
// its tag expects during the measuring pass; a list that doesn't fit its tags builds
// nothing and sets the last-error value to ERR_INVALID_PARAMETER.
#pragma once

#include <cstdint>
#include <initializer_list>

#include "base/byte_buffer.h"
#include "base/format_arg.h"

namespace qv {

using ITEM = FORMAT_ARG;
using ITEMS = std::span<const ITEM>;

constexpr uint32_t ITEM_END = 0;
constexpr uint32_t ITEM_NESTED = 1;            // nested list (const ITEM*), written in place
constexpr uint32_t ITEM_ZEROS = 2;             // count: that many zero bytes
constexpr uint32_t ITEM_RESERVE = 3;           // count: skip that many bytes, left as they are
constexpr uint32_t ITEM_WTEXT = 4;             // wide text or null, without its NUL
constexpr uint32_t ITEM_ATEXT = 5;             // narrow text or null, without its NUL
constexpr uint32_t ITEM_WTEXT_ARRAY = 6;       // array of wide texts, count
constexpr uint32_t ITEM_ATEXT_ARRAY = 7;       // array of narrow texts, count
constexpr uint32_t ITEM_WNUL = 8;              // a wide NUL
constexpr uint32_t ITEM_ANUL = 9;              // a narrow NUL
constexpr uint32_t ITEM_WREPEAT = 10;          // 16-bit value, count
constexpr uint32_t ITEM_AREPEAT = 11;          // byte value, count
constexpr uint32_t ITEM_WCHAR = 12;            // 16-bit character
constexpr uint32_t ITEM_ACHAR = 13;            // byte character
constexpr uint32_t ITEM_BYTE = 14;             // byte
constexpr uint32_t ITEM_BYTES = 15;            // pointer or null, length
constexpr uint32_t ITEM_UINT16 = 16;           // 16-bit value
constexpr uint32_t ITEM_UINT16_ARRAY = 17;     // pointer, count
constexpr uint32_t ITEM_UINT32 = 18;           // 32-bit value
constexpr uint32_t ITEM_UINT32_ARRAY = 19;     // pointer, count
constexpr uint32_t ITEM_WDEC_INT32 = 20;       // decimal text of a signed 32-bit value
constexpr uint32_t ITEM_ADEC_INT32 = 21;
constexpr uint32_t ITEM_WDEC_UINT32 = 22;      // unsigned 32-bit
constexpr uint32_t ITEM_ADEC_UINT32 = 23;
constexpr uint32_t ITEM_WDEC_INT64 = 24;       // signed 64-bit
constexpr uint32_t ITEM_ADEC_INT64 = 25;
constexpr uint32_t ITEM_WDEC_UINT64 = 26;      // unsigned 64-bit
constexpr uint32_t ITEM_ADEC_UINT64 = 27;
constexpr uint32_t ITEM_WHEX = 28;             // pointer or null, length, group size, separator, case (0 lower, 1 upper)
constexpr uint32_t ITEM_AHEX = 29;
constexpr uint32_t ITEM_WFORMAT = 30;          // format text, then the format's own arguments
constexpr uint32_t ITEM_AFORMAT = 31;
constexpr uint32_t ITEM_MARK = 32;             // uint8_t** receives the current output position
constexpr uint32_t ITEM_ORIGIN = 33;           // the origin becomes the current position
constexpr uint32_t ITEM_LENGTH8 = 34;          // uint8_t*: bytes from the origin, 8-bit
constexpr uint32_t ITEM_LENGTH8_AT = 35;       // uint8_t**: the same, written where the variable points
constexpr uint32_t ITEM_LENGTH16 = 36;         // uint16_t*
constexpr uint32_t ITEM_LENGTH16_AT = 37;
constexpr uint32_t ITEM_LENGTH32 = 38;         // uint32_t*
constexpr uint32_t ITEM_LENGTH32_AT = 39;
constexpr uint32_t ITEM_OFFSET8 = 40;          // bytes from the start of the output, 8-bit
constexpr uint32_t ITEM_OFFSET8_AT = 41;
constexpr uint32_t ITEM_OFFSET16 = 42;
constexpr uint32_t ITEM_OFFSET16_AT = 43;
constexpr uint32_t ITEM_OFFSET32 = 44;
constexpr uint32_t ITEM_OFFSET32_AT = 45;
constexpr uint32_t ITEM_LEAVE_OUT = 46;        // count: the next count items are left out
constexpr uint32_t ITEM_ALIGN = 47;            // alignment, fill byte or ITEM_ALIGN_KEEP

constexpr uint32_t ITEM_ALIGN_KEEP = 0xFFFFFFFF;

constexpr uint32_t ITEM_FREE = 0x80000000;       // free the item's first (pointer) argument afterwards
constexpr uint32_t ITEM_TERMINATE = 0x40000000;  // a NUL of the item's width afterwards
constexpr uint32_t ITEM_BIG_ENDIAN = 0x20000000; // 16/32-bit values most significant byte first
constexpr uint32_t ITEM_TAG_MASK = 0x00FFFFFF;

// A new malloc block of exactly the measured size, and that size; null when the size is 0,
// the list is invalid or the allocation fails (size is still given for the latter).
uint8_t* BuildItemsAlloc(uint32_t& size, ITEMS items);
uint8_t* BuildItemsAlloc(uint32_t& size, std::initializer_list<ITEM> items);

// The buffer resized to the measured size and filled; returns its block. Null, and the
// buffer emptied, when the size is 0, the list is invalid or the resize fails.
uint8_t* BuildItemsInto(BYTE_BUFFER& buffer, ITEMS items);
uint8_t* BuildItemsInto(BYTE_BUFFER& buffer, std::initializer_list<ITEM> items);

// NUL-terminated wide text built from the list, in a malloc block the caller frees; when
// nothing could be built, the shared empty text, which must not be freed (see IsSharedEmptyText).
char16_t* BuildItemsString(ITEMS items);
char16_t* BuildItemsString(std::initializer_list<ITEM> items);
bool IsSharedEmptyText(const char16_t* text);
// Frees a BuildItemsString result (the shared empty text is left alone).
void FreeItemsString(char16_t* text);

}  // namespace qv
