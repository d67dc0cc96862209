// The system event log as the reader sees it. On POSIX that is our own store, tested in a
// fresh data root per test with real files, other threads and other processes; under Wine
// the Windows API is a stub, so only opening and an empty read can be checked there.
//
// Waits for something that must happen use long time-outs; checks that something does NOT
// happen wait briefly, so a slow machine can only make them pass, never fail wrongly.
#include "platform/event_log.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/error_codes.h"
#include "platform/event_log_record.h"
#include "platform/wait.h"

#if !defined(_WIN32)
#include <dirent.h>
#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <thread>

#include "platform/posix/event_log_store.h"
#include "tests/platform/temp_data_root.h"
#endif

namespace qv {
namespace {

constexpr uint32_t SURELY_MS = 30000;
constexpr uint32_t BRIEFLY_MS = 300;
constexpr uint32_t READ_FORWARDS = EVENTLOG_READ_SEQUENTIAL | EVENTLOG_READ_FORWARDS;
constexpr uint32_t READ_BACKWARDS = EVENTLOG_READ_SEQUENTIAL | EVENTLOG_READ_BACKWARDS;

// One read: the error code and the record numbers delivered, in buffer order.
struct READ_RESULT {
    uint32_t Code = 0;
    uint32_t BytesRead = 0;
    uint32_t BytesNeeded = 0;
    std::vector<uint32_t> Numbers;
};

READ_RESULT ReadOnce(EVENT_LOG_API& log, uint32_t flags, uint32_t size = 65536, uint32_t recordOffset = 0) {
    READ_RESULT result;
    std::vector<uint8_t> buffer(size == 0 ? 1 : size);
    result.Code = log.Read(flags, recordOffset, buffer.data(), size, result.BytesRead, result.BytesNeeded);
    for (uint32_t at = 0; at < result.BytesRead;) {
        // Every record delivered is whole and well formed.
        EXPECT_TRUE(IsWellFormedEventLogRecord(buffer.data() + at, result.BytesRead - at)) << "at " << at;
        if (!IsWellFormedEventLogRecord(buffer.data() + at, result.BytesRead - at)) break;
        result.Numbers.push_back(GetRecordUInt32(buffer.data() + at, record_offset::RecordNumber));
        at += GetRecordUInt32(buffer.data() + at, record_offset::Length);
    }
    return result;
}

#if defined(_WIN32)

// Wine's event log keeps nothing, so the Windows half can only show that it opens the log and
// reads as an empty one.
TEST(EventLogTest, TheSystemLogOpensAndReads) {
    std::unique_ptr<EVENT_LOG_API> log = CreateSystemEventLog();
    ASSERT_NE(log, nullptr);
    ASSERT_EQ(log->Open(u"Security"), ERR_SUCCESS);
    EXPECT_TRUE(log->IsOpen());
    const READ_RESULT result = ReadOnce(*log, READ_BACKWARDS);
    EXPECT_TRUE(result.Code == ERR_HANDLE_EOF || result.Code == ERR_SUCCESS) << result.Code;
    EXPECT_EQ(log->Close(), ERR_SUCCESS);
    EXPECT_FALSE(log->IsOpen());
    EXPECT_EQ(log->Close(), ERR_SUCCESS);
}

#else

std::vector<uint32_t> Range(uint32_t first, uint32_t last) {
    std::vector<uint32_t> numbers;
    if (first <= last) {
        for (uint32_t n = first; n <= last; ++n) numbers.push_back(n);
    } else {
        for (uint32_t n = first; n >= last; --n) numbers.push_back(n);
    }
    return numbers;
}

NEW_EVENT_RECORD SampleRecord(uint32_t eventId, size_t dataSize = 0) {
    NEW_EVENT_RECORD record;
    record.EventID = eventId;
    record.EventType = 8;
    record.TimeGenerated = 1700000000;
    record.TimeWritten = 1700000001;
    record.SourceName = u"Microsoft-Windows-Security-Auditing";
    record.ComputerName = u"DC1.corp.example.test";
    record.Strings = {u"S-1-0-0", u"-", u"alice", u"CORP"};
    record.Data.assign(dataSize, 0x5A);
    return record;
}

// The descriptors this process has open (the listing's own included, the same each time).
size_t OpenDescriptorCount() {
    size_t count = 0;
    if (DIR* folder = opendir("/proc/self/fd")) {
        while (readdir(folder) != nullptr) ++count;
        closedir(folder);
    }
    return count;
}

class EventLogStoreTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(Root.IsValid());
        ASSERT_EQ(Writer.Open(u"Security"), ERR_SUCCESS);
        Log = CreateSystemEventLog();
        ASSERT_NE(Log, nullptr);
    }

