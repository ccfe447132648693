// The JSON Lines result rows of the program, read back by a real JSON
// parser: every row parses, every code decodes (Latin-1) to the very bytes
// of the table, and a row holds the detailed result file's fields with the
// same values, null where that file is empty, then the record values.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "episode_grouper/grouper.h"
#include "episode_grouper/line_splitter.h"
#include "support/run_program.h"
#include "support/table_builder.h"

namespace grouper {
namespace {

namespace fs = std::filesystem;
namespace eg = episode_grouper;
using testing::Episode;
using testing::TableBuilder;

constexpr const char* kPython = "/usr/bin/python3";

// Parses every line of the file argv[1] as one JSON object (the file must be
// UTF-8, no duplicate keys, nothing around the object) and prints, per row,
// one line per field: "name null", "name int N" or "name str HEX" with the
// string's Latin-1 bytes in hex, then an empty line.  The findings, a list of
// objects, are printed as "findings str HEX" of the text the result file's
// findings column shows, escapes undone.
constexpr const char* kReadRows = R"(import json, sys
def pairs(items):
    names = [name for name, _ in items]
    if len(set(names)) != len(names):
        raise ValueError('duplicate key')
    return items
text = open(sys.argv[1], 'rb').read().decode('utf-8')
if text and not text.endswith('\n'):
    sys.exit('the last row has no line feed')
for line in text.split('\n')[:-1]:
    if not (line.startswith('{') and line.endswith('}')):
        sys.exit('not one object: ' + repr(line))
    for name, value in json.loads(line, object_pairs_hook=pairs):
        if value is None:
            print(name, 'null')
        elif type(value) is int:
            print(name, 'int', value)
        elif type(value) is str:
            print(name, 'str', value.encode('latin-1').hex())
        elif name == 'findings' and type(value) is list:
            items = []
            for f in map(dict, value):
                if f['code'] == 'more':
                    items.append('more:%d' % f['count'])
                    continue
                item = f['code']
                if 'position' in f: item += '@%d' % f['position']
                if 'field' in f: item += '@' + f['field']
                if 'text' in f: item += ':' + f['text']
                if 'to' in f: item += '>' + f['to']
                items.append(item)
            print(name, 'str', ';'.join(items).encode('latin-1').hex())
        else:
            sys.exit('unexpected value ' + repr(value))
    print()
)";

struct Field {
  std::string name, kind, value;  // value: the digits, or the decoded bytes
};
using Row = std::vector<Field>;

std::string from_hex(const std::string& hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  return out;
}

std::vector<Row> parse_reader_output(const std::string& text) {
  std::vector<Row> rows(1);
  size_t at = 0;
  while (at < text.size()) {
    const size_t lf = text.find('\n', at);
    const std::string line = text.substr(at, lf - at);
    at = lf + 1;
    if (line.empty()) {
      rows.emplace_back();
      continue;
    }
    Field f;
    const size_t s1 = line.find(' ');
    const size_t s2 = line.find(' ', s1 + 1);
    f.name = line.substr(0, s1);
    f.kind = line.substr(s1 + 1, s2 == std::string::npos ? std::string::npos : s2 - s1 - 1);
    if (s2 != std::string::npos) f.value = line.substr(s2 + 1);
    if (f.kind == "str") f.value = from_hex(f.value);
    rows.back().push_back(f);
  }
  rows.pop_back();  // after the last row's empty line
  return rows;
}

// The fields of one TSV row, escapes undone.
std::vector<std::string> tsv_fields(std::string_view row) {
  if (!row.empty() && row.back() == '\n') row.remove_suffix(1);
  std::vector<std::string> fields(1);
  for (size_t i = 0; i < row.size(); ++i) {
    if (row[i] == '\t') {
      fields.emplace_back();
    } else if (row[i] == '\\' && i + 1 < row.size()) {
      const char c = row[++i];
      fields.back() += c == 't' ? '\t' : c == 'n' ? '\n' : c == 'r' ? '\r' : c;
    } else {
      fields.back() += row[i];
    }
  }
  return fields;
}

std::vector<std::string> lines_of(const std::string& bytes) {
  std::vector<std::string> out;
  size_t at = 0;
  while (at < bytes.size()) {
    const size_t lf = bytes.find('\n', at);
    out.push_back(bytes.substr(at, lf - at));
    at = lf == std::string::npos ? bytes.size() : lf + 1;
  }
  return out;
}

const Field* field(const Row& row, const std::string& name) {
  for (const Field& f : row) {
    if (f.name == name) return &f;
  }
  return nullptr;
}

// Codes with every kind of byte a row must carry: quotes, backslashes,
// control bytes, DEL, bytes of 0x80 and above, a tab, a line feed, a NUL
// that ends a code early.
const std::string kMdc1("\"\\\x01", 3);
const std::string kAdrg1("\t\x7F\xFF\x80", 4);
const std::string kMdc2("\xE9\x1F\n", 3);
const std::string kAdrg2("A\0B\"", 4);  // reads "A"
const std::string kSupp("\x1B\"\xC7\\", 4);

TEST(JsonRows, OddBytesInCodesParseAndDecodeToTheTablesBytes) {
  if (!fs::exists(kPython)) GTEST_SKIP() << "no " << kPython;
  testing::ScratchDir dir(::testing::UnitTest::GetInstance()->current_test_info()->name());
  TableBuilder b;
  const int16_t mdc1 = b.mdc(kMdc1);
  const int16_t mdc2 = b.mdc(kMdc2);
  const int16_t adrg1 = b.adrg(kAdrg1);
  const int16_t adrg2 = b.adrg(kAdrg2);
  b.pccl(b.drg(kAdrg1 + "0"), "\r\r\r\r\r");  // the DRG of adrg1 without an age split
  b.dx_cond(b.dx("I21", true), 100);
  b.dx_cond(b.dx("J18", true), 102);
  b.rule({.slot = 1, .mdc = mdc1, .adrg = adrg1, .must = {100}, .must_not = {}});
  b.rule({.slot = 1, .mdc = mdc2, .adrg = adrg2, .must = {102}, .must_not = {}});
  b.ltc_code(3, kSupp);
  b.ltc_row(adrg1, 3);
  b.ltc_fixed(adrg2);
  b.write(dir.path());
  // Supplementary groups start with records of 20050701.
  const std::string input = Episode().date("20050801").dx(1, "I21").line() +
                            Episode().date("20050801").dx(1, "J18").line() + Episode().line() + "x\n" +
                            Episode().birth("ab0101").date("2005x301").los("-1 ").line();
  testing::write_file(dir / "tamv30.in", input);

  ASSERT_EQ(testing::run_grouper(dir.path(), "--results rows.tsv").exit_code, 0);
  ASSERT_EQ(testing::run_grouper(dir.path(), "--results rows.jsonl").exit_code, 0);
  testing::write_file(dir / "read_rows.py", kReadRows);
  const testing::ProgramRun read = testing::run_program(kPython, dir.path(), "read_rows.py rows.jsonl");
  ASSERT_EQ(read.exit_code, 0) << read.err;
  const std::vector<Row> json = parse_reader_output(read.out);
  const std::vector<std::string> tsv = lines_of(testing::read_file(dir / "rows.tsv"));

  // The record values come from grouping the same records in the test.
  eg::Status error;
  auto set = eg::TableSet::open(dir.path(), error);
  ASSERT_NE(set, nullptr) << error.message;
  eg::Grouper g(set);
  std::vector<eg::RecordValues> values;
  std::string_view record;
  for (eg::LineSplitter split(input); split.next(record);) values.push_back(g.group(record).values);

  ASSERT_EQ(json.size(), values.size());
  ASSERT_EQ(tsv.size(), values.size() + 1);
  // The JSON row has the file's columns up to its last, the record values,
  // and then the findings.
  std::vector<std::string> columns = tsv_fields(tsv[0]);
  ASSERT_EQ(columns.back(), "findings");
  columns.pop_back();
  const std::vector<std::string> value_names = {"rec_date", "sex_cd", "los_dd", "dsch_cd", "birth_wt", "vent_hr"};
  int with_findings = 0;
  for (size_t i = 0; i < json.size(); ++i) {
    SCOPED_TRACE("record " + std::to_string(i + 1));
    const Row& row = json[i];
    const std::vector<std::string> cells = tsv_fields(tsv[i + 1]);
    ASSERT_EQ(cells.size(), columns.size() + 1);
    ASSERT_EQ(row.size(), columns.size() + value_names.size() + 1);
    ASSERT_EQ(row.back().name, "findings");
    EXPECT_EQ(row.back().value, cells.back());
    with_findings += !cells.back().empty();
    for (size_t c = 0; c < columns.size(); ++c) {
      EXPECT_EQ(row[c].name, columns[c]);
      if (cells[c].empty()) {
        EXPECT_EQ(row[c].kind, "null") << columns[c];
      } else {
        EXPECT_NE(row[c].kind, "null") << columns[c];
        EXPECT_EQ(row[c].value, cells[c]) << columns[c];
      }
    }
    const eg::RecordValues& v = values[i];
    const int64_t expected[] = {v.rec_date, v.sex_cd, v.los_dd, v.dsch_cd, v.birth_wt, v.vent_hr};
    for (size_t k = 0; k < value_names.size(); ++k) {
      const Field& f = row[columns.size() + k];
      EXPECT_EQ(f.name, value_names[k]);
      EXPECT_EQ(f.kind, "int") << f.name;
      EXPECT_EQ(f.value, std::to_string(expected[k])) << f.name;
    }
  }
  EXPECT_GE(with_findings, 3);

  // The codes are the table's bytes, up to a NUL.
  auto text = [&json](size_t record, const std::string& name) {
    const Field* f = field(json[record], name);
    return f && f->kind == "str" ? f->value : "<" + (f ? f->kind : "missing") + ">";
  };
  EXPECT_EQ(text(0, "mdc"), kMdc1);
  EXPECT_EQ(text(0, "adrg"), kAdrg1);
  EXPECT_EQ(text(0, "drg"), kAdrg1 + "0\r");
  EXPECT_EQ(text(0, "supplementary"), kSupp);
  EXPECT_EQ(text(1, "mdc"), kMdc2);
  EXPECT_EQ(text(1, "adrg"), "A");
  EXPECT_EQ(text(1, "drg"), "<null>");
  EXPECT_EQ(text(1, "supplementary"), "AW17");
  EXPECT_EQ(text(2, "adrg"), "<null>");
  EXPECT_EQ(text(2, "supplementary"), "0000");
}

}  // namespace
}  // namespace grouper
