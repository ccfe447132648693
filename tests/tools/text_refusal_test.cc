// Text that cannot be built is refused with its file, line and column, and
// nothing is written.
#include <filesystem>

#include "gtest/gtest.h"
#include "support/run_program.h"
#include "text_test_sets.h"

namespace grouper::testing {
namespace {

namespace fs = std::filesystem;

// Tdag_ast of the sample set as a person might write it (line numbers on
// the right).
constexpr std::string_view kDag =
    "@keys\n"                                       // 1
    "key\tdag_ast_fr\tdag_ast_to\n"                 // 2
    "0\t0\t0\n1\t0\t0\n2\t0\t0\n3\t0\t0\n"          // 3..6
    "4\t0\t1\n"                                     // 7
    "@rows\n"                                       // 8
    "row\tdag_adpt_fr_dt\tdag_adpt_to_dt\tdag_ast\n"  // 9
    "0\t20000101\t99991231\t2\n";                   // 10

std::string with_line(std::string_view text, int line_no, std::string_view line) {
  std::string out;
  int n = 0;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    ++n;
    out += n == line_no ? std::string(line) : std::string(text.substr(pos, end - pos));
    out += '\n';
    pos = end + 1;
  }
  return out;
}

class TextRefusal : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fresh_dir("refusal");
    write_set(sample_builder().build(), dir_ / "set");
    std::string message;
    ASSERT_EQ(tools::dump_table_set(dir_ / "set", dir_ / "text", message), 0) << message;
    write_file(dir_ / "text" / "Tdag_ast.tsv", std::string(kDag));
  }

  // Builds with `file` replaced by `text`; expects a refusal that wrote
  // nothing and returns its message with the text directory left off.
  std::string refusal(const std::string& file, const std::string& text) {
    write_file(dir_ / "text" / file, text);
    std::string message;
    EXPECT_EQ(tools::build_table_set(dir_ / "text", dir_ / "out", message), tools::kExitFailed);
    EXPECT_FALSE(fs::exists(dir_ / "out"));
    for (const auto& entry : fs::directory_iterator(dir_)) {
      std::string name = entry.path().filename().string();
      EXPECT_TRUE(name == "set" || name == "text") << "left behind: " << name;
    }
    std::string prefix = (dir_ / "text").string() + "/";
    if (message.compare(0, prefix.size(), prefix) == 0) message.erase(0, prefix.size());
    return message;
  }

  fs::path dir_;
};

TEST_F(TextRefusal, TheStartingPointBuilds) {
  std::string message;
  EXPECT_EQ(tools::build_table_set(dir_ / "text", dir_ / "out", message), 0) << message;
}

TEST_F(TextRefusal, BadNumbers) {
  EXPECT_EQ(refusal("Tdag_ast.tsv", with_line(kDag, 7, "4\t0\t1x")),
            "Tdag_ast.tsv:7:5: bad number '1x': expected an integer from -2147483648 to 2147483647\n");
  EXPECT_EQ(refusal("Tdag_ast.tsv", with_line(kDag, 10, "0\t20000101\t99991231\t40000")),
            "Tdag_ast.tsv:10:21: bad number '40000': expected an integer from -32768 to 32767\n");
  EXPECT_EQ(refusal("Tdag_ast.tsv", with_line(kDag, 7, "4\t\t1")),
            "Tdag_ast.tsv:7:3: bad number '': expected an integer from -2147483648 to 2147483647\n");
}

TEST_F(TextRefusal, LineNumbersOutOfOrder) {
  EXPECT_EQ(refusal("Tdag_ast.tsv", with_line(kDag, 4, "2\t0\t0")),
            "Tdag_ast.tsv:4:1: line number 2 where 1 was expected (lines count from 0 in order)\n");
  EXPECT_EQ(refusal("Tdag_ast.tsv", with_line(kDag, 4, "one\t0\t0")), "Tdag_ast.tsv:4:1: bad line number 'one'\n");
}

TEST_F(TextRefusal, DatesThatAreNotDates) {
  for (std::string_view bad : {"20050230", "2005-01-01", "#x", "2005010"}) {
    EXPECT_EQ(refusal("Tdag_ast.tsv", with_line(kDag, 10, "0\t" + std::string(bad) + "\t99991231\t2")),
              "Tdag_ast.tsv:10:3: not a date: '" + std::string(bad) +
                  "': expected YYYYMMDD, or '#' and the stored number\n");
  }
}

