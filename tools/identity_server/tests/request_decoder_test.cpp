#include "tools/identity_server/request_decoder.h"

#include "tools/identity_server/tests/test_requests.h"

#include <gtest/gtest.h>

#include <functional>

namespace qv::identity_server {
namespace {

using test::ACCOUNT_SECTION;
using test::EncodeTestRequest;
using test::ExampleRequest;
using test::TEST_REQUEST;

TEST(RequestDecoder, DecodesTheDescribedExampleLogon)
{
    const std::vector<uint8_t> bytes = ExampleRequest(0xA1B2C3D4);
    ASSERT_EQ(bytes.size(), 34u);
    TEST_REQUEST sameRequest;
    sameRequest.RequestId = 0xA1B2C3D4;
    EXPECT_EQ(EncodeTestRequest(sameRequest), bytes) << "the test builder itself";

    const DECODE_RESULT result = DecodeRequest(bytes);
    ASSERT_TRUE(result.Valid) << result.Error;
    const IDENTITY_REQUEST_FIELDS& fields = result.Fields;
    EXPECT_EQ(fields.Length, 34);
    EXPECT_EQ(fields.RequestId, 0xA1B2C3D4u);
    EXPECT_EQ(fields.FieldMask, 0x00000E06u);
    EXPECT_EQ(fields.IpVersion, 4);
    EXPECT_EQ(AddressText(fields), "10.1.2.3");
    EXPECT_EQ(fields.AgentMajor, 1);
    EXPECT_EQ(fields.AgentMinor, 2);
    EXPECT_EQ(fields.AgentPatch, 5);
    EXPECT_EQ(fields.OsCode, 12);
    EXPECT_EQ(fields.OsMajor, 10);
    EXPECT_EQ(fields.OsMinor, 0);
    EXPECT_FALSE(fields.HasComputer);
    EXPECT_FALSE(fields.HasUser);
    EXPECT_TRUE(fields.Groups.empty());
    EXPECT_EQ(fields.Kind, REPORT_KIND_LOGON);
    EXPECT_STREQ(KindName(fields.Kind), "logon");
}

TEST(RequestDecoder, DecodesIpv6WithBothSectionsAndGroups)
{
    TEST_REQUEST request;
    request.IpVersion = 6;
    request.Address = {0xFE, 0x80, 0, 0, 0, 0, 0, 0, 0x02, 0x11, 0x22, 0xFF, 0xFE, 0x33, 0x44, 0x55};
    // é (2 UTF-8 bytes), € (3), and U+1F600 as a surrogate pair (4).
    request.Computer = ACCOUNT_SECTION{u"CORP\\pc\u00e9", u"CN=pc\u00e9,OU=Desks,DC=corp", u"Desks"};
    request.User = ACCOUNT_SECTION{u"CORP\\\u20acva\U0001F600", u"CN=Eva,OU=Staff,DC=corp", u"Staff"};
    request.Groups = {{u"CORP\\Domain Users", u"CN=Domain Users,CN=Users,DC=corp"}, {u"CORP\\g\U0001F600", u""}};
    request.Kind = REPORT_KIND_HEARTBEAT;
    const std::vector<uint8_t> bytes = EncodeTestRequest(request);

    const DECODE_RESULT result = DecodeRequest(bytes);
    ASSERT_TRUE(result.Valid) << result.Error;
    const IDENTITY_REQUEST_FIELDS& fields = result.Fields;
    EXPECT_EQ(fields.FieldMask, 0x00000FFEu);
    EXPECT_EQ(AddressText(fields), "fe80::211:22ff:fe33:4455");
    EXPECT_EQ(fields.ComputerName, "CORP\\pc\xC3\xA9");
    EXPECT_EQ(fields.ComputerDn, "CN=pc\xC3\xA9,OU=Desks,DC=corp");
    EXPECT_EQ(fields.ComputerOu, "Desks");
    EXPECT_EQ(fields.UserName, "CORP\\\xE2\x82\xACva\xF0\x9F\x98\x80");
    EXPECT_EQ(fields.UserDn, "CN=Eva,OU=Staff,DC=corp");
    EXPECT_EQ(fields.UserOu, "Staff");
    ASSERT_EQ(fields.Groups.size(), 2u);
    EXPECT_EQ(fields.Groups[0].Name, "CORP\\Domain Users");
    EXPECT_EQ(fields.Groups[0].Dn, "CN=Domain Users,CN=Users,DC=corp");
    EXPECT_EQ(fields.Groups[1].Name, "CORP\\g\xF0\x9F\x98\x80");
    EXPECT_EQ(fields.Groups[1].Dn, "");
    EXPECT_STREQ(KindName(fields.Kind), "heartbeat");
}

TEST(RequestDecoder, TheMaskNamesTheSectionsPresent)
{
    TEST_REQUEST userOnly;
    userOnly.User = ACCOUNT_SECTION{u"CORP\\alice", u"", u""};
    userOnly.Kind = REPORT_KIND_LOGOFF;
    DECODE_RESULT result = DecodeRequest(EncodeTestRequest(userOnly));
    ASSERT_TRUE(result.Valid) << result.Error;
    EXPECT_EQ(result.Fields.FieldMask, 0x00000FC6u);
    EXPECT_TRUE(result.Fields.HasUser);
    EXPECT_FALSE(result.Fields.HasComputer);
    EXPECT_EQ(result.Fields.UserName, "CORP\\alice");
    EXPECT_STREQ(KindName(result.Fields.Kind), "logoff");

    TEST_REQUEST computerOnly;
    computerOnly.Computer = ACCOUNT_SECTION{u"CORP\\pc7", u"", u""};
    result = DecodeRequest(EncodeTestRequest(computerOnly));
    ASSERT_TRUE(result.Valid) << result.Error;
    EXPECT_EQ(result.Fields.FieldMask, 0x00000E3Eu);
    EXPECT_FALSE(result.Fields.HasUser);
    EXPECT_EQ(result.Fields.ComputerName, "CORP\\pc7");
}

TEST(RequestDecoder, AcceptsAnAddressOfNeitherFamily)
{
    TEST_REQUEST request;
    request.IpVersion = 0;
    request.Address.clear();
    const DECODE_RESULT result = DecodeRequest(EncodeTestRequest(request));
    ASSERT_TRUE(result.Valid) << result.Error;
    EXPECT_EQ(result.Fields.IpVersion, 0);
    EXPECT_EQ(AddressText(result.Fields), "");
    EXPECT_EQ(result.Fields.Length, 30);
}

struct MALFORMATION {
    const char* Name;
    std::function<void(std::vector<uint8_t>&)> Spoil;
    size_t Offset;
    const char* Message;
};

void SetLength(std::vector<uint8_t>& bytes)
{
    bytes[0] = static_cast<uint8_t>(bytes.size() >> 8);
    bytes[1] = static_cast<uint8_t>(bytes.size());
}

// Offsets in the 34-byte example: 10 FieldMask, 14 fixed 2, 15 and 17 fixed words, 19 IP
// version, 24 fixed 19, 28 OS code, 31 GroupCount, 33 kind.
const MALFORMATION EXAMPLE_MALFORMATIONS[] = {
    {"length", [](auto& b) { b[1] = 35; }, 0, "Length at offset 0 is 35, but the request has 34 bytes"},
    {"header fixed", [](auto& b) { b[3] = 4; }, 2, "header fixed field at offset 2 is 4, expected 3"},
    {"code", [](auto& b) { b[4] = 0x80; }, 4, "request code at offset 4 is 0x8010, expected 0x0010"},
    {"mask", [](auto& b) { b[13] = 0x07; }, 10,
     "FieldMask at offset 10 is 0x00000E07, expected 0x00000E06, 0x00000E3E, 0x00000FC6 or 0x00000FFE "
     "(FieldMask 0x00000E07 does not match the sections sent: they fit 0x00000E06)"},
    {"fixed 2", [](auto& b) { b[14] = 3; }, 14, "fixed byte after FieldMask at offset 14 is 3, expected 2"},
    {"fixed 0", [](auto& b) { b[16] = 1; }, 15, "fixed zero word after FieldMask at offset 15 is 1, expected 0"},
    {"fixed 1", [](auto& b) { b[17] = 1; }, 17, "fixed one word after FieldMask at offset 17 is 257, expected 1"},
    {"ip version", [](auto& b) { b[19] = 5; }, 19, "IP version at offset 19 is 5, expected 4, 6 or 0"},
    {"fixed 19", [](auto& b) { b[24] = 0x14; }, 24, "fixed byte before the agent version at offset 24 is 20, expected 19"},
    {"os code", [](auto& b) { b[28] = 3; }, 28, "OS code at offset 28 is 3, not one of 0, 1, 2, 4 to 12"},
    {"kind", [](auto& b) { b[33] = 0x22; }, 33, "kind at offset 33 is 0x22, expected 0x20, 0x21 or 0x30"},
    {"left over",
     [](auto& b) {
         b.push_back(0);
         SetLength(b);
     },
     34, "1 byte(s) left over after the kind byte, from offset 34"},
    {"no kind",
     [](auto& b) {
         b.pop_back();
         SetLength(b);
     },
     33, "kind at offset 33: needs 1 byte(s), the request ends after 0"},
    {"cut in the address",
     [](auto& b) {
         b.resize(22);
         SetLength(b);
     },
     20, "IPv4 address at offset 20: needs 4 byte(s), the request ends after 2"},
    {"group marker",
     [](auto& b) {
         b[32] = 1;  // one group: marker, then two empty strings before the kind
         b.insert(b.begin() + 33, {7, 0, 0, 0, 0});
         SetLength(b);
     },
     33, "group marker at offset 33 is 7, expected 0"},
};

TEST(RequestDecoder, ReportsEachMalformationWithItsOffset)
{
    for (const MALFORMATION& malformation : EXAMPLE_MALFORMATIONS) {
        SCOPED_TRACE(malformation.Name);
        std::vector<uint8_t> bytes = ExampleRequest(77);
        malformation.Spoil(bytes);
        const DECODE_RESULT result = DecodeRequest(bytes);
        EXPECT_FALSE(result.Valid);
        EXPECT_EQ(result.Error, malformation.Message);
        EXPECT_EQ(result.ErrorOffset, malformation.Offset);
        // Whatever is wrong, the answer can still carry the request's identifier.
        EXPECT_TRUE(result.HasRequestId);
        EXPECT_EQ(result.Fields.RequestId, 77u);
    }
}

TEST(RequestDecoder, ChecksStringCountsAndSurrogates)
{
    TEST_REQUEST request;
    request.User = ACCOUNT_SECTION{u"ab", u"", u""};
    const std::vector<uint8_t> valid = EncodeTestRequest(request);
    const size_t nameAt = 31;  // the user name's count, right after the OS minor version
    ASSERT_EQ(valid[nameAt + 1], 2);

    struct CASE {
        const char* Name;
        uint16_t FirstUnit;
        uint16_t SecondUnit;
        const char* Message;
    };
    const CASE cases[] = {
        {"lone low", 0xDC00, u'b', "user name at offset 31: low surrogate without a high surrogate: 0xDC00 at code unit 0"},
        {"high then letter", 0xD83D, u'b',
         "user name at offset 31: high surrogate not followed by a low surrogate: 0xD83D at code unit 0"},
        {"high at the end", u'a', 0xD83D, "user name at offset 31: high surrogate at the end of the string: 0xD83D at code unit 1"},
    };
    for (const CASE& broken : cases) {
        SCOPED_TRACE(broken.Name);
        std::vector<uint8_t> bytes = valid;
        bytes[nameAt + 2] = static_cast<uint8_t>(broken.FirstUnit);
        bytes[nameAt + 3] = static_cast<uint8_t>(broken.FirstUnit >> 8);
        bytes[nameAt + 4] = static_cast<uint8_t>(broken.SecondUnit);
        bytes[nameAt + 5] = static_cast<uint8_t>(broken.SecondUnit >> 8);
        const DECODE_RESULT result = DecodeRequest(bytes);
        EXPECT_FALSE(result.Valid);
        EXPECT_EQ(result.Error, broken.Message);
        EXPECT_EQ(result.ErrorOffset, nameAt);
    }

    std::vector<uint8_t> tooLong = valid;
    tooLong[nameAt + 1] = 200;
    const DECODE_RESULT result = DecodeRequest(tooLong);
    EXPECT_FALSE(result.Valid);
    EXPECT_EQ(result.Error,
              "user name at offset 31: count of 200 code unit(s) needs 400 bytes, the request ends after 11");
}

TEST(RequestDecoder, NamesTheMaskThatWouldFitTheSectionsSent)
{
    TEST_REQUEST request;
    request.User = ACCOUNT_SECTION{u"CORP\\alice", u"CN=alice", u""};
    std::vector<uint8_t> bytes = EncodeTestRequest(request);
    test::PutBigEndian32(bytes, 10, 0x00000E06);  // says: no sections

    const DECODE_RESULT result = DecodeRequest(bytes);
    EXPECT_FALSE(result.Valid);
    EXPECT_EQ(result.Error, "group marker at offset 33 is 67, expected 0 (FieldMask 0x00000E06 does not match the "
                            "sections sent: they fit 0x00000E3E or 0x00000FC6)");
}

TEST(RequestDecoder, AShortHeaderHasNoIdentifierToEcho)
{
    const std::vector<uint8_t> bytes = {0x00, 0x09, 0x00, 0x03, 0x00, 0x10, 0x00, 0x00, 0x01};
    const DECODE_RESULT result = DecodeRequest(bytes);
    EXPECT_FALSE(result.Valid);
    EXPECT_FALSE(result.HasRequestId);
    EXPECT_EQ(result.Error, "RequestId at offset 6: needs 4 byte(s), the request ends after 3");
}

}  // namespace
}  // namespace qv::identity_server
