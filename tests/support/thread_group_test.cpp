#include <gtest/gtest.h>
#include <gmock/gmock.h>

#include <atomic>
#include <mutex>
#include <regex>
#include <string>
#include <vector>

#include "platform/thread.h"
#include "platform/wait.h"
#include "support/format.h"
#include "support/thread_group.h"
#include "tests/support/settable_clock.h"
#include "tests/test_text.h"

namespace qv {
namespace {

using testing::ElementsAre;

std::mutex LinesLock;
std::vector<std::string> Lines;

void CaptureLine(const char16_t* format, FORMAT_ARGS args) {
    STRING line;
    FormatStringArgs(line, FORMAT_UNLIMITED, format, args);
    std::lock_guard<std::mutex> lock(LinesLock);
    Lines.push_back(test::Utf8(line));
}

std::vector<std::string> TakeLines() {
    std::lock_guard<std::mutex> lock(LinesLock);
    return std::exchange(Lines, {});
}

// std::regex rather than gtest's matchers: gtest's Windows regex lacks character classes.
bool Matches(const std::string& line, const char* pattern) { return std::regex_match(line, std::regex(pattern)); }

void SetEventRoutine(void* argument) { static_cast<EVENT*>(argument)->Set(); }

// A worker that leaves as soon as its stop event is set.
uint32_t ObedientWorker(void* argument) {
    return WaitForOne(*static_cast<EVENT*>(argument), WAIT_INFINITE) == 0 ? 0 : 1;
}

// A worker that ignores the stop request and only leaves when released; on platforms without
// forced termination it must still be able to finish cleanly afterwards.
EVENT ReleaseStubborn;
std::atomic<int> StubbornExits{0};

uint32_t StubbornWorker(void*) {
    WaitForOne(ReleaseStubborn, WAIT_INFINITE);
    StubbornExits.fetch_add(1);
    return 0;
}

void ReleaseStubbornWorkers(int expectedExits) {
#if defined(_WIN32)
    (void)expectedExits;  // they were terminated for real
#else
    ReleaseStubborn.Set();
    for (int i = 0; i < 500 && StubbornExits.load() < expectedExits; ++i) SleepMilliseconds(10);
    EXPECT_EQ(StubbornExits.load(), expectedExits);
#endif
    ReleaseStubborn.Reset();
    StubbornExits = 0;
}

class ThreadGroupTest : public testing::Test {
protected:
    void SetUp() override {
        TakeLines();
        if (!ReleaseStubborn.IsValid()) {
            ASSERT_TRUE(ReleaseStubborn.Create(true));
        }
        ASSERT_TRUE(Stop.Create(true));
    }
    EVENT Stop;
};

TEST_F(ThreadGroupTest, AnEmptySingleGroupStillRunsItsStopRoutine) {
    THREAD none;
    StopThreads(5000, CaptureLine, {STOP_GROUP::Single(u"Settings", SetEventRoutine, &Stop, &none)});
    EXPECT_EQ(WaitForOne(Stop, 0), 0u);
    EXPECT_TRUE(TakeLines().empty());
}

TEST_F(ThreadGroupTest, OneThreadThatEndsAtOnce) {
    THREAD settings;
    ASSERT_TRUE(settings.Start(ObedientWorker, &Stop));
    StopThreads(5000, CaptureLine, {STOP_GROUP::Single(u"Settings", SetEventRoutine, &Stop, &settings)});
    EXPECT_FALSE(settings.IsValid());
    std::vector<std::string> lines = TakeLines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "Stopping Settings thread");
    EXPECT_EQ(lines[1], "Waiting 5.000 seconds for 1 thread to stop ...");
    EXPECT_TRUE(Matches(lines[2], "1 thread stopped normally in [0-9]+\\.[0-9]{3} seconds")) << lines[2];
}

TEST_F(ThreadGroupTest, AThreadThatIgnoresItsStopSignalIsTerminated) {
    THREAD stubborn;
    ASSERT_TRUE(stubborn.Start(StubbornWorker, nullptr));
    StopThreads(200, CaptureLine, {STOP_GROUP::Single(u"Stubborn", SetEventRoutine, &Stop, &stubborn)});
    EXPECT_FALSE(stubborn.IsValid());
    EXPECT_THAT(TakeLines(), ElementsAre("Stopping Stubborn thread", "Waiting 0.200 seconds for 1 thread to stop ...",
                                         "Terminating Stubborn thread"));
    ReleaseStubbornWorkers(1);
}

TEST_F(ThreadGroupTest, ManyThreadsAreWaitedForInBatchesOf64) {
    constexpr uint32_t COUNT = 100;
    THREAD workers[COUNT];
    for (THREAD& worker : workers) ASSERT_TRUE(worker.Start(ObedientWorker, &Stop));
    StopThreads(20000, CaptureLine, {STOP_GROUP::Array(u"Worker", SetEventRoutine, &Stop, workers, COUNT)});
    for (const THREAD& worker : workers) EXPECT_FALSE(worker.IsValid());

    std::vector<std::string> lines = TakeLines();
    ASSERT_EQ(lines.size(), COUNT + 4);
    EXPECT_EQ(lines[0], "Stopping Worker thread #1");
    EXPECT_EQ(lines[COUNT - 1], "Stopping Worker thread #100");
    EXPECT_EQ(lines[COUNT], "Waiting 20.000 seconds for 64 threads to stop ...");
    EXPECT_TRUE(Matches(lines[COUNT + 1], "64 threads stopped normally in [0-9]+\\.[0-9]{3} seconds")) << lines[COUNT + 1];
    EXPECT_TRUE(Matches(lines[COUNT + 2], "Waiting [0-9]+\\.[0-9]{3} seconds for 36 threads to stop \\.\\.\\."))
        << lines[COUNT + 2];
    EXPECT_TRUE(Matches(lines[COUNT + 3], "36 threads stopped normally in [0-9]+\\.[0-9]{3} seconds")) << lines[COUNT + 3];
}

// The wall clock is set an hour back while the threads stop (time synchronisation on a domain
// controller): the budget is measured on the monotonic clock, so the second batch is still
// waited for.
test::SETTABLE_CLOCK* SteppedClock = nullptr;
uint32_t WorkerThatStepsTheClock(void* argument) {
    const uint32_t result = ObedientWorker(argument);
    SteppedClock->StepWallClock(-3600 * 1000);
    return result;
}

TEST_F(ThreadGroupTest, AStepOfTheWallClockDoesNotCutTheBudget) {
    test::SETTABLE_CLOCK clock;
    SteppedClock = &clock;
    constexpr uint32_t COUNT = 70;
    THREAD workers[COUNT];
    for (THREAD& worker : workers) ASSERT_TRUE(worker.Start(WorkerThatStepsTheClock, &Stop));
    StopThreads(20000, CaptureLine, {STOP_GROUP::Array(u"Worker", SetEventRoutine, &Stop, workers, COUNT)});
    int normal = 0;
    for (const std::string& line : TakeLines()) normal += line.find("threads stopped normally") != std::string::npos;
    EXPECT_EQ(normal, 2);
    SteppedClock = nullptr;
}

TEST_F(ThreadGroupTest, WhenTheFirstBatchUsesTheBudgetTheSecondIsNotWaitedForButAllHandlesClose) {
    constexpr uint32_t COUNT = 100;
    THREAD workers[COUNT];
    for (THREAD& worker : workers) ASSERT_TRUE(worker.Start(StubbornWorker, nullptr));
    StopThreads(300, CaptureLine, {STOP_GROUP::Array(u"Worker", nullptr, nullptr, workers, COUNT)});
    for (const THREAD& worker : workers) EXPECT_FALSE(worker.IsValid());

    std::vector<std::string> lines = TakeLines();
    int terminated = 0;
    int waits = 0;
    for (const std::string& line : lines) {
        terminated += line.rfind("Terminating Worker thread #", 0) == 0;
        waits += line.rfind("Waiting ", 0) == 0;
    }
    EXPECT_EQ(waits, 1);
    EXPECT_EQ(terminated, 64);
    ReleaseStubbornWorkers(COUNT);
}

TEST_F(ThreadGroupTest, GroupsAreReadUpToTheEndAndUnknownKindsSkipped) {
    THREAD first;
    THREAD second;
    ASSERT_TRUE(first.Start(ObedientWorker, &Stop));
    ASSERT_TRUE(second.Start(ObedientWorker, &Stop));
    STOP_GROUP unknown = STOP_GROUP::Single(u"Unknown", nullptr, nullptr, &second);
    unknown.Kind = 7;
    StopThreads(5000, CaptureLine,
                {unknown, STOP_GROUP::Single(u"First", SetEventRoutine, &Stop, &first), STOP_GROUP::End(),
                 STOP_GROUP::Single(u"Second", nullptr, nullptr, &second)});
    EXPECT_FALSE(first.IsValid());
    EXPECT_TRUE(second.IsValid());
    std::vector<std::string> lines = TakeLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "Stopping First thread");
    EXPECT_EQ(WaitForOne(second, 5000), 0u);
}

