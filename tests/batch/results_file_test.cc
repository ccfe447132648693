// The detailed result file is written beside its target and moved over it
// only after a complete run: a failed run leaves neither a file at the
// target nor the file it was writing, and a complete one replaces the old.
#include <gtest/gtest.h>

#include <algorithm>
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

class ResultsFile : public ::testing::Test {
 protected:
  void SetUp() override {
    TableBuilder().write(dir_.path());
    testing::write_file(dir_ / "tamv30.in", Episode().line() + Episode().line() + "short\n");
  }
  testing::ProgramRun run(const std::string& args) const { return testing::run_grouper(dir_.path(), args); }
  // Names in the run directory that a run writing beside its target left.
  std::vector<std::string> leftovers() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir_.path())) {
      const std::string name = entry.path().filename().string();
      if (name.find(".partial") != std::string::npos) names.push_back(name);
    }
    return names;
  }

  testing::ScratchDir dir_{::testing::UnitTest::GetInstance()->current_test_info()->name()};
};

TEST_F(ResultsFile, FailedRunLeavesNoResultsFile) {
  struct Case {
    std::string name;
    std::string args;
    void (*break_run)(const fs::path& dir);
  };
  std::vector<Case> cases = {
      {"tables that do not load", "", [](const fs::path& d) { fs::remove(d / "Tpccl"); }},
      {"catalogue failing the logic check at the first record", "",
       [](const fs::path& d) {
         TableBuilder b;
         b.cond_type(790, 't');
         b.write(d);
       }},
  };
  if (fs::exists("/dev/full")) cases.push_back({"result lines on a full disk", "--output /dev/full", nullptr});
  const std::string earlier = "rows of an earlier run\n";
  for (const Case& c : cases) {
    for (bool target_exists : {false, true}) {
      SCOPED_TRACE(c.name + (target_exists ? ", earlier results file" : ""));
      TableBuilder().write(dir_.path());
      if (c.break_run) c.break_run(dir_.path());
      fs::remove(dir_ / "detail.tsv");
      if (target_exists) testing::write_file(dir_ / "detail.tsv", earlier);
      const testing::ProgramRun r = run(c.args + " --results detail.tsv");
      EXPECT_NE(r.exit_code, 0);
      EXPECT_EQ(r.out.find(testing::kEnd), std::string::npos);
      if (target_exists) {
        EXPECT_EQ(testing::read_file(dir_ / "detail.tsv"), earlier);
      } else {
        EXPECT_FALSE(fs::exists(dir_ / "detail.tsv"));
      }
      EXPECT_EQ(leftovers(), std::vector<std::string>{});
    }
  }
}

TEST_F(ResultsFile, CompleteRunReplacesAnEarlierResultsFile) {
  ASSERT_EQ(run("--results fresh.tsv").exit_code, 0);
  const std::string fresh = testing::read_file(dir_ / "fresh.tsv");
  ASSERT_NE(fresh, "");
  // A longer earlier file, with a second name that keeps its bytes: the new
  // file takes the name, the old one is not rewritten in place.
  const std::string earlier(2000, 'x');
  testing::write_file(dir_ / "detail.tsv", earlier);
  fs::create_hard_link(dir_ / "detail.tsv", dir_ / "earlier.tsv");
  const testing::ProgramRun r = run("--results detail.tsv");
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, testing::kEnd);
  EXPECT_EQ(testing::read_file(dir_ / "detail.tsv"), fresh);
  EXPECT_EQ(testing::read_file(dir_ / "earlier.tsv"), earlier);
  EXPECT_EQ(leftovers(), std::vector<std::string>{});
}

TEST_F(ResultsFile, ALinkedTargetIsFollowedAndTheLinkKept) {
  ASSERT_EQ(run("--results plain.tsv").exit_code, 0);
  fs::create_directory(dir_ / "store");
  testing::write_file(dir_ / "store" / "detail.tsv", "old");
  fs::create_symlink("store/detail.tsv", dir_ / "detail.tsv");
  fs::create_symlink("store/lines.out", dir_ / "lines.out");  // dangling until the run
  ASSERT_EQ(run("--results detail.tsv --output lines.out").exit_code, 0);
  EXPECT_TRUE(fs::is_symlink(dir_ / "detail.tsv"));
  EXPECT_TRUE(fs::is_symlink(dir_ / "lines.out"));
  EXPECT_EQ(testing::read_file(dir_ / "store" / "detail.tsv"), testing::read_file(dir_ / "plain.tsv"));
  EXPECT_EQ(testing::read_file(dir_ / "store" / "lines.out"), testing::read_file(dir_ / "tamv30.out"));
  EXPECT_EQ(leftovers(), std::vector<std::string>{});
}

TEST_F(ResultsFile, JsonLinesByNameOrByOption) {
  ASSERT_EQ(run("--results rows.jsonl").exit_code, 0);
  ASSERT_EQ(run("--results rows.txt --results-format jsonl").exit_code, 0);
  ASSERT_EQ(run("--results rows.tsv").exit_code, 0);
  ASSERT_EQ(run("--results forced.jsonl --results-format tsv").exit_code, 0);
  const std::string by_name = testing::read_file(dir_ / "rows.jsonl");
  EXPECT_EQ(testing::read_file(dir_ / "rows.txt"), by_name);
  // The option wins over the name.
  EXPECT_EQ(testing::read_file(dir_ / "forced.jsonl"), testing::read_file(dir_ / "rows.tsv"));
  // One object per record and no header row, where the TSV has one.
  EXPECT_EQ(by_name.rfind("{\"record\":1,", 0), 0u) << by_name;
  EXPECT_EQ(std::count(by_name.begin(), by_name.end(), '\n'), 3);
  const std::string tsv = testing::read_file(dir_ / "rows.tsv");
  EXPECT_EQ(std::count(tsv.begin(), tsv.end(), '\n'), 4);
}

}  // namespace
}  // namespace grouper
