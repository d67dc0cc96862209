#include "tools/identity_server/report_output.h"

#include "tools/identity_server/tests/test_requests.h"

#include <gtest/gtest.h>

namespace qv::identity_server {
namespace {

REQUEST_REPORT ReportOf(const std::vector<uint8_t>& bytes)
{
    REQUEST_REPORT report;
    report.Sequence = 3;
    report.Transport = "tls";
    report.TlsVersion = "TLSv1.2";
    report.Client = "127.0.0.1:40000";
    report.Bytes = bytes;
    report.Decoded = DecodeRequest(bytes);
    return report;
}

TEST(ReportOutput, RecordsEveryFieldOfAValidRequest)
{
    test::TEST_REQUEST request;
    request.RequestId = 9;
    request.User = test::ACCOUNT_SECTION{u"CORP\\alice", u"CN=\"A\",DC=corp", u"Staff"};
    request.Groups = {{u"CORP\\g", u"CN=g"}};
    const REQUEST_REPORT report = ReportOf(test::EncodeTestRequest(request));
    ASSERT_TRUE(report.Valid()) << report.Error();

    const std::string json = FormatReportJson(report);
    ASSERT_EQ(report.Bytes.size(), 123u);
    EXPECT_EQ(json.substr(0, 101),
              "{\"n\":3,\"transport\":\"tls\",\"tls_version\":\"TLSv1.2\",\"client\":\"127.0.0.1:40000\",\"bytes\":123,"
              "\"length\":123,");
    for (const char* part :
         {"\"request_id\":9,", "\"kind\":\"logon\",", "\"field_mask\":\"0x00000FC6\",", "\"ip_version\":4,",
          "\"ip\":\"10.1.2.3\",", "\"computer_name\":null,", "\"user_name\":\"CORP\\\\alice\",",
          "\"user_dn\":\"CN=\\\"A\\\",DC=corp\",", "\"user_ou\":\"Staff\",",
          "\"groups\":[{\"name\":\"CORP\\\\g\",\"dn\":\"CN=g\"}],", "\"os_code\":12,", "\"os_version\":\"10.0\",",
          "\"agent_version\":\"1.2.5\",", "\"hex\":\"007b0003001000000009", "\"error\":null}"})
        EXPECT_NE(json.find(part), std::string::npos) << part << " in " << json;

    EXPECT_EQ(FormatReportLine(report),
              "#3 logon id=9 length=123 ip=10.1.2.3 computer=- user=\"CORP\\alice\" dn=\"CN=\\\"A\\\",DC=corp\" "
              "ou=\"Staff\" groups=1 [\"CORP\\g\" \"CN=g\"] os=12 10.0 agent=1.2.5 client=127.0.0.1:40000 tls");
}

TEST(ReportOutput, RecordsTheErrorOfAMalformedRequest)
{
    std::vector<uint8_t> bytes = test::ExampleRequest(4);
    bytes[33] = 0x31;
    REQUEST_REPORT report = ReportOf(bytes);
    report.TlsVersion.clear();
    report.Transport = "plain";

    const std::string json = FormatReportJson(report);
    EXPECT_EQ(json,
              "{\"n\":3,\"transport\":\"plain\",\"tls_version\":null,\"client\":\"127.0.0.1:40000\",\"bytes\":34,"
              "\"length\":34,\"request_id\":4,\"hex\":\"0022000300100000000400000e0602000000010"
              "40a01020313010205" "0c0a00000031\",\"error\":\"kind at offset 33 is 0x31, expected 0x20, 0x21 or 0x30\"}");
    EXPECT_EQ(FormatReportLine(report), "#3 MALFORMED id=4 bytes=34 client=127.0.0.1:40000 plain: kind at offset 33 "
                                        "is 0x31, expected 0x20, 0x21 or 0x30");
}

}  // namespace
}  // namespace qv::identity_server
