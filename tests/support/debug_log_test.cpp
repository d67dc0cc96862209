// The logging library's messages: which are accepted, how lines are built, what each channel
// receives, held messages, the mode and its text, and the end of the process.
#include "support/debug_log.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "base/error_codes.h"
#include "platform/error_text.h"
#include "platform/process.h"
#include "platform/thread.h"
#include "support/thread_group.h"
#include "tests/support/debug_log_test_support.h"

namespace qv {
namespace {

namespace fs = std::filesystem;
using test::DebugLogTest;
using LINES = std::vector<std::string>;

std::string ErrorText(uint32_t code) { return test::Utf8(GetErrorText(code)); }

// --- what is accepted ---------------------------------------------------------------------------

TEST_F(DebugLogTest, ModeZeroWritesNothingExceptDebuggerPrint) {
    EXPECT_EQ(GetDebugOutputMode(), 0u);
    DebugLog(u"hello %s", u"world");
    DebugLogEx(DBGOUT_HOLD, u"held while nothing is on");
    DebugLogText(u"text");
    DebugLogA("narrow %d", 1);
    DebugLogFlush(true);
    EXPECT_TRUE(Environment.TakeDebugger().empty());
    EXPECT_TRUE(Environment.TakeConsole().empty());
    EXPECT_FALSE(Exists(u"Quorvane.log"));

    DebuggerPrint(u"Unable to register service. error = %lu", 1073u);
    EXPECT_EQ(Environment.TakeDebugger(), LINES{STAMP + PrefixPart() + "Unable to register service. error = 1073\n\n"});
    DebuggerPrintPlain(u"plain %d%%", 50);
    EXPECT_EQ(Environment.TakeDebugger(), LINES{"plain 50%"});

    // The held message was dropped before it could be queued: nothing comes out later.
    SetDebugOutputMode(DBGOUT_DEBUGGER);
    DebugLogFlush(false);
    EXPECT_TRUE(Environment.TakeDebugger().empty());
}

TEST_F(DebugLogTest, CategoriesMustAllBeInTheMode) {
    SetDebugOutputMode(DBGOUT_LOG | DBGOUT_VERBOSE);  // 0x102
    DebugLogEx(DBGOUT_CUSTOM1, u"AD lookup");
    EXPECT_FALSE(Exists(u"Quorvane.log"));

    SetDebugOutputMode(DBGOUT_LOG | DBGOUT_VERBOSE | DBGOUT_CUSTOM1);  // 0x302
    DebugLogEx(DBGOUT_CUSTOM1, u"AD lookup");
    DebugLogEx(DBGOUT_CUSTOM1 | DBGOUT_CUSTOM2, u"AD and TCP");  // TCP is off
    DebugLogEx(DBGOUT_CUSTOM1 | DBGOUT_VERBOSE, u"verbose AD");
    EXPECT_EQ(Read(), STAMP + PrefixPart() + "AD lookup\r\n" + STAMP + PrefixPart() + "verbose AD\r\n");
}

TEST_F(DebugLogTest, ForcedMessagesNeedNoChannelInTheMode) {
    DebugLogEx(DBGOUT_FORCE_LOG, u"forced into the file");
    EXPECT_TRUE(Environment.TakeDebugger().empty());
    EXPECT_EQ(Read(), STAMP + PrefixPart() + "forced into the file\r\n");

    DebugLogEx(DBGOUT_FORCE_DEBUGGER, u"forced to the debugger");
    EXPECT_EQ(Environment.TakeDebugger(), LINES{STAMP + PrefixPart() + "forced to the debugger\n\n"});
    EXPECT_EQ(Read(), STAMP + PrefixPart() + "forced into the file\r\n") << "the mode has no LOG";

    // A forced message still obeys the categories.
    DebugLogEx(DBGOUT_FORCE_DEBUGGER | DBGOUT_VERBOSE, u"verbose");
    EXPECT_TRUE(Environment.TakeDebugger().empty());
}

TEST_F(DebugLogTest, ChannelsFollowTheMode) {
    SetDebugOutputMode(DBGOUT_CONSOLE);
    DebugLog(u"console only %d", 1);
    EXPECT_EQ(Environment.TakeConsole(), LINES{PrefixPart() + "console only 1\n\n"}) << "no time stamp";
    EXPECT_TRUE(Environment.TakeDebugger().empty());
    EXPECT_FALSE(Exists(u"Quorvane.log"));

    SetDebugOutputMode(DBGOUT_DEBUGGER | DBGOUT_KERNEL);
    DebugLog(u"kernel \u00e9");
    EXPECT_EQ(Environment.TakeKernel(), LINES{STAMP + PrefixPart() + "kernel \xc3\xa9\n\n"});
    EXPECT_TRUE(Environment.TakeDebugger().empty());

    SetDebugOutputMode(DBGOUT_LOG);
    DebugLogEx(DBGOUT_FORCE_DEBUGGER, u"both");
    EXPECT_EQ(Environment.TakeDebugger(), LINES{STAMP + PrefixPart() + "both\n\n"});
    EXPECT_EQ(Read(), STAMP + PrefixPart() + "both\r\n");
}

// --- how lines are built ----------------------------------------------------------------------

TEST_F(DebugLogTest, LeadingLineBreaksGoBeforeTheTimeStamp) {
    SetDebugOutputMode(DBGOUT_DEBUGGER | DBGOUT_LOG | DBGOUT_CONSOLE);
    DebugLog(u"\n\nStarted");
    EXPECT_EQ(Environment.TakeDebugger(), LINES{"\n\n" + std::string(STAMP) + PrefixPart() + "Started\n\n"});
    EXPECT_EQ(Environment.TakeConsole(), LINES{"\n\n" + PrefixPart() + "Started\n\n"});
    EXPECT_EQ(Read(), "\r\n\r\n" + std::string(STAMP) + PrefixPart() + "Started\r\n");
}

TEST_F(DebugLogTest, AMessageOfLineBreaksOnlyKeepsThemAfterTheTimeStamp) {
    SetDebugOutputMode(DBGOUT_DEBUGGER | DBGOUT_LOG);
    DebugLog(u"\r\n");
    EXPECT_EQ(Environment.TakeDebugger(), LINES{STAMP + PrefixPart() + "\r\n\n\n"});
    EXPECT_EQ(Read(), STAMP + PrefixPart() + "\r\n\r\n");
}

TEST_F(DebugLogTest, TheFileGetsACarriageReturnBeforeEveryLineFeed) {
    SetDebugOutputMode(DBGOUT_DEBUGGER | DBGOUT_LOG);
    DebugLog(u"a\nb");
    DebugLog(u"c\r\nd");
    DebugLog(u"\ne\n\nf\n");
    EXPECT_EQ(Read(), STAMP + PrefixPart() + "a\r\nb\r\n" + STAMP + PrefixPart() + "c\r\nd\r\n" + "\r\n" + STAMP +
                          PrefixPart() + "e\r\n\r\nf\r\n\r\n");
    // The debugger gets the text as it is.
    const LINES debugger = Environment.TakeDebugger();
    ASSERT_EQ(debugger.size(), 3u);
    EXPECT_EQ(debugger[0], STAMP + PrefixPart() + "a\nb\n\n");
}

TEST_F(DebugLogTest, TimeStampsUseTheTwelveHourClock) {
    SetDebugOutputMode(DBGOUT_DEBUGGER);
    struct CASE {
        uint16_t Hour, Minute, Second;
        const char* Expected;
    };
    const CASE cases[] = {
        {0, 5, 9, "2024/01/02 12:05:09 AM "},  {1, 0, 0, "2024/01/02 01:00:00 AM "},
        {11, 59, 59, "2024/01/02 11:59:59 AM "}, {12, 0, 0, "2024/01/02 12:00:00 PM "},
        {13, 7, 0, "2024/01/02 01:07:00 PM "},  {23, 59, 59, "2024/01/02 11:59:59 PM "},
    };
    for (const CASE& c : cases) {
        Environment.SetLocalTime(2024, 1, 2, c.Hour, c.Minute, c.Second);
        DebugLog(u"tick");
        EXPECT_EQ(Environment.TakeDebugger(), LINES{c.Expected + PrefixPart() + "tick\n\n"}) << c.Expected;
    }
}

TEST_F(DebugLogTest, NoTimeStampMode) {
    SetDebugOutputMode(DBGOUT_DEBUGGER | DBGOUT_LOG | DBGOUT_NO_TIME_STAMP);
    DebugLog(u"plain");
    EXPECT_EQ(Environment.TakeDebugger(), LINES{PrefixPart() + "plain\n\n"});
    EXPECT_EQ(Read(), PrefixPart() + "plain\r\n");
}

TEST_F(DebugLogTest, LinePrefixIsCutTo32Units) {
    SetDebugOutputMode(DBGOUT_DEBUGGER);
    SetDebugOutputPrefix(u"QRVA: ");
    DebugLog(u"x");
    EXPECT_EQ(Environment.TakeDebugger(), LINES{STAMP + PrefixPart("QRVA: ") + "x\n\n"});

    SetDebugOutputPrefix(u"0123456789012345678901234567890123456789");  // 40 units
    DebugLog(u"x");
    EXPECT_EQ(Environment.TakeDebugger(), LINES{STAMP + PrefixPart("01234567890123456789012345678901") + "x\n\n"});

    SetDebugOutputPrefix(nullptr);
    DebugLog(u"x");
    EXPECT_EQ(Environment.TakeDebugger(), LINES{STAMP + PrefixPart() + "x\n\n"});
}

TEST_F(DebugLogTest, RawAndNoNewlineMessages) {
    SetDebugOutputMode(DBGOUT_DEBUGGER | DBGOUT_LOG | DBGOUT_CONSOLE);
    DebugLogEx(DBGOUT_RAW, u"\nraw %d\n", 1);
    EXPECT_EQ(Environment.TakeDebugger(), LINES{"\nraw 1\n\n\n"});
    EXPECT_EQ(Environment.TakeConsole(), LINES{"\nraw 1\n\n\n"});
    EXPECT_EQ(Read(), "\r\nraw 1\r\n\r\n");

    DebugLogEx(DBGOUT_RAW | DBGOUT_NO_NEWLINE, u"[raw]");
    DebugLogEx(DBGOUT_NO_NEWLINE, u"[part]");
    EXPECT_EQ(Environment.TakeDebugger(), (LINES{"[raw]", STAMP + PrefixPart() + "[part]"}));
    EXPECT_EQ(Environment.TakeConsole(), (LINES{"[raw]", PrefixPart() + "[part]"}));
    EXPECT_EQ(Read(), "\r\nraw 1\r\n\r\n[raw]" + std::string(STAMP) + PrefixPart() + "[part]");
}

TEST_F(DebugLogTest, TheFileIsUtf8) {
    SetDebugOutputMode(DBGOUT_LOG);
    DebugLog(u"J\u00fcrgen %s \U0001F600", u"\u65e5\u672c");
    DebugLogA("narrow %s %d", "\xe2\x82\xac", 5);
    EXPECT_EQ(Read(), STAMP + PrefixPart() + "J\xc3\xbcrgen \xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x98\x80\r\n" + STAMP +
                          PrefixPart() + "narrow \xe2\x82\xac 5\r\n");
}

TEST_F(DebugLogTest, TextsAndNarrowFormatsAreFinishedTexts) {
    SetDebugOutputMode(DBGOUT_DEBUGGER);
    DebugLogText(u"100% done %s");
    DebugLogTextEx(DBGOUT_NO_NEWLINE, u"%d");
    DebugLogExA(DBGOUT_NO_NEWLINE, "%s%%", "50");
    DebugLogExA(DBGOUT_VERBOSE, "dropped after formatting");
    EXPECT_EQ(Environment.TakeDebugger(),
              (LINES{STAMP + PrefixPart() + "100% done %s\n\n", STAMP + PrefixPart() + "%d", STAMP + PrefixPart() + "50%"}));
}

TEST_F(DebugLogTest, LogFunctionForThreadGroups) {
    SetDebugOutputMode(DBGOUT_DEBUGGER);
    CallLog(DebugLogFunction, u"Stopping %s threads", u"worker");
    EXPECT_EQ(Environment.TakeDebugger(), LINES{STAMP + PrefixPart() + "Stopping worker threads\n\n"});
}

TEST_F(DebugLogTest, FlushWritesHeldMessagesAndABlankLine) {
    SetDebugOutputMode(DBGOUT_DEBUGGER | DBGOUT_LOG | DBGOUT_CONSOLE);
    DebugLogEx(DBGOUT_HOLD, u"held");
    DebugLogFlush(true);
    EXPECT_EQ(Environment.TakeDebugger(), (LINES{STAMP + PrefixPart() + "held\n\n", "\n"}));
    EXPECT_EQ(Environment.TakeConsole(), (LINES{PrefixPart() + "held\n\n", "\n"}));
    EXPECT_EQ(Read(), STAMP + PrefixPart() + "held\r\n\r\n");

    DebugLogFlush(false);
    EXPECT_TRUE(Environment.TakeDebugger().empty());

    SetDebugOutputMode(DBGOUT_DEBUGGER);
    DebugLogFlush(true);
    EXPECT_EQ(Environment.TakeDebugger(), LINES{"\n"});
    EXPECT_EQ(Read(), STAMP + PrefixPart() + "held\r\n\r\n") << "no LOG, no blank line in the file";
}

// --- library messages and failures ----------------------------------------------------------------

TEST_F(DebugLogTest, ProgressMessagesOnlyWithInternal) {
    SetDebugOutputMode(DBGOUT_LOG);
    DebugLog(u"one");
    EXPECT_TRUE(Environment.TakeDebugger().empty());

    SetDebugOutputMode(DBGOUT_LOG | DBGOUT_INTERNAL);  // LOG stays on: the file stays open
    SetLogPath(FolderText.c_str(), u"Second", LOG_PATH_DEFAULT);
    DebugLog(u"two");
    EXPECT_EQ(Environment.TakeDebugger(),
              (LINES{STAMP + PrefixPart() + "Log path = \"" + Utf8Path(u"Second.log") + "\"\n\n",
                     STAMP + PrefixPart() + "Log file \"" + Utf8Path(u"Second.log") + "\" created\n\n"}));
}

TEST_F(DebugLogTest, AFailedWriteIsReported) {
    SetDebugOutputMode(DBGOUT_LOG);
    Environment.WriteError = ERR_DISK_FULL;
    DebugLog(u"abc");
    const size_t bytes = std::string(STAMP).size() + PrefixPart().size() + 5;
    EXPECT_EQ(Environment.TakeDebugger(), LINES{STAMP + PrefixPart() + "Unable to write " + std::to_string(bytes) +
                                                " bytes to log file. " + ErrorText(ERR_DISK_FULL) +
                                                ". Error code = 112.\n\n"});
    EXPECT_TRUE(Environment.TakeConsole().empty());
}

#if !defined(_WIN32)
// Nothing but a regular file of a trusted owner is ever the log: a device, or a link another
// account left under the log's name, is refused with one clear line each time, and the link's
// target stays as it was.
TEST_F(DebugLogTest, ADeviceOrALinkInTheLogsPlaceIsRefused) {
    const fs::path target = Folder / "target.txt";
    std::ofstream(target) << "precious";
    fs::create_symlink(target, Folder / "Quorvane.log");
    SetDebugOutputMode(DBGOUT_LOG | DBGOUT_OVERWRITE | DBGOUT_NO_TIME_STAMP);
    DebugLog(u"abc");
    EXPECT_EQ(Environment.TakeDebugger(),
              LINES{PrefixPart() + "Unable to create log file \"" + Utf8Path(u"Quorvane.log") +
                    "\". The create operation stopped after reaching a symbolic link. Error code = 681.\n    \n\n"});
    std::ifstream in(target);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()), "precious");

