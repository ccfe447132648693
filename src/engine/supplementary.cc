// The supplementary group: a value chosen from the record's ADRG and date
// through adrg_ltcdrg, and its 4-character code from ltc_drg.idx.
//
// Workload: once per record, the ADRG's entry of the group rows, which
// holds its first rows with their groups worked out.  A key beyond the key
// count, or a range beyond the rows, gives no group; a group value without a
// code row gives no group either.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <iterator>

#include "engine/engine.h"
#include "engine/prepared/fixed_ids.h"
#include "engine/prepared/guarded_lookup.h"

namespace grouper {
namespace {

constexpr int32_t kFirstSupplementaryDate = 20050701;  // earlier records get no group

}  // namespace

int Engine::find_ltcdrg() {
  // The group of the ADRG and date: before the threshold none; an ADRG whose
  // first row is 0 the fixed group, whatever its end row says; else the
  // group of its first row valid on the date, none without one.
  SupplementaryStep step = SupplementaryStep::kBeforeThreshold;
  int32_t row = -1;
  const SupplementaryGroup* group = &group_rows_.no_group();
  if (result_.values.rec_date >= kFirstSupplementaryDate) {
    const SupplementaryRows& rows = group_rows_.supplementary(result_.res_adrg);
    step = rows.marker ? SupplementaryStep::kFirstRowMarker : SupplementaryStep::kNoRow;
    if (rows.marker) group = &group_rows_.fixed_group();
    for (size_t k = 0, n = rows.rows.size(); k < n; ++k) {
      // plain: five table arrays and the group's code row read per record;
      // saved 25 instructions per realistic record.
      const SupplementaryRow& r = rows.rows.at(k, group_rows_.supplementary_rows());
      if (!in_window(result_.values.rec_date, r.fr_dt, r.to_dt)) continue;
      step = SupplementaryStep::kRow;
      row = static_cast<int32_t>(rows.rows.range.fr + k);
      group = &r.group;
      break;
    }
  }
  if (trace_) trace_->supplementary(step, row, group->value);
  std::memcpy(result_.res_ltcdrg_code.data(), group->code, sizeof group->code);
  result_.res_ltcdrg = group->value;
  return group->value;
}

}  // namespace grouper