TEST_F(TextRefusal, CodesLongerThanTheirWidthOrBadlyEscaped) {
  const std::string mdc = "@codes\nindex\tmdc_code\n0\t\\0\\0\\0\n1\tPRE\n";
  EXPECT_EQ(refusal("Tmdc.idx.tsv", mdc + "2\tABCD\n"), "Tmdc.idx.tsv:5:3: code 'ABCD' is longer than 3 characters\n");
  EXPECT_EQ(refusal("Tmdc.idx.tsv", mdc + "2\t06\\q\n"),
            "Tmdc.idx.tsv:5:5: bad escape (known: \\0 \\t \\n \\r \\\\ \\xNN)\n");
  EXPECT_EQ(refusal("Tmdc.idx.tsv", mdc + "2\t\\0\\0\\0\\0\n"),
            "Tmdc.idx.tsv:5:3: code '\\0\\0\\0\\0' is longer than 3 characters\n");
}

TEST_F(TextRefusal, MissingAndSurplusColumns) {
  EXPECT_EQ(refusal("Tdag_ast.tsv", with_line(kDag, 9, "row\tdag_adpt_fr_dt\tdag_ast")),
            "Tdag_ast.tsv:9:27: missing column 'dag_adpt_to_dt'\n");
  EXPECT_EQ(refusal("Tdag_ast.tsv", with_line(kDag, 10, "0\t20000101\t99991231")),
            "Tdag_ast.tsv:10:20: missing column 'dag_ast' (the header names 4 columns)\n");
  EXPECT_EQ(refusal("Tdag_ast.tsv", with_line(kDag, 10, "0\t20000101\t99991231\t2\t9")),
            "Tdag_ast.tsv:10:23: more fields than the header's 4 columns\n");
  EXPECT_EQ(refusal("Tdag_ast.tsv", with_line(kDag, 2, "key\tdag_ast_fr\tdag_ast_to\tdag_ast_fr")),
            "Tdag_ast.tsv:2:27: column 'dag_ast_fr' appears twice\n");
  EXPECT_EQ(refusal("Tdag_ast.tsv", with_line(kDag, 2, "key\tdag_ast_from\tdag_ast_to")),
            "Tdag_ast.tsv:2:5: unknown column 'dag_ast_from' (section @keys has key, dag_ast_fr, dag_ast_to)\n");
}

TEST_F(TextRefusal, SectionsUnknownRepeatedMissingOrAbsent) {
  EXPECT_EQ(refusal("Tdag_ast.tsv", with_line(kDag, 8, "@row")),
            "Tdag_ast.tsv:8:1: unknown section '@row' (this file has @keys, @rows)\n");
  EXPECT_EQ(refusal("Tdag_ast.tsv", with_line(kDag, 8, "@keys")), "Tdag_ast.tsv:8:1: section @keys appears twice\n");
  EXPECT_EQ(refusal("Tdag_ast.tsv", std::string(kDag.substr(0, kDag.find("@rows")))),
            "Tdag_ast.tsv:8:1: missing section @rows\n");
  EXPECT_EQ(refusal("Tdag_ast.tsv", "# no section yet\n0\t0\t0\n"),
            "Tdag_ast.tsv:2:1: a line outside any section (sections start with '@')\n");
  EXPECT_EQ(refusal("Tdag_ast.tsv", with_line(kDag, 1, "@keys\tccl_adrg_cnt=3")),
            "Tdag_ast.tsv:1:7: unknown setting 'ccl_adrg_cnt=3' on a section line\n");
  write_file(dir_ / "text" / "Tdag_ast.tsv", std::string(kDag));
  fs::remove(dir_ / "text" / "Tccedit.tsv");
  std::string message;
  EXPECT_EQ(tools::build_table_set(dir_ / "text", dir_ / "out", message), tools::kExitFailed);
  EXPECT_EQ(message, (dir_ / "text" / "Tccedit.tsv").string() + ": cannot read\n");
  EXPECT_FALSE(fs::exists(dir_ / "out"));
}