    SetLogPath(u"/dev/", u"full", u"");
    DebugLog(u"abc");
    EXPECT_EQ(Environment.TakeDebugger(),
              LINES{PrefixPart() + "Unable to create log file \"/dev/full\". The file is not a regular file, so it is "
                                   "not used. Error code = 536870913.\n    \n\n"});
}
#endif

TEST_F(DebugLogTest, AFailedOpenIsTriedAndReportedByEveryMessage) {
    fs::create_directory(Folder / "Quorvane.log");  // a folder where the file should be
    SetDebugOutputMode(DBGOUT_LOG);
    DebugLog(u"one");
    DebugLog(u"two");
    const std::string report = STAMP + PrefixPart() + "Unable to create log file \"" + Utf8Path(u"Quorvane.log") +
                               "\". " + ErrorText(ERR_ACCESS_DENIED) + ". Error code = 5.\n    \n\n";
    EXPECT_EQ(Environment.TakeDebugger(), (LINES{report, report}));
    EXPECT_FALSE(IsLogFileOpenForTest());

    fs::remove(Folder / "Quorvane.log");
    DebugLog(u"three");
    EXPECT_EQ(Read(), STAMP + PrefixPart() + "three\r\n");
}

// --- held messages ----------------------------------------------------------------------------

struct HOLDING_THREAD {
    static uint32_t Run(void*) {
        DebugLogEx(DBGOUT_HOLD, u"held by B");
        return 0;
    }
};

