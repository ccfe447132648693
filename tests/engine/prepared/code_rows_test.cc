// The rows laid out per code id against the plain guarded lookups over the
// table arrays they are made from, on generated sets whose ranges, ids,
// windows and counts are broken at random: every id (those outside the keys
// included) gets exactly the rows the plain lookup gives, with the same
// meaning, and its condition set stands for those rows wherever it is used.
#include <gtest/gtest.h>

#include <random>
#include <set>

#include "engine/prepared/code_rows.h"
#include "engine/prepared/fixed_ids.h"
#include "engine/prepared/guarded_lookup.h"
#include "generate_profile.h"
#include "generate_tables.h"
#include "record/record_layout.h"

namespace grouper {
namespace {

// Replaces a quarter of the values with values near, inside or past `limit`.
template <class Int>
void break_values(std::vector<Int>& values, long limit, std::mt19937_64& rng) {
  for (Int& v : values) {
    if (rng() % 4 == 0) v = static_cast<Int>(static_cast<long>(rng() % static_cast<uint64_t>(limit + 20)) - 10);
  }
}

// Checks the rows of one keyed table for ids -3..keys+3: the same row
// numbers as the plain clipped range, each row made by `same`.
template <class Row, size_t N, class Int, class Same>
void expect_rows(const HeadRows<Row, N>& got, long id, size_t key_cnt, const std::vector<Int>& fr,
                 const std::vector<Int>& to, size_t row_cnt, const Row* rows, Same same) {
  const RowSpan want = key_rows(id, key_cnt, fr, to, row_cnt);
  ASSERT_EQ(got.size(), want.to > want.fr ? want.to - want.fr : 0) << "id " << id;
  for (size_t k = 0; k < got.size(); ++k) same(got.at(k, rows), want.fr + k);
}
template <size_t N, class Int, class Same>
void expect_rows(const CondSet<N>& got, long id, size_t key_cnt, const std::vector<Int>& fr,
                 const std::vector<Int>& to, size_t row_cnt, const CondRow* rows, Same same) {
  const RowSpan want = key_rows(id, key_cnt, fr, to, row_cnt);
  ASSERT_EQ(got.range.size(), want.to > want.fr ? want.to - want.fr : 0) << "id " << id;
  for (size_t k = 0; k < got.range.size(); ++k) same(rows[got.range.fr + k], want.fr + k);
}

// Wherever a code's condition set stands for its rows (the class of
// position p, on `date`), it sets exactly the ids of the rows that apply; it
// is flagged when the logic conditions count or mark one of them, and then
// each counted id stands for one row.  Returns whether it stood.
template <size_t N>
bool expect_set_stands_for_rows(const CondSet<N>& set, bool first_class, int p, int32_t date, const CondRow* rows) {
  if ((set.flags & set.kWalk) != 0 || !in_window(date, set.fr_dt, set.to_dt)) return false;
  std::set<int> walked;
  std::multiset<int> counted;
  bool tracked = false;
  for (size_t j = set.range.fr; j < set.range.to; ++j) {
    const CondRow& row = rows[j];
    if (!in_window(date, row.fr_dt, row.to_dt) || p < row.pos_fr || p > row.pos_to) continue;
    walked.insert(row.cond);
    for (int16_t c : kCountedConds) {
      if (row.cond == c) counted.insert(c);
    }
    for (int16_t c : kMarkedConds) tracked = tracked || row.cond == c;
  }
  const std::set<int> ids(set.ids + (first_class ? 0 : set.n_first), set.ids + (first_class ? set.n_first : set.n_ids));
  EXPECT_EQ(ids, walked) << "position " << p << ", date " << date;
  if (tracked || !counted.empty()) {
    EXPECT_NE(set.flags & set.kTracked, 0) << "position " << p << ", date " << date;
  }
  for (int c : counted) EXPECT_EQ(counted.count(c), 1u) << "condition " << c << ", position " << p << ", date " << date;
  return true;
}

// The dates on which the validity of some of the rows changes (none when
// the rows must be walked on every date).
template <size_t N>
std::vector<int32_t> edge_dates(const CondSet<N>& set, const CondRow* rows) {
  if ((set.flags & set.kWalk) != 0) return {};
  std::vector<int32_t> dates = {20041231, 20050101};
  for (size_t j = set.range.fr; j < set.range.to; ++j) {
    for (int32_t d : {rows[j].fr_dt - 1, rows[j].fr_dt, rows[j].to_dt, rows[j].to_dt + 1}) dates.push_back(d);
  }
  return dates;
}

TEST(CodeRows, EveryIdGetsThePlainRowsOnBrokenSets) {
  for (uint64_t seed = 1; seed <= 8; ++seed) {
    TableStore t = tools::generate_tables(*tools::find_profile("small"), seed).tables;
    std::mt19937_64 rng(seed);
    const long code_rows = t.code_row_cnt;
    break_values(t.dx_cond_fr, code_rows, rng);
    break_values(t.dx_cond_to, code_rows, rng);
    break_values(t.sg_cond_fr, code_rows, rng);
    break_values(t.code_cond, t.cond_cnt, rng);
    break_values(t.cond_pos_fr, 48, rng);
    break_values(t.cond_pos_to, 48, rng);
    for (size_t j = 0; j < t.code_adpt_fr_dt.size(); ++j) {  // rows added and retired at the switch
      if (rng() % 8 == 0) t.code_adpt_fr_dt[j] = 20050101;
      else if (rng() % 8 == 0) t.code_adpt_to_dt[j] = 20041231;
    }
    for (int c : {kCondMaleExcluded, kCondFemaleExcluded, int{kCountedConds[0]}, int{kMarkedConds[0]}}) {
      if (static_cast<size_t>(c) < t.cond_pos_fr.size()) t.cond_pos_fr[c] = t.cond_pos_to[c] = 1;
    }
    for (size_t j = 0; j + 1 < t.code_cond.size(); j += 37) {  // a code's counted condition set twice
      t.code_cond[j] = t.code_cond[j + 1] = kCountedConds[0];
    }
    break_values(t.dx_ccl_fr, t.ccl_row_cnt, rng);
    break_values(t.ccl_col, t.ccl_col_cnt, rng);
    break_values(t.ccx_to, t.ccx_row_cnt, rng);
    break_values(t.ccx_dx, 50, rng);
    break_values(t.dag_ast_fr, t.dag_row_cnt, rng);
    if (seed % 2 == 0) {
      t.code_row_cnt = static_cast<uint16_t>(t.code_row_cnt + 5);  // counts past their arrays
      t.code_dx_key_cnt = static_cast<uint16_t>(t.code_dx_key_cnt + 3);
      t.ccl_key_cnt = static_cast<uint16_t>(t.ccl_key_cnt / 2);
    }
    CodeRows rows;
    rows.build(t);

    const size_t cond_rows = rows_of(t.code_row_cnt, t.code_adpt_fr_dt, t.code_adpt_to_dt, t.code_cond);
    const size_t conds = rows_of(t.cond_cnt, t.cond_pos_fr, t.cond_pos_to);
    // A Tcode row: its window and condition, and the positions from which
    // it sets the condition: those of the condition's window, none for a
    // condition outside 1..cond_cnt-1.
    auto same_cond_row = [&](const CondRow& got, size_t j) {
      ASSERT_EQ(got.fr_dt, t.code_adpt_fr_dt[j]);
      ASSERT_EQ(got.to_dt, t.code_adpt_to_dt[j]);
      const int16_t c = t.code_cond[j];
      const bool settable = c >= 1 && static_cast<size_t>(c) < conds;
      ASSERT_EQ(got.cond, settable ? c : 0);
      for (int p = 1; p <= 46; ++p) {
        const bool want = settable && t.cond_pos_fr[c] <= p && p <= t.cond_pos_to[c];
        ASSERT_EQ(got.pos_fr <= p && p <= got.pos_to, want) << "row " << j << ", position " << p;
      }
    };
    // A Tccl row: its window, and its column's place in the matrix when the
    // column lies inside it.
    auto same_ccl_row = [&](const CclRow& got, size_t r) {
      ASSERT_EQ(got.fr_dt, t.ccl_adpt_fr_dt[r]);
      ASSERT_EQ(got.to_dt, t.ccl_adpt_to_dt[r]);
      const int16_t col = t.ccl_col[r];
      ASSERT_EQ(got.col_at, col >= 0 && col < t.ccl_col_cnt ? static_cast<uint32_t>(col) * t.ccl_adrg_cnt
                                                             : CclRow::kNoColumn);
    };

    const long ids = static_cast<long>(std::max({t.dx_cond_fr.size(), t.dx_ccl_fr.size(), t.ccx_fr.size(),
                                                  t.dag_ast_fr.size(), t.sg_cond_fr.size()})) + 3;
    bool ascending = true;
    int stood = 0;
    for (long id = -3; id <= ids; ++id) {
      const auto small_id = static_cast<int16_t>(id);
      const DxRows& dx = rows.dx(small_id);
      expect_rows(dx.cond, id, rows_of(t.code_dx_key_cnt, t.dx_cond_fr, t.dx_cond_to), t.dx_cond_fr, t.dx_cond_to,
                  cond_rows, rows.cond_rows(), same_cond_row);
      expect_rows(dx.ccl, id, rows_of(t.ccl_key_cnt, t.dx_ccl_fr, t.dx_ccl_to), t.dx_ccl_fr, t.dx_ccl_to,
                  rows_of(t.ccl_row_cnt, t.ccl_adpt_fr_dt, t.ccl_adpt_to_dt, t.ccl_col), rows.ccl_rows(),
                  same_ccl_row);
      expect_rows(rows.sg(small_id).cond, id, rows_of(t.code_sg_key_cnt, t.sg_cond_fr, t.sg_cond_to), t.sg_cond_fr,
                  t.sg_cond_to, cond_rows, rows.cond_rows(), same_cond_row);
      for (int32_t date : edge_dates(dx.cond, rows.cond_rows())) {
        for (int p = kFirstDx; p <= kLastDx; ++p) {
          stood += expect_set_stands_for_rows(dx.cond, p == kFirstDx, p, date, rows.cond_rows());
        }
      }
      const auto& sg = rows.sg(small_id).cond;
      for (int32_t date : edge_dates(sg, rows.cond_rows())) {
        for (int p = kFirstProc; p <= kLastProc; ++p) stood += expect_set_stands_for_rows(sg, true, p, date, rows.cond_rows());
      }
      // A diagnosis that names a sex condition with the window 1..1 is
      // looked at for the sex exclusion.
      bool sex_row = false;
      for (size_t j = dx.cond.range.fr; j < dx.cond.range.to; ++j) {
        const CondRow& row = rows.cond_rows()[j];
        const bool sex = row.cond == kCondMaleExcluded || row.cond == kCondFemaleExcluded;
        sex_row = sex_row || (sex && row.pos_fr == 1 && row.pos_to == 1);
      }
      if (sex_row) {
        ASSERT_NE(dx.cond.flags & dx.cond.kSexRow, 0) << "id " << id;
      }

      const RowSpan ccx = key_rows(id, rows_of(t.ccx_cnt, t.ccx_fr, t.ccx_to), t.ccx_fr, t.ccx_to,
                                   rows_of(t.ccx_row_cnt, t.ccx_dx));
      ASSERT_EQ(dx.ccx.fr, ccx.fr) << "id " << id;
      ASSERT_EQ(dx.ccx.to, ccx.to) << "id " << id;
      for (size_t r = ccx.fr + 1; r < ccx.to; ++r) ascending = ascending && t.ccx_dx[r - 1] <= t.ccx_dx[r];

      const RowSpan dag = key_rows(id, rows_of(t.dag_key_cnt, t.dag_ast_fr, t.dag_ast_to), t.dag_ast_fr,
                                   t.dag_ast_to, rows_of(t.dag_row_cnt, t.dag_adpt_fr_dt, t.dag_adpt_to_dt, t.dag_ast));
      ASSERT_EQ(dx.dag.fr, dag.fr) << "id " << id;
      ASSERT_EQ(dx.dag.to, dag.to) << "id " << id;
      for (size_t k = dag.fr; k < dag.to; ++k) {
        const DagRow& got = rows.dag_rows()[k];
        ASSERT_EQ(got.ast, t.dag_ast[k]);
        ASSERT_EQ(got.fr_dt, t.dag_adpt_fr_dt[k]);
        ASSERT_EQ(got.to_dt, t.dag_adpt_to_dt[k]);
      }
    }
    EXPECT_EQ(rows.ccx_ascending(), ascending) << "seed " << seed;
    EXPECT_GT(stood, 1000) << "seed " << seed;
  }
}

}  // namespace
}  // namespace grouper
