#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "base/error_codes.h"
#include "identity/ip_address.h"
#include "support/format.h"
#include "tests/identity/fake_host_resolver.h"
#include "tests/support/log_capture.h"
#include "tests/test_text.h"

namespace qv {
namespace {

using test::Utf8;

constexpr uint32_t LOG_FILE_MODE = 0x2;

std::vector<uint8_t> Bytes(const IP_ADDRESS& address) {
    const uint8_t* bytes = IpAddressBytes(address);
    return bytes ? std::vector<uint8_t>(bytes, bytes + IpAddressLength(address)) : std::vector<uint8_t>();
}

TEST(IpAddressTest, TextBecomesAnAddressOfTheRightFamily) {
    IP_ADDRESS v4;
    ASSERT_TRUE(IpAddressFromText(v4, u"10.1.2.3"));
    EXPECT_EQ(v4.Family, IP_FAMILY_IPV4);
    EXPECT_EQ(IpAddressVersion(v4), 4u);
    EXPECT_EQ(IpAddressLength(v4), 4u);
    EXPECT_EQ(Bytes(v4), (std::vector<uint8_t>{10, 1, 2, 3}));

    IP_ADDRESS v6;
    ASSERT_TRUE(IpAddressFromText(v6, u"fe80::1"));
    EXPECT_EQ(v6.Family, IP_FAMILY_IPV6);
    EXPECT_EQ(IpAddressVersion(v6), 6u);
    EXPECT_EQ(IpAddressLength(v6), 16u);
    std::vector<uint8_t> expected(16, 0);
    expected[0] = 0xfe;
    expected[1] = 0x80;
    expected[15] = 1;
    EXPECT_EQ(Bytes(v6), expected);

    // Round trip through the platform's own text.
    STRING text;
    ASSERT_TRUE(AddressToString(v6.SocketAddress.Data(), v6.SocketAddress.Size(), text));
    EXPECT_EQ(Utf8(text), "fe80::1");
    ASSERT_TRUE(AddressToString(v4.SocketAddress.Data(), v4.SocketAddress.Size(), text));
    EXPECT_EQ(Utf8(text), "10.1.2.3");
}

TEST(IpAddressTest, AHostNameIsNotAnAddressAndSaysSo) {
    test::LOG_CAPTURE log(LOG_FILE_MODE);
    IP_ADDRESS address;
    EXPECT_FALSE(IpAddressFromText(address, u"fileserver"));
    EXPECT_EQ(address.Family, IP_FAMILY_NONE);
    EXPECT_EQ(IpAddressVersion(address), 0u);
    EXPECT_EQ(IpAddressLength(address), 0u);
    EXPECT_EQ(IpAddressBytes(address), nullptr);
    EXPECT_EQ(log.LinesWith("Address \"fileserver\" is not valid for family 2.").size(), 1u);

    // A colon makes it IPv6, and the family number in the line is the platform's own.
    EXPECT_FALSE(IpAddressFromText(address, u"not:an:address"));
    STRING line;
    FormatString(line, u"Address \"not:an:address\" is not valid for family %u.", IP_FAMILY_IPV6);
    EXPECT_EQ(log.LinesWith(Utf8(line)).size(), 1u);
}

TEST(IpAddressTest, OnlyTheExactLoopbackAddressesAreLoopback) {
    struct CASE {
        const char16_t* Text;
        bool Loopback;
    } cases[] = {{u"127.0.0.1", true}, {u"::1", true}, {u"127.0.0.2", false}, {u"10.0.0.1", false},
                 {u"::2", false}};
    for (const CASE& item : cases) {
        IP_ADDRESS address;
        ASSERT_TRUE(IpAddressFromText(address, item.Text)) << Utf8(item.Text);
        EXPECT_EQ(IsLoopbackAddress(address), item.Loopback) << Utf8(item.Text);
    }
    EXPECT_FALSE(IsLoopbackAddress(IP_ADDRESS()));
}

TEST(IpAddressTest, AnUnconvertibleSocketAddressIsLoggedInHex) {
    test::LOG_CAPTURE log(LOG_FILE_MODE);
    uint8_t bogus[6] = {0x07, 0x00, 0xAB, 0xCD, 0x01, 0x02};  // family 7, far too short
    STRING text;
    EXPECT_FALSE(AddressToString(bogus, sizeof bogus, text));
    std::vector<std::string> lines = log.Lines();
    std::string all;
    for (const std::string& line : lines) all += line + "\n";
    EXPECT_NE(all.find("Unable to convert address = [07 00 AB CD 01 02],"), std::string::npos) << all;
    EXPECT_NE(all.find("    Length = 6, Family = 7 to a string."), std::string::npos) << all;
    EXPECT_NE(all.find(". Error code = 100"), std::string::npos) << all;  // the platform says which
}

TEST(IpAddressTest, HostDiscoverySkipsLoopbackAndFallsBackAcrossFamilies) {
    test::LOG_CAPTURE log(LOG_FILE_MODE);
    test::FAKE_HOST_RESOLVER resolver;
    resolver.Name = "dc1";
    resolver.AddLocal(u"127.0.0.1");
    resolver.AddLocal(u"::1");
    resolver.AddLocal(u"2001:db8::7");
    resolver.AddLocal(u"2001:db8::8");
    DiscoverHostAddresses();
    std::string all;
    for (const std::string& line : log.Lines()) all += line + "\n";
    EXPECT_NE(all.find("HostName = \"dc1\",\n    HostIpV4 = None,\n    HostIpV6 = 2001:db8::7"), std::string::npos)
        << all;

    // Asked for IPv4, the host has only IPv6 to offer.
    IP_ADDRESS address(IP_FAMILY_IPV4);
    STRING text;
    ASSERT_TRUE(GetLocalAddress(address, text));
    EXPECT_EQ(Utf8(text), "2001:db8::7");
    EXPECT_EQ(address.Family, IP_FAMILY_IPV6);

    // With both families the asked one wins, and the first address in the resolver's order.
    resolver.Addresses.clear();
    resolver.AddLocal(u"192.0.2.10");
    resolver.AddLocal(u"192.0.2.11");
    resolver.AddLocal(u"2001:db8::9");
    DiscoverHostAddresses();
    IP_ADDRESS v4(IP_FAMILY_IPV4), v6(IP_FAMILY_IPV6);
    ASSERT_TRUE(GetLocalAddress(v4, text));
    EXPECT_EQ(Utf8(text), "192.0.2.10");
    ASSERT_TRUE(GetLocalAddress(v6, text));
    EXPECT_EQ(Utf8(text), "2001:db8::9");
    IP_ADDRESS none(IP_FAMILY_NONE);
    EXPECT_FALSE(GetLocalAddress(none, text));

    // A host with no name gives nothing at all.
    resolver.HostNameError = ERR_WSANO_RECOVERY;
    DiscoverHostAddresses();
    EXPECT_FALSE(GetLocalAddress(v4, text));
    EXPECT_EQ(log.LinesWith("Unable to get host name.").size(), 1u);
}

TEST(IpAddressTest, ReverseLookupGoesThroughTheResolverInUse) {
    test::FAKE_HOST_RESOLVER resolver;
    resolver.Names[u"192.0.2.44"] = u"pc44.corp.example";
    IP_ADDRESS address;
    ASSERT_TRUE(IpAddressFromText(address, u"192.0.2.44"));
    STRING name;
    ASSERT_TRUE(LookupHostName(address.SocketAddress.Data(), address.SocketAddress.Size(), name));
    EXPECT_EQ(Utf8(name), "pc44.corp.example");
    ASSERT_TRUE(IpAddressFromText(address, u"192.0.2.45"));
    EXPECT_FALSE(LookupHostName(address.SocketAddress.Data(), address.SocketAddress.Size(), name));
}

}  // namespace
}  // namespace qv
