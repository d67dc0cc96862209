#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/message_format.h"
#include "tests/test_text.h"

#if defined(_WIN32)
#include "platform/win32/win32.h"
#endif

namespace qv {
namespace {

using test::Utf8;

struct FORMAT_CASE {
    const char* Name;
    const char16_t* Text;
    std::vector<const char16_t*> Inserts;
    uint32_t Width;
    bool Formats;          // false: the text is malformed
    const char* Expected;  // UTF-8, with the line breaks written out
};

std::string Portable(const FORMAT_CASE& c, bool* formatted) {
    STRING text(u"left over");
    *formatted = FormatMessageText(text, c.Text, TextLength(c.Text), c.Inserts.data(),
                                   static_cast<uint32_t>(c.Inserts.size()), c.Width);
    return Utf8(text);
}

// The cases every platform must format alike. The expected texts are what the system's
// FormatMessage gives for the same text, inserts and width; on Windows the test asks it too.
const std::vector<FORMAT_CASE>& Cases() {
    static const std::vector<FORMAT_CASE> cases = {
        // --- inserts and escapes, the text's own line breaks kept ---
        {"insert", u"Disk %1 is full.%n", {u"C:"}, MESSAGE_KEEP_LINE_BREAKS, true, "Disk C: is full.\r\n"},
        {"inserts in any order", u"%2-%1-%2", {u"a", u"b"}, 0, true, "b-a-b"},
        {"two-digit insert", u"[%12][%123]", {u"1", u"2", u"3", u"4", u"5", u"6", u"7", u"8", u"9", u"10", u"11", u"twelve"},
         0, true, "[twelve][twelve3]"},
        {"null insert", u"<%1>", {nullptr}, 0, true, "<(null)>"},
        {"escapes", u"100%% %. %! % x", {}, 0, true, "100% . !  x"},
        {"unknown escapes stand for their character", u"%q%z", {}, 0, true, "qz"},
        {"tab and lone carriage return", u"a%tb%rc", {}, 0, true, "a\tb\rc"},
        {"%0 ends the message", u"stop%0ignored", {}, 0, true, "stop"},
        {"insert formats", u"[%1!6s!][%1!-6s!][%1!.2s!][%1!s!]", {u"abc"}, 0, true, "[   abc][abc   ][ab][abc]"},
        {"text line breaks kept", u"one\ntwo\rthree\r\r\nfour\r\n", {}, 0, true, "one\r\ntwo\r\nthree\r\n\r\nfour\r\n"},
        {"inserted line breaks are not the text's", u"(%1)", {u"a\nb"}, 0, true, "(a\nb)"},
        {"percent at the end", u"50%", {}, 0, false, ""},
        {"insert format not closed", u"%1!s", {u"x"}, 0, false, ""},

        // --- text line breaks dropped, no wrapping ---
        {"line breaks become blanks", u"line one\r\nline two\r\n", {}, MESSAGE_NO_WRAP, true, "line one line two "},
        {"each break one blank", u"a\nb\rc\r\r\nd", {}, MESSAGE_NO_WRAP, true, "a b c  d"},
        {"hard breaks stay", u"one.%ntwo.%n\r\n", {}, MESSAGE_NO_WRAP, true, "one.\r\ntwo.\r\n "},
        {"long lines are not wrapped", u"0123456789 0123456789 0123456789", {}, MESSAGE_NO_WRAP, true,
         "0123456789 0123456789 0123456789"},

        // --- wrapping ---
        {"fits", u"alpha beta gamma", {}, 20, true, "alpha beta gamma"},
        {"wraps the last word", u"alpha beta gamma", {}, 11, true, "alpha beta\r\ngamma"},
        {"a line never reaches the width", u"alpha beta gamma", {}, 10, true, "alpha\r\nbeta\r\ngamma"},
        {"a word filling the line", u"abcdefgh", {}, 8, true, "abcdefgh\r\n"},
        {"a word longer than the line", u"abcdefghijk", {}, 4, true, "abcd\r\nefgh\r\nijk"},
        {"blanks before the break go", u"ab    cd", {}, 5, true, "ab\r\n cd"},
        {"%space is no place to break", u"ab% cd ef", {}, 5, true, "ab cd\r\n ef"},
        {"an insert is never broken", u"x %1 y", {u"one two three four"}, 10, true, "x\r\none two three four\r\ny"},
        {"a long insert ends its line", u"%1 y", {u"abcdefgh"}, 5, true, "abcdefgh\r\n y"},
        {"%n starts a line", u"abc%ndef gh", {}, 6, true, "abc\r\ndef\r\ngh"},
        {"%r starts a line", u"ab%rcd ef", {}, 4, true, "ab\rcd\r\nef"},
        {"a text line break is a place to break", u"abc\r\ndef", {}, 4, true, "abc\r\ndef"},
        {"the program's shape", u"Unable get the module's path.\r\n%n%1. Error code = %2.%n\r\n", {u"Access is denied", u"5"}, 80,
         true, "Unable get the module's path. \r\nAccess is denied. Error code = 5.\r\n "},
        {"wrapping at 80", u"0123456789 0123456789 0123456789 0123456789 0123456789 0123456789 0123456789 0123456789", {},
         80, true,
         "0123456789 0123456789 0123456789 0123456789 0123456789 0123456789 0123456789\r\n0123456789"},
    };
    return cases;
}

TEST(MessageFormatTest, FormatsAsTheSystemDoes) {
    for (const FORMAT_CASE& c : Cases()) {
        bool formatted = false;
        const std::string text = Portable(c, &formatted);
        EXPECT_EQ(formatted, c.Formats) << c.Name;
        EXPECT_EQ(text, c.Expected) << c.Name;
    }
}

TEST(MessageFormatTest, MissingInsertsAreEmpty) {
    STRING text;
    const char16_t* inserts[] = {u"one"};
    ASSERT_TRUE(FormatMessageText(text, u"%1/%2/%3", 8, inserts, 1, MESSAGE_KEEP_LINE_BREAKS));
    EXPECT_EQ(Utf8(text), "one//");
    ASSERT_TRUE(FormatMessageText(text, u"[%1]", 4, nullptr, 0, MESSAGE_KEEP_LINE_BREAKS));
    EXPECT_EQ(Utf8(text), "[]");
}

TEST(MessageFormatTest, ReadsOnlyTheGivenLength) {
    STRING text;
    ASSERT_TRUE(FormatMessageText(text, u"abc%1 and more", 3, nullptr, 0, MESSAGE_KEEP_LINE_BREAKS));
    EXPECT_EQ(Utf8(text), "abc");
    ASSERT_TRUE(FormatMessageText(text, u"", 0, nullptr, 0, 80));
    EXPECT_TRUE(text.IsEmpty());
}

#if defined(_WIN32)
// The same cases through FormatMessageW itself, so the expectations above are the system's.
TEST(MessageFormatTest, TheSystemAgrees) {
    for (const FORMAT_CASE& c : Cases()) {
        DWORD_PTR arguments[MESSAGE_MAXIMUM_INSERTS];
        for (uint32_t i = 0; i < MESSAGE_MAXIMUM_INSERTS; ++i) {
            arguments[i] = reinterpret_cast<DWORD_PTR>(i < c.Inserts.size() ? c.Inserts[i] : u"");
        }
        wchar_t* buffer = nullptr;
        const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ARGUMENT_ARRAY |
                                                FORMAT_MESSAGE_ALLOCATE_BUFFER | c.Width,
                                            AsWide(c.Text), 0, 0, reinterpret_cast<LPWSTR>(&buffer), 0,
                                            reinterpret_cast<va_list*>(arguments));
        const std::string system = length != 0 ? Utf8(STRING(AsUtf16(buffer), length)) : std::string();
        if (buffer != nullptr) LocalFree(buffer);
        EXPECT_EQ(length != 0, c.Formats) << c.Name;
        EXPECT_EQ(system, c.Expected) << c.Name;
    }
}
#endif

}  // namespace
}  // namespace qv
