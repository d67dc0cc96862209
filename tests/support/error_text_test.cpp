#include <gtest/gtest.h>

#include "base/error_codes.h"
#include "platform/error_text.h"
#include "support/format.h"
#include "tests/test_text.h"

namespace qv {
namespace {

using test::Utf8;

TEST(ErrorTextTest, TrimsLineBreaksThenOnePeriod) {
    STRING text(u"The handle is invalid.\r\n");
    TrimErrorText(text);
    EXPECT_EQ(Utf8(text), "The handle is invalid");

    STRING twoPeriods(u"Something odd happened..\r\n");
    TrimErrorText(twoPeriods);
    EXPECT_EQ(Utf8(twoPeriods), "Something odd happened.");

    STRING noPeriod(u"No period\n\r\n");
    TrimErrorText(noPeriod);
    EXPECT_EQ(Utf8(noPeriod), "No period");

    STRING onlyBreaks(u".\r\n");
    TrimErrorText(onlyBreaks);
    EXPECT_TRUE(onlyBreaks.IsEmpty());
}

TEST(ErrorTextTest, CodesTheProgramProducesHaveTexts) {
    const uint32_t codes[] = {ERR_FILE_NOT_FOUND,       ERR_ACCESS_DENIED,       ERR_NOT_ENOUGH_MEMORY,
                              ERR_HANDLE_EOF,           ERR_INVALID_PARAMETER,   ERR_INSUFFICIENT_BUFFER,
                              ERR_MORE_DATA,            ERR_EVENTLOG_FILE_CHANGED, ERR_INVALID_DATATYPE,
                              ERR_WSAEFAULT,            ERR_WSAEINVAL,           ERR_WSAECONNREFUSED};
    // (Wine has no text for 10060, so it is checked only where the texts are our own, below.)
    for (uint32_t code : codes) {
        STRING text;
        EXPECT_TRUE(GetErrorText(code, text)) << code;
        ASSERT_FALSE(text.IsEmpty()) << code;
        // The shape every failure message relies on: no line break, no final period.
        EXPECT_NE(text.LastUnit(), u'.') << code;
        EXPECT_NE(text.LastUnit(), u'\n') << code;
        EXPECT_NE(text.LastUnit(), u'\r') << code;
    }
}

TEST(ErrorTextTest, UnknownCodesGiveAnEmptyText) {
    STRING text(u"previous");
    EXPECT_FALSE(GetErrorText(0x2FFFFFFFu, text));
    EXPECT_TRUE(text.IsEmpty());
    EXPECT_TRUE(GetErrorText(0x2FFFFFFFu).IsEmpty());
}

TEST(ErrorTextTest, ComposesTheOneFailureMessageShape) {
    STRING message;
    FormatString(message, u"Unable to write %lu bytes to log file. %s. Error code = %lu.", 12u,
                 GetErrorText(ERR_DISK_FULL), ERR_DISK_FULL);
    std::string text = Utf8(message);
    EXPECT_EQ(text.rfind("Unable to write 12 bytes to log file. ", 0), 0u);
    EXPECT_NE(text.find(". Error code = 112."), std::string::npos);
    EXPECT_EQ(text.find(".. Error code"), std::string::npos);
}

#if !defined(_WIN32)
// Off Windows the texts are the Windows system's own, so logs read the same everywhere.
TEST(ErrorTextTest, TextsAreTheWindowsTexts) {
    EXPECT_EQ(Utf8(GetErrorText(ERR_ACCESS_DENIED)), "Access is denied");
    EXPECT_EQ(Utf8(GetErrorText(ERR_HANDLE_EOF)), "Reached the end of the file");
    EXPECT_EQ(Utf8(GetErrorText(ERR_EVENTLOG_FILE_CHANGED)), "The event log file has changed between read operations");
    EXPECT_EQ(Utf8(GetErrorText(ERR_WSAETIMEDOUT)).rfind("A connection attempt failed because", 0), 0u);
    EXPECT_EQ(Utf8(GetErrorText(ERR_WSAECONNREFUSED)),
              "No connection could be made because the target machine actively refused it");
}
#endif

}  // namespace
}  // namespace qv