TEST_F(DebugLogTest, HeldMessagesWaitForTheirThreadsNextMessage) {
    SetDebugOutputMode(DBGOUT_DEBUGGER | DBGOUT_LOG);
    DebugLogEx(DBGOUT_HOLD, u"held A1");
    DebugLogEx(DBGOUT_HOLD | DBGOUT_RAW, u"[held A2 raw]");

    THREAD other;
    ASSERT_TRUE(other.Start(HOLDING_THREAD::Run, nullptr));
    ASSERT_EQ(WaitForOne(other, WAIT_INFINITE), 0u);
    const uint32_t otherId = other.Id();
    EXPECT_TRUE(Environment.TakeDebugger().empty());
    EXPECT_FALSE(Exists(u"Quorvane.log"));

    DebugLog(u"A next");
    EXPECT_EQ(Environment.TakeDebugger(), (LINES{STAMP + PrefixPart() + "held A1\n\n", "[held A2 raw]\n\n",
                                                 STAMP + PrefixPart() + "A next\n\n"}));
    DebugLog(u"A again");
    EXPECT_EQ(Environment.TakeDebugger(), LINES{STAMP + PrefixPart() + "A again\n\n"}) << "B's stays held";

    // The thread has ended; its held message comes out when the process ends, under its id.
    ShutdownDebugLog();
    EXPECT_EQ(Environment.TakeDebugger(), LINES{STAMP + PrefixPart("", otherId) + "held by B\n\n"});
    EXPECT_EQ(Read(), STAMP + PrefixPart() + "held A1\r\n[held A2 raw]\r\n" + STAMP + PrefixPart() + "A next\r\n" +
                          STAMP + PrefixPart() + "A again\r\n" + STAMP + PrefixPart("", otherId) + "held by B\r\n");
}

