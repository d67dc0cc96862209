// Calendar times for tests, written the way people read them.
#pragma once

#include <cstdint>

#include "support/time_value.h"

namespace qv::test {

inline CALENDAR_TIME Calendar(uint16_t year, uint16_t month, uint16_t day, uint16_t hour = 0, uint16_t minute = 0,
                              uint16_t second = 0, uint16_t milliseconds = 0) {
    CALENDAR_TIME calendar;
    calendar.Year = year;
    calendar.Month = month;
    calendar.Day = day;
    calendar.Hour = hour;
    calendar.Minute = minute;
    calendar.Second = second;
    calendar.Milliseconds = milliseconds;
    return calendar;
}

}  // namespace qv::test
