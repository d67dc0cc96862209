// Samba's audit lines read, and the Security records made of them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/qvsamba/audit_line.h"
#include "tools/qvsamba/security_record.h"
#include "tools/qvsamba/tests/samba_lines.h"

namespace qv {
namespace {

const DOMAIN_CONTROLLER CONTROLLER = {u"dc1.corp.example.test", u"DC1$"};

std::vector<std::u16string> StringsOf(const std::string& line) {
    const AUDIT_LINE parsed = ParseAuditLine(line);
    EXPECT_EQ(parsed.Kind, AUDIT_LINE_KIND::AUTHENTICATION) << parsed.Problem;
    return BuildSecurityRecord(parsed.Authentication, CONTROLLER).Strings;
}

TEST(SambaAuditLine, ReadsAnAuthentication) {
    const AUDIT_LINE parsed = ParseAuditLine(samba_lines::Kerberos("carol", "127.0.0.73"));
    ASSERT_EQ(parsed.Kind, AUDIT_LINE_KIND::AUTHENTICATION);
    const SAMBA_AUTHENTICATION& logon = parsed.Authentication;
    EXPECT_EQ(logon.EventId, 4624u);
    EXPECT_EQ(logon.LogonType, 3u);
    EXPECT_EQ(logon.Time, 1796728581);  // 2026-12-08 11:16:21 UTC
    EXPECT_EQ(logon.RemoteAddress, "ipv4:127.0.0.73:55867");
    EXPECT_EQ(logon.BecameAccount, "carol");
    EXPECT_EQ(logon.Workstation, "");  // null
}

TEST(SambaAuditLine, PassesOverWhatIsNoAuthenticationAndFlagsWhatIsBroken) {
    EXPECT_EQ(ParseAuditLine(samba_lines::Authorization("alice")).Kind, AUDIT_LINE_KIND::OTHER);
    EXPECT_EQ(ParseAuditLine("   ").Kind, AUDIT_LINE_KIND::OTHER);
    EXPECT_EQ(ParseAuditLine(R"({"type": "Authentication", "Authentication": {"eventId": 4776}})").Kind,
              AUDIT_LINE_KIND::OTHER);

    std::string ntlm = samba_lines::Ntlm("bob", "127.0.0.72");
    const std::vector<std::pair<std::string, std::string>> broken = {
        {ntlm.substr(0, ntlm.size() / 2), "not JSON"},  // half written
        {"[2026/12/08 11:16:18.298918,  3] ../../auth/auth_log.c:233(log_json)", "not JSON"},
        {R"({"timestamp": "2026-12-08T11:16:18Z"})", "not an audit record"},
        {R"({"type": "Authentication", "timestamp": "2026-12-08T11:16:18Z"})", "no \"Authentication\" object"},
        {R"({"type": "Authentication", "timestamp": "yesterday", "Authentication": {"eventId": 4624}})",
         "the timestamp \"yesterday\" is not a time"},
        {R"({"type": "Authentication", "timestamp": "2026-12-08T11:16:18Z", "Authentication": {"eventId": 4624,
            "logonType": "3", "status": "NT_STATUS_OK"}})", "\"logonType\" is missing or not a whole number"},
        {R"({"type": "Authentication", "timestamp": "2026-12-08T11:16:18Z", "Authentication": {"eventId": 4624,
            "logonType": 3, "status": "NT_STATUS_OK", "becameAccount": "bob", "becameSid": null}})", "no \"becameSid\""},
        {R"({"type": "Authentication", "timestamp": "2026-12-08T11:16:18Z", "Authentication": {"eventId": 4624,
            "logonType": 3, "status": "NT_STATUS_OK", "becameAccount": 7, "becameSid": "S-1-5-7"}})",
         "\"becameAccount\" is not a string"},
        {"{\"type\": \"Authentication\", \"bad\": \"\xC3\x28\"}", "not JSON"},
    };
    for (const auto& [line, problem] : broken) {
        const AUDIT_LINE parsed = ParseAuditLine(line);
        EXPECT_EQ(parsed.Kind, AUDIT_LINE_KIND::MALFORMED) << line;
        EXPECT_EQ(parsed.Problem.substr(0, problem.size()), problem) << line;
    }
}

