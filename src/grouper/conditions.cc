// Condition evaluation: the record reduced to yes/no conditions.
//
// Table conditions come from the Tcode rows of the record's codes; the 42
// logic conditions 782..823 are the grouper's built-in predicates over the
// record values and the table conditions.  Per record this touches only the
// Tcode rows of the codes present and a fixed number of logic tests.
#include <array>

#include "grouper/fixed_ids.h"
#include "grouper/grouper.h"
#include "grouper/guarded_lookup.h"

namespace grouper {

namespace {

constexpr int8_t kMaxHits = 127;  // hits saturate instead of wrapping

}  // namespace

// The logic ids share one word of the condition bitset.
static_assert(kFirstLogicCond / 64 == kLastLogicCond / 64);

void Grouper::set_table_conds() {
  const int32_t rec_date = values_.rec_date;
  const CondRow* rows = rows_.cond_rows();
  // The arrays written below are bytes, which may alias anything: keep their
  // places in locals so that each write does not reload them.
  int8_t* hits = cond_hits_.data();
  uint64_t* bits = cond_bits_.data();
  int32_t* touched = touched_conds_.get();
  size_t touched_cnt = touched_cond_cnt_;
  uint8_t* pos_cond = pos_cond_.data();
  int32_t* touched_pos = touched_pos_.get();
  size_t touched_pos_cnt = touched_pos_cnt_;
  const size_t stride = cond_stride_;

  auto walk = [&](int p, const auto& code_rows) {
    for (size_t k = 0, n = code_rows.size(); k < n; ++k) {
      // A row applies on its dates and from the positions its condition
      // admits; a condition outside the catalogue admits none.
      const CondRow& row = code_rows.at(k, rows);
      if (!in_window(rec_date, row.fr_dt, row.to_dt) || p < row.pos_fr || p > row.pos_to) continue;
      const auto c = static_cast<uint16_t>(row.cond);
      const int8_t h = hits[c];
      if (h == 0) touched[touched_cnt++] = c;
      hits[c] = static_cast<int8_t>(h + (h < kMaxHits));
      bits[c / 64] |= uint64_t{1} << (c % 64);
      // Procedures up to position 41 leave their trace in pos_cond.
      if (p >= kFirstProc && p <= kLastPosCondRow) {
        const size_t e = static_cast<size_t>(p) * stride + c;
        if (pos_cond[e] == 0) {
          pos_cond[e] = 1;
          touched_pos[touched_pos_cnt++] = static_cast<int32_t>(e);
        }
      }
    }
  };
  for (int p = kFirstDx; p <= kLastDx; ++p) {
    if (code_ids_[p] != 0) walk(p, rows_.dx(code_ids_[p]).cond);
  }
  for (int k = 0; k < proc_count_; ++k) walk(proc_positions_[k], rows_.sg(code_ids_[proc_positions_[k]]).cond);
  touched_cond_cnt_ = touched_cnt;
  touched_pos_cnt_ = touched_pos_cnt;
}

void Grouper::set_logic_conds() {
  const RecordValues& v = values_;
  auto hits = [this](int c) { return static_cast<int>(cond_hits_[c]); };
  auto val = [this](int c) { return static_cast<int>(cond_holds(cond_bits_.data(), c)); };
  auto at = [this](int p, int c) { return pos_cond_[static_cast<size_t>(p) * cond_stride_ + c]; };
  // The procedures at positions 11..41 that set 357 (none unless 357 holds).
  std::array<int8_t, kLastPosCondRow - kFirstProc + 1> sets_357;
  int n_357 = 0;
  if (val(357) != 0) {
    for (int k = 0; k < proc_count_ && proc_positions_[k] <= kLastPosCondRow; ++k) {
      if (at(proc_positions_[k], 357) == 1) sets_357[n_357++] = proc_positions_[k];
    }
  }
  // One and the same procedure at positions 11..41 sets 357 and not `other`.
  auto procedure_sets_357_without = [&](int other) {
    for (int k = 0; k < n_357; ++k) {
      if (at(sets_357[k], other) == 0) return true;
    }
    return false;
  };
  const int bw = v.birth_wt;
  const int los = v.los_dd;
  const int dsch = v.dsch_cd;

  // The logic ids share one word of the condition bitset; each test sets its bit.
  uint64_t word = 0;
  auto put = [&word](int id, bool holds) { word |= uint64_t{holds} << (id % 64); };
  put(782, hits(602) + hits(603) >= 2);
  put(783, hits(621) >= 2);
  put(784, hits(387) >= 2);
  put(785, hits(398) >= 2);
  put(786, hits(403) >= 2);
  put(787, hits(408) >= 2);
  put(788, val(389) + val(391) + val(392) + val(393) + val(394) + val(395) + val(396) + val(397) >= 2);
  put(789, val(399) + val(400) + val(401) + val(402) >= 2);
  put(790, val(404) + val(405) + val(406) + val(407) >= 2);
  put(791, val(409) + val(410) + val(411) + val(412) >= 2);
  put(792, bw >= 1000 && bw <= 1499);
  put(793, bw >= 1500 && bw <= 1999);
  put(794, bw >= 2000 && bw <= 2499);
  put(795, bw >= 750 && bw <= 999);
  put(796, bw < 1250);  // blank and unreadable too
  put(797, bw >= 1 && bw <= 749);
  put(798, bw >= 2500);
  put(799, v.age_dd > 27);
  put(800, v.age_yy > 0);
  put(801, val(428) + val(13) >= 1);
  put(802, los < 3);  // unreadable (-1) too
  put(803, los < 5);
  put(804, los == 1);
  put(805, procedure_sets_357_without(743));
  put(806, procedure_sets_357_without(745));
  put(807, procedure_sets_357_without(746));
  put(808, procedure_sets_357_without(747));
  put(809, procedure_sets_357_without(748));
  put(810, val(753) + val(39) + val(15) >= 1);
  put(811, val(755) + val(40) + val(17) >= 1);
  put(812, val(757) + val(41) + val(19) >= 1);
  put(813, procedure_sets_357_without(759));
  put(814, procedure_sets_357_without(358));
  put(815, procedure_sets_357_without(359));
  put(816, dsch == 2 || dsch == 3);
  put(817, dsch == 2 || dsch == 3 || dsch == 4);
  put(818, dsch == 4);
  put(819, v.sex_cd % 2 != 0);  // negative odd values too
  put(820, v.vent_hr > 24);
  put(821, v.vent_hr > 95);
  put(822, v.age_yy < 0);
  put(823, bw <= 0);  // blank or unreadable
  cond_bits_[kFirstLogicCond / 64] |= word & logic_bits_allowed_;
}

int Grouper::check_logic_setting() const { return set_.logic_setting_ok() ? 0 : -1; }

}  // namespace grouper
