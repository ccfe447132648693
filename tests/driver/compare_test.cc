// Comparing two table sets over one input: every kind of difference counted
// as the sets were built to make it, the differing records written in input
// order, and the same bytes for any number of threads.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <set>
#include <string>

#include "driver/compare.h"
#include "driver/output_file.h"
#include "grouper/table_set.h"
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
std::unique_ptr<const TableSet> open_set(bool old, const std::string& name) {
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
  const std::filesystem::path dir = testing::fresh_dir("compare-" + name);
  b.write(dir);
  std::unique_ptr<const TableSet> set;
  std::string messages;
  EXPECT_EQ(open_table_set(dir, set, messages), kLoadOk) << messages;
  return set;
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

struct CompareRun {
  std::string diff;
  std::string json;
  int64_t records = 0;
};

CompareRun compare(const TableSet& old_set, const TableSet& new_set, const std::string& input, int threads) {
  std::FILE* in = std::tmpfile();
  std::fwrite(input.data(), 1, input.size(), in);
  std::rewind(in);
  std::FILE* out = std::tmpfile();
  OutputFile diff(out);
  CompareSummary summary;
  CompareOptions options;
  options.threads = threads;
  options.diff = &diff;
  const BatchOutcome outcome = compare_batch(old_set, new_set, in, summary, options);
  EXPECT_EQ(outcome.end, BatchEnd::kDone);
  EXPECT_TRUE(diff.flush());
  std::rewind(out);
  CompareRun run;
  char buf[1 << 16];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, out)) > 0;) run.diff.append(buf, n);
  std::fclose(in);
  run.json = summary.json("old", "new");
  run.records = summary.records();
  return run;
}

TEST(Compare, EveryKindOfDifferenceIsCountedAndWrittenInOrder) {
  const auto old_set = open_set(true, "old");
  const auto new_set = open_set(false, "new");
  const CompareRun run = compare(*old_set, *new_set, episodes(), 2);
  const int64_t quarter = kRecords / 4;
  EXPECT_EQ(run.records, kRecords);
  auto has = [&run](const std::string& text) { return run.json.find(text) != std::string::npos; };
  const std::string q = std::to_string(quarter);
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
  std::set<int64_t> numbers;
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
  const auto old_set = open_set(true, "old-threads");
  const auto new_set = open_set(false, "new-threads");
  const std::string input = episodes();
  const CompareRun one = compare(*old_set, *new_set, input, 1);
  for (int threads : {2, 3}) {
    const CompareRun many = compare(*old_set, *new_set, input, threads);
    EXPECT_EQ(many.diff, one.diff) << threads;
    EXPECT_EQ(many.json, one.json) << threads;
  }
  const CompareRun same = compare(*old_set, *old_set, input, 3);
  EXPECT_EQ(same.diff, compare_header());
  EXPECT_NE(same.json.find("\"differing\":0,"), std::string::npos);
}

}  // namespace
}  // namespace grouper
