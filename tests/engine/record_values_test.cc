#include "engine/record_values.h"

#include <gtest/gtest.h>

#include <string>

namespace grouper {
namespace {

struct Age {
  int16_t years;
  int32_t days;
};

Age age(const char* birth, char indicator, const char* rec_date) {
  // calc_age reads eight bytes of each date, as a line always holds them.
  const std::string b = std::string(birth) + std::string(8, '\0');
  const std::string r = std::string(rec_date) + std::string(8, '\0');
  Age a{};
  a.days = -12345;  // must be overwritten on every path
  a.years = calc_age(b.data(), r.data(), &indicator, a.days);
  return a;
}

// --- calc_age: the documented examples ---

TEST(CalcAge, DocumentedExamples) {
  Age a = age("850315", '1', "20050101");
  EXPECT_EQ(a.years, 19);
  EXPECT_EQ(a.days, 7232);

  a = age("041220", '3', "20050105");
  EXPECT_EQ(a.years, 0);
  EXPECT_EQ(a.days, 16);

  // One day less than the calendar: the two whole years carry 2 / 4 = 0 leap days.
  a = age("030101", '3', "20050101");
  EXPECT_EQ(a.years, 2);
  EXPECT_EQ(a.days, 730);

  a = age("050310", '3', "20050301");
  EXPECT_EQ(a.years, -1);
  EXPECT_EQ(a.days, -9);
}

TEST(CalcAge, IndicatorsFiveToEightChooseTheCenturyByTheTwoDigitYears) {
  // 95 > 05: born 1995.
  EXPECT_EQ(age("950601", '5', "20050601").years, 10);
  // 05 is not greater than 05: born 2005.
  EXPECT_EQ(age("050601", '8', "20050601").years, 0);
  // 06 > 05: born 1906.
  EXPECT_EQ(age("060101", '7', "20050101").years, 99);
}

TEST(CalcAge, RecordDatedInThe1900sPutsTheBirthThereForIndicatorsFiveToEight) {
  // 50 is not greater than 99, which alone would give 2050.
  EXPECT_EQ(age("500101", '6', "19990101").years, 49);
  // The rule is for 5..8 only: indicator 3 keeps 2050.
  EXPECT_EQ(age("500101", '3', "19990101").years, -51);
}

TEST(CalcAge, FixedCenturies) {
  EXPECT_EQ(age("800101", '1', "20050101").years, 25);
  EXPECT_EQ(age("800101", '2', "20050101").years, 25);
  EXPECT_EQ(age("010101", '3', "20050101").years, 4);
  EXPECT_EQ(age("010101", '4', "20050101").years, 4);
  EXPECT_EQ(age("990101", '9', "20050101").years, 106);
  EXPECT_EQ(age("990101", '0', "20050101").years, 106);
}

TEST(CalcAge, BlankOrLetterIndicatorCountsAs1900) {
  EXPECT_EQ(age("800101", ' ', "20050101").years, 25);
  EXPECT_EQ(age("800101", 'M', "20050101").years, 25);
}

TEST(CalcAge, BadMonthGivesZeroDaysButStillCountsYears) {
  Age a = age("001301", '1', "20050101");
  EXPECT_EQ(a.days, 0);
  EXPECT_EQ(a.years, 104);  // 2005 - 1900, less one since month 1 is before month 13

  EXPECT_EQ(age("800101", '1', "20051301").days, 0);  // record month 13
  EXPECT_EQ(age("800101", '1', "20050100").days, 0);  // record day 0
  EXPECT_EQ(age("800132", '1', "20050101").days, 0);  // birth day 32
  EXPECT_EQ(age("80AB01", '1', "20050101").days, 0);  // unreadable birth month
}

TEST(CalcAge, BirthMonthAndDayOfZeroPassTheCheck) {
  // Born "2005-00-00": before(0) is 0, so the age in days is the day of the year.
  Age a = age("050000", '3', "20050310");
  EXPECT_EQ(a.days, 31 + 28 + 10);
  EXPECT_EQ(a.years, 0);
}

TEST(CalcAge, SameMonthCountsTheDayDifference) {
  Age a = age("050310", '3', "20050315");
  EXPECT_EQ(a.days, 5);
  EXPECT_EQ(a.years, 0);
  EXPECT_EQ(age("050310", '3', "20050310").days, 0);
}

TEST(CalcAge, LeapDayCountsOnlyPastFebruaryInTheSameYear) {
  // 2004 is a leap year: 1 Feb to 1 Mar holds 29 days.
  EXPECT_EQ(age("040201", '3', "20040301").days, 29);
  // 1900 is not (divisible by 100, not by 400).
  EXPECT_EQ(age("000201", '1', "19000301").days, 28);
}

TEST(CalcAge, BirthBeforeMarchOfALeapYearGainsItsLeapDay) {
  // 29 Feb 2004 to 1 Mar 2005: 365 + 0 + 60 + (365 - 29 - 31 + 1) - 365.
  EXPECT_EQ(age("040229", '3', "20050301").days, 366);
  // The same dates a leap year later: 1 Mar 2004 is past the leap day.
  EXPECT_EQ(age("040301", '3', "20050301").days, 365);
}

TEST(CalcAge, WholeYearsCountOneLeapDayPerFourYears) {
  // 1 Jan 1980 to 1 Jan 2005: 25 / 4 = 6 leap days, plus 1980's own for a
  // birth before March (the calendar's seven).
  EXPECT_EQ(age("800101", '1', "20050101").days, 25 * 365 + 6 + 1);
  // 31 Dec 1999 to 1 Jan 2000.
  EXPECT_EQ(age("991231", '1', "20000101").days, 1);
}

TEST(CalcAge, YearsDropByOneBeforeTheBirthday) {
  EXPECT_EQ(age("800615", '1', "20050614").years, 24);
  EXPECT_EQ(age("800615", '1', "20050615").years, 25);
  EXPECT_EQ(age("800615", '1', "20050501").years, 24);
}

}  // namespace
}  // namespace grouper
