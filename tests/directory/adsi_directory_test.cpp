// The ADSI half as far as a machine outside a domain takes it: under Wine NameTranslate is not
// registered and no directory answers, so each look-up ends in its failure line.
#if defined(_WIN32)

#include <gtest/gtest.h>

#include "directory/directory.h"
#include "platform/process_setup.h"
#include "tests/support/log_capture.h"

namespace qv {
namespace {

TEST(AdsiDirectoryTest, LookUpsRunThroughAdsiToTheirFailureLines) {
    COM_APARTMENT com;
    test::LOG_CAPTURE log(0x2 | 0x100 | 0x200);
    SetDirectoryAccess(nullptr);
    DIRECTORY_BINDING binding;
    STRING dn;
    uint32_t code = 0;
    EXPECT_FALSE(TranslateName(ADS_NAME_TYPE_NT4, u"CORP\\alice", ADS_NAME_TYPE_1779, binding, dn, &code));
    EXPECT_NE(code, 0u);
    EXPECT_TRUE(dn.IsEmpty());
    if (code == 0x80040154) {
        EXPECT_EQ(log.LinesWith("NT name = \"CORP\\alice\".").size(), 1u);
        EXPECT_EQ(log.LinesWith("    Unable to create IADsNameTranslate object.").size(), 1u);
        EXPECT_EQ(log.LinesWith(". Error code = 0x80040154.").size(), 1u);
    } else {
        EXPECT_EQ(log.LinesWith("IADsNameTranslate").size(), 1u);
    }

    // An object on a server that does not answer, through the escaped path.
    binding.SetServer(u"127.0.0.1:1");
    EXPECT_FALSE(OpenObject(u"User", u"CN=dave,OU=Branch/East,DC=corp", binding));
    EXPECT_EQ(log.LinesWith("ADsOpenObject failed:").size(), 1u);
    EXPECT_EQ(log.LinesWith("    User DN escaped = \"CN=dave,OU=Branch\\/East,DC=corp\"").size(), 1u);
    GROUP_LIST groups;
    EXPECT_FALSE(GetUserGroups(u"CORP\\alice", groups, binding));
    EXPECT_TRUE(groups.empty());
}

}  // namespace
}  // namespace qv

#endif
