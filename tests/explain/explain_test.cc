// The explanation of a record shows each step of the grouping that the
// record went through, and the findings name exactly what a record's data
// made the grouping do: each finding from a record made for it, none from a
// clean record.
#include "episode_grouper/explain.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>

#include "engine/grouping_fixture.h"
#include "episode_grouper/grouper.h"
#include "support/run_program.h"

namespace grouper {
namespace {

namespace eg = episode_grouper;
using testing::Episode;

// A set in which each step has something to do: a principal group rule and
// a near miss before it, a second pass, an age split, completion, the
// appendicitis rewrite, a dagger/asterisk pair, CCLs with exclusions of
// every kind, PCCL splits and the supplementary first-row marker.
class Explain : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::TableBuilder b;
    mdc_ = b.mdc("M05");
    const int16_t mdc = mdc_;
    const int16_t adrg = b.adrg("F62B");
    const int16_t drg = b.drg("F62BA");
    b.drg("F62B0");
    i21_ = b.dx("I21", true);
    b.dx("K35");
    b.dx_cond(b.dx("K350", true), 100);
    b.dx("E11");
    b.dx_cond(b.dx("E110", true), 100);
    b.dx_cond(i21_, 100);
    const int16_t star = b.dx("G01", true);
    b.dag(star, i21_);
    b.dx_cond(star, 101);
    b.proc("Q2850");
    b.rule(rule_def(1, mdc, adrg, {100, 102}));  // a near miss: 102 never holds
    b.rule(rule_def(1, mdc, adrg, {100}));
    b.rule(rule_def(mdc, mdc, adrg, {100}, {103}));
    b.split(adrg, 18, 120, 'A');
    b.pccl(drg, "01234");
    b.ccl_columns(5);
    for (int level = 1; level <= 4; ++level) b.ccl_level(static_cast<int16_t>(level), adrg, level);
    for (const char* code : {"N180", "N181", "N182", "N183"}) secondary_[code] = b.dx(code, true);
    b.dx_ccl(secondary_["N180"], 3);
    b.dx_ccl(secondary_["N181"], 3);
    b.dx_ccl(secondary_["N182"], 2);
    b.dx_ccl(secondary_["N183"], 2);
    b.ccx(secondary_["N181"], {secondary_["N180"]});  // cancelled by the highest at position 2
    b.ccx(secondary_["N182"], {i21_});                // cancelled by the principal
    b.dx_cond(secondary_["N183"], 373);                // cancelled for an odd sex digit
    for (const char* code : {"N190", "N191", "N192", "N193"}) b.dx_ccl(four_[code] = b.dx(code, true), 4);
    b.ltc_fixed(adrg);
    testing::ScratchDir dir("explain");
    b.write(dir.path());
    eg::Status error;
    tables_ = eg::TableSet::open(dir.path(), error);
    ASSERT_NE(tables_, nullptr) << error.message;
  }

  std::string text(const Episode& e) { return eg::explain(*tables_, e.str(), eg::ExplainFormat::kText); }
  eg::Result grouped(const Episode& e) { return eg::Grouper(tables_).group(e.str()); }

  std::shared_ptr<const eg::TableSet> tables_;
  int16_t mdc_ = 0, i21_ = 0;
  std::map<std::string, int16_t> secondary_, four_;
};

