// The Grouper's construction, the record loop body and the per-record reset.
//
// The condition state is sized once here, for the catalogue and at least
// for the built-in logic ids, so that no catalogue makes the logic write
// outside it.  The reset clears only what the previous record set: the
// position matrix has 47 x cond_cnt entries, of which a record touches a few.
#include <algorithm>

#include "grouper/fixed_ids.h"
#include "grouper/grouper.h"
#include "grouper/guarded_lookup.h"

namespace grouper {

Grouper::Grouper(const TableSet& tables)
    : set_(tables),
      t_(tables.store()),
      rows_(tables.code_rows()),
      active_(&t_.tadrg1),
      active_index_(&tables.tadrg1_index()),
      cond_cnt_(t_.cond_cnt),
      cond_stride_(std::max<size_t>(t_.cond_cnt, kLogicCondEnd)) {
  cond_bits_.assign(cond_stride_ / 64 + 1, 0);  // ids 0..cond_stride_
  cond_hits_.assign(cond_stride_, 0);
  pos_cond_.assign(size_t{kPositionCount} * cond_stride_, 0);
  cond_bits_[0] = 1;
  cond_hits_[0] = 1;
  // A condition is recorded once, at its first hit, so these bounds are never
  // passed: one entry per catalogue id, and per procedure position 11..41 one
  // per distinct condition of the code's rows.
  touched_conds_ = std::make_unique<int32_t[]>(cond_stride_);
  const size_t per_position = std::min<size_t>(cond_stride_, t_.code_cond.size());
  touched_pos_ = std::make_unique<int32_t[]>((kLastPosCondRow - kFirstProc + 1) * per_position);
  // A catalogue too short for the logic ids fails the logic check; its
  // always-false id must still never hold.
  for (int c = kFirstLogicCond; c <= kLastLogicCond && c < cond_cnt_; ++c) logic_bits_allowed_ |= uint64_t{1} << (c % 64);
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

uint8_t Grouper::cond_val(int id) const { return id >= 0 && id <= cond_cnt_ && cond_holds(cond_bits_.data(), id); }

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
  dx_swapped_ = 0;
  proc_count_ = 0;

  // A touched condition's whole word is cleared: every bit set in it was
  // touched too, or is a logic condition or id 0, which are set again.
  int8_t* hits = cond_hits_.data();
  uint64_t* bits = cond_bits_.data();
  for (size_t k = 0; k < touched_cond_cnt_; ++k) {
    const auto c = static_cast<size_t>(touched_conds_[k]);
    hits[c] = 0;
    bits[c / 64] = 0;
  }
  touched_cond_cnt_ = 0;
  uint8_t* pos_cond = pos_cond_.data();
  for (size_t k = 0; k < touched_pos_cnt_; ++k) pos_cond[static_cast<size_t>(touched_pos_[k])] = 0;
  touched_pos_cnt_ = 0;
  cond_bits_[kFirstLogicCond / 64] = 0;
  // Id 0 always holds; id cond_cnt never does (no stage sets it).
  cond_bits_[0] |= 1;
  cond_hits_[0] = 1;
}

}  // namespace grouper