    // Appends records with the given event IDs; their numbers come back.
    std::vector<uint32_t> Append(uint32_t count, size_t dataSize = 0) {
        std::vector<uint32_t> numbers;
        for (uint32_t i = 0; i < count; ++i) {
            uint32_t number = 0;
            EXPECT_EQ(Writer.Append(SampleRecord(4624 + i, dataSize), &number), ERR_SUCCESS);
            numbers.push_back(number);
        }
        return numbers;
    }

    std::string DataFile() const { return Root.Path() + "/eventlog/Security/records"; }

    test::TEMP_DATA_ROOT Root;
    EVENT_LOG_WRITER Writer;
    std::unique_ptr<EVENT_LOG_API> Log;
};

TEST_F(EventLogStoreTest, AnEmptyLogIsAtItsEndBothWays) {
    ASSERT_EQ(Log->Open(u"Security"), ERR_SUCCESS);
    EXPECT_EQ(ReadOnce(*Log, READ_BACKWARDS).Code, ERR_HANDLE_EOF);
    EXPECT_EQ(ReadOnce(*Log, READ_FORWARDS).Code, ERR_HANDLE_EOF);
    uint32_t count = 99;
    uint32_t oldest = 99;
    EXPECT_EQ(Log->NumberOfRecords(count), ERR_SUCCESS);
    EXPECT_EQ(Log->OldestRecord(oldest), ERR_SUCCESS);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(oldest, 0u);
    // The first record written after that is the first one read.
    Append(1);
    EXPECT_EQ(ReadOnce(*Log, READ_FORWARDS).Numbers, Range(1, 1));
}

TEST_F(EventLogStoreTest, OpeningAMissingLogMakesItEmpty) {
    ASSERT_EQ(Log->Open(u"Application"), ERR_SUCCESS);
    EXPECT_EQ(ReadOnce(*Log, READ_FORWARDS).Code, ERR_HANDLE_EOF);
    struct stat info {};
    EXPECT_EQ(stat((Root.Path() + "/eventlog/Application/records").c_str(), &info), 0);
    EXPECT_EQ(Log->Open(u"../registry"), ERR_INVALID_NAME);
    EXPECT_EQ(Log->Open(u"a/b"), ERR_INVALID_NAME);
    EXPECT_EQ(Log->Open(u""), ERR_INVALID_NAME);
    EXPECT_FALSE(Log->IsOpen());
}