TEST(SambaAuditLine, AnOptionalFieldThatIsNoUsableTextCountsAsAbsent) {
    const auto with = [](std::string line, const std::string& from, const std::string& to) {
        return line.replace(line.find(from), from.size(), to);
    };
    const std::string ntlm = samba_lines::Ntlm("bob", "127.0.0.72");
    const std::string workstation = "\"workstation\": \"VM\"";
    const std::pair<std::string, std::string> unusable[] = {
        {with(ntlm, workstation, "\"workstation\": 5"), "\"workstation\" is not a string"},
        {with(ntlm, workstation, "\"workstation\": {\"name\": \"VM\"}"), "\"workstation\" is not a string"},
        {with(ntlm, workstation, "\"workstation\": \"V\\u0000M\""), "\"workstation\" holds a NUL character"},
        {with(ntlm, workstation, "\"workstation\": \"" + std::string(MAX_AUDIT_TEXT + 1, 'W') + "\""),
         "\"workstation\" is longer than 4096 bytes"},
        {with(with(ntlm, workstation, "\"workstation\": 5"), "\"logonId\": \"0\"", "\"logonId\": 0"),
         "\"logonId\" is not a string, \"workstation\" is not a string"},
    };
    for (const auto& [line, ignored] : unusable) {
        const AUDIT_LINE parsed = ParseAuditLine(line);
        ASSERT_EQ(parsed.Kind, AUDIT_LINE_KIND::AUTHENTICATION) << parsed.Problem;
        EXPECT_EQ(parsed.Ignored, ignored);
        EXPECT_EQ(parsed.Authentication.Workstation, "");
        EXPECT_EQ(parsed.Authentication.BecameAccount, "bob");
    }
    // What a record cannot do without is still required.
    const AUDIT_LINE nul =
        ParseAuditLine(with(ntlm, "\"becameAccount\": \"bob\"", "\"becameAccount\": \"b\\u0000ob\""));
    EXPECT_EQ(nul.Kind, AUDIT_LINE_KIND::MALFORMED);
    EXPECT_EQ(nul.Problem, "\"becameAccount\" holds a NUL character");
    // A failed logon became nobody: its account fields are optional.
    const std::string wrongPassword = samba_lines::WrongPassword("alice", "127.0.0.74");
    const AUDIT_LINE failed = ParseAuditLine(with(wrongPassword, "\"becameSid\": null", "\"becameSid\": 7"));
    EXPECT_EQ(failed.Kind, AUDIT_LINE_KIND::AUTHENTICATION);
    EXPECT_EQ(failed.Ignored, "\"becameSid\" is not a string");
}

TEST(SambaAuditLine, ReadsSambasTimes) {
    int64_t seconds = 0;
    EXPECT_TRUE(ParseAuditTime("2026-12-08T11:16:21.598982+0000", seconds));
    EXPECT_EQ(seconds, 1796728581);
    EXPECT_TRUE(ParseAuditTime("2026-12-08T12:46:21+01:30", seconds));
    EXPECT_EQ(seconds, 1796728581);
    EXPECT_TRUE(ParseAuditTime("2026-12-08T11:16:21Z", seconds));
    EXPECT_EQ(seconds, 1796728581);
    for (const char* bad : {"2026-12-08 11:16:21", "2026-13-08T11:16:21", "2026-12-08T11:16:21.+0000",
                            "2026-12-08T11:16:21+00", "2026-12-08T11:16:21Zulu", ""}) {
        EXPECT_FALSE(ParseAuditTime(bad, seconds)) << bad;
    }
}

TEST(SambaSecurityRecord, NetworkLogonsAreWrittenAsAWindowsDomainControllerWritesThem) {
    const NEW_EVENT_RECORD record =
        BuildSecurityRecord(ParseAuditLine(samba_lines::Ntlm("bob", "127.0.0.72")).Authentication, CONTROLLER);
    EXPECT_EQ(record.EventID, 4624u);
    EXPECT_EQ(record.EventType, 8);
    EXPECT_EQ(record.SourceName, u"Microsoft-Windows-Security-Auditing");
    EXPECT_EQ(record.ComputerName, u"dc1.corp.example.test");
    const std::vector<std::u16string> ntlm = {
        u"S-1-0-0", u"-", u"-", u"0x0", u"S-1-5-21-4036464648-1354666568-646959226-1107", u"bob",
        u"QVCORP", u"0x0", u"3", u"NtLmSsp ", u"NTLM", u"VM", u"{00000000-0000-0000-0000-000000000000}",
        u"-", u"NTLM V2", u"128", u"0x0", u"-", u"127.0.0.72", u"45084", u"%%1833"};
    EXPECT_EQ(record.Strings, ntlm);

    const std::vector<std::u16string> kerberos = {
        u"S-1-0-0", u"-", u"-", u"0x0", u"S-1-5-21-4036464648-1354666568-646959226-1108", u"carol",
        u"QVCORP", u"0xc914c8cd98861072", u"3", u"Kerberos", u"Kerberos", u"-",
        u"{00000000-0000-0000-0000-000000000000}", u"-", u"-", u"0", u"0x0", u"-", u"127.0.0.73",
        u"55867", u"%%1833"};
    EXPECT_EQ(StringsOf(samba_lines::Kerberos("carol", "127.0.0.73")), kerberos);
}

