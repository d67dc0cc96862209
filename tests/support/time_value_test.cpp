// TIME_VALUE over the system clock: calendar arithmetic, due times, and local/UTC conversion.
#include "support/time_value.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <string>

#include "base/error_codes.h"
#include "platform/clock.h"
#include "platform/last_error.h"
#include "platform/wait.h"
#include "tests/support/settable_clock.h"
#include "tests/test_time.h"

namespace qv {
namespace {

constexpr uint64_t TICKS_PER_DAY = 864000000000ULL;
constexpr uint64_t UNIX_EPOCH = 116444736000000000ULL;  // 1970-01-01 as a file time

using test::Calendar;

void ExpectSameCalendar(const CALENDAR_TIME& expected, const CALENDAR_TIME& actual) {
    EXPECT_EQ(actual.Year, expected.Year);
    EXPECT_EQ(actual.Month, expected.Month);
    EXPECT_EQ(actual.Day, expected.Day);
    EXPECT_EQ(actual.Hour, expected.Hour);
    EXPECT_EQ(actual.Minute, expected.Minute);
    EXPECT_EQ(actual.Second, expected.Second);
    EXPECT_EQ(actual.Milliseconds, expected.Milliseconds);
}

// --- the system clock -----------------------------------------------------------------------------

TEST(ClockTest, SystemTimeMatchesTheStandardClock) {
    const auto since1970 = std::chrono::system_clock::now().time_since_epoch();
    const uint64_t expected =
        UNIX_EPOCH + static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(since1970).count()) * 10;
    const uint64_t now = SystemTimeNow();
    const uint64_t difference = now > expected ? now - expected : expected - now;
    EXPECT_LT(difference, 5 * TICKS_PER_SECOND);
    EXPECT_LE(now, SystemTimeNow() + TICKS_PER_SECOND);
}

// --- calendar conversions -------------------------------------------------------------------------

TEST(CalendarTest, FirstDayIsCountZeroAndAMonday) {
    TIME_VALUE value;
    value.Kind = TIME_VALUE::DUE_TIME;
    ASSERT_TRUE(TIME_VALUE::FromCalendar(Calendar(1601, 1, 1), value));
    EXPECT_EQ(value.Count, 0u);
    EXPECT_EQ(value.Kind, TIME_VALUE::ABSOLUTE);
    CALENDAR_TIME back;
    ASSERT_TRUE(value.ToCalendar(back));
    ExpectSameCalendar(Calendar(1601, 1, 1), back);
    EXPECT_EQ(back.DayOfWeek, 1);
}

TEST(CalendarTest, UnixEpochAndLeapDay) {
    TIME_VALUE epoch;
    ASSERT_TRUE(TIME_VALUE::FromCalendar(Calendar(1970, 1, 1), epoch));
    EXPECT_EQ(epoch.Count, UNIX_EPOCH);
    CALENDAR_TIME back;
    ASSERT_TRUE(epoch.ToCalendar(back));
    EXPECT_EQ(back.DayOfWeek, 4);  // Thursday

    CALENDAR_TIME leapDay = Calendar(2000, 2, 29, 12, 34, 56, 789);
    leapDay.DayOfWeek = 6;  // ignored on input
    TIME_VALUE value;
    ASSERT_TRUE(TIME_VALUE::FromCalendar(leapDay, value));
    // 2000-01-01 is 10957 days after 1970-01-01; the leap day is 59 days later.
    const uint64_t expected = UNIX_EPOCH + (10957 + 59) * TICKS_PER_DAY + (12 * 3600 + 34 * 60 + 56) * TICKS_PER_SECOND +
                              789 * TICKS_PER_MILLISECOND;
    EXPECT_EQ(value.Count, expected);
    ASSERT_TRUE(value.ToCalendar(back));
    ExpectSameCalendar(leapDay, back);
    EXPECT_EQ(back.DayOfWeek, 2);  // Tuesday
}

TEST(CalendarTest, LastMillisecondOf2026) {
    const CALENDAR_TIME last = Calendar(2026, 12, 31, 23, 59, 59, 999);
    TIME_VALUE value;
    ASSERT_TRUE(TIME_VALUE::FromCalendar(last, value));
    TIME_VALUE next;
    ASSERT_TRUE(TIME_VALUE::FromCalendar(Calendar(2027, 1, 1), next));
    EXPECT_EQ(next.Count - value.Count, TICKS_PER_MILLISECOND);
    CALENDAR_TIME back;
    ASSERT_TRUE(value.ToCalendar(back));
    ExpectSameCalendar(last, back);
    EXPECT_EQ(back.DayOfWeek, 4);  // Thursday
}

TEST(CalendarTest, SubMillisecondTicksAreDroppedByToCalendar) {
    TIME_VALUE value;
    ASSERT_TRUE(TIME_VALUE::FromCalendar(Calendar(2024, 6, 1, 8, 0, 0, 5), value));
    CALENDAR_TIME back;
    ASSERT_TRUE(value.AddTicks(9999).ToCalendar(back));
    EXPECT_EQ(back.Milliseconds, 5);
}

TEST(CalendarTest, InvalidFieldsAreRejected) {
    const CALENDAR_TIME invalid[] = {
        Calendar(2023, 2, 29),  Calendar(1900, 2, 29),          Calendar(2024, 4, 31),
        Calendar(2024, 0, 1),   Calendar(2024, 13, 1),          Calendar(2024, 1, 0),
        Calendar(2024, 1, 32),  Calendar(2024, 1, 1, 24),       Calendar(2024, 1, 1, 0, 60),
        Calendar(2024, 1, 1, 0, 0, 60), Calendar(2024, 1, 1, 0, 0, 0, 1000), Calendar(1600, 12, 31),
        Calendar(30828, 1, 1),
    };
    for (const CALENDAR_TIME& calendar : invalid) {
        TIME_VALUE value;
        value.Count = 77;
        SetLastErrorCode(ERR_SUCCESS);
        EXPECT_FALSE(TIME_VALUE::FromCalendar(calendar, value))
            << calendar.Year << "-" << calendar.Month << "-" << calendar.Day << " " << calendar.Hour << ":"
            << calendar.Minute << ":" << calendar.Second << "." << calendar.Milliseconds;
        EXPECT_EQ(GetLastErrorCode(), ERR_INVALID_PARAMETER);
        EXPECT_EQ(value.Count, 77u);
    }
    TIME_VALUE value;
    EXPECT_TRUE(TIME_VALUE::FromCalendar(Calendar(2024, 2, 29), value));
    EXPECT_TRUE(TIME_VALUE::FromCalendar(Calendar(30827, 12, 31, 23, 59, 59, 999), value));
}

TEST(CalendarTest, CountsWithTheTopBitSetAreRejected) {
    CALENDAR_TIME calendar;
    SetLastErrorCode(ERR_SUCCESS);
    EXPECT_FALSE(TIME_VALUE::FromTicks(0x8000000000000000ULL).ToCalendar(calendar));
    EXPECT_EQ(GetLastErrorCode(), ERR_INVALID_PARAMETER);
    EXPECT_TRUE(TIME_VALUE::FromTicks(0x7FFFFFFFFFFFFFFFULL).ToCalendar(calendar));
    EXPECT_EQ(calendar.Year, 30828);
}

// Every day from 1601 to 2500 against the standard library's calendar, and back.
TEST(CalendarTest, EveryDayAgreesWithTheStandardCalendar) {
    using namespace std::chrono;
    const sys_days first = sys_days{year{1601} / January / 1};
    const sys_days last = sys_days{year{2500} / December / 31};
    uint64_t dayNumber = 0;
    for (sys_days day = first; day <= last; day += days{1}, ++dayNumber) {
        const year_month_day expected{day};
        const weekday expectedWeekday{day};
        const TIME_VALUE value = TIME_VALUE::FromTicks(dayNumber * TICKS_PER_DAY + 3723004 * TICKS_PER_MILLISECOND);
        CALENDAR_TIME calendar;
        ASSERT_TRUE(value.ToCalendar(calendar));
        ASSERT_EQ(calendar.Year, static_cast<int>(expected.year())) << "day " << dayNumber;
        ASSERT_EQ(calendar.Month, static_cast<unsigned>(expected.month())) << "day " << dayNumber;
        ASSERT_EQ(calendar.Day, static_cast<unsigned>(expected.day())) << "day " << dayNumber;
        ASSERT_EQ(calendar.DayOfWeek, expectedWeekday.c_encoding()) << "day " << dayNumber;
        ASSERT_EQ(calendar.Hour, 1);
        ASSERT_EQ(calendar.Minute, 2);
        ASSERT_EQ(calendar.Second, 3);
        ASSERT_EQ(calendar.Milliseconds, 4);
        TIME_VALUE back;
        ASSERT_TRUE(TIME_VALUE::FromCalendar(calendar, back));
        ASSERT_EQ(back.Count, value.Count) << "day " << dayNumber;
    }
}

// --- kinds, arithmetic and due times ----------------------------------------------------------------

TEST(TimeValueTest, KindsFollowWhereTheCountCameFrom) {
    const uint64_t before = SystemTimeNow();
    const TIME_VALUE now = TIME_VALUE::Now();
    const uint64_t after = SystemTimeNow();
    EXPECT_EQ(now.Kind, TIME_VALUE::ABSOLUTE);
    EXPECT_GE(now.Count, before);
    EXPECT_LE(now.Count, after);

    const TIME_VALUE ticks = TIME_VALUE::FromTicks(123456789);
    EXPECT_EQ(ticks.Kind, TIME_VALUE::COMPUTED);
    EXPECT_EQ(ticks.Count, 123456789u);

    const TIME_VALUE later = now.AddTicks(5000);
    EXPECT_EQ(later.Kind, TIME_VALUE::COMPUTED);
    EXPECT_EQ(later.Count, now.Count + 5000);
    EXPECT_EQ(later.AddTicks(-5000).Count, now.Count);
    EXPECT_EQ(now.Count, now.AddTicks(0).Count);
}

TEST(TimeValueTest, DueTimes) {
    const TIME_VALUE absolute = TIME_VALUE::FromTicks(133000000000000000ULL).AsAbsoluteDueTime();
    EXPECT_EQ(absolute.Kind, TIME_VALUE::DUE_TIME);
    EXPECT_EQ(absolute.Count, 133000000000000000ULL);
    EXPECT_EQ(absolute.DueTime(), 133000000000000000LL);

    const TIME_VALUE relative = TIME_VALUE::RelativeDueTime(30 * TICKS_PER_SECOND);
    EXPECT_EQ(relative.Kind, TIME_VALUE::DUE_TIME);
    EXPECT_EQ(relative.DueTime(), -300000000LL);
    EXPECT_EQ(relative.Count, static_cast<uint64_t>(-300000000LL));
    EXPECT_EQ(TIME_VALUE::RelativeDueTime(0).DueTime(), 0);
}

TEST(StopwatchTest, ElapsedTimeIgnoresStepsOfTheWallClock) {
    test::SETTABLE_CLOCK clock;
    const STOPWATCH stopwatch;
    const TIME_VALUE before = TIME_VALUE::Now();
    clock.StepWallClock(-3600 * 1000);  // time synchronisation sets the clock an hour back
    EXPECT_LT(TIME_VALUE::Now().Count, before.Count);
    EXPECT_LT(stopwatch.ElapsedMilliseconds(), 1000u);
    clock.StepWallClock(2 * 3600 * 1000);  // and then an hour ahead
    EXPECT_LT(stopwatch.ElapsedMilliseconds(), 1000u);

    clock.Advance(90000);  // a minute and a half passes
    EXPECT_GE(stopwatch.ElapsedMilliseconds(), 90000u);
    EXPECT_LT(stopwatch.ElapsedMilliseconds(), 91000u);
}

// --- local time ---------------------------------------------------------------------------------------

TEST(LocalTimeTest, RoundTripKeepsTheWholeCount) {
    for (const CALENDAR_TIME& calendar : {Calendar(2026, 1, 15, 12), Calendar(2026, 7, 15, 12), Calendar(1999, 3, 1)}) {
        TIME_VALUE utc;
        ASSERT_TRUE(TIME_VALUE::FromCalendar(calendar, utc));
        utc = utc.AddTicks(1234567);  // below a second, and below a millisecond
        TIME_VALUE local;
        ASSERT_TRUE(utc.UtcToLocal(local));
        EXPECT_EQ(local.Kind, TIME_VALUE::ABSOLUTE);
        // Time zones lie within a day of UTC, and their offsets are whole minutes.
        const uint64_t offset = local.Count > utc.Count ? local.Count - utc.Count : utc.Count - local.Count;
        EXPECT_LE(offset, TICKS_PER_DAY);
        EXPECT_EQ(offset % (60 * TICKS_PER_SECOND), 0u);
        TIME_VALUE back;
        ASSERT_TRUE(local.LocalToUtc(back));
        EXPECT_EQ(back.Kind, TIME_VALUE::ABSOLUTE);
        EXPECT_EQ(back.Count, utc.Count);
    }
}

TEST(LocalTimeTest, CountsWithTheTopBitSetAreRejected) {
    uint64_t converted = 0;
    EXPECT_FALSE(UtcToLocalTime(0x8000000000000000ULL, converted));
    EXPECT_FALSE(LocalTimeToUtc(0x8000000000000000ULL, converted));
}

#if !defined(_WIN32)
// On POSIX the zone comes from TZ, so a rule-based zone checks the daylight-saving switch
// without depending on the machine's zone database.
class ZONE_OVERRIDE {
public:
    explicit ZONE_OVERRIDE(const char* zone) {
        const char* old = std::getenv("TZ");
        HadZone = old != nullptr;
        if (HadZone) OldZone = old;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ZONE_OVERRIDE() {
        if (HadZone) {
            setenv("TZ", OldZone.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }

private:
    bool HadZone = false;
    std::string OldZone;
};

TEST(LocalTimeTest, DaylightSavingFollowsTheInstant) {
    const ZONE_OVERRIDE zone("CET-1CEST,M3.5.0,M10.5.0/3");
    TIME_VALUE winter;
    TIME_VALUE summer;
    ASSERT_TRUE(TIME_VALUE::FromCalendar(Calendar(2026, 1, 15, 12), winter));
    ASSERT_TRUE(TIME_VALUE::FromCalendar(Calendar(2026, 7, 15, 12), summer));
    TIME_VALUE local;
    ASSERT_TRUE(winter.UtcToLocal(local));
    EXPECT_EQ(local.Count - winter.Count, 3600 * TICKS_PER_SECOND);
    ASSERT_TRUE(summer.UtcToLocal(local));
    EXPECT_EQ(local.Count - summer.Count, 7200 * TICKS_PER_SECOND);

    // 14:00 local on a summer day is 12:00 UTC.
    TIME_VALUE localNoon;
    ASSERT_TRUE(TIME_VALUE::FromCalendar(Calendar(2026, 7, 15, 14, 0, 0, 250), localNoon));
    TIME_VALUE utc;
    ASSERT_TRUE(localNoon.LocalToUtc(utc));
    EXPECT_EQ(utc.Count, summer.Count + 250 * TICKS_PER_MILLISECOND);
}
#endif

TEST(TimerTest, TimeValueDueTimesDriveTheTimer) {
    WAITABLE_TIMER timer = [] { WAITABLE_TIMER timer; EXPECT_TRUE(timer.Create(false)); return timer; }();
    ASSERT_TRUE(timer.Set(TIME_VALUE::RelativeDueTime(20 * TICKS_PER_MILLISECOND).DueTime()));
    EXPECT_EQ(WaitForOne(timer, 5000), 0u);
    ASSERT_TRUE(timer.Set(TIME_VALUE::Now().AddTicks(20 * TICKS_PER_MILLISECOND).AsAbsoluteDueTime().DueTime()));
    EXPECT_EQ(WaitForOne(timer, 5000), 0u);
}

}  // namespace
}  // namespace qv
