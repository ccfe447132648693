// The explanation is the grouping itself: on generated sets, for every
// record, the result the explanation gives is the one the grouping gives,
// although the explained rule passes go through the full scan and the
// grouped ones through the rule index.
#include <gtest/gtest.h>

#include <string>

#include "episode_grouper/explain.h"
#include "episode_grouper/grouper.h"
#include "generate_episodes.h"
#include "generate_profile.h"
#include "generate_tables.h"
#include "support/run_program.h"
#include "tables/table_writer.h"

namespace grouper {
namespace {

namespace eg = episode_grouper;

void expect_same_results(const char* profile, uint64_t seed, int records) {
  const tools::SyntheticSet s = tools::generate_tables(*tools::find_profile(profile), seed);
  testing::ScratchDir dir(std::string("explain-equivalence-") + profile);
  std::string error;
  ASSERT_TRUE(write_tables(s.tables, dir.path(), error)) << error;
  eg::Status open_error;
  auto tables = eg::TableSet::open(dir.path(), open_error);
  ASSERT_NE(tables, nullptr) << open_error.message;
  eg::Grouper g(tables);
  tools::EpisodeMaker maker(s.model, seed);
  std::string line(tools::kEpisodeWidth, ' ');
  int with_drg = 0;
  for (int i = 1; i <= records; ++i) {
    maker.make(static_cast<uint64_t>(i), line.data());
    eg::Result explained;
    eg::explain(*tables, line, eg::ExplainFormat::kText, &explained);
    const eg::Result& r = g.group(line);
    SCOPED_TRACE(std::string(profile) + " seed " + std::to_string(seed) + " record " + std::to_string(i));
    ASSERT_EQ(explained.code_ids, r.code_ids);
    ASSERT_EQ(explained.res_mdc, r.res_mdc);
    ASSERT_EQ(explained.res_adrg, r.res_adrg);
    ASSERT_EQ(explained.res_drg, r.res_drg);
    ASSERT_EQ(explained.res_drg_code, r.res_drg_code);
    ASSERT_EQ(explained.pos_ccl, r.pos_ccl);
    ASSERT_EQ(explained.res_pccl, r.res_pccl);
    ASSERT_EQ(explained.res_ccl_excl, r.res_ccl_excl);
    ASSERT_EQ(explained.res_ltcdrg, r.res_ltcdrg);
    ASSERT_EQ(explained.findings.count, r.findings.count);
    for (size_t k = 0; k < r.findings.count; ++k) ASSERT_EQ(explained.findings.items[k].code, r.findings.items[k].code);
    with_drg += r.res_drg != 0;
  }
  EXPECT_GT(with_drg, records / 2);
}

TEST(ExplainEquivalence, GivesTheGroupedResultOnGeneratedSets) {
  for (uint64_t seed = 1; seed <= 3; ++seed) expect_same_results("small", seed, 400);
  expect_same_results("realistic", 5, 400);
  expect_same_results("heavy", 5, 200);
}

}  // namespace
}  // namespace grouper
