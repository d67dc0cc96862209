// Threads, thread and process ids, sleeping, and the per-thread last-error value.
#include "platform/thread.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>
#include <vector>

#include "base/error_codes.h"
#include "platform/last_error.h"
#include "platform/wait.h"

namespace qv {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

int64_t ElapsedMs(steady_clock::time_point start) {
    return std::chrono::duration_cast<milliseconds>(steady_clock::now() - start).count();
}

struct REPORT {
    std::atomic<uint32_t> ThreadId{0};
    std::atomic<int> Calls{0};
    uint32_t ExitCode = 0;
};

uint32_t ReportAndReturn(void* argument) {
    auto* report = static_cast<REPORT*>(argument);
    report->ThreadId.store(CurrentThreadId());
    report->Calls.fetch_add(1);
    return report->ExitCode;
}

// Waits for 'Go', then records that it finished and sets 'Done'.
struct GATED {
    EVENT Go;
    EVENT Done;
    std::atomic<bool> Finished{false};
    uint32_t ExitCode = 7;
};

uint32_t GatedProcedure(void* argument) {
    auto* gated = static_cast<GATED*>(argument);
    if (WaitForOne(gated->Go, WAIT_INFINITE) != 0) return 1000;
    // Nothing of 'gated' may be touched after Done is set: the test may be gone by then.
    const uint32_t exitCode = gated->ExitCode;
    gated->Finished.store(true);
    gated->Done.Set();
    return exitCode;
}

void CreateGate(GATED& gated) {
    ASSERT_TRUE(gated.Go.Create(true));
    ASSERT_TRUE(gated.Done.Create(true));
}

TEST(ThreadTest, RunsTheProcedureAndReportsItsExitCode) {
    REPORT report;
    report.ExitCode = 42;
    THREAD thread;
    ASSERT_TRUE(thread.Start(ReportAndReturn, &report));
    EXPECT_TRUE(thread.IsValid());
    EXPECT_FALSE(thread.ConsumedByWait());
    ASSERT_EQ(WaitForOne(thread, 10000), 0u);
    EXPECT_EQ(WaitForOne(thread, 0), 0u) << "an ended thread stays signalled";
    uint32_t exitCode = 0;
    EXPECT_TRUE(thread.HasEnded(&exitCode));
    EXPECT_EQ(exitCode, 42u);
    EXPECT_TRUE(thread.HasEnded());
    EXPECT_EQ(report.Calls.load(), 1);
}

TEST(ThreadTest, IdMatchesTheThreadsOwnIdAndDiffersFromOurs) {
    REPORT report;
    THREAD thread;
    ASSERT_TRUE(thread.Start(ReportAndReturn, &report));
    const uint32_t id = thread.Id();  // known as soon as Start returns
    ASSERT_EQ(WaitForOne(thread, 10000), 0u);
    EXPECT_NE(id, 0u);
    EXPECT_EQ(id, report.ThreadId.load());
    EXPECT_NE(id, CurrentThreadId());
    EXPECT_EQ(CurrentThreadId(), CurrentThreadId());
    EXPECT_NE(CurrentProcessId(), 0u);
}

TEST(ThreadTest, ExitCodesSpanTheFullRange) {
    for (const uint32_t code : {0u, 259u, 0x7FFFFFFFu, 0xFFFFFFFEu}) {
        REPORT report;
        report.ExitCode = code;
        THREAD thread;
        ASSERT_TRUE(thread.Start(ReportAndReturn, &report));
        ASSERT_EQ(WaitForOne(thread, 10000), 0u);
        uint32_t exitCode = 1;
        EXPECT_TRUE(thread.HasEnded(&exitCode));
        EXPECT_EQ(exitCode, code);
    }
}

TEST(ThreadTest, HasEndedIsFalseWhileRunning) {
    GATED gated;
    CreateGate(gated);
    THREAD thread;
    ASSERT_TRUE(thread.Start(GatedProcedure, &gated));
    uint32_t exitCode = 12345;
    EXPECT_FALSE(thread.HasEnded(&exitCode));
    EXPECT_EQ(exitCode, 12345u);
    EXPECT_EQ(WaitForOne(thread, 50), WAIT_TIMED_OUT);

    ASSERT_TRUE(gated.Go.Set());
    ASSERT_EQ(WaitForOne(thread, 10000), 0u);
    EXPECT_TRUE(thread.HasEnded(&exitCode));
    EXPECT_EQ(exitCode, 7u);
    EXPECT_TRUE(gated.Finished.load());
}

TEST(ThreadTest, TerminateOfABlockedThread) {
    GATED gated;
    CreateGate(gated);
    THREAD thread;
    ASSERT_TRUE(thread.Start(GatedProcedure, &gated));
    ASSERT_TRUE(thread.Terminate(99));
#if defined(_WIN32)
    // Windows ends the thread with the given code; it never reaches the end of its procedure.
    ASSERT_EQ(WaitForOne(thread, 10000), 0u);
    uint32_t exitCode = 0;
    EXPECT_TRUE(thread.HasEnded(&exitCode));
    EXPECT_EQ(exitCode, 99u);
    ASSERT_TRUE(gated.Go.Set());
    EXPECT_EQ(WaitForOne(gated.Done, 100), WAIT_TIMED_OUT);
    EXPECT_FALSE(gated.Finished.load());
#else
    // POSIX abandons the thread: our handle is gone, the thread keeps running and, once
    // released, finishes normally and frees its own state (the leak checker would notice
    // otherwise).
    EXPECT_FALSE(thread.IsValid());
    EXPECT_EQ(thread.Id(), 0u);
    SetLastErrorCode(ERR_SUCCESS);
    EXPECT_FALSE(thread.HasEnded());
    EXPECT_EQ(GetLastErrorCode(), ERR_INVALID_HANDLE);
    EXPECT_FALSE(gated.Finished.load());
    ASSERT_TRUE(gated.Go.Set());
    EXPECT_EQ(WaitForOne(gated.Done, 10000), 0u);
    EXPECT_TRUE(gated.Finished.load());
#endif
}

TEST(ThreadTest, ClosingTheHandleLeavesTheThreadRunning) {
    GATED gated;
    CreateGate(gated);
    THREAD thread;
    ASSERT_TRUE(thread.Start(GatedProcedure, &gated));
    thread.Close();
    EXPECT_FALSE(thread.IsValid());

    // New objects are likely to get the number the closed handle had; the ending thread must
    // not signal any of them.
    std::vector<EVENT> bystanders(4);
    for (EVENT& event : bystanders) ASSERT_TRUE(event.Create(true));

    ASSERT_TRUE(gated.Go.Set());
    ASSERT_EQ(WaitForOne(gated.Done, 10000), 0u);
    SleepMilliseconds(50);  // give a wrongly aimed end signal time to land
    for (EVENT& event : bystanders) EXPECT_EQ(WaitForOne(event, 0), WAIT_TIMED_OUT);
}

TEST(ThreadTest, MoveTransfersTheThread) {
    GATED gated;
    CreateGate(gated);
    THREAD first;
    ASSERT_TRUE(first.Start(GatedProcedure, &gated));
    const uint32_t id = first.Id();

    THREAD second(std::move(first));
    EXPECT_FALSE(first.IsValid());
    EXPECT_EQ(first.Id(), 0u);
    EXPECT_EQ(second.Id(), id);

    THREAD third;
    third = std::move(second);
    EXPECT_FALSE(second.IsValid());
    EXPECT_EQ(third.Id(), id);
    EXPECT_FALSE(third.HasEnded());

    ASSERT_TRUE(gated.Go.Set());
    ASSERT_EQ(WaitForOne(third, 10000), 0u);
    uint32_t exitCode = 0;
    EXPECT_TRUE(third.HasEnded(&exitCode));
    EXPECT_EQ(exitCode, 7u);
}

uint32_t CountAndReturnIndex(void* argument) {
    auto* counter = static_cast<std::atomic<uint32_t>*>(argument);
    return counter->fetch_add(1) + 1000;
}

TEST(ThreadTest, HundredThreadsStartAndEnd) {
    constexpr size_t COUNT = 100;
    std::atomic<uint32_t> counter{0};
    std::vector<THREAD> threads(COUNT);
    for (THREAD& thread : threads) ASSERT_TRUE(thread.Start(CountAndReturnIndex, &counter));

    std::vector<const WAITABLE*> objects;
    for (const THREAD& thread : threads) objects.push_back(&thread);
    const std::span<const WAITABLE* const> all(objects);
    for (size_t first = 0; first < COUNT; first += MAXIMUM_WAIT_OBJECTS_COUNT) {
        const size_t size = std::min<size_t>(MAXIMUM_WAIT_OBJECTS_COUNT, COUNT - first);
        ASSERT_EQ(WaitForAll(all.subspan(first, size), 20000), 0u) << "batch from " << first;
    }
    EXPECT_EQ(counter.load(), COUNT);

    // Every exit code 1000..1099 appears exactly once.
    std::vector<int> seen(COUNT, 0);
    for (const THREAD& thread : threads) {
        uint32_t exitCode = 0;
        ASSERT_TRUE(thread.HasEnded(&exitCode));
        ASSERT_GE(exitCode, 1000u);
        ASSERT_LT(exitCode, 1000u + COUNT);
        ++seen[exitCode - 1000];
    }
    for (size_t i = 0; i < COUNT; ++i) EXPECT_EQ(seen[i], 1) << "exit code " << 1000 + i;
}

TEST(ThreadTest, StartingAgainReplacesTheHandle) {
    REPORT first;
    first.ExitCode = 1;
    REPORT second;
    second.ExitCode = 2;
    THREAD thread;
    ASSERT_TRUE(thread.Start(ReportAndReturn, &first));
    ASSERT_EQ(WaitForOne(thread, 10000), 0u);
    ASSERT_TRUE(thread.Start(ReportAndReturn, &second));
    ASSERT_EQ(WaitForOne(thread, 10000), 0u);
    uint32_t exitCode = 0;
    EXPECT_TRUE(thread.HasEnded(&exitCode));
    EXPECT_EQ(exitCode, 2u);
}

TEST(ThreadTest, MisuseFails) {
    THREAD thread;
    SetLastErrorCode(ERR_SUCCESS);
    EXPECT_FALSE(thread.Start(nullptr, nullptr));
    EXPECT_EQ(GetLastErrorCode(), ERR_INVALID_PARAMETER);
    EXPECT_FALSE(thread.IsValid());

    SetLastErrorCode(ERR_SUCCESS);
    EXPECT_FALSE(thread.HasEnded());
    EXPECT_EQ(GetLastErrorCode(), ERR_INVALID_HANDLE);
    SetLastErrorCode(ERR_SUCCESS);
    EXPECT_FALSE(thread.Terminate(1));
    EXPECT_EQ(GetLastErrorCode(), ERR_INVALID_HANDLE);
}

TEST(SleepTest, SleepsAtLeastTheTime) {
    const auto start = steady_clock::now();
    SleepMilliseconds(100);
    const int64_t elapsed = ElapsedMs(start);
    EXPECT_GE(elapsed, 90);
    EXPECT_LE(elapsed, 5000);
    SleepMilliseconds(0);
}

// --- last-error value ---------------------------------------------------------------------------

// The two threads take turns through 'Stage' using atomics and yields only, so no system call
// that sets a last-error value runs between a set and a check. The wait yields (a bare spin
// can starve the other thread under Wine) and gives up after a while instead of hanging.
struct TURNS {
    std::atomic<int> Stage{0};
    uint32_t SeenByThread = 0;
};

bool AwaitStage(const std::atomic<int>& stage, int wanted) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (stage.load() != wanted) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::yield();
    }
    return true;
}

