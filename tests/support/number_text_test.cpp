#include <gtest/gtest.h>

#include <cstdint>

#include "support/number_text.h"
#include "tests/test_text.h"

namespace qv {
namespace {

using test::Utf8;

TEST(NumberTextTest, HexTextGroupsBytes) {
    constexpr bool LOWER = true;
    constexpr bool UPPER = false;
    const uint8_t bytes[] = {0x0A, 0xFF, 0x10};
    STRING text;
    BytesToHexText(text, bytes, 3, LOWER, 1, u' ');
    EXPECT_EQ(Utf8(text), "0a ff 10");
    BytesToHexText(text, bytes, 3, UPPER, 1, u' ');
    EXPECT_EQ(Utf8(text), "0A FF 10");
    BytesToHexText(text, bytes, 3, UPPER, 2, u' ');
    EXPECT_EQ(Utf8(text), "0AFF 10");
    BytesToHexText(text, bytes, 3, UPPER, 0, u' ');
    EXPECT_EQ(Utf8(text), "0AFF10");
    BytesToHexText(text, bytes, 3, UPPER, 3, u':');
    EXPECT_EQ(Utf8(text), "0AFF10");
    BytesToHexText(text, bytes, 0, UPPER, 1, u' ');
    EXPECT_TRUE(text.IsEmpty());
    EXPECT_EQ(HexTextLength(16, 1), 47u);
    EXPECT_EQ(HexTextLength(16, 2), 39u);
}

TEST(NumberTextTest, DecimalTextAtTheLimits) {
    EXPECT_EQ(Utf8(DecimalText(0u)), "0");
    EXPECT_EQ(Utf8(DecimalText(-15)), "-15");
    EXPECT_EQ(Utf8(DecimalText(INT32_MIN)), "-2147483648");
    EXPECT_EQ(Utf8(DecimalText(UINT32_MAX)), "4294967295");
    EXPECT_EQ(Utf8(DecimalText(INT64_MIN)), "-9223372036854775808");
    EXPECT_EQ(Utf8(DecimalText(UINT64_MAX)), "18446744073709551615");
    EXPECT_STREQ(DecimalTextA(int64_t{-7}).Text(), "-7");
    EXPECT_STREQ(DecimalTextA(uint32_t{100}).Text(), "100");
}

}  // namespace
}  // namespace qv
