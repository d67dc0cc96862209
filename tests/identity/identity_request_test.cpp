// The request as it goes on the wire, byte for byte. Without a connection a report is built
// and then fails to send, which leaves the built request in the record for inspection.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "identity/identity_protocol.h"
#include "directory/directory_cache.h"
#include "directory/directory_guard.h"
#include "identity/identity_request.h"
#include "platform/os_version.h"
#include "tests/directory/fake_directory_access.h"
#include "tests/support/log_capture.h"
#include "tests/test_text.h"

namespace qv {
namespace {

using test::Utf8;

std::vector<uint8_t> Bytes(const IDENTITY_REQUEST& request) {
    return std::vector<uint8_t>(request.Request.Data(), request.Request.Data() + request.Length());
}

// The OS bytes this machine sends: its code and the low bytes of its version.
std::vector<uint8_t> OsBytes() {
    OS_VERSION os = GetOsVersion();
    return {OperatingSystemCode(), static_cast<uint8_t>(os.Major), static_cast<uint8_t>(os.Minor)};
}

// A wire string: big-endian count of UTF-16 units, then the units little-endian.
std::vector<uint8_t> WireString(const std::u16string& text) {
    std::vector<uint8_t> bytes = {static_cast<uint8_t>(text.size() >> 8), static_cast<uint8_t>(text.size())};
    for (char16_t unit : text) {
        bytes.push_back(static_cast<uint8_t>(unit));
        bytes.push_back(static_cast<uint8_t>(unit >> 8));
    }
    return bytes;
}

void Append(std::vector<uint8_t>& to, const std::vector<uint8_t>& bytes) { to.insert(to.end(), bytes.begin(), bytes.end()); }

uint32_t RequestId(const std::vector<uint8_t>& bytes) {
    return (uint32_t{bytes[6]} << 24) | (uint32_t{bytes[7]} << 16) | (uint32_t{bytes[8]} << 8) | bytes[9];
}

IP_ADDRESS Address(const char16_t* text) {
    IP_ADDRESS address;
    EXPECT_TRUE(IpAddressFromText(address, text));
    return address;
}

class IdentityRequestTest : public ::testing::Test {
protected:
    void SetUp() override { SetCurrentConnection(nullptr); }
    test::LOG_CAPTURE Log{0x102};
};

TEST_F(IdentityRequestTest, AnAddressAloneIsThirtyFourBytesAsDescribed) {
    IDENTITY_REQUEST request;
    EXPECT_FALSE(IdentityReportLogon(request, Address(u"10.1.2.3"), u"10.1.2.3", nullptr, nullptr));
    std::vector<uint8_t> bytes = Bytes(request);
    std::vector<uint8_t> expected = {0x00, 0x22, 0x00, 0x03, 0x00, 0x10, bytes[6], bytes[7], bytes[8], bytes[9],
                                     0x00, 0x00, 0x0E, 0x06, 0x02, 0x00, 0x00, 0x00, 0x01, 0x04,
                                     0x0A, 0x01, 0x02, 0x03, 0x13, 0x01, 0x02, 0x05};
    Append(expected, OsBytes());
    Append(expected, {0x00, 0x00, 0x20});
    EXPECT_EQ(bytes, expected);
    EXPECT_NE(RequestId(bytes), 0u);
    EXPECT_EQ(request.AddressField, 19u);
    EXPECT_EQ(request.KindField, 33u);
    EXPECT_EQ(request.UserNameField, NO_FIELD);
    EXPECT_EQ(request.ComputerNameField, NO_FIELD);
    // "<N/A>" stands for each missing name.
    EXPECT_EQ(Log.LinesWith("User name = \"<N/A>\",").size(), 1u);
}

TEST_F(IdentityRequestTest, SectionsSetTheirMaskBitsAndCarryShortenedNames) {
    test::FAKE_DIRECTORY_ACCESS directory;
    directory.AddName(ADS_NAME_TYPE_NT4, u"CORP\\alice", ADS_NAME_TYPE_1779, u"CN=Alice,OU=Staff,DC=corp,DC=example");
    directory.AddName(ADS_NAME_TYPE_NT4, u"CORP\\pc7$", ADS_NAME_TYPE_1779, u"CN=PC7,OU=Desks,DC=corp,DC=example");

    struct CASE {
        const char16_t* User;
        const char16_t* Computer;
        uint32_t Mask;
    } cases[] = {{nullptr, nullptr, 0xE06}, {u"CORP.example\\alice", nullptr, 0xFC6},
                 {nullptr, u"CORP\\pc7", 0xE3E}, {u"CORP\\alice", u"CORP.example\\pc7", 0xFFE}, {u"", u"", 0xE06}};
    for (const CASE& item : cases) {
        IDENTITY_REQUEST request;
        IdentityReportLogon(request, Address(u"192.0.2.1"), u"192.0.2.1", item.User, item.Computer);
        std::vector<uint8_t> bytes = Bytes(request);
        ASSERT_GE(bytes.size(), 34u);
        uint32_t mask = (uint32_t{bytes[10]} << 24) | (uint32_t{bytes[11]} << 16) | (uint32_t{bytes[12]} << 8) | bytes[13];
        EXPECT_EQ(mask, item.Mask);
        EXPECT_EQ(bytes.size(), (uint32_t{bytes[0]} << 8 | bytes[1]));

        std::vector<uint8_t> tail;
        bool computer = item.Computer && *item.Computer;
        bool user = item.User && *item.User;
        if (computer) {
            Append(tail, WireString(u"CORP\\pc7"));
            Append(tail, WireString(u"CN=PC7,OU=Desks,DC=corp,DC=example"));
            Append(tail, WireString(u"Desks"));
        }
        if (user) {
            Append(tail, WireString(u"CORP\\alice"));
            Append(tail, WireString(u"CN=Alice,OU=Staff,DC=corp,DC=example"));
            Append(tail, WireString(u"Staff"));
        }
        Append(tail, {0x00, 0x00, 0x20});  // no groups over a secure or missing connection
        ASSERT_EQ(bytes.size(), 31u + tail.size());
        EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 31, bytes.end()), tail);
        EXPECT_EQ(request.ComputerNameField, computer ? 31u : NO_FIELD);
        if (user) {
            EXPECT_EQ(bytes[request.UserNameField + 2], 'C');
        }
        EXPECT_EQ(request.KindField, bytes.size() - 1);
    }
    EXPECT_TRUE(directory.Opened.empty());  // no group look-up without a plain connection
}

