#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "base/byte_buffer.h"
#include "base/error_codes.h"
#include "base/string.h"
#include "platform/last_error.h"
#include "support/item_list.h"

namespace qv {
namespace {

using BYTES = std::vector<uint8_t>;

// The bytes a list builds (empty when nothing was built), checking the size contract.
BYTES Build(ITEMS items) {
    uint32_t size = 0xDEADBEEF;
    uint8_t* block = BuildItemsAlloc(size, items);
    BYTES result;
    if (block != nullptr) {
        EXPECT_GT(size, 0u);
        result.assign(block, block + size);
        std::free(block);
    } else {
        EXPECT_EQ(size, 0u);
    }
    return result;
}
BYTES Build(std::initializer_list<ITEM> items) { return Build(ITEMS(items.begin(), items.size())); }

std::u16string Text(std::initializer_list<ITEM> items) {
    char16_t* text = BuildItemsString(items);
    std::u16string result(text);
    FreeItemsString(text);
    return result;
}

// True when the list is rejected the way an invalid list must be: nothing built, size 0,
// last error ERR_INVALID_PARAMETER.
::testing::AssertionResult Rejected(ITEMS items) {
    SetLastErrorCode(ERR_SUCCESS);
    uint32_t size = 0xDEADBEEF;
    uint8_t* block = BuildItemsAlloc(size, items);
    if (block != nullptr) {
        std::free(block);
        return ::testing::AssertionFailure() << "built " << size << " bytes";
    }
    if (size != 0) return ::testing::AssertionFailure() << "size " << size;
    if (GetLastErrorCode() != ERR_INVALID_PARAMETER) {
        return ::testing::AssertionFailure() << "last error " << GetLastErrorCode();
    }
    return ::testing::AssertionSuccess();
}
::testing::AssertionResult Rejected(std::initializer_list<ITEM> items) {
    return Rejected(ITEMS(items.begin(), items.size()));
}

BYTES Wide(const char* ascii) {
    BYTES bytes;
    for (const char* p = ascii; *p != 0; ++p) {
        bytes.push_back(static_cast<uint8_t>(*p));
        bytes.push_back(0);
    }
    return bytes;
}

BYTES Narrow(const char* ascii) { return BYTES(ascii, ascii + std::strlen(ascii)); }

BYTES Join(std::initializer_list<BYTES> parts) {
    BYTES all;
    for (const BYTES& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

char* MallocCopy(const char* text) {
    char* copy = static_cast<char*>(std::malloc(std::strlen(text) + 1));
    std::strcpy(copy, text);
    return copy;
}

char16_t* MallocCopy(const char16_t* text) {
    size_t length = std::char_traits<char16_t>::length(text);
    auto* copy = static_cast<char16_t*>(std::malloc((length + 1) * sizeof(char16_t)));
    std::memcpy(copy, text, (length + 1) * sizeof(char16_t));
    return copy;
}

// --- byte order and width -------------------------------------------------------------------

TEST(ItemListValues, BigEndianAndMachineOrder) {
    EXPECT_EQ(Build({ITEM_UINT32 | ITEM_BIG_ENDIAN, 0x01020304u, ITEM_UINT16, 0x0506u, ITEM_END}),
              (BYTES{1, 2, 3, 4, 6, 5}));
    EXPECT_EQ(Build({ITEM_UINT32, 0x01020304u, ITEM_UINT16 | ITEM_BIG_ENDIAN, 0x0506u, ITEM_END}),
              (BYTES{4, 3, 2, 1, 5, 6}));
}

TEST(ItemListValues, ValuesAreCutToTheItemWidth) {
    EXPECT_EQ(Build({ITEM_UINT16, 0x12345u, ITEM_BYTE, -1, ITEM_UINT32, -2, ITEM_END}),
                    (BYTES{0x45, 0x23, 0xFF, 0xFE, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(Build({ITEM_UINT32 | ITEM_BIG_ENDIAN, 0x1122334455667788ull, ITEM_END}), (BYTES{0x55, 0x66, 0x77, 0x88}));
}

TEST(ItemListValues, CharactersAndNuls) {
    EXPECT_EQ(Build({ITEM_WCHAR, u'x', ITEM_WCHAR | ITEM_BIG_ENDIAN, u'\u20AC', ITEM_ACHAR, 'y', ITEM_END}),
              (BYTES{'x', 0, 0x20, 0xAC, 'y'}));
    EXPECT_EQ(Build({ITEM_WCHAR | ITEM_TERMINATE, u'x', ITEM_ACHAR | ITEM_TERMINATE, 'y', ITEM_END}),
              (BYTES{'x', 0, 0, 0, 'y', 0}));
    EXPECT_EQ(Build({ITEM_WNUL, ITEM_ANUL, ITEM_WNUL | ITEM_TERMINATE, ITEM_END}), (BYTES{0, 0, 0, 0, 0, 0, 0}));
    // Items without a width ignore ITEM_TERMINATE.
    EXPECT_EQ(Build({ITEM_BYTE | ITEM_TERMINATE, 7, ITEM_UINT16 | ITEM_TERMINATE, 1u, ITEM_END}), (BYTES{7, 1, 0}));
}

TEST(ItemListValues, Repeats) {
    EXPECT_EQ(Build({ITEM_WREPEAT | ITEM_BIG_ENDIAN, 0x0102u, 3u, ITEM_END}), (BYTES{1, 2, 1, 2, 1, 2}));
    EXPECT_EQ(Build({ITEM_WREPEAT, 0x0102u, 2u, ITEM_END}), (BYTES{2, 1, 2, 1}));
    EXPECT_EQ(Build({ITEM_WREPEAT | ITEM_BIG_ENDIAN | ITEM_TERMINATE, 0x0102u, 1u, ITEM_END}), (BYTES{1, 2, 0, 0}));
    EXPECT_EQ(Build({ITEM_AREPEAT | ITEM_BIG_ENDIAN, 0xABu, 3u, ITEM_END}), (BYTES{0xAB, 0xAB, 0xAB}));
    EXPECT_EQ(Build({ITEM_AREPEAT | ITEM_TERMINATE, 0x1AB, 2u, ITEM_END}), (BYTES{0xAB, 0xAB, 0}));
    EXPECT_EQ(Build({ITEM_AREPEAT | ITEM_TERMINATE, 0xAB, 0u, ITEM_END}), (BYTES{0}));
}

TEST(ItemListValues, ZerosBytesAndValueArrays) {
    const uint8_t block[] = {9, 8, 7};
    uint8_t writable[] = {1, 2};
    const uint16_t shorts[] = {0x0102, 0x0304};
    uint32_t longs[] = {0x01020304, 0x05060708};  // non-const: passed as a destination kind
    EXPECT_EQ(Build({ITEM_ZEROS, 2u, ITEM_BYTES, block, 3u, ITEM_BYTES, writable, 2u, ITEM_END}),
              (BYTES{0, 0, 9, 8, 7, 1, 2}));
    EXPECT_EQ(Build({ITEM_BYTES, nullptr, 5u, ITEM_BYTES, block, 0u, ITEM_BYTE, 1, ITEM_END}), (BYTES{1}));
    EXPECT_EQ(Build({ITEM_UINT16_ARRAY, shorts, 2u, ITEM_UINT16_ARRAY | ITEM_BIG_ENDIAN, shorts, 2u, ITEM_END}),
              (BYTES{2, 1, 4, 3, 1, 2, 3, 4}));
    EXPECT_EQ(Build({ITEM_UINT32_ARRAY, longs, 1u, ITEM_UINT32_ARRAY | ITEM_BIG_ENDIAN, longs, 2u, ITEM_END}),
              (BYTES{4, 3, 2, 1, 1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(Build({ITEM_UINT16_ARRAY, nullptr, 0u, ITEM_UINT32_ARRAY, nullptr, 0u, ITEM_BYTE, 1, ITEM_END}), (BYTES{1}));
}

// --- texts ------------------------------------------------------------------------------------

TEST(ItemListTexts, NullTextWithTerminateIsOnlyTheNul) {
    EXPECT_EQ(Build({ITEM_WTEXT | ITEM_TERMINATE, nullptr, 0}), (BYTES{0, 0}));
    EXPECT_EQ(Build({ITEM_ATEXT | ITEM_TERMINATE, nullptr, 0}), (BYTES{0}));
}

TEST(ItemListTexts, WideAndNarrowText) {
    EXPECT_EQ(Build({ITEM_WTEXT, u"ab", ITEM_END}), Wide("ab"));
    EXPECT_EQ(Build({ITEM_WTEXT | ITEM_BIG_ENDIAN | ITEM_TERMINATE, u"ab", ITEM_END}), (BYTES{0, 'a', 0, 'b', 0, 0}));
    EXPECT_EQ(Build({ITEM_ATEXT | ITEM_TERMINATE, "ab", ITEM_ATEXT, "", ITEM_END}), (BYTES{'a', 'b', 0}));
    STRING wide(u"xy");
    STRING_A narrow("z\xC3\xA9");
    EXPECT_EQ(Build({ITEM_WTEXT, wide, ITEM_ATEXT, narrow, ITEM_END}), (BYTES{'x', 0, 'y', 0, 'z', 0xC3, 0xA9}));
}

TEST(ItemListTexts, TextArraysTerminateEachText) {
    const char16_t* wide[] = {u"a", nullptr, u"bc"};
    const char* narrow[] = {"a", nullptr, "bc"};
    EXPECT_EQ(Build({ITEM_WTEXT_ARRAY, wide, 3u, ITEM_END}), Wide("abc"));
    EXPECT_EQ(Build({ITEM_WTEXT_ARRAY | ITEM_TERMINATE, wide, 3u, ITEM_END}),
              (BYTES{'a', 0, 0, 0, 0, 0, 'b', 0, 'c', 0, 0, 0}));
    EXPECT_EQ(Build({ITEM_WTEXT_ARRAY | ITEM_TERMINATE | ITEM_BIG_ENDIAN, wide, 1u, ITEM_END}), (BYTES{0, 'a', 0, 0}));
    EXPECT_EQ(Build({ITEM_ATEXT_ARRAY, narrow, 3u, ITEM_END}), Narrow("abc"));
    EXPECT_EQ(Build({ITEM_ATEXT_ARRAY | ITEM_TERMINATE, narrow, 3u, ITEM_END}), (BYTES{'a', 0, 0, 'b', 'c', 0}));
    // An empty array writes nothing, not even a terminator.
    EXPECT_EQ(Build({ITEM_ATEXT_ARRAY | ITEM_TERMINATE, nullptr, 0u, ITEM_BYTE, 1, ITEM_END}), (BYTES{1}));
    char* writable[] = {const_cast<char*>("q")};
    EXPECT_EQ(Build({ITEM_ATEXT_ARRAY, writable, 1u, ITEM_END}), Narrow("q"));
}

TEST(ItemListTexts, DecimalText) {
    EXPECT_EQ(Text({ITEM_WDEC_UINT32, 0, ITEM_END}), u"0");
    EXPECT_EQ(Text({ITEM_WDEC_INT32, -15, ITEM_END}), u"-15");
    EXPECT_EQ(Text({ITEM_WDEC_INT32, 0xFFFFFFF1u, ITEM_END}), u"-15");
    EXPECT_EQ(Text({ITEM_WDEC_UINT32, -1, ITEM_END}), u"4294967295");
    EXPECT_EQ(Text({ITEM_WDEC_INT32, INT32_MIN, ITEM_WCHAR, u' ', ITEM_WDEC_INT32, INT32_MAX, ITEM_END}),
              u"-2147483648 2147483647");
    EXPECT_EQ(Text({ITEM_WDEC_INT64, INT64_MIN, ITEM_WCHAR, u' ', ITEM_WDEC_INT64, INT64_MAX, ITEM_END}),
              u"-9223372036854775808 9223372036854775807");
    EXPECT_EQ(Text({ITEM_WDEC_UINT64, UINT64_MAX, ITEM_END}), u"18446744073709551615");
    EXPECT_EQ(Text({ITEM_WDEC_UINT64, -1, ITEM_END}), u"18446744073709551615");
    EXPECT_EQ(Build({ITEM_ADEC_INT32 | ITEM_TERMINATE, -7, ITEM_ADEC_UINT32, 42u, ITEM_ADEC_INT64, -1ll,
                     ITEM_ADEC_UINT64, 0u, ITEM_END}),
              (BYTES{'-', '7', 0, '4', '2', '-', '1', '0'}));
    EXPECT_EQ(Build({ITEM_WDEC_UINT32 | ITEM_TERMINATE, 12u, ITEM_END}), (BYTES{'1', 0, '2', 0, 0, 0}));
}

TEST(ItemListTexts, HexText) {
    const uint8_t bytes[] = {0x0A, 0xFF, 0x10};
    EXPECT_EQ(Text({ITEM_WHEX, bytes, 3u, 1u, u' ', 1u, ITEM_END}), u"0A FF 10");
    EXPECT_EQ(Text({ITEM_WHEX, bytes, 3u, 0u, u' ', 0u, ITEM_END}), u"0aff10");
    EXPECT_EQ(Text({ITEM_WHEX, bytes, 3u, 2u, u':', 1u, ITEM_END}), u"0AFF:10");
    EXPECT_EQ(Build({ITEM_AHEX | ITEM_TERMINATE, bytes, 2u, 1u, '-', 0u, ITEM_END}), (BYTES{'0', 'a', '-', 'f', 'f', 0}));
    // No pointer: no digits, but the terminator stays.
    EXPECT_EQ(Build({ITEM_WHEX | ITEM_TERMINATE, nullptr, 3u, 1u, u' ', 1u, ITEM_END}), (BYTES{0, 0}));
    EXPECT_EQ(Build({ITEM_WHEX, bytes, 0u, 1u, u' ', 1u, ITEM_END}), BYTES{});
}

TEST(ItemListTexts, WideTextProducedAtAnOddPosition) {
    // Hex digits and formatted text are stored as char16_t; after one byte the position is odd.
    const uint8_t bytes[] = {0xAB, 0xCD};
    EXPECT_EQ(Build({ITEM_BYTE, 0x7E, ITEM_WHEX | ITEM_TERMINATE, bytes, 2u, 1u, u' ', 1u, ITEM_BYTE, 0x7F, ITEM_END}),
              Join({{0x7E}, Wide("AB CD"), {0, 0, 0x7F}}));
    EXPECT_EQ(Build({ITEM_BYTE, 0x7E, ITEM_WFORMAT, u"<%d>", 12, ITEM_BYTE, 0x7F, ITEM_END}),
              Join({{0x7E}, Wide("<12>"), {0x7F}}));
    EXPECT_EQ(Build({ITEM_ACHAR, 'x', ITEM_WDEC_INT32, -3, ITEM_END}), Join({{'x'}, Wide("-3")}));
}

TEST(ItemListTexts, FormattedText) {
    EXPECT_EQ(Build({ITEM_WFORMAT, u"%d-%s", 5, u"x", ITEM_BYTE, 1, ITEM_END}), Join({Wide("5-x"), {1}}));
    EXPECT_EQ(Build({ITEM_AFORMAT | ITEM_TERMINATE, "%u/%s", 7u, "ab", ITEM_BYTE, 1, ITEM_END}),
              Join({Narrow("7/ab"), {0, 1}}));
    EXPECT_EQ(Build({ITEM_WFORMAT | ITEM_TERMINATE, u"plain", ITEM_END}), Join({Wide("plain"), {0, 0}}));
    // A width given by "*" takes a slot of its own.
    EXPECT_EQ(Build({ITEM_AFORMAT, "%*d", 1, 9, ITEM_BYTE, 2, ITEM_END}).back(), 2);
    EXPECT_EQ(Build({ITEM_AFORMAT, nullptr, ITEM_BYTE, 3, ITEM_END}), (BYTES{3}));
    EXPECT_EQ(Text({ITEM_WTEXT, u"n=", ITEM_WFORMAT, u"%d", 10, ITEM_WTEXT, u";", ITEM_END}), u"n=10;");
}

TEST(ItemListTexts, FormatArgumentsMustStayInsideTheList) {
    // The format takes the end tag as its argument, so the list has no end left.
    EXPECT_TRUE(Rejected({ITEM_WFORMAT, u"%d", ITEM_END}));
    EXPECT_TRUE(Rejected({ITEM_AFORMAT, "%d %d", 1, ITEM_END}));
}

// --- positions, lengths and offsets -----------------------------------------------------------

TEST(ItemListPositions, HeaderFirstMessageIsBackFilled) {
    uint8_t* p = nullptr;
    uint32_t total = 0;
    uint32_t size = 0;
    uint8_t* block = BuildItemsAlloc(size, {ITEM_RESERVE, 10u, ITEM_MARK, &p, ITEM_UINT16, 0u, ITEM_ORIGIN, ITEM_WTEXT,
                                            u"ab", ITEM_LENGTH16_AT, &p, ITEM_OFFSET32, &total, ITEM_END});
    ASSERT_NE(block, nullptr);
    ASSERT_EQ(size, 16u);
    EXPECT_EQ(p, block + 10);
    EXPECT_EQ(BYTES(block + 10, block + 16), Join({{4, 0}, Wide("ab")}));
    EXPECT_EQ(total, 16u);
    std::free(block);
}

TEST(ItemListPositions, EveryWidthFromOriginAndFromStart) {
    uint8_t* p8 = nullptr;
    uint8_t* p16 = nullptr;
    uint8_t* p32 = nullptr;
    uint8_t* q8 = nullptr;
    uint8_t* q16 = nullptr;
    uint8_t* q32 = nullptr;
    uint8_t l8 = 0, o8 = 0;
    uint16_t l16 = 0, o16 = 0;
    uint32_t l32 = 0, o32 = 0;
    BYTES built = Build({ITEM_BYTE, 0xAA, ITEM_MARK, &p8, ITEM_BYTE, 0, ITEM_MARK, &p16, ITEM_UINT16, 0u, ITEM_MARK, &p32,
                         ITEM_UINT32, 0u, ITEM_MARK, &q8, ITEM_BYTE, 0, ITEM_MARK, &q16, ITEM_UINT16, 0u, ITEM_MARK,
                         &q32, ITEM_UINT32, 0u, ITEM_ORIGIN, ITEM_ZEROS, 5u, ITEM_LENGTH8_AT, &p8, ITEM_LENGTH16_AT,
                         &p16, ITEM_LENGTH32_AT, &p32, ITEM_OFFSET8_AT, &q8, ITEM_OFFSET16_AT, &q16, ITEM_OFFSET32_AT,
                         &q32, ITEM_LENGTH8, &l8, ITEM_LENGTH16, &l16, ITEM_LENGTH32, &l32, ITEM_OFFSET8, &o8,
                         ITEM_OFFSET16, &o16, ITEM_OFFSET32, &o32, ITEM_END});
    EXPECT_EQ(built, (BYTES{0xAA, 5, 5, 0, 5, 0, 0, 0, 20, 20, 0, 20, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(l8, 5);
    EXPECT_EQ(l16, 5);
    EXPECT_EQ(l32, 5u);
    EXPECT_EQ(o8, 20);
    EXPECT_EQ(o16, 20);
    EXPECT_EQ(o32, 20u);
}

TEST(ItemListPositions, LengthsTooLargeKeepTheirLowBits) {
    uint8_t l8 = 0;
    uint16_t l16 = 0;
    uint32_t l32 = 0;
    uint32_t size = 0;
    uint8_t* block = BuildItemsAlloc(size, {ITEM_ZEROS, 0x10102u, ITEM_LENGTH8, &l8, ITEM_LENGTH16, &l16,
                                            ITEM_LENGTH32, &l32, ITEM_END});
    ASSERT_NE(block, nullptr);
    std::free(block);
    EXPECT_EQ(l8, 0x02);
    EXPECT_EQ(l16, 0x0102);
    EXPECT_EQ(l32, 0x10102u);
}

TEST(ItemListPositions, OriginInsideANestedListCountsForTheRest) {
    uint16_t length = 0;
    const ITEM inner[] = {ITEM_BYTE, 1, ITEM_ORIGIN, ITEM_END};
    EXPECT_EQ(Build({ITEM_ZEROS, 3u, ITEM_NESTED, inner, ITEM_WTEXT, u"abc", ITEM_LENGTH16, &length, ITEM_END}).size(), 10u);
    EXPECT_EQ(length, 6);
}

TEST(ItemListPositions, BackFillOutsideTheOutputIsRefused) {
    uint8_t local[4] = {};
    uint8_t* elsewhere = local;
    EXPECT_TRUE(Rejected({ITEM_ZEROS, 4u, ITEM_LENGTH16_AT, &elsewhere, ITEM_END}));
    EXPECT_EQ(local[0], 0);
    // A mark at the very end has no room for the value after it.
    uint8_t* atEnd = nullptr;
    EXPECT_TRUE(Rejected({ITEM_ZEROS, 4u, ITEM_MARK, &atEnd, ITEM_OFFSET8_AT, &atEnd, ITEM_END}));
    uint8_t* nearEnd = nullptr;
    EXPECT_TRUE(Rejected({ITEM_ZEROS, 4u, ITEM_MARK, &nearEnd, ITEM_BYTE, 0, ITEM_OFFSET16_AT, &nearEnd, ITEM_END}));
    uint8_t* unset = nullptr;
    EXPECT_TRUE(Rejected({ITEM_ZEROS, 4u, ITEM_LENGTH8_AT, &unset, ITEM_END}));
    // The last byte is room enough for an 8-bit value.
    uint8_t* last = nullptr;
    EXPECT_EQ(Build({ITEM_ZEROS, 3u, ITEM_MARK, &last, ITEM_BYTE, 0, ITEM_OFFSET8_AT, &last, ITEM_END}),
              (BYTES{0, 0, 0, 4}));
}

TEST(ItemListPositions, MissingDestinationsAreInvalid) {
    EXPECT_TRUE(Rejected({ITEM_MARK, static_cast<uint8_t**>(nullptr), ITEM_END}));
    EXPECT_TRUE(Rejected({ITEM_LENGTH16, static_cast<uint16_t*>(nullptr), ITEM_END}));
    EXPECT_TRUE(Rejected({ITEM_OFFSET32, nullptr, ITEM_END}));
    // Wrong destination width.
    uint16_t wrong = 0;
    EXPECT_TRUE(Rejected({ITEM_LENGTH32, &wrong, ITEM_END}));
}

// --- leaving out and nesting ------------------------------------------------------------------

TEST(ItemListLeaveOut, LeavesOutTheNextItems) {
    EXPECT_EQ(Build({ITEM_LEAVE_OUT, 2u, ITEM_BYTE, 1, ITEM_BYTE, 2, ITEM_BYTE, 3, 0}), (BYTES{3}));
    EXPECT_EQ(Build({ITEM_LEAVE_OUT, 0u, ITEM_BYTE, 1, ITEM_BYTE, 2, 0}), (BYTES{1, 2}));
    // A left-out leave-out steps over its own count and leaves nothing else out.
    EXPECT_EQ(Build({ITEM_LEAVE_OUT, 1u, ITEM_LEAVE_OUT, 5u, ITEM_BYTE, 1, ITEM_BYTE, 2, 0}), (BYTES{1, 2}));
    // Left-out items write nothing, terminators included, and set no marks.
    uint8_t* mark = nullptr;
    EXPECT_EQ(Build({ITEM_LEAVE_OUT, 3u, ITEM_WTEXT | ITEM_TERMINATE, u"x", ITEM_MARK, &mark, ITEM_WNUL, ITEM_BYTE, 4, 0}),
              (BYTES{4}));
    EXPECT_EQ(mark, nullptr);
}

TEST(ItemListLeaveOut, StepsOverExactlyTheSlotsAnItemOwns) {
    const uint8_t bytes[] = {1, 2, 3};
    const uint16_t shorts[] = {1};
    // Hex items own five slots.
    EXPECT_EQ(Build({ITEM_LEAVE_OUT, 1u, ITEM_WHEX, bytes, 3u, 1u, u' ', 1u, ITEM_BYTE, 9, 0}), (BYTES{9}));
    EXPECT_EQ(Build({ITEM_LEAVE_OUT, 1u, ITEM_AHEX, bytes, 3u, 1u, ' ', 1u, ITEM_BYTE, 9, 0}), (BYTES{9}));
    // A format owns its format slot and the slots it consumes ("*" included).
    EXPECT_EQ(Build({ITEM_LEAVE_OUT, 1u, ITEM_WFORMAT, u"%d %s %*d", 1, u"a", 3, 4, ITEM_BYTE, 9, 0}), (BYTES{9}));
    EXPECT_EQ(Build({ITEM_LEAVE_OUT, 2u, ITEM_AFORMAT, "%u", 1u, ITEM_AFORMAT, "%%", ITEM_BYTE, 9, 0}), (BYTES{9}));
    // A nested list owns one slot, however long the list is.
    const ITEM inner[] = {ITEM_BYTE, 1, ITEM_BYTE, 2, ITEM_END};
    EXPECT_EQ(Build({ITEM_LEAVE_OUT, 1u, ITEM_NESTED, inner, ITEM_BYTE, 9, 0}), (BYTES{9}));
    // Everything else owns its listed slots.
    EXPECT_EQ(Build({ITEM_LEAVE_OUT, 6u, ITEM_WNUL, ITEM_ORIGIN, ITEM_UINT16_ARRAY, shorts, 1u, ITEM_ALIGN, 8u, 0u,
                     ITEM_WREPEAT, 1u, 2u, ITEM_BYTES, bytes, 3u, ITEM_BYTE, 9, 0}),
              (BYTES{9}));
}

TEST(ItemListLeaveOut, LeftOutItemsNeedNoRealPointers) {
    // What depends on values is only checked for items that are written.
    EXPECT_EQ(Build({ITEM_LEAVE_OUT, 3u, ITEM_UINT32_ARRAY, nullptr, 4u, ITEM_ALIGN, 0u, 0u, ITEM_LENGTH16, nullptr,
                     ITEM_BYTE, 9, 0}),
              (BYTES{9}));
    // The kinds are checked all the same.
    EXPECT_TRUE(Rejected({ITEM_LEAVE_OUT, 1u, ITEM_ZEROS, u"text", ITEM_END}));
    EXPECT_TRUE(Rejected({ITEM_LEAVE_OUT, 1u, 99u, ITEM_END}));
}

TEST(ItemListLeaveOut, CountLapsesAtTheEndOfItsList) {
    const ITEM inner[] = {ITEM_LEAVE_OUT, 5u, ITEM_BYTE, 1, ITEM_END};
    EXPECT_EQ(Build({ITEM_NESTED, inner, ITEM_BYTE, 2, ITEM_END}), (BYTES{2}));
    EXPECT_EQ(Build({ITEM_LEAVE_OUT, 5u, ITEM_BYTE, 1, ITEM_END}), BYTES{});
}

TEST(ItemListNested, NestedListsAreWrittenInPlace) {
    const ITEM deepest[] = {ITEM_BYTE, 3, ITEM_END};
    const ITEM inner[] = {ITEM_BYTE, 2, ITEM_NESTED, deepest, ITEM_NESTED, nullptr, ITEM_END};
    EXPECT_EQ(Build({ITEM_BYTE, 1, ITEM_NESTED, inner, ITEM_BYTE, 4, ITEM_END}), (BYTES{1, 2, 3, 4}));
    const ITEM* none = nullptr;
    EXPECT_EQ(Build({ITEM_NESTED, none, ITEM_BYTE, 5, ITEM_END}), (BYTES{5}));
}

TEST(ItemListNested, NestedListsInsideLeftOutItems) {
    // Inside a left-out nested list everything is stepped over, its own leave-outs and
    // formats included; the enclosing list resumes right after it.
    uint8_t* mark = nullptr;
    const ITEM deepest[] = {ITEM_BYTE, 7, ITEM_END};
    const ITEM inner[] = {ITEM_LEAVE_OUT, 1u, ITEM_BYTE, 1, ITEM_AFORMAT, "%d %d", 1, 2, ITEM_NESTED, deepest,
                          ITEM_MARK, &mark, ITEM_END};
    EXPECT_EQ(Build({ITEM_LEAVE_OUT, 1u, ITEM_NESTED, inner, ITEM_BYTE, 9, ITEM_NESTED, inner, ITEM_END}),
              Join({{9}, Narrow("1 2"), {7}}));
    EXPECT_NE(mark, nullptr);
    // A left-out nested list must still be a valid list.
    const ITEM broken[] = {ITEM_ZEROS, "text", ITEM_END};
    EXPECT_TRUE(Rejected({ITEM_LEAVE_OUT, 1u, ITEM_NESTED, broken, ITEM_END}));
}

TEST(ItemListNested, ListContainingItselfIsInvalid) {
    ITEM self[3];
    self[0] = ITEM_NESTED;
    self[1] = static_cast<const ITEM*>(self);
    self[2] = ITEM_END;
    EXPECT_TRUE(Rejected(ITEMS(self, 3)));
    EXPECT_TRUE(Rejected({ITEM_LEAVE_OUT, 1u, ITEM_NESTED, static_cast<const ITEM*>(self), ITEM_END}));
}

TEST(ItemListNested, FormatInNestedListTakesItsArguments) {
    const ITEM inner[] = {ITEM_WFORMAT, u"%d+%d", 1, 2, ITEM_BYTE, 3, ITEM_END};
    EXPECT_EQ(Build({ITEM_NESTED, inner, ITEM_BYTE, 4, ITEM_END}), Join({Wide("1+2"), {3, 4}}));
}

// --- alignment -----------------------------------------------------------------------------------

TEST(ItemListAlign, PadsFromTheStartOfTheOutput) {
    EXPECT_EQ(Build({ITEM_BYTE, 1, ITEM_ALIGN, 4u, 0xEEu, ITEM_BYTE, 2, ITEM_END}), (BYTES{1, 0xEE, 0xEE, 0xEE, 2}));
    // Already aligned: nothing added. Alignment 1: never anything.
    EXPECT_EQ(Build({ITEM_UINT32, 0u, ITEM_ALIGN, 4u, 0xEEu, ITEM_ALIGN, 1u, 0u, ITEM_BYTE, 2, ITEM_END}),
              (BYTES{0, 0, 0, 0, 2}));
    // Counted from the start even after an origin or inside a nested list.
    const ITEM inner[] = {ITEM_ORIGIN, ITEM_ALIGN, 8u, 0x11u, ITEM_END};
    EXPECT_EQ(Build({ITEM_ZEROS, 5u, ITEM_NESTED, inner, ITEM_BYTE, 2, ITEM_END}),
              (BYTES{0, 0, 0, 0, 0, 0x11, 0x11, 0x11, 2}));
}

TEST(ItemListAlign, KeepLeavesTheSkippedBytes) {
    BYTE_BUFFER buffer;
    ASSERT_TRUE(buffer.Resize(8));
    std::memset(buffer.Data(), 0xCD, 8);
    uint8_t* data = BuildItemsInto(buffer, {ITEM_BYTE, 1, ITEM_ALIGN, 4u, ITEM_ALIGN_KEEP, ITEM_BYTE, 2, ITEM_END});
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(BYTES(data, data + buffer.Size()), (BYTES{1, 0xCD, 0xCD, 0xCD, 2}));
}

TEST(ItemListAlign, AlignmentZeroIsInvalid) {
    EXPECT_TRUE(Rejected({ITEM_BYTE, 1, ITEM_ALIGN, 0u, 0u, ITEM_END}));
}

// --- invalid lists -----------------------------------------------------------------------------

TEST(ItemListInvalid, WrongSlotKinds) {
    EXPECT_TRUE(Rejected({ITEM_ZEROS, u"x", ITEM_END}));
    EXPECT_TRUE(Rejected({ITEM_WTEXT, "narrow", ITEM_END}));
    EXPECT_TRUE(Rejected({ITEM_ATEXT, u"wide", ITEM_END}));
    EXPECT_TRUE(Rejected({ITEM_BYTE, 1.5, ITEM_END}));
    EXPECT_TRUE(Rejected({ITEM_UINT16, nullptr, ITEM_END}));
    EXPECT_TRUE(Rejected({ITEM_MARK, 0u, ITEM_END}));
    uint8_t* p = nullptr;
    EXPECT_TRUE(Rejected({ITEM_BYTES, &p, 1u, ITEM_END}));
    EXPECT_TRUE(Rejected({ITEM_NESTED, u"x", ITEM_END}));
    const char* texts[] = {"a"};
    EXPECT_TRUE(Rejected({ITEM_WTEXT_ARRAY, texts, 1u, ITEM_END}));
    // The tag slot itself must be an integer.
    EXPECT_TRUE(Rejected({u"x", ITEM_END}));
    EXPECT_TRUE(Rejected({ITEM(), ITEM_END}));
}

TEST(ItemListInvalid, CountsMustFitIn32BitsAndNotBeNegative) {
    EXPECT_TRUE(Rejected({ITEM_ZEROS, -1, ITEM_END}));
    EXPECT_TRUE(Rejected({ITEM_ZEROS, 0x100000000ull, ITEM_END}));
    EXPECT_TRUE(Rejected({ITEM_LEAVE_OUT, -2, ITEM_BYTE, 1, ITEM_END}));
    EXPECT_TRUE(Rejected({-1, ITEM_END}));
}

TEST(ItemListInvalid, MissingTerminatorOrArguments) {
    EXPECT_TRUE(Rejected({ITEM_BYTE, 1}));
    EXPECT_TRUE(Rejected({ITEM_BYTE}));
    EXPECT_TRUE(Rejected({ITEM_WHEX, nullptr, 0u, 0u, u' '}));
    EXPECT_TRUE(Rejected(ITEMS()));
    EXPECT_TRUE(Rejected({ITEM_LEAVE_OUT, 1u, ITEM_BYTE, 1}));
    // The span bounds the list even when a terminator follows in memory.
    const ITEM list[] = {ITEM_BYTE, 1, ITEM_END};
    EXPECT_TRUE(Rejected(ITEMS(list, 2)));
    EXPECT_EQ(Build(ITEMS(list, 3)), (BYTES{1}));
}

TEST(ItemListInvalid, UnknownTagsAndFlags) {
    EXPECT_TRUE(Rejected({48u, ITEM_END}));
    EXPECT_TRUE(Rejected({ITEM_TAG_MASK, ITEM_END}));
    EXPECT_TRUE(Rejected({ITEM_BYTE | 0x01000000u, 1, ITEM_END}));
    EXPECT_TRUE(Rejected({ITEM_BYTE, 1, ITEM_END | ITEM_TERMINATE}));
    // ITEM_FREE needs data to free.
    EXPECT_TRUE(Rejected({ITEM_BYTE | ITEM_FREE, 1, ITEM_END}));
    uint8_t* mark = nullptr;
    EXPECT_TRUE(Rejected({ITEM_MARK | ITEM_FREE, &mark, ITEM_END}));
}

TEST(ItemListInvalid, SizesBeyond32Bits) {
    EXPECT_TRUE(Rejected({ITEM_RESERVE, 0xFFFFFFFFu, ITEM_BYTE, 1, ITEM_END}));
    EXPECT_TRUE(Rejected({ITEM_RESERVE, 0x80000000u, ITEM_RESERVE, 0x80000000u, ITEM_END}));
    EXPECT_TRUE(Rejected({ITEM_WREPEAT, 0u, 0x80000000u, ITEM_END}));
    const ITEM inner[] = {ITEM_RESERVE, 0xFFFFFFF0u, ITEM_END};
    EXPECT_TRUE(Rejected({ITEM_NESTED, inner, ITEM_NESTED, inner, ITEM_END}));
    const uint8_t byte = 0;
    EXPECT_TRUE(Rejected({ITEM_AHEX, &byte, 0x80000000u, 0u, ' ', 0u, ITEM_END}));
    EXPECT_TRUE(Rejected({ITEM_WHEX, &byte, 0x60000000u, 1u, u' ', 0u, ITEM_END}));
    // Aligning to 0xFFFFFFFF reaches exactly the largest size; one byte more is too many.
    EXPECT_TRUE(Rejected({ITEM_BYTE, 1, ITEM_ALIGN, 0xFFFFFFFFu, ITEM_ALIGN_KEEP, ITEM_BYTE, 1, ITEM_END}));
}

TEST(ItemListInvalid, NullArrayWithACount) {
    EXPECT_TRUE(Rejected({ITEM_WTEXT_ARRAY, nullptr, 1u, ITEM_END}));
    EXPECT_TRUE(Rejected({ITEM_UINT16_ARRAY, nullptr, 1u, ITEM_END}));
}

// --- handing over ownership -------------------------------------------------------------------

// AddressSanitizer reports a pointer that is freed twice or never.
TEST(ItemListFree, FreedAfterASuccessfulBuild) {
    auto* block = static_cast<uint8_t*>(std::malloc(3));
    std::memset(block, 5, 3);
    auto* values = static_cast<uint32_t*>(std::malloc(4));
    *values = 0x01020304;
    EXPECT_EQ(Build({ITEM_WTEXT | ITEM_FREE, MallocCopy(u"a"), ITEM_ATEXT | ITEM_FREE | ITEM_TERMINATE, MallocCopy("b"),
                     ITEM_BYTES | ITEM_FREE, block, 3u, ITEM_UINT32_ARRAY | ITEM_FREE | ITEM_BIG_ENDIAN,
                     static_cast<const uint32_t*>(values), 1u, ITEM_AFORMAT | ITEM_FREE, MallocCopy("%d"), 6, ITEM_END}),
              (BYTES{'a', 0, 'b', 0, 5, 5, 5, 1, 2, 3, 4, '6'}));
}

TEST(ItemListFree, FreedInsideNestedAndLeftOutItems) {
    auto* inner = static_cast<ITEM*>(std::malloc(3 * sizeof(ITEM)));
    inner[0] = ITEM_ATEXT | ITEM_FREE;
    inner[1] = static_cast<const char*>(MallocCopy("in"));
    inner[2] = ITEM_END;
    auto* leftOutInner = static_cast<ITEM*>(std::malloc(3 * sizeof(ITEM)));
    leftOutInner[0] = ITEM_ATEXT | ITEM_FREE;
    leftOutInner[1] = static_cast<const char*>(MallocCopy("out"));
    leftOutInner[2] = ITEM_END;
    EXPECT_EQ(Build({ITEM_NESTED | ITEM_FREE, static_cast<const ITEM*>(inner), ITEM_LEAVE_OUT, 2u,
                     ITEM_NESTED | ITEM_FREE, static_cast<const ITEM*>(leftOutInner), ITEM_WTEXT | ITEM_FREE,
                     MallocCopy(u"gone"), ITEM_END}),
              Narrow("in"));
}

TEST(ItemListFree, FreedWhenTheListIsInvalid) {
    // After an invalid value: the rest of the list is still read for what it hands over.
    EXPECT_TRUE(Rejected({ITEM_ALIGN, 0u, 0u, ITEM_WTEXT | ITEM_FREE, MallocCopy(u"a"), ITEM_ATEXT | ITEM_FREE,
                          MallocCopy("b"), ITEM_END}));
    auto* emptyList = static_cast<ITEM*>(std::malloc(sizeof(ITEM)));
    emptyList[0] = ITEM_END;
    EXPECT_TRUE(Rejected({ITEM_WTEXT | ITEM_FREE, MallocCopy(u"a"), ITEM_MARK, static_cast<uint8_t**>(nullptr),
                          ITEM_NESTED | ITEM_FREE, static_cast<const ITEM*>(emptyList), ITEM_END}));
    // Up to an unreadable slot.
    EXPECT_TRUE(Rejected({ITEM_WTEXT | ITEM_FREE, MallocCopy(u"a"), 999u, ITEM_END}));
    EXPECT_TRUE(Rejected({ITEM_ATEXT | ITEM_FREE, MallocCopy("a")}));
    // When a back-fill fails in the writing pass.
    uint8_t* unset = nullptr;
    EXPECT_TRUE(Rejected({ITEM_ATEXT | ITEM_FREE, MallocCopy("a"), ITEM_LENGTH8_AT, &unset, ITEM_END}));
    // Every builder hands them over.
    BYTE_BUFFER buffer;
    EXPECT_EQ(BuildItemsInto(buffer, {ITEM_ATEXT | ITEM_FREE, MallocCopy("a"), ITEM_ZEROS, -1, ITEM_END}), nullptr);
    char16_t* text = BuildItemsString({ITEM_WTEXT | ITEM_FREE, MallocCopy(u"a"), ITEM_ZEROS, -1, ITEM_END});
    EXPECT_TRUE(IsSharedEmptyText(text));
    EXPECT_EQ(Text({ITEM_WTEXT | ITEM_FREE, MallocCopy(u"ok"), ITEM_END}), u"ok");
    EXPECT_EQ(BuildItemsInto(buffer, {ITEM_ATEXT | ITEM_FREE, MallocCopy(""), ITEM_END}), nullptr);
}

// --- the builders -------------------------------------------------------------------------------

TEST(ItemListBuilders, EmptyOutputIsNotAFailure) {
    SetLastErrorCode(ERR_INVALID_PARAMETER);
    uint32_t size = 7;
    EXPECT_EQ(BuildItemsAlloc(size, {ITEM_WTEXT, u"", ITEM_END}), nullptr);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(GetLastErrorCode(), ERR_SUCCESS);
    SetLastErrorCode(ERR_INVALID_PARAMETER);
    EXPECT_EQ(BuildItemsAlloc(size, {ITEM_END}), nullptr);
    EXPECT_EQ(GetLastErrorCode(), ERR_SUCCESS);
}

TEST(ItemListBuilders, IntoShrinksGrowsAndEmpties) {
    BYTE_BUFFER buffer;
    ASSERT_TRUE(buffer.Resize(100));
    uint8_t* data = BuildItemsInto(buffer, {ITEM_BYTE, 1, ITEM_BYTE, 2, ITEM_BYTE, 3, ITEM_END});
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(data, buffer.Data());
    EXPECT_EQ(BYTES(data, data + buffer.Size()), (BYTES{1, 2, 3}));
    data = BuildItemsInto(buffer, {ITEM_AREPEAT, 0x5A, 200u, ITEM_END});
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(BYTES(data, data + buffer.Size()), BYTES(200, 0x5A));
    SetLastErrorCode(ERR_INVALID_PARAMETER);
    EXPECT_EQ(BuildItemsInto(buffer, {ITEM_ZEROS, 0u, ITEM_END}), nullptr);
    EXPECT_EQ(buffer.Size(), 0u);
    EXPECT_EQ(buffer.Data(), nullptr);
    EXPECT_EQ(GetLastErrorCode(), ERR_SUCCESS);
    ASSERT_TRUE(buffer.Resize(10));
    EXPECT_EQ(BuildItemsInto(buffer, {ITEM_ZEROS, u"bad", ITEM_END}), nullptr);
    EXPECT_EQ(buffer.Size(), 0u);
    EXPECT_EQ(GetLastErrorCode(), ERR_INVALID_PARAMETER);
}

TEST(ItemListBuilders, ReserveKeepsWhatTheBufferHeld) {
    BYTE_BUFFER buffer;
    ASSERT_TRUE(buffer.Resize(4));
    std::memset(buffer.Data(), 0x77, 4);
    uint8_t* data = BuildItemsInto(buffer, {ITEM_BYTE, 1, ITEM_RESERVE, 2u, ITEM_ZEROS, 2u, ITEM_END});
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(BYTES(data, data + buffer.Size()), (BYTES{1, 0x77, 0x77, 0, 0}));
}

TEST(ItemListBuilders, StringEndsWithAWideNul) {
    char16_t* text = BuildItemsString({ITEM_WTEXT, u"ab", ITEM_WDEC_INT32, -15, ITEM_END});
    EXPECT_FALSE(IsSharedEmptyText(text));
    EXPECT_EQ(std::u16string(text), u"ab-15");
    FreeItemsString(text);
    // Nothing to write is still a text of its own.
    text = BuildItemsString({ITEM_END});
    EXPECT_FALSE(IsSharedEmptyText(text));
    EXPECT_EQ(text[0], 0);
    FreeItemsString(text);
    // An odd number of bytes is completed with a zero byte before the NUL.
    text = BuildItemsString({ITEM_ATEXT, "abc", ITEM_END});
    EXPECT_EQ(text[0], static_cast<char16_t>('a' | 'b' << 8));
    EXPECT_EQ(text[1], static_cast<char16_t>('c'));
    EXPECT_EQ(text[2], 0);
    FreeItemsString(text);
}

TEST(ItemListBuilders, StringOfAnInvalidListIsTheSharedEmptyText) {
    SetLastErrorCode(ERR_SUCCESS);
    char16_t* text = BuildItemsString({ITEM_ZEROS, u"x", ITEM_END});
    EXPECT_TRUE(IsSharedEmptyText(text));
    EXPECT_EQ(text[0], 0);
    EXPECT_EQ(GetLastErrorCode(), ERR_INVALID_PARAMETER);
    FreeItemsString(text);
    FreeItemsString(nullptr);
}

// --- both passes agree ----------------------------------------------------------------------

// Builds into buffers poisoned two different ways: a byte the writing pass misses would show
// up as a difference, a byte it writes beyond the measurement as an AddressSanitizer report.
void ExpectPassesAgree(ITEMS items) {
    uint32_t size = 0;
    uint8_t* block = BuildItemsAlloc(size, items);
    ASSERT_NE(block, nullptr);
    BYTES reference(block, block + size);
    std::free(block);
    for (uint8_t poison : {uint8_t{0x00}, uint8_t{0xFF}, uint8_t{0xA5}}) {
        BYTE_BUFFER buffer;
        ASSERT_TRUE(buffer.Resize(size));
        std::memset(buffer.Data(), poison, size);
        uint8_t* data = BuildItemsInto(buffer, items);
        ASSERT_NE(data, nullptr);
        ASSERT_EQ(buffer.Size(), size);
        ASSERT_EQ(BYTES(data, data + size), reference) << "poison " << int{poison};
    }
}

TEST(ItemListPasses, VariedListWritesExactlyWhatWasMeasured) {
    const uint8_t bytes[] = {0xDE, 0xAD, 0xBE, 0xEF, 0x01};
    const uint16_t shorts[] = {1, 0xFFFF, 0x8000};
    const uint32_t longs[] = {0xCAFEBABE, 7};
    const char16_t* wide[] = {u"one", nullptr, u"", u"four"};
    const char* narrow[] = {"x", "yz"};
    const ITEM inner[] = {ITEM_ALIGN, 8u, 0x33u, ITEM_WFORMAT | ITEM_TERMINATE, u"[%s|%u]", u"in", 17u, ITEM_END};
    uint8_t* mark = nullptr;
    uint16_t length = 0;
    const ITEM items[] = {
        ITEM_BYTE, 1, ITEM_WTEXT | ITEM_TERMINATE, u"wide", ITEM_ATEXT, "narrow", ITEM_MARK, &mark, ITEM_UINT16, 0u,
        ITEM_ORIGIN, ITEM_WTEXT_ARRAY | ITEM_TERMINATE | ITEM_BIG_ENDIAN, wide, 4u, ITEM_ATEXT_ARRAY | ITEM_TERMINATE,
        narrow, 2u, ITEM_WNUL, ITEM_ANUL, ITEM_WREPEAT | ITEM_TERMINATE, 0xABCDu, 3u, ITEM_AREPEAT, 0x11u, 5u,
        ITEM_WCHAR | ITEM_BIG_ENDIAN, u'Z', ITEM_ACHAR | ITEM_TERMINATE, 'q', ITEM_BYTES, bytes, 5u,
        ITEM_UINT16_ARRAY | ITEM_BIG_ENDIAN, shorts, 3u, ITEM_UINT32_ARRAY, longs, 2u, ITEM_UINT32, 0x12345678u,
        ITEM_ZEROS, 3u, ITEM_WDEC_INT32, -2147483647 - 1, ITEM_ADEC_UINT64 | ITEM_TERMINATE, UINT64_MAX,
        ITEM_WDEC_INT64 | ITEM_TERMINATE, -5ll, ITEM_WHEX | ITEM_TERMINATE, bytes, 5u, 2u, u'-', 1u, ITEM_AHEX, bytes,
        5u, 0u, ' ', 0u, ITEM_NESTED, inner, ITEM_LEAVE_OUT, 1u, ITEM_ZEROS, 1000u, ITEM_AFORMAT | ITEM_TERMINATE,
        "%d%%", 99, ITEM_ALIGN, 16u, 0u, ITEM_LENGTH16_AT, &mark, ITEM_OFFSET16, &length, ITEM_END};
    ExpectPassesAgree(ITEMS(items));
}

// Random lists of every item that writes bytes (no reserve, no kept alignment bytes).
TEST(ItemListPasses, RandomListsWriteExactlyWhatWasMeasured) {
    const uint8_t bytes[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
    const uint16_t shorts[] = {1, 2, 3, 4};
    const uint32_t longs[] = {1, 2, 3, 4};
    const char16_t* wide[] = {u"alpha", nullptr, u"", u"\u00E9\u4E2D"};
    const char* narrow[] = {"a", "", nullptr, "\xC3\xA9"};
    const ITEM inner[] = {ITEM_BYTE, 1, ITEM_WTEXT, u"nested", ITEM_END};
    std::mt19937 random(12345);
    uint32_t lengthSink = 0;
    for (int round = 0; round < 300; ++round) {
        std::vector<ITEM> items = {ITEM_BYTE, 0xEE};  // never an empty output
        const int count = 1 + static_cast<int>(random() % 40);
        for (int i = 0; i < count; ++i) {
            uint32_t flags = 0;
            if (random() % 3 == 0) flags |= ITEM_TERMINATE;
            if (random() % 3 == 0) flags |= ITEM_BIG_ENDIAN;
            const uint32_t n = random() % 5;
            switch (random() % 24) {
                case 0: items.insert(items.end(), {ITEM_NESTED | flags, inner}); break;
                case 1: items.insert(items.end(), {ITEM_ZEROS | flags, n}); break;
                case 2: items.insert(items.end(), {ITEM_WTEXT | flags, wide[n % 4]}); break;
                case 3: items.insert(items.end(), {ITEM_ATEXT | flags, narrow[n % 4]}); break;
                case 4: items.insert(items.end(), {ITEM_WTEXT_ARRAY | flags, wide, n % 5}); break;
                case 5: items.insert(items.end(), {ITEM_ATEXT_ARRAY | flags, narrow, n % 5}); break;
                case 6: items.insert(items.end(), {(n & 1 ? ITEM_WNUL : ITEM_ANUL) | flags}); break;
                case 7: items.insert(items.end(), {ITEM_WREPEAT | flags, 0x1234u, n}); break;
                case 8: items.insert(items.end(), {ITEM_AREPEAT | flags, 0x56u, n}); break;
                case 9: items.insert(items.end(), {ITEM_WCHAR | flags, u'\u20AC'}); break;
                case 10: items.insert(items.end(), {ITEM_ACHAR | flags, 'c'}); break;
                case 11: items.insert(items.end(), {ITEM_BYTE | flags, 0x99}); break;
                case 12: items.insert(items.end(), {ITEM_BYTES | flags, bytes, n * 2}); break;
                case 13: items.insert(items.end(), {ITEM_UINT16 | flags, 0xA1B2u}); break;
                case 14: items.insert(items.end(), {ITEM_UINT16_ARRAY | flags, shorts, n % 5}); break;
                case 15: items.insert(items.end(), {ITEM_UINT32 | flags, 0xA1B2C3D4u}); break;
                case 16: items.insert(items.end(), {ITEM_UINT32_ARRAY | flags, longs, n % 5}); break;
                case 17: items.insert(items.end(), {(ITEM_WDEC_INT32 + n) | flags, static_cast<int64_t>(random()) - (1ll << 31)}); break;
                case 18: items.insert(items.end(), {(ITEM_WDEC_INT64 + n % 4) | flags, static_cast<uint64_t>(random()) << 33}); break;
                case 19: items.insert(items.end(), {(n & 1 ? ITEM_WHEX : ITEM_AHEX) | flags, bytes, n * 3, n % 3, ':', n & 1}); break;
                case 20: items.insert(items.end(), {ITEM_WFORMAT | flags, u"%d<%s>", static_cast<int>(n), narrow[n % 4]}); break;
                case 21: items.insert(items.end(), {ITEM_AFORMAT | flags, "%u.%s", n, wide[n % 4]}); break;
                case 22: items.insert(items.end(), {ITEM_ALIGN | flags, n + 1, 0xEEu}); break;
                default: items.insert(items.end(), {ITEM_LEAVE_OUT | flags, n % 3}); break;
            }
            if (random() % 5 == 0) items.insert(items.end(), {ITEM_OFFSET32, &lengthSink});
        }
        items.push_back(ITEM_END);
        SCOPED_TRACE(round);
        ExpectPassesAgree(ITEMS(items));
        if (HasFatalFailure()) return;
    }
}

}  // namespace
}  // namespace qv
