// The system clock on Windows. The time-zone conversions go through SYSTEMTIME, which holds
// whole milliseconds only, so the part below a millisecond is carried across separately.
#include "platform/clock.h"

#include "platform/win32/win32.h"

namespace qv {

namespace {

constexpr uint64_t TICKS_PER_MILLISECOND_VALUE = 10000;
// Windows refuses file times with the top bit set; Wine does not, so the limit is checked here.
constexpr uint64_t LARGEST_FILE_TIME = 0x7FFFFFFFFFFFFFFFULL;

bool CheckRange(uint64_t value) {
    if (value <= LARGEST_FILE_TIME) return true;
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
}

FILETIME ToFileTime(uint64_t value) {
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(value);
    time.dwHighDateTime = static_cast<DWORD>(value >> 32);
    return time;
}

uint64_t FromFileTime(const FILETIME& time) {
    return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

}  // namespace

uint64_t SystemTimeNow() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return FromFileTime(now);
}

uint64_t MonotonicMilliseconds() { return GetTickCount64(); }

bool UtcToLocalTime(uint64_t utc, uint64_t& local) {
    if (!CheckRange(utc)) return false;
    const FILETIME utcTime = ToFileTime(utc - utc % TICKS_PER_MILLISECOND_VALUE);
    SYSTEMTIME utcFields;
    SYSTEMTIME localFields;
    FILETIME localTime;
    if (FileTimeToSystemTime(&utcTime, &utcFields) == FALSE ||
        SystemTimeToTzSpecificLocalTime(nullptr, &utcFields, &localFields) == FALSE ||
        SystemTimeToFileTime(&localFields, &localTime) == FALSE) {
        return false;
    }
    local = FromFileTime(localTime) + utc % TICKS_PER_MILLISECOND_VALUE;
    return true;
}

bool LocalTimeToUtc(uint64_t local, uint64_t& utc) {
    if (!CheckRange(local)) return false;
    const FILETIME localTime = ToFileTime(local - local % TICKS_PER_MILLISECOND_VALUE);
    SYSTEMTIME localFields;
    SYSTEMTIME utcFields;
    FILETIME utcTime;
    if (FileTimeToSystemTime(&localTime, &localFields) == FALSE ||
        TzSpecificLocalTimeToSystemTime(nullptr, &localFields, &utcFields) == FALSE ||
        SystemTimeToFileTime(&utcFields, &utcTime) == FALSE) {
        return false;
    }
    utc = FromFileTime(utcTime) + local % TICKS_PER_MILLISECOND_VALUE;
    return true;
}

}  // namespace qv
