#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "base/string.h"
#include "platform/system_text.h"
#include "tests/test_text.h"

namespace qv {
namespace {

using test::Utf8;

TEST(StringTest, EmptyStringsNeverHandOutNullText) {
    STRING empty;
    EXPECT_TRUE(empty.IsEmpty());
    EXPECT_EQ(empty.Length(), 0u);
    ASSERT_NE(empty.Text(), nullptr);
    EXPECT_EQ(empty.Text()[0], 0);
    EXPECT_EQ(empty.LastUnit(), -1);
    char16_t* writable = empty.Buffer();
    ASSERT_NE(writable, nullptr);
    EXPECT_EQ(writable[0], 0);
    EXPECT_EQ(empty.Length(), 0u);

    STRING fromNull(static_cast<const char16_t*>(nullptr));
    EXPECT_TRUE(fromNull.IsEmpty());
    EXPECT_TRUE(fromNull.Equals(u""));
    EXPECT_TRUE(fromNull.Equals(static_cast<const char16_t*>(nullptr)));
}

TEST(StringTest, LengthChangesKeepTextAndTerminator) {
    STRING text(u"abcdef");
    EXPECT_EQ(text.LastUnit(), u'f');
    text.SetLength(3);
    EXPECT_EQ(Utf8(text), "abc");
    EXPECT_EQ(text.Text()[3], 0);
    text.SetLength(5);
    EXPECT_EQ(text.Length(), 5u);
    EXPECT_EQ(std::memcmp(text.Text(), u"abc\0\0\0", 6 * sizeof(char16_t)), 0);

    STRING grown(u"xy");
    grown.GrowBy(2);
    EXPECT_EQ(grown.Length(), 4u);
    EXPECT_EQ(grown.Text()[0], u'x');
    EXPECT_EQ(grown.Text()[2], 0);  // the old terminator stays
    EXPECT_EQ(grown.Text()[4], 0);  // and the new one is in place
    grown.Buffer()[2] = u'z';
    grown.Buffer()[3] = u'!';
    EXPECT_EQ(Utf8(grown), "xyz!");

    STRING shortened(u"hello");
    shortened.ShortenBy(9);
    EXPECT_EQ(Utf8(shortened), "hello");
    shortened.ShortenBy(2);
    EXPECT_EQ(Utf8(shortened), "hel");
    shortened.ShortenBy(3);
    EXPECT_TRUE(shortened.IsEmpty());
}

TEST(StringTest, CopiesAreIndependentAndSelfAssignmentIsSafe) {
    STRING original(u"value");
    STRING copy(original);
    copy.Buffer()[0] = u'V';
    EXPECT_EQ(Utf8(original), "value");
    EXPECT_EQ(Utf8(copy), "Value");

    copy = copy;
    EXPECT_EQ(Utf8(copy), "Value");
    // Assigning a part of itself must not read freed memory.
    copy.Assign(copy.Text() + 1, 3);
    EXPECT_EQ(Utf8(copy), "alu");

    STRING moved(std::move(copy));
    EXPECT_EQ(Utf8(moved), "alu");
    EXPECT_TRUE(copy.IsEmpty());  // NOLINT(bugprone-use-after-move): moved-from strings are empty
}

TEST(StringTest, ConvertsBetweenUtf8AndUtf16) {
    // Latin, Greek, CJK and a character beyond the BMP (a surrogate pair in UTF-16).
    const char* utf8 = "A\xC3\xA9\xCE\xA9\xE6\x97\xA5\xF0\x9F\x98\x80";
    STRING wide(utf8);
    ASSERT_EQ(wide.Length(), 6u);
    EXPECT_EQ(wide.Text()[1], 0x00E9);
    EXPECT_EQ(wide.Text()[3], 0x65E5);
    EXPECT_EQ(wide.Text()[4], 0xD83D);
    EXPECT_EQ(wide.Text()[5], 0xDE00);
    STRING_A back(wide);
    EXPECT_STREQ(back.Text(), utf8);
}

TEST(StringTest, IllFormedTextConvertsToReplacementCharacters) {
    const char16_t loneSurrogate[] = {u'a', 0xD800, u'b', 0};
    EXPECT_STREQ(STRING_A(loneSurrogate).Text(), "a\xEF\xBF\xBD" "b");
    // Overlong "/", a truncated sequence and an encoded surrogate.
    STRING wide("\xC0\xAF|\xE6\x97|\xED\xA0\x80");
    for (uint32_t i = 0; i < wide.Length(); ++i) {
        EXPECT_TRUE(wide.Text()[i] == u'|' || wide.Text()[i] == 0xFFFD) << i;
    }
}

TEST(StringTest, ComparesWithAndWithoutCase) {
    STRING name(u"Administrator");
    EXPECT_TRUE(name.Equals(u"Administrator"));
    EXPECT_FALSE(name.Equals(u"administrator"));
    EXPECT_TRUE(EqualsIgnoringCase(name, u"ADMINISTRATOR"));
    EXPECT_TRUE(EqualsIgnoringCase(name, u"administrator"));
    EXPECT_FALSE(EqualsIgnoringCase(name, u"Administrators"));
    EXPECT_TRUE(EqualsIgnoringCase(STRING(u"\u00C9COLE"), u"\u00E9cole"));
    EXPECT_TRUE(EqualsIgnoringCase(STRING(), static_cast<const char16_t*>(nullptr)));
    EXPECT_TRUE(EqualsIgnoringCase(STRING(), u""));
    EXPECT_TRUE(EqualsIgnoringCase("Corp\\Alice", "CORP\\alice"));
}

TEST(StringTest, DetachHandsOverTheHeapBlock) {
    STRING text(u"owned");
    char16_t* block = text.Detach();
    EXPECT_TRUE(text.IsEmpty());
    EXPECT_EQ(Utf8(block), "owned");
    std::free(block);
}

TEST(StringTest, AllocationFailureThrowsWithTheRequestedSizeAndKeepsTheText) {
    STRING text(u"keep");
    try {
        text.GrowBy(0xFFFFFFFEu);  // past the 32-bit length
        ADD_FAILURE() << "expected STRING_NO_MEMORY";
    } catch (const STRING_NO_MEMORY& failure) {
        EXPECT_GT(failure.BytesRequested, 0u);
    }
    EXPECT_EQ(Utf8(text), "keep");
}

}  // namespace
}  // namespace qv
