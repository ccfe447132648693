// grouper explain on the command line, and the summary of the findings of a
// run: what each prints, and its errors.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/run_program.h"
#include "support/varied_tables.h"

namespace grouper {
namespace {

namespace fs = std::filesystem;
using testing::Episode;

class ExplainCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = testing::fresh_dir(::testing::UnitTest::GetInstance()->current_test_info()->name());
    testing::varied_tables().write(root_ / "tables");
    // The second record's principal diagnosis is not in the dictionary.
    testing::write_file(root_ / "in.txt", Episode().dx(1, "I21").line() + Episode().dx(1, "Q99").line());
  }
  testing::ProgramRun run(const std::string& args, const std::string& input = "") const {
    testing::RunOptions options;
    options.input = input;
    return testing::run_program(GROUPER_BINARY, root_, args, options);
  }
  fs::path root_;
};

TEST_F(ExplainCommand, ExplainsTheRecordAskedForFromAFileAStreamOrTheLine) {
  const testing::ProgramRun second = run("explain --tables tables --input in.txt --record 2");
  ASSERT_EQ(second.exit_code, 0) << second.err;
  EXPECT_NE(second.out.find("diagnosis \"Q99  \""), std::string::npos) << second.out;
  EXPECT_NE(second.out.find("dx_unknown at position 1 \"Q99\""), std::string::npos) << second.out;
  EXPECT_EQ(run("explain --tables tables", testing::read_file(root_ / "in.txt")).out,
            run("explain --tables tables --line " + testing::shell_quoted(Episode().dx(1, "I21").line())).out);
  const testing::ProgramRun json = run("explain --tables tables --input in.txt --record 1 --format json");
  EXPECT_EQ(json.exit_code, 0);
  EXPECT_EQ(json.out.substr(0, 10), "{\"record\":");
}

TEST_F(ExplainCommand, RefusesBadUsageAndReportsWhatCannotBeRead) {
  EXPECT_EQ(run("explain --help").exit_code, 0);
  for (const char* args : {"explain --record 1", "explain --input in.txt", "explain --format xml",
                           "explain --line x --input in.txt --record 1", "explain --record 0 --input in.txt",
                           "explain --bogus"}) {
    const testing::ProgramRun r = run(args);
    EXPECT_EQ(r.exit_code, 2) << args;
    EXPECT_NE(r.err.find("Try 'grouper explain --help'"), std::string::npos) << args;
  }
  const testing::ProgramRun missing = run("explain --tables nowhere --line x");
  EXPECT_EQ(missing.exit_code, 1);
  EXPECT_NE(missing.err.find("nowhere"), std::string::npos);
  const testing::ProgramRun past = run("explain --tables tables --input in.txt --record 3");
  EXPECT_EQ(past.exit_code, 1);
  EXPECT_NE(past.err.find("has no record 3"), std::string::npos);
}

TEST_F(ExplainCommand, SummaryCountsTheFindingsOfTheResultFileTheSameForAnyThreadCount) {
  std::string episodes;
  for (int i = 0; i < 30; ++i) episodes += Episode().dx(1, i % 3 == 0 ? "Q99" : "I21").line();
  testing::write_file(root_ / "many.txt", episodes);
  const testing::ProgramRun one =
      run("--tables tables --input many.txt --output out.txt --results r.tsv --summary --threads 1");
  ASSERT_EQ(one.exit_code, 0) << one.err;
  EXPECT_NE(one.err.find("findings of 30 records\n"), std::string::npos) << one.err;
  EXPECT_NE(one.err.find("dx_unknown                     10"), std::string::npos) << one.err;
  const std::string rows = testing::read_file(root_ / "r.tsv");
  size_t unknown = 0;
  for (size_t at = rows.find("dx_unknown"); at != std::string::npos; at = rows.find("dx_unknown", at + 1)) ++unknown;
  EXPECT_EQ(unknown, 10u);
  ASSERT_EQ(run("--tables tables --input many.txt --output out.txt --summary-file s.txt --threads 2").exit_code, 0);
  // The file starts with the version that made it, then the same summary.
  EXPECT_EQ(testing::read_file(root_ / "s.txt"), "grouper " GROUPER_TEST_VERSION "\n" + one.err);
  EXPECT_EQ(run("--summary --summary-file s.txt").exit_code, 2);
}

}  // namespace
}  // namespace grouper
