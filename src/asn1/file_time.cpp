#include "asn1/file_time.h"

namespace keymend {

namespace {

constexpr uint64_t kTicksPerSecond = 10'000'000;
constexpr uint64_t kSecondsPerDay = 86'400;

// Days since 0000-03-01 of the proleptic Gregorian calendar to year/month/day (the
// era-of-400-years method: every era has exactly 146,097 days).
void CivilFromDays(uint64_t days, uint64_t* year, uint32_t* month, uint32_t* day) {
    const uint64_t era = days / 146'097;
    const uint64_t dayOfEra = days % 146'097;
    const uint64_t yearOfEra =
        (dayOfEra - dayOfEra / 1'460 + dayOfEra / 36'524 - dayOfEra / 146'096) / 365;
    const uint64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const uint64_t monthFromMarch = (5 * dayOfYear + 2) / 153;
    *day = static_cast<uint32_t>(dayOfYear - (153 * monthFromMarch + 2) / 5 + 1);
    *month = static_cast<uint32_t>(monthFromMarch < 10 ? monthFromMarch + 3 : monthFromMarch - 9);
    *year = era * 400 + yearOfEra + (*month <= 2 ? 1 : 0);
}

// 1601-01-01 counted from 0000-03-01.
constexpr uint64_t kDaysTo1601 = 584'694;

}  // namespace

bool FileTimeToCalendar(uint64_t fileTime, CalendarTime* out) {
    if (fileTime >= (uint64_t{1} << 63)) return false;
    const uint64_t seconds = fileTime / kTicksPerSecond;
    const uint64_t days = seconds / kSecondsPerDay;
    const uint64_t secondOfDay = seconds % kSecondsPerDay;
    uint64_t year = 0;
    uint32_t month = 0, day = 0;
    CivilFromDays(days + kDaysTo1601, &year, &month, &day);
    out->year = static_cast<uint16_t>(year);
    out->month = static_cast<uint16_t>(month);
    out->day = static_cast<uint16_t>(day);
    out->hour = static_cast<uint16_t>(secondOfDay / 3600);
    out->minute = static_cast<uint16_t>(secondOfDay / 60 % 60);
    out->second = static_cast<uint16_t>(secondOfDay % 60);
    out->millisecond = static_cast<uint16_t>(fileTime % kTicksPerSecond / 10'000);
    return true;
}

}  // namespace keymend
