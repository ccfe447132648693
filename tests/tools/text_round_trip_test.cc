// dump then build gives back every count and every array byte.
#include <filesystem>
#include <fstream>

#include "gtest/gtest.h"
#include "support/run_program.h"
#include "tables/store_compare.h"
#include "generate_tables.h"
#include "text_test_sets.h"

namespace grouper::testing {
namespace {

namespace fs = std::filesystem;

// Round trip of `store`: the built files equal the written ones byte for byte.
::testing::AssertionResult SurvivesRoundTrip(const TableStore& store, const std::string& name) {
  const fs::path dir = fresh_dir(name);
  write_set(store, dir / "set");
  RoundTrip r = round_trip(dir / "set", dir / "text", dir / "out");
  if (r.dump_rc != 0) return ::testing::AssertionFailure() << "dump: " << r.dump_message;
  if (r.build_rc != 0) return ::testing::AssertionFailure() << "build: " << r.build_message;
  for (const FileSpec& f : load_plan()) {
    if (read_file(dir / "set" / f.name) != read_file(dir / "out" / f.name)) {
      return ::testing::AssertionFailure() << f.name << " differs";
    }
  }
  return SameStore(load_set(dir / "out"), store);
}

TEST(TextRoundTrip, HandMadeSets) {
  EXPECT_TRUE(SurvivesRoundTrip(TableBuilder().build(), "rt-empty-builder"));
  EXPECT_TRUE(SurvivesRoundTrip(sample_builder().build(), "rt-sample"));
  TableBuilder wide = sample_builder();
  wide.ccl_columns(40);
  for (int i = 0; i < 300; ++i) wide.dx(std::to_string(1000 + i) + "Z");
  wide.cond_count(2000);
  EXPECT_TRUE(SurvivesRoundTrip(wide.build(), "rt-wide"));
}

TEST(TextRoundTrip, GeneratedSetsOfSeveralSeeds) {
  const tools::Profile* small = tools::find_profile("small");
  ASSERT_NE(small, nullptr);
  for (uint64_t seed : {1u, 2u, 3u, 20050515u}) {
    EXPECT_TRUE(SurvivesRoundTrip(tools::generate_tables(*small, seed).tables, "rt-generated")) << "seed " << seed;
  }
}

TEST(TextRoundTrip, AGeneratedSetOfRealisticSize) {
  const tools::Profile* realistic = tools::find_profile("realistic");
  ASSERT_NE(realistic, nullptr);
  EXPECT_TRUE(SurvivesRoundTrip(tools::generate_tables(*realistic, 7).tables, "rt-realistic"));
}

TEST(TextRoundTrip, OddBytesNegativeNumbersAndDatesThatAreNotDates) {
  EXPECT_TRUE(SurvivesRoundTrip(odd_store(), "rt-odd"));
}

TEST(TextRoundTrip, EveryTableEmpty) {
  TableStore s;
  s.ccl_adrg_cnt = 0;
  EXPECT_TRUE(SurvivesRoundTrip(s, "rt-all-empty"));
}

TEST(TextRoundTrip, AMatrixWithoutColumnsKeepsItsRowLength) {
  TableStore s = sample_builder().build();
  s.ccl_matrix.clear();
  s.ccl_col_cnt = 0;  // ccl_adrg_cnt stays the ADRG count
  ASSERT_GT(s.ccl_adrg_cnt, 0);
  EXPECT_TRUE(SurvivesRoundTrip(s, "rt-no-columns"));
}

TEST(TextRoundTrip, ScrambledContentsOfEveryArray) {
  for (unsigned seed : {1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u}) {
    EXPECT_TRUE(SurvivesRoundTrip(scrambled_store(seed), "rt-scrambled")) << "seed " << seed;
  }
}

TEST(TextRoundTrip, HeaderBytesBeyondTheCountsAndTrailingBytesAreNormalised) {
  const fs::path dir = fresh_dir("rt-normalised");
  const TableStore store = sample_builder().build();
  write_set(store, dir / "set");
  for (const FileSpec& f : load_plan()) {
    std::string bytes = read_file(dir / "set" / f.name);
    for (size_t i = 0; i < 9 && bytes[i] == '0'; ++i) bytes[i] = ' ';  // leading blanks instead of zeros
    bytes.replace(60, 10, "vendor tag");
    write_file(dir / "set" / f.name, bytes + "trailer");
  }
  RoundTrip r = round_trip(dir / "set", dir / "text", dir / "out");
  ASSERT_EQ(r.dump_rc, 0) << r.dump_message;
  ASSERT_EQ(r.build_rc, 0) << r.build_message;
  EXPECT_TRUE(SameStore(load_set(dir / "out"), store));
}

TEST(TextRoundTrip, HandEditedTextBuildsWhatItSays) {
  const fs::path dir = fresh_dir("rt-hand-edited");
  write_set(sample_builder().build(), dir / "set");
  std::string message;
  ASSERT_EQ(tools::dump_table_set(dir / "set", dir / "text", message), 0);
  // Columns in another order, shown columns dropped or wrong, comments and
  // CR LF line ends.
  write_file(dir / "text" / "Tdag_ast.tsv",
             "# edited by hand\r\n"
             "@rows\r\n"
             "dag_ast\trow\t(anything)\tdag_adpt_to_dt\tdag_adpt_fr_dt\r\n"
             "3\t0\tNOT A CODE\t20051231\t#0\r\n"
             "\n"
             "@keys\n"
             "key\tdag_ast_to\tdag_ast_fr\n"
             "0\t0\t0\n1\t0\t0\n2\t0\t0\n3\t0\t0\n4\t1\t0\n");
  ASSERT_EQ(tools::build_table_set(dir / "text", dir / "out", message), 0) << message;
  TableStore s = load_set(dir / "out");
  EXPECT_EQ(s.dag_row_cnt, 1);
  EXPECT_EQ(s.dag_ast, std::vector<int16_t>{3});
  EXPECT_EQ(s.dag_adpt_fr_dt, std::vector<int32_t>{0});
  EXPECT_EQ(s.dag_adpt_to_dt, std::vector<int32_t>{20051231});
  EXPECT_EQ(s.dag_ast_to, (std::vector<int32_t>{0, 0, 0, 0, 1}));
}

TEST(TextRoundTrip, ShortCodesArePaddedWithBlanks) {
  const fs::path dir = fresh_dir("rt-padding");
  write_set(sample_builder().build(), dir / "set");
  std::string message;
  ASSERT_EQ(tools::dump_table_set(dir / "set", dir / "text", message), 0);
  write_file(dir / "text" / "Tmdc.idx.tsv", "@codes\nindex\tmdc_code\n0\t\\0\\0\\0\n1\tP\n2\t\n");
  ASSERT_EQ(tools::build_table_set(dir / "text", dir / "out", message), 0) << message;
  TableStore s = load_set(dir / "out");
  ASSERT_EQ(s.mdc_code.size(), 3u);
  EXPECT_EQ(std::string(s.mdc_code[1].data(), 3), "P  ");
  EXPECT_EQ(std::string(s.mdc_code[2].data(), 3), "   ");
}

TEST(TextRoundTrip, ACountMismatchIsBuiltWithAWarning) {
  const fs::path dir = fresh_dir("rt-mismatch");
  write_set(sample_builder().build(), dir / "set");
  std::string message;
  ASSERT_EQ(tools::dump_table_set(dir / "set", dir / "text", message), 0);
  write_file(dir / "text" / "Tmdc.idx.tsv", "@codes\nindex\tmdc_code\n0\t\n1\tPRE\n");
  ASSERT_EQ(tools::build_table_set(dir / "text", dir / "out", message), 0) << message;
  EXPECT_EQ(message, "warning: Tadrg1: mdc_slot_cnt 3 differs from mdc_cnt 2; the grouper will refuse this table set\n");
  TableStore s;
  std::string loader_messages;
  EXPECT_EQ(load_tables(dir / "out", s, loader_messages), kLoadCountMismatch);
}

}  // namespace
}  // namespace grouper::testing
