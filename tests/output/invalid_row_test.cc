// The rows of episodes that could not be built: no groups, one finding per
// field error, bounded however many and however long the errors are.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "output/result_json.h"
#include "output/result_table.h"

namespace grouper {
namespace {

namespace eg = episode_grouper;

TEST(InvalidRow, NamesEachFieldAndStaysWithinItsRowEvenWithManyLongErrors) {
  eg::FieldErrors errors;
  errors.add(eg::EpisodeField::kBirthDate, "2005-02-30", "2005-02-30 is not a calendar date");
  errors.add(eg::EpisodeField::kLos, "1;2", "1;2 is not a whole number");
  const std::string_view id = "A\t1";
  char tsv[kMaxResultRowBytes];
  EXPECT_EQ(std::string(tsv, format_invalid_row(7, &id, errors, true, tsv)),
            "7\tA\\t1\t\t\t\t\t\t\t\t\t\t"
            "input_invalid@birth_date:2005-02-30 is not a calendar date;input_invalid@los:1\\;2 is not a whole number"
            "\t\t\t\n");
  char json[kMaxJsonRowBytes];
  const auto row = nlohmann::json::parse(std::string(json, format_json_invalid_row(7, &id, errors, false, json)));
  EXPECT_EQ(row["id"], "A\t1");
  EXPECT_TRUE(row["drg"].is_null());
  EXPECT_EQ(row["findings"][1], (nlohmann::json{{"code", "input_invalid"}, {"field", "los"}, {"text", "1;2 is not a whole number"}}));

  // Forty errors with values of a kilobyte each: cut, counted, still one row.
  const std::string long_value(1000, '"');
  for (int i = 0; i < 40; ++i) errors.add(eg::EpisodeField::kProcedures, long_value, long_value + " is not a code");
  const size_t n = format_invalid_row(7, nullptr, errors, false, tsv);
  ASSERT_LE(n, kMaxResultRowBytes);
  const std::string line(tsv, n);
  EXPECT_NE(line.find(";more:"), std::string::npos);
  EXPECT_EQ(line.find('\n'), n - 1);
  const size_t m = format_json_invalid_row(7, nullptr, errors, true, json);
  ASSERT_LE(m, kMaxJsonRowBytes);
  const auto many = nlohmann::json::parse(std::string(json, m));
  EXPECT_EQ(many["findings"].back()["code"], "more");
  EXPECT_TRUE(many["los_class"].is_null());
}

}  // namespace
}  // namespace grouper
