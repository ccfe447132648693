// Condition evaluation: table conditions from the codes of a record, the
// built-in logic conditions at their boundaries, and the check that the
// catalogue agrees with the built-in logic.
#include <gtest/gtest.h>

#include <cstdio>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "engine/grouping_fixture.h"
#include "engine/prepared/fixed_ids.h"

namespace grouper {
namespace {

using testing::Episode;
using testing::Window;

// ---- table conditions ----

class TableCondTest : public GroupingTest {
 protected:
  TableCondTest() {
    dx_a_ = b_.dx("A0100");
    dx_b_ = b_.dx("B0100");
    proc_ = b_.proc("P0100");
    proc2_ = b_.proc("P0200");
  }
  int16_t dx_a_, dx_b_, proc_, proc2_;
};

TEST_F(TableCondTest, ACodeSetsItsConditions) {
  b_.dx_cond(dx_a_, 100);
  b_.dx_cond(dx_a_, 101);
  b_.proc_cond(proc_, 200);
  const Engine& g = group(Episode().dx(3, "A0100").proc(30, "P0100"));
  EXPECT_EQ(g.cond_val(100), 1);
  EXPECT_EQ(g.cond_val(101), 1);
  EXPECT_EQ(g.cond_val(200), 1);
  EXPECT_EQ(g.cond_hits(200), 1);
  EXPECT_EQ(g.cond_val(102), 0);
}

TEST_F(TableCondTest, CodesNotFoundSetNothing) {
  b_.dx_cond(0, 100);  // rows of id 0 must never apply
  const Engine& g = group(Episode().dx(1, "Z9999"));
  EXPECT_EQ(g.cond_val(100), 0);
}

TEST_F(TableCondTest, ValidityWindowHoldsOnBothEdges) {
  b_.dx_cond(dx_a_, 100, Window{20050301, 20050331});
  EXPECT_TRUE(holds(Episode().date("20050301").dx(1, "A0100"), 100));
  EXPECT_TRUE(holds(Episode().date("20050331").dx(1, "A0100"), 100));
  EXPECT_FALSE(holds(Episode().date("20050228").dx(1, "A0100"), 100));
  EXPECT_FALSE(holds(Episode().date("20050401").dx(1, "A0100"), 100));
}

TEST_F(TableCondTest, PositionWindowRestrictsWhereACodeSetsTheCondition) {
  b_.dx_cond(dx_a_, 100);
  b_.cond_window(100, 1, 1);
  b_.proc_cond(proc_, 101);
  b_.cond_window(101, 1, 10);
  EXPECT_TRUE(holds(Episode().dx(1, "A0100"), 100));
  EXPECT_FALSE(holds(Episode().dx(2, "A0100"), 100));
  EXPECT_FALSE(holds(Episode().proc(11, "P0100"), 101));
}

TEST_F(TableCondTest, EachClassOfACodeSetsItsOwnIdsHoweverMany) {
  // Diagnoses whose rows set a ids at the principal position only and b at
  // the others only; a procedure setting a + b ids.
  const std::pair<int, int> sizes[] = {{1, 4}, {4, 1}, {3, 2}, {2, 3}, {0, 2}, {5, 0}};
  int16_t next = 100;
  struct Code {
    std::string text;
    std::vector<int16_t> principal, other;
  };
  std::vector<Code> codes;
  for (const auto& [a, b] : sizes) {
    char text[8];
    std::snprintf(text, sizeof text, "E%zu000", codes.size());
    Code c{text, {}, {}};
    const int16_t dx = b_.dx(c.text.c_str());
    const int16_t proc = b_.proc(c.text.c_str());
    for (int k = 0; k < a + b; ++k, ++next) {
      b_.dx_cond(dx, next);
      b_.proc_cond(proc, next);
      b_.cond_window(next, k < a ? 1 : 2, k < a ? 1 : 46);
      (k < a ? c.principal : c.other).push_back(next);
    }
    codes.push_back(c);
  }
  for (const Code& c : codes) {
    for (int p : {1, 2}) {
      const Engine& g = group(Episode().dx(p, c.text));
      for (int16_t id : c.principal) EXPECT_EQ(g.cond_val(id), p == 1) << c.text << " at " << p << ", id " << id;
      for (int16_t id : c.other) EXPECT_EQ(g.cond_val(id), p == 2) << c.text << " at " << p << ", id " << id;
    }
    const Engine& g = group(Episode().proc(11, c.text));
    for (int16_t id : c.other) EXPECT_EQ(g.cond_val(id), 1) << c.text << " as a procedure, id " << id;
  }
}

TEST_F(TableCondTest, TheExchangedCodeSetsConditionsOfItsNewPosition) {
  b_.dag(dx_a_, dx_b_);
  b_.dx_cond(dx_b_, 100);
  b_.cond_window(100, 1, 1);
  b_.dx_cond(dx_a_, 101);
  b_.cond_window(101, 2, 10);
  const Engine& g = group(Episode().dx(1, "A0100").dx(2, "B0100"));
  ASSERT_EQ(g.dx_swapped(), 1);
  EXPECT_EQ(g.cond_val(100), 1) << "B now stands in position 1";
  EXPECT_EQ(g.cond_val(101), 1) << "A now stands in position 2";
}

TEST_F(TableCondTest, HitsCountEveryPositionAndEveryValidRow) {
  b_.proc_cond(proc_, 621);
  EXPECT_EQ(group(Episode().proc(11, "P0100")).cond_hits(621), 1);
  EXPECT_FALSE(grouper_->cond_val(783));
  EXPECT_EQ(group(Episode().proc(11, "P0100").proc(12, "P0100")).cond_hits(621), 2);
  EXPECT_TRUE(grouper_->cond_val(783));

  b_.dx_cond(dx_a_, 387);
  b_.dx_cond(dx_a_, 387);
  b_.dx_cond(dx_a_, 387, Window{20000101, 20001231});  // not valid, not counted
  grouper_.reset();
  EXPECT_EQ(group(Episode().dx(1, "A0100")).cond_hits(387), 2);
  EXPECT_TRUE(grouper_->cond_val(784));
}

TEST_F(TableCondTest, HitsSaturateAt127) {
  for (int i = 0; i < 4; ++i) b_.proc_cond(proc_, 398);
  Episode e;
  for (int p = 11; p <= 46; ++p) e.proc(p, "P0100");  // 36 positions x 4 rows = 144 hits
  const Engine& g = group(e);
  EXPECT_EQ(g.cond_hits(398), 127);
  EXPECT_TRUE(g.cond_val(785)) << "a wrapped count would be negative";
}

TEST_F(TableCondTest, ProceduresPast41LeaveNoPositionTrace) {
  b_.proc_cond(proc_, 357);
  const Engine& g = group(Episode().proc(41, "P0100").proc(42, "P0100"));
  EXPECT_EQ(g.pos_cond(41, 357), 1);
  EXPECT_EQ(g.pos_cond(42, 357), 0);
  EXPECT_EQ(g.cond_hits(357), 2);
  EXPECT_EQ(group(Episode().proc(42, "P0100")).cond_val(357), 1);
  EXPECT_EQ(grouper_->pos_cond(42, 357), 0);
}

TEST_F(TableCondTest, DiagnosesLeaveNoPositionTrace) {
  b_.dx_cond(dx_a_, 357);
  const Engine& g = group(Episode().dx(1, "A0100"));
  EXPECT_EQ(g.cond_val(357), 1);
  EXPECT_EQ(g.pos_cond(1, 357), 0);
  EXPECT_EQ(g.cond_val(805), 0);
}

// ---- procedure position tests (805..809, 813..815) ----

class PositionLogicTest : public TableCondTest {
 protected:
  PositionLogicTest() {
    b_.proc_cond(proc_, 357);
    b_.proc_cond(proc_, 743);
    only357_ = b_.proc("P0300");
    b_.proc_cond(only357_, 357);
  }
  int16_t only357_;
};

TEST_F(PositionLogicTest, AProcedureSetting357AndTheOtherDoesNotSatisfy) {
  EXPECT_FALSE(holds(Episode().proc(11, "P0100"), 805));
  EXPECT_TRUE(grouper_->cond_val(806)) << "P0100 does not set 745";
}

TEST_F(PositionLogicTest, ASecondProcedureSettingOnly357Satisfies) {
  EXPECT_TRUE(holds(Episode().proc(11, "P0100").proc(12, "P0300"), 805));
}

TEST_F(PositionLogicTest, Position41CountsAndPosition42DoesNot) {
  EXPECT_TRUE(holds(Episode().proc(11, "P0100").proc(41, "P0300"), 805));
  EXPECT_FALSE(holds(Episode().proc(11, "P0100").proc(42, "P0300"), 805));
  const Engine& g = group(Episode().proc(42, "P0300"));
  EXPECT_EQ(g.cond_val(357), 1);
  for (int c : {805, 806, 807, 808, 809, 813, 814, 815}) EXPECT_EQ(g.cond_val(c), 0) << c;
}

TEST_F(PositionLogicTest, EachTestNamesItsOwnCondition) {
  const int16_t p = b_.proc("P0400");
  b_.proc_cond(p, 357);
  for (int c : {743, 745, 746, 747, 748, 759, 358}) b_.proc_cond(p, static_cast<int16_t>(c));
  const Engine& g = group(Episode().proc(20, "P0400"));
  for (int c : {805, 806, 807, 808, 809, 813, 814}) EXPECT_EQ(g.cond_val(c), 0) << c;
  EXPECT_EQ(g.cond_val(815), 1) << "P0400 sets 357 but not 359";
}

// ---- sums of conditions and hits ----

class SumLogicTest : public TableCondTest {
 protected:
  // The code of the procedure that sets `cond`: "P" and 1000 + cond.
  static std::string code_for(int cond) {
    char code[16];
    std::snprintf(code, sizeof code, "P%04d", 1000 + cond);
    return code;
  }
  void proc_for(int cond) { b_.proc_cond(b_.proc(code_for(cond)), static_cast<int16_t>(cond)); }
  Episode with(std::initializer_list<int> conds) {
    Episode e;
    int pos = 11;
    for (int c : conds) e.proc(pos++, code_for(c));
    return e;
  }
};

TEST_F(SumLogicTest, TwoOfAGroupSatisfy) {
  for (int c : {389, 390, 391, 397, 399, 402, 404, 407, 409, 412, 602, 603}) proc_for(c);
  EXPECT_TRUE(holds(with({389, 397}), 788));
  EXPECT_FALSE(holds(with({389, 390}), 788)) << "390 is not among the eight";
  EXPECT_FALSE(holds(with({391}), 788));
  EXPECT_TRUE(holds(with({399, 402}), 789));
  EXPECT_FALSE(holds(with({399}), 789));
  EXPECT_TRUE(holds(with({404, 407}), 790));
  EXPECT_TRUE(holds(with({409, 412}), 791));
  EXPECT_TRUE(holds(with({602, 603}), 782));
  EXPECT_FALSE(holds(with({602}), 782));
}

TEST_F(SumLogicTest, OneOfAGroupSatisfies) {
  for (int c : {13, 428, 15, 39, 753, 17, 755, 19, 757}) proc_for(c);
  EXPECT_TRUE(holds(with({13}), 801));
  EXPECT_TRUE(holds(with({428}), 801));
  EXPECT_TRUE(holds(with({15}), 810));
  EXPECT_TRUE(holds(with({753}), 810));
  EXPECT_TRUE(holds(with({17}), 811));
  EXPECT_TRUE(holds(with({757}), 812));
  const Engine& g = group(Episode());
  for (int c : {801, 810, 811, 812}) EXPECT_EQ(g.cond_val(c), 0) << c;
}

TEST_F(SumLogicTest, RepeatedHitsSatisfyTheirCountTests) {
  for (int c : {398, 403, 408}) proc_for(c);
  EXPECT_TRUE(holds(with({398, 398}), 785));
  EXPECT_TRUE(holds(with({403, 403}), 786));
  EXPECT_TRUE(holds(with({408, 408}), 787));
  EXPECT_FALSE(holds(with({408}), 787));
}

// ---- record-value conditions ----

class ValueLogicTest : public GroupingTest {
 protected:
  // The logic conditions among `ids` that hold for `e`.
  std::vector<int> holding(const Episode& e, std::initializer_list<int> ids) {
    const Engine& g = group(e);
    std::vector<int> out;
    for (int c : ids) {
      if (g.cond_val(c)) out.push_back(c);
    }
    return out;
  }
  std::vector<int> weight(const char* text5) {
    return holding(Episode().birth_wt(text5), {792, 793, 794, 795, 796, 797, 798, 823});
  }
};

using V = std::vector<int>;

TEST_F(ValueLogicTest, BirthWeightBands) {
  EXPECT_EQ(weight("00001"), (V{796, 797}));
  EXPECT_EQ(weight("00749"), (V{796, 797}));
  EXPECT_EQ(weight("00750"), (V{795, 796}));
  EXPECT_EQ(weight("00999"), (V{795, 796}));
  EXPECT_EQ(weight("01000"), (V{792, 796}));
  EXPECT_EQ(weight("01249"), (V{792, 796}));
  EXPECT_EQ(weight("01250"), (V{792}));
  EXPECT_EQ(weight("01499"), (V{792}));
  EXPECT_EQ(weight("01500"), (V{793}));
  EXPECT_EQ(weight("01999"), (V{793}));
  EXPECT_EQ(weight("02000"), (V{794}));
  EXPECT_EQ(weight("02499"), (V{794}));
  EXPECT_EQ(weight("02500"), (V{798}));
  EXPECT_EQ(weight("32767"), (V{798}));
}

TEST_F(ValueLogicTest, BlankUnreadableAndWrappedBirthWeights) {
  EXPECT_EQ(weight("     "), (V{796, 823}));
  EXPECT_EQ(weight("12x45"), (V{796, 823}));
  EXPECT_EQ(weight("40000"), (V{796, 823})) << "40000 reads as -25536";
}

TEST_F(ValueLogicTest, AgeInDaysAndYears) {
  // Birth 1 January 2005 (indicator 3: the 2000s).
  auto at = [](const char* date) { return Episode().birth("050101").sex('3').date(date); };
  EXPECT_EQ(holding(at("20050128"), {799}), V{}) << "27 days";
  EXPECT_EQ(holding(at("20050129"), {799}), V{799}) << "28 days";
  EXPECT_EQ(holding(at("20051231"), {800, 822}), V{}) << "0 years";
  EXPECT_EQ(holding(at("20060101"), {800, 822}), V{800});
  EXPECT_EQ(holding(Episode().birth("050310").sex('3').date("20050301"), {800, 822}), V{822}) << "-1 years";
}

TEST_F(ValueLogicTest, LengthOfStay) {
  auto los = [&](const char* text3) { return holding(Episode().los(text3), {802, 803, 804}); };
  EXPECT_EQ(los("001"), (V{802, 803, 804}));
  EXPECT_EQ(los("002"), (V{802, 803}));
  EXPECT_EQ(los("003"), (V{803}));
  EXPECT_EQ(los("004"), (V{803}));
  EXPECT_EQ(los("005"), V{});
  EXPECT_EQ(los("   "), (V{802, 803})) << "blank reads as 0";
  EXPECT_EQ(los("1-1"), (V{802, 803})) << "unreadable reads as -1";
}

TEST_F(ValueLogicTest, DischargeStatus) {
  auto dsch = [&](char d) { return holding(Episode().dsch(d), {816, 817, 818}); };
  EXPECT_EQ(dsch('1'), V{});
  EXPECT_EQ(dsch('2'), (V{816, 817}));
  EXPECT_EQ(dsch('3'), (V{816, 817}));
  EXPECT_EQ(dsch('4'), (V{817, 818}));
  EXPECT_EQ(dsch('5'), V{});
}

TEST_F(ValueLogicTest, SexParity) {
  EXPECT_EQ(holding(Episode().sex('1'), {819}), V{819});
  EXPECT_EQ(holding(Episode().sex('2'), {819}), V{});
  EXPECT_EQ(holding(Episode().sex('/'), {819}), V{819}) << "'/' - '0' is -1, a negative odd value";
  EXPECT_EQ(holding(Episode().sex(' '), {819}), V{}) << "a blank gives -16";
}

TEST_F(ValueLogicTest, VentilationHours) {
  auto vent = [&](const char* text5) { return holding(Episode().vent_hr(text5), {820, 821}); };
  EXPECT_EQ(vent("00024"), V{});
  EXPECT_EQ(vent("00025"), V{820});
  EXPECT_EQ(vent("00095"), V{820});
  EXPECT_EQ(vent("00096"), (V{820, 821}));
  EXPECT_EQ(vent("     "), V{});
}

// ---- the catalogue check ----

using LogicSettingTest = GroupingTest;

TEST_F(LogicSettingTest, TheBuiltCatalogueMatches) {
  EXPECT_EQ(group_status(Episode()), 0);
  EXPECT_EQ(grouper_->check_logic_setting(), 0);
}

TEST_F(LogicSettingTest, ALogicIdTypedTableFailsAtTheFirstRecord) {
  b_.cond_type(790, 't');
  EXPECT_EQ(group_status(Episode()), -1);
  EXPECT_EQ(group_status(Episode()), -1) << "the outcome depends only on the catalogue";
}

TEST_F(LogicSettingTest, ATableIdTypedLogicFails) {
  b_.cond_type(700, 'l');
  EXPECT_EQ(group_status(Episode()), -1);
}

TEST_F(LogicSettingTest, AnyOtherTypeByteFails) {
  b_.cond_type(5, 'T');
  EXPECT_EQ(group_status(Episode()), -1);
}

TEST_F(LogicSettingTest, IdZeroIsNotTested) {
  b_.cond_type(0, '?');
  EXPECT_EQ(group_status(Episode()), 0);
}

TEST_F(LogicSettingTest, ALargerCatalogueMatchesWhenItsExtraIdsAreTableConditions) {
  b_.cond_count(2000);
  const int16_t p = b_.proc("P0100");
  b_.proc_cond(p, 1999);
  EXPECT_EQ(group_status(Episode().proc(11, "P0100")), 0);
  EXPECT_EQ(grouper_->cond_val(1999), 1);
  EXPECT_EQ(grouper_->cond_val(2000), 0) << "cond_cnt is the always-false id";
}

TEST_F(LogicSettingTest, ExactlyTheCataloguesLogicIdsHaveATestText) {
  build();
  ASSERT_GT(store_.cond_type.size(), size_t{kLastLogicCond});
  for (int id = -1; id <= static_cast<int>(store_.cond_type.size()); ++id) {
    const bool logic = id >= 0 && id < static_cast<int>(store_.cond_type.size()) && store_.cond_type[id] == 'l';
    EXPECT_EQ(!logic_condition_text(id).empty(), logic) << id;
  }
}

TEST_F(LogicSettingTest, ACatalogueTooShortForTheLogicFailsWithoutWritingOutside) {
  const int16_t p = b_.proc("P0100");
  b_.proc_cond(p, 357);
  b_.proc_cond(p, 799);
  store_ = b_.build();
  for (uint16_t n : {0, 1, 500, 790, 823}) {
    TableStore s = store_;
    s.cond_cnt = n;
    s.cond_type.resize(n);
    s.cond_pos_fr.resize(n);
    s.cond_pos_to.resize(n);
    normalize_rules(s);
    PreparedSet g_set(s);
    Engine g(g_set);
    std::string line = Episode().birth_wt("00500").proc(11, "P0100").str();
    EXPECT_EQ(g.group(line.data(), line.size()), -1) << n << " conditions";
    if (n > 1) {
      EXPECT_EQ(g.cond_val(n), 0) << "the always-false id stays false with " << n << " conditions";
    }
    if (n == 790) {
      EXPECT_EQ(g.cond_val(357), 1) << "ids inside the short catalogue are still set";
    }
  }
}

}  // namespace
}  // namespace grouper
