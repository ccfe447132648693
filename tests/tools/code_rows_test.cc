// The rows laid out per code id against the plain guarded lookups over the
// table arrays they are made from, on generated sets whose ranges, ids,
// windows and counts are broken at random: every id (those outside the keys
// included) gets exactly the rows the plain lookup gives, with the same
// meaning.
#include <gtest/gtest.h>

#include <random>

#include "generate_profile.h"
#include "generate_tables.h"
#include "grouper/code_rows.h"
#include "grouper/guarded_lookup.h"

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
      ASSERT_EQ(got.cond, t.code_cond[j]);
      const int16_t c = t.code_cond[j];
      for (int p = 1; p <= 46; ++p) {
        const bool want = c >= 1 && static_cast<size_t>(c) < conds && t.cond_pos_fr[c] <= p && p <= t.cond_pos_to[c];
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
  }
}

}  // namespace
}  // namespace grouper
