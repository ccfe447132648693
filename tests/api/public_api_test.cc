// The public C++ API: TableSet::open names what stopped a set from loading,
// and episode_grouper::Grouper gives every record the bytes the program
// gives it.
#include "episode_grouper/grouper.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/engine.h"
#include "episode_grouper/line_splitter.h"
#include "episode_grouper/episode_grouper.h"
#include "episode_grouper/table_set.h"
#include "episode_grouper/version.h"
#include "record/record_layout.h"
#include "support/run_program.h"
#include "support/table_builder.h"
#include "support/varied_tables.h"
#include "tables/load_plan.h"

namespace grouper {
namespace {

namespace fs = std::filesystem;
namespace eg = episode_grouper;
using testing::Episode;
using testing::TableBuilder;
using testing::varied_tables;

std::string test_name() { return ::testing::UnitTest::GetInstance()->current_test_info()->name(); }

std::vector<std::string> table_file_names() {
  std::vector<std::string> names;
  for (const FileSpec& f : load_plan()) names.emplace_back(f.name);
  return names;
}

// The 10-character count field at header offset `field * 10` of a table file.
unsigned count_field(const fs::path& path, int field) {
  return static_cast<unsigned>(std::stoul(testing::read_file(path).substr(static_cast<size_t>(field) * 10, 10)));
}

std::vector<std::string_view> split_records(std::string_view input) {
  std::vector<std::string_view> out;
  std::string_view record;
  for (eg::LineSplitter split(input); split.next(record);) out.push_back(record);
  return out;
}

// Rows of a file of line-feed-ended rows (TSV or JSON Lines), each with its
// line feed.
std::vector<std::string> rows_of_file(const std::string& bytes) {
  std::vector<std::string> rows;
  size_t at = 0;
  while (at < bytes.size()) {
    size_t lf = bytes.find('\n', at);
    size_t end = lf == std::string::npos ? bytes.size() : lf + 1;
    rows.push_back(bytes.substr(at, end - at));
    at = end;
  }
  return rows;
}

// --- opening a table set: every failure names its file ---

class OpenTables : public ::testing::Test {
 protected:
  void SetUp() override { TableBuilder().write(dir_.path()); }

  std::shared_ptr<const eg::TableSet> open(eg::Status& error) const {
    return eg::TableSet::open(dir_.path(), error);
  }
  // What the program prints over the same directory, one record to group.
  testing::ProgramRun program() const {
    testing::write_file(dir_ / "tamv30.in", Episode().line());
    return testing::run_grouper(dir_.path());
  }
  // Opens the set, expects a failure of `kind` naming `file`, and the
  // program's messages over the same set to carry the loader's text.
  void expect_failure(eg::StatusKind kind, const std::string& file, const std::string& program_suffix) const {
    eg::Status error;
    EXPECT_EQ(open(error), nullptr);
    EXPECT_EQ(error.kind, kind) << file;
    EXPECT_EQ(error.file, file);
    EXPECT_NE(error.message.find(file), std::string::npos) << error.message;
    const testing::ProgramRun run = program();
    EXPECT_NE(run.exit_code, 0);
    EXPECT_EQ(run.out, error.loader_message + program_suffix) << file;
  }

