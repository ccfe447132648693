// A run with --weights: the weight columns and findings worked by hand, the
// summary's case-mix, the existing bytes unchanged, and a catalogue that
// fails its checks stopping the run before anything is grouped.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/run_program.h"
#include "support/table_builder.h"

namespace grouper {
namespace {

namespace fs = std::filesystem;
using testing::Episode;
using testing::TableBuilder;

// I21 groups to DRG F01A0 with split string "01234": PCCL 0 gives the DRG
// text "F01A00".  J18 groups to E01C0 ("E01C00"); K35 is unknown (no DRG).
void write_set(const fs::path& dir) {
  TableBuilder b;
  const int16_t circ = b.mdc("05 ");
  const int16_t resp = b.mdc("04 ");
  const int16_t heart = b.adrg("F01A");
  const int16_t lung = b.adrg("E01C");
  b.pccl(b.drg("F01A0"), "01234");
  b.pccl(b.drg("E01C0"), "01234");
  b.dx_cond(b.dx("I21", true), 100);
  b.dx_cond(b.dx("J18", true), 102);
  b.rule({.slot = 1, .mdc = circ, .adrg = heart, .must = {100}, .must_not = {}});
  b.rule({.slot = 1, .mdc = resp, .adrg = lung, .must = {102}, .must_not = {}});
  b.write(dir);
}

// F01A00: 1.2, below 3 days 0.1 less per day, above 10 days 0.05 more.
// E01C00 has a row only up to 2004, so not on the records' date.  Z99Z0 is
// no DRG of the set: a warning.
constexpr const char* kWeights =
    "drg\tvalid_from\tvalid_to\tweight\tlow_trim\tdeduction\thigh_trim\tsurcharge\n"
    "F01A00\t20050101\t\t1.2\t3\t0.1\t10\t0.05\n"
    "E01C00\t\t20041231\t0.8\t\t\t\t\n"
    "Z99Z0\t\t\t3.0\t\t\t\t\n";

class WeightsRun : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = testing::fresh_dir(::testing::UnitTest::GetInstance()->current_test_info()->name());
    write_set(dir_);
    testing::write_file(dir_ / "w.tsv", kWeights);
    std::string in;
    for (const char* los : {"005", "001", "020", "0x5"}) {
      in += Episode().date("20050601").birth("800101").sex('1').los(los).dx(1, "I21").line();
    }
    in += Episode().date("20050601").birth("800101").sex('1').los("004").dx(1, "J18").line();
    in += Episode().date("20050601").birth("800101").sex('1').los("004").dx(1, "K35").line();
    testing::write_file(dir_ / "tamv30.in", in);
  }
  fs::path dir_;
};

std::vector<std::string> split(const std::string& text, char sep) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (size_t at; (at = text.find(sep, start)) != std::string::npos; start = at + 1) {
    parts.push_back(text.substr(start, at - start));
  }
  parts.push_back(text.substr(start));
  return parts;
}