TEST_F(DebugLogTest, HoldCountsOnlyWithTheSecondBitClear) {
    SetDebugOutputMode(DBGOUT_DEBUGGER);
    DebugLogEx(DBGOUT_HOLD | 0x2, u"not held");
    EXPECT_EQ(Environment.TakeDebugger(), LINES{STAMP + PrefixPart() + "not held\n\n"});

    // A held message in a category that is off is dropped, not held.
    DebugLogEx(DBGOUT_HOLD | DBGOUT_VERBOSE, u"verbose held");
    SetDebugOutputMode(DBGOUT_DEBUGGER | DBGOUT_VERBOSE);
    DebugLogFlush(false);
    EXPECT_TRUE(Environment.TakeDebugger().empty());
}

// --- one line, one write ----------------------------------------------------------------------

struct LINE_WRITER {
    int Number;
    static uint32_t Run(void* argument) {
        const int number = static_cast<LINE_WRITER*>(argument)->Number;
        for (uint32_t i = 0; i < 1000; ++i) {
            DebugLog(u"writer %d line %04lu ..........................................", number, i);
        }
        return 0;
    }
};

TEST_F(DebugLogTest, LinesOfTwoThreadsNeverInterleave) {
    SetDebugOutputMode(DBGOUT_LOG);
    LINE_WRITER first{1};
    LINE_WRITER second{2};
    THREAD one;
    THREAD two;
    ASSERT_TRUE(one.Start(LINE_WRITER::Run, &first));
    ASSERT_TRUE(two.Start(LINE_WRITER::Run, &second));
    ASSERT_EQ(WaitForOne(one, WAIT_INFINITE), 0u);
    ASSERT_EQ(WaitForOne(two, WAIT_INFINITE), 0u);
    EXPECT_EQ(Environment.WriteCount(), 2000u) << "one write per line";

    const std::string content = Read();
    const std::regex line("2024/01/02 01:07:00 PM \\(\\d+\\.(\\d+)\\) writer ([12]) line (\\d{4}) \\.+");
    uint32_t next[3] = {0, 0, 0};
    std::string ids[3];
    size_t start = 0;
    uint32_t count = 0;
    while (start < content.size()) {
        const size_t end = content.find("\r\n", start);
        ASSERT_NE(end, std::string::npos);
        const std::string text = content.substr(start, end - start);
        std::smatch match;
        ASSERT_TRUE(std::regex_match(text, match, line)) << text;
        const int writer = std::stoi(match[2].str());
        if (ids[writer].empty()) ids[writer] = match[1].str();
        EXPECT_EQ(match[1].str(), ids[writer]);
        EXPECT_EQ(static_cast<uint32_t>(std::stoul(match[3].str())), next[writer]++);
        ++count;
        start = end + 2;
    }
    EXPECT_EQ(count, 2000u);
}

