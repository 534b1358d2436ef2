// Calendar time to FILETIME count, the conversion SystemTimeToFileTime makes:
// no time-zone shift, 100 ns units since 1601-01-01 00:00.
#ifndef ORV_PLATFORM_CIVIL_TIME_H
#define ORV_PLATFORM_CIVIL_TIME_H

#include <cstdint>

namespace orv::platform {

struct CivilTime {
  int year;
  int month;  // 1..12
  int day;    // 1..31
  int hour;
  int minute;
  int second;  // a leap second (60) counts as 59
  int millisecond;
};

// Days from 1601-01-01 to the given proleptic Gregorian date.
constexpr std::int64_t DaysSince1601(int year, int month, int day) {
  // Shift the year to start in March so the leap day comes last.
  const std::int64_t y = static_cast<std::int64_t>(year) - (month <= 2 ? 1 : 0);
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const std::int64_t yearOfEra = y - era * 400;
  const std::int64_t monthFromMarch = (month + 9) % 12;
  const std::int64_t dayOfYear = (153 * monthFromMarch + 2) / 5 + day - 1;
  const std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  const std::int64_t daysSince1970 = era * 146097 + dayOfEra - 719468;
  return daysSince1970 + 134774;  // 1601-01-01 .. 1970-01-01
}

constexpr std::uint64_t CivilToFileTime(const CivilTime& t) {
  const int second = t.second > 59 ? 59 : t.second;
  const std::int64_t days = DaysSince1601(t.year, t.month, t.day);
  const std::int64_t ms =
      ((days * 24 + t.hour) * 60 + t.minute) * 60000LL + second * 1000LL + t.millisecond;
  return static_cast<std::uint64_t>(ms) * 10000ULL;
}

static_assert(DaysSince1601(1601, 1, 1) == 0, "epoch");
static_assert(CivilToFileTime({1970, 1, 1, 0, 0, 0, 0}) == 116444736000000000ULL, "Unix epoch");

}  // namespace orv::platform

#endif  // ORV_PLATFORM_CIVIL_TIME_H
