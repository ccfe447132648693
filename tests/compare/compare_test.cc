// Comparing two table sets over one input: every kind of difference counted
// as the sets were built to make it, the differing records written in input
// order, and the same bytes for any number of threads.  Each comparison is a
// run of the program, as the other threaded tests: the ThreadSanitizer build
// sees the pipeline's threads start after it is set up.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "compare/compare.h"
#include "compare/compare_summary.h"
#include "support/run_program.h"
#include "support/table_builder.h"

namespace grouper {
namespace {

using testing::Episode;
using testing::TableBuilder;

constexpr int kRecords = 20000;  // more than two pipeline blocks

// The old set knows I21, J18 and procedure M5520; the new one knows I21 and
// K35 but not J18 nor M5520.  I21 groups to F01A under both, J18 to E01C
// under the old set only, K35 to E01C under the new set only.
void write_set(bool old, const std::filesystem::path& dir) {
  TableBuilder b;
  const int16_t circ = b.mdc("05 ");
  const int16_t resp = b.mdc("04 ");
  const int16_t heart = b.adrg("F01A");
  const int16_t lung = b.adrg("E01C");
  b.pccl(b.drg("F01A0"), "01234");
  b.pccl(b.drg("E01C0"), "01234");
  b.dx_cond(b.dx("I21", true), 100);
  b.dx_cond(b.dx(old ? "J18" : "K35", true), 102);
  if (old) b.proc("M5520");
  b.rule({.slot = 1, .mdc = circ, .adrg = heart, .must = {100}, .must_not = {}});
  b.rule({.slot = 1, .mdc = resp, .adrg = lung, .must = {102}, .must_not = {}});
  b.write(dir);
}

// Record i (from 0) is of kind i % 4: I21 (the same), I21 with M5520 (the
// findings alone differ), J18 (newly ungroupable), K35 (newly grouped).
std::string episodes() {
  std::string all;
  for (int i = 0; i < kRecords; ++i) {
    Episode e;
    e.date("20050601").birth("800101").sex('1');
    const char* dx[] = {"I21", "I21", "J18", "K35"};
    e.dx(1, dx[i % 4]);
    if (i % 4 == 1) e.proc(11, "M5520");
    all += e.line();
  }
  return all;
}

// The two sets and the episodes in a fresh directory.
std::filesystem::path setup(const std::string& name) {
  const std::filesystem::path dir = testing::fresh_dir("compare-" + name);
  write_set(true, dir / "old");
  write_set(false, dir / "new");
  testing::write_file(dir / "episodes.txt", episodes());
  return dir;
}

struct CompareRun {
  std::string diff;
  std::string json;
};

// grouper compare in `dir` (each run a process of its own, as a user runs it).
CompareRun compare(const std::filesystem::path& dir, const std::string& old_set, const std::string& new_set,
                   int threads) {
  const testing::ProgramRun run = testing::run_grouper(
      dir, "compare --tables " + old_set + " --tables " + new_set +
               " --input episodes.txt --output diff.tsv --json summary.json -j " + std::to_string(threads));
  EXPECT_EQ(run.exit_code, 0) << run.err;
  return {testing::read_file(dir / "diff.tsv"), testing::read_file(dir / "summary.json")};
}

TEST(Compare, EveryKindOfDifferenceIsCountedAndWrittenInOrder) {
  const CompareRun run = compare(setup("kinds"), "old", "new", 2);
  const int64_t quarter = kRecords / 4;
  auto has = [&run](const std::string& text) { return run.json.find(text) != std::string::npos; };
  const std::string q = std::to_string(quarter);
  EXPECT_TRUE(has("\"records\":" + std::to_string(kRecords) + ",")) << run.json;
  EXPECT_TRUE(has("\"differing\":" + std::to_string(3 * quarter) + ",")) << run.json;
  EXPECT_TRUE(has("\"results_differ\":" + std::to_string(2 * quarter) + ",")) << run.json;
  EXPECT_TRUE(has("\"findings_only\":" + q + ",")) << run.json;
  EXPECT_TRUE(has("\"newly_ungroupable\":" + q + ",\"newly_grouped\":" + q + ",")) << run.json;
  // The moves are named by code, largest first, then by code: "" (none) first.
  EXPECT_TRUE(has("\"adrg_moves\":[{\"from\":\"\",\"to\":\"E01C\",\"count\":" + q + "},"
                  "{\"from\":\"E01C\",\"to\":\"\",\"count\":" + q + "}]")) << run.json;
  EXPECT_TRUE(has("\"mdc_moves\":[{\"from\":\"\",\"to\":\"04 \",\"count\":" + q + "},"
                  "{\"from\":\"04 \",\"to\":\"\",\"count\":" + q + "}]")) << run.json;

  // One row per differing record, in input order, under the header; the
  // findings of each side in its own column.
  EXPECT_EQ(run.diff.substr(0, run.diff.find('\n') + 1), compare_header());
  int64_t last = 0;
  size_t rows = 0;
  for (size_t at = run.diff.find('\n') + 1; at < run.diff.size(); at = run.diff.find('\n', at) + 1) {
    const int64_t number = std::stoll(run.diff.substr(at, run.diff.find('\t', at) - at));
    EXPECT_NE((number - 1) % 4, 0) << number;
    EXPECT_GT(number, last);
    last = number;
    ++rows;
    if ((number - 1) % 4 == 1) {
      const std::string row = run.diff.substr(at, run.diff.find('\n', at) - at);
      EXPECT_EQ(row.substr(row.size() - std::string("\tproc_unknown@11:M5520").size()), "\tproc_unknown@11:M5520")
          << row;
    }
  }
  EXPECT_EQ(rows, static_cast<size_t>(3 * quarter));
}

TEST(Compare, SameBytesWhateverTheThreadCountAndNothingFromOneSetTwice) {
  const std::filesystem::path dir = setup("threads");
  const CompareRun one = compare(dir, "old", "new", 1);
  for (int threads : {2, 3}) {
    const CompareRun many = compare(dir, "old", "new", threads);
    EXPECT_EQ(many.diff, one.diff) << threads;
    EXPECT_EQ(many.json, one.json) << threads;
  }
  const CompareRun same = compare(dir, "old", "old", 3);
  EXPECT_EQ(same.diff, compare_header());
  EXPECT_NE(same.json.find("\"differing\":0,"), std::string::npos);
}

// The summary's JSON, member by member: names and codes with any byte (read
// as Latin-1; control characters and U+007F escaped), the PCCL of a side
// without an ADRG as null, and the weights with null where a side has none.
TEST(CompareSummary, JsonKeepsEveryByteOfNamesAndCodes) {
  CompareSummary s;
  s.use_weights("old\tweights", "new\xE9weights");
  s.add_records(3);
  RecordChange c;
  c.old_mdc = code_key("05 ");
  c.new_mdc = code_key("\x7F" "5");
  c.old_adrg = code_key("F01A");
  c.old_drg = code_key("F01A0");
  c.new_drg = code_key("\"\\\x01\n");
  c.old_pccl = 3;
  c.bits = kChangeMdc | kChangeAdrg | kChangeDrg | kChangePccl | kOldGrouped | kChangeWeight;
  c.old_weight = 12345;
  s.add(c);
  s.add_weights({.old_sum = 12345, .new_sum = 0, .old_weighted = 1, .new_weighted = 0});
  EXPECT_EQ(s.json("old\x01\xFF\"", "new\\\x1F/"),
            R"({"old_tables":"old\u0001)" "\xC3\xBF" R"(\"","new_tables":"new\\\u001f/","records":3,"differing":1,)"
            R"("results_differ":1,"findings_only":0,"mdc_changed":1,"adrg_changed":1,"drg_changed":1,"pccl_changed":1,)"
            R"("ccl_changed":0,"supplementary_changed":0,"other_changed":0,"newly_ungroupable":1,"newly_grouped":0,)"
            R"("adrg_moves":[{"from":"F01A","to":"","count":1}],)"
            R"("drg_moves":[{"from":"F01A0","to":"\"\\\u0001\u000a","count":1}],)"
            R"("mdc_moves":[{"from":"05 ","to":"\u007f5","count":1}],"pccl_moves":[{"from":3,"to":null,"count":1}],)"
            R"("weights":{"old_weights":"old\u0009weights","new_weights":"new)" "\xC3\xA9" R"(weights",)"
            R"("old_case_mix":"1.2345","new_case_mix":"0.0000","old_case_mix_index":"1.2345","new_case_mix_index":null,)"
            R"("old_weighted":1,"new_weighted":0,"weight_moved":"-1.2345",)"
            R"("weight_moves":[{"from":"F01A0","to":"\"\\\u0001\u000a","records":1,"weight_moved":"-1.2345"}]}})"
            "\n");
}

}  // namespace
}  // namespace grouper
