// The synthetic generator: reproducible from its seed, sound by verify, of
// the promised scale, with episodes that look real and mostly group.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>

#include "engine/engine.h"
#include "generate_episodes.h"
#include "generate_tables.h"
#include "record/record_layout.h"
#include "support/run_program.h"
#include "tables/load_plan.h"
#include "tables/table_writer.h"
#include "verify_checks.h"

namespace grouper::tools {
namespace {

namespace fs = std::filesystem;

const Profile& small() { return *find_profile("small"); }
const Profile& realistic() { return *find_profile("realistic"); }

std::string images(const TableStore& s) {
  std::string all, error;
  for (const FileSpec& file_spec : load_plan()) all += table_file_image(s, file_spec, error);
  EXPECT_EQ(error, "");
  return all;
}

std::vector<std::string> episodes(const EpisodeModel& m, uint64_t seed, int n) {
  EpisodeMaker maker(m, seed);
  std::vector<std::string> out;
  for (int i = 1; i <= n; ++i) {
    std::string line(kEpisodeWidth, '?');
    maker.make(static_cast<uint64_t>(i), line.data());
    out.push_back(line);
  }
  return out;
}

int field(const std::string& line, size_t offset, size_t width) {
  int v = 0;
  for (size_t i = offset; i < offset + width; ++i) {
    if (line[i] < '0' || line[i] > '9') return -1;
    v = v * 10 + (line[i] - '0');
  }
  return v;
}

bool blank(const std::string& line, size_t offset, size_t width) {
  return line.compare(offset, width, std::string(width, ' ')) == 0;
}

// ---- reproducible

TEST(GenerateTables, SameSeedSameBytesOtherSeedOtherSet) {
  const SyntheticSet a = generate_tables(small(), 5);
  const SyntheticSet b = generate_tables(small(), 5);
  const SyntheticSet c = generate_tables(small(), 6);
  EXPECT_EQ(images(a.tables), images(b.tables));
  EXPECT_NE(images(a.tables), images(c.tables));
  EXPECT_EQ(episodes(a.model, 9, 300), episodes(b.model, 9, 300));
  EXPECT_NE(episodes(a.model, 9, 300), episodes(a.model, 10, 300));
}

// ---- sound

TEST(GenerateTables, EveryGeneratedSetPassesVerify) {
  for (uint64_t seed : {1, 2, 3, 42, 1000}) {
    Report r;
    check_tables(generate_tables(small(), seed).tables, r);
    EXPECT_TRUE(r.clean()) << "small seed " << seed << "\n" << r.text();
  }
  for (uint64_t seed : {1, 2}) {
    Report r;
    check_tables(generate_tables(realistic(), seed).tables, r);
    EXPECT_TRUE(r.clean()) << "realistic seed " << seed << "\n" << r.text();
  }
}

// ---- scale of the realistic profile

TEST(GenerateTables, RealisticProfileHasTheScaleOfANationalClassification) {
  const TableStore s = generate_tables(realistic(), 1).tables;
  EXPECT_GE(s.dx_cnt, 15000);
  EXPECT_LE(s.dx_cnt, 17000);
  EXPECT_EQ(s.sg_cnt, 6001);
  EXPECT_EQ(s.cond_cnt, 950);
  EXPECT_EQ(s.mdc_cnt, 26);  // 25 MDCs and index 0
  EXPECT_NEAR(s.adrg_cnt, 651, 10);
  EXPECT_NEAR(s.drg_cnt, 1800, 150);
  EXPECT_EQ(s.ccl_col_cnt, 200);
  for (const RuleSet* set : {&s.tadrg, &s.tadrg1}) {
    EXPECT_NEAR(set->rule_cnt, 3000, 200);
    EXPECT_NEAR(set->mdc_rule_to[1] - set->mdc_rule_fr[1], 500, 50);
    for (int m = 2; m < s.mdc_cnt; ++m) EXPECT_NEAR(set->mdc_rule_to[m] - set->mdc_rule_fr[m], 100, 15);
  }
  // Two or three conditions per code.
  for (size_t id = 1; id < s.dx_cond_fr.size(); ++id) {
    const int rows = s.dx_cond_to[id] - s.dx_cond_fr[id];
    ASSERT_TRUE(rows == 2 || rows == 3) << "diagnosis " << id << ": " << rows;
  }
  for (size_t id = 1; id < s.sg_cond_fr.size(); ++id) {
    const int rows = s.sg_cond_to[id] - s.sg_cond_fr[id];
    ASSERT_TRUE(rows == 2 || rows == 3) << "procedure " << id << ": " << rows;
  }
  // Exclusion lists of 20 to 60 entries.
  int lists = 0;
  for (size_t id = 0; id < s.ccx_fr.size(); ++id) {
    const int n = s.ccx_to[id] - s.ccx_fr[id];
    if (n == 0) continue;
    ++lists;
    EXPECT_GE(n, 20);
    EXPECT_LE(n, 60);
  }
  EXPECT_GT(lists, 1000);
  // Diagnosis codes: a letter, two digits and up to two more; procedures: a letter and four digits.
  for (size_t r = 1; r < s.dx_code.size(); ++r) {
    const std::string c(s.dx_code[r].data(), 5);
    const size_t len = c.find(' ') == std::string::npos ? 5 : c.find(' ');
    ASSERT_TRUE(len >= 3 && std::isupper(static_cast<unsigned char>(c[0])) &&
                std::all_of(c.begin() + 1, c.begin() + static_cast<long>(len), ::isdigit) &&
                c.find_first_not_of(' ', len) == std::string::npos)
        << c;
  }
  for (size_t r = 1; r < s.sg_code.size(); ++r) {
    const std::string c(s.sg_code[r].data(), 5);
    ASSERT_TRUE(std::isupper(static_cast<unsigned char>(c[0])) && std::all_of(c.begin() + 1, c.end(), ::isdigit)) << c;
  }
}

TEST(GenerateTables, HeavyProfileHasAboutFourTimesTheRulesOfEveryList) {
  const TableStore r = generate_tables(realistic(), 1).tables;
  const TableStore h = generate_tables(*find_profile("heavy"), 1).tables;
  EXPECT_EQ(h.dx_cnt, r.dx_cnt) << "the same codes";
  for (int m = 1; m < r.mdc_cnt; ++m) {
    const double ratio = static_cast<double>(h.tadrg1.mdc_rule_to[m] - h.tadrg1.mdc_rule_fr[m]) /
                         (r.tadrg1.mdc_rule_to[m] - r.tadrg1.mdc_rule_fr[m]);
    EXPECT_GT(ratio, 3.3) << "MDC index " << m;
    EXPECT_LT(ratio, 4.7) << "MDC index " << m;
  }
}

// ---- episodes

TEST(GenerateEpisodes, LinesLookLikeRealEpisodes) {
  const SyntheticSet set = generate_tables(realistic(), 4);
  int newborns = 0, very_old = 0, in2004 = 0, in2006 = 0, with_procs = 0, ventilated = 0;
  for (const std::string& line : episodes(set.model, 4, 20000)) {
    ASSERT_EQ(line.size(), kEpisodeWidth);
    const int date = field(line, kRecDateOffset, kRecDateWidth);
    ASSERT_GE(date, 20040101) << line;
    ASSERT_LE(date, 20061231) << line;
    in2004 += date / 10000 == 2004;
    in2006 += date / 10000 == 2006;
    ASSERT_GE(field(line, kBirthDateOffset, kBirthDateWidth), 0) << line;
    ASSERT_NE(std::string("0123499").find(line[kSexOffset]), std::string::npos) << line;
    ASSERT_GE(field(line, kLosOffset, kLosWidth), 0) << line;
    ASSERT_GE(field(line, kDschOffset, kDschWidth), 1) << line;

    // 1 to 10 diagnoses from position 1, 0 to 15 procedures from position 11, no gaps.
    int dx = 0, procs = 0;
    while (dx < 10 && !blank(line, code_offset(dx + 1), kCodeWidth)) ++dx;
    for (int p = dx + 1; p <= kLastDx; ++p) ASSERT_TRUE(blank(line, code_offset(p), kCodeWidth)) << line;
    while (procs < 36 && !blank(line, code_offset(kFirstProc + procs), kCodeWidth)) ++procs;
    for (int p = kFirstProc + procs; p <= kLastProc; ++p) ASSERT_TRUE(blank(line, code_offset(p), kCodeWidth));
    ASSERT_GE(dx, 1);
    ASSERT_LE(procs, 15);
    with_procs += procs > 0;

    // Birth weight exactly for newborns (born in the last four weeks).
    const int birth_year_2 = field(line, kBirthDateOffset, 2);
    const int century = line[kSexOffset] == '3' || line[kSexOffset] == '4' ? 2000
                        : line[kSexOffset] == '9' || line[kSexOffset] == '0' ? 1800 : 1900;
    const int age = date / 10000 - (century + birth_year_2);
    const bool weighed = !blank(line, kBirthWtOffset, kBirthWtWidth);
    if (weighed) {
      ++newborns;
      ASSERT_LE(age, 1) << line;
      ASSERT_GE(field(line, kBirthWtOffset, kBirthWtWidth), 400) << line;
    }
    very_old += age >= 90;
    ventilated += !blank(line, kVentHrOffset, kVentHrWidth);
  }
  EXPECT_GT(newborns, 600);
  EXPECT_GT(very_old, 500);
  EXPECT_GT(in2004, 5000);
  EXPECT_GT(in2006, 5000);
  EXPECT_GT(with_procs, 10000);
  EXPECT_GT(ventilated, 200);
}

TEST(GenerateEpisodes, FileHoldsFixedWidthLines) {
  const SyntheticSet set = generate_tables(small(), 2);
  const fs::path path = grouper::testing::fresh_dir("generate-file") / "tamv30.in";
  std::FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  ASSERT_TRUE(write_episodes(set.model, 2, 5000, f));
  ASSERT_EQ(std::fclose(f), 0);
  const std::string bytes = grouper::testing::read_file(path);
  ASSERT_EQ(bytes.size(), 5000u * (kEpisodeWidth + 1));
  for (size_t i = 0; i < 5000; ++i) ASSERT_EQ(bytes[i * (kEpisodeWidth + 1) + kEpisodeWidth], '\n');
  EXPECT_EQ(bytes.substr(0, 8), "00000001");
  EXPECT_EQ(bytes.substr(4999 * (kEpisodeWidth + 1), 8), "00005000");
}

// ---- they group

double grouped_share(const Profile& profile, uint64_t seed, int n) {
  SyntheticSet set = generate_tables(profile, seed);
  normalize_rules(set.tables);
  PreparedSet g_set(set.tables);
  Engine g(g_set);
  EpisodeMaker maker(set.model, seed);
  int grouped = 0;
  std::string line;
  std::map<int, int> drg_found;
  for (int i = 1; i <= n; ++i) {
    line.assign(kEpisodeWidth, ' ');
    maker.make(static_cast<uint64_t>(i), line.data());
    EXPECT_EQ(g.group(line.data(), line.size()), 0);
    if (g.result().res_adrg != 0) {
      ++grouped;
      // The age splits cover every age, so a grouped record has its DRG.
      EXPECT_NE(g.result().res_drg, 0) << line;
    }
  }
  return static_cast<double>(grouped) / n;
}

// Rules the first pass tries before it stops, on average: the rules filed
// under MDC index 1 up to the first that matches, or all of them.
double first_pass_rules_tried(const Profile& profile, uint64_t seed, int n) {
  SyntheticSet set = generate_tables(profile, seed);
  normalize_rules(set.tables);
  PreparedSet g_set(set.tables);
  Engine g(g_set);
  EpisodeMaker maker(set.model, seed);
  std::string line;
  long tried = 0;
  for (int i = 1; i <= n; ++i) {
    line.assign(kEpisodeWidth, ' ');
    maker.make(static_cast<uint64_t>(i), line.data());
    g.group(line.data(), line.size());
    const RuleSet& r = g.active_rule_set();
    const int32_t date = g.values().rec_date;
    for (int k = r.mdc_rule_fr[1]; k < r.mdc_rule_to[1]; ++k) {
      ++tried;
      bool match = r.rule_adpt_fr_dt[k] <= date && date <= r.rule_adpt_to_dt[k];
      for (int slot = 0; slot < 20 && match; ++slot) match = g.cond_val(r.rule_cond[k][slot]) == (slot < 10);
      if (match) break;
    }
  }
  return static_cast<double>(tried) / n;
}

TEST(GenerateEpisodes, FirstPassTriesARealisticNumberOfRules) {
  const double tried = first_pass_rules_tried(realistic(), 1, 2000);
  EXPECT_GT(tried, 100);
  EXPECT_LT(tried, 450);
}

TEST(GenerateEpisodes, MostEpisodesGroup) {
  EXPECT_GE(grouped_share(small(), 1, 5000), 0.85);
  EXPECT_GE(grouped_share(small(), 77, 5000), 0.85);
  EXPECT_GE(grouped_share(realistic(), 1, 3000), 0.85);
}

// ---- the command

TEST(GenerateCommand, WritesTheSetAndTheEpisodesReproducibly) {
  const std::string tool = GROUPER_TABLES_BINARY;
  const fs::path dir = grouper::testing::fresh_dir("generate-cmd");
  auto run = [&](const std::string& args) { return grouper::testing::run_program(tool, dir, args); };
  ASSERT_EQ(run("generate --seed 3 --episodes 40 a").exit_code, 0);
  ASSERT_EQ(run("generate --seed 3 --episodes 40 b").exit_code, 0);
  for (const FileSpec& file_spec : load_plan()) {
    const std::string name(file_spec.name);
    ASSERT_TRUE(fs::exists(dir / "a" / name)) << name;
    EXPECT_EQ(grouper::testing::read_file(dir / "a" / name), grouper::testing::read_file(dir / "b" / name));
  }
  EXPECT_EQ(fs::file_size(dir / "a" / "tamv30.in"), 40u * 274);
  EXPECT_EQ(run("verify a").exit_code, 0);
  EXPECT_EQ(run("generate --profile huge a").exit_code, 2);
  EXPECT_EQ(run("generate --episodes -3 a").exit_code, 2);
  EXPECT_EQ(run("generate").exit_code, 2);
}

}  // namespace
}  // namespace grouper::tools
