// Group assignment: the choice of rule set by the date text, the
// normalisation of must-not-hold slots, the two rule passes and the age split
// with the DRG lookup.
#include <gtest/gtest.h>

#include <string>

#include "engine/grouping_fixture.h"

namespace grouper {
namespace {

using testing::Episode;
using testing::RuleDef;
using testing::RuleSets;
using testing::Window;

// ---- rule-set choice ----

class RuleSetChoiceTest : public GroupingTest {
 protected:
  RuleSetChoiceTest() {
    mdc_ = b_.mdc("M01");
    before_ = b_.adrg("B010");
    from_ = b_.adrg("F010");
    RuleDef before = rule_def(1, mdc_, before_);
    before.sets = RuleSets::kBefore2005;
    RuleDef from = rule_def(1, mdc_, from_);
    from.sets = RuleSets::kFrom2005;
    // Valid on every date, also on an unreadable (-1) or blank (0) one.
    before.window = from.window = Window{-1, 99999999};
    b_.rule(before);
    b_.rule(from);
  }
  int16_t adrg_on(const char* date8) { return group(Episode().date(date8)).result().res_adrg; }
  int16_t mdc_, before_, from_;
};

TEST_F(RuleSetChoiceTest, SwitchesOnTheFirstOf2005) {
  EXPECT_EQ(adrg_on("20041231"), before_);
  EXPECT_EQ(&grouper_->active_rule_set(), &set_->store().tadrg);
  EXPECT_EQ(adrg_on("20050101"), from_);
  EXPECT_EQ(&grouper_->active_rule_set(), &set_->store().tadrg1);
  EXPECT_EQ(adrg_on("20991231"), from_);
}

TEST_F(RuleSetChoiceTest, ComparesTheDateAsText) {
  EXPECT_EQ(adrg_on("        "), before_) << "a blank sorts before every digit";
  EXPECT_EQ(adrg_on("2005010 "), before_);
  EXPECT_EQ(adrg_on(" 2050101"), before_);
  EXPECT_EQ(adrg_on("3"), from_) << "\"3       \" sorts after \"20050101\"";
  EXPECT_EQ(adrg_on("2005A101"), from_);
  EXPECT_EQ(adrg_on("2005\xB0" "101"), from_) << "bytes compare as unsigned values";
}

// ---- normalisation ----

TEST(NormalizeRules, EmptyMustNotHoldSlotsBecomeTheAlwaysFalseId) {
  testing::TableBuilder b;
  b.rule(rule_def(1, 1, 0, {5}, {6}));
  TableStore s = b.build();
  s.tadrg.rule_cond[0][3] = -4;     // outside the catalogue: always false
  s.tadrg1.rule_cond[0][12] = 900;  // past cond_cnt (824): always false
  normalize_rules(s);
  const int16_t never = static_cast<int16_t>(s.cond_cnt);
  for (const RuleSet* set : {&s.tadrg, &s.tadrg1}) {
    const RuleConds& c = set->rule_cond[0];
    EXPECT_EQ(c[0], 5);
    EXPECT_EQ(c[1], 0) << "an empty must-hold slot stays 0, the always-true id";
    EXPECT_EQ(c[10], 6);
    for (int slot = 11; slot < 20; ++slot) EXPECT_EQ(c[slot], never) << slot;
  }
  EXPECT_EQ(s.tadrg.rule_cond[0][3], never);
  EXPECT_EQ(s.tadrg1.rule_cond[0][3], 0);

  const TableStore once = s;
  normalize_rules(s);
  EXPECT_EQ(s.tadrg.rule_cond, once.tadrg.rule_cond) << "a second run changes nothing";
  EXPECT_EQ(s.tadrg1.rule_cond, once.tadrg1.rule_cond);
}

TEST(NormalizeRules, ACatalogueTooLargeForASlotUsesAnIdOutsideIt) {
  // cond_cnt 40000 does not fit in a 16-bit slot; the empty must-not-hold
  // slots must still never block a rule.
  testing::TableBuilder b;
  b.cond_count(40000);
  const int16_t adrg = b.adrg("X010");
  b.rule(rule_def(1, 1, adrg, {}, {30000}));
  TableStore s = b.build();
  normalize_rules(s);
  EXPECT_LT(s.tadrg1.rule_cond[0][11], 0);
  PreparedSet g_set(s);
  Engine g(g_set);
  std::string line = Episode().str();
  ASSERT_EQ(g.group(line.data(), line.size()), 0);
  EXPECT_EQ(g.result().res_adrg, adrg);
}

// ---- the rule passes ----

class RulePassTest : public GroupingTest {
 protected:
  RulePassTest() {
    dx_ = b_.dx("A0100");
    b_.dx_cond(dx_, 100);
    dx2_ = b_.dx("B0100");
    b_.dx_cond(dx2_, 101);
    m2_ = b_.mdc("M02");
    m3_ = b_.mdc("M03");
    for (const char* code : {"X010", "X020", "X030", "X040"}) adrg_.push_back(b_.adrg(code));
  }
  const Result& result_of(const Episode& e) { return group(e).result(); }
  int16_t dx_, dx2_, m2_, m3_;
  std::vector<int16_t> adrg_;
};

TEST_F(RulePassTest, ARuleWithoutConditionsMatchesEveryRecordInItsWindow) {
  RuleDef r = rule_def(1, m2_, adrg_[0]);
  r.window = Window{20050301, 20050331};
  b_.rule(r);
  EXPECT_EQ(result_of(Episode().date("20050301")).res_mdc, m2_);
  EXPECT_EQ(result_of(Episode().date("20050331")).res_mdc, m2_);
  EXPECT_EQ(result_of(Episode().date("20050228")).res_mdc, 0);
  EXPECT_EQ(result_of(Episode().date("20050401")).res_mdc, 0);
}

TEST_F(RulePassTest, NoMatchLeavesEveryGroupAtZero) {
  b_.rule(rule_def(1, m2_, adrg_[0], {100}));
  b_.split(adrg_[0], 0, 200, '1');
  b_.drg("X0101");
  b_.drg(std::string(4, '\0') + "0");  // what an ADRG of index 0 would look up
  const Result& r = result_of(Episode());
  EXPECT_EQ(r.res_mdc, 0);
  EXPECT_EQ(r.res_adrg, 0);
  EXPECT_EQ(r.res_split, '0');
  EXPECT_EQ(r.res_drg, 0);
}

TEST_F(RulePassTest, TheFirstMatchingRuleDecidesBothGroups) {
  b_.rule(rule_def(1, m3_, adrg_[2], {101}));
  b_.rule(rule_def(1, m2_, adrg_[0], {100}));
  b_.rule(rule_def(1, m3_, adrg_[1], {100}));
  EXPECT_EQ(result_of(Episode().dx(1, "A0100")).res_mdc, m2_);
  EXPECT_EQ(grouper_->result().res_adrg, adrg_[0]);
  EXPECT_EQ(result_of(Episode().dx(1, "A0100").dx(2, "B0100")).res_adrg, adrg_[2]);
}

TEST_F(RulePassTest, AllMustHoldConditionsAreNeeded) {
  b_.rule(rule_def(1, m2_, adrg_[0], {100, 101}));
  EXPECT_EQ(result_of(Episode().dx(1, "A0100")).res_mdc, 0);
  EXPECT_EQ(result_of(Episode().dx(1, "A0100").dx(2, "B0100")).res_mdc, m2_);
}

TEST_F(RulePassTest, AMustNotHoldConditionThatHoldsBlocksTheRule) {
  b_.rule(rule_def(1, m2_, adrg_[0], {100}, {101}));
  b_.rule(rule_def(1, m3_, adrg_[1], {100}));
  EXPECT_EQ(result_of(Episode().dx(1, "A0100")).res_mdc, m2_) << "empty must-not-hold slots never block";
  EXPECT_EQ(result_of(Episode().dx(1, "A0100").dx(2, "B0100")).res_mdc, m3_);
}

TEST_F(RulePassTest, TheSecondPassMayReplaceTheAdrgAndKeepsTheMdc) {
  b_.rule(rule_def(1, m2_, adrg_[0]));
  b_.rule(rule_def(m2_, m3_, adrg_[1], {101}));
  b_.rule(rule_def(m2_, m3_, adrg_[2], {100}));
  b_.rule(rule_def(m2_, m3_, adrg_[3], {100}));
  EXPECT_EQ(result_of(Episode().dx(1, "A0100")).res_adrg, adrg_[2]);
  EXPECT_EQ(grouper_->result().res_mdc, m2_) << "the second pass never reads rule_mdc";
  EXPECT_EQ(result_of(Episode()).res_adrg, adrg_[0]) << "no second-pass match keeps the first-pass ADRG";
}

TEST_F(RulePassTest, TheSecondPassScansOnlyTheRulesOfTheMdcFound) {
  b_.rule(rule_def(1, m3_, adrg_[0]));
  b_.rule(rule_def(m2_, m2_, adrg_[1]));
  EXPECT_EQ(result_of(Episode()).res_adrg, adrg_[0]);
}

TEST_F(RulePassTest, AFirstPassRuleWithoutAnAdrgGivesNoDrg) {
  b_.rule(rule_def(1, m2_, 0));
  b_.drg(std::string(4, '\0') + "0");
  const Result& r = result_of(Episode());
  EXPECT_EQ(r.res_mdc, m2_);
  EXPECT_EQ(r.res_adrg, 0);
  EXPECT_EQ(r.res_drg, 0);
}

// ---- the age split and the DRG ----

class AgeSplitTest : public GroupingTest {
 protected:
  AgeSplitTest() {
    adrg_ = b_.adrg("X010");
    b_.rule(rule_def(1, b_.mdc("M02"), adrg_));
    drg0_ = b_.drg("X0100");
    drg_child_ = b_.drg("X010C");
    drg_adult_ = b_.drg("X010A");
  }
  // A record of a patient born 1 January 2000 (indicator 3) grouped on `date`.
  const Result& on(const char* date) {
    return group(Episode().birth("000101").sex('3').date(date)).result();
  }
  int16_t adrg_, drg0_, drg_child_, drg_adult_;
};

TEST_F(AgeSplitTest, AgeWindowsAreInclusive) {
  b_.split(adrg_, 0, 17, 'C');
  b_.split(adrg_, 18, 120, 'A');
  EXPECT_EQ(on("20171231").res_split, 'C');
  EXPECT_EQ(grouper_->values().age_yy, 17);
  EXPECT_EQ(grouper_->result().res_drg, drg_child_);
  EXPECT_EQ(on("20180101").res_split, 'A');
  EXPECT_EQ(grouper_->result().res_drg, drg_adult_);
}

TEST_F(AgeSplitTest, TheFirstMatchingRowWins) {
  b_.split(adrg_, 0, 120, 'A');
  b_.split(adrg_, 0, 17, 'C');
  EXPECT_EQ(on("20050101").res_split, 'A');
}

TEST_F(AgeSplitTest, RowsOutsideTheirValidityWindowAreSkipped) {
  b_.split(adrg_, 0, 120, 'A', Window{20060101, 20061231});
  b_.split(adrg_, 0, 120, 'C', Window{20050101, 20051231});
  EXPECT_EQ(on("20051231").res_split, 'C');
  EXPECT_EQ(on("20060101").res_split, 'A');
}

TEST_F(AgeSplitTest, NoMatchingRowLooksUpTheCodeWithZero) {
  b_.split(adrg_, 0, 17, 'C');
  const Result& r = on("20400101");
  EXPECT_EQ(r.res_split, '0');
  EXPECT_EQ(r.res_drg, drg0_);
}

TEST_F(AgeSplitTest, ANegativeAgeMatchesOnlyWindowsHoldingIt) {
  b_.split(adrg_, 0, 17, 'C');
  EXPECT_EQ(on("19991231").res_split, '0');
  EXPECT_EQ(grouper_->values().age_yy, -1);

  b_.split(adrg_, -5, -1, 'A');
  grouper_.reset();
  EXPECT_EQ(on("19991231").res_split, 'A');
}

TEST_F(AgeSplitTest, RowsPastTheFirstFewGiveTheirOwnDrg) {
  b_.split(adrg_, 0, 1, 'X');
  b_.split(adrg_, 2, 3, 'Y');
  b_.split(adrg_, 4, 5, 'W');
  b_.split(adrg_, 6, 17, 'C');
  b_.split(adrg_, 18, 120, 'A');
  EXPECT_EQ(on("20171231").res_drg, drg_child_);
  EXPECT_EQ(on("20180101").res_drg, drg_adult_);
  EXPECT_EQ(on("20030101").res_drg, 0) << "split X has no DRG";
}

TEST_F(AgeSplitTest, AMissingDrgKeyLeavesNoDrg) {
  b_.split(adrg_, 0, 120, 'Z');
  const Result& r = on("20050101");
  EXPECT_EQ(r.res_split, 'Z');
  EXPECT_EQ(r.res_adrg, adrg_);
  EXPECT_EQ(r.res_drg, 0);
}

TEST_F(AgeSplitTest, ADrgCodeStandingTwiceResolvesToTheLowerRow) {
  b_.split(adrg_, 0, 120, 'A');
  b_.drg("X010A");
  EXPECT_EQ(on("20050101").res_drg, drg_adult_);
}

}  // namespace
}  // namespace grouper
