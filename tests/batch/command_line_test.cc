// The options of the program: other places for tables and files, and the
// detailed result file.  Without options the run is the classic one (see
// batch_run_test.cc).
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/run_program.h"
#include "support/table_builder.h"

namespace grouper {
namespace {

namespace fs = std::filesystem;
using testing::Episode;
using testing::TableBuilder;

using testing::kEnd;
const std::string kHeader =
    "record\tmdc\tadrg\tdrg\tpccl\tccl_raw\tccl_excl\tsupplementary\tage_yy\tage_dd\tfindings\n";

class CommandLine : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = testing::fresh_dir(::testing::UnitTest::GetInstance()->current_test_info()->name());
  }
  testing::ProgramRun run(const std::string& args) const { return testing::run_grouper(root_, args); }
  fs::path root_;
};

TEST_F(CommandLine, DirRunsEverythingInThatDirectory) {
  TableBuilder().write(root_ / "run");
  testing::write_file(root_ / "run" / "tamv30.in", Episode().line());
  for (const std::string args : {"-C run", "--dir run", "--dir=run", "-Crun"}) {
    fs::remove(root_ / "run" / "tamv30.out");
    auto r = run(args);
    EXPECT_EQ(r.out, kEnd) << args;
    EXPECT_EQ(r.exit_code, 0) << args;
    EXPECT_EQ(testing::read_file(root_ / "run" / "tamv30.out").size(), 301u) << args;
  }
  EXPECT_FALSE(fs::exists(root_ / "tamv30.out"));
}

TEST_F(CommandLine, TablesInputAndOutputFromOtherPlaces) {
  TableBuilder().write(root_ / "tables");
  testing::write_file(root_ / "episodes.txt", Episode().line() + Episode().line());
  auto r = run("--tables tables --input episodes.txt --output results.txt");
  EXPECT_EQ(r.out, kEnd);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(testing::read_file(root_ / "results.txt").size(), 2 * 301u);
  EXPECT_FALSE(fs::exists(root_ / "tamv30.out"));
}

TEST_F(CommandLine, PathsOfOptionsAreRelativeToTheRunDirectory) {
  TableBuilder().write(root_ / "run" / "tables");
  testing::write_file(root_ / "run" / "in.txt", Episode().line());
  auto r = run("-C run --tables tables --input in.txt --output out.txt --results detail.tsv");
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_TRUE(fs::exists(root_ / "run" / "out.txt"));
  EXPECT_TRUE(fs::exists(root_ / "run" / "detail.tsv"));
}

TEST_F(CommandLine, TablesMissingFromTheTablesDirectoryAreAnInitError) {
  TableBuilder().write(root_);  // in the run directory, not where --tables points
  fs::create_directory(root_ / "empty");
  testing::write_file(root_ / "tamv30.in", Episode().line());
  auto r = run("--tables empty");
  EXPECT_EQ(r.out, " file init error \n");
  EXPECT_NE(r.exit_code, 0);
  // Beside the classic message, standard error names the file and the reason.
  EXPECT_EQ(r.err, "grouper: table set empty: Tdx.idx cannot be opened for reading\n");
}

TEST_F(CommandLine, AFileThatCannotBeOpenedIsNamedBesideTheClassicMessage) {
  auto r = run("--tables /nonexistent");  // and no tamv30.in in the run directory
  EXPECT_EQ(r.out, "file in open error\n");
  EXPECT_EQ(r.err, "grouper: tamv30.in: No such file or directory\n");
  EXPECT_NE(r.exit_code, 0);
  testing::write_file(root_ / "tamv30.in", Episode().line());
  fs::create_directory(root_ / "out");
  r = run("--output out");
  EXPECT_EQ(r.out, "file out open error\n");
  EXPECT_EQ(r.err, "grouper: out: Is a directory\n");
  r = run("--output ./tamv30.in");
  EXPECT_EQ(r.err, "grouper: ./tamv30.in: is the input file\n");
}

