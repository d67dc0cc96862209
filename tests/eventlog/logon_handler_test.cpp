// The logon handlers and the tables, with records dispatched as the reader dispatches them and
// every report going to a reference identity server on loopback. Reverse lookups go to a fake
// resolver and name translation to a fake directory.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "eventlog/event_log.h"
#include "eventlog/handler_support.h"
#include "eventlog/logon_filter.h"
#include "identity/identity_protocol.h"
#include "identity/report_sink.h"
#include "platform/registry.h"
#include "platform/registry_values.h"
#include "tests/directory/fake_directory_access.h"
#include "tests/eventlog/fake_event_log.h"
#include "tests/identity/fake_host_resolver.h"
#include "tests/identity/reference_servers.h"
#include "tests/identity/test_identity_settings.h"
#include "tests/platform/scratch_key.h"
#include "tests/support/log_capture.h"
#include "tests/support/settable_clock.h"
#include "tests/test_text.h"

namespace qv {
namespace {

using test::Utf8;

constexpr uint32_t LOG_MODE = 0x2 | 0x100;  // log file, verbose

// 4624 as a domain controller writes it: subject, target, logon type, workstation, address.
std::vector<std::u16string> AccountLogon(const std::u16string& user, const std::u16string& domain,
                                         const std::u16string& address, const std::u16string& type = u"3",
                                         const std::u16string& workstation = u"-",
                                         const std::u16string& subjectSid = u"S-1-0-0",
                                         const std::u16string& targetSid = u"S-1-5-21-1-2-3-1104") {
    return {subjectSid, u"-", u"-", u"0x0", targetSid, user, domain, u"0x3e7f1", type, u"NtLmSsp", u"NTLM",
            workstation, u"{00000000-0000-0000-0000-000000000000}", u"-", u"NTLM V2", u"128", u"0x0", u"-",
            address, u"49712"};
}

// 540 and 528: user, domain, logon ID, type, ..., caller fields, ..., address.
std::vector<std::u16string> Logon(const std::u16string& user, const std::u16string& domain,
                                  const std::u16string& address, const std::u16string& type = u"3",
                                  const std::u16string& callerProcess = u"-",
                                  const std::u16string& workstation = u"PC9") {
    return {user, domain, u"(0x0,0x3E7F1)", type, u"Kerberos", u"Kerberos", workstation, u"{guid}", u"-", u"-", u"-",
            callerProcess, u"-", address, u"0"};
}

// 673: user@REALM, realm, service, ..., client address, failure code.
std::vector<std::u16string> ServiceTicket(const std::u16string& user, const std::u16string& service,
                                          const std::u16string& address, const std::u16string& failure = u"-") {
    return {user, u"CORP.EXAMPLE.TEST", service, u"S-1-5-21-1-2-3-1105", u"0x40810000", u"0x17", address, failure};
}

class LogonHandlerTest : public ::testing::Test {
protected:
    void SetUp() override {
        Settings.SetServer(test::SERVER_GOOD);
        Settings.SetProtocol(PROTOCOL_TCP);
        SetCurrentConnection(&Connection);
        Resolver.Names[u"10.0.0.5"] = u"pc7.corp.example.test";
        Directory.AddName(ADS_NAME_TYPE_DOMAIN_SIMPLE, u"alice@CORP.EXAMPLE.TEST", ADS_NAME_TYPE_NT4, u"CORP\\alice");
        Directory.AddName(ADS_NAME_TYPE_DOMAIN_SIMPLE, u"PC7$@CORP.EXAMPLE.TEST", ADS_NAME_TYPE_NT4, u"CORP\\PC7$");
    }
    void TearDown() override { SetCurrentConnection(nullptr); }

    void Dispatch(uint32_t eventId, const std::vector<std::u16string>& strings) { DispatchTo(Log, eventId, strings); }
    void DispatchTo(EVENT_LOG& log, uint32_t eventId, const std::vector<std::u16string>& strings) {
        const std::vector<uint8_t> bytes = test::MakeRecord(++Number, eventId, strings);
        RECORD_RANGE range;
        log.DispatchRecord(bytes.data(), static_cast<uint32_t>(bytes.size()), range);
    }
    // A log of the test's own context whose every Expire call runs.
    static std::unique_ptr<EVENT_LOG> ExpiringLog(const EVENT_LOG_CONTEXT& context) {
        EVENT_LOG_TIMING timing;
        timing.ExpiryIntervalMs = 0;
        return std::make_unique<EVENT_LOG>(
            context, std::make_unique<test::FAKE_EVENT_LOG>(std::make_shared<test::FAKE_LOG_TRACE>()), timing);
    }
    size_t Count(const std::string& text) { return Capture.LinesWith(text).size(); }
    std::string LastLine() {
        std::vector<std::string> lines = Capture.Lines();
        return lines.empty() ? "" : lines.back();
    }
    LOGON_ENTRY* Entry(const char16_t* address) {
        IP_ADDRESS parsed;
        EXPECT_TRUE(IpAddressFromText(parsed, address));
        return Log.Logons().FindByAddress(parsed);
    }

