// The supplementary group through the whole grouping of one record: the
// 20050701 threshold, the first-row marker of a fixed group, the accepted
// group values and their code texts, and records without an ADRG.
#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <string>

#include "engine/engine.h"
#include "support/table_builder.h"

namespace grouper {
namespace {

using testing::Episode;
using testing::RuleDef;
using testing::TableBuilder;
using testing::Window;

// A first-pass rule that gives `adrg` to records whose diagnoses carry condition 1.
RuleDef rule_for_condition_1(int16_t mdc, int16_t adrg) {
  RuleDef rule;
  rule.mdc = mdc;
  rule.adrg = adrg;
  rule.must = {1};
  return rule;
}

// Records whose principal diagnosis carries condition 1 receive ADRG "X010";
// every other record has no ADRG.  The builder's group codes are "LT01" to
// "LT19".
class SupplementaryTest : public ::testing::Test {
 protected:
  SupplementaryTest() {
    mdc_ = b_.mdc("B01");
    adrg_ = b_.adrg("X010");
    b_.drg("X0100");
    int16_t grouped = b_.dx("G0001");
    b_.dx("N0001");
    b_.dx_cond(grouped, 1);
    b_.rule(rule_for_condition_1(mdc_, adrg_));
  }

  void build() {
    store_ = b_.build();
    normalize_rules(store_);
    fresh_grouper();
  }
  void fresh_grouper() {
    set_ = std::make_unique<PreparedSet>(store_);
    grouper_ = std::make_unique<Engine>(*set_);
  }

  // Groups a record with the ADRG (or without one) dated `date`.
  const Result& group(std::string_view date, bool with_adrg = true) {
    if (!grouper_) build();
    line_ = Episode().date(date).dx(1, with_adrg ? "G0001" : "N0001").str();
    EXPECT_EQ(grouper_->group(line_.data(), line_.size()), 0);
    EXPECT_EQ(grouper_->result().res_adrg, with_adrg ? adrg_ : 0);
    return grouper_->result();
  }
  // The four code characters of a record, NULs included.
  std::string code(std::string_view date, bool with_adrg = true) {
    const auto& text = group(date, with_adrg).res_ltcdrg_code;
    return std::string(text.data(), text.size());
  }

