// grouper-tables dump and build as a user runs them.
#include <filesystem>

#include "gtest/gtest.h"
#include "support/run_program.h"
#include "text_test_sets.h"

namespace grouper::testing {
namespace {

namespace fs = std::filesystem;

// Runs grouper-tables in `dir` with its standard error on standard output.
ProgramRun tables_tool(const fs::path& dir, const std::string& args) {
  return run_program("/bin/sh", dir, "-c \"'" GROUPER_TABLES_BINARY "' " + args + " 2>&1\"");
}

TEST(TextCommand, HelpExplainsTheTextForm) {
  const fs::path dir = fresh_dir("cmd-help");
  for (std::string command : {"dump", "build"}) {
    ProgramRun run = tables_tool(dir, command + " --help");
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_NE(run.out.find("Usage: grouper-tables " + command), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("\\xNN"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("#20050230"), std::string::npos) << run.out;
  }
}

TEST(TextCommand, VersionIsTheBuilds) {
  ProgramRun run = tables_tool(fresh_dir("cmd-version"), "--version");
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.out, "grouper-tables " GROUPER_TEST_VERSION "\n");
}

TEST(TextCommand, WrongArgumentsOfEveryCommandAreRefusedAndNothingIsWritten) {
  const fs::path dir = fresh_dir("cmd-args");
  for (const std::string args :
       {"", "bogus", "dump", "build a", "dump a b c", "generate", "generate out out2", "generate --seed x out",
        "generate --episodes -1 out", "generate --profile huge out", "generate --bogus out", "verify --max 0",
        "verify --bogus", "verify a b"}) {
    const ProgramRun run = tables_tool(dir, args);
    EXPECT_EQ(run.exit_code, 2) << args;
    EXPECT_NE(run.out.find("grouper-tables"), std::string::npos) << args << ": " << run.out;  // it says why
  }
  EXPECT_TRUE(fs::is_empty(dir));
}

TEST(TextCommand, DumpAndBuildGiveBackTheSameFiles) {
  const fs::path dir = fresh_dir("cmd-round-trip");
  write_set(odd_store(), dir / "set");
  ProgramRun dump = tables_tool(dir, "dump set text");
  ASSERT_EQ(dump.exit_code, 0) << dump.out;
  EXPECT_EQ(dump.out, "");
  ProgramRun build = tables_tool(dir, "build text out/");
  ASSERT_EQ(build.exit_code, 0) << build.out;
  for (const FileSpec& f : load_plan()) {
    EXPECT_EQ(read_file(dir / "out" / f.name), read_file(dir / "set" / f.name)) << f.name;
  }
}

TEST(TextCommand, BadTextIsReportedWithFileLineAndColumn) {
  const fs::path dir = fresh_dir("cmd-bad-text");
  write_set(sample_builder().build(), dir / "set");
  ASSERT_EQ(tables_tool(dir, "dump set text").exit_code, 0);
  write_file(dir / "text" / "Tmdc.idx.tsv", "@codes\nindex\tmdc_code\n0\t\n1\tPRE\n2\t06 x\n");
  ProgramRun build = tables_tool(dir, "build text out");
  EXPECT_EQ(build.exit_code, 1);
  EXPECT_EQ(build.out, "text/Tmdc.idx.tsv:5:3: code '06 x' is longer than 3 characters\n");
  EXPECT_FALSE(fs::exists(dir / "out"));
}

TEST(TextCommand, DumpRefusesASetTheGrouperRefuses) {
  const fs::path dir = fresh_dir("cmd-refused");
  write_set(sample_builder().build(), dir / "set");
  fs::resize_file(dir / "set" / "Tcond.idx", 150);
  ProgramRun dump = tables_tool(dir, "dump set text");
  EXPECT_EQ(dump.exit_code, 2);
  EXPECT_NE(dump.out.find("refuses this table set"), std::string::npos) << dump.out;
  EXPECT_FALSE(fs::exists(dir / "text"));
}

}  // namespace
}  // namespace grouper::testing
