#include "output/result_line.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "output/result_json.h"
#include "output/result_table.h"
#include "support/table_builder.h"

namespace grouper {
namespace {

std::string result_line(const std::string& line, std::string_view adrg = "0000", std::string_view supp = "0000") {
  char out[kMaxResultLineBytes];
  size_t n = format_result_line(line.data(), line.size(), adrg, supp, out);
  return std::string(out, n);
}

std::string row(int64_t record, const TableStore& tables, const RecordValues& values, Result result) {
  char out[kMaxResultRowBytes];
  result.values = values;
  size_t n = format_result_row(record, tables, result, episode_grouper::Findings{}, out);
  return std::string(out, n);
}

// --- the result line ---

TEST(ResultLine, FullRecordGives300CharactersAndALineFeed) {
  std::string line;
  for (size_t i = 0; i < kRecordWidth; ++i) line += static_cast<char>('A' + i % 26);
  line += '\n';
  const std::string out = result_line(line, "B01A", "LT07");
  ASSERT_EQ(out.size(), 301u);
  EXPECT_EQ(out.substr(0, 84), line.substr(0, 84));
  EXPECT_EQ(out.substr(84, 193), std::string(193, ' '));
  EXPECT_EQ(out.substr(277, 4), "B01A");
  EXPECT_EQ(out.substr(281, 7), std::string(7, ' '));
  EXPECT_EQ(out.substr(288, 8), "20050515");
  EXPECT_EQ(out.substr(296, 4), "LT07");
  EXPECT_EQ(out[300], '\n');
}

TEST(ResultLine, LineShorterThanTheHeadIsCopiedWholeWithItsLineFeed) {
  const std::string out = result_line("ABC\r\n");
  EXPECT_EQ(out, "ABC\r\n" + std::string(193, ' ') + "0000" + std::string(7, ' ') + "20050515" + "0000\n");
}

TEST(ResultLine, LineOf84CharactersLosesItsLineFeed) {
  const std::string line = std::string(84, 'X') + "\n";
  const std::string out = result_line(line);
  ASSERT_EQ(out.size(), 301u);
  EXPECT_EQ(out.substr(0, 85), std::string(84, 'X') + " ");
}

TEST(ResultLine, NulBytesInTheHeadAreCopied) {
  std::string line(100, 'A');
  line[10] = '\0';
  const std::string out = result_line(line);
  ASSERT_EQ(out.size(), 301u);
  EXPECT_EQ(out.substr(0, 84), line.substr(0, 84));
}

TEST(ResultLine, ShortCodeTextsGiveAShorterLine) {
  const std::string out = result_line(std::string(273, 'A'), "B0", "");
  EXPECT_EQ(out.size(), 301u - 2 - 4);
  EXPECT_EQ(out.substr(277, 2), "B0");
  EXPECT_EQ(out.substr(279 + 7, 9), "20050515\n");
}

// --- code texts ---

TEST(CodeText, EndsAtTheFirstNulOrTheWidth) {
  EXPECT_EQ(code_text("AB\0D", 4), "AB");
  EXPECT_EQ(code_text("ABCDE", 4), "ABCD");
  EXPECT_EQ(code_text("\0BCD", 4), "");
}

TEST(AdrgText, NoAdrgOrAnIndexPastTheListGives0000) {
  testing::TableBuilder b;
  int16_t a = b.adrg("B01A");
  TableStore t = b.build();
  EXPECT_EQ(adrg_text(t, a), "B01A");
  EXPECT_EQ(adrg_text(t, 0), "0000");
  EXPECT_EQ(adrg_text(t, static_cast<int16_t>(t.adrg_code.size())), "0000");
  EXPECT_EQ(adrg_text(t, -1), "0000");
}

TEST(SupplementaryText, IsTheCodeUpToItsFirstNul) {
  Result r;
  r.res_ltcdrg_code = {'A', 'W', '1', '7'};
  EXPECT_EQ(supplementary_text(r), "AW17");
  r.res_ltcdrg_code = {'L', 'T', '\0', '\0'};
  EXPECT_EQ(supplementary_text(r), "LT");
}

// --- the detailed result file ---

class ResultTable : public ::testing::Test {
 protected:
  void SetUp() override {
    mdc_ = builder_.mdc("01 ");
    adrg_ = builder_.adrg("B01A");
    tables_ = builder_.build();
    values_.age_yy = 25;
    values_.age_dd = 9191;
    result_.res_ltcdrg_code = {'0', '0', '0', '0'};
  }
  testing::TableBuilder builder_;
  TableStore tables_;
  int16_t mdc_ = 0, adrg_ = 0;
  RecordValues values_;
  Result result_;
};

TEST_F(ResultTable, HeaderNamesTheColumns) {
  EXPECT_EQ(result_table_header(), "record\tmdc\tadrg\tdrg\tpccl\tccl_raw\tccl_excl\tsupplementary\tage_yy\tage_dd\tfindings\n");
}

TEST_F(ResultTable, RecordWithoutGroupsLeavesTheGroupColumnsEmpty) {
  result_.res_pccl = 3;  // not shown without an ADRG
  result_.res_ccl_raw = {'1', '2', '3', '4', '5', '6', '7', '8', '9', '0'};
  EXPECT_EQ(row(7, tables_, values_, result_), "7\t\t\t\t\t\t\t0000\t25\t9191\t\n");
}

TEST_F(ResultTable, RecordWithAnAdrgShowsItsGroups) {
  result_.res_mdc = mdc_;
  result_.res_adrg = adrg_;
  result_.res_drg = 1;
  result_.res_drg_code = {'B', '0', '1', 'A', '1', 'C'};
  result_.res_pccl = 2;
  result_.res_ccl_raw = {'0', '3', '2', '0', '0', '0', '0', '0', '0', '0'};
  result_.res_ccl_excl = {'0', '3', '0', '\0', '\0', '\0', '\0', '\0', '\0', '\0'};
  result_.res_ltcdrg_code = {'A', 'W', '1', '7'};
  values_.age_yy = -1;
  values_.age_dd = -9;
  EXPECT_EQ(row(12, tables_, values_, result_), "12\t01 \tB01A\tB01A1C\t2\t0320000000\t030\tAW17\t-1\t-9\t\n");
}

TEST_F(ResultTable, AdrgWithoutDrgLeavesTheDrgEmpty) {
  result_.res_mdc = mdc_;
  result_.res_adrg = adrg_;
  result_.res_drg = 0;
  result_.res_drg_code = {'B', '0', '1', 'A', '1', 'C'};
  EXPECT_EQ(row(1, tables_, values_, result_), "1\t01 \tB01A\t\t0\t\t\t0000\t25\t9191\t\n");
}

TEST_F(ResultTable, IndexPastItsListGivesAnEmptyText) {
  result_.res_mdc = static_cast<int16_t>(tables_.mdc_code.size());
  result_.res_adrg = 32767;
  EXPECT_EQ(row(1, tables_, values_, result_), "1\t\t\t\t0\t\t\t0000\t25\t9191\t\n");
}

TEST_F(ResultTable, RowBreakingBytesInCodesAreEscaped) {
  testing::TableBuilder b;
  int16_t m = b.mdc("a\tb");
  int16_t a = b.adrg("\n\\\r ");
  TableStore t = b.build();
  result_.res_mdc = m;
  result_.res_adrg = a;
  const std::string r = row(1, t, values_, result_);
  EXPECT_EQ(r, "1\ta\\tb\t\\n\\\\\\r \t\t0\t\t\t0000\t25\t9191\t\n");
}


// A client that keeps the findings apart (the database's findings array)
// writes each with put_finding: joined by ";" they are the column, escapes
// and the count left out included, and the longest finding fits its bound.
TEST(ResultRow, FindingsOneByOneJoinToTheFindingsColumn) {
  using episode_grouper::Finding;
  using episode_grouper::FindingCode;
  using episode_grouper::RecordField;
  episode_grouper::Findings findings;
  findings.add(Finding{FindingCode::kDxCompleted, 46, RecordField::kNone, {'K', ';', '>', '\\', ' '}, {'K', '3', '5', '0', '\t'}});
  findings.add(Finding{FindingCode::kWeightLosUnreadable, 0, RecordField::kBirthDate, {}, {}});
  findings.add(Finding{FindingCode::kNoMdc, 0, RecordField::kNone, {}, {}});
  findings.dropped = 7;
  TableStore tables = testing::TableBuilder().build();
  Result result;
  char out[kMaxResultRowBytes];
  const std::string row(out, format_result_row(1, tables, result, findings, out));
  const std::string column = row.substr(row.rfind('\t') + 1, row.size() - row.rfind('\t') - 2);

  std::string joined;
  for (size_t i = 0; i < findings.count; ++i) {
    char one[kMaxFindingBytes];
    char* end = put_finding(one, findings.items[i]);
    ASSERT_LE(static_cast<size_t>(end - one), kMaxFindingBytes);
    joined.append(one, static_cast<size_t>(end - one)).push_back(';');
  }
  char more[32];
  joined.append(more, static_cast<size_t>(put_more_findings(more, findings.dropped) - more));
  EXPECT_EQ(joined, column);
  EXPECT_EQ(column, "dx_completed@46:K\\;\\>\\\\>K350\\t;weight_los_unreadable@birth_date;no_mdc;more:7");
}


// The largest row a record can give: every code text escaped byte for byte,
// the most findings with the longest names, fields and texts, a count of
// findings left out, and the weight columns.  It must fit the buffers that
// the writers are given.
TEST(ResultRow, TheLargestRowFitsItsBuffer) {
  TableStore tables = testing::TableBuilder().build();
  tables.mdc_code.assign(2, Code3{'\\', '\\', '\\'});
  tables.adrg_code.assign(2, Code4{'\\', '\\', '\\', '\\'});
  Result result;
  result.values.age_yy = INT16_MIN;
  result.values.age_dd = INT32_MIN;
  result.res_mdc = 1;
  result.res_adrg = 1;
  result.res_drg = 1;
  result.res_pccl = 4;
  result.res_drg_code.fill('\t');
  result.res_ccl_raw.fill('\n');
  result.res_ccl_excl.fill('\r');
  result.res_ltcdrg_code.fill('\\');
  size_t longest_name = 0;
  episode_grouper::FindingCode longest{};
  for (int c = 0; c < episode_grouper::kFindingCodes; ++c) {
    const auto code = static_cast<episode_grouper::FindingCode>(c);
    if (episode_grouper::finding_name(code).size() > longest_name) {
      longest_name = episode_grouper::finding_name(code).size();
      longest = code;
    }
  }
  episode_grouper::Findings findings;
  episode_grouper::Finding f;
  f.code = longest;
  f.position = 46;
  f.field = episode_grouper::RecordField::kBirthDate;
  f.text.fill(';');
  f.to.fill('>');
  for (size_t i = 0; i < episode_grouper::kMaxFindings + 255; ++i) findings.add(f);
  episode_grouper::EpisodeWeight weight;
  weight.has_weight = true;
  weight.weight = weight.effective = INT64_MAX;
  weight.los_class = episode_grouper::LosClass::kInlier;

  std::vector<char> out(2 * kMaxJsonRowBytes);
  const size_t row = format_result_row(INT64_MIN, tables, result, findings, out.data(), &weight);
  EXPECT_LE(row, kMaxResultRowBytes);
  const size_t json = format_json_row(INT64_MIN, tables, result, findings, out.data(), &weight);
  EXPECT_LE(json, kMaxJsonRowBytes);
}

}  // namespace
}  // namespace grouper