  TableBuilder b_;
  int16_t mdc_ = 0, adrg_ = 0;
  TableStore store_;
  std::unique_ptr<PreparedSet> set_;
  std::unique_ptr<Engine> grouper_;
  std::string line_;
};

const std::string kNoGroup("0000");
const std::string kFixed("AW17");
std::string group_code(const char* code4) { return code4; }

// --- the date threshold and the first-row marker ---

TEST_F(SupplementaryTest, FixedGroupStartsOnTheThresholdDate) {
  b_.ltc_fixed(adrg_);
  EXPECT_EQ(code("20050630"), kNoGroup);
  EXPECT_EQ(grouper_->result().res_ltcdrg, 0);
  EXPECT_EQ(code("20050701"), kFixed);
  EXPECT_EQ(grouper_->result().res_ltcdrg, 9999);
  EXPECT_EQ(code("20991231"), kFixed);
}

TEST_F(SupplementaryTest, UnreadableOrBlankDateGetsNoGroup) {
  b_.ltc_fixed(0);
  EXPECT_EQ(code("2005O701", false), kNoGroup);  // reads as -1
  EXPECT_EQ(code("        ", false), kNoGroup);  // reads as 0
  EXPECT_EQ(code("20050701", false), kFixed);
}

TEST_F(SupplementaryTest, FirstRowMarkerIgnoresTheEndRowAndTheRows) {
  b_.ltc_row(adrg_, 5);
  build();
  EXPECT_EQ(code("20050701"), group_code("LT05"));
  store_.adrg_ast_fr[adrg_] = 0;  // the row range still ends above 0
  ASSERT_GT(store_.adrg_ast_to[adrg_], 0);
  fresh_grouper();
  EXPECT_EQ(code("20050701"), kFixed);
}

// --- group values of the first valid row ---

TEST_F(SupplementaryTest, GroupValuesOneToNineteenAndNineNineNineNineAreAccepted) {
  const struct {
    int16_t value;
    int expected;
    std::string code;
  } cases[] = {
      {1, 1, group_code("LT01")}, {19, 19, group_code("LT19")}, {9999, 9999, kFixed},
      {0, 0, kNoGroup},           {20, 0, kNoGroup},            {-1, 0, kNoGroup},
      {9998, 0, kNoGroup},        {10000, 0, kNoGroup},
  };
  for (const auto& c : cases) {
    b_ = TableBuilder();
    mdc_ = b_.mdc("B01");
    adrg_ = b_.adrg("X010");
    b_.dx_cond(b_.dx("G0001"), 1);
    b_.dx("N0001");
    b_.rule(rule_for_condition_1(mdc_, adrg_));
    b_.ltc_code(20, "LT20");  // a code row for 20 exists, yet 20 is no group value
    b_.ltc_row(adrg_, c.value);
    build();
    EXPECT_EQ(code("20050701"), c.code) << "group value " << c.value;
    EXPECT_EQ(grouper_->result().res_ltcdrg, c.expected) << "group value " << c.value;
    EXPECT_EQ(grouper_->find_ltcdrg(), c.expected);
  }
}

TEST_F(SupplementaryTest, FirstValidRowWins) {
  b_.ltc_row(adrg_, 2, Window{20050801, 99991231});  // not yet valid
  b_.ltc_row(adrg_, 3, Window{20050701, 20050731});
  b_.ltc_row(adrg_, 4);
  EXPECT_EQ(code("20050701"), group_code("LT03"));
  EXPECT_EQ(code("20050731"), group_code("LT03"));
  EXPECT_EQ(code("20050801"), group_code("LT02"));
}

TEST_F(SupplementaryTest, RowsPastTheFirstFewAreReadToo) {
  b_.ltc_row(adrg_, 1, Window{20050701, 20050731});
  b_.ltc_row(adrg_, 2, Window{20050801, 20050831});
  b_.ltc_row(adrg_, 3, Window{20050901, 20050930});
  b_.ltc_row(adrg_, 4, Window{20051001, 20051031});
  b_.ltc_row(adrg_, 5, Window{20051101, 99991231});
  EXPECT_EQ(code("20051015"), group_code("LT04"));
  EXPECT_EQ(code("20060101"), group_code("LT05"));
}

TEST_F(SupplementaryTest, FirstValidRowDecidesEvenWhenItHoldsNoGroup) {
  b_.ltc_row(adrg_, 20);
  b_.ltc_row(adrg_, 7);
  EXPECT_EQ(code("20050701"), kNoGroup);
}

TEST_F(SupplementaryTest, RowsWithoutAValidOneGiveNoGroup) {
  b_.ltc_row(adrg_, 3, Window{20050702, 99991231});
  b_.ltc_row(adrg_, 4, Window{0, 20050630});
  EXPECT_EQ(code("20050701"), kNoGroup);
  EXPECT_EQ(code("20050702"), group_code("LT03"));
}

TEST_F(SupplementaryTest, CodeTextStopsAtANul) {
  b_.ltc_code(6, std::string_view("AB\0D", 4));
  b_.ltc_row(adrg_, 6);
  EXPECT_EQ(code("20050701"), std::string("AB\0\0", 4));
}

// --- records without an ADRG ---

TEST_F(SupplementaryTest, RecordWithoutAdrgIsLookedUpUnderIndexZero) {
  EXPECT_EQ(code("20050701", false), kNoGroup) << "index 0 has no rows by default";
  b_.ltc_row(0, 8);
  build();
  EXPECT_EQ(code("20050701", false), group_code("LT08"));
  EXPECT_EQ(code("20050630", false), kNoGroup);
  b_.ltc_fixed(0);
  build();
  EXPECT_EQ(code("20050701", false), kFixed);
  EXPECT_EQ(code("20050701"), kNoGroup) << "the record's own ADRG has no rows";
}

// --- broken tables: defined results, nothing read outside an array ---

TEST_F(SupplementaryTest, AdrgBeyondTheKeyCountGetsNoGroup) {
  b_.ltc_fixed(adrg_);
  build();
  store_.adrg_ast_cnt = static_cast<uint16_t>(adrg_);
  fresh_grouper();
  EXPECT_EQ(code("20050701"), kNoGroup);
  store_.adrg_ast_cnt = 0;
  fresh_grouper();
  EXPECT_EQ(code("20050701", false), kNoGroup);
}

TEST_F(SupplementaryTest, RowRangesAreClippedToTheRows) {
  b_.ltc_row(adrg_, 11);
  build();
  store_.adrg_ast_to[adrg_] = 32000;
  fresh_grouper();
  EXPECT_EQ(code("20050701"), group_code("LT11"));
  store_.ast_adpt_to_dt[0] = 99991231;  // row 0, value 0, now valid
  store_.adrg_ast_fr[adrg_] = -4;        // clipped to start at row 0
  fresh_grouper();
  EXPECT_EQ(code("20050701"), kNoGroup);
  store_.adrg_ast_fr[adrg_] = 31000;
  fresh_grouper();
  EXPECT_EQ(code("20050701"), kNoGroup);
}

TEST_F(SupplementaryTest, GroupValueWithoutACodeRowGetsNoGroup) {
  b_.ltc_row(adrg_, 12);
  build();
  store_.ltc_drg_cnt = 12;  // rows 0..11 only
  fresh_grouper();
  EXPECT_EQ(code("20050701"), kNoGroup);
  EXPECT_EQ(grouper_->result().res_ltcdrg, 0);
  store_.ltc_drg_code.resize(5);
  store_.ltc_drg_cnt = 60000;  // a count beyond the codes there are
  fresh_grouper();
  EXPECT_EQ(code("20050701"), kNoGroup);
}

}  // namespace
}  // namespace grouper
