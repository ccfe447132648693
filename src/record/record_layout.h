// Where every field lies in an episode line and in a result line.
//
// Input line (0-based offsets; a record is expected to be at least 273
// characters before its line feed):
//
//   0      8 not used         21  8 record date YYYYMMDD   83 180 procedures 11..46
//   8      6 birth date YYMMDD 29  3 length of stay        263  5 birth weight (g)
//   14     1 sex / century    32  1 discharge status      268  5 ventilation hours
//   15     6 not used         33 50 diagnoses 1..10       273    rest ignored
//
// Code position p (1..46) is the 5-character slot at 33 + 5 * (p - 1).
#pragma once

#include <cstddef>

namespace grouper {

inline constexpr size_t kLineBufferSize = 4096;  // one read takes at most 4095 bytes
inline constexpr size_t kMaxLineBytes = kLineBufferSize - 1;

inline constexpr size_t kBirthDateOffset = 8;
inline constexpr size_t kBirthDateWidth = 6;
inline constexpr size_t kSexOffset = 14;  // also the century indicator of the birth year
inline constexpr size_t kRecDateOffset = 21;
inline constexpr size_t kRecDateWidth = 8;
inline constexpr size_t kLosOffset = 29;
inline constexpr size_t kLosWidth = 3;
inline constexpr size_t kDschOffset = 32;
inline constexpr size_t kDschWidth = 1;
inline constexpr size_t kCodeOffset = 33;
inline constexpr size_t kCodeWidth = 5;
inline constexpr size_t kBirthWtOffset = 263;
inline constexpr size_t kBirthWtWidth = 5;
inline constexpr size_t kVentHrOffset = 268;
inline constexpr size_t kVentHrWidth = 5;
inline constexpr size_t kRecordWidth = 273;  // bytes the grouping reads

inline constexpr int kPositionCount = 47;  // positions 0..46, 0 never filled
inline constexpr int kFirstDx = 1;
inline constexpr int kLastDx = 10;
inline constexpr int kFirstProc = 11;
inline constexpr int kLastProc = 46;

constexpr size_t code_offset(int position) {
  return kCodeOffset + kCodeWidth * static_cast<size_t>(position - 1);
}

// Result line: 84-character head, 193 blanks, ADRG code, 7 blanks, grouper
// date, supplementary code, line feed: 300 characters and the line feed.
inline constexpr size_t kHeadWidth = 84;
inline constexpr size_t kHeadGap = 193;
inline constexpr size_t kDateGap = 7;
inline constexpr int kGrouperDate = 20050515;
inline constexpr size_t kResultLineWidth = kHeadWidth + kHeadGap + 4 + kDateGap + 8 + 4;
static_assert(kResultLineWidth == 300);

}  // namespace grouper
