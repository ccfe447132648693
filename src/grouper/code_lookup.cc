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

}  // namespace

int16_t Grouper::find_code_id(const char* code, int position) const {
  if (position <= kLastDx) return search(code, t_.dx_code, t_.dx_id, rows_of(t_.dx_cnt, t_.dx_code, t_.dx_id));
  return search(code, t_.sg_code, t_.sg_id, rows_of(t_.sg_cnt, t_.sg_code, t_.sg_id));
}

}  // namespace grouper