// --- modes ------------------------------------------------------------------------------------

TEST_F(DebugLogTest, ModeText) {
    EXPECT_EQ(test::Utf8(DebugOutputModeToText(0x106)), "Log, Overwrite existing, Verbose");
    EXPECT_EQ(test::Utf8(DebugOutputModeToText(0x20000)), "None");
    EXPECT_EQ(test::Utf8(DebugOutputModeToText(0)), "None");
    EXPECT_EQ(test::Utf8(DebugOutputModeToText(0xFFFFFFFF)),
              "Debugger, Kernel, Log, Overwrite existing, Rename existing, Verbose, Custom1, Custom2, Custom3, "
              "Custom4, Internal, Console, No time stamp");
    EXPECT_EQ(test::Utf8(DebugOutputModeToText(0x11)), "Debugger, Kernel");
}

TEST_F(DebugLogTest, CustomNamesAreTakenAtTheFirstModeText) {
    SetDebugOutputCustomName(1, u"AD");
    SetDebugOutputCustomName(2, u"TCP");
    SetDebugOutputCustomName(3, u"ignored");
    EXPECT_EQ(test::Utf8(DebugOutputModeToText(0x1E00)), "AD, TCP, Custom3, Custom4");
    SetDebugOutputCustomName(1, u"Too late");
    EXPECT_EQ(test::Utf8(DebugOutputModeToText(DBGOUT_CUSTOM1)), "AD");
}

