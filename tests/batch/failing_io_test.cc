// The program on failing disks and pipes.  A preloaded library (see
// support/io_faults.c) makes one file or standard stream of the run read or
// write short, fail a call with EINTR, fail with EIO or ENOSPC part way, or
// shrink or vanish under the table loader.  Short transfers and interrupted
// calls are no failures: the run retries them and ends as a clean run does.
// Every real failure gives its message, status 1, no end message, and never a
// results file in place.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "support/run_program.h"
#include "support/table_builder.h"
#include "support/varied_tables.h"

namespace grouper {
namespace {

namespace fs = std::filesystem;
using testing::Episode;

// Enough records for several reads and writes of every buffer on the way,
// fewer than a progress message needs; some short lines among them.
std::string episodes() {
  const char* dx[] = {"I21", "I50", "J18", "K35", "i21", "   "};
  std::string all;
  for (int i = 0; i < 3000; ++i) {
    if (i % 97 == 0) {
      all += "short line " + std::to_string(i) + "\n";
      continue;
    }
    all += Episode().date(i % 2 ? "20050630" : "20041231").birth("900101").sex(i % 3 ? '1' : '2')
               .dx(1, dx[i % 6]).dx(2, dx[(i / 6) % 6]).line();
  }
  return all;
}

struct Fault {
  std::string file;  // GROUPER_FAULT_FILE
  std::vector<std::pair<std::string, std::string>> settings;
  std::string name() const {
    std::string n = file;
    for (const auto& [k, v] : settings) n += " " + k + "=" + v;
    return n;
  }
};

class FailingIo : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::varied_tables().write(dir_.path());
    testing::write_file(dir_ / "tamv30.in", input_);
    // What a run without faults gives.
    const testing::ProgramRun clean = testing::run_grouper(dir_.path(), "--results detail.tsv");
    ASSERT_EQ(clean.exit_code, 0);
    ASSERT_EQ(clean.out, testing::kEnd);
    lines_ = testing::read_file(dir_ / "tamv30.out");
    rows_ = testing::read_file(dir_ / "detail.tsv");
    ASSERT_GT(lines_.size(), 500000u);
  }

  // A run with `fault`, standard input fed with the episodes for a stream run.
  testing::ProgramRun run(const Fault& fault, const std::string& args) const {
    fs::remove(dir_ / "tamv30.out");
    fs::remove(dir_ / "detail.tsv");
    testing::RunOptions options;
    if (args.find("--input -") != std::string::npos) options.input = input_;
    options.env = fault.settings;
    options.env.emplace_back("GROUPER_FAULT_FILE", fault.file);
    options.env.emplace_back("LD_PRELOAD", IO_FAULTS_LIBRARY);
    // A sanitizer runtime of the program would insist on coming first.
    const char* asan = std::getenv("ASAN_OPTIONS");
    options.env.emplace_back("ASAN_OPTIONS", std::string(asan ? asan : "") + ":verify_asan_link_order=0");
    return testing::run_grouper(dir_.path(), args, options);
  }

  // Names in the run directory that a results file written beside its target left.
  std::vector<std::string> leftovers() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir_.path())) {
      const std::string name = entry.path().filename().string();
      if (name.find(".partial") != std::string::npos) names.push_back(name);
    }
    return names;
  }

  // What a failed run left: no results file, and result lines that are the
  // clean run's first lines, whole.
  void expect_failed_cleanly(const testing::ProgramRun& r, const std::string& lines) const {
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.out.find(testing::kEnd), std::string::npos);
    EXPECT_EQ(r.err.find(testing::kEnd), std::string::npos);
    EXPECT_FALSE(fs::exists(dir_ / "detail.tsv"));
    EXPECT_EQ(leftovers(), std::vector<std::string>{});
    EXPECT_LT(lines.size(), lines_.size());
    EXPECT_EQ(lines, lines_.substr(0, lines.size())) << "result lines that a clean run does not write";
  }

  const std::string input_ = episodes();
  testing::ScratchDir dir_{::testing::UnitTest::GetInstance()->current_test_info()->name()};
  std::string lines_, rows_;
};

TEST_F(FailingIo, ShortTransfersAndInterruptedCallsAreCarriedOn) {
  const std::vector<std::pair<std::string, std::string>> faults[] = {
      {{"GROUPER_FAULT_SHORT", "4093"}},
      {{"GROUPER_FAULT_SHORT", "7"}},
      {{"GROUPER_FAULT_EINTR", "1"}},
      {{"GROUPER_FAULT_EINTR", "1"}, {"GROUPER_FAULT_SHORT", "1000"}},
  };
  for (const auto& settings : faults) {
    for (const char* file : {"tamv30.in", "tamv30.out", "detail.tsv", "Tdx.idx", "Tccl"}) {
      const Fault fault{file, settings};
      SCOPED_TRACE(fault.name());
      const testing::ProgramRun r = run(fault, "--results detail.tsv");
      EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
      EXPECT_EQ(r.out, testing::kEnd);
      EXPECT_TRUE(testing::read_file(dir_ / "tamv30.out") == lines_);
      EXPECT_TRUE(testing::read_file(dir_ / "detail.tsv") == rows_);
    }
    for (const char* stream : {"<stdin>", "<stdout>"}) {
      const Fault fault{stream, settings};
      SCOPED_TRACE(fault.name());
      const testing::ProgramRun r = run(fault, "--input - --output -");
      EXPECT_EQ(r.exit_code, 0) << r.err;
      EXPECT_EQ(r.err, testing::kEnd);
      EXPECT_TRUE(r.out == lines_) << r.out.size() << " bytes of " << lines_.size();
    }
  }
}