    test::LOG_CAPTURE Capture{LOG_MODE};
    test::IDENTITY_SETTINGS Settings;
    IDENTITY_PROTOCOL Connection{Settings.Context()};
    test::FAKE_HOST_RESOLVER Resolver;
    test::FAKE_DIRECTORY_ACCESS Directory;
    DUMP_SWITCHES Switches;
    EVENT_LOG Log{EVENT_LOG_CONTEXT{Switches}, std::make_unique<test::FAKE_EVENT_LOG>(std::make_shared<test::FAKE_LOG_TRACE>())};
    uint32_t Number = 0;
};

TEST(LogonTypeTest, TypesAreReadInDecimalOrAfter0xInHexadecimalAndNamed) {
    uint32_t type = 0;
    EXPECT_TRUE(ParseLogonType(u"0xA", type));
    EXPECT_EQ(type, 10u);
    EXPECT_TRUE(ParseLogonType(u"0X1f", type));
    EXPECT_EQ(type, 31u);
    EXPECT_FALSE(ParseLogonType(u"3x", type));
    EXPECT_FALSE(ParseLogonType(u"0x", type));
    EXPECT_FALSE(ParseLogonType(u"", type));
    EXPECT_FALSE(ParseLogonType(u"99999999999", type));
    EXPECT_EQ(Utf8(LogonTypeName(5)), "SERVICE");
    EXPECT_EQ(Utf8(LogonTypeName(11)), "CACHED_INTERACTIVE");
    EXPECT_EQ(Utf8(LogonTypeName(6)), "6");
}

// Every record that is not a real user at a real client ends with one line and changes nothing.
TEST_F(LogonHandlerTest, AccountLogonsThatAreNoUserAtAClientAreIgnoredWithTheirLine) {
    const struct {
        std::vector<std::u16string> Strings;
        const char* Line;
    } CASES[] = {
        {std::vector<std::u16string>(19, u"-"), "Do_EVENT_ACCOUNT_LOGON: Insufficient strings (19)."},
        {AccountLogon(u"alice", u"CORP", u"10.0.0.5", u"3x"), "Do_EVENT_ACCOUNT_LOGON: Invalid logon type = \"3x\"."},
        {AccountLogon(u"alice", u"CORP", u"10.0.0.5", u"3", u"-", u"S-1-5-18"),
         "Do_EVENT_ACCOUNT_LOGON: Ignoring proxied logon, Subject User SID = \"S-1-5-18\", User name = \"alice\""},
        {AccountLogon(u"ANONYMOUS LOGON", u"NT AUTHORITY", u"10.0.0.5", u"3", u"-", u"S-1-0-0", u"s-1-5-7"),
         "Do_EVENT_ACCOUNT_LOGON: Ignoring anonymous logon, Target user SID = \"s-1-5-7\""},
        {AccountLogon(u"alice", u"CORP", u"10.0.0.5", u"5"), "    Ignoring logon type = SERVICE"},
        {AccountLogon(u"alice", u"CORP", u"10.0.0.5", u"6"), "    Ignoring logon type = 6"},
        {AccountLogon(u"PC7$", u"CORP", u"10.0.0.5"), "Do_EVENT_ACCOUNT_LOGON: ignoring; computer name \"PC7$\"."},
        {AccountLogon(u"alice", u"CORP", u"-"), "    Invalid IP address = \"-\""},
        {AccountLogon(u"alice", u"CORP", u"::1"), "    Ignoring loopback IP address = ::1"},
        {AccountLogon(u"alice", u"CORP", u"127.0.0.1", u"0xA"), "    Ignoring loopback IP address = 127.0.0.1"},
    };
    for (const auto& item : CASES) {
        Dispatch(4624, item.Strings);
        EXPECT_EQ(Count(item.Line), 1u) << item.Line;
    }
    EXPECT_EQ(Log.Logons().Count(), 0u);
    EXPECT_EQ(Count("IdentityReportLogon"), 0u);
}

TEST_F(LogonHandlerTest, ALogonIsReportedOnceAndAnotherUserAtItsAddressLogsItOffFirst) {
    REQUIRE_REFERENCE_SERVERS();
    // No workstation: the computer is the host at the address, cut at its first dot.
    Dispatch(4624, AccountLogon(u"alice", u"CORP", u"10.0.0.5"));
    EXPECT_EQ(Count("GetHostName: Host name = \"pc7.corp.example.test\" found for IP address = 10.0.0.5"), 1u);
    EXPECT_EQ(Count("    Computer name = \"CORP\\pc7\","), 2u);  // the report's line and the handler's
    EXPECT_EQ(Count("Do_EVENT_ACCOUNT_LOGON: Logon reported,"), 1u);
    ASSERT_NE(Entry(u"10.0.0.5"), nullptr);

    // The same user again only renews the entry; so does the Kerberos form with the DNS domain.
    Dispatch(4624, AccountLogon(u"alice", u"CORP", u"10.0.0.5", u"3", u"PC7"));
    Dispatch(4624, AccountLogon(u"ALICE", u"corp", u"10.0.0.5"));
    EXPECT_EQ(Count("Do_EVENT_ACCOUNT_LOGON: Reset TTL,"), 2u);
    Dispatch(4624, AccountLogon(u"carol", u"CORP.EXAMPLE.COM", u"10.0.0.9", u"3", u"PC9"));
    Dispatch(4624, AccountLogon(u"carol", u"CORP.EXAMPLE.COM", u"10.0.0.9", u"3", u"PC9"));
    EXPECT_EQ(Count("Do_EVENT_ACCOUNT_LOGON: Reset TTL,"), 3u);
    EXPECT_EQ(Count("User name changed"), 0u);
    EXPECT_EQ(Count("Do_EVENT_ACCOUNT_LOGON: Logon reported,"), 2u);

    // Bob takes alice's address: her logoff goes first, then his logon; one entry is left.
    Dispatch(4624, AccountLogon(u"bob", u"CORP", u"10.0.0.5", u"10", u"PC7"));
    const std::vector<std::string> lines = Capture.Lines();
    size_t changed = lines.size(), logoff = lines.size(), logon = lines.size();
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].find("User name changed") != std::string::npos) changed = i;
        if (lines[i].find("IdentityReportLogoff: NtUserName = \"CORP\\alice\", IpAddress = \"10.0.0.5\"") !=
            std::string::npos) {
            logoff = i;
        }
        if (lines[i].find("IdentityReportLogon request status = 0") != std::string::npos) logon = i;
    }
    EXPECT_LT(changed, logoff);
    EXPECT_LT(logoff, logon);
    EXPECT_EQ(Count("IdentityReportLogoff request status = 0"), 1u);
    EXPECT_EQ(Log.Logons().Count(), 2u);
    EXPECT_EQ(Utf8(Entry(u"10.0.0.5")->UserName()), "CORP\\bob");
}

