// Patient complexity through the whole grouping of one record: the CCL of
// each secondary diagnosis, the sex, principal and highest-CCL exclusions,
// the two CCL texts, the PCCL and the DRG text with its split character.
#include <gtest/gtest.h>

#include <array>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "support/table_builder.h"

namespace grouper {
namespace {

using testing::Episode;
using testing::RuleDef;
using testing::TableBuilder;
using testing::Window;

template <size_t N>
std::string text(const std::array<char, N>& chars) {
  return std::string(chars.data(), N);
}

// A first-pass rule without conditions: it matches every record in `window`.
RuleDef first_pass(int16_t mdc, int16_t adrg, Window window) {
  RuleDef rule;
  rule.mdc = mdc;
  rule.adrg = adrg;
  rule.window = window;
  return rule;
}

struct Dx {
  int16_t id;
  std::string code;
};

// Records dated before 20050701 receive ADRG "X010" with DRG "X0100", whose
// split string "ABCDE" names the PCCL in the last DRG character; later
// records receive ADRG "X020" with DRG "X0200", which has no split rows.
// CCL column L holds level L under "X010" for L = 1..9.
class ComplexityTest : public ::testing::Test {
 protected:
  ComplexityTest() {
    mdc_ = b_.mdc("B01");
    adrg_ = b_.adrg("X010");
    drg_ = b_.drg("X0100");
    late_adrg_ = b_.adrg("X020");
    late_drg_ = b_.drg("X0200");
    b_.rule(first_pass(mdc_, adrg_, Window{0, 20050630}));
    b_.rule(first_pass(mdc_, late_adrg_, Window{20050701, 99991231}));
    b_.pccl(drg_, "ABCDE");
    b_.ccl_columns(10);
    for (int level = 1; level <= 9; ++level) b_.ccl_level(static_cast<int16_t>(level), adrg_, level);
    principal_ = new_dx(0);
  }

  // A new diagnosis code whose CCL under "X010" is `level` (0 = no Tccl row).
  Dx new_dx(int level) {
    std::string code = std::to_string(1000 + next_code_++);
    code.insert(0, 1, 'D');
    Dx d{b_.dx(code), code};
    if (level > 0) b_.dx_ccl(d.id, static_cast<int16_t>(level));
    return d;
  }

  // Builds the store from the definitions; a test may then break it.
  void build() {
    store_ = b_.build();
    normalize_rules(store_);
    fresh_grouper();
  }
  // A grouper over the store as it stands (after a test has changed it).
  void fresh_grouper() {
    set_ = std::make_unique<PreparedSet>(store_);
    grouper_ = std::make_unique<Engine>(*set_);
  }

  // A record with the principal diagnosis and `secondaries` from position 2 on.
  Episode episode(std::initializer_list<Dx> secondaries) const {
    Episode e;
    e.dx(1, principal_.code);
    int position = 2;
    for (const Dx& d : secondaries) e.dx(position++, d.code);
    return e;
  }

  const Result& group(const Episode& e) {
    if (!grouper_) build();
    line_ = e.str();
    EXPECT_EQ(grouper_->group(line_.data(), line_.size()), 0);
    EXPECT_NE(grouper_->result().res_adrg, 0) << "the test rules give every record an ADRG";
    return grouper_->result();
  }

  // The PCCL of a record whose secondary diagnoses have `levels`.
  int pccl_of(std::initializer_list<int> levels) {
    std::vector<Dx> dxs;
    for (int level : levels) dxs.push_back(new_dx(level));
    build();
    Episode e;
    e.dx(1, principal_.code);
    for (size_t i = 0; i < dxs.size(); ++i) e.dx(static_cast<int>(i) + 2, dxs[i].code);
    const Result& r = group(e);
    EXPECT_EQ(r.res_drg_code[5], "ABCDE"[r.res_pccl]);
    return r.res_pccl;
  }

