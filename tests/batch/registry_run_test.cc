// A run over a registry of table versions gives, record by record, the
// bytes of a run with that record's version alone, for any thread count;
// a record no version holds has no groups and a no_table_version finding.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "generate_episodes.h"
#include "generate_profile.h"
#include "generate_tables.h"
#include "support/run_program.h"
#include "tables/table_writer.h"

namespace grouper {
namespace {

namespace fs = std::filesystem;

// The lines of `text`, each with its line feed.
std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find('\n', start);
    lines.push_back(text.substr(start, end - start + 1));
    start = end + 1;
  }
  return lines;
}

// The record date of a generated line as the grouping reads it: digits,
// blanks skipped, 0 when blank, -1 for any other byte.
int32_t date_of(const std::string& line) {
  int32_t value = 0;
  for (char c : line.substr(21, 8)) {
    if (c == ' ') continue;
    if (c < '0' || c > '9') return -1;
    value = value * 10 + (c - '0');
  }
  return value;
}

// The windows of the registry below: a ..20041231, b 20050101..20051231,
// nothing in January 2006, c from 20060201 on.
int version_of(int32_t date) {
  if (date <= 0) return -1;
  if (date <= 20041231) return 0;
  if (date <= 20051231) return 1;
  return date >= 20060201 ? 2 : -1;
}

TEST(RegistryRun, EachRecordHasTheBytesOfItsVersionsRun) {
  testing::ScratchDir dir("registry-run");
  const fs::path d = dir.path();
  // Three different sets; the episodes are made for the first, so the
  // others group them differently.
  tools::SyntheticSet first;
  const char* names[] = {"a", "b", "c"};
  for (int v = 0; v < 3; ++v) {
    tools::SyntheticSet s = tools::generate_tables(*tools::find_profile(v == 2 ? "small" : "realistic"),
                                                   static_cast<uint64_t>(v + 1));
    std::string error;
    fs::create_directories(d / names[v]);
    ASSERT_TRUE(write_tables(s.tables, d / names[v], error)) << error;
    if (v == 0) first = std::move(s);
  }
  testing::write_file(d / "registry.tsv",
                      "name\tdirectory\tvalid_from\tvalid_to\na\ta\t\t20041231\nb\tb\t20050101\t20051231\n"
                      "c\tc\t20060201\t\n");
  const fs::path episodes = d / "episodes.txt";
  std::FILE* out = std::fopen(episodes.c_str(), "wb");
  ASSERT_TRUE(out);
  ASSERT_TRUE(tools::write_episodes(first.model, 7, 6000, out));
  std::fclose(out);
  // Every eighth record gets a date on a boundary, in the gap, blank or
  // unreadable.
  std::vector<std::string> records = lines_of(testing::read_file(episodes));
  const char* dates[] = {"20041231", "20050101", "20051231", "20060101", "20060131", "20060201", "        ",
                         "2005x101"};
  std::string input;
  for (size_t i = 0; i < records.size(); ++i) {
    if (i % 8 == 0) records[i].replace(21, 8, dates[(i / 8) % 8]);
    input += records[i];
  }
  testing::write_file(d / "tamv30.in", input);

  // Each version alone over every record.
  std::vector<std::vector<std::string>> alone_lines, alone_rows;
  for (const char* name : names) {
    testing::ProgramRun run = testing::run_grouper(
        d, std::string("--tables ") + name + " --output " + name + ".out --results " + name + ".tsv --threads 1");
    ASSERT_EQ(run.exit_code, 0) << run.err;
    alone_lines.push_back(lines_of(testing::read_file(d / (std::string(name) + ".out"))));
    alone_rows.push_back(lines_of(testing::read_file(d / (std::string(name) + ".tsv"))));
  }
  for (const char* threads : {"1", "2", "3"}) {
    SCOPED_TRACE(threads);
    testing::ProgramRun run = testing::run_grouper(
        d, std::string("--registry registry.tsv --results rows.tsv --summary --threads ") + threads);
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_NE(run.err.find("grouper: warning: registry.tsv: no version holds 20060101..20060131"), std::string::npos)
        << run.err;
    const std::vector<std::string> lines = lines_of(testing::read_file(d / "tamv30.out"));
    const std::vector<std::string> rows = lines_of(testing::read_file(d / "rows.tsv"));
    ASSERT_EQ(lines.size(), records.size());
    ASSERT_EQ(rows.size(), records.size() + 1);
    EXPECT_EQ(rows[0], "record\tmdc\tadrg\tdrg\tpccl\tccl_raw\tccl_excl\tsupplementary\tage_yy\tage_dd\tfindings\ttables\n");
    int64_t counts[4] = {};
    for (size_t i = 0; i < records.size(); ++i) {
      const int32_t date = date_of(records[i]);
      const int v = version_of(date);
      ++counts[v < 0 ? 3 : v];
      if (v >= 0) {
        ASSERT_EQ(lines[i], alone_lines[static_cast<size_t>(v)][i]) << "record " << i + 1;
        const std::string& alone = alone_rows[static_cast<size_t>(v)][i + 1];
        ASSERT_EQ(rows[i + 1], alone.substr(0, alone.size() - 1) + "\t" + names[v] + "\n") << "record " << i + 1;
        continue;
      }
      // No version: the head of every run, no groups.
      std::string expected = alone_lines[0][i];
      expected.replace(277, 4, "0000").replace(296, 4, "0000");
      ASSERT_EQ(lines[i], expected) << "record " << i + 1;
      ASSERT_EQ(rows[i + 1], std::to_string(i + 1) + "\t\t\t\t\t\t\t\t\t\tno_table_version@rec_date:" +
                                 std::to_string(date) + "\t\n");
    }
    // The summary's records per version.
    for (int v = 0; v < 4; ++v) {
      const std::string name = v < 3 ? names[v] : "(none)";
      char line[64];
      std::snprintf(line, sizeof line, "\n%-20s %12lld ", name.c_str(), static_cast<long long>(counts[v]));
      EXPECT_NE(run.err.find(line), std::string::npos) << name << "\n" << run.err;
    }
  }
  // JSON Lines: the tables member last, null for no version.
  testing::ProgramRun run = testing::run_grouper(d, "--registry registry.tsv --results rows.jsonl");
  ASSERT_EQ(run.exit_code, 0) << run.err;
  const std::vector<std::string> json = lines_of(testing::read_file(d / "rows.jsonl"));
  EXPECT_NE(json[1].find(",\"tables\":\"" + std::string(names[version_of(date_of(records[1]))]) + "\"}\n"),
            std::string::npos)
      << json[1];
  EXPECT_NE(json[8 * 6].find("\"findings\":[{\"code\":\"no_table_version\",\"field\":\"rec_date\",\"date\":0}],"
                             "\"tables\":null}\n"),
            std::string::npos)
      << json[8 * 6];
}