TEST_F(LogonHandlerTest, AFailedReportLeavesNoEntrySoTheNextLogonIsReportedAgain) {
    REQUIRE_REFERENCE_SERVERS();
    Settings.SetServer(test::SERVER_WRONG_ID);  // every answer fails its check
    Dispatch(4624, AccountLogon(u"alice", u"CORP", u"10.0.0.7", u"3", u"PC7"));
    EXPECT_EQ(Count("Do_EVENT_ACCOUNT_LOGON: Unable to report logon,"), 1u);
    EXPECT_EQ(Log.Logons().Count(), 0u);
    Settings.SetServer(test::SERVER_GOOD);
    EXPECT_TRUE(Connection.ServerChanged());
    Connection.Drop();
    Dispatch(4624, AccountLogon(u"alice", u"CORP", u"10.0.0.7", u"3", u"PC7"));
    EXPECT_EQ(Count("Do_EVENT_ACCOUNT_LOGON: Logon reported,"), 1u);
}

TEST_F(LogonHandlerTest, AServiceTicketGivesTheNextNetworkLogonItsComputer) {
    REQUIRE_REFERENCE_SERVERS();
    Dispatch(673, ServiceTicket(u"alice@CORP.EXAMPLE.TEST", u"PC7$", u"10.0.0.8"));
    EXPECT_EQ(Count("Do_EVENT_SERVICE_TICKET: CREATED"), 1u);
    Dispatch(673, ServiceTicket(u"alice@CORP.EXAMPLE.TEST", u"PC7$", u"10.0.0.8"));
    EXPECT_EQ(Count("Do_EVENT_SERVICE_TICKET: EXISTING"), 1u);
    EXPECT_EQ(Log.ServiceTickets().Count(), 1u);
    // Tickets for the domain controller itself, failed ones and service accounts change nothing.
    Dispatch(673, ServiceTicket(u"alice@CORP.EXAMPLE.TEST", u"dc1.corp.example.test$", u"10.0.0.8"));
    Dispatch(673, ServiceTicket(u"alice@CORP.EXAMPLE.TEST", u"PC7$", u"10.0.0.8", u"0x6"));
    Dispatch(673, ServiceTicket(u"alice@CORP.EXAMPLE.TEST", u"krbtgt", u"10.0.0.8"));
    Dispatch(673, ServiceTicket(u"nobody@CORP.EXAMPLE.TEST", u"PC7$", u"10.0.0.8"));
    EXPECT_EQ(Count("matches computer name."), 1u);
    EXPECT_EQ(Count("Do_EVENT_SERVICE_TICKET: failure = \"0x6\"."), 1u);
    EXPECT_EQ(Count("Do_EVENT_SERVICE_TICKET: ignoring; non-computer name \"krbtgt\"."), 1u);
    EXPECT_EQ(Count("    Cannot translate DNS user name = \"nobody@CORP.EXAMPLE.TEST\","), 1u);
    EXPECT_EQ(Log.ServiceTickets().Count(), 1u);

    const size_t computerLines = Count("    Computer name = \"CORP\\PC7\",");
    Dispatch(540, Logon(u"alice", u"CORP", u"10.0.0.8"));
    EXPECT_EQ(Count("    Computer name = \"CORP\\PC7\","), computerLines + 2);  // the handler's and the report's
    EXPECT_EQ(Count("Do_EVENT_LOGON: Logon reported, SERVICE TICKET DELETED"), 1u);
    EXPECT_EQ(Log.ServiceTickets().Count(), 0u);

    // Without a ticket the logon goes without a computer; a proxied one not at all.
    Dispatch(540, Logon(u"bob", u"CORP", u"::1"));
    EXPECT_EQ(Count("Do_EVENT_LOGON: NO SERVICE TICKET, "), 1u);
    EXPECT_EQ(Count("Do_EVENT_LOGON: Logon reported,"), 2u);  // with the ticket's, and this one
    Dispatch(540, Logon(u"carol", u"CORP", u"10.0.0.9", u"3", u"0x1f4"));
    EXPECT_EQ(Count("Do_EVENT_LOGON: Ignoring proxied logon, UserName = \"carol\"."), 1u);
    EXPECT_EQ(Log.Logons().Count(), 2u);
    // Only a logon without both a user name and a domain is passed over; either alone is reported.
    Dispatch(540, Logon(u"dave", u"", u"10.0.0.10"));
    Dispatch(540, Logon(u"", u"CORP", u"10.0.0.11"));
    Dispatch(540, Logon(u"", u"", u"10.0.0.12"));
    EXPECT_EQ(Count("Do_EVENT_LOGON: Logon reported,"), 4u);
    EXPECT_EQ(Count("Do_EVENT_LOGON: Ignoring; no user name and domain name"), 1u);
    EXPECT_EQ(Log.Logons().Count(), 4u);
}