TEST_F(ThreadGroupTest, AGroupStopsWhatItHoldsWhenDestroyed) {
    THREAD* handles = new THREAD[2];
    {
        THREAD_GROUP group(handles, 2, u"Pool", CaptureLine, SetEventRoutine, &Stop, true);
        ASSERT_TRUE(group.Start(ObedientWorker, &Stop));
        ASSERT_TRUE(group.Start(ObedientWorker, &Stop));
        EXPECT_FALSE(group.Start(ObedientWorker, &Stop));  // the array is full
        EXPECT_EQ(group.Count(), 2u);
    }
    std::vector<std::string> lines = TakeLines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "Stopping Pool thread #1");
    EXPECT_EQ(lines[2], "Waiting 5.000 seconds for 2 threads to stop ...");
}

TEST_F(ThreadGroupTest, AReleasedGroupLeavesItsThreadsToTheCaller) {
    THREAD handle;
    {
        THREAD_GROUP group(&handle, 1, u"Settings", CaptureLine, SetEventRoutine, &Stop, false);
        ASSERT_TRUE(group.Start(ObedientWorker, &Stop));
        group.Release();
    }
    EXPECT_TRUE(TakeLines().empty());
    ASSERT_TRUE(handle.IsValid());
    EXPECT_EQ(WaitForOne(handle, 100), WAIT_TIMED_OUT);
    StopThreads(5000, CaptureLine, {STOP_GROUP::Single(u"Settings", SetEventRoutine, &Stop, &handle)});
    EXPECT_FALSE(handle.IsValid());
}

}  // namespace
}  // namespace qv
