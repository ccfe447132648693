// Fixed-width digit fields and the grouper's age arithmetic.
//
// These run for every record (eight fields and one age per record) and
// allocate nothing.  calc_age carries the grouper's own century rule and day
// formula, which differ from calendar arithmetic on purpose: age conditions
// and age splits depend on them.
#pragma once

#include <cstdint>
#include <cstring>

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

// Fields of digits read a word at a time, for the dates of every record.
// A word is eight bytes of the line loaded as one little-endian integer:
// its first character is its lowest byte.
namespace digit_word {

inline constexpr uint64_t kBytes = 0x0101010101010101ULL;

// The word at `text`; the buffer must hold eight bytes there.
inline uint64_t load(const char* text) {
  uint64_t word;
  std::memcpy(&word, text, sizeof word);
  return word;
}

// Whether every byte of `word` that `mask` keeps is a digit '0'..'9': its
// high nibble is 3, and adding 6 to its low nibble does not carry.  (Once
// every high nibble is 3 no byte carries into the next.)
inline bool all_digits(uint64_t word, uint64_t mask) {
  const uint64_t high = 0xF0 * kBytes & mask;
  return (word & high) == (0x30 * kBytes & mask) && ((word + 0x06 * kBytes) & high) == (0x30 * kBytes & mask);
}

// For a word whose bytes are digits: the number of characters 2k and 2k + 1
// in bits 16k .. 16k + 7.  (A byte that is no digit spoils only the pairs
// from its own on.)
inline uint64_t pairs(uint64_t word) {
  const uint64_t d = word - 0x30 * kBytes;
  return (d * 10 + (d >> 8)) & 0x00FF00FF00FF00FFULL;
}

// Pair k of pairs().
inline int pair(uint64_t pairs, int k) { return static_cast<int>((pairs >> (16 * k)) & 0xFF); }

// parse_digits(text, 8), a word at a time when all eight are digits.
inline int32_t parse_eight(const char* text) {
  const uint64_t word = load(text);
  if (!all_digits(word, ~uint64_t{0})) return parse_digits(text, 8);
  const uint64_t p = pairs(word);
  return ((pair(p, 0) * 100 + pair(p, 1)) * 100 + pair(p, 2)) * 100 + pair(p, 3);
}

}  // namespace digit_word

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
// characters YYYYMMDD) and the century indicator (1 character).  Reads eight
// bytes at `birth` and at `rec_date`: the buffer must hold them.  Returns the
// age in whole years and sets `age_dd` to the age in days (0 when a month or
// day fails the date check); fills `steps` when given.
int16_t calc_age(const char* birth, const char* rec_date, const char* indicator, int32_t& age_dd,
                 AgeSteps* steps = nullptr);

}  // namespace grouper
