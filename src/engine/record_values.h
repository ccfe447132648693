// Record values: the grouper's age arithmetic.
//
// calc_age runs once per record and allocates nothing.  It carries the
// grouper's own century rule and day formula, which differ from calendar
// arithmetic on purpose: age conditions and age splits depend on them.
#pragma once

#include <cstdint>

#include "record/digit_fields.h"

namespace grouper {

// How calc_age reached its answer, for a reader of the trace.
struct AgeSteps {
  int birth_year = 0;         // century plus the two digits of the birth year
  const char* century = "";  // which century rule chose the birth year's century
  bool dates_ok = true;       // both dates passed the date check
  bool birth_unreadable = false;  // a birth date part holds a byte other than digits and blanks
  bool birth_zero = false;        // every birth date part reads 0 (blank or zeros)
};

// Age from the birth date (6 characters YYMMDD), the record date (8
// characters YYYYMMDD) and the century indicator (1 character).  Reads eight
// bytes at `birth` and at `rec_date`: the buffer must hold them.  Returns the
// age in whole years and sets `age_dd` to the age in days (0 when a month or
// day fails the date check); fills `steps` when given.
int16_t calc_age(const char* birth, const char* rec_date, const char* indicator, int32_t& age_dd,
                 AgeSteps* steps = nullptr);

}  // namespace grouper
