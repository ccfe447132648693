// On the demo table set, the detailed result file and the result lines tell
// the same story: one row per record, the same ADRG and supplementary code.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "support/run_program.h"

namespace grouper {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> split(const std::string& text, char sep) {
  std::vector<std::string> parts;
  std::string part;
  std::istringstream in(text);
  while (std::getline(in, part, sep)) parts.push_back(part);
  return parts;
}

TEST(DemoSet, ResultFileAgreesWithTheResultLines) {
  const fs::path dir = testing::fresh_dir("demo-results");
  // The demo's own set: the small profile, seed 2005, 3000 episodes.
  ASSERT_EQ(testing::run_program(GROUPER_TABLES_BINARY, dir, "generate --seed 2005 --episodes 3000 demo").exit_code,
            0);
  ASSERT_EQ(testing::run_grouper(dir, "-C demo --results results.tsv").exit_code, 0);

  const std::vector<std::string> lines = split(testing::read_file(dir / "demo" / "tamv30.out"), '\n');
  const std::vector<std::string> rows = split(testing::read_file(dir / "demo" / "results.tsv"), '\n');
  ASSERT_EQ(lines.size(), 3000u);
  ASSERT_EQ(rows.size(), lines.size() + 1) << "a header row and one row per record";
  EXPECT_EQ(rows[0], "record\tmdc\tadrg\tdrg\tpccl\tccl_raw\tccl_excl\tsupplementary\tage_yy\tage_dd\tfindings");

  size_t grouped = 0;
  for (size_t i = 0; i < lines.size(); ++i) {
    ASSERT_EQ(lines[i].size(), 300u);
    const std::vector<std::string> cols = split(rows[i + 1] + "\t", '\t');
    ASSERT_EQ(cols.size(), 11u) << rows[i + 1];
    EXPECT_EQ(cols[0], std::to_string(i + 1));
    const std::string adrg = lines[i].substr(277, 4);
    EXPECT_EQ(cols[2], adrg == "0000" ? "" : adrg) << "record " << i + 1;
    EXPECT_EQ(cols[7], lines[i].substr(296, 4)) << "record " << i + 1;
    if (!cols[2].empty()) {
      ++grouped;
      EXPECT_FALSE(cols[4].empty()) << "a grouped record has a PCCL";
      EXPECT_EQ(cols[5].size(), 10u);
      EXPECT_EQ(cols[6].size(), 10u);
    } else {
      EXPECT_TRUE(cols[3].empty() && cols[4].empty() && cols[5].empty() && cols[6].empty());
      // The demo's episodes without a group are those no first-pass rule takes.
      EXPECT_NE(cols[10].find("no_mdc"), std::string::npos) << "record " << i + 1;
    }
  }
  EXPECT_GT(grouped, 2700u) << "the demo set groups most of its episodes";
}

}  // namespace
}  // namespace grouper
