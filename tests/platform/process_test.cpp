// The process services of the logging library: the program's path, the environment, the
// local application-data folder and the output channels.
#include "platform/process.h"

#include <gtest/gtest.h>

#include <string>

#include "base/string.h"
#include "platform/files.h"
#include "tests/test_text.h"

namespace qv {
namespace {

// Sets an environment variable for one test and puts back what was there.
class SCOPED_VARIABLE {
public:
    SCOPED_VARIABLE(const char16_t* name, const char16_t* value) : Name(name) {
        HadValue = ReadEnvironmentVariable(name, OldValue);
        EXPECT_TRUE(WriteEnvironmentVariable(name, value));
    }
    ~SCOPED_VARIABLE() { WriteEnvironmentVariable(Name.Text(), HadValue ? OldValue.Text() : nullptr); }

private:
    STRING Name;
    STRING OldValue;
    bool HadValue = false;
};

TEST(ProcessTest, ProgramPathIsTheRunningProgram) {
    STRING path;
    ASSERT_TRUE(GetProgramPath(path));
    ASSERT_FALSE(path.IsEmpty());
    EXPECT_EQ(GetPathKind(path.Text()), PATH_KIND::NOT_DIRECTORY);
#if defined(_WIN32)
    EXPECT_EQ(path.Text()[1], u':') << test::Utf8(path);
#else
    EXPECT_EQ(path.Text()[0], u'/') << test::Utf8(path);
#endif
}

TEST(ProcessTest, EnvironmentVariables) {
    const char16_t* name = u"QV_PROCESS_TEST_VARIABLE";
    STRING value(u"left over");
    WriteEnvironmentVariable(name, nullptr);
    EXPECT_FALSE(ReadEnvironmentVariable(name, value));
    EXPECT_TRUE(value.IsEmpty());

    {
        SCOPED_VARIABLE set(name, u"0x106 \u00e9\u65e5");
        ASSERT_TRUE(ReadEnvironmentVariable(name, value));
        EXPECT_EQ(test::Utf8(value), "0x106 \xc3\xa9\xe6\x97\xa5");
    }
    EXPECT_FALSE(ReadEnvironmentVariable(name, value));
    {
        // Set, but empty: not the same as missing.
        SCOPED_VARIABLE set(name, u"");
        value.Assign(u"left over");
        EXPECT_TRUE(ReadEnvironmentVariable(name, value));
        EXPECT_TRUE(value.IsEmpty());
    }

    // A long value needs more than one buffer.
    const std::u16string longValue(5000, u'x');
    {
        SCOPED_VARIABLE set(name, longValue.c_str());
        ASSERT_TRUE(ReadEnvironmentVariable(name, value));
        EXPECT_EQ(value.Length(), 5000u);
    }

    EXPECT_FALSE(ReadEnvironmentVariable(nullptr, value));
    EXPECT_FALSE(ReadEnvironmentVariable(u"", value));
    EXPECT_FALSE(WriteEnvironmentVariable(u"", u"x"));
}

#if defined(_WIN32)
TEST(ProcessTest, LocalAppDataFolderExists) {
    STRING folder;
    ASSERT_TRUE(GetLocalAppDataFolder(folder));
    EXPECT_EQ(GetPathKind(folder.Text()), PATH_KIND::DIRECTORY) << test::Utf8(folder);
    EXPECT_NE(folder.LastUnit(), u'\\');
}
#else
TEST(ProcessTest, LocalAppDataFolderFollowsTheXdgRules) {
    STRING folder;
    {
        SCOPED_VARIABLE data(u"XDG_DATA_HOME", u"/srv/data/");
        ASSERT_TRUE(GetLocalAppDataFolder(folder));
        EXPECT_EQ(test::Utf8(folder), "/srv/data");
    }
    {
        // A relative XDG_DATA_HOME is to be ignored.
        SCOPED_VARIABLE data(u"XDG_DATA_HOME", u"relative/data");
        SCOPED_VARIABLE home(u"HOME", u"/home/quorvane/");
        ASSERT_TRUE(GetLocalAppDataFolder(folder));
        EXPECT_EQ(test::Utf8(folder), "/home/quorvane/.local/share");
    }
    {
        SCOPED_VARIABLE data(u"XDG_DATA_HOME", u"");
        SCOPED_VARIABLE home(u"HOME", u"/root");
        ASSERT_TRUE(GetLocalAppDataFolder(folder));
        EXPECT_EQ(test::Utf8(folder), "/root/.local/share");
    }
    {
        // No HOME: the account database knows the folder.
        SCOPED_VARIABLE data(u"XDG_DATA_HOME", nullptr);
        SCOPED_VARIABLE home(u"HOME", nullptr);
        ASSERT_TRUE(GetLocalAppDataFolder(folder));
        EXPECT_EQ(folder.Text()[0], u'/');
    }
}
#endif

TEST(ProcessTest, OutputChannelsAcceptText) {
    // Nothing to read back from the system's channels; they must take any text, '%' included.
    WriteDebuggerText(u"Quorvane process test: debugger channel 100% \u00e9\n\n");
    WriteKernelDebuggerText("Quorvane process test: kernel channel %s %n\n\n");
    WriteDebuggerText(nullptr);
    WriteKernelDebuggerText(nullptr);
    WriteStandardOutput(u"");
    WriteStandardOutput(nullptr);
    WriteStandardOutput(u"[process test: console channel]\n");
    SUCCEED();
}

}  // namespace
}  // namespace qv
