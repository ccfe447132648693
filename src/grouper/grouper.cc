// The Grouper's construction, the record loop body and the per-record reset.
//
// The condition arrays are sized once here, for the catalogue and at least
// for the built-in logic ids, so that no catalogue makes the logic write
// outside them.  The reset clears only what the previous record set: the
// position matrix has 47 x cond_cnt entries, of which a record touches a few.
#include <algorithm>

#include "grouper/fixed_ids.h"
#include "grouper/grouper.h"
#include "grouper/guarded_lookup.h"

namespace grouper {

Grouper::Grouper(const TableSet& tables)
    : set_(tables),
      t_(tables.store()),
      active_(&t_.tadrg1),
      active_index_(&tables.tadrg1_index()),
      cond_cnt_(t_.cond_cnt),
      cond_stride_(std::max<size_t>(t_.cond_cnt, kLogicCondEnd)) {
  cond_val_.assign(cond_stride_ + 1, 0);
  cond_hits_.assign(cond_stride_, 0);
  cond_set_.assign(cond_stride_, 0);
  pos_cond_.assign(size_t{kPositionCount} * cond_stride_, 0);
  cond_val_[0] = 1;
  cond_hits_[0] = 1;
  // A condition is recorded once, at its first hit, so these bounds are never
  // passed: one entry per catalogue id, and per procedure position 11..41 one
  // per distinct condition of the code's rows.
  touched_conds_.reserve(cond_stride_);
  const size_t per_position = std::min<size_t>(cond_stride_, t_.code_cond.size());
  touched_pos_.reserve((kLastPosCondRow - kFirstProc + 1) * per_position);
}

int Grouper::group(char* line, size_t len) {
  select_rule_set(line);
  if (prepare_record(line, len) != 0) return -1;
  find_mdc();
  if (result_.res_mdc != 0) find_adrg();
  if (result_.res_adrg != 0) {
    find_drg();
    calc_pccl();
  }
  find_ltcdrg();
  return 0;
}

uint8_t Grouper::cond_val(int id) const {
  return id >= 0 && id <= cond_cnt_ ? cond_val_[static_cast<size_t>(id)] : 0;
}

int8_t Grouper::cond_hits(int id) const {
  return id >= 0 && id < cond_cnt_ ? cond_hits_[static_cast<size_t>(id)] : 0;
}

uint8_t Grouper::pos_cond(int position, int id) const {
  if (position < 0 || position >= kPositionCount || id < 0 || id >= cond_cnt_) return 0;
  return pos_cond_[static_cast<size_t>(position) * cond_stride_ + static_cast<size_t>(id)];
}

void Grouper::reset_record() {
  result_ = RecordResult{};
  code_ids_.fill(0);
  for (auto& text : dx_text_) text.fill('\0');
  dx_swapped_ = 0;

  for (int32_t c : touched_conds_) {
    cond_val_[static_cast<size_t>(c)] = 0;
    cond_hits_[static_cast<size_t>(c)] = 0;
  }
  touched_conds_.clear();
  for (int32_t e : touched_pos_) pos_cond_[static_cast<size_t>(e)] = 0;
  touched_pos_.clear();
  for (int c = kFirstLogicCond; c <= kLastLogicCond; ++c) {
    cond_val_[c] = 0;
    cond_set_[c] = 0;
  }
  // Id 0 always holds; id cond_cnt never does (no stage writes it).
  cond_val_[0] = 1;
  cond_hits_[0] = 1;
}

}  // namespace grouper
