// The batch run on episodes as named fields (CSV, TSV, JSON Lines): each row
// is built into its record and grouped as that record is in a fixed-width
// input; a row that cannot be built gives one row with its errors and the
// run goes on, unless --strict; a header without a required column, a quote
// never closed stop the run before anything looks complete.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "episode_grouper/episode.h"
#include "generate_episodes.h"
#include "generate_tables.h"
#include "support/run_program.h"
#include "tables/table_writer.h"

namespace grouper {
namespace {

namespace fs = std::filesystem;
namespace eg = episode_grouper;

constexpr uint64_t kSeed = 7;
constexpr uint64_t kEpisodes = 1500;

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  size_t at = 0;
  while (at < text.size()) {
    const size_t lf = text.find('\n', at);
    const size_t end = lf == std::string::npos ? text.size() : lf;
    lines.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  return lines;
}

// A TSV result row without its id column (the second).
std::string without_id(const std::string& row) {
  const size_t first = row.find('\t');
  const size_t second = row.find('\t', first + 1);
  return row.substr(0, first) + row.substr(second);
}

// The record built from a generated fixed-width line, with its line feed.
std::string built(const std::string& line) {
  eg::Episode e;
  eg::FieldErrors errors;
  std::string record(eg::kEpisodeRecordBytes, ' ');
  EXPECT_TRUE(eg::read_record(line, e, errors)) << errors.text();
  EXPECT_TRUE(eg::build_record(e, record.data(), errors)) << errors.text();
  return record + "\n";
}

// A small generated table set with the same episodes as records, CSV and
// JSON Lines, made once for the suite.
class EpisodeInput : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new testing::ScratchDir("episode-input");
    const tools::SyntheticSet set = tools::generate_tables(*tools::find_profile("small"), kSeed);
    std::string error;
    ASSERT_TRUE(write_tables(set.tables, dir_->path(), error)) << error;
    for (auto [name, format] : {std::pair{"tamv30.in", tools::EpisodeFormat::kFixed},
                                std::pair{"episodes.csv", tools::EpisodeFormat::kCsv},
                                std::pair{"episodes.jsonl", tools::EpisodeFormat::kJsonl}}) {
      std::FILE* f = std::fopen((dir_->path() / name).c_str(), "wb");
      ASSERT_NE(f, nullptr);
      ASSERT_TRUE(tools::write_episodes(set.model, kSeed, kEpisodes, f, format));
      ASSERT_EQ(std::fclose(f), 0);
    }
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  static testing::ProgramRun run(const std::string& args) { return testing::run_grouper(dir_->path(), args); }
  static std::string read(const std::string& name) { return testing::read_file(dir_->path() / name); }
  static void write(const std::string& name, const std::string& bytes) {
    testing::write_file(dir_->path() / name, bytes);
  }
  // The generated CSV's header and its first rows.
  static std::vector<std::string> csv_rows() { return lines_of(read("episodes.csv")); }

