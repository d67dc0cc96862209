#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#if !defined(_WIN32)
#include <unistd.h>
#endif

#include "base/error_codes.h"
#include "platform/error_text.h"
#include "platform/registry.h"
#include "platform/registry_values.h"
#include "platform/thread.h"
#include "platform/wait.h"
#include "service/command_line.h"
#include "service/filter_settings.h"
#include "service/connection_settings.h"
#include "service/service_host.h"
#include "service/settings.h"
#include "support/debug_log.h"
#include "support/debug_log_test_hooks.h"
#include "support/format.h"
#include "tests/test_text.h"

namespace qv {
namespace {

constexpr const char16_t* KEY = u"SOFTWARE\\Tarnwell Systems\\Quorvane";

// The debugger channel, caught: every line the service writes while a test runs.
class CAPTURED_LOG : public DEBUG_LOG_ENVIRONMENT {
public:
    void DebuggerOutput(const char16_t* line) override {
        std::string text = test::Utf8(line);
        while (!text.empty() && text.back() == '\n') text.pop_back();
        std::lock_guard<std::mutex> lock(Lock);
        Lines.push_back(text);
    }
    void ConsoleOutput(const char16_t*) override {}

    bool Contains(const std::string& part) {
        std::lock_guard<std::mutex> lock(Lock);
        return std::any_of(Lines.begin(), Lines.end(),
                           [&](const std::string& line) { return line.find(part) != std::string::npos; });
    }
    size_t Count(const std::string& part) {
        std::lock_guard<std::mutex> lock(Lock);
        return std::count_if(Lines.begin(), Lines.end(),
                             [&](const std::string& line) { return line.find(part) != std::string::npos; });
    }
    std::string All() {
        std::lock_guard<std::mutex> lock(Lock);
        std::string all;
        for (const std::string& line : Lines) all += line + "\n";
        return all;
    }
    void Clear() {
        std::lock_guard<std::mutex> lock(Lock);
        Lines.clear();
    }

private:
    std::mutex Lock;
    std::vector<std::string> Lines;
};

// Each test gets an empty settings key in a store of its own (on POSIX a fresh data root; on
// Windows the real registry of the test's Wine prefix, emptied).
class SettingsTest : public testing::Test {
protected:
    void SetUp() override {
        Root = std::filesystem::temp_directory_path() / ("quorvane-settings-" + std::to_string(CurrentProcessId()) +
                                                         "-" + testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(Root);
        std::filesystem::create_directories(Root);
#if !defined(_WIN32)
        ::setenv("QUORVANE_DATA_ROOT", Root.c_str(), 1);
#endif
        ASSERT_EQ(CreateRegistryKey(KEY), ERR_SUCCESS);
        ASSERT_EQ(Key.Open(KEY, true), ERR_SUCCESS);
        for (const char16_t* name : {u"IdentServer", u"IdentProtocol", u"AdServer", u"Heartbeat", u"LogonTTL",
                                     u"DebugOutput", u"Shutdown", u"IgnoreUsers", u"IncludeNetworks",
                                     u"ExcludeNetworks"}) {
            DeleteRegistryValue(Key, name);
        }
        ResetDebugLogForTest(&Log);
        // A test that turns the log file on writes it here, never into the current folder.
        SetLogPath(Root.u16string().c_str(), u"Quorvane", LOG_PATH_DEFAULT);
        SetDebugOutputMode(DBGOUT_DEBUGGER | DBGOUT_NO_TIME_STAMP);
        Settings().IdentityServer.Clear();
        Settings().AdServer.Clear();
        Settings().IdentityProtocol = PROTOCOL_AUTOMATIC;
    }

    void TearDown() override {
        ResetDebugLogForTest(nullptr);
        Key.Close();
#if !defined(_WIN32)
        ::unsetenv("QUORVANE_DATA_ROOT");
#endif
        std::error_code error;
        std::filesystem::remove_all(Root, error);
    }

    std::filesystem::path Root;
    REGISTRY_KEY Key;
    CAPTURED_LOG Log;
};

TEST_F(SettingsTest, DefaultsApplyAndAMissingIdentityServerFailsTheLoad) {
    COMMAND_LINE line;
    EXPECT_FALSE(LoadSettings(line, Key));
    EXPECT_EQ(Settings().HeartbeatInterval, 30u * 60000);
    EXPECT_EQ(Settings().LogonTimeToLive, 12u * 60000);
    EXPECT_TRUE(Log.Contains("Identity protocol = automatic"));
    EXPECT_TRUE(Log.Contains("Heartbeat interval = 30 (minutes)"));
    EXPECT_TRUE(Log.Contains("Logon time-to-live = 12 (minutes)"));
}

TEST_F(SettingsTest, AnEmptyStoredIdentityServerIsNoServer) {
    ASSERT_TRUE(WriteRegistryString(Key, u"IdentServer", u""));
    COMMAND_LINE line;
    EXPECT_FALSE(LoadSettings(line, Key));
    EXPECT_FALSE(Log.Contains("Identity server = \"\""));

    // Emptied while running: the server in use stays.
    ASSERT_TRUE(WriteRegistryString(Key, u"IdentServer", u"id.example"));
    ASSERT_TRUE(LoadSettings(line, Key));
    ASSERT_TRUE(WriteRegistryString(Key, u"IdentServer", u""));
    ReloadSettings(line, Key);
    EXPECT_EQ(test::Utf8(GetIdentityServer()), "id.example");
    // The system's own text for 13 (Wine words it differently from Windows).
    const std::string invalidData = test::Utf8(GetErrorText(ERR_INVALID_DATA));
    EXPECT_TRUE(Log.Contains("Unable to load registry value = IdentServer. " + invalidData + ". Error code = 13."))
        << Log.All();
}

TEST_F(SettingsTest, CommandLineOverridesAreStoredAndWin) {
    ASSERT_TRUE(WriteRegistryString(Key, u"IdentServer", u"old.example"));
    COMMAND_LINE line;
    line.Server = u"new.example";
    line.Protocol = PROTOCOL_SECURE_TCP;
    line.AdServer = u"dc1";
    EXPECT_TRUE(LoadSettings(line, Key));
    EXPECT_EQ(test::Utf8(GetIdentityServer()), "new.example");
    EXPECT_EQ(test::Utf8(GetAdServer()), "dc1");
    EXPECT_EQ(Settings().IdentityProtocol, PROTOCOL_SECURE_TCP);

    STRING stored;
    ASSERT_TRUE(ReadRegistryString(Key, u"IdentServer", stored));
    EXPECT_EQ(test::Utf8(stored), "new.example");
    uint32_t protocol = 0;
    ASSERT_TRUE(ReadRegistryDword(Key, u"IdentProtocol", protocol));
    EXPECT_EQ(protocol, 1u);
    EXPECT_TRUE(Log.Contains("Identity server = \"new.example\" (/SERVER)"));
    EXPECT_TRUE(Log.Contains("Identity protocol = secure TCP (/PROTOCOL)"));
    EXPECT_TRUE(Log.Contains("Active Directory server = \"dc1\" (/AD_SERVER)"));

    COMMAND_LINE clear;
    clear.AdServer = u"";
    clear.Server = u"new.example";
    EXPECT_TRUE(LoadSettings(clear, Key));
    EXPECT_FALSE(RegistryValueExists(Key, u"AdServer"));
    EXPECT_TRUE(Log.Contains("Using the Active Directory Global Cache"));
}

TEST_F(SettingsTest, OddStoredValuesFallBackAsLogged) {
    ASSERT_TRUE(WriteRegistryString(Key, u"IdentServer", u"id.example"));
    ASSERT_TRUE(WriteRegistryDword(Key, u"IdentProtocol", 7));
    ASSERT_TRUE(WriteRegistryString(Key, u"Heartbeat", u"45"));
    ASSERT_TRUE(WriteRegistryDword(Key, u"LogonTTL", 0));
    COMMAND_LINE line;
    EXPECT_TRUE(LoadSettings(line, Key));
    EXPECT_TRUE(Log.Contains("Identity protocol = automatic"));
    EXPECT_TRUE(Log.Contains("Unable to load registry value = Heartbeat. "));
    EXPECT_TRUE(Log.Contains("Error code = 1804."));
    EXPECT_EQ(Settings().HeartbeatInterval, 30u * 60000);
    EXPECT_EQ(Settings().LogonTimeToLive, 0u);  // 0 is used as it stands
}

TEST_F(SettingsTest, MinutesBeyondThirtyTwoBitsOfMillisecondsAreHeld) {
    EXPECT_EQ(MinutesToMilliseconds(71582), 71582u * 60000);
    EXPECT_EQ(MinutesToMilliseconds(71583), 71582u * 60000);
    EXPECT_EQ(MinutesToMilliseconds(0xFFFFFFFF), 71582u * 60000);
}

TEST_F(SettingsTest, ReloadNoticesChangesAndSignalsConnectionChanges) {
    ASSERT_TRUE(WriteRegistryString(Key, u"IdentServer", u"id.example"));
    COMMAND_LINE line;
    ASSERT_TRUE(LoadSettings(line, Key));
    ASSERT_TRUE(SettingsChangedEvent().Create(false));

    ASSERT_TRUE(WriteRegistryString(Key, u"IdentServer", u"ID.example"));
    ASSERT_TRUE(WriteRegistryDword(Key, u"Heartbeat", 5));
    ASSERT_TRUE(WriteRegistryString(Key, u"AdServer", u"dc2"));
    ReloadSettings(line, Key);
    EXPECT_TRUE(Log.Contains("Ident server changed from \"id.example\" to \"ID.example\""));
    EXPECT_TRUE(Log.Contains("Heartbeat interval = 5 (minutes)"));
    EXPECT_TRUE(Log.Contains("Active Directory server changed from \"\" to \"dc2\""));
    EXPECT_EQ(Settings().HeartbeatInterval, 5u * 60000);
    EXPECT_EQ(WaitForOne(SettingsChangedEvent(), 0), 0u);

    // Only the directory server and a deleted heartbeat: no connection change, the interval stays.
    ASSERT_TRUE(DeleteRegistryValue(Key, u"AdServer"));
    ASSERT_TRUE(DeleteRegistryValue(Key, u"Heartbeat"));
    ReloadSettings(line, Key);
    EXPECT_TRUE(Log.Contains("Active Directory server changed from \"dc2\" to the Global Cache"));
    EXPECT_EQ(Settings().HeartbeatInterval, 5u * 60000);
    EXPECT_EQ(WaitForOne(SettingsChangedEvent(), 0), WAIT_TIMED_OUT);

    ASSERT_TRUE(WriteRegistryDword(Key, u"IdentProtocol", 2));
    ReloadSettings(line, Key);
    EXPECT_TRUE(Log.Contains("Identity protocol changed to TCP"));
    EXPECT_EQ(WaitForOne(SettingsChangedEvent(), 0), 0u);
    SettingsChangedEvent().Close();
}

// The filter lists: stored from the switches, read as REG_MULTI_SZ (or a REG_SZ list), built
// again when their entries change and only then; a malformed entry is reported each time its
// list is read anew, and a list that cannot be read stays as it was.
TEST_F(SettingsTest, FilterListsAreStoredReadAndReadAgainOnlyWhenChanged) {
    ASSERT_TRUE(WriteRegistryString(Key, u"IdentServer", u"id.example"));
    COMMAND_LINE line;
    ASSERT_TRUE(LoadSettings(line, Key));
    EXPECT_FALSE(Log.Contains("IgnoreUsers"));  // none set: not a word
    EXPECT_TRUE(LogonFilters().Current() == nullptr || LogonFilters().Current()->IsEmpty());

    line.IgnoreUsers = u"svc_*; CORP\\backup ,bad/one";
    line.ExcludeNetworks = u"10.9.0.0/16";
    ASSERT_TRUE(LoadSettings(line, Key));
    std::vector<STRING> stored;
    ASSERT_TRUE(ReadRegistryStrings(Key, u"IgnoreUsers", stored));
    ASSERT_EQ(stored.size(), 3u);
    EXPECT_EQ(test::Utf8(stored[1]), "CORP\\backup");
    uint32_t type = 0;
    ASSERT_EQ(Key.QueryValue(u"ExcludeNetworks", &type, nullptr, nullptr), ERR_SUCCESS);
    EXPECT_EQ(type, REG_TYPE_MULTI_SZ);
    EXPECT_TRUE(Log.Contains("IgnoreUsers = \"svc_*; CORP\\backup ,bad/one\" (/IGNORE_USERS)"));
    EXPECT_EQ(Log.Count("Ignoring the malformed entry \"bad/one\" of IgnoreUsers: no account name holds the character /"),
              1u);
    EXPECT_TRUE(Log.Contains("IgnoreUsers = 2 entries (1 names, 1 patterns)"));
    EXPECT_TRUE(Log.Contains("ExcludeNetworks = 1 ranges"));
    ASSERT_NE(LogonFilters().Current(), nullptr);
    EXPECT_EQ(LogonFilters().Current()->IgnoredAccounts().Count(), 2u);

    // A reload with nothing changed says nothing, not even the malformed entry again.
    COMMAND_LINE plain;
    Log.Clear();
    ReloadSettings(plain, Key);
    EXPECT_FALSE(Log.Contains("IgnoreUsers")) << Log.All();
    EXPECT_FALSE(Log.Contains("ExcludeNetworks")) << Log.All();

    // A REG_SZ list in a changed value; a removed list; an unreadable list stays in force.
    ASSERT_TRUE(WriteRegistryString(Key, u"IncludeNetworks", u"10.0.0.0/8;2001:db8::/32"));
    ASSERT_TRUE(DeleteRegistryValue(Key, u"ExcludeNetworks"));
    ASSERT_TRUE(WriteRegistryDword(Key, u"IgnoreUsers", 1));
    ReloadSettings(plain, Key);
    EXPECT_TRUE(Log.Contains("IncludeNetworks = 2 ranges")) << Log.All();
    EXPECT_TRUE(Log.Contains("ExcludeNetworks removed"));
    EXPECT_TRUE(Log.Contains("Unable to load registry value = IgnoreUsers. "));
    EXPECT_EQ(LogonFilters().Current()->IgnoredAccounts().Count(), 2u);
    EXPECT_EQ(LogonFilters().Current()->IncludedNetworks().Count(), 2u);
    EXPECT_TRUE(LogonFilters().Current()->ExcludedNetworks().IsEmpty());

    // An include list with no usable range restricts nothing, and says so.
    ASSERT_TRUE(WriteRegistryStrings(Key, u"IncludeNetworks", {STRING(u"10.0.0.0/99")}));
    ReloadSettings(plain, Key);
    EXPECT_TRUE(Log.Contains("IncludeNetworks has no usable range; every address is reported"));

    // An empty switch deletes its list.
    line = COMMAND_LINE();
    line.IncludeNetworks = u"";
    ASSERT_TRUE(LoadSettings(line, Key));
    EXPECT_FALSE(RegistryValueExists(Key, u"IncludeNetworks"));

#if defined(_WIN32)
    // A list larger than the program reads (the POSIX store holds no such value) is said so.
    ASSERT_TRUE(WriteRegistryStrings(Key, u"ExcludeNetworks", std::vector<STRING>(60000, STRING(u"10.0.0.0/8"))));
    ReloadSettings(plain, Key);
    EXPECT_TRUE(Log.Contains("Registry value ExcludeNetworks holds more than 1048576 bytes; it is not read"));
#endif
}

TEST_F(SettingsTest, ARefreshNeverTurnsTheLogOff) {
    ASSERT_TRUE(WriteRegistryString(Key, u"IdentServer", u"id.example"));
    COMMAND_LINE line;
    line.CommandLineMode = DBGOUT_VERBOSE;  // started with -V
    SetDebugOutputMode(DBGOUT_DEBUGGER | DBGOUT_LOG | DBGOUT_VERBOSE | DBGOUT_NO_TIME_STAMP);
    SaveDebugOutputMode(line, Key);
    ASSERT_TRUE(LoadSettings(line, Key));

    // A reload for another change: the saved value is the program's own, nothing changes.
    ASSERT_TRUE(WriteRegistryDword(Key, u"Heartbeat", 5));
    ReloadSettings(line, Key);
    EXPECT_NE(GetDebugOutputMode() & DBGOUT_LOG, 0u);
    EXPECT_EQ(Log.Count("Debug output mode"), 1u) << Log.All();  // only "saved"

    // The administrator names categories only: the log file stays the destination.
    ASSERT_TRUE(WriteRegistryDword(Key, u"DebugOutput", DBGOUT_VERBOSE | DBGOUT_CUSTOM1));
    ReloadSettings(line, Key);
    EXPECT_EQ(GetDebugOutputMode() & (DBGOUT_LOG | DBGOUT_VERBOSE | DBGOUT_CUSTOM1),
              DBGOUT_LOG | DBGOUT_VERBOSE | DBGOUT_CUSTOM1);

    // ... or deletes the value: the defaults (the log file) take over.
    ASSERT_TRUE(DeleteRegistryValue(Key, u"DebugOutput"));
    ReloadSettings(line, Key);
    EXPECT_NE(GetDebugOutputMode() & DBGOUT_LOG, 0u);
    EXPECT_EQ(GetDebugOutputMode() & DBGOUT_VERBOSE, 0u);
}

TEST_F(SettingsTest, ShutdownOneStopsTheServiceAndBecomesTwo) {
    ASSERT_TRUE(WriteRegistryString(Key, u"IdentServer", u"id.example"));
    COMMAND_LINE line;
    ASSERT_TRUE(LoadSettings(line, Key));
    ASSERT_TRUE(StopServiceEvent().Create(true));

    ASSERT_TRUE(WriteRegistryDword(Key, u"Shutdown", 3));
    ReloadSettings(line, Key);
    EXPECT_EQ(WaitForOne(StopServiceEvent(), 0), WAIT_TIMED_OUT);

    ASSERT_TRUE(WriteRegistryDword(Key, u"Shutdown", 1));
    ReloadSettings(line, Key);
    EXPECT_EQ(WaitForOne(StopServiceEvent(), 0), 0u);
    uint32_t value = 0;
    ASSERT_TRUE(ReadRegistryDword(Key, u"Shutdown", value));
    EXPECT_EQ(value, 2u);
    EXPECT_TRUE(Log.Contains("Stopping Service: Reason = Registry value \"Shutdown\" set"));
    StopServiceEvent().Close();
}

// The Settings thread itself, woken by real change notifications of the store.
TEST_F(SettingsTest, TheSettingsThreadFollowsTheKeyButNotItsStatistics) {
    ASSERT_TRUE(WriteRegistryString(Key, u"IdentServer", u"id.example"));
    ASSERT_TRUE(WriteRegistryDword(Key, u"Shutdown", 1));  // left from an earlier run
    ASSERT_EQ(SettingsKey().Open(KEY, true), ERR_SUCCESS);
    ASSERT_TRUE(InitializeService());
    EXPECT_TRUE(Log.Contains("Registry value \"Shutdown\" reset"));

    // The thread arms its notification after it has started; until then a change goes
    // unnoticed, so the first change is repeated until the thread has seen it (each time with
    // new data: the registry doesn't report a write of the same data as a change).
    bool changed = false;
    for (int attempt = 0; attempt < 100 && !changed; ++attempt) {
        STRING server;
        FormatString(server, u"other%d.example", attempt);
        ASSERT_TRUE(WriteRegistryString(Key, u"IdentServer", server.Text()));
        changed = WaitForOne(SettingsChangedEvent(), 200) == 0;
    }
    ASSERT_TRUE(changed) << Log.All();
    EXPECT_TRUE(Log.Contains("Settings thread started"));
    EXPECT_TRUE(Log.Contains("Ident server changed from \"id.example\" to \"other"));

    // The notification is armed again before each reload, so from here on every change is
    // seen. Counters in the Statistics subkey never wake the thread.
    Log.Clear();
    REGISTRY_KEY statistics;
    ASSERT_EQ(Key.CreateSubkey(u"Statistics", statistics), ERR_SUCCESS);
    for (uint32_t i = 0; i < 20; ++i) ASSERT_TRUE(WriteRegistryDword(statistics, u"Logons", i));
    SleepMilliseconds(300);  // room for a wrong wake-up to show
    EXPECT_EQ(Log.Count("Reloading settings ..."), 0u);

    ASSERT_TRUE(WriteRegistryDword(Key, u"Shutdown", 1));
    ASSERT_EQ(WaitForOne(StopServiceEvent(), 20000), 0u);
    uint32_t shutdown = 0;
    ASSERT_TRUE(ReadRegistryDword(Key, u"Shutdown", shutdown));
    EXPECT_EQ(shutdown, 2u);

    UninitializeService();
    EXPECT_TRUE(Log.Contains("Settings thread normal exit"));
    EXPECT_TRUE(Log.Contains("1 thread stopped normally in"));
    SettingsKey().Close();
    StatisticsKey().Close();
}

}  // namespace
}  // namespace qv

namespace qv {
namespace {

constexpr const char16_t* CONNECTION_VALUES[] = {u"TlsVerify", u"TlsCaFile", u"TlsPins", u"IdentServerFallback",
                                                 u"ResendOnReconnect"};

bool WriteStrings(const REGISTRY_KEY& key, const char16_t* name, std::u16string units) {
    units.push_back(u'\0');  // the list's end
    return key.SetValue(name, REG_TYPE_MULTI_SZ, units.data(),
                        static_cast<uint32_t>(units.size() * sizeof(char16_t))) == ERR_SUCCESS;
}

TEST_F(SettingsTest, ConnectionSettingsSayNothingUnlessSetAndReadMistakesTheSafeWay) {
    for (const char16_t* name : CONNECTION_VALUES) DeleteRegistryValue(Key, name);
    ASSERT_TRUE(WriteRegistryString(Key, u"IdentServer", u"id.example"));
    COMMAND_LINE line;
    ASSERT_TRUE(LoadSettings(line, Key));
    for (const char* part : {"TLS", "Tls", "fallback", "Resend"}) EXPECT_FALSE(Log.Contains(part)) << Log.All();
    CONNECTION_SETTINGS settings = GetConnectionSettings();
    EXPECT_EQ(settings.Trust.Verify, TLS_VERIFY_NONE);
    EXPECT_TRUE(settings.Fallbacks.empty());
    EXPECT_FALSE(settings.ResendOnReconnect);

    // An unknown mode still verifies; a pin that is no fingerprint is left out with its line.
    ASSERT_TRUE(WriteRegistryDword(Key, u"IdentProtocol", 2));
    ASSERT_TRUE(WriteRegistryDword(Key, u"TlsVerify", 7));
    const std::u16string pin(64, u'a');
    ASSERT_TRUE(WriteStrings(Key, u"TlsPins", pin + u'\0' + u"nonsense"));
    ASSERT_TRUE(WriteStrings(Key, u"IdentServerFallback", std::u16string(u"b.example") + u'\0' + u"c.example"));
    ASSERT_TRUE(WriteRegistryDword(Key, u"ResendOnReconnect", 1));
    ASSERT_TRUE(LoadSettings(line, Key));
    EXPECT_TRUE(Log.Contains("TlsVerify = 7 is not 0, 1 or 2; certificates are verified as with 1"));
    EXPECT_TRUE(Log.Contains("TLS certificate verification = 1 (a trusted chain that names the server)"));
    EXPECT_TRUE(Log.Contains("TlsPins: \"nonsense\" is not a SHA-256 fingerprint (64 hexadecimal digits); it is "
                             "left out"));
    EXPECT_TRUE(Log.Contains("TLS pins = 1"));
    EXPECT_TRUE(Log.Contains("Identity server fallbacks = \"b.example\", \"c.example\""));
    EXPECT_TRUE(Log.Contains("Resend live logons on reconnect = yes"));
    EXPECT_TRUE(Log.Contains("TlsVerify = 1 has no effect: IdentProtocol = TCP sends reports unencrypted and "
                             "unverified"));
    settings = GetConnectionSettings();
    EXPECT_EQ(settings.Trust.Verify, TLS_VERIFY_CHAIN);
    EXPECT_EQ(settings.Trust.Pins.size(), 1u);
    EXPECT_EQ(settings.Fallbacks.size(), 2u);
    EXPECT_TRUE(settings.ResendOnReconnect);

    // A reload says what changed, and only then.
    ASSERT_TRUE(WriteRegistryDword(Key, u"TlsVerify", 2));
    ASSERT_TRUE(DeleteRegistryValue(Key, u"IdentServerFallback"));
    ReloadSettings(line, Key);
    EXPECT_TRUE(Log.Contains("TLS certificate verification changed to 2 (a pinned certificate or public key)"));
    EXPECT_TRUE(Log.Contains("Identity server fallbacks changed to none"));
    EXPECT_EQ(GetConnectionSettings().Trust.Verify, TLS_VERIFY_PIN);
    ReloadSettings(line, Key);
    EXPECT_EQ(Log.Count("changed to"), 2u);
    EXPECT_EQ(Log.Count("TlsPins: \"nonsense\""), 2u) << "said at load and with the change, not at every reload";

    for (const char16_t* name : CONNECTION_VALUES) DeleteRegistryValue(Key, name);
    DeleteRegistryValue(Key, u"IdentProtocol");
    ReloadSettings(line, Key);
    EXPECT_EQ(GetConnectionSettings().Trust.Verify, TLS_VERIFY_NONE);
}

}  // namespace
}  // namespace qv
