// The log file: opening it on demand, overwriting or renaming an old one at the first open,
// the time-stamped names, SetLogPath with its probe, directory creation and the daily rename.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "base/error_codes.h"
#include "platform/error_text.h"
#include "platform/last_error.h"
#include "support/debug_log.h"
#include "tests/support/debug_log_test_support.h"

namespace qv {
namespace {

using test::CalendarValue;
namespace fs = std::filesystem;
using test::DebugLogTest;
using test::FAKE_LOG_ENVIRONMENT;
using LINES = std::vector<std::string>;

std::string ErrorText(uint32_t code) { return test::Utf8(GetErrorText(code)); }

class LogFileTest : public DebugLogTest {
protected:
    std::string Progress(const std::string& text) const { return STAMP + PrefixPart() + text + "\n\n"; }
    std::string Quoted(const std::u16string& name) const { return "\"" + Utf8Path(name) + "\""; }
};

// --- opening ----------------------------------------------------------------------------------

TEST_F(LogFileTest, AppendsToAnExistingFileOrCreatesOne) {
    Create(u"Quorvane.log", "old\r\n");
    SetDebugOutputMode(DBGOUT_LOG | DBGOUT_INTERNAL);
    DebugLog(u"new");
    EXPECT_EQ(Environment.TakeDebugger(), LINES{Progress("Log file " + Quoted(u"Quorvane.log") + " opened")});
    EXPECT_EQ(Read(), "old\r\n" + std::string(STAMP) + PrefixPart() + "new\r\n");

    SetLogPath(FolderText.c_str(), u"Fresh", LOG_PATH_DEFAULT);
    Environment.TakeDebugger();
    DebugLog(u"first");
    EXPECT_EQ(Environment.TakeDebugger(), LINES{Progress("Log file " + Quoted(u"Fresh.log") + " created")});
}

TEST_F(LogFileTest, OverwriteOnlyAtTheFirstOpen) {
    Create(u"Quorvane.log", "old\r\n");
    SetDebugOutputMode(DBGOUT_LOG | DBGOUT_OVERWRITE | DBGOUT_INTERNAL);
    DebugLog(u"one");
    EXPECT_EQ(Environment.TakeDebugger(), LINES{Progress("Log file " + Quoted(u"Quorvane.log") + " overwritten")});
    EXPECT_EQ(Read(), STAMP + PrefixPart() + "one\r\n");

    // Turning the log off closes the file; turning it on again appends.
    SetDebugOutputMode(DBGOUT_INTERNAL);
    EXPECT_FALSE(IsLogFileOpenForTest());
    SetDebugOutputMode(DBGOUT_LOG | DBGOUT_OVERWRITE | DBGOUT_INTERNAL);
    DebugLog(u"two");
    EXPECT_EQ(Environment.TakeDebugger(), LINES{Progress("Log file " + Quoted(u"Quorvane.log") + " opened")});
    EXPECT_EQ(Read(), STAMP + PrefixPart() + "one\r\n" + STAMP + PrefixPart() + "two\r\n");
}

TEST_F(LogFileTest, OverwriteWithoutAFileCreatesIt) {
    SetDebugOutputMode(DBGOUT_LOG | DBGOUT_OVERWRITE | DBGOUT_INTERNAL);
    DebugLog(u"one");
    EXPECT_EQ(Environment.TakeDebugger(), LINES{Progress("Log file " + Quoted(u"Quorvane.log") + " created")});
}

TEST_F(LogFileTest, OverwriteFailureIsReported) {
    Environment.FailOpen = [](const char16_t*, FILE_CREATION creation, uint32_t& error) {
        error = ERR_SHARING_VIOLATION;
        return creation == FILE_CREATION::REPLACE;
    };
    SetDebugOutputMode(DBGOUT_LOG | DBGOUT_OVERWRITE);
    DebugLog(u"one");
    EXPECT_EQ(Environment.TakeDebugger(),
              LINES{Progress("Unable to create log file " + Quoted(u"Quorvane.log") + ". " +
                             ErrorText(ERR_SHARING_VIOLATION) + ". Error code = 32.\n    ")});
    // Only the first open overwrites: the next message appends.
    DebugLog(u"two");
    EXPECT_EQ(Read(), STAMP + PrefixPart() + "two\r\n");
}

TEST_F(LogFileTest, RenameMovesTheOldFileAsideWithTheTimeOfDay) {
    Environment.SetLocalTime(2024, 1, 2, 14, 3, 27);
    Create(u"Quorvane.log", "old\r\n");
    SetDebugOutputMode(DBGOUT_LOG | DBGOUT_RENAME | DBGOUT_INTERNAL);
    DebugLog(u"new");
    EXPECT_EQ(Files(), (LINES{"Quorvane.log", "Quorvane_2024-01-02@14_03_27.log"}));
    EXPECT_EQ(Read(u"Quorvane_2024-01-02@14_03_27.log"), "old\r\n");
    const std::string stamp = "2024/01/02 02:03:27 PM ";
    EXPECT_EQ(Read(), stamp + PrefixPart() + "new\r\n");
    EXPECT_EQ(Environment.TakeDebugger(),
              (LINES{stamp + PrefixPart() + "Log path " + Quoted(u"Quorvane.log") + " renamed to\n    " +
                         Quoted(u"Quorvane_2024-01-02@14_03_27.log") + "\n\n",
                     stamp + PrefixPart() + "Log file " + Quoted(u"Quorvane.log") + " created\n\n"}));
}

TEST_F(LogFileTest, RenameOnTheHourAndAtMidnightUsesShorterNames) {
    Environment.SetLocalTime(2024, 1, 2, 14, 0, 0);
    Create(u"Quorvane.log", "old\r\n");
    SetDebugOutputMode(DBGOUT_LOG | DBGOUT_RENAME);
    DebugLog(u"new");
    EXPECT_EQ(Files(), (LINES{"Quorvane.log", "Quorvane_2024-01-02@14.log"}));

    ResetDebugLogForTest(&Environment);
    SetLogPath(FolderText.c_str(), u"Quorvane", LOG_PATH_DEFAULT);
    Environment.SetLocalTime(2024, 1, 2, 0, 0, 0);
    Create(u"Quorvane.log", "midnight\r\n");
    SetDebugOutputMode(DBGOUT_LOG | DBGOUT_RENAME);
    DebugLog(u"new");
    EXPECT_EQ(Read(u"Quorvane_2024-01-02.log"), "midnight\r\n");
}

TEST_F(LogFileTest, RenameWithoutAnOldFileJustCreates) {
    SetDebugOutputMode(DBGOUT_LOG | DBGOUT_RENAME | DBGOUT_INTERNAL);
    DebugLog(u"new");
    EXPECT_EQ(Files(), LINES{"Quorvane.log"});
    EXPECT_EQ(Environment.TakeDebugger(), LINES{Progress("Log file " + Quoted(u"Quorvane.log") + " created")});
}

TEST_F(LogFileTest, RenameFailureMeansNoLogFile) {
    Create(u"Quorvane.log", "old\r\n");
    Environment.MoveOverride = [](const char16_t*, const char16_t*) { return ERR_ACCESS_DENIED; };
    SetDebugOutputMode(DBGOUT_LOG | DBGOUT_RENAME);
    DebugLog(u"new");
    EXPECT_EQ(Environment.TakeDebugger(),
              (LINES{Progress("Name collision renaming log path " + Quoted(u"Quorvane.log") + " to\n    " +
                              Quoted(u"Quorvane_2024-01-02@13_07_00.log")),
                     Progress("Unable to create log file " + Quoted(u"Quorvane.log") + ". " +
                              ErrorText(ERR_FILE_EXISTS) + ". Error code = 80.\n    ")}));
    EXPECT_EQ(Read(), "old\r\n");
    EXPECT_FALSE(IsLogFileOpenForTest());
}

TEST_F(LogFileTest, EmptyExtensionMeansNoDot) {
    ASSERT_TRUE(SetLogPath(FolderText.c_str(), u"Quorvane", u""));
    EXPECT_EQ(test::Utf8(GetLogPath()), Utf8Path(u"Quorvane"));
    SetDebugOutputMode(DBGOUT_LOG);
    DebugLog(u"x");
    EXPECT_EQ(Files(), LINES{"Quorvane"});
}

// --- RenameLogPath ----------------------------------------------------------------------------

TEST_F(LogFileTest, RenameAtMidnightTakesTheNextFreeNumber) {
    Create(u"Quorvane.log", "2 January\r\n");
    Create(u"Quorvane_2024-01-03.log", "taken\r\n");
    SetDebugOutputMode(DBGOUT_INTERNAL);
    const TIME_VALUE midnight = CalendarValue(2024, 1, 3, 0, 0, 0).AddTicks(5000000);  // milliseconds don't count
    EXPECT_TRUE(RenameLogPath(PathOf(u"Quorvane.log").c_str(), &midnight));
    EXPECT_EQ(Read(u"Quorvane_2024-01-03#001.log"), "2 January\r\n");
    EXPECT_EQ(Read(u"Quorvane_2024-01-03.log"), "taken\r\n");
    EXPECT_EQ(Environment.TakeDebugger(),
              LINES{Progress("Log path " + Quoted(u"Quorvane.log") + " renamed to\n    " +
                             Quoted(u"Quorvane_2024-01-03#001.log"))});
}

TEST_F(LogFileTest, RenameGivesUpAfterAThousandNames) {
    uint32_t calls = 0;
    std::string last;
    Environment.MoveOverride = [&](const char16_t*, const char16_t* to) {
        ++calls;
        last = test::Utf8(to);
        return ERR_ALREADY_EXISTS;
    };
    const TIME_VALUE midnight = CalendarValue(2024, 1, 3, 0, 0, 0);
    EXPECT_FALSE(RenameLogPath(PathOf(u"Quorvane.log").c_str(), &midnight));
    EXPECT_EQ(calls, 1000u);
    EXPECT_EQ(last, Utf8Path(u"Quorvane_2024-01-03#999.log"));
    EXPECT_EQ(Environment.TakeDebugger(),
              LINES{Progress("Name collision renaming log path " + Quoted(u"Quorvane.log") + " to\n    " +
                             Quoted(u"Quorvane_2024-01-03#999.log"))});
}

TEST_F(LogFileTest, RenameOfAMissingFileFailsAtOnce) {
    EXPECT_FALSE(RenameLogPath(PathOf(u"Quorvane.log").c_str(), nullptr));
    EXPECT_EQ(GetLastErrorCode(), ERR_FILE_NOT_FOUND);
    EXPECT_EQ(Environment.TakeDebugger(),
              LINES{Progress("Name collision renaming log path " + Quoted(u"Quorvane.log") + " to\n    " +
                             Quoted(u"Quorvane_2024-01-02@13_07_00.log"))});
}

// --- SetLogPath -------------------------------------------------------------------------------

class SetLogPathTest : public LogFileTest {
protected:
    void SetUp() override {
        LogFileTest::SetUp();
        ProgramFolder = FolderText + u"bin";
        ProgramFolder.push_back(static_cast<char16_t>(fs::path::preferred_separator));
        Environment.Program = ProgramFolder + u"Quorvane.exe";
    }