  TableBuilder b_;
  int16_t mdc_ = 0, adrg_ = 0, drg_ = 0, late_adrg_ = 0, late_drg_ = 0;
  Dx principal_{};
  int next_code_ = 0;
  TableStore store_;
  std::unique_ptr<PreparedSet> set_;
  std::unique_ptr<Engine> grouper_;
  std::string line_;
};

// --- worked examples and the formula ---

TEST_F(ComplexityTest, CclsTwoThreeTwoWithoutExclusionsGivePcclFour) {
  Dx a = new_dx(2), b = new_dx(3), c = new_dx(2);
  Episode e = episode({a, b});
  e.dx(5, c.code);
  const Result& r = group(e);
  EXPECT_EQ(text(r.res_ccl_raw), "*230200000");
  EXPECT_EQ(text(r.res_ccl_excl), "*230200000");
  EXPECT_EQ(r.res_pccl, 4);
  EXPECT_EQ(text(r.res_drg_code), "X0100E");
  EXPECT_EQ(r.pos_ccl[2], 2);
  EXPECT_EQ(r.pos_ccl[3], 3);
  EXPECT_EQ(r.pos_ccl[5], 2);
}

TEST_F(ComplexityTest, HighestCclDiagnosisCancelsAnotherWhichThenExcludesNothing) {
  Dx x = new_dx(3), y = new_dx(3), z = new_dx(2);
  b_.ccx(y.id, {x.id});
  b_.ccx(z.id, {y.id});
  const Result& r = group(episode({x, y, z}));
  EXPECT_EQ(text(r.res_ccl_raw), "*332000000");
  EXPECT_EQ(text(r.res_ccl_excl), "*302000000");
  EXPECT_EQ(r.res_pccl, 3);
  EXPECT_EQ(r.res_drg_code[5], 'D');
}

TEST_F(ComplexityTest, FormulaGivesTheStatedPcclForEachCombination) {
  EXPECT_EQ(pccl_of({1}), 1);
  EXPECT_EQ(pccl_of({2}), 2);
  EXPECT_EQ(pccl_of({3}), 3);
  EXPECT_EQ(pccl_of({4}), 3);
  EXPECT_EQ(pccl_of({1, 1}), 2);
  EXPECT_EQ(pccl_of({2, 1}), 3);
  EXPECT_EQ(pccl_of({1, 2}), 3) << "the CCLs are sorted before weighting";
  EXPECT_EQ(pccl_of({4, 4, 4}), 4);
  EXPECT_EQ(pccl_of({4, 4, 4, 4}), 4) << "5 is capped to 4";
  EXPECT_EQ(pccl_of({9, 9, 9, 9, 9, 9, 9, 9, 9}), 4);
}

// The PCCL by the thresholds of the weighted sum: 1 below 1.128864, 2 below
// 2.523005, 3 below 4.830135, else 4 (0 without a CCL).
int pccl_by_thresholds(const std::vector<int>& descending) {
  static constexpr double kWeights[] = {1, 0.670320, 0.449329, 0.301194, 0.201897,
                                        0.135335, 0.090718, 0.060810, 0.040762};
  double sum = 0;
  for (size_t i = 0; i < descending.size(); ++i) sum += descending[i] * kWeights[i];
  if (sum == 0) return 0;
  if (sum < 1.128864) return 1;
  if (sum < 2.523005) return 2;
  if (sum < 4.830135) return 3;
  return 4;
}

TEST_F(ComplexityTest, FormulaAgreesWithTheThresholdsForEveryCombinationUpToFour) {
  // Nine diagnoses of each CCL 1..4, so that any record can hold nine CCLs.
  std::vector<Dx> by_level[5];
  for (int level = 1; level <= 4; ++level) {
    for (int i = 0; i < 9; ++i) by_level[level].push_back(new_dx(level));
  }
  build();
  std::vector<int> ccls(9, 4);
  int checked = 0;
  while (true) {
    Episode e;
    e.dx(1, principal_.code);
    int used[5] = {};
    for (int i = 0; i < 9; ++i) {
      if (ccls[i] > 0) e.dx(i + 2, by_level[ccls[i]][used[ccls[i]]++].code);
    }
    ASSERT_EQ(group(e).res_pccl, pccl_by_thresholds(ccls)) << "CCLs " << ::testing::PrintToString(ccls);
    ++checked;
    // Next non-increasing sequence, in descending order.
    int i = 8;
    while (i >= 0 && ccls[i] == 0) --i;
    if (i < 0) break;
    --ccls[i];
    for (int k = i + 1; k < 9; ++k) ccls[k] = ccls[i];
  }
  EXPECT_EQ(checked, 715);  // multisets of nine values from 0..4
}

TEST_F(ComplexityTest, PrincipalAloneGivesZerosAndTheFirstSplitCharacter) {
  const Result& r = group(episode({}));
  EXPECT_EQ(text(r.res_ccl_raw), "*000000000");
  EXPECT_EQ(text(r.res_ccl_excl), "*000000000");
  EXPECT_EQ(r.res_pccl, 0);
  EXPECT_EQ(text(r.res_drg_code), "X0100A");
}

TEST_F(ComplexityTest, DiagnosisWithoutValidCclRowHasCclZero) {
  Dx later = new_dx(0);
  b_.dx_ccl(later.id, 3, Window{20050302, 99991231});  // valid from the day after the record
  Dx now = new_dx(0);
  b_.dx_ccl(now.id, 5, Window{0, 20050228});
  b_.dx_ccl(now.id, 2, Window{20050301, 20050301});  // first valid row decides
  b_.dx_ccl(now.id, 4);
  const Result& r = group(episode({later, now}));
  EXPECT_EQ(r.pos_ccl[2], 0);
  EXPECT_EQ(r.pos_ccl[3], 2);
  EXPECT_EQ(text(r.res_ccl_raw), "*020000000");
}

TEST_F(ComplexityTest, SameDiagnosisHasTheCclOfTheRecordsAdrg) {
  Dx d = new_dx(3);
  b_.ccl_level(3, late_adrg_, 1);
  const Result& early = group(episode({d}).date("20050630"));
  EXPECT_EQ(early.res_adrg, adrg_);
  EXPECT_EQ(early.pos_ccl[2], 3);
  const Result& late = group(episode({d}).date("20050701"));
  EXPECT_EQ(late.res_adrg, late_adrg_);
  EXPECT_EQ(late.pos_ccl[2], 1);
}

// --- exclusions ---

TEST_F(ComplexityTest, PrincipalCancelsASecondaryOnlyAfterTheRawText) {
  Dx cancelled = new_dx(3), kept = new_dx(1);
  b_.ccx(cancelled.id, {principal_.id});
  const Result& r = group(episode({cancelled, kept}));
  EXPECT_EQ(text(r.res_ccl_raw), "*310000000");
  EXPECT_EQ(text(r.res_ccl_excl), "*010000000");
  EXPECT_EQ(r.res_pccl, 1);
}

TEST_F(ComplexityTest, PrincipalCancellingEveryCclLeavesPcclZero) {
  Dx a = new_dx(2), b = new_dx(1);
  b_.ccx(a.id, {principal_.id});
  b_.ccx(b.id, {principal_.id});
  const Result& r = group(episode({a, b}));
  EXPECT_EQ(text(r.res_ccl_raw), "*210000000");
  EXPECT_EQ(text(r.res_ccl_excl), "*000000000");
  EXPECT_EQ(r.res_pccl, 0);
  EXPECT_EQ(r.res_drg_code[5], 'A');
}

TEST_F(ComplexityTest, OfTwoHighestCclsExcludingEachOtherTheLowerPositionWins) {
  Dx x = new_dx(3), y = new_dx(3);
  b_.ccx(x.id, {x.id, y.id});  // a diagnosis never excludes itself
  b_.ccx(y.id, {x.id});
  const Result& r = group(episode({x, y}));
  EXPECT_EQ(text(r.res_ccl_excl), "*300000000");
  EXPECT_EQ(r.res_pccl, 3);
}

TEST_F(ComplexityTest, LowerCclExcludesNothingAndHighestExcludesBelowItsPosition) {
  Dx low = new_dx(2), high = new_dx(4), other = new_dx(2);
  b_.ccx(other.id, {low.id});   // low is not of highest CCL: no effect
  b_.ccx(low.id, {high.id});    // high stands after low and still cancels it
  const Result& r = group(episode({low, high, other}));
  EXPECT_EQ(text(r.res_ccl_raw), "*242000000");
  EXPECT_EQ(text(r.res_ccl_excl), "*042000000");
  EXPECT_EQ(r.pos_ccl[2], 0);
  EXPECT_EQ(r.pos_ccl[4], 2);
}

TEST_F(ComplexityTest, ExclusionListEdgesAreFoundAndOutsidersRejected) {
  Dx of = new_dx(1);
  b_.ccx(of.id, {3, 5, 9});
  build();
  EXPECT_EQ(grouper_->is_cc_excluded(2, of.id), 0);
  EXPECT_EQ(grouper_->is_cc_excluded(3, of.id), 1);
  EXPECT_EQ(grouper_->is_cc_excluded(5, of.id), 1);
  EXPECT_EQ(grouper_->is_cc_excluded(7, of.id), 0);
  EXPECT_EQ(grouper_->is_cc_excluded(9, of.id), 1);
  EXPECT_EQ(grouper_->is_cc_excluded(10, of.id), 0);
  EXPECT_EQ(grouper_->is_cc_excluded(3, principal_.id), 0) << "an empty list excludes nothing";
}

TEST_F(ComplexityTest, EveryEntryOfListsOfAnyLengthIsFound) {
  const std::vector<std::vector<int16_t>> lists = {{2}, {2, 4}, {2, 4, 4, 7, 11}, {2, 4, 4, 7, 11, 12, 13, 20, 26, 27, 31}};
  std::vector<Dx> of;
  for (int k = 0; k < 4; ++k) of.push_back(new_dx(1));
  b_.ccx(of[0].id, {2});
  b_.ccx(of[1].id, {2, 4});
  b_.ccx(of[2].id, {2, 4, 4, 7, 11});
  b_.ccx(of[3].id, {2, 4, 4, 7, 11, 12, 13, 20, 26, 27, 31});
  build();
  for (size_t k = 0; k < lists.size(); ++k) {
    for (int16_t id = 0; id <= 33; ++id) {
      const bool in = std::find(lists[k].begin(), lists[k].end(), id) != lists[k].end();
      EXPECT_EQ(grouper_->is_cc_excluded(id, of[k].id), in ? 1 : 0) << "id " << id << ", list " << k;
    }
  }
}

// --- sex exclusion ---

class SexExclusionTest : public ComplexityTest {
 protected:
  SexExclusionTest() {
    male_excluded_ = new_dx(2);
    b_.dx_cond(male_excluded_.id, 373);
    female_excluded_ = new_dx(3);
    b_.dx_cond(female_excluded_.id, 388);
  }
  std::string ccls_for_sex(char digit) {
    return text(group(episode({male_excluded_, female_excluded_}).sex(digit)).res_ccl_excl);
  }
  Dx male_excluded_, female_excluded_;
};

TEST_F(SexExclusionTest, OddSexCancelsCondition373AndEvenSexCondition388) {
  EXPECT_EQ(ccls_for_sex('1'), "*030000000");
  EXPECT_EQ(ccls_for_sex('3'), "*030000000");
  EXPECT_EQ(ccls_for_sex('2'), "*200000000");
  EXPECT_EQ(ccls_for_sex('0'), "*200000000");
  EXPECT_EQ(text(grouper_->result().res_ccl_raw), "*230000000") << "the raw text is taken before";
}

TEST_F(SexExclusionTest, NegativeOddSexIsOddAndBlankSexIsEven) {
  EXPECT_EQ(ccls_for_sex('/'), "*030000000");  // '/' - '0' = -1
  EXPECT_EQ(ccls_for_sex(' '), "*200000000");  // ' ' - '0' = -16
}

TEST_F(SexExclusionTest, OnlyValidRowsOfPrincipalPositionConditionsCount) {
  Dx out_of_window = new_dx(4);
  b_.dx_cond(out_of_window.id, 373, Window{20050302, 99991231});
  Dx wide = new_dx(1);
  b_.cond_window(388, 1, 2);
  b_.dx_cond(wide.id, 388);
  const Result& male = group(episode({out_of_window, wide}).sex('1'));
  EXPECT_EQ(text(male.res_ccl_excl), "*410000000");
  const Result& female = group(episode({out_of_window, wide, female_excluded_}).sex('2'));
  EXPECT_EQ(text(female.res_ccl_excl), "*413000000") << "388 no longer restricted to position 1";
}

// --- dagger/asterisk exchange in the texts ---

TEST_F(ComplexityTest, AfterExchangeTheFormerPrincipalShowsItsCclFirst) {
  Dx dagger = new_dx(2);  // stands first in the line
  Dx asterisk = new_dx(5);
  Dx other = new_dx(3);
  b_.dag(dagger.id, asterisk.id);
  Episode e;
  e.dx(1, dagger.code).dx(2, asterisk.code).dx(4, other.code);
  const Result& r = group(e);
  ASSERT_EQ(grouper_->dx_swapped(), 1);
  EXPECT_EQ(grouper_->code_ids()[1], asterisk.id);
  EXPECT_EQ(text(r.res_ccl_raw), "2*03000000");
  EXPECT_EQ(text(r.res_ccl_excl), "2*03000000");
  EXPECT_EQ(r.res_pccl, 3);

  const Result& plain = group(episode({dagger}).dx(4, other.code));
  EXPECT_EQ(grouper_->dx_swapped(), 0);
  EXPECT_EQ(text(plain.res_ccl_raw), "*203000000");
}

// --- the PCCL split character ---

TEST_F(ComplexityTest, NulInTheSplitStringGivesZero) {
  b_.pccl(late_drg_, std::string_view("AB\0DE", 5));
  Dx d = new_dx(0);
  b_.ccl_level(2, late_adrg_, 2);
  b_.dx_ccl(d.id, 2);
  const Result& r = group(episode({d}).date("20050701"));
  ASSERT_EQ(r.res_pccl, 2);
  EXPECT_EQ(text(r.res_drg_code), "X02000");
}

TEST_F(ComplexityTest, NoValidSplitRowGivesZero) {
  EXPECT_EQ(text(group(episode({}).date("20050701")).res_drg_code), "X02000") << "no rows";
  b_.pccl(late_drg_, "ABCDE", Window{20060101, 99991231});
  build();
  EXPECT_EQ(text(group(episode({}).date("20050701")).res_drg_code), "X02000") << "no row valid yet";
}

TEST_F(ComplexityTest, FirstValidSplitRowWins) {
  b_.pccl(late_drg_, "PPPPP", Window{0, 20041231});
  b_.pccl(late_drg_, "OOOOO", Window{0, 20041231});
  b_.pccl(late_drg_, "NNNNN", Window{0, 20041231});  // the fourth row decides
  b_.pccl(late_drg_, "QQQQQ");
  b_.pccl(late_drg_, "RRRRR");
  EXPECT_EQ(text(group(episode({}).date("20050701")).res_drg_code), "X0200Q");
}

// --- broken tables: defined results, nothing read outside an array ---

TEST_F(ComplexityTest, BrokenCclTableGivesCclZero) {
  Dx wild_range = new_dx(2), wild_col = new_dx(0), beyond_keys = new_dx(3);
  b_.dx_ccl(wild_col.id, 3);
  build();
  const size_t wild_col_row = static_cast<size_t>(store_.dx_ccl_fr[wild_col.id]);
  Episode e = episode({wild_range, wild_col, beyond_keys});

  store_.dx_ccl_fr[wild_range.id] = -5;
  store_.dx_ccl_to[wild_range.id] = 30000;  // clipped to the rows there are: row 0 decides
  store_.ccl_col[wild_col_row] = 10;        // one beyond the last column
  store_.ccl_key_cnt = static_cast<uint16_t>(beyond_keys.id);  // ids from here on have no key
  fresh_grouper();
  const Result& r = group(e);
  EXPECT_EQ(r.pos_ccl[2], 2) << "the clipped range starts at row 0, which is its own row";
  EXPECT_EQ(r.pos_ccl[3], 0);
  EXPECT_EQ(r.pos_ccl[4], 0);

  store_.ccl_key_cnt = static_cast<uint16_t>(store_.dx_ccl_fr.size());
  store_.ccl_col[wild_col_row] = -1;
  fresh_grouper();
  EXPECT_EQ(group(e).pos_ccl[3], 0);

  store_.ccl_col[wild_col_row] = 3;
  fresh_grouper();
  EXPECT_EQ(group(e).pos_ccl[3], 3);
  store_.ccl_adrg_cnt = static_cast<uint16_t>(adrg_);  // the record's ADRG beyond the row length
  fresh_grouper();
  EXPECT_EQ(group(e).pos_ccl[3], 0);
  store_.ccl_adrg_cnt = 60000;  // a row length that runs past the matrix
  fresh_grouper();
  EXPECT_EQ(group(e).pos_ccl[3], 0);
}

TEST_F(ComplexityTest, NonDigitMatrixBytesGiveADefinedPccl) {
  Dx one = new_dx(1), odd = new_dx(9);
  build();
  const size_t at = size_t{9} * store_.ccl_adrg_cnt + static_cast<size_t>(adrg_);
  Episode e = episode({one, odd});

  store_.ccl_matrix[at] = 0x80;  // CCL -176: the weighted sum goes negative
  fresh_grouper();
  const Result& negative = group(e);
  EXPECT_EQ(negative.pos_ccl[3], -176);
  EXPECT_EQ(negative.res_pccl, 0);
  EXPECT_EQ(negative.res_drg_code[5], 'A');

  store_.ccl_matrix[at] = 0x7f;  // CCL 79
  fresh_grouper();
  EXPECT_EQ(group(e).res_pccl, 4);
}

TEST_F(ComplexityTest, BrokenExclusionListsExcludeNothingOutsideTheirRows) {
  Dx a = new_dx(3), b = new_dx(3);
  b_.ccx(b.id, {a.id});
  build();
  EXPECT_EQ(grouper_->is_cc_excluded(a.id, b.id), 1);
  EXPECT_EQ(grouper_->is_cc_excluded(a.id, -1), 0);
  EXPECT_EQ(grouper_->is_cc_excluded(a.id, 32767), 0);

  store_.ccx_cnt = static_cast<uint16_t>(b.id);  // b's key lies beyond the key count
  fresh_grouper();
  EXPECT_EQ(grouper_->is_cc_excluded(a.id, b.id), 0);
  EXPECT_EQ(text(group(episode({a, b})).res_ccl_excl), "*330000000");

  store_.ccx_cnt = static_cast<uint16_t>(store_.ccx_fr.size());
  store_.ccx_fr[b.id] = -7;
  store_.ccx_to[b.id] = 1000;  // clipped to the one entry there is
  fresh_grouper();
  EXPECT_EQ(grouper_->is_cc_excluded(a.id, b.id), 1);
  store_.ccx_fr[b.id] = 1000;
  fresh_grouper();
  EXPECT_EQ(grouper_->is_cc_excluded(a.id, b.id), 0);
}

TEST_F(ComplexityTest, UnorderedExclusionListIsScannedToItsEnd) {
  Dx of = new_dx(1);
  b_.ccx(of.id, {3, 5, 9});
  build();
  const size_t fr = static_cast<size_t>(store_.ccx_fr[of.id]);
  store_.ccx_dx[fr + 1] = 9;
  store_.ccx_dx[fr + 2] = 5;  // 3, 9, 5: only the first and last entries bound the test
  fresh_grouper();
  EXPECT_EQ(grouper_->is_cc_excluded(5, of.id), 1);
  EXPECT_EQ(grouper_->is_cc_excluded(9, of.id), 0) << "above the last entry";
}

TEST_F(ComplexityTest, BrokenSplitTableGivesZero) {
  build();
  const size_t row = static_cast<size_t>(store_.drg_pccl_fr[drg_]);
  auto drg_text = [&] {
    fresh_grouper();
    return text(group(episode({})).res_drg_code);
  };

  store_.pccl_split_row[row] = static_cast<int16_t>(store_.pccl_split_cnt);
  EXPECT_EQ(drg_text(), "X01000");
  store_.pccl_split_row[row] = -1;
  EXPECT_EQ(drg_text(), "X01000");

  store_.pccl_split_row[row] = 0;
  store_.drg_pccl_to[drg_] = 32000;  // clipped
  EXPECT_EQ(drg_text(), "X0100A");
  store_.pccl_key_cnt = static_cast<uint16_t>(drg_);  // the DRG has no key
  EXPECT_EQ(drg_text(), "X01000");
}

TEST_F(ComplexityTest, BrokenCodeConditionsDoNotCancelOrCrash) {
  Dx d = new_dx(2);
  b_.dx_cond(d.id, 373);
  build();
  store_.code_cond[static_cast<size_t>(store_.dx_cond_fr[d.id])] = 30000;  // beyond the catalogue
  fresh_grouper();
  EXPECT_EQ(group(episode({d}).sex('1')).pos_ccl[2], 2);
  store_.dx_cond_fr[d.id] = -3;
  store_.dx_cond_to[d.id] = 30000;
  fresh_grouper();
  EXPECT_EQ(group(episode({d}).sex('1')).pos_ccl[2], 2);
}

}  // namespace
}  // namespace grouper
