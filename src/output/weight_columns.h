// The three weight columns of the detailed result file, after every
// existing column: `weight`, `effective_weight` (4 decimals) and
// `los_class` ("inlier", "low", "high").  In TSV all three are empty
// without a weight; in JSON Lines the weights are JSON numbers written with
// 4 decimals ("weight":1.2500) and null without a weight, and `los_class`
// a string or null.  An unreadable length of stay leaves los_class empty
// (null) beside the untrimmed weight.
#pragma once

#include <string_view>

#include "episode_grouper/weights.h"

namespace grouper {

// Bytes the columns can add to a row, at most.
inline constexpr size_t kMaxWeightColumnsBytes = 2 * episode_grouper::kMaxWeightText + 64;

// "\tweight\teffective_weight\tlos_class", to put before the header's line feed.
std::string_view weight_columns_header();

// "\tW\tE\tCLASS" (empty fields without a weight).
char* put_weight_columns(char* out, const episode_grouper::EpisodeWeight& weight);
// ',"weight":W,"effective_weight":E,"los_class":"CLASS"' (nulls without a weight).
char* put_weight_json(char* out, const episode_grouper::EpisodeWeight& weight);

}  // namespace grouper
