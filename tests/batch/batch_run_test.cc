// The classic run through the built program: files, messages, result lines
// and exit statuses, on table sets written by the test.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "record/record_layout.h"
#include "support/run_program.h"
#include "support/table_builder.h"

namespace grouper {
namespace {

namespace fs = std::filesystem;
using testing::Episode;
using testing::TableBuilder;

using testing::kEnd;

std::string tail(const std::string& adrg = "0000", const std::string& supp = "0000") {
  return std::string(193, ' ') + adrg + std::string(7, ' ') + "20050515" + supp + "\n";
}

// Writes `n` copies of `line` into `path`.
void write_lines(const fs::path& path, const std::string& line, int n) {
  std::string all;
  all.reserve(line.size() * static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) all += line;
  testing::write_file(path, all);
}

// Replaces bytes of a file in place.
void patch(const fs::path& path, size_t offset, const std::string& bytes) {
  std::string data = testing::read_file(path);
  data.replace(offset, bytes.size(), bytes);
  testing::write_file(path, data);
}

// The 10-character count field at header offset `field * 10` of a table file.
unsigned count_field(const fs::path& path, int field) {
  return static_cast<unsigned>(std::stoul(testing::read_file(path).substr(static_cast<size_t>(field) * 10, 10)));
}

class BatchRun : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = testing::fresh_dir(::testing::UnitTest::GetInstance()->current_test_info()->name());
    TableBuilder().write(dir_);
  }
  fs::path in() const { return dir_ / "tamv30.in"; }
  fs::path out() const { return dir_ / "tamv30.out"; }
  std::string output() const { return testing::read_file(out()); }
  testing::ProgramRun run() const { return testing::run_grouper(dir_); }

  fs::path dir_;
};

// --- normal runs ---

TEST_F(BatchRun, EmptyInputPrintsOnlyTheEndMessage) {
  testing::write_file(in(), "");
  auto r = run();
  EXPECT_EQ(r.out, kEnd);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_TRUE(fs::exists(out()));
  EXPECT_EQ(output(), "");
}

TEST_F(BatchRun, FullRecordGivesAn300CharacterLineWithUpperCasedHead) {
  Episode e;
  e.at(0, "ab-12cd.").dx(1, "k35").dx(10, "z99x").proc(11, "q2").proc(12, "abcde").birth_wt("03500");
  testing::write_file(in(), e.line());
  auto r = run();
  EXPECT_EQ(r.out, kEnd);
  EXPECT_EQ(r.exit_code, 0);

  std::string head = e.str().substr(0, kHeadWidth);
  for (char& c : head) c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
  const std::string got = output();
  ASSERT_EQ(got.size(), 301u);
  EXPECT_EQ(got.substr(0, 84), head);
  EXPECT_EQ(got.substr(0, 8), "AB-12CD.");
  EXPECT_EQ(got.substr(code_offset(1), 5), "K35  ");
  EXPECT_EQ(got[83], 'Q');  // the first character of position 11 ends the head
  EXPECT_EQ(got.substr(84), tail());  // input characters 84..272 do not appear
}

TEST_F(BatchRun, OneResultLinePerRecordInInputOrder) {
  std::string input;
  for (char c : std::string("abc")) input += Episode().at(0, std::string(8, c)).line();
  testing::write_file(in(), input);
  ASSERT_EQ(run().exit_code, 0);
  const std::string got = output();
  ASSERT_EQ(got.size(), 3 * 301u);
  EXPECT_EQ(got.substr(0, 8), "AAAAAAAA");
  EXPECT_EQ(got.substr(301, 8), "BBBBBBBB");
  EXPECT_EQ(got.substr(602, 8), "CCCCCCCC");
}

TEST_F(BatchRun, ShortLineIsCopiedWholeAndTheRestFollowsOnTheNextLine) {
  testing::write_file(in(), "abc\r\n" + Episode().line());
  ASSERT_EQ(run().exit_code, 0);
  const std::string got = output();
  const std::string first = "ABC\r\n" + tail();
  ASSERT_EQ(got.size(), first.size() + 301);
  EXPECT_EQ(got.substr(0, first.size()), first);
}

TEST_F(BatchRun, CarriageReturnOfAFullRecordDoesNotReachTheOutput) {
  testing::write_file(in(), Episode().str() + "\r\n");
  ASSERT_EQ(run().exit_code, 0);
  EXPECT_EQ(output().size(), 301u);
}