TEST_F(Explain, EachStepAppearsWhereTheRecordTakesIt) {
  const std::string completion = text(Episode().dx(1, "E11"));
  EXPECT_NE(completion.find("\"E11  \" id"), std::string::npos) << completion;
  EXPECT_NE(completion.find("\"E1100\" not found"), std::string::npos) << completion;
  EXPECT_NE(completion.find("dx_completed at position 1 \"E11\" to \"E110\""), std::string::npos) << completion;

  const std::string rewrite = text(Episode().dx(1, "K35").proc(11, "Q2850"));
  EXPECT_NE(rewrite.find("appendicitis: the principal \"K35  \" becomes \"K350 \" (procedure at position 11)"),
            std::string::npos)
      << rewrite;

  const std::string swap = text(Episode().dx(1, "G01").dx(2, "I21"));
  EXPECT_NE(swap.find("dagger/asterisk: positions 1 and 2 exchanged, Tdag_ast row 0"), std::string::npos) << swap;

  const std::string passes = text(Episode().dx(1, "I21"));
  EXPECT_NE(passes.find("near miss: rule 0 failed only on slot 1 (must hold 102)"), std::string::npos) << passes;
  EXPECT_NE(passes.find("matched rule 1 "), std::string::npos) << passes;
  EXPECT_NE(passes.find("Second (ADRG) pass over the rules of MDC index " + std::to_string(mdc_)), std::string::npos)
      << passes;
  EXPECT_NE(passes.find("Age split: Taadrg row 0 (ages 18..120) gives \"A\""), std::string::npos) << passes;

  const std::string excluded =
      text(Episode().sex('1').dx(1, "I21").dx(2, "N180").dx(3, "N181").dx(4, "N182").dx(5, "N183"));
  EXPECT_NE(excluded.find("position 3 loses its CCL: a diagnosis of highest CCL at position 2"), std::string::npos)
      << excluded;
  EXPECT_NE(excluded.find("position 4 loses its CCL: the principal diagnosis"), std::string::npos) << excluded;
  EXPECT_NE(excluded.find("position 5 loses its CCL: the sex condition"), std::string::npos) << excluded;
  EXPECT_NE(excluded.find("sorted: 3 0 0"), std::string::npos) << excluded;

  const std::string capped = text(Episode().dx(1, "I21").dx(2, "N190").dx(3, "N191").dx(4, "N192").dx(5, "N193"));
  EXPECT_NE(capped.find("sorted: 4 4 4 4 0 0 0 0 0; S = "), std::string::npos) << capped;
  EXPECT_NE(capped.find("PCCL 4 (capped at 4)"), std::string::npos) << capped;

  const std::string marker = text(Episode().date("20050801").dx(1, "I21"));
  EXPECT_NE(marker.find("the ADRG's first adrg_ltcdrg row is 0: the fixed group"), std::string::npos) << marker;
  EXPECT_NE(marker.find("value 9999: code \"AW17\""), std::string::npos) << marker;
}

TEST_F(Explain, TheExplainedResultIsTheGroupedOneAndTheJsonParses) {
  const Episode e = Episode().sex('1').dx(1, "G01").dx(2, "I21").dx(3, "N180").dx(4, "N182");
  eg::Result explained;
  const std::string json = eg::explain(*tables_, e.str(), eg::ExplainFormat::kJson, &explained);
  const eg::Result r = grouped(e);
  EXPECT_EQ(eg::text_of(explained.res_drg_code), eg::text_of(r.res_drg_code));
  EXPECT_EQ(explained.res_pccl, r.res_pccl);
  EXPECT_EQ(explained.findings.count, r.findings.count);

  const std::string check =
      "import json,sys\n"
      "d=json.loads(sys.stdin.read())\n"
      "assert d['exchange']['tdag_ast_row']==0, d['exchange']\n"
      "assert [p['pass'] for p in d['passes']]==['mdc','adrg'], d['passes']\n"
      "assert d['result']['drg']=='" + std::string(eg::text_of(r.res_drg_code)) + "', d['result']\n"
      "assert [f['code'] for f in d['findings']]==['dx_swapped'], d['findings']\n";
  testing::ScratchDir dir("explain-json");
  testing::write_file(dir / "check.py", check);
  testing::RunOptions options;
  options.input = json;
  const testing::ProgramRun run = testing::run_program("/usr/bin/python3", dir.path(), "check.py", options);
  EXPECT_EQ(run.exit_code, 0) << run.err << json;
}

// The JSON form keeps every byte of a code (read as Latin-1; control
// characters and U+007F escaped) and writes S and x with six decimals.
TEST_F(Explain, TheJsonKeepsEveryByteOfACodeAndWritesSAndXWithSixDecimals) {
  const Episode e = Episode().dx(1, "I21").dx(2, "N190").dx(3, "N191").dx(4, "N192").dx(5, "\x01\t\x7F\xE9\"");
  const std::string json = eg::explain(*tables_, e.str(), eg::ExplainFormat::kJson);
  const std::string code = R"("\u0001\u0009\u007f)" "\xC3\xA9" R"(\"")";
  EXPECT_NE(json.find(R"({"position":5,"text":)" + code + R"(,"id":0,"flag":"n"})"), std::string::npos) << json;
  EXPECT_NE(json.find(R"("sorted":[4,4,4,0,0,0,0,0,0],"S":8.478596,"x":4.964803,"pccl":4,)"), std::string::npos) << json;
  const std::string findings = R"("findings":[{"code":"dx_unknown","position":5,"text":)" + code + "}]}\n";
  EXPECT_EQ(json.substr(json.size() - std::min(json.size(), findings.size())), findings) << json;
}

