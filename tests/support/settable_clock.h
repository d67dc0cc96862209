// The program's clocks for a test: real time flows, but the test can step the wall clock (as
// time synchronisation does) or move time forward for everything that is timed.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/clock.h"
#include "support/time_value.h"

namespace qv::test {

class SETTABLE_CLOCK : public TIME_SOURCE {
public:
    SETTABLE_CLOCK() { SetTimeSource(this); }
    SETTABLE_CLOCK(const SETTABLE_CLOCK&) = delete;
    SETTABLE_CLOCK& operator=(const SETTABLE_CLOCK&) = delete;
    ~SETTABLE_CLOCK() override { SetTimeSource(nullptr); }

    uint64_t WallClock() override { return Base(SystemTimeNow(), FrozenWall) + static_cast<uint64_t>(WallOffset.load()); }
    uint64_t MonotonicMilliseconds() override {
        return Base(qv::MonotonicMilliseconds(), FrozenMonotonic) + static_cast<uint64_t>(MonotonicOffset.load());
    }

    // Real time stops: only Advance and StepWallClock move the clocks, for tests of exact ages.
    void Freeze() {
        FrozenWall = SystemTimeNow();
        FrozenMonotonic = qv::MonotonicMilliseconds();
    }

    // The wall clock alone jumps, back (negative) or forward.
    void StepWallClock(int64_t milliseconds) { WallOffset += milliseconds * static_cast<int64_t>(TICKS_PER_MILLISECOND); }
    // Time passes at once for both clocks.
    void Advance(uint64_t milliseconds) {
        MonotonicOffset += static_cast<int64_t>(milliseconds);
        StepWallClock(static_cast<int64_t>(milliseconds));
    }

private:
    static uint64_t Base(uint64_t now, uint64_t frozen) { return frozen != 0 ? frozen : now; }

    std::atomic<uint64_t> FrozenWall{0};
    std::atomic<uint64_t> FrozenMonotonic{0};
    std::atomic<int64_t> WallOffset{0};
    std::atomic<int64_t> MonotonicOffset{0};
};

}  // namespace qv::test
