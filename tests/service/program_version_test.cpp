// The version the program shows is one version wherever it shows it: in its version resource,
// in the banner of its log, in the short text of its events and in every identity request.
#include <gtest/gtest.h>

#include <string>

#include "identity/identity_protocol.h"
#include "identity/identity_request.h"
#include "service/service_host.h"
#include "support/version.h"
#include "tests/support/log_capture.h"
#include "tests/test_text.h"

namespace qv {
namespace {

using test::Utf8;

TEST(ProgramVersionTest, ResourceBannerEventsAndWireShowOneVersion) {
    STRING fileVersion;
    ASSERT_EQ(GetVersionStrings(nullptr, {{u"FileVersion", &fileVersion}}), 0u);
    EXPECT_EQ(Utf8(fileVersion), "1.2.5.26");

    test::LOG_CAPTURE log(0x2);
    LogVersion();
    EXPECT_EQ(log.LinesWith("Quorvane.exe version 1.2.5 build 26 (1.2.5.26), Release x64, Windows version ").size(),
              1u);
    EXPECT_EQ(Utf8(ShortVersionText()), "1.2.5 build 26 Release x64");

    // An IPv4 logon without names: header, field mask, three fixed fields, the address with
    // its version and end marker, then the agent's major, minor and patch.
    SetCurrentConnection(nullptr);
    IP_ADDRESS address;
    ASSERT_TRUE(IpAddressFromText(address, u"10.1.2.3"));
    IDENTITY_REQUEST request;
    IdentityReportLogon(request, address, u"10.1.2.3", nullptr, nullptr);
    ASSERT_GT(request.Length(), 27u);
    const uint8_t* wire = request.Request.Data() + 25;
    EXPECT_EQ(std::to_string(wire[0]) + "." + std::to_string(wire[1]) + "." + std::to_string(wire[2]), "1.2.5");
}

}  // namespace
}  // namespace qv