TEST_F(CommandLine, ResultsFileHasAHeaderAndOneRowPerRecord) {
  TableBuilder().write(root_);
  // Born 1 Jan 1980, recorded 1 Mar 2005: 25 years, 25 * 365 + 25 / 4 + 60 + 365 - 1 + 1 - 365 days.
  testing::write_file(root_ / "tamv30.in", Episode().line() + Episode().line());
  auto r = run("--results detail.tsv");
  EXPECT_EQ(r.out, kEnd);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(testing::read_file(root_ / "detail.tsv"),
            kHeader + "1\t\t\t\t\t\t\t0000\t25\t9191\tno_mdc\n" + "2\t\t\t\t\t\t\t0000\t25\t9191\tno_mdc\n");
  EXPECT_EQ(testing::read_file(root_ / "tamv30.out").size(), 2 * 301u);
}

TEST_F(CommandLine, RecordWithAnAdrgShowsItInBothFiles) {
  TableBuilder b;
  int16_t mdc = b.mdc("M05");
  int16_t adrg = b.adrg("F62B");
  testing::RuleDef rule;  // no conditions: every record matches
  rule.slot = 1;
  rule.mdc = mdc;
  rule.adrg = adrg;
  b.rule(rule);
  b.write(root_);
  testing::write_file(root_ / "tamv30.in", Episode().line());
  auto r = run("--results detail.tsv");
  ASSERT_EQ(r.exit_code, 0);
  const std::string out = testing::read_file(root_ / "tamv30.out");
  ASSERT_EQ(out.size(), 301u);
  EXPECT_EQ(out.substr(277, 4), "F62B");
  const std::string detail = testing::read_file(root_ / "detail.tsv");
  ASSERT_GT(detail.size(), kHeader.size());
  EXPECT_EQ(detail.substr(kHeader.size(), 11), "1\tM05\tF62B\t");
}

TEST_F(CommandLine, EmptyInputGivesAResultsFileWithOnlyItsHeader) {
  TableBuilder().write(root_);
  testing::write_file(root_ / "tamv30.in", "");
  ASSERT_EQ(run("--results detail.tsv").exit_code, 0);
  EXPECT_EQ(testing::read_file(root_ / "detail.tsv"), kHeader);
}

TEST_F(CommandLine, ResultsFileThatCannotBeOpenedFailsTheRun) {
  TableBuilder().write(root_);
  testing::write_file(root_ / "tamv30.in", Episode().line());
  fs::create_directory(root_ / "detail.tsv");
  auto r = run("--results detail.tsv");
  EXPECT_EQ(r.out, "");  // reported on standard error
  EXPECT_NE(r.exit_code, 0);
}

TEST_F(CommandLine, ResultsFileThatIsTheInputIsRefused) {
  TableBuilder().write(root_);
  testing::write_file(root_ / "tamv30.in", Episode().line());
  auto r = run("--results tamv30.in");
  EXPECT_NE(r.exit_code, 0);
  EXPECT_EQ(testing::read_file(root_ / "tamv30.in"), Episode().line());
}

TEST_F(CommandLine, FailedWriteOfTheResultsFileFailsTheRun) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  TableBuilder().write(root_);
  testing::write_file(root_ / "tamv30.in", Episode().line());
  auto r = run("--results /dev/full");
  EXPECT_EQ(r.out.find(kEnd), std::string::npos);
  EXPECT_NE(r.exit_code, 0);
}

TEST_F(CommandLine, HelpAndVersion) {
  for (const std::string args : {"-h", "--help"}) {
    auto r = run(args);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out.rfind("Usage: grouper", 0), 0u) << r.out;
    EXPECT_NE(r.out.find("--results FILE"), std::string::npos);
  }
  auto v = run("--version");
  EXPECT_EQ(v.exit_code, 0);
  EXPECT_EQ(v.out, "grouper " GROUPER_TEST_VERSION "\n");
  EXPECT_FALSE(fs::exists(root_ / "tamv30.out"));
}

TEST_F(CommandLine, BadUsageExitsWith2WithoutRunning) {
  TableBuilder().write(root_);
  testing::write_file(root_ / "tamv30.in", Episode().line());
  for (const std::string args : {"--bogus", "-x", "extra", "--input", "--dir=", "--input a --input b", "--results -",
                                 "--results r.tsv --results-format xml", "--results-format tsv"}) {
    auto r = run(args);
    EXPECT_EQ(r.exit_code, 2) << args;
    EXPECT_EQ(r.out, "") << args;
  }
  EXPECT_FALSE(fs::exists(root_ / "tamv30.out"));
}

}  // namespace
}  // namespace grouper
