// The checks of verify: silent on sound sets, and each broken rule of the
// table files found once, at its file, array and index, with its severity.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "support/table_builder.h"
#include "verify_checks.h"

namespace grouper::tools {
namespace {

using grouper::testing::TableBuilder;
using grouper::testing::Window;

// A small sound set with rows in every table.
struct Sound {
  TableBuilder b;
  int16_t k35, k350, e11, i10, p1, p2, mdc, g07, g08, d07a, d07b, d08z;
  Sound() {
    k35 = b.dx("K35");
    k350 = b.dx("K350", true);
    e11 = b.dx("E1190", true);
    i10 = b.dx("I10", true);
    p1 = b.proc("Q2850");
    p2 = b.proc("X1234");
    mdc = b.mdc("M06");
    g07 = b.adrg("G070");
    g08 = b.adrg("G080");
    d07a = b.drg("G070A");
    d07b = b.drg("G070B");
    d08z = b.drg("G080Z");
    b.dx_cond(k350, 10);
    b.dx_cond(e11, 373, {20000101, 20041231});
    b.proc_cond(p1, 12);
    b.rule({.slot = 1, .mdc = mdc, .adrg = g08, .must = {10}, .must_not = {}});
    b.rule({.slot = mdc, .mdc = mdc, .adrg = g07, .must = {12}, .must_not = {13}});
    b.split(g07, -32768, 17, 'A');
    b.split(g07, 18, 32767, 'B');
    b.split(g08, -32768, 32767, 'Z');
    b.dag(k350, i10);
    b.ccl_columns(2);
    b.ccl_level(1, g07, 3);
    b.dx_ccl(e11, 1);
    b.dx_ccl(i10, 0);
    b.pccl(d07a, "01234");
    b.pccl(d08z, "00112");
    b.ccx(e11, {k35, k350, i10});
    b.ltc_row(g07, 3);
    b.ltc_fixed(g08);
  }
  TableStore store() const { return b.build(); }
};

Report check(const TableStore& s, size_t cap = 10) {
  Report r(cap);
  check_tables(s, r);
  return r;
}

// The findings at (file, array, index), whatever their kind.
std::vector<Finding> at(const Report& r, std::string_view file, std::string_view array, int64_t index) {
  std::vector<Finding> out;
  for (const Finding& f : r.shown()) {
    if (f.file == file && f.array == array && f.index == index) out.push_back(f);
  }
  return out;
}

// Exactly one finding in the whole report, at that place and of that severity.
void expect_only(const Report& r, Severity sev, std::string_view file, std::string_view array, int64_t index) {
  EXPECT_EQ(r.total(), 1u) << r.text();
  auto found = at(r, file, array, index);
  ASSERT_EQ(found.size(), 1u) << r.text();
  EXPECT_EQ(found[0].severity, sev) << r.text();
}

// ---- sound sets

TEST(VerifyChecks, SoundSetsAreSilent) {
  EXPECT_TRUE(check(TableBuilder().build()).clean()) << check(TableBuilder().build()).text();
  Report r = check(Sound().store());
  EXPECT_TRUE(r.clean()) << r.text();
  EXPECT_EQ(r.text(), "");
}

// ---- dictionaries and code lists

TEST(VerifyChecks, DictionaryOutOfOrderRowIsFoundOnce) {
  TableStore s = Sound().store();
  std::swap(s.dx_code[2], s.dx_code[3]);
  Report r = check(s);
  expect_only(r, Severity::kWrongResult, "Tdx.idx", "dx_code", 3);
}

TEST(VerifyChecks, RepeatedAndLowerCaseCodes) {
  TableStore s = Sound().store();
  s.sg_code[2] = s.sg_code[1];
  expect_only(check(s), Severity::kWrongResult, "Tsg.idx", "sg_code", 2);

  s = Sound().store();
  s.dx_code[4] = {'k', '3', '5', '0', ' '};  // the last row: order kept
  Report r = check(s);
  EXPECT_EQ(at(r, "Tdx.idx", "dx_code", 4).size(), 1u) << r.text();
  EXPECT_NE(r.text().find("lower-case"), std::string::npos);
}

TEST(VerifyChecks, CodeIdsOutsideTheirDictionaryReadOutside) {
  TableStore s = Sound().store();
  s.dx_id[1] = static_cast<int16_t>(s.dx_cnt);
  expect_only(check(s), Severity::kOutside, "Tdx.idx", "dx_id", 1);
  s = Sound().store();
  s.sg_id[2] = -1;
  expect_only(check(s), Severity::kOutside, "Tsg.idx", "sg_id", 2);
}

TEST(VerifyChecks, FlagOfIdZeroAndDrgRowZero) {
  TableStore s = Sound().store();
  s.dx_flag[0] = 'y';
  expect_only(check(s), Severity::kWrongResult, "Tdx.idx", "dx_flag", 0);

  s = Sound().store();
  s.drg_code[0] = {'G', '0', '8', '0', 'Q'};  // ADRG G080 plus any split stops at row 0
  expect_only(check(s), Severity::kWrongResult, "Taadrg.idx", "drg_code", 0);
}

// ---- condition catalogue and code conditions

TEST(VerifyChecks, CatalogueTypesMustMatchTheLogicConditions) {
  TableStore s = Sound().store();
  s.cond_type[790] = 't';
  s.cond_type[700] = 'l';
  Report r = check(s);
  EXPECT_EQ(r.total(), 2u) << r.text();
  ASSERT_EQ(at(r, "Tcond.idx", "cond_type", 790).size(), 1u);
  EXPECT_EQ(at(r, "Tcond.idx", "cond_type", 790)[0].severity, Severity::kStopsRun);
  EXPECT_EQ(at(r, "Tcond.idx", "cond_type", 700).size(), 1u);
}

TEST(VerifyChecks, CatalogueTooSmallForTheLogicConditions) {
  TableBuilder b;
  TableStore s = b.build();
  s.cond_type.resize(500);
  s.cond_pos_fr.resize(500);
  s.cond_pos_to.resize(500);
  s.cond_cnt = 500;
  expect_only(check(s), Severity::kOutside, "Tcond.idx", "cond_cnt", -1);
}

TEST(VerifyChecks, SexConditionsMustStayOnThePrincipalPosition) {
  TableStore s = Sound().store();
  s.cond_pos_to[388] = 10;
  expect_only(check(s), Severity::kWrongResult, "Tcond.idx", "cond_pos_fr", 388);
}

TEST(VerifyChecks, CodeConditionRangesAndIds) {
  Sound sound;
  TableStore s = sound.store();
  s.dx_cond_to[sound.k350] = s.code_row_cnt + 1;
  expect_only(check(s), Severity::kOutside, "Tcode", "dx_cond_fr", sound.k350);

  s = sound.store();
  s.sg_cond_fr[sound.p2] = -1;
  s.sg_cond_to[sound.p2] = 0;
  expect_only(check(s), Severity::kOutside, "Tcode", "sg_cond_fr", sound.p2);

  s = sound.store();
  s.dx_cond_fr[sound.i10] = 2;  // backwards: no rows, harmless but wrong
  s.dx_cond_to[sound.i10] = 1;
  expect_only(check(s), Severity::kIrregular, "Tcode", "dx_cond_fr", sound.i10);

  s = sound.store();
  s.code_cond[0] = static_cast<int16_t>(s.cond_cnt);  // would set the always-false id
  expect_only(check(s), Severity::kOutside, "Tcode", "code_cond", 0);

  s = sound.store();
  s.code_cond[0] = 800;
  expect_only(check(s), Severity::kWrongResult, "Tcode", "code_cond", 0);
}

TEST(VerifyChecks, ConditionNoPositionOfTheCodeCanSet) {
  Sound sound;
  TableStore s = sound.store();
  s.cond_pos_fr[12] = 1;  // procedure condition 12 now only on diagnoses
  s.cond_pos_to[12] = 10;
  Report r = check(s);
  EXPECT_EQ(r.total(), 1u) << r.text();
  EXPECT_EQ(r.count(Severity::kIrregular), 1u);
  EXPECT_NE(r.text().find("procedure id " + std::to_string(sound.p1)), std::string::npos) << r.text();
}

// ---- rule sets

TEST(VerifyChecks, RuleSlotsOutsideTheCatalogue) {
  TableStore s = Sound().store();
  s.tadrg1.rule_cond[1][3] = static_cast<int16_t>(s.cond_cnt + 1);
  expect_only(check(s), Severity::kOutside, "Tadrg1", "rule_cond", 1);

  s = Sound().store();
  s.tadrg.rule_cond[0][2] = static_cast<int16_t>(s.cond_cnt);  // must hold "never"
  expect_only(check(s), Severity::kWrongResult, "Tadrg", "rule_cond", 0);
  s = Sound().store();
  s.tadrg.rule_cond[0][12] = static_cast<int16_t>(s.cond_cnt);  // must not hold "never"
  expect_only(check(s), Severity::kIrregular, "Tadrg", "rule_cond", 0);
}

TEST(VerifyChecks, RuleGroupsOutsideTheirLists) {
  TableStore s = Sound().store();
  s.tadrg.rule_mdc[0] = static_cast<int16_t>(s.mdc_cnt);
  expect_only(check(s), Severity::kOutside, "Tadrg", "rule_mdc", 0);
  s = Sound().store();
  s.tadrg1.rule_adrg[1] = -2;
  expect_only(check(s), Severity::kOutside, "Tadrg1", "rule_adrg", 1);
}

TEST(VerifyChecks, OldRuleSetWithFewerSlotsThanTheMdcsItAssigns) {
  Sound sound;
  TableStore s = sound.store();
  // Tadrg keeps only slots 0 and 1, while its first rule assigns MDC 2.
  s.tadrg.mdc_rule_fr.resize(2);
  s.tadrg.mdc_rule_to.resize(2);
  s.tadrg.mdc_slot_cnt = 2;
  s.tadrg.mdc_rule_to[1] = 1;
  s.tadrg.rule_mdc[1] = 0;  // the second rule is filed nowhere now
  expect_only(check(s), Severity::kOutside, "Tadrg", "rule_mdc", 0);

  s.tadrg.mdc_rule_fr.resize(1);
  s.tadrg.mdc_rule_to.resize(1);
  s.tadrg.mdc_slot_cnt = 1;
  Report r = check(s);
  EXPECT_EQ(at(r, "Tadrg", "mdc_slot_cnt", -1).size(), 1u) << r.text();
}

TEST(VerifyChecks, RuleRangePastTheRules) {
  Sound sound;
  TableStore s = sound.store();
  s.tadrg1.mdc_rule_to[sound.mdc] = static_cast<int16_t>(s.tadrg1.rule_cnt + 5);
  expect_only(check(s), Severity::kOutside, "Tadrg1", "mdc_rule_fr", sound.mdc);
}

// ---- splits, complexity, exclusions, supplementary groups

TEST(VerifyChecks, SplitWithoutItsDrgAndEmptyAgeWindow) {
  Sound sound;
  TableStore s = sound.store();
  s.split_code[2] = 'Q';  // G080Q is no DRG
  expect_only(check(s), Severity::kWrongResult, "Taadrg", "split_code", 2);
  s = sound.store();
  s.split_age_fr[0] = 40;
  s.split_age_to[0] = 30;
  expect_only(check(s), Severity::kIrregular, "Taadrg", "split_age_fr", 0);
}

TEST(VerifyChecks, CclColumnAndMatrixCells) {
  Sound sound;
  TableStore s = sound.store();
  s.ccl_col[0] = static_cast<int16_t>(s.ccl_col_cnt);
  Report r = check(s);
  EXPECT_EQ(at(r, "Tccl", "ccl_col", 0).size(), 1u) << r.text();
  EXPECT_EQ(r.count(Severity::kOutside), 1u) << r.text();

  s = sound.store();
  const size_t cell = 1u * s.ccl_adrg_cnt + static_cast<size_t>(sound.g08);
  s.ccl_matrix[cell] = 'x';
  expect_only(check(s), Severity::kWrongResult, "Tccl", "ccl_matrix", static_cast<int64_t>(cell));
}

TEST(VerifyChecks, PcclSplitRowOutsideTheStrings) {
  TableStore s = Sound().store();
  s.pccl_split_row[1] = static_cast<int16_t>(s.pccl_split_cnt);
  expect_only(check(s), Severity::kOutside, "Tpccl", "pccl_split_row", 1);
}

TEST(VerifyChecks, ExclusionListsMustCoverEveryCodeAndAscend) {
  Sound sound;
  TableStore s = sound.store();
  std::swap(s.ccx_dx[0], s.ccx_dx[1]);
  expect_only(check(s), Severity::kWrongResult, "Tccedit", "ccx_fr", sound.e11);

  s = sound.store();
  s.ccx_fr.resize(3);
  s.ccx_to.resize(3);
  s.ccx_cnt = 3;
  Report r = check(s);
  EXPECT_EQ(at(r, "Tccedit", "ccx_cnt", -1).size(), 1u) << r.text();
  EXPECT_EQ(r.count(Severity::kOutside), 1u);
}

// Ranges may overlap or nest; a shared row is judged for every key whose
// range holds it, and a step down at a range's end belongs to the next list.
TEST(VerifyChecks, OverlappingRangesAreJudgedPerKey) {
  Sound sound;
  TableStore s = sound.store();
  s.adrg_split_fr[sound.g08] = 0;  // G080 reaches over the splits A and B of G070
  Report r = check(s);
  EXPECT_EQ(r.total(), 2u) << r.text();
  EXPECT_EQ(at(r, "Taadrg", "split_code", 0).size(), 1u) << r.text();  // G080A
  EXPECT_EQ(at(r, "Taadrg", "split_code", 1).size(), 1u) << r.text();  // G080B

  s = sound.store();
  const auto e11_fr = static_cast<size_t>(s.ccx_fr[sound.e11]);
  std::swap(s.ccx_dx[e11_fr + 1], s.ccx_dx[e11_fr + 2]);  // steps down at the list's third row
  s.ccx_fr[sound.k35] = s.ccx_fr[sound.e11];                // ends just before the step
  s.ccx_to[sound.k35] = static_cast<int32_t>(e11_fr + 2);
  s.ccx_fr[sound.k350] = static_cast<int32_t>(e11_fr + 1);  // holds the step
  s.ccx_to[sound.k350] = s.ccx_to[sound.e11];
  r = check(s);
  EXPECT_EQ(r.total(), 2u) << r.text();
  EXPECT_EQ(at(r, "Tccedit", "ccx_fr", sound.e11).size(), 1u) << r.text();
  EXPECT_EQ(at(r, "Tccedit", "ccx_fr", sound.k350).size(), 1u) << r.text();
}

TEST(VerifyChecks, SupplementaryGroupsNeedTheirCodesAndKeys) {
  Sound sound;
  TableStore s = sound.store();
  s.ltc_drg_code.resize(3);
  s.ltc_drg_idx.resize(3);
  s.ltc_drg_cnt = 3;  // group 3 in use has no code now
  expect_only(check(s), Severity::kOutside, "adrg_ltcdrg", "ltcdrg_ast", 1);

  s = sound.store();
  s.ltcdrg_ast[1] = 20;
  expect_only(check(s), Severity::kIrregular, "adrg_ltcdrg", "ltcdrg_ast", 1);

  s = sound.store();
  s.adrg_ast_fr.resize(2);
  s.adrg_ast_to.resize(2);
  s.adrg_ast_cnt = 2;
  expect_only(check(s), Severity::kOutside, "adrg_ltcdrg", "adrg_ast_cnt", -1);
}

TEST(VerifyChecks, FirstRowZeroMarksNoRowsAndIsNoRange) {
  Sound sound;
  TableStore s = sound.store();
  ASSERT_EQ(s.adrg_ast_fr[sound.g08], 0);
  s.adrg_ast_to[sound.g08] = 999;  // ignored: a first row of 0 is the fixed group
  EXPECT_TRUE(check(s).clean()) << check(s).text();
  s.adrg_ast_fr[sound.g07] = 1;
  s.adrg_ast_to[sound.g07] = static_cast<int16_t>(s.ast_row_cnt + 1);
  expect_only(check(s), Severity::kOutside, "adrg_ltcdrg", "adrg_ast_fr", sound.g07);
}

TEST(VerifyChecks, DaggerPairsOfCodeIdZero) {
  TableStore s = Sound().store();
  s.dag_ast_to[0] = 1;
  expect_only(check(s), Severity::kWrongResult, "Tdag_ast", "dag_ast_fr", 0);
}

TEST(VerifyChecks, EmptyValidityWindow) {
  TableStore s = Sound().store();
  s.code_adpt_fr_dt[1] = 20060101;
  s.code_adpt_to_dt[1] = 20050101;
  expect_only(check(s), Severity::kIrregular, "Tcode", "code_adpt_fr_dt", 1);
}

// ---- the report

TEST(VerifyReport, MostSeriousFirstWhateverTheOrderFound) {
  TableStore s = Sound().store();
  s.dx_flag[0] = 'y';          // wrong groups, found first
  s.cond_type[790] = 't';      // stops the run
  s.ltcdrg_ast[1] = 20;        // irregular
  s.ccl_col[0] = 99;           // outside a table, found late
  Report r = check(s);
  std::vector<Finding> shown = r.shown();
  ASSERT_EQ(shown.size(), 4u) << r.text();
  EXPECT_EQ(shown[0].severity, Severity::kOutside);
  EXPECT_EQ(shown[1].severity, Severity::kStopsRun);
  EXPECT_EQ(shown[2].severity, Severity::kWrongResult);
  EXPECT_EQ(shown[3].severity, Severity::kIrregular);
  const std::string text = r.text();
  EXPECT_LT(text.find("Tccl ccl_col[0]"), text.find("Tcond.idx cond_type[790]"));
  EXPECT_NE(text.find("4 problems: 1 outside a table, 1 stops the run, 1 wrong groups, 1 irregular"),
            std::string::npos)
      << text;
}

TEST(VerifyReport, EachKindIsCappedWithACountOfTheRest) {
  TableStore s = TableBuilder().build();
  for (int c = 1; c <= 25; ++c) s.cond_type[c] = 'x';
  Report r = check(s, 10);
  EXPECT_EQ(r.total(), 25u);
  EXPECT_EQ(r.shown().size(), 10u);
  const std::string text = r.text();
  EXPECT_NE(text.find("  ... and 15 more of Tcond.idx cond_type like these\n"), std::string::npos) << text;
  EXPECT_NE(text.find("cond_type[10]:"), std::string::npos);
  EXPECT_EQ(text.find("cond_type[11]:"), std::string::npos);
}

TEST(VerifyReport, ARangePastItsRowsIsReportedOnceNotPerEnd) {
  Sound sound;
  TableStore s = sound.store();
  s.dx_ccl_fr[sound.e11] = -3;
  s.dx_ccl_to[sound.e11] = static_cast<int16_t>(s.ccl_row_cnt + 3);
  expect_only(check(s), Severity::kOutside, "Tccl", "dx_ccl_fr", sound.e11);
}

TEST(VerifyReport, BytesAreShownReadably) {
  EXPECT_EQ(show_byte('y'), "\"y\"");
  EXPECT_EQ(show_byte(0), "0x00");
  const char code[5] = {'K', '3', '\0', '"', ' '};
  EXPECT_EQ(show_text(code, 5), "\"K3\\x00\\x22 \"");
}

}  // namespace
}  // namespace grouper::tools
