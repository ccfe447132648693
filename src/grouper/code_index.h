// An exact hash index over a list of 5-character code texts.
//
// find() answers "the lowest indexed row whose text equals the key", with
// equality as the dictionary comparison defines it (byte by byte, a NUL held
// by both texts ending the comparison).  On a dictionary whose rows 1..n-1
// are strictly ascending that is exactly what the halving search finds, and
// on the DRG list exactly what the scan from row 0 finds, in one probe or two
// instead of some fourteen comparisons.
//
// Workload: built once per Grouper from the loaded tables; up to some 50
// lookups per record, allocating nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "tables/table_store.h"

namespace grouper {

class CodeIndex {
 public:
  // Indexes rows [first, end) of `codes`; of equal texts the lowest row wins.
  void build(const std::vector<Code5>& codes, size_t first, size_t end);

  // The row of `key` (5 bytes), or -1 when no indexed row holds it.
  int32_t find(const char* key) const;

  // Whether rows [first, end) are strictly ascending under the dictionary
  // comparison, so that the halving search finds every row they hold.
  static bool strictly_ascending(const std::vector<Code5>& codes, size_t first, size_t end);

 private:
  std::vector<uint64_t> keys_;  // 0 = empty slot
  std::vector<int32_t> rows_;
  uint64_t mask_ = 0;
};

}  // namespace grouper