TEST(RegistryRun, RefusesBothTablesAndRegistryAndABrokenRegistry) {
  testing::ScratchDir dir("registry-refused");
  testing::write_file(dir.path() / "tamv30.in", "");
  testing::ProgramRun both = testing::run_grouper(dir.path(), "--tables t --registry r.tsv");
  EXPECT_EQ(both.exit_code, 2);
  EXPECT_NE(both.err.find("'--tables' and '--registry' exclude each other"), std::string::npos) << both.err;
  testing::write_file(dir.path() / "r.tsv", "name\tdirectory\tvalid_from\tvalid_to\nx\tnone\t20050101\t\n");
  testing::ProgramRun broken = testing::run_grouper(dir.path(), "--registry r.tsv --output o.out");
  EXPECT_EQ(broken.exit_code, 1);
  EXPECT_NE(broken.err.find("r.tsv:2: version x: "), std::string::npos) << broken.err;
  EXPECT_FALSE(fs::exists(dir.path() / "o.out.tmp"));
}

}  // namespace
}  // namespace grouper

namespace grouper {
namespace {

TEST(RegistryRun, ExplainNamesTheVersionAndWhy) {
  testing::ScratchDir dir("registry-explain");
  const fs::path d = dir.path();
  tools::SyntheticSet s = tools::generate_tables(*tools::find_profile("small"), 5);
  std::string error;
  fs::create_directories(d / "a");
  ASSERT_TRUE(write_tables(s.tables, d / "a", error)) << error;
  testing::write_file(d / "r.tsv", "name\tdirectory\tvalid_from\tvalid_to\na\ta\t20050101\t20051231\n");
  const std::string record = std::string(21, ' ') + "20051231" + std::string(244, ' ');
  testing::ProgramRun run = testing::run_grouper(d, "explain --registry r.tsv --line '" + record + "'");
  ASSERT_EQ(run.exit_code, 0) << run.err;
  EXPECT_EQ(run.out.rfind("table version: a: its window 20050101..20051231 (r.tsv line 2) holds the record date "
                          "20051231\n\nRecord: ", 0), 0u) << run.out;
  const std::string outside = std::string(21, ' ') + "20060101" + std::string(244, ' ');
  run = testing::run_grouper(d, "explain --registry r.tsv --format json --line '" + outside + "'");
  ASSERT_EQ(run.exit_code, 0) << run.err;
  EXPECT_EQ(run.out, "{\"table_version\":{\"name\":null,\"rec_date\":20060101,\"why\":\"no window of r.tsv holds "
                     "the record date 20060101\"}}\n");
}

}  // namespace
}  // namespace grouper