TEST_F(IdentityRequestTest, IPv6AddressesTakeSixteenBytes) {
    IDENTITY_REQUEST request;
    IdentityReportLogon(request, Address(u"2001:db8::5"), u"2001:db8::5", nullptr, nullptr);
    std::vector<uint8_t> bytes = Bytes(request);
    ASSERT_EQ(bytes.size(), 46u);
    EXPECT_EQ(bytes[19], 6);
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 20, bytes.begin() + 36),
              (std::vector<uint8_t>{0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 5}));
    EXPECT_EQ(bytes[36], 0x13);
}

TEST_F(IdentityRequestTest, NamesBeyondAsciiAndTheBasicPlaneAreCountedInUtf16Units) {
    IDENTITY_REQUEST request;
    const char16_t* user = u"CORP\\J\u00f6rg\U0001F600";  // ö and an emoji (a surrogate pair)
    IdentityReportLogon(request, Address(u"10.0.0.9"), u"10.0.0.9", user, nullptr);
    std::vector<uint8_t> bytes = Bytes(request);
    std::vector<uint8_t> name = WireString(user);
    EXPECT_EQ(name[1], 11);  // 5 + 4 + 2 units
    ASSERT_NE(request.UserNameField, NO_FIELD);
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + request.UserNameField,
                                   bytes.begin() + request.UserNameField + name.size()),
              name);
    EXPECT_EQ(Log.LinesWith("User name = \"CORP\\J\xc3\xb6rg\xf0\x9f\x98\x80\",").size(), 1u);
}

TEST_F(IdentityRequestTest, ShorteningDropsTheLastDomainLabel) {
    EXPECT_EQ(Utf8(ShortenAccountDomain(u"a.b.c\\user")), "a.b\\user");
    EXPECT_EQ(Utf8(ShortenAccountDomain(u"a.b\\user")), "a\\user");
    EXPECT_EQ(Utf8(ShortenAccountDomain(u"CORP\\user")), "CORP\\user");
    EXPECT_EQ(Utf8(ShortenAccountDomain(u"user")), "user");
    EXPECT_EQ(Utf8(ShortenAccountDomain(u"user.name")), "user.name");
    EXPECT_EQ(Utf8(ShortenAccountDomain(u"x\\a.b\\user")), "x\\a\\user");
    EXPECT_TRUE(ShortenAccountDomain(u"").IsEmpty());
    EXPECT_TRUE(ShortenAccountDomain(nullptr).IsEmpty());
}

