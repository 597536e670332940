// File times (100-ns ticks since 1601-01-01 00:00:00 UTC) as calendar fields, proleptic
// Gregorian, exact over the whole accepted range.
#pragma once

#include <cstdint>

namespace keymend {

struct CalendarTime {
    uint16_t year = 0;
    uint16_t month = 0;  // 1..12
    uint16_t day = 0;    // 1..31
    uint16_t hour = 0;
    uint16_t minute = 0;
    uint16_t second = 0;
    uint16_t millisecond = 0;
};

// Ticks of 2^63 and above fail (years past 30828), as the platform call this replaces does.
bool FileTimeToCalendar(uint64_t fileTime, CalendarTime* out);

}  // namespace keymend
