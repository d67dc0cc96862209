// The reader on the platform's own event log: on POSIX the store under a fresh data root,
// written by another handle while the reader follows it; under Wine the system log, whose
// reads always end at once.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

#include "eventlog/event_log.h"
#include "eventlog/event_log_context.h"
#include "tests/eventlog/fake_event_log.h"
#include "tests/support/log_capture.h"

#if !defined(_WIN32)
#include "platform/posix/event_log_store.h"
#include "tests/platform/temp_data_root.h"
#endif

namespace qv::test {
namespace {

// EVENT_LOG::Process of an opened reader on a thread of its own, until stop is signalled.
class READER_RUN {
public:
    explicit READER_RUN(EVENT_LOG& reader) : Reader(reader) {
        Ready = Stop.Create(true, false) && SettingsChanged.Create(false, false) && Reader.Open(u"Security", Stop);
        if (Ready) Worker = std::thread([this] { Result = Reader.Process(Stop, SettingsChanged); });
    }
    ~READER_RUN() { Finish(); }
    bool IsReady() const { return Ready; }
    uint32_t Finish() {
        Stop.Set();
        if (Worker.joinable()) Worker.join();
        return Result;
    }

private:
    EVENT_LOG& Reader;
    EVENT Stop;
    EVENT SettingsChanged;
    bool Ready = false;
    uint32_t Result = 99;
    std::thread Worker;
};

// Waits (up to ten seconds) until the log has 'count' lines with 'text'.
bool WaitForLines(const LOG_CAPTURE& capture, const std::string& text, size_t count = 1) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (capture.LinesWith(text).size() < count) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

#if !defined(_WIN32)

NEW_EVENT_RECORD Logon(uint32_t eventId, std::u16string user) {
    return SecurityRecord(eventId, {u"S-1-0-0", std::move(user)});
}

TEST(EventLogSystemTest, FollowsTheStoreFromItsEndThroughAClearing) {
    TEMP_DATA_ROOT root;
    ASSERT_TRUE(root.IsValid());
    LOG_CAPTURE capture(DBGOUT_LOG | DBGOUT_VERBOSE);
    EVENT_LOG_WRITER writer;
    ASSERT_EQ(writer.Open(u"Security"), 0u);
    for (const char16_t* user : {u"old1", u"old2", u"old3"}) ASSERT_EQ(writer.Append(Logon(4624, user)), 0u);

    DUMP_SWITCHES switches;
    EVENT_LOG_TIMING timing;
    timing.ChangeWaitMs = 200;
    OBSERVED_EVENT_LOG reader(EVENT_LOG_CONTEXT{switches}, CreateSystemEventLog(), timing);
    READER_RUN run(reader);
    ASSERT_TRUE(run.IsReady());

    const bool positioned = WaitForLines(capture, "PositionToEnd: FORWARDS");
    EXPECT_TRUE(positioned);
    if (positioned) {
        EXPECT_EQ(capture.LinesWith("EVENT_LOG::Process: RecordCount = 3").size(), 1u);
        EXPECT_EQ(capture.LinesWith("EVENT_LOG::Process: OldestRecordNumber = 1").size(), 1u);
        EXPECT_EQ(capture.LinesWith("PositionToEnd: BACKWARDS, Records: Count = 3, First = 3, Last = 1").size(), 1u);

        ASSERT_EQ(writer.Append(Logon(4624, u"new4")), 0u);
        ASSERT_EQ(writer.Append(Logon(540 | 0x00010000, u"qualified5")), 0u);
        ASSERT_EQ(writer.Append(Logon(4634, u"new6")), 0u);
        EXPECT_TRUE(WaitForLines(capture, "Last = 6"));

        ASSERT_EQ(writer.Clear(), 0u);
        EXPECT_TRUE(WaitForLines(capture, "Security event log reopened"));
        // Once a wait has timed out after the reopening, the reader follows the new log's end.
        const size_t reopenedAt = capture.Lines().size();
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        auto timedOutSinceReopening = [&] {
            const auto lines = capture.Lines();
            for (size_t i = reopenedAt; i < lines.size(); ++i) {
                if (lines[i].find("Time-out, Records: Count = 0") != std::string::npos) return true;
            }
            return false;
        };
        while (!timedOutSinceReopening() && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ASSERT_EQ(writer.Append(Logon(528, u"after")), 0u);
        EXPECT_TRUE(WaitForLines(capture, "First = 1, Last = 1"));
    }
    EXPECT_EQ(run.Finish(), PROCESS_STOP);
    EXPECT_EQ(capture.LinesWith("Security event log has been cleared").size(), 1u);
    std::vector<std::u16string> users;
    for (const DISPATCHED& seen : reader.Dispatched) users.push_back(seen.Strings.at(1));
    EXPECT_EQ(users, (std::vector<std::u16string>{u"new4", u"new6", u"after"}));
}

#else

// Wine's event log is a stub whose reads end at once with 38: the reader gets as far as its
// wait and leaves it when stop is signalled.
TEST(EventLogSystemTest, ReachesItsWaitOnTheSystemLogAndStops) {
    LOG_CAPTURE capture(DBGOUT_LOG | DBGOUT_VERBOSE);
    DUMP_SWITCHES switches;
    EVENT_LOG reader(EVENT_LOG_CONTEXT{switches});
    READER_RUN run(reader);
    ASSERT_TRUE(run.IsReady());
    EXPECT_TRUE(WaitForLines(capture, "EVENT_LOG::Process: OldestRecordNumber"));
    EXPECT_EQ(run.Finish(), PROCESS_STOP);
    EXPECT_TRUE(capture.LinesWith("Unable to read").empty());
}

#endif

}  // namespace
}  // namespace qv::test