  testing::ScratchDir dir_{test_name()};
};

TEST_F(OpenTables, AGoodSetOpensWithoutError) {
  eg::Status error;
  error.kind = eg::StatusKind::kFileFailed;  // open() must reset it
  auto set = open(error);
  ASSERT_NE(set, nullptr);
  EXPECT_EQ(error.kind, eg::StatusKind::kOk);
  EXPECT_EQ(error.message, "");
  EXPECT_EQ(set->counts().cond, TableBuilder().build().cond_cnt);
}

TEST_F(OpenTables, NoDirectoryNamesNoFile) {
  for (const fs::path& path : {dir_ / "absent", dir_ / "Tdx.idx"}) {
    eg::Status error;
    EXPECT_EQ(eg::TableSet::open(path, error), nullptr) << path;
    EXPECT_EQ(error.kind, eg::StatusKind::kNoDirectory) << path;
    EXPECT_EQ(error.file, "");
    EXPECT_NE(error.message.find(path.string()), std::string::npos) << error.message;
  }
}

TEST_F(OpenTables, MissingFileIsNamed) {
  for (const std::string& name : table_file_names()) {
    TableBuilder().write(dir_.path());
    fs::remove(dir_ / name);
    expect_failure(eg::StatusKind::kFileFailed, name, " file init error \n");
  }
}

TEST_F(OpenTables, ShortFileIsNamed) {
  for (const std::string& name : table_file_names()) {
    TableBuilder().write(dir_.path());
    fs::resize_file(dir_ / name, 99);  // a header of 99 bytes
    expect_failure(eg::StatusKind::kFileFailed, name, " file init error \n");

    TableBuilder().write(dir_.path());
    const uintmax_t size = fs::file_size(dir_ / name);
    if (size <= 100) continue;  // no array bytes to cut
    fs::resize_file(dir_ / name, size - 1);  // the last array one byte short
    expect_failure(eg::StatusKind::kFileFailed, name, " file init error \n");
  }
}

TEST_F(OpenTables, SupplementaryFilesCarryTheLoadersOwnMessage) {
  struct Case {
    std::string file;
    size_t size;  // bytes the file is cut to
    std::string said;
  };
  const size_t codes = count_field(dir_ / "ltc_drg.idx", 0);
  const size_t keys = count_field(dir_ / "adrg_ltcdrg", 0);
  const size_t rows = count_field(dir_ / "adrg_ltcdrg", 1);
  const Case cases[] = {
      {"ltc_drg.idx", 100 + 4 * codes - 1, "ltc_drg code read error "},
      {"adrg_ltcdrg", 100 + 4 * keys + 10 * rows - 1, "ltcdrg_ast read error "},
  };
  for (const Case& c : cases) {
    TableBuilder().write(dir_.path());
    fs::resize_file(dir_ / c.file, c.size);
    eg::Status error;
    EXPECT_EQ(open(error), nullptr);
    EXPECT_EQ(error.kind, eg::StatusKind::kFileFailed);
    EXPECT_EQ(error.file, c.file);
    EXPECT_EQ(error.loader_message.rfind(c.said, 0), 0u) << error.loader_message;
    EXPECT_NE(error.message.find(c.said.substr(0, c.said.size() - 1)), std::string::npos) << error.message;
    EXPECT_EQ(program().out, error.loader_message + " file init error \n");
  }
}

TEST_F(OpenTables, CountMismatchIsNamed) {
  // Tadrg1's MDC slot count must equal the MDC list's count.
  std::string bytes = testing::read_file(dir_ / "Tadrg1");
  char field[11];
  std::snprintf(field, sizeof field, "%010u", count_field(dir_ / "Tmdc.idx", 0) + 1);
  bytes.replace(0, 10, field);
  testing::write_file(dir_ / "Tadrg1", bytes);
  expect_failure(eg::StatusKind::kCountMismatch, "Tadrg1", " file count error \n");
}

TEST_F(OpenTables, CatalogueDisagreeingWithTheLogicConditionsIsALogicSettingError) {
  TableBuilder b;
  b.cond_type(790, 't');
  b.write(dir_.path());
  eg::Status error;
  EXPECT_EQ(open(error), nullptr);
  EXPECT_EQ(error.kind, eg::StatusKind::kLogicSetting);
  EXPECT_EQ(error.file, "Tcond.idx");
  // The program loads such a set and stops at the first record.
  EXPECT_EQ(program().out, "logic setting missing or error\n");
}

// --- grouping: the same bytes as the program ---


// Deterministic varied input: full episodes, and the lines that test the
// splitting and the padding: short ones, NULs, carriage returns, lines past
// 4095 bytes, digit fields that do not read, a last line without a line feed.
std::string varied_input(int n) {
  const char* dx[] = {"I21", "I50", "J18", "E11", "N18", "B95", "K35", "i21", "e11", "     "};
  const char* dates[] = {"20041231", "20050101", "20050630", "20061231", "2005x301", "        "};
  const char* births[] = {"900101", "050601", "300315", "991231", "ab0101"};
  uint64_t state = 2005;
  auto next = [&state](int bound) {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<int>((state >> 33) % static_cast<uint64_t>(bound));
  };
  std::string all = "abc\n";                             // shorter than 84: copied whole
  all += std::string("x\0y", 3) + "\r\n";                // short, with a NUL and a CR
  all += "\n";                                           // only a line feed
  all += Episode().dx(1, "I21").at(40, std::string(1, '\0')).line();  // a NUL inside a code
  all += Episode().dx(1, "I21").str().substr(0, 100) + "\n";          // stops inside the codes
  all += Episode().dx(1, "J18").str() + std::string(5000, 'q') + "\n";  // 4095 bytes, then the rest
  for (int i = 0; i < n; ++i) {
    switch (next(40)) {
      case 0: all += "short " + std::to_string(i) + "\n"; continue;
      case 1: all += Episode().dx(1, dx[next(10)]).str() + std::string(static_cast<size_t>(next(8000)), 'z') + "\n";
        continue;
      case 2: all += std::string(static_cast<size_t>(next(300)), '\0') + "\n"; continue;
      default: break;
    }
    Episode e;
    e.date(dates[next(6)]).birth(births[next(5)]).sex(static_cast<char>('0' + next(3)));
    for (int p = 1; p <= 4; ++p) e.dx(p, dx[next(10)]);
    if (next(3) == 0) e.proc(11, "M5520");
    if (next(5) == 0) e.at(0, "lower-case head");
    all += next(10) == 0 ? e.str() + "\r\n" : e.line();
  }
  return all + Episode().dx(1, "I50").str();  // no line feed at the end
}

class PublicGrouper : public ::testing::Test {
 protected:
  void SetUp() override {
    varied_tables().write(dir_.path());
    input_ = varied_input(1500);
    testing::write_file(dir_ / "tamv30.in", input_);
    eg::Status error;
    set_ = eg::TableSet::open(dir_.path(), error);
    ASSERT_NE(set_, nullptr) << error.message;
  }

