// Calendar dates as the episode fields write them: YYYYMMDD numbers, checked
// against the real calendar (unlike the grouping's own age count, which
// keeps its rule).
#pragma once

#include <cstdint>

namespace grouper {

struct CivilDate {
  int32_t year = 0;
  int32_t month = 0;
  int32_t day = 0;
};

constexpr CivilDate civil_of(int32_t yyyymmdd) {
  return {yyyymmdd / 10000, yyyymmdd / 100 % 100, yyyymmdd % 100};
}
constexpr int32_t yyyymmdd_of(CivilDate d) { return d.year * 10000 + d.month * 100 + d.day; }

constexpr bool is_leap_year(int32_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

constexpr int32_t days_in_month(int32_t y, int32_t m) {
  constexpr int32_t kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && is_leap_year(y) ? 29 : kDays[m - 1];
}

// A real date of the years 1 to 9999 (what eight digits can write).
constexpr bool is_calendar_date(int32_t yyyymmdd) {
  if (yyyymmdd < 0) return false;
  const CivilDate d = civil_of(yyyymmdd);
  return d.year >= 1 && d.year <= 9999 && d.month >= 1 && d.month <= 12 && d.day >= 1 &&
         d.day <= days_in_month(d.year, d.month);
}

// Days since 1970-01-01 of a calendar date (proleptic Gregorian).
constexpr int64_t days_from_civil(CivilDate d) {
  const int64_t y = d.year - (d.month <= 2 ? 1 : 0);
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (d.month + (d.month > 2 ? -3 : 9)) + 2) / 5 + d.day - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

constexpr CivilDate civil_from_days(int64_t z) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int64_t d = doy - (153 * mp + 2) / 5 + 1;
  const int64_t m = mp < 10 ? mp + 3 : mp - 9;
  return {static_cast<int32_t>(yoe + era * 400 + (m <= 2 ? 1 : 0)), static_cast<int32_t>(m), static_cast<int32_t>(d)};
}

}  // namespace grouper
