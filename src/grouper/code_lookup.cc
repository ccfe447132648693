// The dictionary search: code text -> code id.
//
// Runs up to three times per diagnosis position and once per procedure
// position, so up to about 66 times per record; a halving search over the
// sorted rows, allocating nothing.
#include "grouper/grouper.h"
#include "grouper/guarded_lookup.h"

namespace grouper {

namespace {

// The halving search over rows 1..n-1.  Row 0 is never probed: every probe
// lies at least one row above lo, so row 0 holds a placeholder.
int16_t search(const char* key, const std::vector<Code5>& codes, const std::vector<int16_t>& ids,
               size_t n) {
  size_t lo = 0;
  size_t hi = n;
  for (size_t half = hi / 2; half != 0; half = (hi - lo) / 2) {
    size_t mid = lo + half;
    int order = compare_code5(key, codes[mid].data());
    if (order == 0) return ids[mid];
    if (order < 0) {
      hi = mid;
    } else {
      lo = mid;
    }
  }
  return 0;
}

// Rows 1..n-1 of a dictionary that are strictly ascending are found by the
// halving search exactly when they hold the key, so the index gives the same
// answer; an unsorted dictionary keeps the search and its misses.
int16_t lookup(const char* key, const std::vector<Code5>& codes, const std::vector<int16_t>& ids, size_t n,
               const CodeIndex& index, bool sorted) {
  if (!sorted) return search(key, codes, ids, n);
  const int32_t row = index.find(key);
  return row < 0 ? int16_t{0} : ids[static_cast<size_t>(row)];
}

}  // namespace

void Grouper::build_code_indexes() {
  const size_t dx_rows = rows_of(t_.dx_cnt, t_.dx_code, t_.dx_id);
  const size_t sg_rows = rows_of(t_.sg_cnt, t_.sg_code, t_.sg_id);
  dx_sorted_ = CodeIndex::strictly_ascending(t_.dx_code, 1, dx_rows);
  sg_sorted_ = CodeIndex::strictly_ascending(t_.sg_code, 1, sg_rows);
  if (dx_sorted_) dx_index_.build(t_.dx_code, 1, dx_rows);
  if (sg_sorted_) sg_index_.build(t_.sg_code, 1, sg_rows);
  drg_index_.build(t_.drg_code, 0, drg_rows(t_));
}

int16_t Grouper::find_code_id(const char* code, int position) const {
  if (position <= kLastDx) {
    return lookup(code, t_.dx_code, t_.dx_id, rows_of(t_.dx_cnt, t_.dx_code, t_.dx_id), dx_index_, dx_sorted_);
  }
  return lookup(code, t_.sg_code, t_.sg_id, rows_of(t_.sg_cnt, t_.sg_code, t_.sg_id), sg_index_, sg_sorted_);
}

}  // namespace grouper
