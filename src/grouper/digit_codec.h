// Fixed-width digit fields and the grouper's age arithmetic.
//
// These run for every record (eight fields and one age per record) and
// allocate nothing.  calc_age carries the grouper's own century rule and day
// formula, which differ from calendar arithmetic on purpose: age conditions
// and age splits depend on them.
#pragma once

#include <cstdint>

namespace grouper {

// Reads `width` characters: blanks are skipped, digits accumulate, any other
// byte (a sign, a NUL, a byte above 127) gives -1.  All blanks give 0.
inline int32_t parse_digits(const char* text, int width) {
  // Unsigned accumulation: a wide field wraps instead of overflowing.
  uint32_t value = 0;
  for (int i = 0; i < width; ++i) {
    const char c = text[i];
    if (c == ' ') continue;
    if (c < '0' || c > '9') return -1;
    value = value * 10u + static_cast<uint32_t>(c - '0');
  }
  return static_cast<int32_t>(value);
}

// Writes `value` as exactly `width` zero-padded digits (its last `width`
// digits when longer).  No terminator.  For values of 0 or more.
void format_digits(int32_t value, char* dest, int width);

// How calc_age reached its answer, for a reader of the trace.
struct AgeSteps {
  int birth_year = 0;         // century plus the two digits of the birth year
  const char* century = "";  // which century rule chose the birth year's century
  bool dates_ok = true;       // both dates passed the date check
  bool birth_unreadable = false;  // a birth date part holds a byte other than digits and blanks
  bool birth_zero = false;        // every birth date part reads 0 (blank or zeros)
};

// Age from the birth date (6 characters YYMMDD), the record date (8
// characters YYYYMMDD) and the century indicator (1 character).  Returns the
// age in whole years and sets `age_dd` to the age in days (0 when a month or
// day fails the date check); fills `steps` when given.
int16_t calc_age(const char* birth, const char* rec_date, const char* indicator, int32_t& age_dd,
                 AgeSteps* steps = nullptr);

}  // namespace grouper
