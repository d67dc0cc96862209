// The system clock on POSIX, in file-time form. The time-zone conversions go through the C
// library (localtime_r / mktime), which applies the zone's rules, daylight saving included,
// for the instant being converted; the part below one second is carried across unchanged.
#include "platform/clock.h"

#include <time.h>

#include <cerrno>

#include "base/error_codes.h"
#include "platform/last_error.h"

namespace qv {

namespace {

constexpr int64_t UNIX_EPOCH_FILE_TIME = 116444736000000000LL;
constexpr int64_t TICKS_PER_SECOND_VALUE = 10000000;
// Windows refuses file times with the top bit set; the same limit keeps the signed arithmetic
// below free of overflow.
constexpr uint64_t LARGEST_FILE_TIME = 0x7FFFFFFFFFFFFFFFULL;

// Splits a file time into Unix seconds (rounded down) and the 100-ns remainder.
void Split(uint64_t fileTime, time_t& seconds, int64_t& remainder) {
    const int64_t sinceEpoch = static_cast<int64_t>(fileTime) - UNIX_EPOCH_FILE_TIME;
    int64_t whole = sinceEpoch / TICKS_PER_SECOND_VALUE;
    remainder = sinceEpoch % TICKS_PER_SECOND_VALUE;
    if (remainder < 0) {
        remainder += TICKS_PER_SECOND_VALUE;
        whole -= 1;
    }
    seconds = static_cast<time_t>(whole);
}

bool Join(time_t seconds, int64_t remainder, uint64_t& fileTime) {
    const int64_t whole = static_cast<int64_t>(seconds);
    // Keeps the result within 0 .. LARGEST_FILE_TIME.
    const int64_t lowest = -UNIX_EPOCH_FILE_TIME / TICKS_PER_SECOND_VALUE;
    const int64_t highest = (static_cast<int64_t>(LARGEST_FILE_TIME) - UNIX_EPOCH_FILE_TIME) / TICKS_PER_SECOND_VALUE - 1;
    if (whole < lowest || whole > highest) {
        SetLastErrorCode(ERR_INVALID_PARAMETER);
        return false;
    }
    fileTime = static_cast<uint64_t>(whole * TICKS_PER_SECOND_VALUE + UNIX_EPOCH_FILE_TIME + remainder);
    return true;
}

}  // namespace

uint64_t SystemTimeNow() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<uint64_t>(static_cast<int64_t>(now.tv_sec) * TICKS_PER_SECOND_VALUE + now.tv_nsec / 100 +
                                 UNIX_EPOCH_FILE_TIME);
}

uint64_t MonotonicMilliseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_nsec) / 1000000;
}

bool UtcToLocalTime(uint64_t utc, uint64_t& local) {
    if (utc > LARGEST_FILE_TIME) {
        SetLastErrorCode(ERR_INVALID_PARAMETER);
        return false;
    }
    time_t seconds = 0;
    int64_t remainder = 0;
    Split(utc, seconds, remainder);
    tm fields{};
    if (localtime_r(&seconds, &fields) == nullptr) {
        SetLastErrorCode(ErrorFromErrno(errno));
        return false;
    }
    // The zone's offset at that instant, daylight saving included.
    return Join(seconds + static_cast<time_t>(fields.tm_gmtoff), remainder, local);
}

bool LocalTimeToUtc(uint64_t local, uint64_t& utc) {
    if (local > LARGEST_FILE_TIME) {
        SetLastErrorCode(ERR_INVALID_PARAMETER);
        return false;
    }
    time_t seconds = 0;
    int64_t remainder = 0;
    Split(local, seconds, remainder);
    // The local calendar fields, read as if the count were UTC, then handed to mktime, which
    // finds the instant that shows those fields in the local zone.
    tm fields{};
    if (gmtime_r(&seconds, &fields) == nullptr) {
        SetLastErrorCode(ErrorFromErrno(errno));
        return false;
    }
    fields.tm_isdst = -1;
    errno = 0;
    const time_t instant = mktime(&fields);
    if (instant == static_cast<time_t>(-1) && errno != 0) {
        SetLastErrorCode(ErrorFromErrno(errno));
        return false;
    }
    return Join(instant, remainder, utc);
}

}  // namespace qv