TEST_F(LogonHandlerTest, LocalLogonsAppendWithoutLookingAndLogoffsOnlyLog) {
    REQUIRE_REFERENCE_SERVERS();
    Dispatch(528, Logon(u"alice", u"CORP", u"10.0.0.6", u"x2"));
    EXPECT_EQ(Count("Do_EVENT_LOCAL_LOGON:: Invalid logon type = \"x2\"."), 1u);
    EXPECT_EQ(Count("    Ignoring logon type = 0,"), 1u);
    Dispatch(528, Logon(u"alice", u"CORP", u"::1", u"2"));
    EXPECT_EQ(Count("    Ignoring loopback IP address = \"::1\""), 1u);
    Dispatch(528, Logon(u"alice", u"CORP", u"10.0.0.6", u"2"));
    Dispatch(528, Logon(u"bob", u"CORP", u"10.0.0.6", u"2"));
    EXPECT_EQ(Count("Do_EVENT_LOCAL_LOGON: Logon reported,"), 2u);
    EXPECT_EQ(Log.Logons().Count(), 2u);
    EXPECT_EQ(Utf8(Entry(u"10.0.0.6")->UserName()), "CORP\\alice");  // the oldest is found

    Dispatch(538, {u"alice", u"CORP", u"(0x0,0x3E7F1)", u"5"});
    Dispatch(538, {u"alice", u"CORP", u"(0x0,0x3E7F1)", u"3"});
    Dispatch(4634, {u"S-1-5-7", u"ANONYMOUS LOGON", u"NT AUTHORITY", u"0x3e7f1", u"3"});
    Dispatch(4634, {u"S-1-5-21-1-2-3-1104", u"alice", u"CORP", u"0x3e7f1", u"3"});
    EXPECT_EQ(Count("    Ignoring Logon type = SERVICE"), 1u);
    EXPECT_EQ(Count("    Ignoring anonymous logff,"), 1u);
    EXPECT_EQ(Count("    UserName = \"alice\","), 1u);
    EXPECT_EQ(Log.Logons().Count(), 2u);
}

