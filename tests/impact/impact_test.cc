// What each code is worth: records made so that one code lifts the PCCL,
// one makes the case surgical (without it, medical), one changes nothing and one is the second of
// a dagger/asterisk pair; on generated sets, the impact is what grouping
// each blanked record one by one gives; and the rows escape the codes as
// the findings do.
#include "episode_grouper/impact.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "episode_grouper/explain.h"
#include "episode_grouper/grouper.h"
#include "episode_grouper/table_set.h"
#include "episode_grouper/weights.h"
#include "generate_episodes.h"
#include "generate_profile.h"
#include "generate_tables.h"
#include "generate_weights.h"
#include "output/result_json.h"
#include "output/result_table.h"
#include "record/record_layout.h"
#include "support/alloc_probe.h"
#include "support/run_program.h"
#include "support/table_builder.h"
#include "tables/table_writer.h"

namespace grouper {
namespace {

namespace eg = episode_grouper;
using testing::Episode;
using testing::TableBuilder;

// I21 groups medically to F01A (DRG F01A0), with the procedure M5520
// surgically to F02B (F02B0); E11 carries CCL 3 under F01A, and so does
// "E;>\" (a code that needs escaping in the rows); I50 carries nothing.
// B95 with J18 in position 2 is exchanged to the principal J18, grouped
// to E01C; B95 alone has no group.
TableBuilder impact_tables() {
  TableBuilder b;
  const int16_t circ = b.mdc("05 ");
  const int16_t resp = b.mdc("04 ");
  const int16_t heart = b.adrg("F01A");
  const int16_t valve = b.adrg("F02B");
  const int16_t lung = b.adrg("E01C");
  b.pccl(b.drg("F01A0"), "01234");
  b.pccl(b.drg("F02B0"), "01234");
  b.pccl(b.drg("E01C0"), "01234");
  const int16_t i21 = b.dx("I21", true);
  b.dx("I50", true);
  const int16_t e11 = b.dx("E11", true);
  const int16_t odd = b.dx("E;>\\", true);
  const int16_t b95 = b.dx("B95", true);
  const int16_t j18 = b.dx("J18", true);
  b.dx_cond(i21, 100);
  b.dx_cond(j18, 102);
  b.proc_cond(b.proc("M5520"), 103);
  b.ccl_columns(2);
  b.ccl_level(1, heart, 3);
  b.dx_ccl(e11, 1);
  b.dx_ccl(odd, 1);
  b.dag(b95, j18);
  b.rule({.slot = 1, .mdc = circ, .adrg = heart, .must = {100}, .must_not = {}});
  b.rule({.slot = 1, .mdc = resp, .adrg = lung, .must = {102}, .must_not = {}});
  b.rule({.slot = circ, .adrg = valve, .must = {103}, .must_not = {}});
  b.rule({.slot = circ, .adrg = heart, .must = {}, .must_not = {}});
  b.rule({.slot = resp, .adrg = lung, .must = {}, .must_not = {}});
  return b;
}

constexpr std::string_view kWeights =
    "drg\tvalid_from\tvalid_to\tweight\tlow_trim\tdeduction\thigh_trim\tsurcharge\n"
    "F01A00\t\t\t1.0\t\t\t\t\n"
    "F01A03\t\t\t1.5\t\t\t\t\n"
    "F02B00\t\t\t2.0\t\t\t\t\n"
    "E01C00\t\t\t0.8\t\t\t\t\n";

Episode patient() { return Episode().date("20050601").birth("600101").sex('1').los("005"); }

// "POS:CODE>DRG" per entry, as the rows write them but unescaped.
std::vector<std::string> entries(const eg::Impact& impact) {
  std::vector<std::string> out;
  for (const eg::CodeImpact& e : impact) {
    std::string code(eg::text_of(e.code));
    code.erase(code.find_last_not_of(' ') + 1);
    out.push_back(std::to_string(e.position) + ":" + code + ">" +
                  std::string(eg::text_of(e.drg)));
  }
  return out;
}

class ImpactOfRecords : public ::testing::Test {
 protected:
  void SetUp() override {
    impact_tables().write(dir_.path());
    eg::Status error;
    tables_ = eg::TableSet::open(dir_.path(), error);
    ASSERT_NE(tables_, nullptr) << error.message;
    weights_ = eg::WeightCatalogue::parse(kWeights, "w.tsv", error);
    ASSERT_NE(weights_, nullptr) << error.message;
  }
  testing::ScratchDir dir_{"impact-records"};
  std::shared_ptr<const eg::TableSet> tables_;
  std::shared_ptr<const eg::WeightCatalogue> weights_;
};

TEST_F(ImpactOfRecords, KeepsTheCodesThatMakeTheDrg) {
  eg::Grouper g(tables_);
  // E11 lifts the PCCL from 0 to 3; I50 changes nothing and is left out.
  EXPECT_EQ(std::string(eg::text_of(g.group(patient().dx(1, "I21").dx(2, "E11").dx(3, "I50").str()).res_drg_code)),
            "F01A03");
  EXPECT_EQ(entries(g.impact()), std::vector<std::string>{"2:E11>F01A00"});
  const eg::Impact& weighed = g.impact(weights_.get());
  ASSERT_EQ(weighed.count, 1);
  EXPECT_TRUE(weighed.weighed);
  EXPECT_EQ(weighed.items[0].effective, 10000);
  EXPECT_EQ(weighed.items[0].weight_difference, -5000);
  // The result stays the record's own.
  EXPECT_EQ(std::string(eg::text_of(g.result().res_drg_code)), "F01A03");

  // Without the procedure the case is medical.
  g.group(patient().dx(1, "I21").proc(11, "M5520").str());
  EXPECT_EQ(entries(g.impact(weights_.get())), std::vector<std::string>{"11:M5520>F01A00"});
  EXPECT_EQ(g.impact(weights_.get()).items[0].weight_difference, -10000);

  // Without the second of the dagger/asterisk pair the principal stays B95,
  // which has no group: no DRG and no weight.
  g.group(patient().dx(1, "B95").dx(2, "J18").str());
  ASSERT_EQ(std::string(eg::text_of(g.result().res_drg_code)), "E01C00");
  const eg::Impact& dagger = g.impact(weights_.get());
  EXPECT_EQ(entries(dagger), std::vector<std::string>{"2:J18>"});
  EXPECT_FALSE(dagger.items[0].has_weight);
  EXPECT_EQ(dagger.items[0].weight_difference, -8000);

  // A record whose codes change nothing has no impact; once the probe is
  // made, the impact of a record allocates nothing.
  const std::string plain = patient().dx(1, "I21").dx(2, "I50").proc(12, "X9999").str();
  testing::AllocProbe probe;
  g.group(plain);
  EXPECT_EQ(g.impact(weights_.get()).count, 0);
  EXPECT_EQ(probe.count(), 0u) << "allocations while finding the impact";
}

TEST_F(ImpactOfRecords, RowsEscapeCodesAsTheFindingsDo) {
  eg::Grouper g(tables_);
  const eg::Result& r = g.group(patient().dx(1, "I21").dx(2, "E;>\\").proc(11, "M5520").str());
  const eg::Impact& impact = g.impact(weights_.get());
  const eg::EpisodeWeight weight = weights_->weigh(r);
  const TableStore& store = prepared(*tables_).store();
  std::string row(kMaxResultRowBytes + 4096, '\0');
  row.resize(format_result_row(1, store, r, r.findings, row.data(), &weight, nullptr, &impact));
  // The last column, after the weight columns; E;>\ lifts nothing under F02B.
  EXPECT_EQ(row.substr(row.rfind('\t')), "\t11:M5520>F01A03:-0.5000\n");
  g.group(patient().dx(1, "I21").dx(2, "E;>\\").str());
  const eg::Impact& lifted = g.impact(weights_.get());
  row.resize(kMaxResultRowBytes + 4096);
  row.resize(format_result_row(2, store, g.result(), g.result().findings, row.data(), nullptr, nullptr, &lifted));
  EXPECT_EQ(row.substr(row.rfind('\t')), "\t2:E\\;\\>\\\\>F01A00:-0.5000\n");
  std::string json(kMaxJsonRowBytes + 8192, '\0');
  json.resize(format_json_row(2, store, g.result(), g.result().findings, json.data(), nullptr, nullptr, &lifted));
  EXPECT_EQ(json.substr(json.find(",\"impact\"")),
            ",\"impact\":[{\"pos\":2,\"code\":\"E;>\\\\\",\"drg\":\"F01A00\",\"weight_difference\":-0.5000}]}\n");
  // Without a catalogue: no difference.
  const eg::Impact& plain = g.impact();
  json.resize(kMaxJsonRowBytes + 8192);
  json.resize(format_json_row(2, store, g.result(), g.result().findings, json.data(), nullptr, nullptr, &plain));
  EXPECT_NE(json.find("\"weight_difference\":null}]}"), std::string::npos) << json;
}

TEST_F(ImpactOfRecords, ExplainEndsWithTheSameList) {
  const std::string record = patient().dx(1, "I21").dx(2, "E11").proc(11, "M5520").str();
  eg::ExplainOptions options;
  options.impact = true;
  options.weights = weights_.get();
  const std::string text = eg::explain(*tables_, record, eg::ExplainFormat::kText, options);
  EXPECT_NE(text.find("\n  position 11 \"M5520\": DRG \"F01A03\", effective weight 1.5000 (-0.5000)\n"),
            std::string::npos)
      << text;
  // E11 lifts nothing under F02B: one entry.
  EXPECT_EQ(text.substr(text.find("\nImpact: ")).find("position 2 "), std::string::npos) << text;
  eg::Grouper g(tables_);
  const eg::Result& r = g.group(record);
  std::string row(kMaxJsonRowBytes + 8192, '\0');
  row.resize(format_json_row(1, prepared(*tables_).store(), r, r.findings, row.data(), nullptr, nullptr,
                             &g.impact(weights_.get())));
  const std::string json = eg::explain(*tables_, record, eg::ExplainFormat::kJson, options);
  const std::string member = row.substr(row.find(",\"impact\":"), row.size() - 2 - row.find(",\"impact\":"));
  EXPECT_NE(json.find(member + "}"), std::string::npos) << json;
  // Without the option the explanation is as it was.
  EXPECT_EQ(eg::explain(*tables_, record, eg::ExplainFormat::kText).find("\nImpact: "), std::string::npos);
}

// The impact against the plain definition: every position 2..46 that holds
// a code, blanked and grouped on its own.
void expect_blanked_groupings(const char* profile, uint64_t seed, int records) {
  const tools::SyntheticSet s = tools::generate_tables(*tools::find_profile(profile), seed);
  testing::ScratchDir dir(std::string("impact-equivalence-") + profile);
  std::string text_error;
  ASSERT_TRUE(write_tables(s.tables, dir.path(), text_error)) << text_error;
  eg::Status error;
  auto tables = eg::TableSet::open(dir.path(), error);
  ASSERT_NE(tables, nullptr) << error.message;
  auto weights = eg::WeightCatalogue::parse(tools::generate_weights(s.tables, seed), "weights.tsv", error);
  ASSERT_NE(weights, nullptr) << error.message;
  eg::Grouper g(tables);
  eg::Grouper plain(tables);
  tools::EpisodeMaker maker(s.model, seed);
  std::string line(tools::kEpisodeWidth, ' ');
  int mattered = 0;
  for (int i = 1; i <= records; ++i) {
    maker.make(static_cast<uint64_t>(i), line.data());
    const eg::Result& r = g.group(line);
    const eg::Impact& impact = g.impact(weights.get());
    const std::string drg(r.res_drg != 0 ? eg::text_of(r.res_drg_code) : "");
    const int64_t effective = weights->weigh(r).effective;
    std::vector<eg::CodeImpact> expected;
    for (int p = 2; p <= kLastProc; ++p) {
      const size_t at = code_offset(p);
      if (line.compare(at, kCodeWidth, "     ") == 0) continue;
      std::string blanked = line;
      blanked.replace(at, kCodeWidth, "     ");
      const eg::Result& without = plain.group(blanked);
      const std::string drg_without(without.res_drg != 0 ? eg::text_of(without.res_drg_code) : "");
      const int64_t effective_without = weights->weigh(without).effective;
      if (drg_without == drg && effective_without == effective) continue;
      eg::CodeImpact e;
      e.position = static_cast<uint8_t>(p);
      e.drg.fill('\0');
      drg_without.copy(e.drg.data(), e.drg.size());
      e.weight_difference = effective_without - effective;
      expected.push_back(e);
    }
    SCOPED_TRACE(std::string(profile) + " seed " + std::to_string(seed) + " record " + std::to_string(i));
    ASSERT_EQ(impact.count, expected.size());
    for (size_t k = 0; k < expected.size(); ++k) {
      ASSERT_EQ(impact.items[k].position, expected[k].position);
      ASSERT_EQ(std::string_view(impact.items[k].code.data(), kCodeWidth),
                std::string_view(line).substr(code_offset(expected[k].position), kCodeWidth));
      ASSERT_EQ(impact.items[k].drg, expected[k].drg);
      ASSERT_EQ(impact.items[k].weight_difference, expected[k].weight_difference);
    }
    mattered += impact.count > 0;
  }
  EXPECT_GT(mattered, 0);
}

TEST(ImpactEquivalence, IsTheGroupingOfEachBlankedRecordOnGeneratedSets) {
  for (uint64_t seed = 1; seed <= 2; ++seed) expect_blanked_groupings("small", seed, 200);
  expect_blanked_groupings("realistic", 7, 200);
}

}  // namespace
}  // namespace grouper