    // Keeps the probe away from the current folder for paths that lead there.
    void BlockProbe() {
        Environment.FailOpen = [](const char16_t*, FILE_CREATION, uint32_t& error) {
            error = ERR_ACCESS_DENIED;
            return true;
        };
    }

    std::string LogPath() const { return test::Utf8(GetLogPath()); }
    std::string InProgramFolder(const std::u16string& name) const { return test::Utf8((ProgramFolder + name).c_str()); }

    std::u16string ProgramFolder;
};

TEST_F(SetLogPathTest, TheServicesChoiceBesideTheProgram) {
    EXPECT_TRUE(SetLogPath(LOG_PATH_PROGRAM, u"Quorvane", LOG_PATH_DEFAULT));
    EXPECT_EQ(LogPath(), InProgramFolder(u"Quorvane.log"));
    EXPECT_TRUE(fs::is_directory(Folder / "bin")) << "the folder is made at once";
    EXPECT_EQ(Files(), LINES{"bin"}) << "no probe left behind";
}

TEST_F(SetLogPathTest, Defaults) {
    BlockProbe();
    EXPECT_FALSE(SetLogPath(LOG_PATH_DEFAULT, LOG_PATH_DEFAULT, LOG_PATH_DEFAULT)) << "the probe was refused";
    EXPECT_EQ(LogPath(), "Debug.log");
    EXPECT_TRUE(Environment.TakeDebugger().empty()) << "a failed probe says nothing";
}

TEST_F(SetLogPathTest, ProgramNameCodes) {
    EXPECT_TRUE(SetLogPath(LOG_PATH_PROGRAM, LOG_PATH_PROGRAM, LOG_PATH_DEFAULT));
    EXPECT_EQ(LogPath(), InProgramFolder(u"Quorvane.exe.log"));
    EXPECT_TRUE(SetLogPath(LOG_PATH_UNCHANGED, LOG_PATH_PROGRAM_STEM, LOG_PATH_UNCHANGED));
    EXPECT_EQ(LogPath(), InProgramFolder(u"Quorvane.log"));
    EXPECT_TRUE(SetLogPath(LOG_PATH_UNCHANGED, LOG_PATH_UNCHANGED, u"TXT"));
    EXPECT_EQ(LogPath(), InProgramFolder(u"Quorvane.txt"));
    EXPECT_TRUE(SetLogPath(LOG_PATH_UNCHANGED, LOG_PATH_UNCHANGED, u"Log"));
    EXPECT_EQ(LogPath(), InProgramFolder(u"Quorvane.log"));
    EXPECT_TRUE(SetLogPath(LOG_PATH_UNCHANGED, LOG_PATH_UNCHANGED, u"Dat"));
    EXPECT_EQ(LogPath(), InProgramFolder(u"Quorvane.Dat"));
    EXPECT_TRUE(SetLogPath(LOG_PATH_UNCHANGED, LOG_PATH_UNCHANGED, LOG_PATH_UNCHANGED));
    EXPECT_EQ(LogPath(), InProgramFolder(u"Quorvane.Dat"));
    // Code 3 names only the file; as a directory it changes nothing.
    EXPECT_TRUE(SetLogPath(LOG_PATH_PROGRAM_STEM, u"Other", LOG_PATH_PROGRAM_STEM));
    EXPECT_EQ(LogPath(), InProgramFolder(u"Other.log"));
}

TEST_F(SetLogPathTest, NeverTheProgramItself) {
    // Name code 3 gives way to code 2.
    EXPECT_TRUE(SetLogPath(LOG_PATH_PROGRAM, LOG_PATH_PROGRAM_STEM, u"exe"));
    EXPECT_EQ(LogPath(), InProgramFolder(u"Quorvane.exe.exe"));
    // Otherwise the extension changes: "log" for anything but "log", ...
    EXPECT_TRUE(SetLogPath(LOG_PATH_PROGRAM, LOG_PATH_PROGRAM, u""));
    EXPECT_EQ(LogPath(), InProgramFolder(u"Quorvane.exe.log"));
    EXPECT_TRUE(SetLogPath(LOG_PATH_PROGRAM, u"QUORVANE", u"EXE"));
    EXPECT_EQ(LogPath(), InProgramFolder(u"QUORVANE.log")) << "compared ignoring case";
    // ... and "txt" for "log".
    Environment.Program = ProgramFolder + u"Quorvane.log";
    EXPECT_TRUE(SetLogPath(LOG_PATH_PROGRAM, u"Quorvane", u"log"));
    EXPECT_EQ(LogPath(), InProgramFolder(u"Quorvane.txt"));
}

TEST_F(SetLogPathTest, AProgramPathWithoutAFolder) {
    BlockProbe();
    Environment.Program = u"Quorvane.exe";
    SetLogPath(LOG_PATH_PROGRAM, LOG_PATH_PROGRAM, LOG_PATH_DEFAULT);
    EXPECT_EQ(LogPath(), "Quorvane.exe.log");
    SetLogPath(LOG_PATH_PROGRAM, LOG_PATH_PROGRAM_STEM, LOG_PATH_DEFAULT);
    EXPECT_EQ(LogPath(), "Quorvane.log");
}

TEST_F(SetLogPathTest, LocalAppDataFolder) {
    Environment.AppData = FolderText + u"appdata";
    EXPECT_TRUE(SetLogPath(LOG_PATH_LOCAL_APP_DATA, LOG_PATH_LOCAL_APP_DATA, LOG_PATH_LOCAL_APP_DATA));
    const std::u16string expected = Environment.AppData + static_cast<char16_t>(fs::path::preferred_separator) +
                                    u"Debug.log";
    EXPECT_EQ(LogPath(), test::Utf8(expected.c_str()));
    EXPECT_TRUE(fs::is_directory(Folder / "appdata"));

    BlockProbe();
    Environment.AppData.clear();
    SetLogPath(LOG_PATH_LOCAL_APP_DATA, u"Quorvane", LOG_PATH_DEFAULT);
    EXPECT_EQ(LogPath(), "Quorvane.log") << "no folder found: the current one";
}

TEST_F(SetLogPathTest, TextFoldersGetASeparator) {
    const std::u16string folder = FolderText + u"logs";
    EXPECT_TRUE(SetLogPath(folder.c_str(), u"Quorvane", LOG_PATH_DEFAULT));
    EXPECT_EQ(LogPath(), test::Utf8((folder + static_cast<char16_t>(fs::path::preferred_separator) +
                                     u"Quorvane.log").c_str()));
    EXPECT_TRUE(SetLogPath((folder + u"/").c_str(), u"Quorvane", LOG_PATH_DEFAULT));
    EXPECT_EQ(LogPath(), test::Utf8((folder + u"/Quorvane.log").c_str()));
}

TEST_F(SetLogPathTest, NestedFoldersAreMade) {
    const std::u16string folder = FolderText + u"a/./b/../c/d";
    SetDebugOutputMode(DBGOUT_INTERNAL);
    EXPECT_TRUE(SetLogPath(folder.c_str(), u"Quorvane", LOG_PATH_DEFAULT));
    EXPECT_TRUE(fs::is_directory(Folder / "a" / "b"));
    EXPECT_TRUE(fs::is_directory(Folder / "a" / "c" / "d"));
    const std::u16string path = folder + static_cast<char16_t>(fs::path::preferred_separator) + u"Quorvane.log";
    EXPECT_EQ(Environment.TakeDebugger(), LINES{Progress("Log path = \"" + test::Utf8(path.c_str()) + "\"")});
}

TEST_F(SetLogPathTest, AFileInTheWayOfTheFolder) {
    Create(u"blocker", "");
    const std::u16string folder = FolderText + u"blocker/logs/";
    EXPECT_FALSE(SetLogPath(folder.c_str(), u"Quorvane", LOG_PATH_DEFAULT));
    EXPECT_TRUE(Environment.TakeDebugger().empty()) << "a progress message";

    SetDebugOutputMode(DBGOUT_INTERNAL);
    EXPECT_FALSE(SetLogPath(folder.c_str(), u"Quorvane", LOG_PATH_DEFAULT));
    const std::string utf8Folder = test::Utf8(folder.c_str());
    EXPECT_EQ(Environment.TakeDebugger(),
              (LINES{Progress("Log path = \"" + utf8Folder + "Quorvane.log\""),
                     Progress("Unable to create log directory = \"" + utf8Folder + "\". \n    " +
                              ErrorText(ERR_DIRECTORY) + ". Error code = 267.")}));
    EXPECT_EQ(test::Utf8(GetLogPath()), utf8Folder + "Quorvane.log") << "the path is set all the same";
}

TEST_F(SetLogPathTest, TheProbeNeverTouchesAnExistingLogFile) {
    Create(u"Quorvane.log", "keep\r\n");
    std::vector<std::string> probes;
    Environment.FailOpen = [&](const char16_t* path, FILE_CREATION creation, uint32_t&) {
        EXPECT_EQ(creation, FILE_CREATION::NEW_ONLY);
        probes.push_back(test::Utf8(path));
        return false;
    };
    EXPECT_TRUE(SetLogPath(FolderText.c_str(), u"Quorvane", LOG_PATH_DEFAULT));
    // 2 January 2024 11:07:00 UTC in seconds since 1970.
    const std::string seconds = std::to_string(1704193620u);
    EXPECT_EQ(probes, (LINES{Utf8Path(u"Quorvane.log"), Utf8Path(u"Quorvane.log") + "." + seconds}));
    EXPECT_EQ(Read(), "keep\r\n");
    EXPECT_EQ(Files(), LINES{"Quorvane.log"});
}

TEST_F(SetLogPathTest, TheProbeGivesUpAfter999OtherNames) {
    uint32_t attempts = 0;
    Environment.FailOpen = [&](const char16_t*, FILE_CREATION, uint32_t& error) {
        ++attempts;
        error = ERR_FILE_EXISTS;
        return true;
    };
    SetDebugOutputMode(DBGOUT_INTERNAL);
    EXPECT_FALSE(SetLogPath(FolderText.c_str(), u"Quorvane", LOG_PATH_DEFAULT));
    EXPECT_EQ(attempts, 1000u);
    EXPECT_EQ(Environment.TakeDebugger().size(), 1u) << "only the log path";
}

TEST_F(SetLogPathTest, AProbeThatCannotBeDeletedIsReported) {
    Environment.RemoveError = ERR_ACCESS_DENIED;
    EXPECT_TRUE(SetLogPath(FolderText.c_str(), u"Quorvane", LOG_PATH_DEFAULT));
    EXPECT_EQ(Environment.TakeDebugger(),
              LINES{Progress("Unable to delete " + Quoted(u"Quorvane.log") + ".\n    " + ErrorText(ERR_ACCESS_DENIED) +
                             ". Error code = 5.")});
}

TEST_F(SetLogPathTest, AnOpenFileIsClosedWhenThePathChanges) {
    SetDebugOutputMode(DBGOUT_LOG);
    DebugLog(u"one");
    EXPECT_TRUE(SetLogPath(FolderText.c_str(), u"QUORVANE", LOG_PATH_DEFAULT));
    EXPECT_TRUE(IsLogFileOpenForTest()) << "the same path, ignoring case";
    EXPECT_TRUE(SetLogPath(FolderText.c_str(), u"Other", LOG_PATH_DEFAULT));
    EXPECT_FALSE(IsLogFileOpenForTest());
    DebugLog(u"two");
    EXPECT_EQ(Read(u"Other.log"), STAMP + PrefixPart() + "two\r\n");
    EXPECT_EQ(Read(), STAMP + PrefixPart() + "one\r\n");
}

// --- CreateDirectoryTree ----------------------------------------------------------------------

TEST_F(LogFileTest, DirectoryTreeOnRealFolders) {
    const std::u16string nested = FolderText + u"x/y/z/";
    EXPECT_EQ(CreateDirectoryTree(nested.c_str()), ERR_SUCCESS);
    EXPECT_TRUE(fs::is_directory(Folder / "x" / "y" / "z"));
    EXPECT_EQ(CreateDirectoryTree(nested.c_str()), ERR_SUCCESS) << "all there already";

    Create(u"file", "");
    const std::u16string blocked = FolderText + u"file/sub";
    EXPECT_EQ(CreateDirectoryTree(blocked.c_str()), ERR_DIRECTORY);
    EXPECT_EQ(GetLastErrorCode(), ERR_DIRECTORY);
}

TEST_F(LogFileTest, DirectoryTreeSkipsTheRootAndDots) {
    Environment.RecordDirectories = true;
#if defined(_WIN32)
    EXPECT_EQ(CreateDirectoryTree(u"\\\\server\\share\\logs\\.\\..\\today"), ERR_SUCCESS);
    EXPECT_EQ(Environment.MadeDirectories,
              (LINES{"\\\\server\\share\\logs", "\\\\server\\share\\logs\\.\\..\\today"}));
    Environment.MadeDirectories.clear();
    EXPECT_EQ(CreateDirectoryTree(u"C:\\logs/today\\"), ERR_SUCCESS);
    EXPECT_EQ(Environment.MadeDirectories, (LINES{"C:\\logs", "C:\\logs/today"}));
    Environment.MadeDirectories.clear();
    EXPECT_EQ(CreateDirectoryTree(u"D:"), ERR_SUCCESS);
    EXPECT_TRUE(Environment.MadeDirectories.empty());
#else
    EXPECT_EQ(CreateDirectoryTree(u"/var/log/./quorvane/../today/"), ERR_SUCCESS);
    EXPECT_EQ(Environment.MadeDirectories,
              (LINES{"/var", "/var/log", "/var/log/./quorvane", "/var/log/./quorvane/../today"}));
    Environment.MadeDirectories.clear();
    EXPECT_EQ(CreateDirectoryTree(u"relative//logs"), ERR_SUCCESS);
    EXPECT_EQ(Environment.MadeDirectories, (LINES{"relative", "relative//logs"}));
#endif
}

TEST_F(LogFileTest, DirectoryTreeCreationFailures) {
    Environment.RecordDirectories = true;
    // Made by someone else in the meantime: fine.
    Environment.MakeDirectoryResult = ERR_ALREADY_EXISTS;
    EXPECT_EQ(CreateDirectoryTree(u"a/b"), ERR_SUCCESS);
    EXPECT_EQ(Environment.MadeDirectories.size(), 2u);
    // Anything else stops at once, with the system's code.
    Environment.MadeDirectories.clear();
    Environment.MakeDirectoryResult = ERR_ACCESS_DENIED;
    EXPECT_EQ(CreateDirectoryTree(u"a/b"), ERR_ACCESS_DENIED);
    EXPECT_EQ(GetLastErrorCode(), ERR_ACCESS_DENIED);
    EXPECT_EQ(Environment.MadeDirectories, LINES{"a"});
}

// --- the daily rename -------------------------------------------------------------------------

class RenameScheduleTest : public LogFileTest {
protected:
    void TearDown() override {
        StopLogRenameThread();
        LogFileTest::TearDown();
    }
};

TEST_F(RenameScheduleTest, TheDueTimeIsTheNextTimeTheHourComes) {
    // 13:07 now: midnight is tomorrow.
    SetLogRenameSchedule(0, 1);
    LOG_RENAME_SCHEDULE_STATE schedule = GetLogRenameScheduleForTest();
    EXPECT_TRUE(schedule.ThreadRunning);
    EXPECT_EQ(schedule.DueTime.Count, CalendarValue(2024, 1, 3, 0, 0, 0).Count);
    EXPECT_EQ(schedule.PeriodMs, 86400000u);
    EXPECT_EQ(Environment.TimerArms, 1u);
    EXPECT_EQ(static_cast<uint64_t>(Environment.ArmedDueUtc),
              CalendarValue(2024, 1, 3, 0, 0, 0).Count - FAKE_LOG_ENVIRONMENT::LOCAL_OFFSET)
        << "the timer takes UTC";
    EXPECT_EQ(Environment.ArmedPeriodMs, 86400000u);

    // 14:00 is still ahead today; the running thread's timer is armed again.
    SetLogRenameSchedule(14, 2);
    schedule = GetLogRenameScheduleForTest();
    EXPECT_EQ(schedule.DueTime.Count, CalendarValue(2024, 1, 2, 14, 0, 0).Count);
    EXPECT_EQ(schedule.PeriodMs, 2u * 86400000u);
    EXPECT_EQ(Environment.TimerArms, 2u);

    // The current hour has begun: tomorrow.
    SetLogRenameSchedule(13, 1);
    EXPECT_EQ(GetLogRenameScheduleForTest().DueTime.Count, CalendarValue(2024, 1, 3, 13, 0, 0).Count);

    // The period is a signed 32-bit count of milliseconds: 24 days at most.
    SetLogRenameSchedule(0, 30);
    EXPECT_EQ(GetLogRenameScheduleForTest().PeriodMs, 24u * 86400000u);

    // No such hour.
    SetLogRenameSchedule(24, 1);
    EXPECT_EQ(GetLogRenameScheduleForTest().DueTime.Count, CalendarValue(2024, 1, 3, 0, 0, 0).Count);

    StopLogRenameThread();
    EXPECT_FALSE(GetLogRenameScheduleForTest().ThreadRunning);
    StopLogRenameThread();
}

TEST_F(RenameScheduleTest, AtMidnightTheFileOfTheDayIsRenamed) {
    SetDebugOutputMode(DBGOUT_LOG | DBGOUT_INTERNAL);
    DebugLog(u"2 January");
    SetLogRenameSchedule(0, 1);
    ASSERT_TRUE(Environment.WaitForDebuggerLine("Rename thread started"));
    Environment.TakeDebugger();

    Environment.SetLocalTime(2024, 1, 3, 0, 0, 0);
    RunLogRenameTimerForTest();
    EXPECT_FALSE(IsLogFileOpenForTest());
    EXPECT_EQ(Files(), LINES{"Quorvane_2024-01-03.log"});
    EXPECT_EQ(Read(u"Quorvane_2024-01-03.log"), STAMP + PrefixPart() + "2 January\r\n");
    const std::string stamp = "2024/01/03 12:00:00 AM ";
    EXPECT_EQ(Environment.TakeDebugger(),
              (LINES{stamp + PrefixPart() + "Rename timer signaled\n\n",
                     stamp + PrefixPart() + "Log path " + Quoted(u"Quorvane.log") + " renamed to\n    " +
                         Quoted(u"Quorvane_2024-01-03.log") + "\n\n"}));
    EXPECT_EQ(GetLogRenameScheduleForTest().DueTime.Count, CalendarValue(2024, 1, 4, 0, 0, 0).Count);

    // The next message starts a new file.
    DebugLog(u"3 January");
    EXPECT_EQ(Read(), stamp + PrefixPart() + "3 January\r\n");

    // A name already taken: the next number.
    Create(u"Quorvane_2024-01-04.log", "taken\r\n");
    Environment.SetLocalTime(2024, 1, 4, 0, 0, 0);
    RunLogRenameTimerForTest();
    EXPECT_EQ(Read(u"Quorvane_2024-01-04#001.log"), stamp + PrefixPart() + "3 January\r\n");
    EXPECT_EQ(Read(u"Quorvane_2024-01-04.log"), "taken\r\n");
}

TEST_F(RenameScheduleTest, NothingOpenNothingRenamed) {
    Create(u"Quorvane.log", "from another day\r\n");
    SetDebugOutputMode(DBGOUT_LOG);
    SetLogRenameSchedule(0, 1);
    RunLogRenameTimerForTest();
    EXPECT_EQ(Files(), LINES{"Quorvane.log"});
    EXPECT_EQ(GetLogRenameScheduleForTest().DueTime.Count, CalendarValue(2024, 1, 3, 0, 0, 0).Count)
        << "the due time stays";
}

TEST_F(RenameScheduleTest, TheThreadAnswersItsTimerAndItsEvent) {
    SetDebugOutputMode(DBGOUT_LOG | DBGOUT_INTERNAL);
    DebugLog(u"2 January");
    Environment.FireTimerAtOnce = true;
    SetLogRenameSchedule(0, 1);
    ASSERT_TRUE(Environment.WaitForDebuggerLine("Rename thread started"));
    ASSERT_TRUE(Environment.WaitForDebuggerLine("Rename timer signaled"));
    ASSERT_TRUE(Environment.WaitForDebuggerLine("renamed to"));
    EXPECT_EQ(Read(u"Quorvane_2024-01-03.log"), STAMP + PrefixPart() + "2 January\r\n");

    Environment.FireTimerAtOnce = false;
    SetLogRenameSchedule(0, 1);
    ASSERT_TRUE(Environment.WaitForDebuggerLine("Rename event signaled"));

    StopLogRenameThread();
    EXPECT_TRUE(Environment.WaitForDebuggerLine("Rename thread stopping"));
    EXPECT_FALSE(GetLogRenameScheduleForTest().ThreadRunning);
}

TEST_F(RenameScheduleTest, ShutdownStopsTheThread) {
    SetLogRenameSchedule(3, 1);
    EXPECT_TRUE(GetLogRenameScheduleForTest().ThreadRunning);
    ShutdownDebugLog();
    EXPECT_FALSE(GetLogRenameScheduleForTest().ThreadRunning);
}

}  // namespace
}  // namespace qv
