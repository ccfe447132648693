// Fixed-width digit fields of the episode line: read, written, and read a
// word at a time.
//
// These run for every record (eight fields per record) and allocate nothing.
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
// plain: a test of each byte against '0'..'9'; the word-wise reading of
// the dates, this and pairs() together, saved 87 instructions per realistic
// record.
inline bool all_digits(uint64_t word, uint64_t mask) {
  const uint64_t high = 0xF0 * kBytes & mask;
  return (word & high) == (0x30 * kBytes & mask) && ((word + 0x06 * kBytes) & high) == (0x30 * kBytes & mask);
}

// For a word whose bytes are digits: the number of characters 2k and 2k + 1
// in bits 16k .. 16k + 7.  (A byte that is no digit spoils only the pairs
// from its own on.)  plain: parse_digits(text + 2k, 2) per pair; measured
// with all_digits.
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

}  // namespace grouper
