// Guards for indices and row ranges taken from table contents, the one
// comparison of code texts and the one test of a row's validity window.
//
// No table content is trusted as an index: a key is used only when it lies
// below the size of every array it indexes, and a row range only after it has
// been clipped to the rows that exist.  On a valid table set the guards
// change nothing; on a broken one they give "no rows" instead of a read
// outside an array.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace grouper {

inline constexpr int kLastPosCondRow = 41;  // procedures from position 42 on leave no pos_cond trace

// A clipped row range: rows fr..to-1; fr >= to means no rows.
struct RowSpan {
  size_t fr = 0;
  size_t to = 0;
};

// The range [fr, to) of the file, clipped to [0, limit).
template <class Int>
inline RowSpan clip_rows(Int fr, Int to, size_t limit) {
  int64_t lo = std::max<int64_t>(fr, 0);
  int64_t hi = std::min<int64_t>(to, static_cast<int64_t>(limit));
  if (lo >= hi) return {};
  return {static_cast<size_t>(lo), static_cast<size_t>(hi)};
}

// Whether `key` indexes an array of `count` entries.
template <class Int>
inline bool key_in(Int key, size_t count) {
  return key >= 0 && static_cast<size_t>(key) < count;
}

// The smallest of a count field and the sizes of the arrays it sizes.
template <class... V>
inline size_t rows_of(size_t count, const V&... arrays) {
  return std::min({count, arrays.size()...});
}

// Rows of `key` in a keyed range table (rows fr[key]..to[key]-1), clipped to
// [0, row_cnt); a key outside 0..key_cnt-1 has no rows.  key_cnt must not
// exceed the sizes of fr and to (take it from rows_of).
template <class Int>
inline RowSpan key_rows(long key, size_t key_cnt, const std::vector<Int>& fr, const std::vector<Int>& to,
                        size_t row_cnt) {
  if (!key_in(key, key_cnt)) return {};
  return clip_rows(fr[static_cast<size_t>(key)], to[static_cast<size_t>(key)], row_cnt);
}

// A table row applies on the dates from..to, both included.
inline bool in_window(int32_t date, int32_t from, int32_t to) { return from <= date && date <= to; }

// Rows of the DRG list that a DRG index can name: DRG indices are 16-bit,
// so rows past 32767 are never searched.
template <class Tables>
inline size_t drg_rows(const Tables& t) {
  return std::min<size_t>(rows_of(t.drg_cnt, t.drg_code), size_t{INT16_MAX} + 1);
}

// Compares two 5-character code texts byte by byte as unsigned values; the
// first differing byte decides, and a NUL held by both texts at the same
// place ends the comparison as equal.  Negative, 0 or positive.
inline int compare_code5(const char* a, const char* b) {
  for (int i = 0; i < 5; ++i) {
    auto x = static_cast<unsigned char>(a[i]);
    auto y = static_cast<unsigned char>(b[i]);
    if (x != y) return x < y ? -1 : 1;
    if (x == 0) return 0;
  }
  return 0;
}

}  // namespace grouper