TEST_F(IdentityRequestTest, AccountsAreNamedByTheirDomainsNetbiosNameWhenTheDirectoryKnowsIt) {
    test::FAKE_DIRECTORY_ACCESS directory;
    directory.AddName(ADS_NAME_TYPE_CANONICAL, u"THREEBEESCO.COM/", ADS_NAME_TYPE_NT4, u"3B\\");
    DIRECTORY_BINDING binding;
    EXPECT_EQ(Utf8(AccountNameForReport(u"THREEBEESCO.COM\\a-jbrown", binding)), "3B\\a-jbrown");
    EXPECT_EQ(Utf8(AccountNameForReport(u"3B\\a-jbrown", binding)), "3B\\a-jbrown");
    // A domain the directory cannot name keeps the shortened form.
    EXPECT_EQ(Utf8(AccountNameForReport(u"CORP.EXAMPLE.COM\\bob", binding)), "CORP.EXAMPLE\\bob");
    EXPECT_EQ(Utf8(AccountNameForReport(u"bob", binding)), "bob");
    EXPECT_TRUE(AccountNameForReport(nullptr, binding).IsEmpty());
    // A directory that cannot be reached once the answer has aged never changes the name a
    // user goes by.
    uint64_t now = 1000;
    DirectoryCache().Configure(DIRECTORY_CACHE_AGE_MILLISECONDS, DIRECTORY_CACHE_ENTRIES, [&now] { return now; });
    EXPECT_EQ(Utf8(AccountNameForReport(u"THREEBEESCO.COM\\a-jbrown", binding)), "3B\\a-jbrown");
    now += DIRECTORY_CACHE_AGE_MILLISECONDS;
    directory.InitFailure = 0x8007203A;
    EXPECT_EQ(Utf8(AccountNameForReport(u"THREEBEESCO.COM\\a-jbrown", binding)), "3B\\a-jbrown");
    directory.InitFailure = 0;
    DirectoryCache().Configure(DIRECTORY_CACHE_AGE_MILLISECONDS, DIRECTORY_CACHE_ENTRIES);
    ResetDirectoryGuard();  // the failure paused look-ups

    // The Kerberos and the NTLM form of one user make one request, and the logoff reads it back.
    IDENTITY_REQUEST kerberos, ntlm;
    IdentityReportLogon(kerberos, Address(u"10.1.2.3"), u"10.1.2.3", u"THREEBEESCO.COM\\a-jbrown",
                        u"THREEBEESCO.COM\\pc7");
    IdentityReportLogon(ntlm, Address(u"10.1.2.3"), u"10.1.2.3", u"3B\\a-jbrown", u"3B\\pc7");
    std::vector<uint8_t> first = Bytes(kerberos), second = Bytes(ntlm);
    ASSERT_EQ(first.size(), second.size());
    EXPECT_TRUE(std::equal(first.begin() + 10, first.end(), second.begin() + 10));
    EXPECT_EQ(Log.LinesWith("User name = \"3B\\a-jbrown\",").size(), 2u);
    IdentityReportLogoff(kerberos);
    EXPECT_EQ(Log.LinesWith("IdentityReportLogoff: NtUserName = \"3B\\a-jbrown\"").size(), 1u);
}

