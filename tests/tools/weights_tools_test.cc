// The generated weight catalogue and verify --weights: a generated
// catalogue loads, covers every DRG of its set and grows with the split;
// verify finds each kind of problem a catalogue can have against a set.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>

#include "episode_grouper/weights.h"
#include "generate_tables.h"
#include "generate_weights.h"
#include "support/run_program.h"
#include "verify_report.h"
#include "verify_weights.h"
#include "weights/weight_drgs.h"

namespace grouper::tools {
namespace {

TEST(GeneratedWeights, CoverEverySetDrgOnEveryDateAndGrowWithTheSplit) {
  const SyntheticSet set = generate_tables(*find_profile("small"), 9);
  const std::string text = generate_weights(set.tables, 9);
  EXPECT_EQ(generate_weights(set.tables, 9), text);
  episode_grouper::Status error;
  const auto catalogue = episode_grouper::WeightCatalogue::parse(text, "weights.tsv", error);
  ASSERT_TRUE(catalogue) << error.message;
  EXPECT_TRUE(unknown_weight_drgs(*catalogue, set.tables).empty());
  Report report;
  check_weights(*catalogue, set.tables, report);
  EXPECT_TRUE(report.clean()) << report.text();

  // Within one DRG code and window, a higher split never weighs less.
  std::map<std::string, int64_t> last;
  int two_windows = 0;
  for (const episode_grouper::WeightRow& row : catalogue->rows()) {
    EXPECT_GE(row.high_trim, row.low_trim);
    two_windows += row.valid_from == 20060101;
    const std::string key = row.drg.substr(0, 5) + "@" + std::to_string(row.valid_from);
    if (last.count(key)) {
      EXPECT_GE(row.weight, last[key]) << row.drg;
    }
    last[key] = row.weight;
  }
  EXPECT_GT(two_windows, 0);
}

TEST(VerifyWeights, FindsMissingRowsGapsAndUnknownDrgs) {
  const std::filesystem::path dir = grouper::testing::fresh_dir("verify-weights");
  const std::string tool = GROUPER_TABLES_BINARY;
  ASSERT_EQ(grouper::testing::run_program(tool, dir, "generate --seed 4 --episodes 10 set").exit_code, 0);
  auto verify = [&](const std::string& weights) {
    return grouper::testing::run_program(tool, dir, "verify --weights " + weights + " set");
  };
  EXPECT_EQ(verify("set/weights.tsv").exit_code, 0);

  // Every row of one DRG text gone, a gap cut into another's, an unknown DRG.
  const SyntheticSet set = generate_tables(*find_profile("small"), 4);
  const std::vector<std::string> texts = drg_texts(set.tables);
  ASSERT_GE(texts.size(), 2u);
  std::string text = grouper::testing::read_file(dir / "set" / "weights.tsv");
  std::string kept;
  for (size_t at = 0, end; at < text.size(); at = end + 1) {
    end = text.find('\n', at);
    const std::string line = text.substr(at, end - at);
    if (line.rfind(texts[0] + "\t", 0) == 0 || line.rfind(texts[1] + "\t", 0) == 0) continue;
    kept += line + "\n";
  }
  kept += texts[1] + "\t\t20041231\t1\t\t\t\t\n" + texts[1] + "\t20050102\t\t1\t\t\t\t\n" + "ZZ99Z9\t\t\t1\t\t\t\t\n";
  grouper::testing::write_file(dir / "edited.tsv", kept);
  const auto run = verify("edited.tsv");
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_NE(run.out.find("DRG '" + texts[0] + "' of the table set has no weight row"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("DRG '" + texts[1] + "' has no weight from 20050101 to the day before 20050102"),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("DRG 'ZZ99Z9' is not a DRG the table set gives"), std::string::npos) << run.out;

  grouper::testing::write_file(dir / "broken.tsv", "drg\tweight\n");
  const auto broken = verify("broken.tsv");
  EXPECT_EQ(broken.exit_code, 2);
  EXPECT_EQ(broken.out, "broken.tsv:1: missing column 'valid_from'\n");
}

}  // namespace
}  // namespace grouper::tools