TEST(SambaSecurityRecord, TheControllersOwnLogonsAndFailures) {
    // A simple bind is a cleartext logon the DC makes itself.
    const std::vector<std::u16string> bind = StringsOf(samba_lines::SimpleBind("alice", "127.0.0.71"));
    ASSERT_EQ(bind.size(), 21u);
    EXPECT_EQ(std::vector<std::u16string>(bind.begin(), bind.begin() + 4),
              (std::vector<std::u16string> {u"S-1-5-18", u"DC1$", u"QVCORP", u"0x3e7"}));
    EXPECT_EQ(bind[8], u"8");
    EXPECT_EQ(bind[10], u"MICROSOFT_AUTHENTICATION_PACKAGE_V1_0");

    const AUDIT_LINE failed = ParseAuditLine(samba_lines::WrongPassword("alice", "127.0.0.74"));
    const NEW_EVENT_RECORD record = BuildSecurityRecord(failed.Authentication, CONTROLLER);
    EXPECT_EQ(record.EventID, 4625u);
    EXPECT_EQ(record.EventType, 16);
    const std::vector<std::u16string> failure = {
        u"S-1-5-18", u"DC1$", u"QVCORP", u"0x3e7", u"S-1-0-0", u"alice@corp.example.test", u"QVCORP",
        u"0xc000006d", u"%%2313", u"0xc000006a", u"8", u"Advapi  ", u"MICROSOFT_AUTHENTICATION_PACKAGE_V1_0", u"DC1",
        u"-", u"-", u"0", u"0x0", u"-", u"127.0.0.74", u"40690"};
    EXPECT_EQ(record.Strings, failure);

    SAMBA_AUTHENTICATION locked = failed.Authentication;
    locked.Status = "NT_STATUS_ACCOUNT_LOCKED_OUT";
    const auto lockedStrings = BuildSecurityRecord(locked, CONTROLLER).Strings;
    EXPECT_EQ(std::vector<std::u16string>(lockedStrings.begin() + 7, lockedStrings.begin() + 10),
              (std::vector<std::u16string> {u"0xc0000234", u"%%2307", u"0x0"}));
}

TEST(SambaSecurityRecord, ClientAddresses) {
    std::string address, port;
    const std::vector<std::tuple<std::string, std::string, std::string>> cases = {
        {"ipv4:10.1.2.3:50123", "10.1.2.3", "50123"},
        {"ipv6:fe80::1:50123", "fe80::1", "50123"},
        {"ipv6:[2001:db8::5]:445", "2001:db8::5", "445"},
        {"ipv4:10.1.2.3", "10.1.2.3", "-"},
        {"unix:/run/samba/ncalrpc/np", "-", "-"},
        {"", "-", "-"},
    };
    for (const auto& [remote, wantedAddress, wantedPort] : cases) {
        SplitRemoteAddress(remote, address, port);
        EXPECT_EQ(address + " " + port, wantedAddress + " " + wantedPort) << remote;
    }
    // A logon a member server passed on over Netlogon names that server, never the user's machine.
    SAMBA_AUTHENTICATION passedOn = ParseAuditLine(samba_lines::Ntlm("bob", "10.0.0.9")).Authentication;
    passedOn.ServiceDescription = "SamLogon";
    const auto strings = BuildSecurityRecord(passedOn, CONTROLLER).Strings;
    EXPECT_EQ(strings[18] + u" " + strings[19], u"- -");
}

}  // namespace
}  // namespace qv