// Ages on the monotonic clock: a ticket lives a minute, a logon its time-to-live with a
// heartbeat every interval, whatever the wall clock does; the table sizes go to the registry.
TEST_F(LogonHandlerTest, TicketsAndLogonsAgeOnTheMonotonicClockWithHeartbeatsAndStatistics) {
    REQUIRE_REFERENCE_SERVERS();
    test::SCRATCH_KEY scratch("statistics", u"SOFTWARE\\Tarnwell Systems\\Quorvane statistics test");
    ASSERT_TRUE(scratch.Opened);
    REGISTRY_KEY& statistics = scratch.Key;

    test::SETTABLE_CLOCK clock;
    clock.Freeze();
    EVENT_LOG_CONTEXT context{Switches};
    context.LogonTimeToLive = [] { return 5u * 60000; };
    context.HeartbeatInterval = [] { return 2u * 60000; };
    context.StatisticsKey = &statistics;
    const std::unique_ptr<EVENT_LOG> expiring = ExpiringLog(context);
    EVENT_LOG& log = *expiring;
    auto dispatch = [&](uint32_t eventId, const std::vector<std::u16string>& strings) { DispatchTo(log, eventId, strings); };
    auto stored = [&](const char16_t* name) {
        uint32_t value = 0xFFFFFFFF;
        ReadRegistryDword(statistics, name, value);
        return value;
    };
    dispatch(673, ServiceTicket(u"alice@CORP.EXAMPLE.TEST", u"PC7$", u"10.0.0.8"));
    dispatch(4624, AccountLogon(u"alice", u"CORP", u"10.0.0.5", u"3", u"PC7"));

    clock.Advance(60000);  // exactly a minute: the ticket stays
    log.Expire();
    EXPECT_EQ(stored(u"ServiceTickets"), 1u);
    EXPECT_EQ(stored(u"Logons"), 1u);
    clock.StepWallClock(-3600 * 1000);  // time synchronisation sets the clock back an hour
    clock.Advance(1);
    log.Expire();
    EXPECT_EQ(Count("Service ticket expired,"), 1u);
    EXPECT_EQ(stored(u"ServiceTickets"), 0u);

    clock.Advance(2 * 60000);  // past the heartbeat interval
    clock.StepWallClock(7200 * 1000);
    log.Expire();
    EXPECT_EQ(Count("IdentityReportHeartbeat request status = 0"), 1u);
    log.Expire();
    EXPECT_EQ(Count("IdentityReportHeartbeat request status = 0"), 1u);  // not again at once

    clock.Advance(2 * 60000 - 1);  // 5 minutes old exactly: still there
    log.Expire();
    EXPECT_EQ(Count("Logon expired"), 0u);
    clock.Advance(1);
    log.Expire();
    EXPECT_EQ(Count("Logon expired: User name = \"CORP\\alice\", IP address = \"10.0.0.5\""), 1u);
    EXPECT_EQ(Count("IdentityReportLogoff"), 0u);  // an expired logon is forgotten, not logged off
    EXPECT_EQ(stored(u"Logons"), 0u);
    statistics.Close();
}