TEST_F(BatchRun, LastLineWithoutLineFeedIsProcessed) {
  testing::write_file(in(), Episode().line() + Episode().str());
  ASSERT_EQ(run().exit_code, 0);
  EXPECT_EQ(output().size(), 2 * 301u);
}

TEST_F(BatchRun, LineOf5000CharactersIsTwoRecords) {
  testing::write_file(in(), std::string(5000, '1') + "\n");
  auto r = run();
  EXPECT_EQ(r.out, kEnd);
  const std::string got = output();
  ASSERT_EQ(got.size(), 2 * 301u);
  EXPECT_EQ(got.substr(0, 84), std::string(84, '1'));
  EXPECT_EQ(got.substr(301, 84), std::string(84, '1'));
}

TEST_F(BatchRun, ProgressIsReportedAfterEvery10000thRecord) {
  write_lines(in(), Episode().line(), 25000);
  auto r = run();
  EXPECT_EQ(r.out, "record_count = [10000]\nrecord_count = [20000]\n" + kEnd);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(output().size(), 25000 * 301u);
}

// --- open failures ---

TEST_F(BatchRun, MissingInputIsReportedAndCreatesNoOutput) {
  auto r = run();
  EXPECT_EQ(r.out, "file in open error\n");
  EXPECT_NE(r.exit_code, 0);
  EXPECT_FALSE(fs::exists(out()));
}

TEST_F(BatchRun, InputThatCannotBeOpenedForUpdateIsReported) {
  fs::create_directory(in());  // a directory cannot be opened for update, even by root
  auto r = run();
  EXPECT_EQ(r.out, "file in open error\n");
  EXPECT_NE(r.exit_code, 0);
  EXPECT_FALSE(fs::exists(out()));
}

TEST_F(BatchRun, ReadOnlyInputIsReported) {
  if (::geteuid() == 0) GTEST_SKIP() << "root opens read-only files for update";
  testing::write_file(in(), Episode().line());
  fs::permissions(in(), fs::perms::owner_read);
  auto r = run();
  EXPECT_EQ(r.out, "file in open error\n");
  EXPECT_NE(r.exit_code, 0);
}

TEST_F(BatchRun, OutputThatCannotBeOpenedIsReported) {
  testing::write_file(in(), Episode().line());
  fs::create_directory(out());
  auto r = run();
  EXPECT_EQ(r.out, "file out open error\n");
  EXPECT_NE(r.exit_code, 0);
}

TEST_F(BatchRun, OutputThatIsTheInputIsRefusedInsteadOfTruncatingIt) {
  testing::write_file(in(), Episode().line());
  fs::create_symlink("tamv30.in", out());
  auto r = run();
  EXPECT_EQ(r.out, "file out open error\n");
  EXPECT_NE(r.exit_code, 0);
  EXPECT_EQ(testing::read_file(in()), Episode().line());
}

// --- table failures: the loader's message first, then the driver's ---

TEST_F(BatchRun, MissingTableFileIsAnInitError) {
  testing::write_file(in(), Episode().line());
  fs::remove(dir_ / "Tsg.idx");
  auto r = run();
  EXPECT_EQ(r.out, " file init error \n");
  EXPECT_NE(r.exit_code, 0);
  EXPECT_EQ(output(), "");
}

TEST_F(BatchRun, HeaderOf99BytesIsAnInitError) {
  testing::write_file(in(), Episode().line());
  fs::resize_file(dir_ / "Tmdc.idx", 99);
  auto r = run();
  EXPECT_EQ(r.out, " file init error \n");
  EXPECT_NE(r.exit_code, 0);
  EXPECT_EQ(output(), "");
}

TEST_F(BatchRun, CountMismatchIsACountError) {
  testing::write_file(in(), Episode().line());
  // Tadrg1's MDC slot count must equal the MDC list's count.
  unsigned mdc_cnt = count_field(dir_ / "Tmdc.idx", 0);
  char field[11];
  std::snprintf(field, sizeof field, "%010u", mdc_cnt + 1);
  patch(dir_ / "Tadrg1", 0, field);
  auto r = run();
  EXPECT_EQ(r.out, " file count error \n");
  EXPECT_NE(r.exit_code, 0);
  EXPECT_EQ(output(), "");
}

