// The age split of the ADRG into a DRG: the first split row of the ADRG
// whose age range and date window hold the record gives the split
// character, and the DRG is the first row of the DRG list that holds the
// ADRG's code and that character.
//
// Workload: once per record.  The ADRG's entry of the group rows holds its
// first split rows with their DRG rows worked out (prepared/group_rows.h);
// a split past them looks its DRG row up.  Nothing is allocated.
#include <iterator>

#include "engine/engine.h"
#include "engine/prepared/guarded_lookup.h"

namespace grouper {

void Engine::find_drg() {
  const int16_t adrg = result_.res_adrg;
  const int16_t age = result_.values.age_yy;
  const int32_t rec_date = result_.values.rec_date;

  const AdrgRows& rows = group_rows_.adrg(adrg);
  constexpr int32_t kLookUp = -2;  // a split row past the head rows: its DRG row is looked up
  int32_t split_row = -1;
  int32_t drg_row = rows.unsplit_drg;
  for (size_t k = 0, n = rows.splits.size(); k < n; ++k) {
    const SplitRow& row = rows.splits.at(k, group_rows_.split_rows());
    if (row.age_fr > age || age > row.age_to) continue;
    if (!in_window(rec_date, row.fr_dt, row.to_dt)) continue;
    result_.res_split = row.code;
    split_row = static_cast<int32_t>(rows.splits.range.fr + k);
    // plain: the DRG row always looked up; measured with the group rows'
    // entries (prepared/group_rows.h).
    drg_row = k < std::size(rows.splits.head) ? row.drg : kLookUp;
    break;
  }
  if (trace_) trace_->age_split(adrg, split_row, result_.res_split);

  // An ADRG index past the ADRG list has no code, so no DRG either.
  if (!rows.has_code) return;
  // The first row from row 0 up that holds the code and the split.
  const char key[5] = {rows.code[0], rows.code[1], rows.code[2], rows.code[3], result_.res_split};
  if (drg_row == kLookUp) drg_row = set_.find_drg_row(key);
  if (trace_) trace_->drg(key, drg_row);
  if (drg_row >= 0) result_.res_drg = static_cast<int16_t>(drg_row);
  else note(episode_grouper::FindingCode::kDrgUnknown, 0, episode_grouper::RecordField::kNone, key);
}

}  // namespace grouper
