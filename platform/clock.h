// The system clocks: the wall clock in file-time form (100-nanosecond units since 1601-01-01
// UTC), and a monotonic clock for elapsed times.
#pragma once

#include <cstdint>

namespace qv {

uint64_t SystemTimeNow();

// Milliseconds on a clock that only moves forward, whatever happens to the wall clock (time
// synchronisation steps it, an administrator sets it): the measure for elapsed times.
uint64_t MonotonicMilliseconds();

// Conversions between UTC and the machine's local time zone (daylight saving included,
// for the instant being converted). False when the instant cannot be converted.
bool UtcToLocalTime(uint64_t utc, uint64_t& local);
bool LocalTimeToUtc(uint64_t local, uint64_t& utc);

}  // namespace qv
