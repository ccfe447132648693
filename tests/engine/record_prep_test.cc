// Record preparation: record values, upper-casing, completion of short
// diagnosis codes, the appendicitis rewrite, repeated diagnoses, the
// dagger/asterisk exchange and the reset between records.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "engine/grouping_fixture.h"

namespace grouper {
namespace {

using testing::Episode;
using testing::Window;

// ---- record values ----

using RecordValuesTest = GroupingTest;

TEST_F(RecordValuesTest, ParsesTheFieldsOfTheLine) {
  const RecordValues& v = group(Episode()
                                    .birth("850315")
                                    .sex('1')
                                    .date("20050101")
                                    .los("012")
                                    .dsch('4')
                                    .birth_wt("03250")
                                    .vent_hr("   48"))
                              .values();
  EXPECT_EQ(v.rec_date, 20050101);
  EXPECT_EQ(v.age_yy, 19);
  EXPECT_EQ(v.age_dd, 7232);
  EXPECT_EQ(v.sex_cd, 1);
  EXPECT_EQ(v.los_dd, 12);
  EXPECT_EQ(v.dsch_cd, 4);
  EXPECT_EQ(v.birth_wt, 3250);
  EXPECT_EQ(v.vent_hr, 48);
}

TEST_F(RecordValuesTest, KeepsBlankUnreadableAndWrappedValuesAsTheyAre) {
  const RecordValues& v = group(Episode().sex(' ').los("   ").dsch('x').birth_wt("40000").vent_hr("1-2  ")).values();
  EXPECT_EQ(v.sex_cd, -16) << "a blank sex digit is ' ' - '0'";
  EXPECT_EQ(v.los_dd, 0);
  EXPECT_EQ(v.dsch_cd, -1);
  EXPECT_EQ(v.birth_wt, -25536) << "16-bit values keep the low 16 bits";
  EXPECT_EQ(v.vent_hr, -1);
}

// ---- upper-casing ----

using UpperCaseTest = GroupingTest;

TEST_F(UpperCaseTest, UpperCasesLettersOfTheWholeLineOnly) {
  const int16_t a = b_.dx("A0100");
  Episode e;
  e.at(0, "ab\xE1z{").dx(1, "a0100").at(200, std::string("x\0y", 3));
  EXPECT_EQ(id_at(e, 1), a);
  EXPECT_EQ(line_.substr(0, 5), "AB\xE1Z{") << "only a..z change";
  EXPECT_EQ(line_.substr(200, 3), std::string("X\0Y", 3)) << "a NUL byte is an ordinary byte";
  EXPECT_EQ(line_.substr(33, 5), "A0100");
}

TEST_F(UpperCaseTest, UpperCasesBytesPastTheRecordUpToTheLength) {
  build();
  std::string line = Episode().str() + "tail";
  grouper_->group(line.data(), line.size());
  EXPECT_EQ(line.substr(273), "TAIL");
}

// ---- short diagnosis codes ----

using CompletionTest = GroupingTest;

TEST_F(CompletionTest, FullCodeIsLookedUpAsGiven) {
  const int16_t full = b_.dx("B2010");
  b_.dx("B201 ", true);
  EXPECT_EQ(id_at(Episode().dx(1, "B2010"), 1), full);
}

TEST_F(CompletionTest, ThreeCharacterCodeTakesItsOwnIdWhenMarked) {
  const int16_t own = b_.dx("A01", true);
  b_.dx("A0100", true);
  EXPECT_EQ(id_at(Episode().dx(1, "A01"), 1), own);
}

TEST_F(CompletionTest, ThreeCharacterCodeTakesItsDoubleZeroExtensionWhenMarked) {
  b_.dx("A01");
  b_.dx("A010");
  const int16_t ext = b_.dx("A0100", true);
  EXPECT_EQ(id_at(Episode().dx(1, "A01"), 1), ext);
}

TEST_F(CompletionTest, ThreeCharacterCodeOtherwiseTakesItsSingleZeroExtension) {
  b_.dx("A01");
  const int16_t single = b_.dx("A010");
  b_.dx("A0100");
  EXPECT_EQ(id_at(Episode().dx(3, "A01"), 3), single);
}

TEST_F(CompletionTest, ThreeCharacterCodeWithoutMarkedEndPointMayGetNoId) {
  b_.dx("A01");  // found, but not an end point, and "A010 " does not exist
  b_.dx("A0100");
  EXPECT_EQ(id_at(Episode().dx(1, "A01"), 1), 0);
}

TEST_F(CompletionTest, FourCharacterCodeTakesItsZeroExtensionWhenMarked) {
  b_.dx("C123");
  b_.dx("C123-");  // sorts between "C123 " and "C1230"
  const int16_t ext = b_.dx("C1230", true);
  EXPECT_EQ(id_at(Episode().dx(2, "C123"), 2), ext);
}

TEST_F(CompletionTest, FourCharacterCodeOtherwiseTakesItsOwnIdEvenZero) {
  const int16_t own = b_.dx("C123");
  b_.dx("C1230");
  b_.dx("D1230");
  EXPECT_EQ(id_at(Episode().dx(2, "C123"), 2), own);
  EXPECT_EQ(id_at(Episode().dx(2, "D123"), 2), 0) << "\"D123 \" itself is not in the dictionary";
}

TEST_F(CompletionTest, AFailedLookupReadsTheFlagOfIdZero) {
  b_.dx("A0100", true);
  const int16_t own = b_.dx("C123");
  build();
  store_.dx_flag[0] = 'y';  // breaks the rule that id 0 is no end point
  set_ = std::make_unique<PreparedSet>(store_);
  grouper_ = std::make_unique<Engine>(*set_);
  EXPECT_EQ(id_at(Episode().dx(1, "A01"), 1), 0) << "\"A01\" is not found, and id 0 reads as an end point";
  EXPECT_EQ(id_at(Episode().dx(2, "C123"), 2), 0) << "\"C1230\" is not found, and ends the completion";
  store_.dx_flag[0] = 'n';
  set_ = std::make_unique<PreparedSet>(store_);
  grouper_ = std::make_unique<Engine>(*set_);
  EXPECT_EQ(id_at(Episode().dx(2, "C123"), 2), own);
}

TEST_F(CompletionTest, BlankSlotGetsNoId) {
  b_.dx("A01", true);
  const Engine& g = group(Episode().dx(2, "A01"));
  EXPECT_EQ(g.code_ids()[1], 0);
  EXPECT_NE(g.code_ids()[2], 0);
  EXPECT_EQ(g.code_ids()[3], 0);
}

TEST_F(CompletionTest, ProceduresAreLookedUpAsWrittenAndRepeatsKept) {
  b_.proc("P01");
  const int16_t p = b_.proc("P0100");
  const Engine& g = group(Episode().proc(11, "P0100").proc(12, "P0100").proc(46, "P0100").proc(13, "P01"));
  EXPECT_EQ(g.code_ids()[11], p);
  EXPECT_EQ(g.code_ids()[12], p);
  EXPECT_EQ(g.code_ids()[46], p);
  EXPECT_NE(g.code_ids()[13], 0) << "no completion: \"P01  \" is its own code";
  EXPECT_NE(g.code_ids()[13], p);
}

TEST_F(CompletionTest, TheLastProcedureIsFoundWhereverItStandsAndHoweverShort) {
  // The last code slot in use is found from the bytes that are not blanks,
  // a word of the line at a time: its first and its last byte must count.
  const int16_t shortest = b_.proc("P");
  const int16_t longest = b_.proc("P0100");
  for (int p = 11; p <= 46; ++p) {
    EXPECT_EQ(group(Episode().proc(p, "P")).code_ids()[p], shortest) << "position " << p;
    EXPECT_EQ(group(Episode().proc(p, "P0100")).code_ids()[p], longest) << "position " << p;
  }
}

TEST_F(CompletionTest, EveryDiagnosisSlotIsReadWhateverByteOfItIsNotBlank) {
  // The diagnosis slots in use are found from the bytes that are not blanks:
  // a slot whose first byte, or only its fifth, is not blank is in use.
  const int16_t first = b_.dx("A", true);
  const int16_t fifth = b_.dx("    9");
  for (int p = 1; p <= 10; ++p) {
    EXPECT_EQ(group(Episode().dx(p, "A")).code_ids()[p], first) << "position " << p;
    EXPECT_EQ(group(Episode().dx(p, "    9")).code_ids()[p], fifth) << "position " << p;
  }
}

// ---- the appendicitis rewrite ----

class AppendicitisTest : public GroupingTest {
 protected:
  AppendicitisTest() {
    k35_ = b_.dx("K35", true);
    k350_ = b_.dx("K350");
    k359_ = b_.dx("K359");
    for (const char* q : {"Q2850", "Q2861", "Q2862", "Q9999"}) b_.proc(q);
  }
  int16_t k35_, k350_, k359_;
};

TEST_F(AppendicitisTest, WithoutTheProceduresTheCodeStays) {
  EXPECT_EQ(id_at(Episode().dx(1, "K35").proc(11, "Q9999"), 1), k35_);
}

TEST_F(AppendicitisTest, Q2850OrQ2862GiveK350) {
  EXPECT_EQ(id_at(Episode().dx(1, "K35").proc(11, "Q2850"), 1), k350_);
  EXPECT_EQ(id_at(Episode().dx(1, "K35").proc(20, "Q2862"), 1), k350_);
}

TEST_F(AppendicitisTest, Q2861GivesK359) {
  EXPECT_EQ(id_at(Episode().dx(1, "K35").proc(20, "Q2861"), 1), k359_);
}

TEST_F(AppendicitisTest, Q2850WinsOverQ2861WhereverTheyStand) {
  EXPECT_EQ(id_at(Episode().dx(1, "K35").proc(11, "Q2861").proc(15, "Q2850"), 1), k350_);
  EXPECT_EQ(id_at(Episode().dx(1, "K35").proc(11, "Q2861").proc(19, "Q2862"), 1), k350_);
}

TEST_F(AppendicitisTest, OnlyTheFirstTenProceduresCount) {
  EXPECT_EQ(id_at(Episode().dx(1, "K35").proc(21, "Q2861"), 1), k35_);
  EXPECT_EQ(id_at(Episode().dx(1, "K35").proc(21, "Q2850").proc(20, "Q2861"), 1), k359_);
}

TEST_F(AppendicitisTest, OnlyThePrincipalIsRewritten) {
  const Engine& g = group(Episode().dx(1, "A01").dx(2, "K35").proc(11, "Q2850"));
  EXPECT_EQ(g.code_ids()[2], k35_);
}

TEST_F(AppendicitisTest, OnlyTheUnspecifiedCodeIsRewritten) {
  EXPECT_EQ(id_at(Episode().dx(1, "K359").proc(11, "Q2850"), 1), k359_);
}

TEST_F(AppendicitisTest, LowerCaseCodesAreRewrittenAfterUpperCasingAndTheLineKeepsTheCode) {
  EXPECT_EQ(id_at(Episode().dx(1, "k35").proc(12, "q2862"), 1), k350_);
  EXPECT_EQ(line_.substr(code_offset(1), 5), "K35  ") << "the rewrite changes the lookup, not the line";
}

// ---- repeated diagnoses ----

using RepeatTest = GroupingTest;

TEST_F(RepeatTest, LaterRepeatsBecomeEmptyWithoutClosingGaps) {
  const int16_t a = b_.dx("A0100");
  const int16_t b = b_.dx("B0100");
  const int16_t c = b_.dx("C0100");
  const Engine& g = group(Episode().dx(1, "C0100").dx(2, "A0100").dx(3, "B0100").dx(4, "C0100").dx(5, "A0100").dx(
      10, "A0100"));
  EXPECT_EQ(g.code_ids()[1], c);
  EXPECT_EQ(g.code_ids()[2], a);
  EXPECT_EQ(g.code_ids()[3], b);
  EXPECT_EQ(g.code_ids()[4], 0);
  EXPECT_EQ(g.code_ids()[5], 0);
  EXPECT_EQ(g.code_ids()[10], 0);
}

TEST_F(RepeatTest, CodesCompletedToTheSameIdAreRepeats) {
  const int16_t a = b_.dx("A0100", true);
  const Engine& g = group(Episode().dx(1, "B0100").dx(2, "A01").dx(3, "A0100"));
  EXPECT_EQ(g.code_ids()[2], a);
  EXPECT_EQ(g.code_ids()[3], 0);
}

TEST_F(RepeatTest, IdsThatShareTheirLowBitsAreNoRepeats) {
  // Ids 64 and 128 apart look alike to the first test for a repeat.
  std::vector<int16_t> ids;
  for (int k = 0; k < 130; ++k) {
    char code[8];
    std::snprintf(code, sizeof code, "D%d", 1000 + k);
    ids.push_back(b_.dx(code));
  }
  ASSERT_EQ(ids[64] - ids[0], 64);
  b_.dx_cond(ids[128], 100);
  b_.dx_cond(ids[1], 101);
  const Engine& g = group(Episode().dx(1, "D1000").dx(2, "D1064").dx(3, "D1128").dx(4, "D1064").dx(5, "D1001"));
  EXPECT_EQ(g.code_ids()[1], ids[0]);
  EXPECT_EQ(g.code_ids()[2], ids[64]);
  EXPECT_EQ(g.code_ids()[3], ids[128]);
  EXPECT_EQ(g.code_ids()[4], 0) << "a repeat after ids that share its low bits";
  EXPECT_EQ(g.code_ids()[5], ids[1]);
  EXPECT_EQ(g.cond_val(100), 1) << "the codes kept are read by the stages";
  EXPECT_EQ(g.cond_val(101), 1);
}

TEST_F(RepeatTest, CodesNotFoundAreNotRepeats) {
  const int16_t a = b_.dx("A0100");
  const Engine& g = group(Episode().dx(1, "Z0000").dx(2, "Z0000").dx(3, "A0100"));
  EXPECT_EQ(g.code_ids()[1], 0);
  EXPECT_EQ(g.code_ids()[2], 0);
  EXPECT_EQ(g.code_ids()[3], a);
}

// ---- the dagger/asterisk exchange ----

class DaggerTest : public GroupingTest {
 protected:
  DaggerTest() {
    dagger_ = b_.dx("A1700");
    asterisk_ = b_.dx("G0100");
    other_ = b_.dx("E1100");
  }
  int16_t dagger_, asterisk_, other_;
};

TEST_F(DaggerTest, PairedDiagnosesChangePlaces) {
  b_.dag(dagger_, asterisk_);
  const Engine& g = group(Episode().dx(1, "A1700").dx(2, "G0100").dx(3, "E1100"));
  EXPECT_EQ(g.code_ids()[1], asterisk_);
  EXPECT_EQ(g.code_ids()[2], dagger_);
  EXPECT_EQ(g.code_ids()[3], other_);
  EXPECT_EQ(g.dx_swapped(), 1);
}

TEST_F(DaggerTest, OnlyTheSecondPositionIsExchanged) {
  b_.dag(dagger_, asterisk_);
  const Engine& g = group(Episode().dx(1, "A1700").dx(2, "E1100").dx(3, "G0100"));
  EXPECT_EQ(g.code_ids()[1], dagger_);
  EXPECT_EQ(g.dx_swapped(), 0);
}

TEST_F(DaggerTest, ValidityWindowHoldsOnItsLastDayOnly) {
  b_.dag(dagger_, asterisk_, Window{20040101, 20050228});
  b_.dag(dagger_, asterisk_, Window{20050302, 20051231});
  auto e = [](const char* date) { return Episode().date(date).dx(1, "A1700").dx(2, "G0100"); };
  EXPECT_EQ(group(e("20050228")).dx_swapped(), 1);
  EXPECT_EQ(group(e("20050301")).dx_swapped(), 0) << "the one row ended the day before, the other starts the day after";
  EXPECT_EQ(group(e("20050302")).dx_swapped(), 1);
}

TEST_F(DaggerTest, RowsNamingAnotherCodeAreSkipped) {
  b_.dag(dagger_, other_);
  b_.dag(dagger_, asterisk_);
  EXPECT_EQ(group(Episode().dx(1, "A1700").dx(2, "G0100")).dx_swapped(), 1);
  EXPECT_EQ(grouper_->code_ids()[1], asterisk_);
}

TEST_F(DaggerTest, RepeatedPrincipalPreventsTheExchange) {
  b_.dag(dagger_, dagger_);
  const Engine& g = group(Episode().dx(1, "A1700").dx(2, "A1700"));
  EXPECT_EQ(g.code_ids()[2], 0);
  EXPECT_EQ(g.dx_swapped(), 0);
}

TEST_F(DaggerTest, AnEmptyPrincipalConsultsTheRowsOfIdZero) {
  b_.dag(0, asterisk_);
  const Engine& g = group(Episode().dx(2, "G0100"));
  EXPECT_EQ(g.code_ids()[1], asterisk_);
  EXPECT_EQ(g.code_ids()[2], 0);
  EXPECT_EQ(g.dx_swapped(), 1);
}

TEST_F(DaggerTest, AnEmptySecondPositionNeverExchanges) {
  b_.dag(dagger_, 0);
  EXPECT_EQ(group(Episode().dx(1, "A1700")).dx_swapped(), 0);
}

// ---- the reset between records ----

using ResetTest = GroupingTest;

TEST_F(ResetTest, NothingOfARecordSurvivesIntoTheNext) {
  const int16_t a = b_.dx("A1700");
  const int16_t g0 = b_.dx("G0100");
  const int16_t p = b_.proc("P0100");
  b_.dag(a, g0);
  b_.dx_cond(a, 100);
  b_.proc_cond(p, 357);
  b_.proc_cond(p, 200);
  const int16_t mdc = b_.mdc("M01");
  const int16_t adrg = b_.adrg("X010");
  b_.drg("X0100");
  b_.rule(rule_def(1, mdc, adrg, {100}));
  b_.split(adrg, 0, 120, '1');
  b_.drg("X0101");

  // Procedures spread over the positions, so that every part of the
  // per-position state is written.
  const Engine& g = group(Episode()
                               .dx(1, "A1700")
                               .dx(2, "G0100")
                               .proc(11, "P0100")
                               .proc(12, "P0100")
                               .proc(35, "P0100")
                               .proc(41, "P0100")
                               .proc(46, "P0100")
                               .birth_wt("00900"));
  ASSERT_EQ(g.dx_swapped(), 1);
  ASSERT_EQ(g.cond_hits(357), 5);
  ASSERT_EQ(g.pos_cond(35, 200), 1);
  ASSERT_EQ(g.pos_cond(12, 200), 1);
  ASSERT_EQ(g.cond_val(795), 1);
  ASSERT_EQ(g.result().res_adrg, adrg);
  ASSERT_EQ(g.result().res_split, '1');
  ASSERT_NE(g.result().res_drg, 0);

  group(Episode());
  for (int p = 0; p < kPositionCount; ++p) EXPECT_EQ(g.code_ids()[p], 0) << "position " << p;
  EXPECT_EQ(g.dx_swapped(), 0);
  for (int c : {100, 200, 357, 795}) {
    EXPECT_EQ(g.cond_val(c), 0) << "condition " << c;
    EXPECT_EQ(g.cond_hits(c), 0) << "condition " << c;
    EXPECT_EQ(g.pos_cond(11, c), 0) << "condition " << c;
    EXPECT_EQ(g.pos_cond(12, c), 0) << "condition " << c;
    EXPECT_EQ(g.pos_cond(35, c), 0) << "condition " << c;
  }
  EXPECT_EQ(g.cond_val(0), 1);
  EXPECT_EQ(g.cond_hits(0), 1);
  EXPECT_EQ(g.cond_val(store_.cond_cnt), 0);
  EXPECT_EQ(g.result().res_mdc, 0);
  EXPECT_EQ(g.result().res_adrg, 0);
  EXPECT_EQ(g.result().res_split, '0');
  EXPECT_EQ(g.result().res_drg, 0);
  EXPECT_EQ(g.result().res_pccl, 0);
  EXPECT_EQ(std::string(g.result().res_drg_code.data(), 6), std::string(6, '\0'));
  for (int p = 0; p <= 10; ++p) EXPECT_EQ(g.result().pos_ccl[p], 0);
}

}  // namespace
}  // namespace grouper