  testing::ScratchDir dir_{test_name()};
  std::string input_;
  std::shared_ptr<const eg::TableSet> set_;
};

TEST_F(PublicGrouper, GivesTheProgramsResultLinesAndRows) {
  auto tsv_run = testing::run_grouper(dir_.path(), "--results rows.tsv");
  ASSERT_EQ(tsv_run.exit_code, 0) << tsv_run.out;
  const std::string lines = testing::read_file(dir_ / "tamv30.out");
  const std::vector<std::string> tsv = rows_of_file(testing::read_file(dir_ / "rows.tsv"));
  ASSERT_EQ(testing::run_grouper(dir_.path(), "--results rows.jsonl").exit_code, 0);
  const std::vector<std::string> json = rows_of_file(testing::read_file(dir_ / "rows.jsonl"));

  eg::Grouper g(set_);
  set_.reset();  // the grouper keeps the set alive
  const std::vector<std::string_view> records = split_records(input_);
  ASSERT_EQ(tsv.size(), records.size() + 1);
  ASSERT_EQ(json.size(), records.size());
  EXPECT_EQ(tsv[0], eg::Grouper::result_header());
  size_t at = 0;
  for (size_t i = 0; i < records.size(); ++i) {
    const int64_t number = static_cast<int64_t>(i) + 1;
    g.group(records[i]);
    const std::string line = g.result_line();
    ASSERT_EQ(lines.compare(at, line.size(), line), 0) << "result line of record " << number;
    at += line.size();
    ASSERT_EQ(g.result_row(number), tsv[i + 1]) << "record " << number;
    ASSERT_EQ(g.json_row(number), json[i]) << "record " << number;
  }
  EXPECT_EQ(at, lines.size());
}

TEST_F(PublicGrouper, ResultHoldsWhatTheEngineProduced) {
  eg::Grouper g(set_);
  Engine engine(prepared(*set_));
  std::vector<char> line(kLineBufferSize);
  for (std::string_view record : split_records(input_)) {
    const eg::Result& r = g.group(record);
    std::fill(line.begin(), line.end(), ' ');
    std::copy(record.begin(), record.end(), line.begin());
    ASSERT_EQ(engine.group(line.data(), record.size()), 0);
    const RecordValues& v = engine.values();
    const Result& e = engine.result();
    SCOPED_TRACE(std::string(record.substr(0, 84)));
    EXPECT_EQ(r.values.rec_date, v.rec_date);
    EXPECT_EQ(r.values.age_yy, v.age_yy);
    EXPECT_EQ(r.values.age_dd, v.age_dd);
    EXPECT_EQ(r.values.sex_cd, v.sex_cd);
    EXPECT_EQ(r.values.los_dd, v.los_dd);
    EXPECT_EQ(r.values.dsch_cd, v.dsch_cd);
    EXPECT_EQ(r.values.birth_wt, v.birth_wt);
    EXPECT_EQ(r.values.vent_hr, v.vent_hr);
    EXPECT_EQ(r.code_ids, engine.code_ids());
    EXPECT_EQ(r.dx_swapped, engine.dx_swapped());
    EXPECT_EQ(r.res_mdc, e.res_mdc);
    EXPECT_EQ(r.res_adrg, e.res_adrg);
    EXPECT_EQ(r.res_drg, e.res_drg);
    EXPECT_EQ(r.res_split, e.res_split);
    EXPECT_EQ(r.pos_ccl, e.pos_ccl);
    EXPECT_EQ(r.res_pccl, e.res_pccl);
    EXPECT_EQ(r.res_drg_code, e.res_drg_code);
    EXPECT_EQ(r.res_ccl_raw, e.res_ccl_raw);
    EXPECT_EQ(r.res_ccl_excl, e.res_ccl_excl);
    EXPECT_EQ(r.res_ltcdrg, e.res_ltcdrg);
    EXPECT_EQ(std::string(r.res_ltcdrg_code.data(), 4), std::string(e.res_ltcdrg_code.data(), 4));
    if (::testing::Test::HasFailure()) return;
  }
}

TEST_F(PublicGrouper, RecordLongerThan4095BytesIsCutThere) {
  eg::Grouper g(set_);
  const std::string record = Episode().dx(1, "I21").str() + std::string(9000, 'z') + "\n";
  g.group(std::string_view(record).substr(0, eg::kMaxRecordBytes));
  const std::string line = g.result_line(), row = g.result_row(1), json = g.json_row(1);
  ASSERT_EQ(g.result().res_adrg, 1);  // grouped, not blank
  g.group("abc\n");
  g.group(record);
  EXPECT_EQ(g.result_line(), line);
  EXPECT_EQ(g.result_row(1), row);
  EXPECT_EQ(g.json_row(1), json);
}

TEST_F(PublicGrouper, EmptyRecordIsAnEmptyLine) {
  eg::Grouper g(set_);
  g.group("\n");  // shorter than the head: copied whole, line feed included
  const std::string lf_line = g.result_line(), lf_row = g.result_row(1);
  g.group(Episode().dx(1, "I21").line());
  g.group(std::string_view());  // no bytes, not even a pointer to them
  ASSERT_EQ(lf_line.front(), '\n');
  EXPECT_EQ(g.result_line(), lf_line.substr(1));
  EXPECT_EQ(g.result_row(1), lf_row);
}

TEST(PublicResult, CodeTextsAreTheTablesCodes) {
  testing::ScratchDir dir(test_name());
  TableBuilder b;
  const int16_t mdc = b.mdc("ABC");
  const int16_t adrg = b.adrg("F62B");
  const int16_t cut = b.adrg(std::string_view("X\0YZ", 4));  // a code ends at its first NUL
  const int16_t drg = b.drg("F62B0");
  b.pccl(drg, "PQRST");
  b.rule({.slot = 1, .mdc = mdc, .adrg = adrg, .must = {100}, .must_not = {}});
  b.rule({.slot = 1, .mdc = mdc, .adrg = cut, .must = {}, .must_not = {}});
  b.dx_cond(b.dx("I21", true), 100);
  b.ltc_row(adrg, 7);
  b.write(dir.path());
  eg::Status error;
  auto set = eg::TableSet::open(dir.path(), error);
  ASSERT_NE(set, nullptr) << error.message;
  eg::Grouper g(set);

  const eg::Result& r = g.group(Episode().date("20050801").dx(1, "I21").line());
  EXPECT_EQ(r.res_mdc, mdc);
  EXPECT_EQ(r.res_adrg, adrg);
  EXPECT_EQ(r.res_drg, drg);
  EXPECT_EQ(eg::text_of(r.mdc_code), "ABC");
  EXPECT_EQ(eg::text_of(r.adrg_code), "F62B");
  EXPECT_EQ(eg::text_of(r.drg_list_code), "F62B0");
  EXPECT_EQ(eg::text_of(r.res_drg_code), "F62B0P");  // PCCL 0 picks the first split character
  EXPECT_EQ(eg::text_of(r.res_ltcdrg_code), "LT07");
  EXPECT_EQ(g.result_line().substr(277, 4), "F62B");
  EXPECT_EQ(g.result_line().substr(296, 4), "LT07");

  const eg::Result& other = g.group(Episode().line());
  EXPECT_EQ(other.res_adrg, cut);
  EXPECT_EQ(eg::text_of(other.adrg_code), "X");
  EXPECT_EQ(eg::text_of(other.drg_list_code), "");
  EXPECT_EQ(eg::text_of(other.res_ltcdrg_code), "0000");
}

// One version, the project's, for the C++ and the C interface alike.
TEST(PublicVersion, IsTheBuildsVersionInBothInterfaces) {
  EXPECT_STREQ(episode_grouper::version(), GROUPER_TEST_VERSION);
  EXPECT_STREQ(eg_version(), episode_grouper::version());
}

}  // namespace
}  // namespace grouper
