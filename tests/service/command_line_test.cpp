#include <gtest/gtest.h>

#include <initializer_list>
#include <vector>

#include "service/command_line.h"
#include "support/debug_log.h"
#include "tests/test_text.h"

namespace qv {
namespace {

using test::Utf8;

struct PARSED {
    COMMAND_LINE Line;
    const char16_t* Bad = nullptr;
};

// Parses the arguments after a program name into a fresh record.
PARSED Parse(std::initializer_list<const char16_t*> switches) {
    static std::vector<const char16_t*> arguments;  // the record points into the vector
    arguments.assign({u"Quorvane.exe"});
    arguments.insert(arguments.end(), switches);
    PARSED parsed;
    parsed.Bad = ParseCommandLine(parsed.Line, arguments.data(), static_cast<uint32_t>(arguments.size()));
    return parsed;
}

TEST(CommandLineTest, PrefixesAndCaseSelectTheSameSwitch) {
    for (const char16_t* name : {u"-server", u"/SERVER", u"-Server"}) {
        PARSED parsed = Parse({name, u"host"});
        EXPECT_EQ(parsed.Bad, nullptr) << Utf8(name);
        EXPECT_EQ(Utf8(parsed.Line.Server), "host");
    }
    PARSED unprefixed = Parse({u"SERVER", u"host"});
    ASSERT_NE(unprefixed.Bad, nullptr);
    EXPECT_EQ(Utf8(unprefixed.Bad), "SERVER");
}

TEST(CommandLineTest, ValuesFollowTheirRules) {
    PARSED emptyServer = Parse({u"-SERVER", u""});
    ASSERT_NE(emptyServer.Bad, nullptr);
    EXPECT_EQ(Utf8(emptyServer.Bad), "");

    PARSED emptyAd = Parse({u"-AD_SERVER", u""});
    EXPECT_EQ(emptyAd.Bad, nullptr);
    ASSERT_NE(emptyAd.Line.AdServer, nullptr);
    EXPECT_EQ(emptyAd.Line.AdServer[0], 0);

    PARSED lastProtocol = Parse({u"-X", u"-PROTOCOL"});
    EXPECT_EQ(lastProtocol.Bad, nullptr);
    EXPECT_EQ(lastProtocol.Line.Protocol, PROTOCOL_AUTOMATIC);
    EXPECT_TRUE(lastProtocol.Line.ConfigureOnly);

    PARSED udp = Parse({u"-PROTOCOL", u"UDP"});
    ASSERT_NE(udp.Bad, nullptr);
    EXPECT_EQ(Utf8(udp.Bad), "UDP");
    EXPECT_EQ(Parse({u"-protocol", u"tcps"}).Line.Protocol, PROTOCOL_SECURE_TCP);
    EXPECT_EQ(Parse({u"-PROTOCOL", u"TCP"}).Line.Protocol, PROTOCOL_TCP);
    EXPECT_EQ(Parse({}).Line.Protocol, PROTOCOL_NOT_GIVEN);

    PARSED lastUser = Parse({u"-USER_NAME"});
    ASSERT_NE(lastUser.Bad, nullptr);
    EXPECT_EQ(Utf8(lastUser.Bad), "USER_NAME");

    // A value is taken verbatim, even when it looks like a switch.
    PARSED dashed = Parse({u"-USER_NAME", u"-X"});
    EXPECT_EQ(dashed.Bad, nullptr);
    EXPECT_EQ(Utf8(dashed.Line.UserName), "-X");
    EXPECT_FALSE(dashed.Line.ConfigureOnly);

    // The filter lists may be empty (the list is deleted); the dry run needs a file.
    PARSED lists = Parse({u"-IGNORE_USERS", u"svc_*;CORP\\backup", u"-include_networks", u"", u"/EXCLUDE_NETWORKS",
                          u"10.0.0.0/8", u"-REPLAY", u"yesterday.evtx"});
    EXPECT_EQ(lists.Bad, nullptr);
    EXPECT_EQ(Utf8(lists.Line.IgnoreUsers), "svc_*;CORP\\backup");
    EXPECT_EQ(Utf8(lists.Line.IncludeNetworks), "");
    EXPECT_EQ(Utf8(lists.Line.ExcludeNetworks), "10.0.0.0/8");
    EXPECT_EQ(Utf8(lists.Line.ReplayFile), "yesterday.evtx");
    EXPECT_EQ(Utf8(Parse({u"-EXCLUDE_NETWORKS"}).Bad), "EXCLUDE_NETWORKS");
    EXPECT_EQ(Utf8(Parse({u"-REPLAY"}).Bad), "REPLAY");
    PARSED noFile = Parse({u"-REPLAY", u""});
    ASSERT_NE(noFile.Bad, nullptr);
    EXPECT_EQ(Utf8(noFile.Bad), "");
}

TEST(CommandLineTest, ModeKeywordsAndCategoriesGatherIntoOneMode) {
    PARSED parsed = Parse({u"-V", u"/tcp", u"-AD", u"-L"});
    EXPECT_EQ(parsed.Bad, nullptr);
    EXPECT_EQ(parsed.Line.CommandLineMode, DBGOUT_VERBOSE | DBGOUT_CUSTOM2 | DBGOUT_CUSTOM1 | DBGOUT_LOG);
    EXPECT_EQ(Parse({u"-R"}).Line.CommandLineMode, 0xAu);
    EXPECT_EQ(Parse({u"-kd", u"-NO_TIME_STAMP"}).Line.CommandLineMode, 0x11u | 0x40000u);
}

TEST(CommandLineTest, FlagSwitches) {
    PARSED parsed = Parse({u"-C", u"-BREAK", u"-A", u"-DUMP_ALL", u"-MINI_DUMP"});
    EXPECT_EQ(parsed.Bad, nullptr);
    EXPECT_TRUE(parsed.Line.ClearSavedMode);
    EXPECT_TRUE(parsed.Line.Break);
    EXPECT_TRUE(parsed.Line.Application);
    EXPECT_TRUE(parsed.Line.DumpPertinent);
    EXPECT_TRUE(parsed.Line.DumpNonPertinent);
    EXPECT_TRUE(parsed.Line.MiniDump);

    PARSED logoff = Parse({u"-REPORT_LOGOFF", u"-USER_NAME", u"u", u"-COMPUTER_NAME", u"c"});
    EXPECT_TRUE(logoff.Line.ReportMode);
    EXPECT_TRUE(logoff.Line.ReportIdentity);
    EXPECT_TRUE(logoff.Line.ReportLogoff);
    EXPECT_FALSE(logoff.Line.ReportHeartbeat);
    EXPECT_EQ(Utf8(logoff.Line.ComputerName), "c");
    EXPECT_TRUE(Parse({u"-REPORT_HEARTBEAT"}).Line.ReportHeartbeat);
}

TEST(CommandLineTest, ParsingStopsAtTheFirstBadArgument) {
    PARSED parsed = Parse({u"-X", u"-BOGUS", u"-A"});
    ASSERT_NE(parsed.Bad, nullptr);
    EXPECT_EQ(Utf8(parsed.Bad), "BOGUS");
    EXPECT_TRUE(parsed.Line.ConfigureOnly);
    EXPECT_FALSE(parsed.Line.Application);
    EXPECT_NE(Parse({u"-"}).Bad, nullptr);
}

TEST(CommandLineTest, ASecondParseResetsOnlyTheMode) {
    COMMAND_LINE line;
    const char16_t* first[] = {u"Quorvane.exe", u"-V", u"-SERVER", u"one", u"-A"};
    ASSERT_EQ(ParseCommandLine(line, first, 5), nullptr);
    const char16_t* second[] = {u"Quorvane", u"-D"};
    ASSERT_EQ(ParseCommandLine(line, second, 2), nullptr);
    EXPECT_EQ(line.CommandLineMode, DBGOUT_DEBUGGER);
    EXPECT_EQ(Utf8(line.Server), "one");
    EXPECT_TRUE(line.Application);
    EXPECT_EQ(line.ArgumentsEnd - line.Arguments, 2);
}

}  // namespace
}  // namespace qv
