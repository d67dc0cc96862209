// Time values in file-time form. The calendar conversions are plain arithmetic on the
// proleptic Gregorian calendar, so they behave the same on every platform and need no
// system call; only Now and the time-zone conversions ask the system.
#include "support/time_value.h"

#include <atomic>

#include "base/error_codes.h"
#include "platform/clock.h"
#include "platform/last_error.h"

namespace qv {

namespace {

constexpr uint64_t TICKS_PER_MINUTE = 60 * TICKS_PER_SECOND;
constexpr uint64_t TICKS_PER_HOUR = 60 * TICKS_PER_MINUTE;
constexpr uint64_t TICKS_PER_DAY = 24 * TICKS_PER_HOUR;
constexpr uint16_t FIRST_YEAR = 1601;
constexpr uint16_t LAST_YEAR = 30827;
// The system refuses counts with the top bit set; so does ToCalendar.
constexpr uint64_t LARGEST_COUNT = 0x7FFFFFFFFFFFFFFFULL;
// 1601-01-01 (day 0) was a Monday; day of week counts from Sunday = 0.
constexpr uint64_t FIRST_DAY_OF_WEEK = 1;

bool IsLeapYear(uint32_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

uint32_t DaysInMonth(uint32_t year, uint32_t month) {
    static constexpr uint8_t DAYS[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeapYear(year) ? 29u : DAYS[month - 1];
}

// Days from 1601-01-01 to the given date. The year is counted from March so that the leap day
// falls at the end of the counting year; 1600 begins a 400-year cycle.
uint64_t DaysSince1601(uint32_t year, uint32_t month, uint32_t day) {
    const uint32_t y = month <= 2 ? year - 1 : year;          // >= 1600
    const uint32_t cycleYear = y - 1600;                      // years since 1600-03-01
    const uint32_t marchMonth = month <= 2 ? month + 9 : month - 3;  // 0 = March
    const uint32_t dayOfYear = (153 * marchMonth + 2) / 5 + day - 1;
    const uint64_t days = static_cast<uint64_t>(cycleYear) * 365 + cycleYear / 4 - cycleYear / 100 +
                          cycleYear / 400 + dayOfYear;
    // 1600-03-01 to 1601-01-01 is 306 days.
    return days - 306;
}

// The reverse: the date of a day counted from 1601-01-01.
void DateFromDays(uint64_t daysSince1601, uint32_t& year, uint32_t& month, uint32_t& day) {
    const uint64_t days = daysSince1601 + 306;  // counted from 1600-03-01
    const uint64_t era = days / 146097;
    const uint64_t dayOfEra = days % 146097;
    const uint64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const uint64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const uint64_t marchMonth = (5 * dayOfYear + 2) / 153;
    day = static_cast<uint32_t>(dayOfYear - (153 * marchMonth + 2) / 5 + 1);
    month = static_cast<uint32_t>(marchMonth < 10 ? marchMonth + 3 : marchMonth - 9);
    year = static_cast<uint32_t>(1600 + era * 400 + yearOfEra + (month <= 2 ? 1 : 0));
}

}  // namespace

namespace {

std::atomic<TIME_SOURCE*> ChosenTimeSource{nullptr};

}  // namespace

void SetTimeSource(TIME_SOURCE* source) { ChosenTimeSource.store(source); }

TIME_VALUE TIME_VALUE::Now() {
    TIME_SOURCE* source = ChosenTimeSource.load();
    return TIME_VALUE{source != nullptr ? source->WallClock() : SystemTimeNow(), ABSOLUTE};
}

uint64_t STOPWATCH::Now() {
    TIME_SOURCE* source = ChosenTimeSource.load();
    return source != nullptr ? source->MonotonicMilliseconds() : MonotonicMilliseconds();
}

STOPWATCH::STOPWATCH() : Start(Now()) {}

void STOPWATCH::Restart() { Start = Now(); }

uint64_t STOPWATCH::ElapsedMilliseconds() const {
    const uint64_t now = Now();
    return now > Start ? now - Start : 0;
}

bool TIME_VALUE::FromCalendar(const CALENDAR_TIME& calendar, TIME_VALUE& value) {
    if (calendar.Year < FIRST_YEAR || calendar.Year > LAST_YEAR || calendar.Month < 1 || calendar.Month > 12 ||
        calendar.Day < 1 || calendar.Day > DaysInMonth(calendar.Year, calendar.Month) || calendar.Hour > 23 ||
        calendar.Minute > 59 || calendar.Second > 59 || calendar.Milliseconds > 999) {
        SetLastErrorCode(ERR_INVALID_PARAMETER);
        return false;
    }
    const uint64_t days = DaysSince1601(calendar.Year, calendar.Month, calendar.Day);
    value.Count = days * TICKS_PER_DAY + calendar.Hour * TICKS_PER_HOUR + calendar.Minute * TICKS_PER_MINUTE +
                  calendar.Second * TICKS_PER_SECOND + calendar.Milliseconds * TICKS_PER_MILLISECOND;
    value.Kind = ABSOLUTE;
    return true;
}

TIME_VALUE TIME_VALUE::FromTicks(uint64_t ticks) { return TIME_VALUE{ticks, COMPUTED}; }

TIME_VALUE TIME_VALUE::AddTicks(int64_t ticks) const {
    // Unsigned arithmetic: wraps like the system's 64-bit counts, never undefined.
    return TIME_VALUE{Count + static_cast<uint64_t>(ticks), COMPUTED};
}

bool TIME_VALUE::ToCalendar(CALENDAR_TIME& calendar) const {
    if (Count > LARGEST_COUNT) {
        SetLastErrorCode(ERR_INVALID_PARAMETER);
        return false;
    }
    const uint64_t days = Count / TICKS_PER_DAY;
    uint64_t rest = Count % TICKS_PER_DAY;
    uint32_t year = 0;
    uint32_t month = 0;
    uint32_t day = 0;
    DateFromDays(days, year, month, day);
    calendar.Year = static_cast<uint16_t>(year);
    calendar.Month = static_cast<uint16_t>(month);
    calendar.Day = static_cast<uint16_t>(day);
    calendar.DayOfWeek = static_cast<uint16_t>((days + FIRST_DAY_OF_WEEK) % 7);
    calendar.Hour = static_cast<uint16_t>(rest / TICKS_PER_HOUR);
    rest %= TICKS_PER_HOUR;
    calendar.Minute = static_cast<uint16_t>(rest / TICKS_PER_MINUTE);
    rest %= TICKS_PER_MINUTE;
    calendar.Second = static_cast<uint16_t>(rest / TICKS_PER_SECOND);
    rest %= TICKS_PER_SECOND;
    calendar.Milliseconds = static_cast<uint16_t>(rest / TICKS_PER_MILLISECOND);
    return true;
}

bool TIME_VALUE::LocalToUtc(TIME_VALUE& utc) const {
    uint64_t converted = 0;
    if (!LocalTimeToUtc(Count, converted)) return false;
    utc = TIME_VALUE{converted, ABSOLUTE};
    return true;
}

bool TIME_VALUE::UtcToLocal(TIME_VALUE& local) const {
    uint64_t converted = 0;
    if (!UtcToLocalTime(Count, converted)) return false;
    local = TIME_VALUE{converted, ABSOLUTE};
    return true;
}

TIME_VALUE TIME_VALUE::AsAbsoluteDueTime() const { return TIME_VALUE{Count, DUE_TIME}; }

TIME_VALUE TIME_VALUE::RelativeDueTime(uint64_t spanTicks) {
    // The negated span, computed unsigned: the same bits as -(int64_t)span without overflow.
    return TIME_VALUE{0u - spanTicks, DUE_TIME};
}


}  // namespace qv
