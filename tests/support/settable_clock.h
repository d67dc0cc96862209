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
    SETTABLE_CLOCK() { SetTimeSourceForTest(this); }
    SETTABLE_CLOCK(const SETTABLE_CLOCK&) = delete;
    SETTABLE_CLOCK& operator=(const SETTABLE_CLOCK&) = delete;
    ~SETTABLE_CLOCK() override { SetTimeSourceForTest(nullptr); }

    uint64_t WallClock() override { return SystemTimeNow() + static_cast<uint64_t>(WallOffset.load()); }
    uint64_t MonotonicMilliseconds() override {
        return qv::MonotonicMilliseconds() + static_cast<uint64_t>(MonotonicOffset.load());
    }

    // The wall clock alone jumps, back (negative) or forward.
    void StepWallClock(int64_t milliseconds) { WallOffset += milliseconds * static_cast<int64_t>(TICKS_PER_MILLISECOND); }
    // Time passes at once for both clocks.
    void Advance(uint64_t milliseconds) {
        MonotonicOffset += static_cast<int64_t>(milliseconds);
        StepWallClock(static_cast<int64_t>(milliseconds));
    }

private:
    std::atomic<int64_t> WallOffset{0};
    std::atomic<int64_t> MonotonicOffset{0};
};

}  // namespace qv::test
