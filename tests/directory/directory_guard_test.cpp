// A directory that hangs, refuses or goes away never holds the reporting thread for long: calls
// are given up at the time limit or at once on a stop, look-ups pause after a failure to reach
// the directory (one line when they pause, one when it answers again), and a domain's NetBIOS
// name outlives an outage.
#include "directory/directory_guard.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>

#include "directory/directory.h"
#include "directory/directory_cache.h"
#include "platform/wait.h"
#include "tests/directory/fake_directory_access.h"
#include "tests/support/log_capture.h"
#include "tests/test_text.h"

namespace qv {
namespace {

using test::Utf8;

const uint32_t SERVER_DOWN = 0x8007203A;

class DirectoryGuardTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(Stop.Create(true, false));
        ASSERT_TRUE(Release.Create(true, false));
        Directory.AddName(ADS_NAME_TYPE_NT4, u"CORP\\alice", ADS_NAME_TYPE_1779, u"CN=alice,DC=corp");
        Directory.AddName(ADS_NAME_TYPE_NT4, u"CORP\\bob", ADS_NAME_TYPE_1779, u"CN=bob,DC=corp");
        Directory.AddName(ADS_NAME_TYPE_CANONICAL, u"corp.example.com/", ADS_NAME_TYPE_NT4, u"EXCORP\\");
        DIRECTORY_LIMITS limits;
        limits.Stop = &Stop;
        limits.TimeLimitMs = 300;
        limits.Clock = [this] { return Now.load(); };
        SetDirectoryLimits(limits);
        DirectoryCache().Configure(DIRECTORY_CACHE_AGE_MILLISECONDS, DIRECTORY_CACHE_ENTRIES, [this] { return Now.load(); });
        ResetDirectoryGuard();
    }
    void TearDown() override {
        Release.Set();
        EXPECT_TRUE(WaitForDirectoryCalls(5000));  // nothing abandoned outlives the fake
        SetDirectoryLimits(DIRECTORY_LIMITS());
        DirectoryCache().Configure(DIRECTORY_CACHE_AGE_MILLISECONDS, DIRECTORY_CACHE_ENTRIES);
        ResetDirectoryGuard();
    }

    // A directory that accepts and never answers, until released.
    void Hang() {
        Directory.BeforeSet = [this] { WaitForOne(Release, WAIT_INFINITE); };
    }
    bool Look(const char16_t* name, uint32_t* code = nullptr) {
        STRING dn;
        return TranslateName(ADS_NAME_TYPE_NT4, name, ADS_NAME_TYPE_1779, GlobalCatalog, dn, code);
    }
    static uint64_t Milliseconds(std::chrono::steady_clock::time_point since) {
        return static_cast<uint64_t>(
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - since).count());
    }
    size_t Count(const std::string& text) { return Log.LinesWith(text).size(); }

    test::LOG_CAPTURE Log{0x2};
    test::FAKE_DIRECTORY_ACCESS Directory;
    DIRECTORY_BINDING GlobalCatalog;
    EVENT Stop;
    EVENT Release;
    std::atomic<uint64_t> Now{1000000};
};

TEST_F(DirectoryGuardTest, AHungDirectoryCostsOneTimeLimitThenLookUpsPauseUntilItAnswers) {
    Hang();
    auto start = std::chrono::steady_clock::now();
    uint32_t code = 0;
    {
        // The first look-up of the report waits out the limit; the second is not tried at all.
        DIRECTORY_TIME_LIMIT report;
        EXPECT_FALSE(Look(u"CORP\\alice", &code));
        EXPECT_FALSE(Look(u"CORP\\bob"));
    }
    EXPECT_LT(Milliseconds(start), 2000u);
    EXPECT_EQ(code, 0x800705B4u);  // timed out
    EXPECT_EQ(Count("Directory look-ups pause for 30 seconds"), 1u);
    // The failed look-up and the pause both say why.
    EXPECT_EQ(Count("Error code = 0x800705b4."), 2u);

    // While paused: at once, without a line, and nothing asked of the directory.
    const size_t lines = Log.Lines().size();
    start = std::chrono::steady_clock::now();
    for (int i = 0; i < 100; ++i) EXPECT_FALSE(Look(u"CORP\\bob"));
    EXPECT_LT(Milliseconds(start), 500u);
    EXPECT_EQ(Log.Lines().size(), lines);

    // After the pause one look-up tries again; the directory answers, and says so once.
    Release.Set();
    ASSERT_TRUE(WaitForDirectoryCalls(5000));
    Directory.BeforeSet = nullptr;
    Now += 30000;
    EXPECT_TRUE(Look(u"CORP\\bob"));
    EXPECT_TRUE(Look(u"CORP\\alice"));
    EXPECT_EQ(Count("The directory answers again; directory look-ups go on"), 1u);
}