TEST_F(DebugLogTest, Keywords) {
    struct CASE {
        const char16_t* Keyword;
        uint32_t Flags;
    };
    const CASE cases[] = {
        {u"D", 0x1},      {u"L", 0x2},           {u"O", 0x6},
        {u"R", 0xA},      {u"V", 0x100},         {u"KD", 0x11},
        {u"kd", 0x11},    {u"d", 0x1},           {u"NO_TIME_STAMP", 0x40000},
        {u"no_time_Stamp", 0x40000}, {u"INTERNAL", 0x10000}, {u"Internal", 0x10000},
    };
    for (const CASE& c : cases) {
        uint32_t flags = 0xDEAD;
        EXPECT_TRUE(ParseDebugOutputKeyword(c.Keyword, flags)) << test::Utf8(c.Keyword);
        EXPECT_EQ(flags, c.Flags) << test::Utf8(c.Keyword);
    }
    for (const char16_t* bad : {u"", u"X", u"-D", u"/L", u"DL", u"NO TIME STAMP", u"K"}) {
        uint32_t flags = 0xDEAD;
        EXPECT_FALSE(ParseDebugOutputKeyword(bad, flags)) << test::Utf8(bad);
        EXPECT_EQ(flags, 0xDEADu);
    }
    uint32_t flags = 0;
    EXPECT_FALSE(ParseDebugOutputKeyword(nullptr, flags));
}

TEST_F(DebugLogTest, VerboseFollowsTheMode) {
    EXPECT_FALSE(GetDebugOutputVerbose());
    SetDebugOutputMode(DBGOUT_VERBOSE);
    EXPECT_TRUE(GetDebugOutputVerbose());
    EXPECT_EQ(GetDebugOutputMode(), DBGOUT_VERBOSE);
}

TEST_F(DebugLogTest, LogDebugOutputMode) {
    LogDebugOutputMode(0, u"registry", u"DebugOutput");
    EXPECT_TRUE(Environment.TakeDebugger().empty());

    LogDebugOutputMode(6, nullptr, nullptr);
    LogDebugOutputMode(0x106, u"HKLM\\Software\\Quorvane", u"DebugOutput");
    LogDebugOutputMode(0x20000, u"command line", nullptr);
    EXPECT_EQ(Environment.TakeDebugger(),
              (LINES{STAMP + PrefixPart() + "Debug output mode (from defaults) = Log, Overwrite existing\n\n",
                     STAMP + PrefixPart() +
                         "Debug output mode (from HKLM\\Software\\Quorvane = \"DebugOutput\") = Log, Overwrite "
                         "existing, Verbose \n\n",
                     STAMP + PrefixPart() + "Debug output mode (from command line) = None\n\n"}));
}

