// The one decision both platforms make before storing the server: whether the package's code
// page gives the text back unchanged.
#include <gtest/gtest.h>

#include "transform/codepage.h"

namespace qv {
namespace {

TEST(CodepageTest, APackageHoldsOnlyTextItsCodePageGivesBackUnchanged) {
    EXPECT_TRUE(CodepageHolds(NEUTRAL_CODEPAGE, STRING(u"dc1.example-2 ~'\"%s")));
    for (const char16_t* text : {u"Zürich", u"Москва", u"dc1-Москва", u"東京"}) {
        EXPECT_FALSE(CodepageHolds(NEUTRAL_CODEPAGE, STRING(text)));
    }
    EXPECT_TRUE(CodepageHolds(1252, STRING(u"Zürich-€ café")));
    EXPECT_FALSE(CodepageHolds(1252, STRING(u"dc1-Москва")));
    EXPECT_FALSE(CodepageHolds(1252, STRING(u"東京")));
    // A look-alike ('L' for 'Ł') is not the text.
    EXPECT_FALSE(CodepageHolds(1252, STRING(u"Łódź")));
    EXPECT_TRUE(CodepageHolds(1251, STRING(u"dc1-Москва")));
    EXPECT_TRUE(CodepageHolds(932, STRING(u"東京")));
    // A code page the installer doesn't read holds nothing; none holds a lone surrogate.
    EXPECT_FALSE(CodepageHolds(1200, STRING(u"host")));
    const char16_t lone[] = {u'a', 0xD800, 0};
    EXPECT_FALSE(CodepageHolds(65001, STRING(lone)));
}

}  // namespace
}  // namespace qv