  static testing::ScratchDir* dir_;
};
testing::ScratchDir* EpisodeInput::dir_ = nullptr;

// CSV and JSON Lines give the result lines of their records, the rows of
// their records with the id column, and --records-out gives the records
// the generated lines build.
TEST_F(EpisodeInput, GeneratedEpisodesGroupAsTheirRecords) {
  const testing::ProgramRun csv =
      run("--input episodes.csv --output csv.out --results csv.tsv --records-out csv.rec --threads 2");
  ASSERT_EQ(csv.exit_code, 0) << csv.err;
  EXPECT_EQ(csv.err, "");
  std::string want_records;
  for (const std::string& line : lines_of(read("tamv30.in"))) want_records += built(line);
  ASSERT_EQ(read("csv.rec"), want_records);

  ASSERT_EQ(run("--input csv.rec --output fixed.out --results fixed.tsv --threads 1").exit_code, 0);
  EXPECT_EQ(read("csv.out"), read("fixed.out"));
  const std::vector<std::string> csv_rows = lines_of(read("csv.tsv"));
  const std::vector<std::string> fixed_rows = lines_of(read("fixed.tsv"));
  ASSERT_EQ(csv_rows.size(), kEpisodes + 1);
  ASSERT_EQ(fixed_rows.size(), csv_rows.size());
  EXPECT_EQ(csv_rows[0].substr(0, 10), "record\tid\t");
  for (size_t i = 0; i < csv_rows.size(); ++i) ASSERT_EQ(without_id(csv_rows[i]), fixed_rows[i]) << i;
  EXPECT_EQ(csv_rows[1].substr(0, 11), "1\t00000001\t");

  const testing::ProgramRun jsonl =
      run("--input episodes.jsonl --output jsonl.out --results jsonl.jsonl --records-out jsonl.rec");
  ASSERT_EQ(jsonl.exit_code, 0) << jsonl.err;
  EXPECT_EQ(read("jsonl.out"), read("fixed.out"));
  EXPECT_EQ(read("jsonl.rec"), want_records);
  const std::vector<std::string> objects = lines_of(read("jsonl.jsonl"));
  ASSERT_EQ(objects.size(), kEpisodes);
  EXPECT_EQ(objects[0].substr(0, 27), "{\"record\":1,\"id\":\"00000001\"");

  // The same rows as TSV, read by their header.
  std::string tsv;
  for (const std::string& row : lines_of(read("episodes.csv"))) {
    std::string t = row;
    for (char& c : t) c = c == ',' ? '\t' : c;
    tsv += t + "\n";
  }
  write("episodes.tsv", tsv);
  ASSERT_EQ(run("--input episodes.tsv --output tsv.out").exit_code, 0);
  EXPECT_EQ(read("tsv.out"), read("fixed.out"));
}

// Rows that cannot be built among good ones: one line and one row each, in
// place, with the id and no groups, an input_invalid finding per error and
// the summary's count; the good rows as they are alone; status 0.  With
// --strict the first ends the run: status 1, its row, line and errors, and
// no result file left.
TEST_F(EpisodeInput, BadRowsAmongGoodOnes) {
  const std::vector<std::string> rows = csv_rows();
  const std::string header = rows[0] + ",note\n";
  write("good.csv", header + rows[1] + ",a\n" + rows[2] + ",b\n");
  ASSERT_EQ(run("--input good.csv --output good.out --results good.tsv").exit_code, 0);
  const std::vector<std::string> good_lines = lines_of(read("good.out"));
  const std::vector<std::string> good_rows = lines_of(read("good.tsv"));

  write("mixed.csv", header + rows[1] + ",a\n" +
                         "BAD1,2005-02-30,M,2005-03-01,abc,1,K358,,,,,c\n" + rows[2] + ",b\n" + "bad2,1\n");
  const testing::ProgramRun r = run("--input mixed.csv --output mixed.out --results mixed.tsv --summary-file s.txt");
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.err, "grouper: mixed.csv: columns ignored: note\n");
  const std::vector<std::string> lines = lines_of(read("mixed.out"));
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], good_lines[0]);
  EXPECT_EQ(lines[2], good_lines[1]);
  for (size_t bad : {1u, 3u}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(lines[bad].substr(0, 4), bad == 1 ? "BAD1" : "BAD2");  // upper-cased as every record
    EXPECT_EQ(lines[bad].substr(4, 273), std::string(273, ' '));
    EXPECT_EQ(lines[bad].substr(277, 4), "0000");
    EXPECT_EQ(lines[bad].substr(296), "0000");
  }
  const std::vector<std::string> table = lines_of(read("mixed.tsv"));
  ASSERT_EQ(table.size(), 5u);
  EXPECT_EQ(table[1], good_rows[1]);
  EXPECT_EQ(table[3], "3" + good_rows[2].substr(1));
  EXPECT_EQ(table[2],
            "2\tBAD1\t\t\t\t\t\t\t\t\t\tinput_invalid@los:abc is not a whole number;"
            "input_invalid@birth_date:2005-02-30 is not a calendar date");
  EXPECT_NE(table[4].find("input_invalid@row:2 fields where the header names 12"), std::string::npos);
  const std::string summary = read("s.txt");
  EXPECT_NE(summary.find("findings of 4 records"), std::string::npos);
  EXPECT_NE(summary.find("input_invalid                   2   50.00%"), std::string::npos) << summary;

  // The same in JSON Lines: a line that is no JSON is one row, and members
  // of other names are named once.
  const std::vector<std::string> objects = lines_of(read("episodes.jsonl"));
  write("mixed.jsonl", objects[0] + "\nnot json\n" + objects[1].substr(0, objects[1].size() - 1) + ",\"note\":1}\n");
  const testing::ProgramRun j = run("--input mixed.jsonl --output mixed.out --results mixed-rows.jsonl");
  ASSERT_EQ(j.exit_code, 0) << j.err;
  EXPECT_EQ(j.err, "grouper: mixed.jsonl: members ignored: note\n");
  const std::vector<std::string> json_rows = lines_of(read("mixed-rows.jsonl"));
  ASSERT_EQ(json_rows.size(), 3u);
  EXPECT_NE(json_rows[1].find("\"findings\":[{\"code\":\"input_invalid\",\"field\":\"row\",\"text\":\"not JSON\"}]"),
            std::string::npos)
      << json_rows[1];
  EXPECT_EQ(lines_of(read("mixed.out"))[2], good_lines[1]);

  fs::remove(dir_->path() / "mixed.tsv");
  const testing::ProgramRun strict = run("--input mixed.csv --output strict.out --results mixed.tsv --strict");
  EXPECT_EQ(strict.exit_code, 1);
  EXPECT_NE(strict.err.find("strict: row 2 (line 3): los: abc is not a whole number; birth_date: 2005-02-30 is "
                            "not a calendar date\n"),
            std::string::npos)
      << strict.err;
  EXPECT_EQ(strict.out.find(testing::kEnd), std::string::npos);
  EXPECT_FALSE(fs::exists(dir_->path() / "strict.out"));
  EXPECT_FALSE(fs::exists(dir_->path() / "mixed.tsv"));
}

