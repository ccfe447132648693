// The program as a stream filter: `--input -` reads standard input,
// `--output -` writes nothing but result lines on standard output, and every
// message goes to standard error, with the bytes a file run prints.
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

TableBuilder tables() {
  TableBuilder b;
  const int16_t mdc = b.mdc("05 ");
  const int16_t adrg = b.adrg("F62B");
  b.dx_cond(b.dx("I50", true), 100);
  b.rule({.slot = 1, .mdc = mdc, .adrg = adrg, .must = {100}, .must_not = {}});
  b.ltc_row(adrg, 4);
  return b;
}

// `n` records of several kinds, the last without a line feed.
std::string episodes(int n) {
  std::string all;
  for (int i = 0; i < n; ++i) {
    switch (i % 4) {
      case 0: all += Episode().date("20050801").dx(1, "I50").line(); break;
      case 1: all += Episode().line(); break;
      case 2: all += "short " + std::to_string(i) + "\r\n"; break;
      default: all += Episode().dx(1, "i50").str() + (i + 1 == n ? "" : "\n"); break;
    }
  }
  return all;
}

class StreamFilter : public ::testing::Test {
 protected:
  // A directory with the tables (and `input` as tamv30.in, when given).
  fs::path run_dir(const std::string& name, const TableBuilder& b, const std::string* input = nullptr) const {
    const fs::path d = root_ / name;
    b.write(d);
    if (input) testing::write_file(d / "tamv30.in", *input);
    return d;
  }

  testing::ScratchDir root_{::testing::UnitTest::GetInstance()->current_test_info()->name()};
};

TEST_F(StreamFilter, ResultLinesOnStandardOutputAndMessagesOnStandardError) {
  const std::string input = episodes(25000);
  const fs::path file_dir = run_dir("file", tables(), &input);
  const testing::ProgramRun file_run = testing::run_grouper(file_dir);
  ASSERT_EQ(file_run.exit_code, 0);
  ASSERT_EQ(file_run.out, "record_count = [10000]\nrecord_count = [20000]\n" + testing::kEnd);

  const fs::path stream_dir = run_dir("stream", tables());
  testing::RunOptions feed;
  feed.input = input;
  const testing::ProgramRun stream_run = testing::run_grouper(stream_dir, "--input - --output -", feed);
  EXPECT_EQ(stream_run.exit_code, 0);
  EXPECT_TRUE(stream_run.out == testing::read_file(file_dir / "tamv30.out"))
      << "standard output differs from tamv30.out of the file run (" << stream_run.out.size() << " bytes)";
  EXPECT_EQ(stream_run.err, file_run.out);
  EXPECT_FALSE(fs::exists(stream_dir / "tamv30.out"));
}

TEST_F(StreamFilter, FailuresAreReportedOnStandardErrorOnly) {
  const std::string input = episodes(3);
  TableBuilder logic = tables();
  logic.cond_type(790, 't');
  struct Case {
    std::string name;
    TableBuilder tables;
    std::string missing;  // a table file removed, or none
    std::string reason;   // the line on standard error that names the file, or none
  } cases[] = {{"missing-table", tables(), "Tccl", "grouper: table set .: Tccl cannot be opened for reading\n"},
               {"logic-setting", logic, "", ""}};
  for (const Case& c : cases) {
    const fs::path file_dir = run_dir(c.name + "-file", c.tables, &input);
    const fs::path stream_dir = run_dir(c.name + "-stream", c.tables);
    if (!c.missing.empty()) {
      fs::remove(file_dir / c.missing);
      fs::remove(stream_dir / c.missing);
    }
    const testing::ProgramRun file_run = testing::run_grouper(file_dir);
    ASSERT_NE(file_run.out, "") << c.name;
    testing::RunOptions feed;
    feed.input = input;
    const testing::ProgramRun stream_run = testing::run_grouper(stream_dir, "--input - --output -", feed);
    EXPECT_EQ(stream_run.out, "") << c.name;
    EXPECT_EQ(stream_run.err, file_run.out + c.reason) << c.name;
    EXPECT_EQ(stream_run.exit_code, file_run.exit_code) << c.name;
    EXPECT_NE(stream_run.exit_code, 0) << c.name;
  }
}

TEST_F(StreamFilter, ClosedPipeIsOneWriteErrorNotASignal) {
  // Far more output than a pipe holds, and fewer records than a progress
  // message needs: the reader takes the first bytes and closes its end.
  const std::string input = episodes(5000);
  const fs::path dir = run_dir("pipe", tables());
  testing::RunOptions options;
  options.input = input;
  options.close_output_after = 1;
  const testing::ProgramRun run = testing::run_grouper(dir, "--input - --output -", options);
  EXPECT_FALSE(run.timed_out);
  EXPECT_EQ(run.signal, 0);
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(run.err, "file out write error\n");
  EXPECT_LT(run.out.size(), 5000 * 301u);  // the pipe was closed early
}

}  // namespace
}  // namespace grouper