TEST_F(IdentityRequestTest, HeartbeatAndLogoffChangeOnlyTheKindAndTheId) {
    IDENTITY_REQUEST request;
    IdentityReportLogon(request, Address(u"10.1.2.3"), u"10.1.2.3", u"CORP\\bob", u"CORP\\pc1");
    std::vector<uint8_t> logon = Bytes(request);
    EXPECT_EQ(logon.back(), 0x20);
    IdentityReportHeartbeat(request);
    std::vector<uint8_t> heartbeat = Bytes(request);
    ASSERT_EQ(heartbeat.size(), logon.size());
    EXPECT_EQ(heartbeat.back(), 0x30);
    IdentityReportLogoff(request);
    std::vector<uint8_t> logoff = Bytes(request);
    ASSERT_EQ(logoff.size(), logon.size());
    EXPECT_EQ(logoff.back(), 0x21);
    EXPECT_EQ(request.KindField, logon.size() - 1);
    for (size_t i = 0; i + 1 < logon.size(); ++i) {
        if (i >= 6 && i < 10) continue;
        EXPECT_EQ(heartbeat[i], logon[i]) << i;
        EXPECT_EQ(logoff[i], logon[i]) << i;
    }
    EXPECT_EQ(Log.LinesWith("IdentityReportLogoff: NtUserName = \"CORP\\bob\", IpAddress = \"10.1.2.3\", Request length = ")
                  .size(),
              1u);
}

TEST_F(IdentityRequestTest, TheLogoffLineReadsAnIPv6AddressBack) {
    IDENTITY_REQUEST request;
    IdentityReportLogon(request, Address(u"2001:db8::5"), u"2001:db8::5", u"CORP\\bob", nullptr);
    IdentityReportLogoff(request);
    EXPECT_EQ(Log.LinesWith("IdentityReportLogoff: NtUserName = \"CORP\\bob\", IpAddress = \"2001:db8::5\", Request length = ")
                  .size(),
              1u);
}

// Lengths are 16-bit: 65,535 bytes is the longest request there is.
TEST_F(IdentityRequestTest, RequestsUpToSixtyFiveThousandFiveHundredThirtyFiveBytesAreBuilt) {
    const IP_ADDRESS address = Address(u"10.1.2.3");
    IDENTITY_SECTION computer;
    IDENTITY_SECTION user;
    user.Present = true;
    user.Name = (u"CORP\\" + std::u16string(95, u'u')).c_str();  // 100 units
    // 34 bytes, the user section (6 + 200), the group marker and one group (4 + 2 + 2 * DN).
    auto withGroup = [&](size_t dnUnits) {
        GROUP_LIST groups;
        groups.push_back({STRING(u"G"), STRING(std::u16string(dnUnits, u'd').c_str())});
        return groups;
    };
    IDENTITY_REQUEST request;
    GROUP_LIST groups = withGroup(32644);
    ASSERT_TRUE(EncodeIdentityRequest(request, address, computer, user, groups));
    EXPECT_EQ(request.Length(), 65535u);
    EXPECT_EQ(groups.size(), 1u);
    EXPECT_EQ(Bytes(request)[0], 0xFF);
    EXPECT_EQ(Bytes(request)[1], 0xFF);

    groups = withGroup(32645);  // 65,537 bytes: the group is left out
    ASSERT_TRUE(EncodeIdentityRequest(request, address, computer, user, groups));
    EXPECT_EQ(groups.size(), 0u);
    EXPECT_EQ(request.Length(), 240u);

    // Names alone of 65,536 bytes cannot be sent at all; 65,534 can.
    groups.clear();
    user.Name = (u"CORP\\" + std::u16string(32743, u'u')).c_str();
    EXPECT_FALSE(EncodeIdentityRequest(request, address, computer, user, groups));
    user.Name = (u"CORP\\" + std::u16string(32742, u'u')).c_str();
    ASSERT_TRUE(EncodeIdentityRequest(request, address, computer, user, groups));
    EXPECT_EQ(request.Length(), 65534u);
}

TEST_F(IdentityRequestTest, RequestIdsAreUniqueAndIncreasing) {
    uint32_t first = NextRequestId();
    uint32_t second = NextRequestId();
    EXPECT_GT(second, first);
}

TEST_F(IdentityRequestTest, AnUncountableNameIsRefusedWhole) {
    std::u16string huge = u"CORP\\" + std::u16string(70000, u'x');
    IDENTITY_REQUEST request;
    EXPECT_FALSE(IdentityReportLogon(request, Address(u"10.1.2.3"), u"10.1.2.3", huge.c_str(), nullptr));
    EXPECT_EQ(request.Length(), 0u);
    EXPECT_EQ(request.KindField, NO_FIELD);
    EXPECT_EQ(Log.LinesWith("longer than 65535 characters; the request is not sent").size(), 1u);
}

}  // namespace
}  // namespace qv