// ---- findings ----

std::string names(const eg::Findings& f) {
  std::string out;
  for (size_t i = 0; i < f.count; ++i) out += std::string(out.empty() ? "" : " ") + std::string(eg::finding_name(f.items[i].code));
  return out;
}

TEST_F(Explain, EveryFindingComesFromARecordMadeForItAndNoneFromACleanRecord) {
  EXPECT_EQ(names(grouped(Episode().dx(1, "I21")).findings), "");
  const struct {
    Episode record;
    const char* finding;
  } cases[] = {
      {Episode().dx(1, "I21").dx(2, "X99"), "dx_unknown"},
      {Episode().dx(1, "I21").proc(11, "Z9999"), "proc_unknown"},
      {Episode().dx(1, "E11"), "dx_completed"},
      {Episode().dx(1, "K35").proc(11, "Q2850"), "dx_rewritten"},
      {Episode().dx(1, "I21").dx(2, "N180").dx(3, "N180"), "dx_repeated"},
      {Episode().dx(1, "G01").dx(2, "I21"), "dx_swapped"},
      {Episode().dx(1, "I21").los("   "), "field_blank"},
      {Episode().dx(1, "I21").los("1x1"), "field_unreadable"},
      {Episode().dx(1, "I21").date("20051301"), "date_invalid"},
      {Episode().dx(1, "I21").vent_hr("  -  "), "field_unreadable"},
      {Episode().dx(1, "N180"), "no_mdc"},
  };
  for (const auto& c : cases) EXPECT_EQ(names(grouped(c.record).findings), c.finding) << c.record.str();

  eg::Grouper g(tables_);
  EXPECT_EQ(names(g.group(Episode().dx(1, "I21").str().substr(0, 200)).findings), "short_record");
  EXPECT_EQ(names(g.group(Episode().dx(1, "I21").str() + std::string(4095 - 273, 'x')).findings), "line_cut");
  const eg::Result r = g.group(Episode().dx(1, "I21").dx(3, "X99").str());
  ASSERT_EQ(r.findings.count, 1);
  EXPECT_EQ(r.findings.items[0].position, 3);
  EXPECT_EQ(std::string(eg::text_of(r.findings.items[0].text)), "X99  ");
  // In the TSV a text's ";" and ">" cannot be taken for the list's own.
  g.group(Episode().dx(1, "I21").dx(2, "A;B>\\").proc(11, "T\tX").str());
  const std::string row = g.result_row(1);
  EXPECT_EQ(row.substr(row.rfind('\t', row.size() - 2) + 1), "dx_unknown@2:A\\;B\\>\\\\;proc_unknown@11:T\\tX\n");
}

// The DRG key and the PCCL split row: an ADRG without its DRG, a DRG
// without a split row.
TEST(Findings, DrgKeyAndPcclSplitRow) {
  testing::TableBuilder b;
  const int16_t mdc = b.mdc("M05");
  const int16_t no_drg = b.adrg("F01A");
  const int16_t no_split = b.adrg("F02A");
  b.drg("F02A0");
  b.dx_cond(b.dx("I21", true), 100);
  b.dx_cond(b.dx("I50", true), 101);
  b.rule(rule_def(1, mdc, no_drg, {100}));
  b.rule(rule_def(1, mdc, no_split, {101}));
  testing::ScratchDir dir("findings-drg");
  b.write(dir.path());
  eg::Status error;
  auto tables = eg::TableSet::open(dir.path(), error);
  ASSERT_NE(tables, nullptr) << error.message;
  eg::Grouper g(tables);
  EXPECT_EQ(names(g.group(Episode().dx(1, "I21").str()).findings), "drg_unknown");
  EXPECT_EQ(names(g.group(Episode().dx(1, "I50").str()).findings), "pccl_split_missing");
}

}  // namespace
}  // namespace grouper