TEST_F(EventLogStoreTest, AMissingDataRootIsMade) {
    const std::string deeper = Root.Path() + "/not/yet";
    ASSERT_EQ(setenv("QUORVANE_DATA_ROOT", deeper.c_str(), 1), 0);
    EXPECT_EQ(Log->Open(u"Security"), ERR_SUCCESS);
    struct stat info {};
    ASSERT_EQ(stat((deeper + "/eventlog/Security").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0750u);
    ASSERT_EQ(setenv("QUORVANE_DATA_ROOT", Root.Path().c_str(), 1), 0);
}

TEST_F(EventLogStoreTest, CountAndOldestFollowTheLog) {
    Append(5);
    ASSERT_EQ(Log->Open(u"Security"), ERR_SUCCESS);
    uint32_t count = 0;
    uint32_t oldest = 0;
    EXPECT_EQ(Log->NumberOfRecords(count), ERR_SUCCESS);
    EXPECT_EQ(Log->OldestRecord(oldest), ERR_SUCCESS);
    EXPECT_EQ(count, 5u);
    EXPECT_EQ(oldest, 1u);
}

// What positioning at the end does: the newest records backwards, then forwards from there to
// the end; after that only new records come.
TEST_F(EventLogStoreTest, BackwardsThenForwardsReachesTheEnd) {
    Append(5);
    ASSERT_EQ(Log->Open(u"Security"), ERR_SUCCESS);
    const READ_RESULT backwards = ReadOnce(*Log, READ_BACKWARDS);
    EXPECT_EQ(backwards.Code, ERR_SUCCESS);
    EXPECT_EQ(backwards.Numbers, Range(5, 1));
    // The position is the last record delivered (1); forwards goes on after it.
    EXPECT_EQ(ReadOnce(*Log, READ_FORWARDS).Numbers, Range(2, 5));
    EXPECT_EQ(ReadOnce(*Log, READ_FORWARDS).Code, ERR_HANDLE_EOF);
    Append(2);
    EXPECT_EQ(ReadOnce(*Log, READ_FORWARDS).Numbers, Range(6, 7));
    EXPECT_EQ(ReadOnce(*Log, READ_FORWARDS).Code, ERR_HANDLE_EOF);
    // And back again from there.
    EXPECT_EQ(ReadOnce(*Log, READ_BACKWARDS).Numbers, Range(6, 1));
}

// A log bigger than the reader's buffer: one backwards and one forwards read with the same
// buffer still leave the handle at the end, so nothing old is taken for new.
TEST_F(EventLogStoreTest, OneReadEachWayPositionsABigLogAtItsEnd) {
    Append(200, 1000);
    ASSERT_EQ(Log->Open(u"Security"), ERR_SUCCESS);
    const READ_RESULT backwards = ReadOnce(*Log, READ_BACKWARDS, 65536);
    ASSERT_EQ(backwards.Code, ERR_SUCCESS);
    ASSERT_GT(backwards.Numbers.size(), 1u);
    EXPECT_EQ(backwards.Numbers, Range(200, backwards.Numbers.back()));
    const READ_RESULT forwards = ReadOnce(*Log, READ_FORWARDS, 65536);
    EXPECT_EQ(forwards.Numbers, Range(backwards.Numbers.back() + 1, 200));
    EXPECT_EQ(ReadOnce(*Log, READ_FORWARDS, 65536).Code, ERR_HANDLE_EOF);
    Append(1);
    EXPECT_EQ(ReadOnce(*Log, READ_FORWARDS, 65536).Numbers, Range(201, 201));
}

TEST_F(EventLogStoreTest, ASmallBufferGetsWholeRecordsOnly) {
    Append(6);
    const uint32_t length = static_cast<uint32_t>(BuildEventLogRecord(SampleRecord(4624), 1).size());
    ASSERT_EQ(Log->Open(u"Security"), ERR_SUCCESS);
    // Two and a half records' room: two records, never a part of the third.
    const uint32_t room = length * 2 + length / 2;
    READ_RESULT first = ReadOnce(*Log, READ_BACKWARDS, room);
    EXPECT_EQ(first.Numbers, Range(6, 5));
    EXPECT_EQ(first.BytesRead, length * 2);
    EXPECT_EQ(ReadOnce(*Log, READ_FORWARDS, room).Numbers, Range(6, 6));
    EXPECT_EQ(ReadOnce(*Log, READ_FORWARDS, room).Code, ERR_HANDLE_EOF);
    EXPECT_EQ(ReadOnce(*Log, READ_BACKWARDS, room).Numbers, Range(5, 4));
    EXPECT_EQ(ReadOnce(*Log, READ_BACKWARDS, room).Numbers, Range(3, 2));
    EXPECT_EQ(ReadOnce(*Log, READ_BACKWARDS, room).Numbers, Range(1, 1));
    EXPECT_EQ(ReadOnce(*Log, READ_BACKWARDS, room).Code, ERR_HANDLE_EOF);
}

TEST_F(EventLogStoreTest, ARecordBiggerThanTheBufferReportsItsSize) {
    Append(1);
    Append(1, 70000);
    ASSERT_EQ(Log->Open(u"Security"), ERR_SUCCESS);
    EXPECT_EQ(ReadOnce(*Log, READ_FORWARDS).Numbers, Range(1, 1));
    const READ_RESULT tooSmall = ReadOnce(*Log, READ_FORWARDS, 65536);
    EXPECT_EQ(tooSmall.Code, ERR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(tooSmall.BytesRead, 0u);
    EXPECT_GT(tooSmall.BytesNeeded, 70000u);
    EXPECT_EQ(tooSmall.BytesNeeded % 4, 0u);
    // The failed read moved nothing: the same record comes with the size asked for.
    const READ_RESULT grown = ReadOnce(*Log, READ_FORWARDS, tooSmall.BytesNeeded);
    EXPECT_EQ(grown.Code, ERR_SUCCESS);
    EXPECT_EQ(grown.Numbers, Range(2, 2));
    EXPECT_EQ(grown.BytesRead, tooSmall.BytesNeeded);
}

TEST_F(EventLogStoreTest, ASeekReadNeedsARecordThatExists) {
    Append(4);
    ASSERT_EQ(Log->Open(u"Security"), ERR_SUCCESS);
    EXPECT_EQ(ReadOnce(*Log, EVENTLOG_READ_SEEK | EVENTLOG_READ_FORWARDS, 65536, 3).Numbers, Range(3, 4));
    EXPECT_EQ(ReadOnce(*Log, EVENTLOG_READ_SEEK | EVENTLOG_READ_BACKWARDS, 65536, 2).Numbers, Range(2, 1));
    EXPECT_EQ(ReadOnce(*Log, EVENTLOG_READ_SEEK | EVENTLOG_READ_FORWARDS, 65536, 9).Code, ERR_INVALID_PARAMETER);
    EXPECT_EQ(ReadOnce(*Log, EVENTLOG_READ_SEEK | EVENTLOG_READ_FORWARDS, 65536, 0).Code, ERR_INVALID_PARAMETER);
    // Both directions, or neither, is no read at all.
    EXPECT_EQ(ReadOnce(*Log, EVENTLOG_READ_SEQUENTIAL).Code, ERR_INVALID_PARAMETER);
    EXPECT_EQ(ReadOnce(*Log, READ_FORWARDS | EVENTLOG_READ_BACKWARDS).Code, ERR_INVALID_PARAMETER);
}

TEST_F(EventLogStoreTest, AReaderSeesRecordsAppendedAfterItOpened) {
    ASSERT_EQ(Log->Open(u"Security"), ERR_SUCCESS);
    EXPECT_EQ(ReadOnce(*Log, READ_BACKWARDS).Code, ERR_HANDLE_EOF);
    Append(3);
    EXPECT_EQ(ReadOnce(*Log, READ_FORWARDS).Numbers, Range(1, 3));
    // A writer in another process is no different.
    const pid_t child = test::StartChild([] {
        EVENT_LOG_WRITER writer;
        if (writer.Open(u"Security") != ERR_SUCCESS) return 1;
        return writer.Append(SampleRecord(4634)) == ERR_SUCCESS ? 0 : 2;
    });
    ASSERT_EQ(test::WaitChild(child), 0);
    EXPECT_EQ(ReadOnce(*Log, READ_FORWARDS).Numbers, Range(4, 4));
}

TEST_F(EventLogStoreTest, TheChangeEventIsSetOnEveryAppend) {
    ASSERT_EQ(Log->Open(u"Security"), ERR_SUCCESS);
    EVENT changed;
    ASSERT_TRUE(changed.Create(true));
    ASSERT_EQ(Log->NotifyChange(changed), ERR_SUCCESS);
    EXPECT_EQ(WaitForOne(changed, BRIEFLY_MS), WAIT_TIMED_OUT);
    // Registered once, it fires for every append, including one by another process.
    for (int round = 0; round < 3; ++round) {
        ASSERT_TRUE(changed.Reset());
        Append(1);
        EXPECT_EQ(WaitForOne(changed, SURELY_MS), 0u) << "round " << round;
    }
    ASSERT_TRUE(changed.Reset());
    const pid_t child = test::StartChild([] {
        EVENT_LOG_WRITER writer;
        return writer.Open(u"Security") == ERR_SUCCESS && writer.Append(SampleRecord(4634)) == ERR_SUCCESS ? 0 : 1;
    });
    ASSERT_EQ(test::WaitChild(child), 0);
    EXPECT_EQ(WaitForOne(changed, SURELY_MS), 0u);
    // Closing ends the watch (its thread is gone once Close returns) without touching the
    // caller's event.
    EXPECT_EQ(Log->Close(), ERR_SUCCESS);
    ASSERT_TRUE(changed.Reset());
    Append(1);
    EXPECT_EQ(WaitForOne(changed, BRIEFLY_MS), WAIT_TIMED_OUT);
}

// The reader registers again, with a fresh event, for each pass over the log, without
// reopening: the handle keeps the latest registration only, so descriptors do not pile up
// however long the handle stays open, and the latest event is the one that is set.
TEST_F(EventLogStoreTest, ALaterRegistrationTakesThePlaceOfTheEarlierOne) {
    ASSERT_EQ(Log->Open(u"Security"), ERR_SUCCESS);
    EVENT first;
    ASSERT_TRUE(first.Create(true));
    ASSERT_EQ(Log->NotifyChange(first), ERR_SUCCESS);
    const size_t descriptors = OpenDescriptorCount();
    for (int pass = 0; pass < 50; ++pass) {
        EVENT passEvent;
        ASSERT_TRUE(passEvent.Create(true));
        ASSERT_EQ(Log->NotifyChange(passEvent), ERR_SUCCESS);
    }
    EXPECT_EQ(OpenDescriptorCount(), descriptors);

    EVENT last;
    ASSERT_TRUE(last.Create(false));
    ASSERT_EQ(Log->NotifyChange(last), ERR_SUCCESS);
    ASSERT_EQ(Writer.Clear(), ERR_SUCCESS);
    EXPECT_EQ(WaitForOne(last, SURELY_MS), 0u);
    EXPECT_EQ(WaitForOne(first, BRIEFLY_MS), WAIT_TIMED_OUT);
    EVENT never;
    EXPECT_EQ(Log->NotifyChange(never), ERR_INVALID_HANDLE);
}

TEST_F(EventLogStoreTest, AClearedLogReportsFileChangedUntilReopened) {
    Append(3);
    ASSERT_EQ(Log->Open(u"Security"), ERR_SUCCESS);
    EXPECT_EQ(ReadOnce(*Log, READ_BACKWARDS).Numbers, Range(3, 1));
    ASSERT_EQ(Writer.Clear(), ERR_SUCCESS);
    Append(1);
    EXPECT_EQ(ReadOnce(*Log, READ_FORWARDS).Code, ERR_EVENTLOG_FILE_CHANGED);
    EXPECT_EQ(ReadOnce(*Log, READ_BACKWARDS).Code, ERR_EVENTLOG_FILE_CHANGED);
    ASSERT_EQ(Log->Open(u"Security"), ERR_SUCCESS);
    // Numbering starts again after a clear.
    EXPECT_EQ(ReadOnce(*Log, READ_BACKWARDS).Numbers, Range(1, 1));
    EXPECT_EQ(ReadOnce(*Log, READ_FORWARDS).Code, ERR_HANDLE_EOF);
}

TEST_F(EventLogStoreTest, DroppingTheOldestRecordsIsNoClear) {
    Append(10);
    const uint32_t length = static_cast<uint32_t>(BuildEventLogRecord(SampleRecord(4624), 1).size());
    ASSERT_EQ(Log->Open(u"Security"), ERR_SUCCESS);
    EXPECT_EQ(ReadOnce(*Log, READ_FORWARDS, length * 3).Numbers, Range(1, 3));
    // Room for four records: 1 to 6 go, the reader goes on with what is left.
    ASSERT_EQ(Writer.SetMaximumSize(length * 4), ERR_SUCCESS);
    EVENT_LOG_INFO info;
    ASSERT_EQ(Writer.Info(info), ERR_SUCCESS);
    EXPECT_EQ(info.Count, 4u);
    EXPECT_EQ(info.OldestRecord, 7u);
    EXPECT_EQ(ReadOnce(*Log, READ_FORWARDS).Numbers, Range(7, 10));
    // Appending keeps the log within its size.
    Append(2);
    EXPECT_EQ(ReadOnce(*Log, READ_FORWARDS).Numbers, Range(11, 12));
    uint32_t oldest = 0;
    EXPECT_EQ(Log->OldestRecord(oldest), ERR_SUCCESS);
    EXPECT_EQ(oldest, 9u);
    // The newest record stays even when it alone is bigger than the maximum.
    ASSERT_EQ(Writer.SetMaximumSize(1), ERR_SUCCESS);
    ASSERT_EQ(Writer.Info(info), ERR_SUCCESS);
    EXPECT_EQ(info.Count, 1u);
    EXPECT_EQ(info.OldestRecord, 12u);
    // Nothing older than the reader's position is left.
    EXPECT_EQ(ReadOnce(*Log, READ_BACKWARDS).Code, ERR_HANDLE_EOF);
    EXPECT_EQ(ReadOnce(*Log, EVENTLOG_READ_SEEK | EVENTLOG_READ_BACKWARDS, 65536, 12).Numbers, Range(12, 12));
}

// A log at its size for a long time: the file stays bounded (its dropped space is given back
// now and then) and a reader that keeps up misses nothing across those rewrites.
TEST_F(EventLogStoreTest, ALogAtItsSizeKeepsItsReadersGoing) {
    constexpr uint64_t MAXIMUM = 100000;
    ASSERT_EQ(Writer.SetMaximumSize(MAXIMUM), ERR_SUCCESS);
    ASSERT_EQ(Log->Open(u"Security"), ERR_SUCCESS);
    std::vector<uint32_t> seen;
    for (int round = 0; round < 40; ++round) {
        Append(5, 3000);
        for (READ_RESULT r; (r = ReadOnce(*Log, READ_FORWARDS, 8192)).Code == ERR_SUCCESS;) {
            seen.insert(seen.end(), r.Numbers.begin(), r.Numbers.end());
        }
        struct stat info {};
        ASSERT_EQ(stat(DataFile().c_str(), &info), 0);
        EXPECT_LT(static_cast<uint64_t>(info.st_size), MAXIMUM * 2) << "round " << round;
    }
    EXPECT_EQ(seen, Range(1, 200));
    EVENT_LOG_INFO info;
    ASSERT_EQ(Writer.Info(info), ERR_SUCCESS);
    EXPECT_LE(info.Bytes, MAXIMUM);
    EXPECT_EQ(info.NextRecord - info.OldestRecord, info.Count);
    // A reader opened now finds exactly the records that are left, newest first.
    std::unique_ptr<EVENT_LOG_API> late = CreateSystemEventLog();
    ASSERT_EQ(late->Open(u"Security"), ERR_SUCCESS);
    std::vector<uint32_t> left;
    for (READ_RESULT r; (r = ReadOnce(*late, READ_BACKWARDS)).Code == ERR_SUCCESS;) {
        left.insert(left.end(), r.Numbers.begin(), r.Numbers.end());
    }
    EXPECT_EQ(left, Range(200, info.OldestRecord));
}

TEST_F(EventLogStoreTest, ImportedNumbersAreKeptOnlyWhenHigher) {
    std::vector<NEW_EVENT_RECORD> records = {SampleRecord(4624), SampleRecord(4634)};
    const uint32_t wanted[] = {500, 501};
    std::vector<uint32_t> assigned;
    ASSERT_EQ(Writer.Append(records, wanted, &assigned), ERR_SUCCESS);
    EXPECT_EQ(assigned, (std::vector<uint32_t>{500, 501}));
    ASSERT_EQ(Writer.Append(records, wanted, &assigned), ERR_SUCCESS);
    EXPECT_EQ(assigned, (std::vector<uint32_t>{502, 503}));
    ASSERT_EQ(Log->Open(u"Security"), ERR_SUCCESS);
    EXPECT_EQ(ReadOnce(*Log, READ_FORWARDS).Numbers, Range(500, 503));
    uint32_t oldest = 0;
    EXPECT_EQ(Log->OldestRecord(oldest), ERR_SUCCESS);
    EXPECT_EQ(oldest, 500u);
}

// A writer process appending as fast as it can while this one reads: every record arrives
// whole, once, in order.
TEST_F(EventLogStoreTest, AConcurrentWriterIsNeverSeenHalfWay) {
    constexpr uint32_t RECORDS = 300;
    ASSERT_EQ(Log->Open(u"Security"), ERR_SUCCESS);
    const pid_t child = test::StartChild([] {
        EVENT_LOG_WRITER writer;
        if (writer.Open(u"Security") != ERR_SUCCESS) return 1;
        for (uint32_t i = 0; i < RECORDS; ++i) {
            // Sizes vary so records straddle every buffer boundary.
            if (writer.Append(SampleRecord(i, (i * 37) % 900)) != ERR_SUCCESS) return 2;
        }
        return 0;
    });
    std::vector<uint32_t> seen;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (seen.size() < RECORDS && std::chrono::steady_clock::now() < deadline) {
        const READ_RESULT result = ReadOnce(*Log, READ_FORWARDS, 4096);
        if (result.Code == ERR_HANDLE_EOF) {
            std::this_thread::yield();
            continue;
        }
        ASSERT_EQ(result.Code, ERR_SUCCESS);
        seen.insert(seen.end(), result.Numbers.begin(), result.Numbers.end());
    }
    EXPECT_EQ(test::WaitChild(child), 0);
    EXPECT_EQ(seen, Range(1, RECORDS));
}

TEST_F(EventLogStoreTest, TwoWritersLoseNothing) {
    constexpr uint32_t EACH = 100;
    std::thread other([] {
        EVENT_LOG_WRITER writer;
        ASSERT_EQ(writer.Open(u"Security"), ERR_SUCCESS);
        for (uint32_t i = 0; i < EACH; ++i) EXPECT_EQ(writer.Append(SampleRecord(1)), ERR_SUCCESS);
    });
    for (uint32_t i = 0; i < EACH; ++i) EXPECT_EQ(Writer.Append(SampleRecord(2)), ERR_SUCCESS);
    other.join();
    ASSERT_EQ(Log->Open(u"Security"), ERR_SUCCESS);
    std::vector<uint32_t> seen;
    for (READ_RESULT r; (r = ReadOnce(*Log, READ_FORWARDS)).Code == ERR_SUCCESS;) {
        seen.insert(seen.end(), r.Numbers.begin(), r.Numbers.end());
    }
    EXPECT_EQ(seen, Range(1, 2 * EACH));
}

TEST_F(EventLogStoreTest, AnAccountThatCannotReadTheLogIsRefused) {
    Append(1);
    auto check = [] {
        std::unique_ptr<EVENT_LOG_API> log = CreateSystemEventLog();
        return log->Open(u"Security") == ERR_ACCESS_DENIED ? 0 : 1;
    };
    if (geteuid() == 0) {
        // Root may read anything, so the check runs as an ordinary account.
        ASSERT_EQ(chmod(Root.Path().c_str(), 0755), 0);
        const pid_t child = test::StartChild([&] {
            if (setgid(65534) != 0 || setuid(65534) != 0) return 10;
            return check();
        });
        EXPECT_EQ(test::WaitChild(child), 0);
    } else {
        ASSERT_EQ(chmod(DataFile().c_str(), 0), 0);
        EXPECT_EQ(check(), 0);
    }
}

// Root writes the Security log too (qvevt), in folders of the service's account: a link or a
// second name planted in place of the data file is never written through, and what it leads to
// stays as it was.
TEST_F(EventLogStoreTest, WhatIsPlantedInPlaceOfTheLogIsNeverWritten) {
    Append(1);
    const std::string target = Root.Path() + "/target";
    {
        std::ofstream out(target, std::ios::binary);
        out << "precious";
    }
    const std::string moved = Root.Path() + "/records.moved";
    ASSERT_EQ(rename(DataFile().c_str(), moved.c_str()), 0);
    for (const bool hardLink : {false, true}) {
        ASSERT_EQ(hardLink ? link(target.c_str(), DataFile().c_str()) : symlink(target.c_str(), DataFile().c_str()), 0);
        uint32_t number = 0;
        EXPECT_EQ(Writer.Append(SampleRecord(4624), &number), hardLink ? ERR_FILE_HAS_LINKS : ERR_STOPPED_ON_SYMLINK);
        EVENT_LOG_WRITER another;
        EXPECT_EQ(another.Open(u"Security"), hardLink ? ERR_FILE_HAS_LINKS : ERR_STOPPED_ON_SYMLINK);
        ASSERT_EQ(unlink(DataFile().c_str()), 0);
    }
    std::ifstream in(target, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()), "precious");
}

TEST_F(EventLogStoreTest, ADamagedLogIsReportedNotMisread) {
    Append(2);
    // A record's signature overwritten behind the store's back.
    FILE* file = fopen(DataFile().c_str(), "r+b");
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(fseek(file, 64 + 4, SEEK_SET), 0);
    ASSERT_EQ(fwrite("XXXX", 1, 4, file), 4u);
    fclose(file);
    ASSERT_EQ(Log->Open(u"Security"), ERR_SUCCESS);
    EXPECT_EQ(ReadOnce(*Log, READ_FORWARDS).Code, ERR_EVENTLOG_FILE_CORRUPT);
}

#endif

}  // namespace
}  // namespace qv