// RFC 4180 as written by spreadsheets: a byte-order mark, CRLF line ends,
// quoted fields holding separators, doubled quotes and a line feed, in any
// column order.
TEST_F(EpisodeInput, QuotedFieldsCrlfAndByteOrderMark) {
  write("quoted.csv",
        "\xEF\xBB\xBF" "principal,\"id\",sex,record_date,age_years,los,discharge,secondary,note\r\n"
        "k35.8,\"a\"\"b,c\",f,2005-03-01,40,3,1,\"J18|I21\",\"two\r\nlines, \"\"quoted\"\"\"\r\n"
        "\r\n"
        "I21,x,M,20050301,50,0,1,,\r\n");
  const testing::ProgramRun r = run("--input quoted.csv --output q.out --records-out q.rec --threads 2");
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.err, "grouper: quoted.csv: columns ignored: note\n");
  std::string want;
  eg::FieldErrors errors;
  for (const char* id : {"a\"b,c", "x"}) {
    eg::Episode e;
    const bool first = id[0] == 'a';
    e.id = id;
    e.sex = first ? 'F' : 'M';
    e.record_date = 20050301;
    e.age_years = first ? 40 : 50;
    e.los = first ? 3 : 0;
    e.discharge = 1;
    e.principal = first ? "K358" : "I21";
    if (first) e.secondary = {"J18", "I21"};
    std::string record(eg::kEpisodeRecordBytes, ' ');
    ASSERT_TRUE(eg::build_record(e, record.data(), errors)) << errors.text();
    want += record + "\n";
  }
  EXPECT_EQ(read("q.rec"), want);
  EXPECT_EQ(lines_of(read("q.out")).size(), 2u);
}

// Input that cannot be read as rows stops the run with status 1 and says
// why, leaving no result lines: a header without required columns, a quote
// never closed, a row longer than a row may be.
TEST_F(EpisodeInput, UnreadableInputStopsTheRun) {
  struct Case {
    std::string bytes, args, message;
  };
  const std::string header = csv_rows()[0] + "\n";
  const std::vector<Case> cases = {
      {"id,sex,principal,age_days\n1,M,K35,3\n", "--input in.csv",
       "grouper: in.csv: the header lacks the columns record_date, los, discharge\n"},
      {"id,sex,principal\n", "--input in.txt --input-format csv",
       "grouper: in.txt: the header lacks the columns record_date, los, discharge, birth_date (or age_years or "
       "age_days)\n"},
      {header + csv_rows()[1] + "\n\"open,\n", "--input in.csv",
       "grouper: in.csv: the quote opened in the row at line 3 is never closed\n"},
      {header + std::string(70000, 'x') + "\n", "--input in.csv",
       "grouper: in.csv: the row at line 2 is longer than 65536 bytes (a quote left open?)\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    fs::remove(dir_->path() / "in.csv");
    write(c.args.find("in.txt") != std::string::npos ? "in.txt" : "in.csv", c.bytes);
    const testing::ProgramRun r = run(c.args + " --output stopped.out --records-out stopped.rec");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, c.message);
    EXPECT_FALSE(fs::exists(dir_->path() / "stopped.out"));
    EXPECT_FALSE(fs::exists(dir_->path() / "stopped.rec"));
  }
  EXPECT_EQ(run("--input tamv30.in --strict").exit_code, 2);
}

}  // namespace
}  // namespace grouper
