// The weight catalogue: the arithmetic of every length-of-stay class worked
// by hand, the lookup by DRG text and date, and every loading check.
#include <gtest/gtest.h>

#include <string>

#include "episode_grouper/weights.h"
#include "output/weight_columns.h"
#include "support/alloc_probe.h"

namespace episode_grouper {
namespace {

// Columns in another order than the documented one, a comment, an empty
// line and a carriage return, as a spreadsheet may leave them.
constexpr std::string_view kCatalogue =
    "# weights for the tests\r\n"
    "weight\tdrg\tvalid_to\tvalid_from\thigh_trim\tsurcharge\tlow_trim\tdeduction\r\n"
    "1.5\tA01A1\t20231231\t\t10\t0.1234\t3\t0.25\n"
    "\n"
    "1.6000\tA01A1\t\t20240101\t12\t0.05\t\t\n"
    "0.3\tB02C0\t\t20200101\t\t\t5\t0.1\n";

std::shared_ptr<const WeightCatalogue> catalogue() {
  Status error;
  auto c = WeightCatalogue::parse(kCatalogue, "w.tsv", error);
  EXPECT_TRUE(c) << error.message;
  return c;
}

struct Case {
  std::string_view drg;
  int32_t date;
  int32_t los;
  std::string effective;  // worked by hand
  LosClass los_class;
};

TEST(Weights, EveryLengthOfStayClassWorkedByHand) {
  const auto c = catalogue();
  const Case cases[] = {
      {"A01A1", 20230615, 5, "1.5000", LosClass::kInlier},
      {"A01A1", 20230615, 3, "1.5000", LosClass::kInlier},   // at low_trim: not below it
      {"A01A1", 20230615, 10, "1.5000", LosClass::kInlier},  // at high_trim: not above it
      {"A01A1", 20230615, 1, "1.0000", LosClass::kLow},      // 1.5 - 0.25 x (3 - 1)
      {"A01A1", 20230615, 13, "1.8702", LosClass::kHigh},    // 1.5 + 0.1234 x (13 - 10)
      // The second window starts the day after the first ends.
      {"A01A1", 20231231, 13, "1.8702", LosClass::kHigh},
      {"A01A1", 20240101, 13, "1.6500", LosClass::kHigh},    // 1.6 + 0.05 x (13 - 12)
      {"A01A1", 20240101, 0, "1.6000", LosClass::kInlier},   // no low_trim in this window
      {"B02C0", 20210101, 3, "0.1000", LosClass::kLow},      // 0.3 - 0.1 x 2
      {"B02C0", 20210101, 2, "0.0000", LosClass::kLow},      // 0.3 - 0.1 x 3
      {"B02C0", 20210101, 0, "0.0000", LosClass::kLow},      // 0.3 - 0.1 x 5 is below 0: clamped
      {"B02C0", 20210101, 9999, "0.3000", LosClass::kInlier},  // no high_trim
  };
  for (const Case& k : cases) {
    const EpisodeWeight w = c->weigh(k.drg, k.date, k.los);
    SCOPED_TRACE(std::string(k.drg) + " " + std::to_string(k.date) + " los " + std::to_string(k.los));
    ASSERT_TRUE(w.has_weight);
    EXPECT_FALSE(w.has_finding);
    EXPECT_EQ(format_weight(w.effective), k.effective);
    EXPECT_EQ(w.los_class, k.los_class);
  }
  EXPECT_EQ(format_weight(c->weigh("A01A1", 20231231, 1).weight), "1.5000");
  EXPECT_EQ(format_weight(c->weigh("A01A1", 20240101, 1).weight), "1.6000");
}

TEST(Weights, UnreadableStayKeepsTheWeightWithAFinding) {
  const EpisodeWeight w = catalogue()->weigh("A01A1", 20230615, -1);
  ASSERT_TRUE(w.has_weight);
  EXPECT_EQ(w.effective, 15000);
  EXPECT_EQ(w.los_class, LosClass::kNone);
  ASSERT_TRUE(w.has_finding);
  EXPECT_EQ(w.finding.code, FindingCode::kWeightLosUnreadable);
  EXPECT_EQ(w.finding.field, RecordField::kLos);
}

TEST(Weights, NoDrgOrNoRowGivesNoWeightAndSaysWhich) {
  const auto c = catalogue();
  auto expect_none = [](const EpisodeWeight& w, FindingCode code) {
    EXPECT_FALSE(w.has_weight);
    EXPECT_EQ(w.effective, 0);
    EXPECT_EQ(los_class_name(w.los_class), "");
    ASSERT_TRUE(w.has_finding);
    EXPECT_EQ(finding_name(w.finding.code), finding_name(code));
  };
  expect_none(c->weigh("", 20230615, 5), FindingCode::kWeightNoDrg);
  expect_none(c->weigh("Z99Z0", 20230615, 5), FindingCode::kWeightNoRow);     // DRG without a row
  expect_none(c->weigh("B02C0", 20191231, 5), FindingCode::kWeightNoRow);     // before its window
  expect_none(c->weigh("A01A", 20230615, 5), FindingCode::kWeightNoRow);      // a prefix is no match
  expect_none(c->weigh("A01A1X7", 20230615, 5), FindingCode::kWeightNoRow);   // longer than any DRG text
}

TEST(Weights, WeighingAndWritingTheColumnsAllocateNothing) {
  const auto c = catalogue();
  char row[256];
  int64_t total = 0;
  grouper::testing::AllocProbe probe;
  for (int los = -1; los < 40; ++los) {
    for (std::string_view drg : {"A01A1", "B02C0", "Z99Z0", ""}) {
      const EpisodeWeight w = c->weigh(drg, 20230615, los);
      total += w.effective;
      grouper::put_weight_json(grouper::put_weight_columns(row, w), w);
    }
  }
  EXPECT_EQ(probe.count(), 0u);
  EXPECT_GT(total, 0);
}

TEST(Weights, DecimalsAreExact) {
  EXPECT_EQ(format_weight(0), "0.0000");
  EXPECT_EQ(format_weight(7), "0.0007");
  EXPECT_EQ(format_weight(12345), "1.2345");
  EXPECT_EQ(format_weight(-5000), "-0.5000");
  EXPECT_EQ(format_weight(INT64_MIN), "-922337203685477.5808");
  // The mean rounds half away from zero to 4 decimals.
  EXPECT_EQ(weight_mean(10, 3), 3);   // 3.33.. units
  EXPECT_EQ(weight_mean(5, 2), 3);    // 2.5 units
  EXPECT_EQ(weight_mean(7, 4), 2);    // 1.75 units
  EXPECT_EQ(weight_mean(-5, 2), -3);
  EXPECT_EQ(weight_mean(INT64_MAX, 1), INT64_MAX);
  EXPECT_EQ(weight_mean(100, 0), 0);
}

// Every loading check: the message names the file and the line.
TEST(Weights, EveryLoadingErrorNamesFileAndLine) {
  const std::string header = "drg\tvalid_from\tvalid_to\tweight\tlow_trim\tdeduction\thigh_trim\tsurcharge\n";
  const struct {
    std::string text;
    std::string message;
  } cases[] = {
      {"", "w.tsv: no header line"},
      {"drg\tvalid_from\tvalid_to\tweight\tlow_trim\tdeduction\thigh_trim\n", "w.tsv:1: missing column 'surcharge'"},
      {"# c\n" + header + "A\t\t\tx1\t\t\t\t\n", "w.tsv:3: weight 'x1' is not a decimal number"},
      {header + "A\t\t\t1.\t\t\t\t\n", "w.tsv:2: weight '1.' is not a decimal number"},
      {header + "A\t\t\t1.23456\t\t\t\t\n", "w.tsv:2: weight '1.23456' has more than 4 decimals"},
      {header + "A\t\t\t1\t2\t0.12345\t\t\n", "w.tsv:2: deduction '0.12345' has more than 4 decimals"},
      {header + "A\t\t\t1\t\t\t2\t0.00001\n", "w.tsv:2: surcharge '0.00001' has more than 4 decimals"},
      {header + "A\t\t\t-0.5\t\t\t\t\n", "w.tsv:2: weight '-0.5' is negative"},
      {header + "A\t\t\t1\t\t\t2\t1000000\n", "w.tsv:2: surcharge '1000000' is too large"},
      {"drg\tdrg\tvalid_from\tvalid_to\tweight\tlow_trim\tdeduction\thigh_trim\tsurcharge\n",
       "w.tsv:1: column 'drg' appears twice"},
      {header + "\t\t\t1\t\t\t\t\n", "w.tsv:2: empty drg"},
      {header + "A01A1XY\t\t\t1\t\t\t\t\n", "w.tsv:2: drg 'A01A1XY' is longer than 6 characters"},
      {header + "A\t\t\t1\t-2\t\t\t\n", "w.tsv:2: low_trim '-2' is negative"},
      {header + "A\t\t\t\t\t\t\t\n", "w.tsv:2: empty weight"},
      {header + "A\t2023011\t\t1\t\t\t\t\n", "w.tsv:2: valid_from '2023011' is not a date YYYYMMDD"},
      {header + "A\t\t20230230\t1\t\t\t\t\n", "w.tsv:2: valid_to '20230230' is not a date YYYYMMDD"},
      {header + "A\t\t\t1\tx\t\t\t\n", "w.tsv:2: low_trim 'x' is not a number of days"},
      {header + "A\t\t\t1\t9\t\t3\t\n", "w.tsv:2: low_trim 9 is above high_trim 3"},
      {header + "A\t20230101\t20221231\t1\t\t\t\t\n", "w.tsv:2: valid_from 20230101 is after valid_to 20221231"},
      {header + "A\t\t\t1\t\t\t\n", "w.tsv:2: 7 fields where the header has 8"},
      {header + "A\t\t20231231\t1\t\t\t\t\nB\t\t\t1\t\t\t\t\nA\t20231231\t\t1\t\t\t\t\n",
       "w.tsv:4: the window 20231231..open of DRG 'A' overlaps the one on line 2"},
  };
  for (const auto& k : cases) {
    Status error;
    EXPECT_FALSE(WeightCatalogue::parse(k.text, "w.tsv", error)) << k.text;
    EXPECT_EQ(error.message.substr(0, k.message.size()), k.message) << error.message;
    EXPECT_EQ(error.file, "w.tsv");
  }
  Status error;
  EXPECT_FALSE(WeightCatalogue::load("/nonexistent/w.tsv", error));
  EXPECT_EQ(error.message, "/nonexistent/w.tsv: cannot read the weight catalogue");
}

}  // namespace
}  // namespace episode_grouper
