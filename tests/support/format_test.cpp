#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>

#include "platform/resource_string.h"
#include "support/format.h"
#include "tests/test_text.h"

namespace qv {
namespace {

using test::Utf8;

template <typename... ARGS>
std::string Wide(const char16_t* format, const ARGS&... args) {
    STRING text;
    FormatString(text, format, args...);
    return Utf8(text);
}

template <typename... ARGS>
std::string Narrow(const char* format, const ARGS&... args) {
    STRING_A text;
    FormatString(text, format, args...);
    return text.Text();
}

// The formats the program itself uses must give the same text on every platform.
TEST(FormatTest, TheProgramsOwnFormats) {
    EXPECT_EQ(Wide(u"%s thread started", u"Settings"), "Settings thread started");
    EXPECT_EQ(Wide(u"%u|%lu|%ld|%d", 7u, 4294967295u, -5, -2147483647 - 1), "7|4294967295|-5|-2147483648");
    EXPECT_EQ(Wide(u"%02u:%02u:%02u.%03u", 9u, 5u, 0u, 7u), "09:05:00.007");
    EXPECT_EQ(Wide(u"%04u-%.2d", 2026u, 3), "2026-03");
    EXPECT_EQ(Wide(u"%c%c", u'A', 0x00E9), "A\xC3\xA9");
    EXPECT_EQ(Wide(u"%#x %#lx %#x", 255u, 0xC0000022u, 0u), "0xff 0xc0000022 0");
    EXPECT_EQ(Wide(u"%0.4X", 0x1Fu), "001F");
    EXPECT_EQ(Wide(u"%.3f seconds", 5.0), "5.000 seconds");
    EXPECT_EQ(Wide(u"%.3f", 0.0015), "0.002");
    EXPECT_EQ(Wide(u"%.3f", 1234.5675), "1234.568");  // the nearest double is just above ...675
    EXPECT_EQ(Wide(u"%.3f", 0.0625), "0.062");         // an exact tie rounds to even
    EXPECT_EQ(Wide(u"%I32u %I64u %I64d", 4000000000u, 18446744073709551615ull, -9223372036854775807ll - 1),
              "4000000000 18446744073709551615 -9223372036854775808");
    EXPECT_EQ(Wide(u"%s\\%s", u"CORP", u"alice"), "CORP\\alice");
}

TEST(FormatTest, LongIsThirtyTwoBitsOnEveryPlatform) {
    EXPECT_EQ(Wide(u"%lu", uint64_t{0x100000005}), "5");
    EXPECT_EQ(Wide(u"%ld", int64_t{-1}), "-1");
    EXPECT_EQ(Wide(u"%lu", -1), "4294967295");
    EXPECT_EQ(Wide(u"%llu %zu", uint64_t{0x100000005}, size_t{42}), "4294967301 42");
    EXPECT_EQ(Wide(u"%hu %hhu %hd", 65537u, 257u, 65535u), "1 1 -1");
}

TEST(FormatTest, TextOfEitherWidthConvertsToTheOutputWidth) {
    EXPECT_EQ(Wide(u"[%s|%s]", "narrow \xC3\xA9", u"wide \u00E9"), "[narrow \xC3\xA9|wide \xC3\xA9]");
    EXPECT_EQ(Narrow("[%s|%S|%ls|%hs]", u"\U0001F600", "a", u"b", "c"), "[\xF0\x9F\x98\x80|a|b|c]");
    STRING wide(u"from STRING");
    STRING_A narrow("from STRING_A");
    EXPECT_EQ(Wide(u"%s, %s", wide, narrow), "from STRING, from STRING_A");
    EXPECT_EQ(Narrow("%s, %s", wide, narrow), "from STRING, from STRING_A");
}

TEST(FormatTest, WidthPrecisionAndFlags) {
    EXPECT_EQ(Wide(u"[%5s|%-5s|%.2s|%*s|%-*d|%.*s]", u"ab", u"ab", u"abc", 4, u"x", 3, 7, 1, u"yz"),
              "[   ab|ab   |ab|   x|7  |y]");
    EXPECT_EQ(Wide(u"[%+d|% d|%05d|%-05d|%5.3d|%.0d]", 5, 5, -42, 42, 7, 0), "[+5| 5|-0042|42   |  007|]");
    EXPECT_EQ(Wide(u"[%#o|%#o|%o]", 8u, 0u, 8u), "[010|0|10]");
    EXPECT_EQ(Wide(u"[%#08x|%08X]", 0xABu, 0xABu), "[0x0000ab|000000AB]");
    EXPECT_EQ(Wide(u"[%*d]", -4, 1), "[1   ]");
    // Precision never cuts a character in half.
    EXPECT_EQ(Wide(u"[%.1s]", u"\U0001F600x"), "[]");
    EXPECT_EQ(Narrow("[%.2s]", "\xC3\xA9x"), "[\xC3\xA9]");
    EXPECT_EQ(Narrow("[%.1s]", "\xC3\xA9x"), "[]");
}

TEST(FormatTest, FloatingPointIsIdenticalEverywhere) {
    EXPECT_EQ(Wide(u"%f|%.0f|%#.0f|%.1f|%.2f", 1.5, 2.5, 3.0, 0.25, 0.125), "1.500000|2|3.|0.2|0.12");
    EXPECT_EQ(Wide(u"%e|%.2E|%g|%G|%g", 12345.678, 0.000123, 0.0001, 1e-10, 100000.0),
              "1.234568e+04|1.23E-04|0.0001|1E-10|100000");
    EXPECT_EQ(Wide(u"%g|%.3g|%a", 1e6, 3.14159, 1.0), "1e+06|3.14|0x1p+0");
    EXPECT_EQ(Wide(u"[%8.2f|%-8.2f|%+08.2f]", 3.14159, 3.14159, 3.14159), "[    3.14|3.14    |+0003.14]");
    const double infinity = std::numeric_limits<double>::infinity();
    EXPECT_EQ(Wide(u"%f|%F|%5.1f|%05.1f", infinity, -infinity, infinity, infinity), "inf|-INF|  inf|  inf");
    EXPECT_EQ(Wide(u"%.3f", 7), "7.000");  // an integer given to a floating conversion
}

TEST(FormatTest, ArgumentMistakesAreVisibleNotUndefined) {
    EXPECT_EQ(Wide(u"[%d]", u"text"), "[(?)]");
    EXPECT_EQ(Wide(u"[%s]", 42), "[(?)]");
    EXPECT_EQ(Wide(u"[%c]", u"text"), "[(?)]");
    EXPECT_EQ(Wide(u"[%s|%d]"), "[|]");  // missing arguments print nothing
    EXPECT_EQ(Wide(u"[%s]", static_cast<const char16_t*>(nullptr)), "[(null)]");
    EXPECT_EQ(Wide(u"[%n]", 5), "[]");  // %n stores nothing
    EXPECT_EQ(Wide(u"[%y|%5|%%|%]"), "[%y|%5|%|%]");
    EXPECT_EQ(Wide(u"[%p]", reinterpret_cast<const void*>(uintptr_t{0xABCDEF})), "[0000000000ABCDEF]");
}

TEST(FormatTest, MaximumLengthKeepsTheFirstUnits) {
    STRING text;
    FormatStringMax(text, 5, u"%s", u"abcdefgh");
    EXPECT_EQ(Utf8(text), "abcde");
    EXPECT_EQ(text.Length(), 5u);
    FormatStringMax(text, 5, u"%s", u"abc");
    EXPECT_EQ(Utf8(text), "abc");
    FormatStringMax(text, 0, u"%s", u"abc");
    EXPECT_TRUE(text.IsEmpty());
}

TEST(FormatTest, TheTargetMayBeOneOfTheArguments) {
    STRING text(u"base");
    FormatString(text, u"%s-%s", text, text);
    EXPECT_EQ(Utf8(text), "base-base");
}

TEST(FormatTest, FormatsComeFromTheStringTable) {
    STRING text;
    FormatString(text, RESOURCE_ID{101}, u"x");
    EXPECT_EQ(Utf8(text), "Invalid command line argument:  \"x\"");
    STRING_A narrow;
    FormatString(narrow, RESOURCE_ID{101}, "-Q");
    EXPECT_STREQ(narrow.Text(), "Invalid command line argument:  \"-Q\"");
    FormatString(text, RESOURCE_ID{103}, u"x");  // no such entry: an empty format
    EXPECT_TRUE(text.IsEmpty());
    FormatString(text, RESOURCE_ID{65536 + 101}, u"x");
    EXPECT_TRUE(text.IsEmpty());
}

TEST(FormatTest, TheStringTableIsComplete) {
    EXPECT_EQ(Utf8(LoadResourceString(100)), "Tarnwell Quorvane Warning");
    EXPECT_EQ(Utf8(LoadResourceString(116)), "Cant convert datatype");
    EXPECT_EQ(Utf8(LoadResourceString(122)), "Unknown Active Directory error");
    for (uint32_t number = 104; number <= 122; ++number) {
        EXPECT_FALSE(LoadResourceString(number).IsEmpty()) << number;
    }
    EXPECT_TRUE(LoadResourceString(102).IsEmpty());
    EXPECT_TRUE(LoadResourceString(123).IsEmpty());
}

TEST(FormatTest, ReportsTheSlotsAFormatConsumes) {
    const FORMAT_ARG args[] = {5, 3, u"abc", 1.5, 9};
    size_t consumed = 0;
    char16_t buffer[32];
    size_t length = FormatText(buffer, 32, u"%*.*s|%.1f", args, &consumed);
    EXPECT_EQ(consumed, 4u);
    EXPECT_EQ(Utf8(STRING(buffer, static_cast<uint32_t>(length))), "  abc|1.5");
    EXPECT_EQ(FormatText(nullptr, 0, u"%d%%%d", args, &consumed), 3u);
    EXPECT_EQ(consumed, 2u);
}

#if !defined(_WIN32)
// Natively, glibc's printf is an independent judge of the integer conversions (with the
// 32-bit "l" translated to glibc's plain int).
TEST(FormatTest, IntegerConversionsAgreeWithTheCLibrary) {
    const char* flags[] = {"", "-", "+", " ", "#", "0", "-0", "+0", "#0"};
    const char* widths[] = {"", "1", "6", "12"};
    const char* precisions[] = {"", ".0", ".3", ".10"};
    const char conversions[] = {'d', 'u', 'x', 'X', 'o'};
    const int64_t values[] = {0, 1, -1, 42, -42, 2147483647, -2147483647 - 1, 0x7FFF0000, 0xDEADBEEF};
    for (const char* flag : flags) {
        for (const char* width : widths) {
            for (const char* precision : precisions) {
                for (char conversion : conversions) {
                    for (int64_t value : values) {
                        std::string ours = std::string("%") + flag + width + precision + "l" + conversion;
                        std::string theirs = std::string("%") + flag + width + precision + conversion;
                        char expected[64];
                        std::snprintf(expected, sizeof expected, theirs.c_str(), static_cast<int>(value));
                        ASSERT_EQ(Narrow(ours.c_str(), value), expected) << ours << " " << value;
                    }
                }
            }
        }
    }
}
#endif

}  // namespace
}  // namespace qv