TEST_F(TextRefusal, TheMatrixNeedsItsRowLengthAndFullColumns) {
  const std::string head =
      "@keys\nkey\tdx_ccl_fr\tdx_ccl_to\n0\t0\t0\n1\t0\t0\n2\t0\t0\n3\t0\t0\n4\t0\t0\n"  // 1..7
      "@rows\nrow\tccl_adpt_fr_dt\tccl_adpt_to_dt\tccl_col\n";                            // 8, 9
  EXPECT_EQ(refusal("Tccl.tsv", head + "@matrix\ncolumn\tlevels by adrg index\n"),
            "Tccl.tsv:10:8: missing ccl_adrg_cnt=N on the @matrix line\n");
  EXPECT_EQ(refusal("Tccl.tsv", head + "@matrix\tccl_adrg_cnt=3x\ncolumn\tlevels by adrg index\n"),
            "Tccl.tsv:10:22: bad number '3x': expected a count from 0 to 65535\n");
  EXPECT_EQ(refusal("Tccl.tsv", head + "@matrix\tccl_adrg_cnt=3\ncolumn\tlevels by adrg index\n0\t000\n1\t00\n"),
            "Tccl.tsv:13:3: 2 levels where ccl_adrg_cnt=3 asks for 3\n");
}

TEST_F(TextRefusal, RuleSlotsBeyondTen) {
  const std::string rules =
      "@slots\nmdc\tmdc_rule_fr\tmdc_rule_to\n0\t0\t0\n1\t0\t1\n2\t1\t1\n"
      "@rules\nrule\trule_adpt_fr_dt\trule_adpt_to_dt\tmust\tmust_not\trule_mdc\trule_adrg\n";  // 6, 7
  EXPECT_EQ(refusal("Tadrg.tsv", rules + "0\t#0\t99991231\t1 2 3 4 5 6 7 8 9 10 11\t\t2\t0\n"),
            "Tadrg.tsv:8:36: more than 10 condition slots\n");
  EXPECT_EQ(refusal("Tadrg.tsv", rules + "0\t#0\t99991231\t1\t2 x\t2\t0\n"),
            "Tadrg.tsv:8:19: bad condition id 'x': expected an integer from -32768 to 32767\n");
  std::string message;
  write_file(dir_ / "text" / "Tadrg.tsv", rules + "0\t#0\t99991231\t  1  2 \t\t2\t0\n");
  EXPECT_EQ(tools::build_table_set(dir_ / "text", dir_ / "out", message), 0) << message;
  EXPECT_EQ(load_set(dir_ / "out").tadrg.rule_cond[0], (RuleConds{1, 2}));
}

TEST_F(TextRefusal, MoreLinesThanACountCanHold) {
  std::string mdc = "@codes\nindex\tmdc_code\n";
  for (int i = 0; i <= 65535; ++i) mdc += std::to_string(i) + "\tX\n";
  EXPECT_EQ(refusal("Tmdc.idx.tsv", mdc), "Tmdc.idx.tsv:65538:1: more than 65535 lines in section @codes\n");
}

TEST_F(TextRefusal, AnExistingTableSetStaysAsItWas) {
  write_set(TableBuilder().build(), dir_ / "out");
  const std::string before = read_file(dir_ / "out" / "Tdx.idx");
  write_file(dir_ / "text" / "Tdag_ast.tsv", with_line(kDag, 7, "4\t0\t1x"));
  std::string message;
  EXPECT_EQ(tools::build_table_set(dir_ / "text", dir_ / "out", message), tools::kExitFailed);
  EXPECT_EQ(read_file(dir_ / "out" / "Tdx.idx"), before);
  // Good text then replaces the files in place.
  write_file(dir_ / "text" / "Tdag_ast.tsv", std::string(kDag));
  EXPECT_EQ(tools::build_table_set(dir_ / "text", dir_ / "out", message), 0) << message;
  EXPECT_NE(read_file(dir_ / "out" / "Tdx.idx"), before);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 3);
}

TEST_F(TextRefusal, AnOutputPathThatIsAFileIsRefused) {
  write_file(dir_ / "out", "not a directory");
  std::string message;
  EXPECT_EQ(tools::build_table_set(dir_ / "text", dir_ / "out", message), tools::kExitFailed);
  EXPECT_EQ(message, (dir_ / "out").string() + ": exists and is not a directory\n");
  EXPECT_EQ(read_file(dir_ / "out"), "not a directory");
}

}  // namespace
}  // namespace grouper::testing