// Reports as the handlers would send them: "kind user address".
class RECORDING_SINK : public REPORT_SINK {
public:
    RECORDING_SINK() { SetReportSink(this); }
    ~RECORDING_SINK() override { SetReportSink(nullptr); }
    bool Take(uint8_t kind, const IDENTITY_REQUEST& request) override {
        const char* name = kind == REPORT_KIND_LOGON ? "logon" : kind == REPORT_KIND_LOGOFF ? "logoff" : "heartbeat";
        Reports.push_back(std::string(name) + " " + Utf8(RequestUserName(request)) + " " + Utf8(RequestAddressText(request)));
        return true;
    }
    std::vector<std::string> Reports;
};

// A logon the administrator's filters pass over touches no table: the address's user is
// neither logged off nor renewed. One line says why; the count joins the statistics once a
// filter was set, and not before.
TEST_F(LogonHandlerTest, ALogonTheFiltersPassOverTouchesNoTableAndIsCounted) {
    test::SCRATCH_KEY scratch("filters", u"SOFTWARE\\Tarnwell Systems\\Quorvane filter test");
    ASSERT_TRUE(scratch.Opened);
    REGISTRY_KEY& statistics = scratch.Key;
    ASSERT_TRUE(DeleteRegistryValue(statistics, u"Ignored"));  // the Windows registry outlives a run
    test::SETTABLE_CLOCK clock;
    clock.Freeze();
    RECORDING_SINK sink;
    LOGON_FILTER_SLOT filters;
    EVENT_LOG_CONTEXT context{Switches};
    context.StatisticsKey = &statistics;
    context.LogonFilters = &filters;
    const std::unique_ptr<EVENT_LOG> expiring = ExpiringLog(context);
    EVENT_LOG& log = *expiring;
    auto dispatch = [&](uint32_t eventId, const std::vector<std::u16string>& strings) { DispatchTo(log, eventId, strings); };
    uint32_t ignored = 0;
    log.Expire();
    EXPECT_FALSE(ReadRegistryDword(statistics, u"Ignored", ignored));  // no filter yet: no counter

    FILTER_LISTS lists;
    lists.IgnoreUsers = {STRING(u"svc_*")};
    lists.ExcludeNetworks = {STRING(u"10.9.0.0/16")};
    std::vector<FILTER_PROBLEM> problems;
    filters.Replace(std::make_shared<const LOGON_FILTER>(lists, problems));

    IP_ADDRESS address;
    ASSERT_TRUE(IpAddressFromText(address, u"10.1.1.5"));
    dispatch(4624, AccountLogon(u"alice", u"CORP", u"10.1.1.5", u"3", u"PC5"));
    ASSERT_NE(log.Logons().FindByAddress(address), nullptr);
    const uint64_t aliceSince = log.Logons().FindByAddress(address)->TtlStart;
    clock.Advance(1000);
    dispatch(4624, AccountLogon(u"svc_backup", u"CORP", u"10.1.1.5", u"3", u"PC5"));
    dispatch(540, Logon(u"svc_monitor", u"CORP", u"10.1.1.5"));
    dispatch(528, Logon(u"alice", u"CORP", u"10.9.1.1", u"2", u"-", u"PC9"));

    EXPECT_EQ(sink.Reports, std::vector<std::string>({"logon CORP\\alice 10.1.1.5"}));
    EXPECT_EQ(Count("Do_EVENT_ACCOUNT_LOGON: Passed over by IgnoreUsers entry \"svc_*\": User name = "
                    "\"CORP\\svc_backup\", IP address = \"10.1.1.5\""), 1u);
    EXPECT_EQ(Count("Do_EVENT_LOGON: Passed over by IgnoreUsers entry \"svc_*\""), 1u);
    EXPECT_EQ(Count("Do_EVENT_LOCAL_LOGON: Passed over by ExcludeNetworks entry \"10.9.0.0/16\""), 1u);
    LOGON_ENTRY* alice = log.Logons().FindByAddress(address);
    ASSERT_NE(alice, nullptr);
    EXPECT_EQ(Utf8(alice->UserName()), "CORP\\alice");
    EXPECT_EQ(alice->TtlStart, aliceSince);  // not renewed by anyone else's logon
    EXPECT_EQ(log.Logons().Count(), 1u);

    log.Expire();
    EXPECT_TRUE(ReadRegistryDword(statistics, u"Ignored", ignored));
    EXPECT_EQ(ignored, 3u);
    statistics.Close();
}

}  // namespace
}  // namespace qv
