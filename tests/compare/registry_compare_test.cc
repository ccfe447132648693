// compare over two registries of table versions: each side groups a record
// with its version of the record's date.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "generate_episodes.h"
#include "generate_profile.h"
#include "generate_tables.h"
#include "support/run_program.h"
#include "tables/table_writer.h"

namespace grouper {
namespace {

namespace fs = std::filesystem;

TEST(RegistryCompare, EachSideGroupsARecordWithItsVersionOfTheDate) {
  testing::ScratchDir dir("registry-compare");
  const fs::path d = dir.path();
  tools::SyntheticSet a = tools::generate_tables(*tools::find_profile("small"), 21);
  tools::SyntheticSet b = tools::generate_tables(*tools::find_profile("small"), 22);
  std::string error;
  for (const auto& [name, set] : {std::pair{"a", &a}, std::pair{"b", &b}}) {
    fs::create_directories(d / name);
    ASSERT_TRUE(write_tables(set->tables, d / name, error)) << error;
  }
  std::FILE* out = std::fopen((d / "episodes.txt").c_str(), "wb");
  ASSERT_TRUE(out);
  ASSERT_TRUE(tools::write_episodes(a.model, 5, 1500, out));
  std::fclose(out);
  // The old side keeps a for every date; the new one takes b from 2006 on.
  testing::write_file(d / "old.tsv", "name\tdirectory\tvalid_from\tvalid_to\na\ta\t\t\n");
  testing::write_file(d / "new.tsv", "name\tdirectory\tvalid_from\tvalid_to\na\ta\t\t20051231\nb\tb\t20060101\t\n");
  testing::ProgramRun sets = testing::run_grouper(
      d, "compare --tables a --tables b --input episodes.txt --output sets.tsv --summary-file sets.txt");
  ASSERT_EQ(sets.exit_code, 0) << sets.err;
  testing::ProgramRun registries = testing::run_grouper(
      d, "compare --registry old.tsv --registry new.tsv --input episodes.txt --output reg.tsv --threads 2 "
         "--summary-file reg.txt");
  ASSERT_EQ(registries.exit_code, 0) << registries.err;

  // The registries' differences are those of the records from 2006 on.
  const std::string episodes = testing::read_file(d / "episodes.txt");
  const std::string rows = testing::read_file(d / "sets.tsv");
  std::string expected = rows.substr(0, rows.find('\n') + 1);
  for (size_t start = expected.size(); start < rows.size();) {
    const size_t end = rows.find('\n', start) + 1;
    const std::string row = rows.substr(start, end - start);
    const size_t record = std::stoul(row);
    if (episodes.substr((record - 1) * 274 + 21, 4) >= "2006") expected += row;
    start = end;
  }
  EXPECT_EQ(testing::read_file(d / "reg.tsv"), expected);
  EXPECT_GT(expected.size(), rows.find('\n') + 1);
  EXPECT_LT(expected.size(), rows.size());
  EXPECT_NE(testing::read_file(d / "reg.txt").find("old tables  old.tsv\nnew tables  new.tsv\n"), std::string::npos);

  testing::ProgramRun mixed = testing::run_grouper(d, "compare --tables a --registry new.tsv --input episodes.txt");
  EXPECT_EQ(mixed.exit_code, 2);
}

}  // namespace
}  // namespace grouper