TEST_F(WeightsRun, ColumnsFindingsAndSummaryWorkedByHand) {
  const auto plain = testing::run_grouper(dir_, "--results plain.tsv");
  ASSERT_EQ(plain.exit_code, 0) << plain.err;
  const std::string plain_lines = testing::read_file(dir_ / "tamv30.out");
  const auto run = testing::run_grouper(dir_, "--weights w.tsv --results weighed.tsv --summary-file summary.txt");
  ASSERT_EQ(run.exit_code, 0) << run.err;
  EXPECT_EQ(run.err, "grouper: warning: 1 DRG of w.tsv is not in the DRG table\n");
  // The classic result lines stay byte for byte.
  EXPECT_EQ(testing::read_file(dir_ / "tamv30.out"), plain_lines);

  const std::vector<std::string> before = split(testing::read_file(dir_ / "plain.tsv"), '\n');
  const std::vector<std::string> after = split(testing::read_file(dir_ / "weighed.tsv"), '\n');
  ASSERT_EQ(after.size(), before.size());
  EXPECT_EQ(after[0], before[0] + "\tweight\teffective_weight\tlos_class");
  // Weight findings after the grouping's own, then the three columns.
  const std::string expected[][4] = {
      {"", "1.2000", "1.2000", "inlier"},
      {"", "1.2000", "1.0000", "low"},                     // 1.2 - 0.1 x (3 - 1)
      {"", "1.2000", "1.7000", "high"},                    // 1.2 + 0.05 x (20 - 10)
      {"weight_los_unreadable@los", "1.2000", "1.2000", ""},
      {"weight_no_row", "", "", ""},
      {"weight_no_drg", "", "", ""},
  };
  for (size_t i = 0; i < 6; ++i) {
    SCOPED_TRACE("record " + std::to_string(i + 1));
    const std::vector<std::string> old_cols = split(before[i + 1], '\t');
    const std::vector<std::string> cols = split(after[i + 1], '\t');
    ASSERT_EQ(cols.size(), old_cols.size() + 3);
    for (size_t c = 0; c + 1 < old_cols.size(); ++c) EXPECT_EQ(cols[c], old_cols[c]) << "column " << c;
    const std::string& old_findings = old_cols.back();
    const std::string& weight_finding = expected[i][0];
    const std::string joined = old_findings.empty() || weight_finding.empty()
                                   ? old_findings + weight_finding
                                   : old_findings + ";" + weight_finding;
    EXPECT_EQ(cols[10], joined);
    EXPECT_EQ(cols[11], expected[i][1]);
    EXPECT_EQ(cols[12], expected[i][2]);
    EXPECT_EQ(cols[13], expected[i][3]);
  }

  // 1.2 + 1.0 + 1.7 + 1.2 = 5.1 over 4 episodes: 1.275; all in MDC 05.
  const std::string summary = testing::read_file(dir_ / "summary.txt");
  auto has = [&summary](const std::string& line) { return summary.find(line) != std::string::npos; };
  EXPECT_TRUE(has("episodes with a weight                  4\n")) << summary;
  EXPECT_TRUE(has("case-mix                           5.1000\n")) << summary;
  EXPECT_TRUE(has("case-mix index                     1.2750\n")) << summary;
  EXPECT_TRUE(has("low outliers                            1\n")) << summary;
  EXPECT_TRUE(has("high outliers                           1\n")) << summary;
  EXPECT_TRUE(has("05                4           5.1000         1.2750\n")) << summary;
  EXPECT_TRUE(has("weight_no_row")) << summary;
}

TEST_F(WeightsRun, JsonRowsCarryTheWeightsAsNumbersOrNull) {
  const auto run = testing::run_grouper(dir_, "--weights w.tsv --results weighed.jsonl");
  ASSERT_EQ(run.exit_code, 0) << run.err;
  const std::vector<std::string> rows = split(testing::read_file(dir_ / "weighed.jsonl"), '\n');
  ASSERT_EQ(rows.size(), 7u);
  auto ends_with = [](const std::string& row, const std::string& end) {
    return row.size() >= end.size() && row.compare(row.size() - end.size(), end.size(), end) == 0;
  };
  EXPECT_TRUE(ends_with(rows[1], "\"findings\":[],\"weight\":1.2000,\"effective_weight\":1.0000,\"los_class\":\"low\"}"))
      << rows[1];
  EXPECT_TRUE(ends_with(rows[5], "{\"code\":\"weight_no_drg\"}],\"weight\":null,\"effective_weight\":null,"
                                 "\"los_class\":null}"))
      << rows[5];
}

TEST_F(WeightsRun, ACatalogueThatFailsItsChecksGroupsNothing) {
  testing::write_file(dir_ / "bad.tsv", std::string(kWeights) + "F01A00\t20060101\t\t1.23456\t\t\t\t\n");
  const auto run = testing::run_grouper(dir_, "--weights bad.tsv --results weighed.tsv");
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(run.err, "grouper: bad.tsv:5: weight '1.23456' has more than 4 decimals\n");
  EXPECT_EQ(testing::read_file(dir_ / "tamv30.out"), "");
  EXPECT_FALSE(fs::exists(dir_ / "weighed.tsv"));
}

}  // namespace
}  // namespace grouper