uint32_t SetOwnLastError(void* argument) {
    auto* turns = static_cast<TURNS*>(argument);
    SetLastErrorCode(ERR_ACCESS_DENIED);
    turns->Stage.store(1);
    if (!AwaitStage(turns->Stage, 2)) return 1;
    turns->SeenByThread = GetLastErrorCode();
    turns->Stage.store(3);
    return 0;
}

TEST(LastErrorTest, IsPerThread) {
    TURNS turns;
    THREAD thread;
    ASSERT_TRUE(thread.Start(SetOwnLastError, &turns));
    // No early return before the thread has ended: it reads 'turns'.
    EXPECT_TRUE(AwaitStage(turns.Stage, 1));
    SetLastErrorCode(ERR_FILE_NOT_FOUND);
    turns.Stage.store(2);
    EXPECT_TRUE(AwaitStage(turns.Stage, 3));
    EXPECT_EQ(GetLastErrorCode(), ERR_FILE_NOT_FOUND);
    EXPECT_EQ(turns.SeenByThread, ERR_ACCESS_DENIED);
    ASSERT_EQ(WaitForOne(thread, 30000), 0u);
}

#if !defined(_WIN32)
TEST(LastErrorTest, ErrnoBecomesWin32Codes) {
    EXPECT_EQ(ErrorFromErrno(0), ERR_SUCCESS);
    EXPECT_EQ(ErrorFromErrno(ENOENT), ERR_FILE_NOT_FOUND);
    EXPECT_EQ(ErrorFromErrno(ENOTDIR), ERR_PATH_NOT_FOUND);
    EXPECT_EQ(ErrorFromErrno(EMFILE), ERR_TOO_MANY_OPEN_FILES);
    EXPECT_EQ(ErrorFromErrno(ENFILE), ERR_TOO_MANY_OPEN_FILES);
    EXPECT_EQ(ErrorFromErrno(EACCES), ERR_ACCESS_DENIED);
    EXPECT_EQ(ErrorFromErrno(EPERM), ERR_ACCESS_DENIED);
    EXPECT_EQ(ErrorFromErrno(EROFS), ERR_ACCESS_DENIED);
    EXPECT_EQ(ErrorFromErrno(EBADF), ERR_INVALID_HANDLE);
    EXPECT_EQ(ErrorFromErrno(ENOMEM), ERR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(ErrorFromErrno(EEXIST), ERR_FILE_EXISTS);
    EXPECT_EQ(ErrorFromErrno(EINVAL), ERR_INVALID_PARAMETER);
    EXPECT_EQ(ErrorFromErrno(EPIPE), ERR_BROKEN_PIPE);
    EXPECT_EQ(ErrorFromErrno(ENOSPC), ERR_DISK_FULL);
    EXPECT_EQ(ErrorFromErrno(ENOSYS), ERR_CALL_NOT_IMPLEMENTED);
    EXPECT_EQ(ErrorFromErrno(EOPNOTSUPP), ERR_NOT_SUPPORTED);
    EXPECT_EQ(ErrorFromErrno(ENAMETOOLONG), ERR_FILENAME_EXCED_RANGE);
    EXPECT_EQ(ErrorFromErrno(ENOTEMPTY), ERR_DIR_NOT_EMPTY);
    EXPECT_EQ(ErrorFromErrno(EBUSY), ERR_BUSY);
    EXPECT_EQ(ErrorFromErrno(EIO), ERR_IO_DEVICE);
    EXPECT_EQ(ErrorFromErrno(ETIMEDOUT), ERR_TIMEOUT);
    EXPECT_EQ(ErrorFromErrno(ECONNRESET), ERR_WSAECONNRESET);  // a socket-only errno
    EXPECT_EQ(ErrorFromErrno(99999), ERR_INTERNAL_ERROR);
}

TEST(LastErrorTest, SocketErrnoBecomesWinsockCodes) {
    EXPECT_EQ(SocketErrorFromErrno(EINTR), ERR_WSAEINTR);
    EXPECT_EQ(SocketErrorFromErrno(EBADF), ERR_WSAEBADF);
    EXPECT_EQ(SocketErrorFromErrno(EACCES), ERR_WSAEACCES);
    EXPECT_EQ(SocketErrorFromErrno(EINVAL), ERR_WSAEINVAL);
    EXPECT_EQ(SocketErrorFromErrno(EAGAIN), ERR_WSAEWOULDBLOCK);
    EXPECT_EQ(SocketErrorFromErrno(EWOULDBLOCK), ERR_WSAEWOULDBLOCK);
    EXPECT_EQ(SocketErrorFromErrno(EINPROGRESS), ERR_WSAEINPROGRESS);
    EXPECT_EQ(SocketErrorFromErrno(ENOTSOCK), ERR_WSAENOTSOCK);
    EXPECT_EQ(SocketErrorFromErrno(EOPNOTSUPP), ERR_WSAEOPNOTSUPP);
    EXPECT_EQ(SocketErrorFromErrno(EADDRINUSE), ERR_WSAEADDRINUSE);
    EXPECT_EQ(SocketErrorFromErrno(ECONNABORTED), ERR_WSAECONNABORTED);
    EXPECT_EQ(SocketErrorFromErrno(ECONNRESET), ERR_WSAECONNRESET);
    EXPECT_EQ(SocketErrorFromErrno(EPIPE), ERR_WSAESHUTDOWN);
    EXPECT_EQ(SocketErrorFromErrno(ESHUTDOWN), ERR_WSAESHUTDOWN);
    EXPECT_EQ(SocketErrorFromErrno(ETIMEDOUT), ERR_WSAETIMEDOUT);
    EXPECT_EQ(SocketErrorFromErrno(ECONNREFUSED), ERR_WSAECONNREFUSED);
    EXPECT_EQ(SocketErrorFromErrno(EHOSTUNREACH), ERR_WSAEHOSTUNREACH);
    EXPECT_EQ(SocketErrorFromErrno(ENOENT), ERR_FILE_NOT_FOUND);  // not a socket errno
    EXPECT_EQ(SocketErrorFromErrno(99999), ERR_INTERNAL_ERROR);
}
#endif

}  // namespace
}  // namespace qv
