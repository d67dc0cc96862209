// Wall-clock times in 100-nanosecond units (file-time form, counted from 1601-01-01), with a
// kind tag that says where the count came from; and elapsed times, which are measured on the
// monotonic clock instead.
#pragma once

#include <cstdint>

namespace qv {

// A calendar time, laid out like the system's: month 1-12, day of week 0 (Sunday) to 6.
struct CALENDAR_TIME {
    uint16_t Year = 0;
    uint16_t Month = 0;
    uint16_t DayOfWeek = 0;
    uint16_t Day = 0;
    uint16_t Hour = 0;
    uint16_t Minute = 0;
    uint16_t Second = 0;
    uint16_t Milliseconds = 0;
};

constexpr uint64_t TICKS_PER_MILLISECOND = 10000;
constexpr uint64_t TICKS_PER_SECOND = 10000000;
// 1970-01-01 00:00 UTC, where event records and POSIX count their seconds from.
constexpr uint64_t UNIX_EPOCH_TICKS = 116444736000000000ULL;

class TIME_VALUE {
public:
    enum KIND : uint32_t {
        ABSOLUTE = 0,  // UTC file time from the clock or a calendar time
        COMPUTED = 1,  // an absolute count that arithmetic produced
        DUE_TIME = 2,  // a waitable timer's due time: absolute, or a negated span
    };

    uint64_t Count = 0;
    KIND Kind = ABSOLUTE;

    static TIME_VALUE Now();
    // False when the calendar time is not a valid date and time (1601 onwards).
    static bool FromCalendar(const CALENDAR_TIME& calendar, TIME_VALUE& value);
    static TIME_VALUE FromTicks(uint64_t ticks);

    TIME_VALUE AddTicks(int64_t ticks) const;
    bool ToCalendar(CALENDAR_TIME& calendar) const;
    // Reads this value as a local time and converts it to UTC (and the reverse).
    bool LocalToUtc(TIME_VALUE& utc) const;
    bool UtcToLocal(TIME_VALUE& local) const;

    TIME_VALUE AsAbsoluteDueTime() const;
    static TIME_VALUE RelativeDueTime(uint64_t spanTicks);
    // The signed form a waitable timer takes: positive absolute, negative relative.
    int64_t DueTime() const { return static_cast<int64_t>(Count); }
};

// Where the program reads the time: the system's clocks, a test's settable ones, or a dry run's,
// which follow the records it replays.
class TIME_SOURCE {
public:
    virtual ~TIME_SOURCE() = default;
    virtual uint64_t WallClock() = 0;  // file-time form, as SystemTimeNow
    virtual uint64_t MonotonicMilliseconds() = 0;
};
// Null puts the system's clocks back.
void SetTimeSource(TIME_SOURCE* source);

// Elapsed time on the monotonic clock: a step of the wall clock, back or forward, changes
// neither an elapsed time nor anything timed by one (waits, time-to-live, heartbeats).
class STOPWATCH {
public:
    // Started now.
    STOPWATCH();
    void Restart();
    uint64_t ElapsedMilliseconds() const;
    // The start, in the monotonic clock's milliseconds.
    uint64_t Started() const { return Start; }

    static uint64_t Now();

private:
    uint64_t Start;
};

}  // namespace qv
