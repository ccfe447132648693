// Grouping with several threads gives the same bytes as grouping with one:
// the result lines, the detailed result file and every message.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>

#include "episode_grouper/line_splitter.h"
#include "support/run_program.h"
#include "support/table_builder.h"
#include "support/varied_tables.h"

namespace grouper {
namespace {

namespace fs = std::filesystem;
using testing::Episode;
using testing::TableBuilder;
using testing::varied_tables;


// Deterministic varied episodes, some of them short or odd lines: lines
// ending in a carriage return, lines longer than a record (4095 bytes), a
// burst of thousands of tiny lines (more records than a read block takes at
// once) and, when `last_without_line_feed`, a last line without a line feed.
std::string varied_episodes(int n, bool last_without_line_feed = false) {
  const char* dx[] = {"I21", "I50", "J18", "K35", "i21", "     "};
  const char* dates[] = {"20041231", "20050101", "20050630", "20050701", "20061231", "        "};
  const char* births[] = {"900101", "050601", "300315", "991231"};
  uint64_t state = 12345;
  auto next = [&state](int bound) {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<int>((state >> 33) % static_cast<uint64_t>(bound));
  };
  std::string all;
  for (int i = 0; i < n; ++i) {
    if (next(50) == 0) {
      all += "short line " + std::to_string(i) + "\n";
      continue;
    }
    if (i == n / 2) all += std::string(9000, 'x') + "\n" + std::string(12000, '\n');
    if (next(200) == 0) {
      all += Episode().dx(1, dx[next(6)]).str();
      all += "\r\n";
      continue;
    }
    Episode e;
    e.date(dates[next(6)]).birth(births[next(4)]).sex(static_cast<char>('1' + next(2)));
    e.dx(1, dx[next(6)]).dx(2, dx[next(6)]);
    if (next(3) == 0) e.proc(11, "M5520");
    all += e.line();
  }
  if (last_without_line_feed) all += Episode().dx(1, "I21").str();
  return all;
}

class Threads : public ::testing::Test {
 protected:
  fs::path dir(const std::string& name) {
    fs::path d = testing::fresh_dir(std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) +
                                    "-" + name);
    return d;
  }
};

TEST_F(Threads, SameResultsAndMessagesWhateverTheThreadCount) {
  const std::string episodes = varied_episodes(25000, true);
  const size_t records = episode_grouper::count_records(episodes);
  std::string out1, rows1, stdout1;
  for (const char* threads : {"1", "2", "3"}) {
    fs::path d = dir(threads);
    varied_tables().write(d);
    testing::write_file(d / "tamv30.in", episodes);
    testing::ProgramRun run = testing::run_grouper(d, std::string("--results rows.tsv --threads ") + threads);
    ASSERT_EQ(run.exit_code, 0);
    std::string out = testing::read_file(d / "tamv30.out");
    std::string rows = testing::read_file(d / "rows.tsv");
    // One result row per record, as the library splits the input.
    EXPECT_EQ(static_cast<size_t>(std::count(rows.begin(), rows.end(), '\n')), records + 1) << threads;

    // A short line reads blanks where its fields would be, whatever the
    // thread grouped before it: no codes, no date, so no group at all.
    const std::string no_group = std::string(193, ' ') + "0000" + std::string(7, ' ') + "200505150000\n";
    size_t short_lines = 0;
    for (size_t at = out.find("SHORT LINE"); at != std::string::npos; at = out.find("SHORT LINE", at + 1)) {
      const size_t end = out.find('\n', at) + 1;
      EXPECT_EQ(out.substr(end, no_group.size()), no_group) << threads << " threads, at " << at;
      ++short_lines;
    }
    EXPECT_GT(short_lines, 100u);

    if (out1.empty()) {
      out1 = out, rows1 = rows, stdout1 = run.out;
      // The set really groups records several ways.
      EXPECT_NE(out.find("F01A"), std::string::npos);
      EXPECT_NE(out.find("F02B"), std::string::npos);
      EXPECT_NE(out.find("AW17"), std::string::npos);
      EXPECT_NE(out.find("LT03"), std::string::npos);
      EXPECT_NE(stdout1.find("record_count = [20000]\n"), std::string::npos);
    } else {
      EXPECT_EQ(out, out1) << threads << " threads";
      EXPECT_EQ(rows, rows1) << threads << " threads";
      EXPECT_EQ(run.out, stdout1) << threads << " threads";
    }
  }
}

TEST_F(Threads, CatalogueFailureStopsBeforeAnyLineWithThreads) {
  fs::path d = dir("logic");
  TableBuilder b = varied_tables();
  b.cond_type(790, 't');
  b.write(d);
  testing::write_file(d / "tamv30.in", varied_episodes(9000));
  testing::ProgramRun run = testing::run_grouper(d, "-j 2");
  EXPECT_NE(run.exit_code, 0);
  EXPECT_EQ(run.out, "logic setting missing or error\n");
  EXPECT_EQ(testing::read_file(d / "tamv30.out"), "");
}

TEST_F(Threads, ThreadCountMustBeANumber) {
  fs::path d = dir("usage");
  EXPECT_EQ(testing::run_grouper(d, "--threads many").exit_code, 2);
  EXPECT_EQ(testing::run_grouper(d, "--threads -1").exit_code, 2);
}

}  // namespace
}  // namespace grouper
