// Events, waitable timers and the waits over them. Timing checks use wide margins: a wait
// must not end early, and may end late by seconds on a loaded machine.
#include "platform/wait.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <vector>

#include "base/error_codes.h"
#include "platform/clock.h"
#include "platform/last_error.h"
#include "platform/thread.h"

namespace qv {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

constexpr int64_t TICKS_PER_MS = 10000;

int64_t ElapsedMs(steady_clock::time_point start) {
    return std::chrono::duration_cast<milliseconds>(steady_clock::now() - start).count();
}

EVENT MakeEvent(bool manualReset, bool initiallySet = false) {
    EVENT event;
    EXPECT_TRUE(event.Create(manualReset, initiallySet));
    return event;
}

WAITABLE_TIMER MakeTimer(bool manualReset) {
    WAITABLE_TIMER timer;
    EXPECT_TRUE(timer.Create(manualReset));
    return timer;
}

// --- events ---------------------------------------------------------------------------------------

TEST(EventTest, ManualResetStaysSetForEveryWaitUntilReset) {
    EVENT event = MakeEvent(true);
    EXPECT_EQ(WaitForOne(event, 0), WAIT_TIMED_OUT);
    ASSERT_TRUE(event.Set());
    for (int i = 0; i < 5; ++i) EXPECT_EQ(WaitForOne(event, 0), 0u) << "wait " << i;
    ASSERT_TRUE(event.Reset());
    EXPECT_EQ(WaitForOne(event, 0), WAIT_TIMED_OUT);
    // Reset of a clear event is harmless.
    EXPECT_TRUE(event.Reset());
    EXPECT_EQ(WaitForOne(event, 0), WAIT_TIMED_OUT);
}

TEST(EventTest, ManualResetSetSeveralTimesNeedsOneReset) {
    EVENT event = MakeEvent(true);
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(event.Set());
    ASSERT_TRUE(event.Reset());
    EXPECT_EQ(WaitForOne(event, 0), WAIT_TIMED_OUT);
}

TEST(EventTest, AutoResetSetTwiceReleasesOneWait) {
    EVENT event = MakeEvent(false);
    ASSERT_TRUE(event.Set());
    ASSERT_TRUE(event.Set());
    EXPECT_EQ(WaitForOne(event, 0), 0u);
    EXPECT_EQ(WaitForOne(event, 0), WAIT_TIMED_OUT);
}

TEST(EventTest, AutoResetResetClearsIt) {
    EVENT event = MakeEvent(false);
    ASSERT_TRUE(event.Set());
    ASSERT_TRUE(event.Reset());
    EXPECT_EQ(WaitForOne(event, 0), WAIT_TIMED_OUT);
}

TEST(EventTest, InitiallySet) {
    EVENT manual = MakeEvent(true, true);
    EXPECT_EQ(WaitForOne(manual, 0), 0u);
    EXPECT_EQ(WaitForOne(manual, 0), 0u);
    EVENT automatic = MakeEvent(false, true);
    EXPECT_EQ(WaitForOne(automatic, 0), 0u);
    EXPECT_EQ(WaitForOne(automatic, 0), WAIT_TIMED_OUT);
}

TEST(EventTest, ConsumedByWaitFollowsTheResetKind) {
    EXPECT_FALSE(MakeEvent(true).ConsumedByWait());
    EXPECT_TRUE(MakeEvent(false).ConsumedByWait());
}

struct RACE {
    EVENT* Wake;
    EVENT* Stop;
    std::atomic<int> WokenByEvent{0};
    std::atomic<int> WokenByStop{0};
    std::atomic<int> Failed{0};
};

uint32_t RaceWaiter(void* argument) {
    auto* race = static_cast<RACE*>(argument);
    const WAITABLE* const objects[] = {race->Wake, race->Stop};
    const uint32_t result = WaitForAny(objects, 10000);
    if (result == 0) {
        race->WokenByEvent.fetch_add(1);
    } else if (result == 1) {
        race->WokenByStop.fetch_add(1);
    } else {
        race->Failed.fetch_add(1);
    }
    return result;
}

TEST(EventTest, OneAutoResetSetReleasesOneOfSeveralWaitingThreads) {
    EVENT wake = MakeEvent(false);
    EVENT stop = MakeEvent(true);
    RACE race{&wake, &stop};
    std::array<THREAD, 3> threads;
    for (THREAD& thread : threads) ASSERT_TRUE(thread.Start(RaceWaiter, &race));
    SleepMilliseconds(50);  // let them reach the wait (not required for correctness)

    ASSERT_TRUE(wake.Set());
    const auto start = steady_clock::now();
    while (race.WokenByEvent.load() == 0 && ElapsedMs(start) < 5000) SleepMilliseconds(5);
    SleepMilliseconds(100);  // a wrongly released second waiter would show up by now
    EXPECT_EQ(race.WokenByEvent.load(), 1);

    ASSERT_TRUE(stop.Set());
    for (THREAD& thread : threads) EXPECT_EQ(WaitForOne(thread, 10000), 0u);
    EXPECT_EQ(race.WokenByEvent.load(), 1);
    EXPECT_EQ(race.WokenByStop.load(), 2);
    EXPECT_EQ(race.Failed.load(), 0);
}

struct CONTENDERS {
    EVENT* Wake;
    EVENT* Stop;
    std::atomic<int> Wins{0};
    std::atomic<int> Failed{0};
};

uint32_t Contend(void* argument) {
    auto* contenders = static_cast<CONTENDERS*>(argument);
    const WAITABLE* const objects[] = {contenders->Wake, contenders->Stop};
    for (;;) {
        const uint32_t result = WaitForAny(objects, 10000);
        if (result == 0) {
            contenders->Wins.fetch_add(1);
        } else {
            if (result != 1) contenders->Failed.fetch_add(1);
            return result;
        }
    }
}

// Several waiters woken together by one auto-reset signal: all but one lose the race for it
// and must go back to waiting, never report a failure or a second win.
TEST(EventTest, WaitersThatLoseAnAutoResetSignalKeepWaiting) {
    EVENT wake = MakeEvent(false);
    EVENT stop = MakeEvent(true);
    CONTENDERS contenders{&wake, &stop};
    std::array<THREAD, 4> threads;
    for (THREAD& thread : threads) ASSERT_TRUE(thread.Start(Contend, &contenders));
    constexpr int SETS = 2000;
    for (int i = 0; i < SETS; ++i) {
        ASSERT_TRUE(wake.Set());
        if (i % 16 == 0) SleepMilliseconds(1);
    }
    SleepMilliseconds(50);
    ASSERT_TRUE(stop.Set());
    for (THREAD& thread : threads) EXPECT_EQ(WaitForOne(thread, 10000), 0u);
    EXPECT_EQ(contenders.Failed.load(), 0);
    EXPECT_GE(contenders.Wins.load(), 1);
    EXPECT_LE(contenders.Wins.load(), SETS);
}

uint32_t SetAfterDelay(void* argument) {
    SleepMilliseconds(100);
    return static_cast<EVENT*>(argument)->Set() ? 0 : 1;
}

TEST(EventTest, WaitEndsWhenAnotherThreadSets) {
    EVENT event = MakeEvent(false);
    THREAD setter;
    ASSERT_TRUE(setter.Start(SetAfterDelay, &event));
    const auto start = steady_clock::now();
    EXPECT_EQ(WaitForOne(event, WAIT_INFINITE), 0u);
    EXPECT_GE(ElapsedMs(start), 50);
    EXPECT_EQ(WaitForOne(setter, 5000), 0u);
}

TEST(EventTest, MoveTransfersTheHandle) {
    EVENT first = MakeEvent(false);
    const NATIVE_HANDLE handle = first.NativeHandle();
    EVENT second(std::move(first));
    EXPECT_FALSE(first.IsValid());
    EXPECT_EQ(second.NativeHandle(), handle);
    EXPECT_TRUE(second.ConsumedByWait());
    ASSERT_TRUE(second.Set());
    EXPECT_EQ(WaitForOne(second, 0), 0u);

    EVENT third = MakeEvent(true);
    third = std::move(second);
    EXPECT_FALSE(second.IsValid());
    EXPECT_EQ(third.NativeHandle(), handle);
    EXPECT_TRUE(third.ConsumedByWait());

    third.Close();
    EXPECT_FALSE(third.IsValid());
    third.Close();  // twice is harmless
}

TEST(EventTest, OperationsOnAnUncreatedEventFail) {
    EVENT event;
    SetLastErrorCode(ERR_SUCCESS);
    EXPECT_FALSE(event.Set());
    EXPECT_EQ(GetLastErrorCode(), ERR_INVALID_HANDLE);
    SetLastErrorCode(ERR_SUCCESS);
    EXPECT_FALSE(event.Reset());
    EXPECT_EQ(GetLastErrorCode(), ERR_INVALID_HANDLE);
    SetLastErrorCode(ERR_SUCCESS);
    EXPECT_EQ(WaitForOne(event, 0), WAIT_FAILED_RESULT);
    EXPECT_EQ(GetLastErrorCode(), ERR_INVALID_HANDLE);
}

// --- timeouts and WaitForAny ----------------------------------------------------------------------

TEST(WaitTest, TimeoutReturns258AfterTheTime) {
    EVENT event = MakeEvent(true);
    const auto start = steady_clock::now();
    EXPECT_EQ(WaitForOne(event, 200), WAIT_TIMED_OUT);
    const int64_t elapsed = ElapsedMs(start);
    EXPECT_GE(elapsed, 150);
    EXPECT_LE(elapsed, 5000);

    const WAITABLE* const objects[] = {&event};
    const auto anyStart = steady_clock::now();
    EXPECT_EQ(WaitForAny(objects, 100), WAIT_TIMED_OUT);
    EXPECT_GE(ElapsedMs(anyStart), 70);
}

TEST(WaitTest, ZeroTimeoutOnlyPolls) {
    EVENT event = MakeEvent(false);
    const auto start = steady_clock::now();
    for (int i = 0; i < 100; ++i) ASSERT_EQ(WaitForOne(event, 0), WAIT_TIMED_OUT);
    EXPECT_LE(ElapsedMs(start), 5000);
}

TEST(WaitTest, AnyPicksTheLowestSignalledIndexAndConsumesOnlyThatOne) {
    EVENT a = MakeEvent(false);
    EVENT b = MakeEvent(false);
    EVENT c = MakeEvent(false);
    const WAITABLE* const objects[] = {&a, &b, &c};
    ASSERT_TRUE(c.Set());
    ASSERT_TRUE(b.Set());
    EXPECT_EQ(WaitForAny(objects, 0), 1u);
    EXPECT_EQ(WaitForAny(objects, 0), 2u);
    EXPECT_EQ(WaitForAny(objects, 0), WAIT_TIMED_OUT);

    ASSERT_TRUE(a.Set());
    ASSERT_TRUE(c.Set());
    EXPECT_EQ(WaitForAny(objects, 1000), 0u);
    EXPECT_EQ(WaitForOne(c, 0), 0u) << "the higher auto-reset event must not be consumed";
}

TEST(WaitTest, ManualResetAheadKeepsWinning) {
    EVENT stop = MakeEvent(true);
    EVENT work = MakeEvent(false);
    const WAITABLE* const objects[] = {&stop, &work};
    ASSERT_TRUE(work.Set());
    ASSERT_TRUE(stop.Set());
    for (int i = 0; i < 3; ++i) EXPECT_EQ(WaitForAny(objects, 0), 0u);
    EXPECT_EQ(WaitForOne(work, 0), 0u);
}

TEST(WaitTest, SixtyFourObjectsWorkAndSixtyFiveFail) {
    std::vector<EVENT> events(65);
    std::vector<const WAITABLE*> objects;
    for (EVENT& event : events) {
        ASSERT_TRUE(event.Create(false));
        objects.push_back(&event);
    }
    const std::span<const WAITABLE* const> all(objects);
    const auto sixtyFour = all.first(64);

    EXPECT_EQ(WaitForAny(sixtyFour, 0), WAIT_TIMED_OUT);
    ASSERT_TRUE(events[63].Set());
    EXPECT_EQ(WaitForAny(sixtyFour, 0), 63u);

    for (EVENT& event : events) ASSERT_TRUE(event.Set());
    EXPECT_EQ(WaitForAll(sixtyFour, 0), 0u);
    EXPECT_EQ(WaitForOne(events[0], 0), WAIT_TIMED_OUT);
    EXPECT_EQ(WaitForOne(events[64], 0), 0u);  // not part of the wait

    SetLastErrorCode(ERR_SUCCESS);
    EXPECT_EQ(WaitForAny(all, 0), WAIT_FAILED_RESULT);
    EXPECT_EQ(GetLastErrorCode(), ERR_INVALID_PARAMETER);
    SetLastErrorCode(ERR_SUCCESS);
    EXPECT_EQ(WaitForAll(all, 0), WAIT_FAILED_RESULT);
    EXPECT_EQ(GetLastErrorCode(), ERR_INVALID_PARAMETER);
}

TEST(WaitTest, EmptyListOrMissingObjectFails) {
    SetLastErrorCode(ERR_SUCCESS);
    EXPECT_EQ(WaitForAny({}, 0), WAIT_FAILED_RESULT);
    EXPECT_EQ(GetLastErrorCode(), ERR_INVALID_PARAMETER);

    EVENT event = MakeEvent(true, true);
    EVENT unopened;
    const WAITABLE* const withUnopened[] = {&event, &unopened};
    SetLastErrorCode(ERR_SUCCESS);
    EXPECT_EQ(WaitForAny(withUnopened, 0), WAIT_FAILED_RESULT);
    EXPECT_EQ(GetLastErrorCode(), ERR_INVALID_HANDLE);
    const WAITABLE* const withNull[] = {&event, nullptr};
    SetLastErrorCode(ERR_SUCCESS);
    EXPECT_EQ(WaitForAll(withNull, 0), WAIT_FAILED_RESULT);
    EXPECT_EQ(GetLastErrorCode(), ERR_INVALID_HANDLE);
}

// --- WaitForAll -----------------------------------------------------------------------------------

TEST(WaitAllTest, NeedsEveryObject) {
    EVENT first = MakeEvent(true);
    EVENT second = MakeEvent(true);
    const WAITABLE* const objects[] = {&first, &second};
    EXPECT_EQ(WaitForAll(objects, 0), WAIT_TIMED_OUT);
    ASSERT_TRUE(second.Set());
    const auto start = steady_clock::now();
    EXPECT_EQ(WaitForAll(objects, 100), WAIT_TIMED_OUT);
    EXPECT_GE(ElapsedMs(start), 70);
    ASSERT_TRUE(first.Set());
    EXPECT_EQ(WaitForAll(objects, 0), 0u);
    EXPECT_EQ(WaitForAll(objects, 0), 0u);  // manual-reset: still set
}

TEST(WaitAllTest, ConsumesAutoResetObjectsOnlyWhenAllAreSignalled) {
    EVENT automatic = MakeEvent(false);
    EVENT manual = MakeEvent(true);
    const WAITABLE* const objects[] = {&automatic, &manual};
    ASSERT_TRUE(automatic.Set());
    EXPECT_EQ(WaitForAll(objects, 50), WAIT_TIMED_OUT);
    EXPECT_EQ(WaitForOne(automatic, 0), 0u) << "a failed wait-all must leave the event set";

    ASSERT_TRUE(automatic.Set());
    ASSERT_TRUE(manual.Set());
    EXPECT_EQ(WaitForAll(objects, 0), 0u);
    EXPECT_EQ(WaitForOne(automatic, 0), WAIT_TIMED_OUT);
    EXPECT_EQ(WaitForOne(manual, 0), 0u);
}

TEST(WaitAllTest, EndsWhenTheLastObjectIsSetByAnotherThread) {
    EVENT early = MakeEvent(false, true);
    EVENT late = MakeEvent(false);
    const WAITABLE* const objects[] = {&early, &late};
    THREAD setter;
    ASSERT_TRUE(setter.Start(SetAfterDelay, &late));
    EXPECT_EQ(WaitForAll(objects, 10000), 0u);
    EXPECT_EQ(WaitForOne(early, 0), WAIT_TIMED_OUT);
    EXPECT_EQ(WaitForOne(late, 0), WAIT_TIMED_OUT);
    EXPECT_EQ(WaitForOne(setter, 5000), 0u);
}

TEST(WaitAllTest, SameObjectTwiceIsRefused) {
    EVENT event = MakeEvent(true, true);
    const WAITABLE* const objects[] = {&event, &event};
    SetLastErrorCode(ERR_SUCCESS);
    EXPECT_EQ(WaitForAll(objects, 0), WAIT_FAILED_RESULT);
    EXPECT_EQ(GetLastErrorCode(), ERR_INVALID_PARAMETER);
}

// --- waitable timers ------------------------------------------------------------------------------

TEST(TimerTest, RelativeDueTimeFiresAfterTheSpan) {
    WAITABLE_TIMER timer = MakeTimer(false);
    EXPECT_EQ(WaitForOne(timer, 0), WAIT_TIMED_OUT) << "a timer never set is not signalled";
    ASSERT_TRUE(timer.Set(-10000 * TICKS_PER_MS));
    EXPECT_EQ(WaitForOne(timer, 0), WAIT_TIMED_OUT);

    // Setting again replaces the earlier due time.
    const auto start = steady_clock::now();
    ASSERT_TRUE(timer.Set(-200 * TICKS_PER_MS));
    EXPECT_EQ(WaitForOne(timer, 5000), 0u);
    const int64_t elapsed = ElapsedMs(start);
    EXPECT_GE(elapsed, 150);
    EXPECT_LE(elapsed, 5000);
    EXPECT_EQ(WaitForOne(timer, 0), WAIT_TIMED_OUT) << "an auto-reset timer is consumed by the wait";
}

TEST(TimerTest, AbsoluteDueTimeFollowsTheWallClock) {
    WAITABLE_TIMER timer = MakeTimer(false);
    const auto start = steady_clock::now();
    ASSERT_TRUE(timer.Set(static_cast<int64_t>(SystemTimeNow()) + 200 * TICKS_PER_MS));
    EXPECT_EQ(WaitForOne(timer, 5000), 0u);
    const int64_t elapsed = ElapsedMs(start);
    EXPECT_GE(elapsed, 150);
    EXPECT_LE(elapsed, 5000);

    // A due time already past fires at once.
    ASSERT_TRUE(timer.Set(static_cast<int64_t>(SystemTimeNow()) - 10000 * TICKS_PER_MS));
    EXPECT_EQ(WaitForOne(timer, 2000), 0u);
}

TEST(TimerTest, ManualResetTimerStaysSignalledUntilSetAgain) {
    WAITABLE_TIMER timer = MakeTimer(true);
    EXPECT_FALSE(timer.ConsumedByWait());
    ASSERT_TRUE(timer.Set(-20 * TICKS_PER_MS));
    EXPECT_EQ(WaitForOne(timer, 5000), 0u);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(WaitForOne(timer, 0), 0u) << "wait " << i;
    // Cancelling stops future expiries but does not clear the signal (the Win32 rule).
    ASSERT_TRUE(timer.Cancel());
    EXPECT_EQ(WaitForOne(timer, 1000), 0u);
    // Setting again clears it until the new due time.
    ASSERT_TRUE(timer.Set(-10000 * TICKS_PER_MS));
    EXPECT_EQ(WaitForOne(timer, 0), WAIT_TIMED_OUT);
    ASSERT_TRUE(timer.Cancel());
    EXPECT_EQ(WaitForOne(timer, 100), WAIT_TIMED_OUT);
}

TEST(TimerTest, CancelBeforeTheDueTimeStopsIt) {
    WAITABLE_TIMER timer = MakeTimer(false);
    ASSERT_TRUE(timer.Set(-100 * TICKS_PER_MS));
    ASSERT_TRUE(timer.Cancel());
    EXPECT_EQ(WaitForOne(timer, 300), WAIT_TIMED_OUT);
}

TEST(TimerTest, PeriodicAutoResetTimerFiresRepeatedly) {
    WAITABLE_TIMER timer = MakeTimer(false);
    const auto start = steady_clock::now();
    ASSERT_TRUE(timer.Set(-30 * TICKS_PER_MS, 30));
    for (int i = 0; i < 4; ++i) ASSERT_EQ(WaitForOne(timer, 5000), 0u) << "expiry " << i;
    // Four expiries at 30 ms intervals from a 30 ms start cannot all come within 80 ms.
    EXPECT_GE(ElapsedMs(start), 80);
    ASSERT_TRUE(timer.Cancel());
    WaitForOne(timer, 0);  // an expiry that was already pending may still be taken once
    EXPECT_EQ(WaitForOne(timer, 200), WAIT_TIMED_OUT);
}

TEST(TimerTest, TimerAndEventInOneWait) {
    EVENT stop = MakeEvent(true);
    WAITABLE_TIMER timer = MakeTimer(false);
    const WAITABLE* const objects[] = {&stop, &timer};
    ASSERT_TRUE(timer.Set(-20 * TICKS_PER_MS));
    EXPECT_EQ(WaitForAny(objects, 5000), 1u);
    ASSERT_TRUE(timer.Set(-1));
    ASSERT_TRUE(stop.Set());
    SleepMilliseconds(20);
    EXPECT_EQ(WaitForAny(objects, 5000), 0u);
    EXPECT_EQ(WaitForOne(timer, 5000), 0u) << "the timer was not consumed by the lost race";
}

TEST(TimerTest, OperationsOnAnUncreatedTimerFail) {
    WAITABLE_TIMER timer;
    SetLastErrorCode(ERR_SUCCESS);
    EXPECT_FALSE(timer.Set(-1));
    EXPECT_EQ(GetLastErrorCode(), ERR_INVALID_HANDLE);
    SetLastErrorCode(ERR_SUCCESS);
    EXPECT_FALSE(timer.Cancel());
    EXPECT_EQ(GetLastErrorCode(), ERR_INVALID_HANDLE);
}

}  // namespace
}  // namespace qv