TEST_F(FailingIo, ReadFailingPartWayIsAReadError) {
  for (const char* at : {"0", "100000"}) {
    const Fault file{"tamv30.in", {{"GROUPER_FAULT_EIO_AT", at}}};
    SCOPED_TRACE(file.name());
    const testing::ProgramRun r = run(file, "--results detail.tsv");
    EXPECT_EQ(r.out, "file in read error\n");
    expect_failed_cleanly(r, testing::read_file(dir_ / "tamv30.out"));

    const Fault in{"<stdin>", {{"GROUPER_FAULT_EIO_AT", at}}};
    const testing::ProgramRun s = run(in, "--input - --output - --results detail.tsv");
    EXPECT_EQ(s.err, "file in read error\n");
    expect_failed_cleanly(s, s.out);
  }
}

TEST_F(FailingIo, DiskFillingPartWayIsAWriteError) {
  const Fault lines{"tamv30.out", {{"GROUPER_FAULT_ENOSPC_AT", "100000"}}};
  const testing::ProgramRun r = run(lines, "--results detail.tsv");
  EXPECT_EQ(r.out, "file out write error\n");
  expect_failed_cleanly(r, testing::read_file(dir_ / "tamv30.out"));

  const Fault rows{"detail.tsv", {{"GROUPER_FAULT_ENOSPC_AT", "5000"}}};
  const testing::ProgramRun d = run(rows, "--results detail.tsv");
  EXPECT_EQ(d.out, "");
  EXPECT_EQ(d.err, "grouper: cannot write result file detail.tsv\n");
  EXPECT_EQ(d.exit_code, 1);
  EXPECT_FALSE(fs::exists(dir_ / "detail.tsv"));
  EXPECT_EQ(leftovers(), std::vector<std::string>{});

  const Fault out{"<stdout>", {{"GROUPER_FAULT_ENOSPC_AT", "100000"}}};
  const testing::ProgramRun s = run(out, "--input - --output - --results detail.tsv");
  EXPECT_EQ(s.err, "file out write error\n");
  expect_failed_cleanly(s, s.out);
}

TEST_F(FailingIo, FullDeviceOnStandardOutputIsAWriteError) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  fs::remove(dir_ / "detail.tsv");
  testing::RunOptions options;
  options.input = input_;
  const testing::ProgramRun r =
      testing::run_grouper(dir_.path(), "--input - --output - --results detail.tsv >/dev/full", options);
  EXPECT_EQ(r.err, "file out write error\n");
  expect_failed_cleanly(r, r.out);
}

TEST_F(FailingIo, ClosedPipeLeavesNoResultsFile) {
  testing::RunOptions options;
  options.input = input_;
  options.close_output_after = 1;
  fs::remove(dir_ / "detail.tsv");
  const testing::ProgramRun r = testing::run_grouper(dir_.path(), "--input - --output - --results detail.tsv", options);
  EXPECT_EQ(r.err, "file out write error\n");
  expect_failed_cleanly(r, r.out);
}

TEST_F(FailingIo, TableFileShrinkingUnderTheLoaderIsAnInitError) {
  const Fault shrink{"Tccl", {{"GROUPER_FAULT_SHRINK_AT", "150"}}};
  const testing::ProgramRun r = run(shrink, "--results detail.tsv");
  EXPECT_EQ(r.out, " file init error \n");
  expect_failed_cleanly(r, testing::read_file(dir_ / "tamv30.out"));
  EXPECT_EQ(fs::file_size(dir_ / "Tccl"), 150u);
}

TEST_F(FailingIo, TableFileRemovedOnceOpenedIsReadToItsEnd) {
  // What was opened is what is read: the name no longer matters.
  const Fault vanish{"Tccl", {{"GROUPER_FAULT_VANISH", "1"}}};
  const testing::ProgramRun r = run(vanish, "--results detail.tsv");
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, testing::kEnd);
  EXPECT_FALSE(fs::exists(dir_ / "Tccl"));
  EXPECT_TRUE(testing::read_file(dir_ / "tamv30.out") == lines_);
  EXPECT_TRUE(testing::read_file(dir_ / "detail.tsv") == rows_);
}

}  // namespace
}  // namespace grouper