TEST_F(DebugLogTest, LogArgumentsIsVerbose) {
    const char16_t* arguments[] = {u"C:\\Program Files\\Quorvane\\Quorvane.exe", u"-D"};
    SetDebugOutputMode(DBGOUT_DEBUGGER);
    LogArguments(arguments, 2);
    EXPECT_TRUE(Environment.TakeDebugger().empty());
    SetDebugOutputMode(DBGOUT_DEBUGGER | DBGOUT_VERBOSE);
    LogArguments(arguments, 2);
    EXPECT_EQ(Environment.TakeDebugger(),
              (LINES{STAMP + PrefixPart() + "Argument[0] = \"C:\\Program Files\\Quorvane\\Quorvane.exe\"\n\n",
                     STAMP + PrefixPart() + "Argument[1] = \"-D\"\n\n"}));
    LogArguments(nullptr, 3);
    EXPECT_TRUE(Environment.TakeDebugger().empty());
}

TEST_F(DebugLogTest, EnvironmentNumbers) {
    const char16_t* name = u"QV_DEBUG_LOG_TEST_NUMBER";
    struct CASE {
        const char16_t* Value;
        uint32_t Expected;
    };
    const CASE cases[] = {
        {u"0x106", 262},      {u"0X1f", 31},         {u"262", 262}, {u"012", 12},      {u"12abc", 0},
        {u"", 0},             {u"0x", 0},            {u"-5", 0},    {u" 5", 0},        {u"5 ", 0},
        {u"4294967295", 0xFFFFFFFFu}, {u"4294967296", 0}, {u"0xFFFFFFFF", 0xFFFFFFFFu}, {u"0x100000000", 0},
        {u"99999999999999999999999", 0}, {u"0x0x1", 0},
    };
    for (const CASE& c : cases) {
        ASSERT_TRUE(WriteEnvironmentVariable(name, c.Value));
        EXPECT_EQ(GetEnvironmentNumber(name), c.Expected) << test::Utf8(c.Value);
    }
    WriteEnvironmentVariable(name, nullptr);
    EXPECT_EQ(GetEnvironmentNumber(name), 0u);
}

// --- the end of the process -------------------------------------------------------------------

TEST_F(DebugLogTest, ShutdownEndsAllWriting) {
    SetDebugOutputMode(DBGOUT_DEBUGGER | DBGOUT_LOG);
    DebugLog(u"before");
    EXPECT_TRUE(IsLogFileOpenForTest());
    Environment.TakeDebugger();

    ShutdownDebugLog();
    EXPECT_FALSE(IsLogFileOpenForTest());
    EXPECT_EQ(GetDebugOutputMode(), 0u);
    SetDebugOutputMode(DBGOUT_DEBUGGER | DBGOUT_LOG);
    EXPECT_EQ(GetDebugOutputMode(), 0u) << "mode changes are ignored";
    DebugLog(u"after");
    DebugLogEx(DBGOUT_FORCE_LOG | DBGOUT_FORCE_DEBUGGER, u"forced after");
    DebugLogEx(DBGOUT_HOLD, u"held after");
    DebugLogFlush(true);
    EXPECT_TRUE(Environment.TakeDebugger().empty());
    EXPECT_EQ(Read(), STAMP + PrefixPart() + "before\r\n");

    DebuggerPrint(u"still there");
    EXPECT_EQ(Environment.TakeDebugger(), LINES{STAMP + PrefixPart() + "still there\n\n"});
    ShutdownDebugLog();  // a second time does nothing more
    EXPECT_TRUE(Environment.TakeDebugger().empty());
}

// --- the real outside world -----------------------------------------------------------------------

TEST_F(DebugLogTest, RealEnvironmentWritesARealFile) {
    ResetDebugLogForTest(nullptr);
    ASSERT_TRUE(SetLogPath(FolderText.c_str(), u"Real", u"LOG"));
    EXPECT_EQ(test::Utf8(GetLogPath()), Utf8Path(u"Real.log"));
    SetDebugOutputMode(DBGOUT_LOG);
    DebugLog(u"real %d", 1);
    DebuggerPrint(u"Quorvane debug log test: real debugger channel");
    const std::string content = Read(u"Real.log");
    EXPECT_TRUE(std::regex_match(content, std::regex("\\d{4}/\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d [AP]M \\(\\d+\\.\\d+\\) "
                                                     "real 1\r\n")))
        << content;
}

}  // namespace
}  // namespace qv