TEST_F(BatchRun, MissingSupplementaryTablesGiveOnlyTheInitError) {
  testing::write_file(in(), Episode().line());
  fs::remove(dir_ / "ltc_drg.idx");
  EXPECT_EQ(run().out, " file init error \n");
  TableBuilder().write(dir_);
  fs::remove(dir_ / "adrg_ltcdrg");
  EXPECT_EQ(run().out, " file init error \n");
}

TEST_F(BatchRun, ShortArraysOfTheSupplementaryCodesAreNamed) {
  testing::write_file(in(), Episode().line());
  const fs::path file = dir_ / "ltc_drg.idx";
  const size_t n = count_field(file, 0);
  ASSERT_GT(n, 0u);
  struct Case {
    size_t size;
    std::string message;
  } cases[] = {
      {100 + 4 * n - 1, "ltc_drg code read error \n"},
      {100 + 4 * n + 2 * n - 1, "ltc_drg idx read error \n"},
  };
  for (const Case& c : cases) {
    TableBuilder().write(dir_);
    fs::resize_file(file, c.size);
    auto r = run();
    EXPECT_EQ(r.out, c.message + " file init error \n") << "size " << c.size;
    EXPECT_NE(r.exit_code, 0);
    EXPECT_EQ(output(), "");
  }
}

TEST_F(BatchRun, ShortArraysOfTheSupplementaryRowsAreNamed) {
  testing::write_file(in(), Episode().line());
  const fs::path file = dir_ / "adrg_ltcdrg";
  const size_t keys = count_field(file, 0);
  const size_t rows = count_field(file, 1);
  ASSERT_GT(keys, 0u);
  ASSERT_GT(rows, 0u);
  // Each case cuts the file one byte short of the end of one array.
  struct Case {
    size_t end;
    std::string message;
  } cases[] = {
      {100 + 2 * keys, "adrg_ast_fr read error \n"},
      {100 + 4 * keys, "adrg_ast_to read error \n"},
      {100 + 4 * keys + 4 * rows, "ast_adpt_fr_dt read error \n"},
      {100 + 4 * keys + 8 * rows, "ast_adpt_to_dt read error \n"},
      {100 + 4 * keys + 10 * rows, "ltcdrg_ast read error \n"},
  };
  for (const Case& c : cases) {
    TableBuilder().write(dir_);
    fs::resize_file(file, c.end - 1);
    auto r = run();
    EXPECT_EQ(r.out, c.message + " file init error \n") << c.message;
    EXPECT_NE(r.exit_code, 0);
    EXPECT_EQ(output(), "");
  }
}

// --- failures during the run ---

TEST_F(BatchRun, CatalogueDisagreeingWithTheBuiltInLogicStopsAtTheFirstRecord) {
  TableBuilder b;
  b.cond_type(790, 't');
  b.write(dir_);
  testing::write_file(in(), Episode().line() + Episode().line());
  auto r = run();
  EXPECT_EQ(r.out, "logic setting missing or error\n");
  EXPECT_NE(r.exit_code, 0);
  EXPECT_EQ(output(), "");
}

TEST_F(BatchRun, FailedWriteOfTheOutputIsReportedNotEndedAsSuccess) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  testing::write_file(in(), Episode().line() + Episode().line());
  fs::create_symlink("/dev/full", out());
  auto r = run();
  EXPECT_EQ(r.out, "file out write error\n");
  EXPECT_NE(r.exit_code, 0);
}

TEST_F(BatchRun, FailedWriteStopsTheRunAtOnce) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  // Far more than one output block: the run stops at the first failed
  // block, long before the progress message of record 10000.
  write_lines(in(), Episode().line(), 10000);
  fs::create_symlink("/dev/full", out());
  auto r = run();
  EXPECT_EQ(r.out, "file out write error\n");
  EXPECT_NE(r.exit_code, 0);
}

TEST_F(BatchRun, FailedReadOfTheInputIsReportedNotEndedAsSuccess) {
  // Reading a process's own memory from address 0 fails with an I/O error.
  if (!fs::exists("/proc/self/mem")) GTEST_SKIP() << "no /proc/self/mem";
  auto r = testing::run_grouper(dir_, "--input /proc/self/mem");
  EXPECT_EQ(r.out, "file in read error\n");
  EXPECT_NE(r.exit_code, 0);
}

}  // namespace
}  // namespace grouper
