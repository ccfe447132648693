// A registry of table versions: what loading refuses, with the file and
// line, and which version a record takes by its date.
#include <gtest/gtest.h>

#include <string>

#include "episode_grouper/table_registry.h"
#include "support/alloc_probe.h"
#include "support/run_program.h"
#include "support/table_builder.h"
#include "support/varied_tables.h"

namespace grouper {
namespace {

namespace fs = std::filesystem;
using episode_grouper::Status;
using episode_grouper::StatusKind;
using episode_grouper::TableRegistry;

// A directory holding a loadable set in a/, b/ and c/, and an empty one,
// empty/, beside the registry file.
fs::path registry_dir(const std::string& name) {
  const fs::path dir = testing::fresh_dir("registry-" + name);
  for (const char* set : {"a", "b", "c"}) testing::varied_tables().write(dir / set);
  fs::create_directories(dir / "empty");
  return dir;
}

constexpr const char* kHeader = "name\tdirectory\tvalid_from\tvalid_to\n";

struct Refused {
  const char* what;
  std::string text;  // the registry file
  int line;          // the line the message names
  const char* says;  // part of the message
};

class RegistryRefuses : public ::testing::TestWithParam<Refused> {};

TEST_P(RegistryRefuses, WithTheFileAndLine) {
  const Refused& r = GetParam();
  const fs::path dir = registry_dir(std::string("refuses-") + r.what);
  testing::write_file(dir / "registry.tsv", r.text);
  Status error;
  EXPECT_EQ(TableRegistry::open(dir / "registry.tsv", error), nullptr);
  EXPECT_EQ(error.kind, StatusKind::kRegistry);
  EXPECT_EQ(error.line, r.line);
  const std::string where = (dir / "registry.tsv").string() + ":" + std::to_string(r.line) + ": ";
  EXPECT_EQ(error.message.rfind(where, 0), 0u) << error.message;
  EXPECT_NE(error.message.find(r.says), std::string::npos) << error.message;
}

INSTANTIATE_TEST_SUITE_P(
    Loading, RegistryRefuses,
    ::testing::Values(
        Refused{"missing_column", "# versions\nname\tdirectory\tvalid_from\na\ta\t20050101\n", 2,
                "no column valid_to"},
        Refused{"bad_date", std::string(kHeader) + "a\ta\t20050101\t20050231\n", 2,
                "valid_to '20050231' is not a date YYYYMMDD"},
        Refused{"ends_before_start", std::string(kHeader) + "a\ta\t20050101\t20041231\n", 2,
                "ends (20041231) before it starts (20050101)"},
        Refused{"overlap", std::string(kHeader) + "a\ta\t20050101\t20051231\n\nb\tb\t20051231\t\n", 4,
                "window 20051231..open of b overlaps 20050101..20051231 of a on line 2"},
        Refused{"duplicate_name", std::string(kHeader) + "a\ta\t20050101\t20051231\na\tb\t20060101\t\n", 3,
                "name a is already the name of line 2"},
        Refused{"not_a_set", std::string(kHeader) + "a\ta\t20050101\t20051231\nb\tempty\t20060101\t\n", 3,
                "does not hold a loadable table set: "}),
    [](const ::testing::TestParamInfo<Refused>& info) { return std::string(info.param.what); });

// A record with `date` in its date field (8 bytes at offset 21).
std::string record_dated(const std::string& date) { return std::string(21, ' ') + date + std::string(244, ' ') + "\n"; }

TEST(Registry, ChoosesTheVersionWhoseWindowHoldsTheRecordDate) {
  const fs::path dir = registry_dir("choice");
  // A gap in January 2006; the first window opens at no date, the last
  // never closes; the file's order is not the windows' order.
  testing::write_file(dir / "registry.tsv", std::string(kHeader) +
                                                "c\t" + (dir / "c").string() + "\t20060201\t\n"
                                                "a\ta\t\t20041231\n"
                                                "b\tb\t20050101\t20051231\n");
  Status error;
  const auto registry = TableRegistry::open(dir / "registry.tsv", error);
  ASSERT_NE(registry, nullptr) << error.message;
  ASSERT_EQ(registry->versions().size(), 3u);
  EXPECT_EQ(registry->versions()[0].name, "a");
  EXPECT_EQ(registry->versions()[2].directory, dir / "c");
  ASSERT_EQ(registry->warnings().size(), 1u);
  EXPECT_NE(registry->warnings()[0].find("no version holds 20060101..20060131 (between b on line 4 and c on line 2)"),
            std::string::npos)
      << registry->warnings()[0];

  struct Case {
    const char* date;
    const char* version;  // "" for none
  } cases[] = {
      {"00010101", "a"}, {"20041231", "a"}, {"20050101", "b"}, {"20051231", "b"},  // both sides of a boundary
      {"20060101", ""},  {"20060131", ""},  {"20060201", "c"}, {"99991231", "c"},  // the gap, the open end
      {"        ", ""},  {"2005x101", ""},  {"2005 101", "a"},                      // blank, unreadable, as read
  };
  for (const Case& c : cases) {
    const int v = registry->version_of(record_dated(c.date));
    EXPECT_EQ(v < 0 ? "" : registry->versions()[static_cast<size_t>(v)].name, c.version) << c.date;
  }
  // Bytes past a short record read as blanks: a blank date takes none.
  EXPECT_EQ(TableRegistry::record_date("short\n"), 0);
  EXPECT_EQ(registry->version_of("short\n"), TableRegistry::kNoVersion);
  EXPECT_EQ(registry->find("b"), &registry->versions()[1]);
  EXPECT_EQ(registry->find("d"), nullptr);
}

TEST(Registry, GroupingARecordAllocatesNothing) {
  const fs::path dir = registry_dir("no-allocation");
  testing::write_file(dir / "registry.tsv", std::string(kHeader) + "a\ta\t\t20041231\nb\tb\t20050101\t\n");
  Status error;
  const auto registry = TableRegistry::open(dir / "registry.tsv", error);
  ASSERT_NE(registry, nullptr) << error.message;
  episode_grouper::RegistryGrouper grouper(registry);
  const std::string records[] = {record_dated("20041231"), record_dated("20050101"), record_dated("        ")};
  char out[episode_grouper::kMaxRegistryJsonRow];
  for (const std::string& r : records) grouper.group(r);  // the first records may warm up
  testing::AllocProbe probe;
  size_t bytes = 0;
  for (int round = 0; round < 3; ++round) {
    for (const std::string& r : records) {
      grouper.group(r);
      bytes += grouper.write_result_line(out) + grouper.write_result_row(1, out) + grouper.write_json_row(1, out);
    }
  }
  EXPECT_EQ(probe.count(), 0u);
  EXPECT_GT(bytes, 0u);
}

}  // namespace
}  // namespace grouper
