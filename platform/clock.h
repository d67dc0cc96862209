// The system clock in file-time form: 100-nanosecond units since 1601-01-01 UTC.
#pragma once

#include <cstdint>

namespace qv {

uint64_t SystemTimeNow();

// Conversions between UTC and the machine's local time zone (daylight saving included,
// for the instant being converted). False when the instant cannot be converted.
bool UtcToLocalTime(uint64_t utc, uint64_t& local);
bool LocalTimeToUtc(uint64_t local, uint64_t& utc);

}  // namespace qv
