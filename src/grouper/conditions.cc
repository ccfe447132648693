// Condition evaluation: the record reduced to yes/no conditions.
//
// Table conditions come from the Tcode rows of the record's codes; the 42
// logic conditions 782..823 are the grouper's built-in predicates over the
// record values and the table conditions.  Per record this touches only the
// Tcode rows of the codes present and a fixed number of logic tests.
#include "grouper/fixed_ids.h"
#include "grouper/grouper.h"
#include "grouper/guarded_lookup.h"

namespace grouper {

namespace {

constexpr int8_t kMaxHits = 127;  // hits saturate instead of wrapping

}  // namespace

void Grouper::set_table_conds() {
  const int32_t rec_date = values_.rec_date;
  const size_t code_rows = rows_of(t_.code_row_cnt, t_.code_adpt_fr_dt, t_.code_adpt_to_dt, t_.code_cond);
  // Catalogue ids 1..cond_cnt-1 that have a position window.
  const size_t cond_rows = rows_of(cond_cnt_, t_.cond_pos_fr, t_.cond_pos_to);
  const size_t dx_keys = rows_of(t_.code_dx_key_cnt, t_.dx_cond_fr, t_.dx_cond_to);
  const size_t sg_keys = rows_of(t_.code_sg_key_cnt, t_.sg_cond_fr, t_.sg_cond_to);

  for (int p = kFirstDx; p <= kLastProc; ++p) {
    const int16_t id = code_ids_[p];
    if (id == 0) continue;
    const bool dx = p <= kLastDx;
    const RowSpan span = dx ? key_rows(id, dx_keys, t_.dx_cond_fr, t_.dx_cond_to, code_rows)
                            : key_rows(id, sg_keys, t_.sg_cond_fr, t_.sg_cond_to, code_rows);
    for (size_t j = span.fr; j < span.to; ++j) {
      if (!in_window(rec_date, t_.code_adpt_fr_dt[j], t_.code_adpt_to_dt[j])) continue;
      const int16_t c = t_.code_cond[j];
      // Id 0 and ids outside the catalogue are never set from a code.
      if (c < 1 || static_cast<size_t>(c) >= cond_rows) continue;
      if (t_.cond_pos_fr[c] > p || p > t_.cond_pos_to[c]) continue;

      int8_t& hits = cond_hits_[c];
      if (hits == 0) touched_conds_.push_back(c);
      if (hits < kMaxHits) ++hits;
      cond_val_[c] = 1;
      if (!dx && p <= kLastPosCondRow) {
        const size_t e = static_cast<size_t>(p) * cond_stride_ + static_cast<size_t>(c);
        if (pos_cond_[e] == 0) {
          pos_cond_[e] = 1;
          touched_pos_.push_back(static_cast<int32_t>(e));
        }
      }
    }
  }
}

void Grouper::set_logic_conds() {
  const RecordValues& v = values_;
  auto hits = [this](int c) { return static_cast<int>(cond_hits_[c]); };
  auto val = [this](int c) { return static_cast<int>(cond_val_[c]); };
  auto at = [this](int p, int c) { return pos_cond_[static_cast<size_t>(p) * cond_stride_ + c]; };
  // One and the same procedure at positions 11..41 sets 357 and not `other`.
  auto procedure_sets_357_without = [&](int other) {
    for (int p = kFirstProc; p <= kLastPosCondRow; ++p) {
      if (code_ids_[p] != 0 && at(p, 357) == 1 && at(p, other) == 0) return true;
    }
    return false;
  };
  const int bw = v.birth_wt;
  const int los = v.los_dd;
  const int dsch = v.dsch_cd;

  const bool holds[kLogicCondEnd - kFirstLogicCond] = {
      hits(602) + hits(603) >= 2,                                     // 782
      hits(621) >= 2,                                                 // 783
      hits(387) >= 2,                                                 // 784
      hits(398) >= 2,                                                 // 785
      hits(403) >= 2,                                                 // 786
      hits(408) >= 2,                                                 // 787
      val(389) + val(391) + val(392) + val(393) + val(394) + val(395) + val(396) + val(397) >= 2,  // 788
      val(399) + val(400) + val(401) + val(402) >= 2,                 // 789
      val(404) + val(405) + val(406) + val(407) >= 2,                 // 790
      val(409) + val(410) + val(411) + val(412) >= 2,                 // 791
      bw >= 1000 && bw <= 1499,                                       // 792
      bw >= 1500 && bw <= 1999,                                       // 793
      bw >= 2000 && bw <= 2499,                                       // 794
      bw >= 750 && bw <= 999,                                         // 795
      bw < 1250,                                                      // 796: blank and unreadable too
      bw >= 1 && bw <= 749,                                           // 797
      bw >= 2500,                                                     // 798
      v.age_dd > 27,                                                  // 799
      v.age_yy > 0,                                                   // 800
      val(428) + val(13) >= 1,                                        // 801
      los < 3,                                                        // 802: unreadable (-1) too
      los < 5,                                                        // 803
      los == 1,                                                       // 804
      procedure_sets_357_without(743),                                // 805
      procedure_sets_357_without(745),                                // 806
      procedure_sets_357_without(746),                                // 807
      procedure_sets_357_without(747),                                // 808
      procedure_sets_357_without(748),                                // 809
      val(753) + val(39) + val(15) >= 1,                              // 810
      val(755) + val(40) + val(17) >= 1,                              // 811
      val(757) + val(41) + val(19) >= 1,                              // 812
      procedure_sets_357_without(759),                                // 813
      procedure_sets_357_without(358),                                // 814
      procedure_sets_357_without(359),                                // 815
      dsch == 2 || dsch == 3,                                         // 816
      dsch == 2 || dsch == 3 || dsch == 4,                            // 817
      dsch == 4,                                                      // 818
      v.sex_cd % 2 != 0,                                              // 819: negative odd values too
      v.vent_hr > 24,                                                 // 820
      v.vent_hr > 95,                                                 // 821
      v.age_yy < 0,                                                   // 822
      bw <= 0,                                                        // 823: blank or unreadable
  };

  for (int c = kFirstLogicCond; c <= kLastLogicCond; ++c) {
    cond_set_[c] = 1;
    // A catalogue too short for the logic ids fails the logic check; its
    // always-false id must still never hold.
    if (holds[c - kFirstLogicCond] && c < cond_cnt_) cond_val_[c] = 1;
  }
}

int Grouper::check_logic_setting() const { return set_.logic_setting_ok() ? 0 : -1; }

}  // namespace grouper
