// The reader against a replayed log: positioning, batches, growth, clearing, waits and opening.
#include "eventlog/event_log.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>

#include "base/error_codes.h"
#include "eventlog/event_log_context.h"
#include "support/time_value.h"
#include "tests/eventlog/fake_event_log.h"
#include "tests/support/log_capture.h"

namespace qv::test {
namespace {

class EventLogReaderTest : public testing::Test {
protected:
    EventLogReaderTest() : Capture(DBGOUT_LOG | DBGOUT_VERBOSE) {}
    void SetUp() override {
        ASSERT_TRUE(Stop.Create(true, false));
        ASSERT_TRUE(SettingsChanged.Create(false, false));
    }

    // A reader over the fake; opened, with its own pace.
    std::unique_ptr<OBSERVED_EVENT_LOG> MakeReader(EVENT_LOG_TIMING timing = {}) {
        auto reader = std::make_unique<OBSERVED_EVENT_LOG>(EVENT_LOG_CONTEXT{Switches}, std::make_unique<FAKE_EVENT_LOG>(Trace), timing);
        EXPECT_TRUE(reader->Open(u"Security", Stop));
        return reader;
    }

    uint32_t Run(OBSERVED_EVENT_LOG& reader) { return reader.Process(Stop, SettingsChanged); }

    void ThenRead(uint32_t code, std::vector<uint8_t> bytes = {}) { Trace->Reads.push_back({code, std::move(bytes)}); }
    void ThenWait(uint32_t result) { Trace->WaitResults.push_back(result); }

