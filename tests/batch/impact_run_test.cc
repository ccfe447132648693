// A run with --impact: the impact column last in TSV and JSON Lines, codes
// escaped as the findings escape them, the same column on every thread
// count, the summary's codes that move the most weight, and the option
// refused where nothing would show it.
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

// I21 groups to F01A (DRG F01A0, split string "01234"); E11 and "E;>\"
// carry CCL 3 there, which makes PCCL 3: F01A03 instead of F01A00.
void write_set(const fs::path& dir) {
  TableBuilder b;
  const int16_t circ = b.mdc("05 ");
  const int16_t heart = b.adrg("F01A");
  b.pccl(b.drg("F01A0"), "01234");
  b.dx_cond(b.dx("I21", true), 100);
  b.dx("I50", true);
  b.ccl_columns(2);
  b.ccl_level(1, heart, 3);
  b.dx_ccl(b.dx("E11", true), 1);
  b.dx_ccl(b.dx("E;>\\", true), 1);
  b.rule({.slot = 1, .mdc = circ, .adrg = heart, .must = {100}, .must_not = {}});
  b.rule({.slot = circ, .adrg = heart, .must = {}, .must_not = {}});
  b.write(dir);
}

constexpr const char* kWeights =
    "drg\tvalid_from\tvalid_to\tweight\tlow_trim\tdeduction\thigh_trim\tsurcharge\n"
    "F01A00\t\t\t1.0\t\t\t\t\n"
    "F01A03\t\t\t1.5\t\t\t\t\n";

class ImpactRun : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = testing::fresh_dir(::testing::UnitTest::GetInstance()->current_test_info()->name());
    write_set(dir_);
    testing::write_file(dir_ / "w.tsv", kWeights);
    auto patient = [] { return Episode().date("20050601").birth("600101").sex('1').los("005").dx(1, "I21"); };
    std::string in;
    for (int i = 0; i < 400; ++i) {  // enough records for several blocks on several threads
      in += patient().dx(2, "E11").dx(3, "I50").line();
      in += patient().line();
      in += patient().dx(3, "e;>\\").line();
    }
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

TEST_F(ImpactRun, AddsTheColumnLastAndTheCodesThatMoveTheMostWeight) {
  const auto plain = testing::run_grouper(dir_, "--weights w.tsv --results plain.tsv");
  ASSERT_EQ(plain.exit_code, 0) << plain.err;
  const auto run = testing::run_grouper(dir_, "--impact --weights w.tsv --results impact.tsv --summary-file s.txt");
  ASSERT_EQ(run.exit_code, 0) << run.err;
  const std::vector<std::string> before = split(testing::read_file(dir_ / "plain.tsv"), '\n');
  const std::vector<std::string> after = split(testing::read_file(dir_ / "impact.tsv"), '\n');
  ASSERT_EQ(after.size(), before.size());
  EXPECT_EQ(after[0], before[0] + "\timpact");
  const std::string expected[] = {"2:E11>F01A00:-0.5000", "", "3:E\\;\\>\\\\>F01A00:-0.5000"};
  for (size_t i = 1; i + 1 < after.size(); ++i) {
    ASSERT_EQ(after[i], before[i] + "\t" + expected[(i - 1) % 3]) << "row " << i;
  }

  // Every thread count gives the same bytes.
  const auto threads = testing::run_grouper(dir_, "--impact --weights w.tsv --results threads.tsv --threads 3");
  ASSERT_EQ(threads.exit_code, 0) << threads.err;
  EXPECT_EQ(testing::read_file(dir_ / "threads.tsv"), testing::read_file(dir_ / "impact.tsv"));

  // Each code lowers 400 records by 0.5.
  const std::string summary = testing::read_file(dir_ / "s.txt");
  EXPECT_NE(summary.find("codes whose removal moves the most weight\n"), std::string::npos) << summary;
  EXPECT_NE(summary.find("\nE11      dx                    400        -200.0000        -0.5000\n"), std::string::npos)
      << summary;
  EXPECT_NE(summary.find("\nE;>\\     dx   F01A03           400        -200.0000        -0.5000\n"),
            std::string::npos)
      << summary;
}

TEST_F(ImpactRun, JsonRowsCarryAnArrayAndNullWithoutWeights) {
  const auto run = testing::run_grouper(dir_, "--impact --results impact.jsonl");
  ASSERT_EQ(run.exit_code, 0) << run.err;
  const std::vector<std::string> rows = split(testing::read_file(dir_ / "impact.jsonl"), '\n');
  auto tail = [](const std::string& row) { return row.substr(row.find(",\"impact\":")); };
  EXPECT_EQ(tail(rows[0]), ",\"impact\":[{\"pos\":2,\"code\":\"E11\",\"drg\":\"F01A00\",\"weight_difference\":null}]}");
  EXPECT_EQ(tail(rows[1]), ",\"impact\":[]}");
  EXPECT_EQ(tail(rows[2]),
            ",\"impact\":[{\"pos\":3,\"code\":\"E;>\\\\\",\"drg\":\"F01A00\",\"weight_difference\":null}]}");
}

TEST_F(ImpactRun, ARowThatCannotBeBuiltHasAnEmptyColumn) {
  testing::write_file(dir_ / "in.csv",
                      "id,birth_date,sex,record_date,los,discharge,principal,secondary,procedures\n"
                      "A1,1960-01-01,M,2005-06-01,5,1,I21,E11,\n"
                      "A2,1960-01-01,M,2005-06-01,1200,1,I21,E11,\n");
  for (const char* results : {"rows.tsv", "rows.jsonl"}) {
    const auto run = testing::run_grouper(dir_, std::string("--input in.csv --impact --results ") + results);
    ASSERT_EQ(run.exit_code, 0) << run.err;
    const std::vector<std::string> rows = split(testing::read_file(dir_ / results), '\n');
    const bool tsv = std::string(results) == "rows.tsv";
    ASSERT_GE(rows.size(), tsv ? 3u : 2u);
    const std::string& built = rows[tsv ? 1 : 0];
    const std::string& invalid = rows[tsv ? 2 : 1];
    if (tsv) {
      EXPECT_EQ(built.substr(built.rfind('\t')), "\t2:E11>F01A00");
      EXPECT_EQ(invalid.substr(invalid.rfind('\t')), "\t");
    } else {
      EXPECT_NE(built.find(",\"impact\":[{\"pos\":2,"), std::string::npos) << built;
      EXPECT_EQ(invalid.substr(invalid.size() - 13), ",\"impact\":[]}");
    }
  }
}

TEST_F(ImpactRun, IsRefusedWhereNothingWouldShowIt) {
  const auto run = testing::run_grouper(dir_, "--impact");
  EXPECT_EQ(run.exit_code, 2);
  EXPECT_NE(run.err.find("option '--impact' needs --results FILE"), std::string::npos) << run.err;
}

}  // namespace
}  // namespace grouper