TEST_F(DirectoryGuardTest, AStopEndsTheWaitAtOnceAndNoLookUpStartsAfterIt) {
    Hang();
    DIRECTORY_LIMITS limits;
    limits.Stop = &Stop;
    limits.TimeLimitMs = 60000;
    SetDirectoryLimits(limits);
    std::atomic<bool> stopped{false};
    Directory.BeforeSet = [&] {
        Stop.Set();  // the stop comes while the directory is being waited for
        stopped = true;
        WaitForOne(Release, WAIT_INFINITE);
    };
    const auto start = std::chrono::steady_clock::now();
    uint32_t code = 0;
    EXPECT_FALSE(Look(u"CORP\\alice", &code));
    EXPECT_LT(Milliseconds(start), 2000u);
    EXPECT_TRUE(stopped);
    EXPECT_EQ(code, 0x800704C7u);  // cancelled
    const int asked = Directory.RoundTrips;
    EXPECT_FALSE(Look(u"CORP\\bob"));
    EXPECT_EQ(Directory.RoundTrips, asked);
    EXPECT_EQ(Count("Directory look-ups pause"), 0u);  // a stop is not an outage
}

TEST_F(DirectoryGuardTest, ARefusedDirectoryPausesLongerEachTimeAndANameOnceKnownStays) {
    STRING netbios;
    EXPECT_TRUE(DomainNetbiosName(u"corp.example.com", GlobalCatalog, netbios));
    Directory.InitFailure = SERVER_DOWN;
    Now += DIRECTORY_CACHE_AGE_MILLISECONDS;  // every answer has aged
    const int asked = Directory.RoundTrips;

    EXPECT_FALSE(Look(u"CORP\\alice"));
    for (int i = 0; i < 100; ++i) EXPECT_FALSE(Look(u"CORP\\alice"));
    EXPECT_EQ(Count("Unable to initialize IADsNameTranslate."), 1u);
    EXPECT_EQ(Count("Directory look-ups pause for 30 seconds"), 1u);
    // The domain keeps the name it had, so its users keep theirs.
    EXPECT_TRUE(DomainNetbiosName(u"CORP.EXAMPLE.COM", GlobalCatalog, netbios));
    EXPECT_EQ(Utf8(netbios), "EXCORP");

    Now += 30000;
    EXPECT_FALSE(Look(u"CORP\\alice"));
    EXPECT_EQ(Count("Directory look-ups pause for 60 seconds"), 1u);
    Now += 60000;
    EXPECT_FALSE(Look(u"CORP\\alice"));
    EXPECT_EQ(Count("Directory look-ups pause for 120 seconds"), 1u);
    for (int step = 0; step < 4; ++step) {
        Now += 300000;
        EXPECT_FALSE(Look(u"CORP\\alice"));
    }
    EXPECT_EQ(Count("Directory look-ups pause for 300 seconds"), 3u);  // five minutes at most
    EXPECT_EQ(Directory.RoundTrips, asked);  // the refusal came before any name was asked

    Directory.InitFailure = 0;
    Now += 300000;
    EXPECT_TRUE(Look(u"CORP\\alice"));
    Directory.InitFailure = SERVER_DOWN;
    EXPECT_FALSE(Look(u"CORP\\bob"));
    EXPECT_EQ(Count("Directory look-ups pause for 30 seconds"), 2u);  // an answer starts over
}

}  // namespace
}  // namespace qv