    LOG_CAPTURE Capture;
    DUMP_SWITCHES Switches;
    EVENT Stop;
    EVENT SettingsChanged;
    std::shared_ptr<FAKE_LOG_TRACE> Trace = std::make_shared<FAKE_LOG_TRACE>();
};

constexpr uint32_t STOPPED = 0;  // a stop comes first in the wait set
constexpr uint32_t CHANGED = 1;
constexpr uint32_t SETTINGS = 2;

TEST_F(EventLogReaderTest, EmptyLogGoesStraightToWaiting) {
    auto reader = MakeReader();
    Trace->RecordCount = 0;
    Trace->OldestRecord = 0;
    ThenRead(ERR_HANDLE_EOF);
    ThenWait(STOPPED);

    EXPECT_EQ(Run(*reader), PROCESS_STOP);
    EXPECT_EQ(Trace->ReadFlags, (std::vector<uint32_t>{9}));
    EXPECT_EQ(Trace->WaitTimeouts, (std::vector<uint32_t>{15000}));
    EXPECT_EQ(Trace->Notifications, 1u);
    EXPECT_EQ(Capture.LinesWith("EVENT_LOG::Process: RecordCount = 0").size(), 1u);
    EXPECT_EQ(Capture.LinesWith("EVENT_LOG::Process: OldestRecordNumber = 0").size(), 1u);
    EXPECT_TRUE(Capture.LinesWith("PositionToEnd").empty());
    EXPECT_TRUE(reader->Dispatched.empty());
}

TEST_F(EventLogReaderTest, RecordsPresentAtStartAreCountedButOnlyNewOnesAreDispatched) {
    auto reader = MakeReader();
    Trace->RecordCount = 3;
    Trace->OldestRecord = 5;
    ThenRead(0, Concatenate({MakeRecord(7, 4624), MakeRecord(6, 4624), MakeRecord(5, 4624)}));
    ThenRead(0, Concatenate({MakeRecord(5, 4624), MakeRecord(6, 4624)}));
    ThenRead(0, Concatenate({MakeRecord(7, 4624)}));
    ThenRead(ERR_HANDLE_EOF);
    Trace->BeforeWait = [&](uint32_t call) {
        if (call == 1) {
            ThenRead(0, MakeRecord(8, 4624, {u"S-1-0-0", u"-"}));
            ThenRead(ERR_HANDLE_EOF);
            ThenWait(CHANGED);
        } else {
            ThenWait(STOPPED);
        }
    };

    EXPECT_EQ(Run(*reader), PROCESS_STOP);
    ASSERT_EQ(reader->Dispatched.size(), 1u);
    EXPECT_EQ(reader->Dispatched[0].RecordNumber, 8u);
    EXPECT_EQ(reader->Dispatched[0].Strings, (std::vector<std::u16string>{u"S-1-0-0", u"-"}));
    EXPECT_EQ(Capture.LinesWith("EVENT_LOG::Process: RecordCount = 3").size(), 1u);
    EXPECT_EQ(Capture.LinesWith("EVENT_LOG::Process: OldestRecordNumber = 5").size(), 1u);
    EXPECT_EQ(Capture.LinesWith("PositionToEnd: BACKWARDS, Records: Count = 3, First = 7, Last = 5").size(), 1u);
    // The forwards reads go on to the end, so that nothing old is left for the first batch.
    EXPECT_EQ(Capture.LinesWith("PositionToEnd: FORWARDS, Records: Count = 3, First = 5, Last = 7").size(), 1u);
    EXPECT_EQ(Capture.LinesWith("EVENT_LOG::Process: Signaled, Records: Count = 1, First = 8, Last = 8").size(), 1u);
    EXPECT_EQ(Trace->ReadFlags, (std::vector<uint32_t>{9, 5, 5, 5, 5, 5}));
}

TEST_F(EventLogReaderTest, RecordLargerThanTheBufferGrowsItAndRepeatsTheRead) {
    auto reader = MakeReader();
    const std::u16string big(40000, u'x');  // 80000 bytes of text
    const std::vector<uint8_t> first = MakeRecord(2, 4624, {big});
    const std::vector<uint8_t> second = MakeRecord(3, 4634, {u"small", u"end"});
    ASSERT_GT(first.size(), RECORD_BUFFER_SIZE);
    ThenRead(ERR_HANDLE_EOF);
    ThenWait(CHANGED);
    ThenRead(0, first);
    ThenRead(ERR_HANDLE_EOF);
    ThenWait(CHANGED);
    ThenRead(0, second);
    ThenRead(ERR_HANDLE_EOF);
    ThenWait(STOPPED);

    EXPECT_EQ(Run(*reader), PROCESS_STOP);
    ASSERT_EQ(reader->Dispatched.size(), 2u);
    EXPECT_EQ(reader->Dispatched[0].Strings[0], big);
    EXPECT_EQ(reader->Dispatched[1].Strings[1], u"end");
    const uint32_t grown = static_cast<uint32_t>(first.size());
    // Backwards read, then the read that was too small, the same read again with the reported
    // size, and every later read with the grown buffer, although the next record is small.
    EXPECT_EQ(Trace->ReadBufferSizes,
              (std::vector<uint32_t>{RECORD_BUFFER_SIZE, RECORD_BUFFER_SIZE, grown, grown, grown, grown}));
    EXPECT_TRUE(Capture.LinesWith("Failed to reallocate").empty());
}

TEST_F(EventLogReaderTest, ClearedLogIsReopenedAndFollowedFromItsNewEnd) {
    auto reader = MakeReader();
    ThenRead(ERR_EVENTLOG_FILE_CHANGED);  // cleared before positioning
    ThenRead(ERR_HANDLE_EOF);
    ThenWait(CHANGED);
    ThenRead(0, MakeRecord(10, 528));
    ThenRead(ERR_EVENTLOG_FILE_CHANGED);  // cleared during a batch
    ThenRead(0, MakeRecord(1, 538));      // repositioning skips what the new log holds
    ThenRead(ERR_HANDLE_EOF);
    ThenWait(CHANGED);
    ThenRead(0, MakeRecord(2, 540, {u"a"}));
    ThenRead(ERR_HANDLE_EOF);
    ThenWait(STOPPED);

    EXPECT_EQ(Run(*reader), PROCESS_STOP);
    EXPECT_EQ(Capture.LinesWith("Security event log has been cleared").size(), 2u);
    EXPECT_EQ(Capture.LinesWith("Security event log reopened").size(), 2u);
    EXPECT_EQ(Trace->Opens, 3u);
    EXPECT_EQ(Trace->Notifications, 3u);
    ASSERT_EQ(reader->Dispatched.size(), 2u);
    EXPECT_EQ(reader->Dispatched[0].RecordNumber, 10u);
    EXPECT_EQ(reader->Dispatched[1].RecordNumber, 2u);
}

TEST_F(EventLogReaderTest, FailedReopenAfterClearingEndsProcessing) {
    auto reader = MakeReader();
    ThenRead(ERR_EVENTLOG_FILE_CHANGED);
    Trace->OpenResults.push_back(ERR_ACCESS_DENIED);

    EXPECT_EQ(Run(*reader), PROCESS_FAILED);
    EXPECT_EQ(Capture.LinesWith("Security event log has been cleared").size(), 1u);
    const auto lines = Capture.LinesWith("Uable to reopen the Security event log.");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("Error code = 5."), std::string::npos);
}

TEST_F(EventLogReaderTest, DispatchMatchesTheFullEventIdIncludingQualifiers) {
    auto reader = MakeReader();
    ThenRead(ERR_HANDLE_EOF);
    ThenWait(CHANGED);
    ThenRead(0, Concatenate({MakeRecord(1, 540 | 0x00010000), MakeRecord(2, 540), MakeRecord(3, 4769),
                             MakeRecord(4, 0x40000000 | 4624), MakeRecord(5, 673), MakeRecord(6, 528),
                             MakeRecord(7, 538), MakeRecord(8, 4634), MakeRecord(9, 4624)}));
    ThenWait(STOPPED);

    EXPECT_EQ(Run(*reader), PROCESS_STOP);
    std::vector<uint32_t> numbers;
    for (const DISPATCHED& seen : reader->Dispatched) numbers.push_back(seen.RecordNumber);
    EXPECT_EQ(numbers, (std::vector<uint32_t>{2, 5, 6, 7, 8, 9}));
    EXPECT_EQ(Capture.LinesWith("Signaled, Records: Count = 9, First = 1, Last = 9").size(), 1u);
}

TEST_F(EventLogReaderTest, TimeOutBatchRunsExpiryAndReportsAnEmptyRange) {
    EVENT_LOG_TIMING timing;
    timing.ChangeWaitMs = 20;
    timing.ExpiryIntervalMs = 0;
    auto reader = MakeReader(timing);
    const uint64_t before = reader->SinceLastExpiry().Started();
    ThenRead(ERR_HANDLE_EOF);
    // The first wait times out for real; the stop comes before the second.
    Trace->BeforeWait = [&](uint32_t call) {
        if (call == 2) Stop.Set();
    };

    EXPECT_EQ(Run(*reader), PROCESS_STOP);
    EXPECT_EQ(Trace->WaitTimeouts, (std::vector<uint32_t>{20, 20}));
    EXPECT_EQ(Capture.LinesWith("EVENT_LOG::Process: Time-out, Records: Count = 0, First = 0, Last = 0").size(), 1u);
    EXPECT_GT(reader->SinceLastExpiry().Started(), before);
}

TEST_F(EventLogReaderTest, VerboseBatchLinesNeedTheVerboseCategory) {
    SetDebugOutputMode(DBGOUT_LOG);
    auto reader = MakeReader();
    ThenRead(ERR_HANDLE_EOF);
    ThenWait(WAIT_TIMED_OUT);
    ThenWait(STOPPED);
    EXPECT_EQ(Run(*reader), PROCESS_STOP);
    EXPECT_TRUE(Capture.LinesWith("Time-out").empty());
}

TEST_F(EventLogReaderTest, SettingsChangeAndFailuresEndProcessingWithTheirResults) {
    auto reader = MakeReader();
    ThenRead(ERR_HANDLE_EOF);
    ThenWait(SETTINGS);
    EXPECT_EQ(Run(*reader), PROCESS_SETTINGS_CHANGED);

    // A read error during positioning.
    ThenRead(ERR_ACCESS_DENIED);
    EXPECT_EQ(Run(*reader), PROCESS_FAILED);
    EXPECT_EQ(Capture.LinesWith("Unable to read the Security event log.").size(), 1u);

    // A read error during a batch.
    ThenRead(ERR_HANDLE_EOF);
    ThenWait(CHANGED);
    ThenRead(ERR_EVENTLOG_FILE_CORRUPT);
    EXPECT_EQ(Run(*reader), PROCESS_FAILED);
    EXPECT_EQ(Capture.LinesWith("Error code = 1500.").size(), 1u);

    // A failed wait.
    ThenRead(ERR_HANDLE_EOF);
    ThenWait(WAIT_FAILED_RESULT);
    EXPECT_EQ(Run(*reader), PROCESS_FAILED);
    EXPECT_EQ(Capture.LinesWith("EVENT_LOG::Process: Wait for event log changes failed.").size(), 1u);

    // Registration refused: no message.
    Trace->NotifyError = ERR_ACCESS_DENIED;
    const size_t linesBefore = Capture.Lines().size();
    EXPECT_EQ(Run(*reader), PROCESS_FAILED);
    EXPECT_EQ(Capture.Lines().size(), linesBefore);
}

// A record written 'ageSeconds' ago.
std::vector<uint8_t> RecordAged(uint32_t recordNumber, uint32_t ageSeconds) {
    NEW_EVENT_RECORD record = SecurityRecord(4634);
    record.TimeGenerated = static_cast<uint32_t>((TIME_VALUE::Now().Count - UNIX_EPOCH_TICKS) / TICKS_PER_SECOND) - ageSeconds;
    return BuildEventLogRecord(record, recordNumber);
}

// Records written while nobody read (a settings change, a reconnection, a reopen) are read
// on from where reading stopped; those older than the logon time-to-live are passed over.
TEST_F(EventLogReaderTest, ALaterCallReadsOnWhereTheLastStoppedAndAReopenSeeksThere) {
    auto reader = MakeReader();
    ThenRead(0, MakeRecord(3, 4634));  // positioning at start: record 3 is the last one
    ThenRead(ERR_HANDLE_EOF);
    ThenWait(SETTINGS);
    EXPECT_EQ(Run(*reader), PROCESS_SETTINGS_CHANGED);

    // Meanwhile records 4 (13 minutes old) and 5 (fresh) were written.
    ThenRead(0, Concatenate({RecordAged(4, 13 * 60), RecordAged(5, 10)}));
    ThenRead(ERR_HANDLE_EOF);
    ThenWait(SETTINGS);
    EXPECT_EQ(Run(*reader), PROCESS_SETTINGS_CHANGED);
    ASSERT_EQ(reader->Dispatched.size(), 1u);
    EXPECT_EQ(reader->Dispatched[0].RecordNumber, 5u);
    EXPECT_EQ(Capture.LinesWith("Caught up, Records: Count = 2, First = 4, Last = 5; 1 older than the logon "
                                "time-to-live passed over").size(),
              1u);
    EXPECT_EQ(Capture.LinesWith("PositionToEnd: BACKWARDS").size(), 1u);  // only at start

    // Opened again after a failure: a seek to record 5, then what follows it.
    reader->Close();
    ASSERT_TRUE(reader->Open(u"Security", Stop));
    Trace->ReadFlags.clear();
    ThenRead(0, Concatenate({RecordAged(5, 10), RecordAged(6, 5)}));
    ThenRead(0, RecordAged(7, 1));
    ThenRead(ERR_HANDLE_EOF);
    ThenWait(STOPPED);
    EXPECT_EQ(Run(*reader), PROCESS_STOP);
    EXPECT_EQ(Trace->ReadFlags, (std::vector<uint32_t>{EVENTLOG_READ_SEEK | EVENTLOG_READ_FORWARDS, 5, 5}));
    ASSERT_EQ(reader->Dispatched.size(), 3u);
    EXPECT_EQ(reader->Dispatched[1].RecordNumber, 6u);
    EXPECT_EQ(reader->Dispatched[2].RecordNumber, 7u);

    // The log was cleared: the next call starts at its new end.
    ThenRead(ERR_EVENTLOG_FILE_CHANGED);
    ThenRead(0, MakeRecord(1, 4634));
    ThenRead(ERR_HANDLE_EOF);
    ThenWait(STOPPED);
    EXPECT_EQ(Run(*reader), PROCESS_STOP);
    EXPECT_EQ(reader->Dispatched.size(), 3u);
    EXPECT_EQ(Capture.LinesWith("PositionToEnd: BACKWARDS").size(), 2u);
}

// The place kept between runs: read on from it when the log still holds the record read last,
// else begin at the end, saying why; save where reading stands, never past a record a stop cut
// short.
TEST_F(EventLogReaderTest, AFirstStartReadsOnFromTheKeptPlaceOrBeginsAtTheEndSayingWhy) {
    const uint32_t now = static_cast<uint32_t>((TIME_VALUE::Now().Count - UNIX_EPOCH_TICKS) / TICKS_PER_SECOND);
    auto at = [](uint32_t number, uint32_t time) {
        NEW_EVENT_RECORD record = SecurityRecord(4634);
        record.TimeGenerated = time;
        return BuildEventLogRecord(record, number);
    };
    std::optional<READ_POSITION> kept;
    std::vector<READ_POSITION> saved;
    auto start = [&](uint32_t oldest = 1) {
        Trace = std::make_shared<FAKE_LOG_TRACE>();
        Trace->OldestRecord = oldest;
        EVENT_LOG_CONTEXT context{Switches};
        context.LoadPosition = [&](READ_POSITION& position) {
            if (kept) position = *kept;
            return kept.has_value();
        };
        context.SavePosition = [&](const READ_POSITION& position) { saved.push_back(position); };
        auto reader = std::make_unique<OBSERVED_EVENT_LOG>(context, std::make_unique<FAKE_EVENT_LOG>(Trace));
        EXPECT_TRUE(reader->Open(u"Security", Stop));
        return reader;
    };

    // Nothing kept: the end, and the newest record is where reading stands.
    auto reader = start();
    ThenRead(0, at(9, now - 5));
    ThenRead(ERR_HANDLE_EOF);
    ThenWait(STOPPED);
    EXPECT_EQ(Run(*reader), PROCESS_STOP);
    EXPECT_EQ(Capture.LinesWith("No reading position was kept by an earlier run; starting at the end").size(), 1u);
    ASSERT_FALSE(saved.empty());
    EXPECT_EQ(saved.back(), (READ_POSITION{9, now - 5}));

    // The same log: what follows the kept record is handled, what it holds before is not.
    kept = READ_POSITION{5, now - 60};
    reader = start();
    ThenRead(0, Concatenate({at(5, now - 60), at(6, now - 30)}));
    ThenRead(0, at(7, now - 20));
    ThenRead(ERR_HANDLE_EOF);
    ThenWait(STOPPED);
    EXPECT_EQ(Run(*reader), PROCESS_STOP);
    ASSERT_EQ(reader->Dispatched.size(), 2u);
    EXPECT_EQ(reader->Dispatched[0].RecordNumber, 6u);
    EXPECT_EQ(Capture.LinesWith("Reading on after record 5, where reading stopped before the restart").size(), 1u);
    EXPECT_EQ(saved.back(), (READ_POSITION{7, now - 20}));

    // Another record under the kept number: the log was cleared. It is opened afresh for the
    // way to its end.
    reader = start();
    ThenRead(0, at(5, now - 1));
    ThenRead(0, at(5, now - 1));
    ThenRead(ERR_HANDLE_EOF);
    ThenWait(STOPPED);
    EXPECT_EQ(Run(*reader), PROCESS_STOP);
    EXPECT_TRUE(reader->Dispatched.empty());
    EXPECT_EQ(Trace->Opens, 2u);
    EXPECT_EQ(Capture.LinesWith("Record 5 is not the record read before the restart: the Security event log was "
                                "cleared; starting at its end").size(),
              1u);

    // The log has wrapped past the kept record.
    reader = start(40);
    ThenRead(ERR_INVALID_PARAMETER);
    ThenRead(0, at(45, now - 1));
    ThenRead(ERR_HANDLE_EOF);
    ThenWait(STOPPED);
    EXPECT_EQ(Run(*reader), PROCESS_STOP);
    EXPECT_TRUE(reader->Dispatched.empty());
    EXPECT_EQ(Capture.LinesWith("Record 5, where reading stopped before the restart, is no longer in the Security "
                                "event log; starting at its end").size(),
              1u);

    // The log was empty: everything in it now is new. A stop in the middle of record 2 leaves
    // the place before it, and record 3 for the next start.
    kept = READ_POSITION{0, 0};
    reader = start();
    reader->WhileHandling = [&](uint32_t number) {
        if (number == 2) Stop.Set();
    };
    ThenRead(0, Concatenate({at(1, now - 3), at(2, now - 2), at(3, now - 1)}));
    EXPECT_EQ(Run(*reader), PROCESS_STOP);
    ASSERT_EQ(reader->Dispatched.size(), 2u);
    EXPECT_EQ(Capture.LinesWith("was empty when reading stopped; reading it from its start").size(), 1u);
    EXPECT_EQ(Capture.LinesWith("Stopped while catching up, Records: Count = 2, First = 1, Last = 2").size(), 1u);
    EXPECT_EQ(saved.back(), (READ_POSITION{1, now - 3}));
}

TEST_F(EventLogReaderTest, MissingCountsAreLoggedAsZeroAndProcessingGoesOn) {
    auto reader = MakeReader();
    Trace->CountError = ERR_ACCESS_DENIED;
    Trace->OldestError = ERR_INVALID_HANDLE;
    ThenRead(ERR_HANDLE_EOF);
    ThenWait(STOPPED);
    EXPECT_EQ(Run(*reader), PROCESS_STOP);
    EXPECT_EQ(Capture.LinesWith("Unable to get event record count.").size(), 1u);
    EXPECT_EQ(Capture.LinesWith("Error code = 5.").size(), 1u);
    EXPECT_EQ(Capture.LinesWith("Unable to get oldest event record number.").size(), 1u);
    EXPECT_EQ(Capture.LinesWith("Error code = 6.").size(), 1u);
}

TEST_F(EventLogReaderTest, InvalidParameterIsQuietOnlyForSeekReads) {
    auto reader = MakeReader();
    BYTE_BUFFER buffer;
    ASSERT_TRUE(buffer.Resize(RECORD_BUFFER_SIZE));
    uint32_t bytesRead = 7;
    ThenRead(ERR_INVALID_PARAMETER);
    EXPECT_EQ(reader->Read(EVENTLOG_READ_SEEK | EVENTLOG_READ_FORWARDS, buffer, bytesRead), ERR_INVALID_PARAMETER);
    EXPECT_EQ(bytesRead, 0u);
    EXPECT_TRUE(Capture.LinesWith("Unable to read").empty());
    ThenRead(ERR_INVALID_PARAMETER);
    EXPECT_EQ(reader->Read(EVENTLOG_READ_SEQUENTIAL | EVENTLOG_READ_FORWARDS, buffer, bytesRead), ERR_INVALID_PARAMETER);
    EXPECT_EQ(Capture.LinesWith("Unable to read the Security event log.").size(), 1u);
}

TEST_F(EventLogReaderTest, StopWhileTheLogCannotBeOpenedEndsWithinOneWait) {
    auto reader = std::make_unique<OBSERVED_EVENT_LOG>(EVENT_LOG_CONTEXT{Switches}, std::make_unique<FAKE_EVENT_LOG>(Trace));
    Trace->OpenResults.assign({ERR_ACCESS_DENIED, ERR_ACCESS_DENIED, ERR_ACCESS_DENIED});
    Trace->BeforeWait = [&](uint32_t) { Stop.Set(); };

    EXPECT_FALSE(reader->Open(u"Security", Stop));
    EXPECT_EQ(Trace->Opens, 1u);
    EXPECT_EQ(Trace->WaitTimeouts, (std::vector<uint32_t>{60000}));
    EXPECT_EQ(Capture.LinesWith("Opening Security event log ...").size(), 1u);
    const auto lines = Capture.LinesWith("Uable to open the \"Security\" event log.");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("Error code = 5."), std::string::npos);
}

TEST_F(EventLogReaderTest, OpenRetriesUntilTheLogOpens) {
    EVENT_LOG_TIMING timing;
    timing.OpenRetryMs = 5;
    auto reader = std::make_unique<OBSERVED_EVENT_LOG>(EVENT_LOG_CONTEXT{Switches}, std::make_unique<FAKE_EVENT_LOG>(Trace), timing);
    Trace->OpenResults.assign({ERR_ACCESS_DENIED, ERR_ACCESS_DENIED});

    EXPECT_TRUE(reader->Open(u"Security", Stop));
    EXPECT_EQ(Trace->Opens, 3u);
    EXPECT_EQ(Trace->WaitTimeouts, (std::vector<uint32_t>{5, 5}));
    EXPECT_EQ(Capture.LinesWith("Opening Security event log ...").size(), 3u);
    EXPECT_EQ(reader->LogName(), u"Security");
    EXPECT_TRUE(reader->Close());
    EXPECT_EQ(Trace->Closes, 1u);
}

}  // namespace
}  // namespace qv::test
