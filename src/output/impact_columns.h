// The impact column of the detailed result file, after every other column
// (see include/episode_grouper/impact.h for what it holds).
//
// TSV: `impact`, the codes that matter separated by ";", in position order,
// each "POS:CODE>DRG", with a weight catalogue "POS:CODE>DRG:DIFF", DIFF
// the effective weight without the code less the record's own, 4 decimals,
// "+" before a positive one ("B01A1" dropped to "B01A2" and 0.5 less is
// "3:E119>B01A2:-0.5000").  DRG is empty when the record has no DRG without
// the code.  Code and DRG texts are escaped as the findings column escapes
// them (\t \n \r \\ \; \>).  An empty column: no code matters.
//
// JSON Lines: "impact", an array of {"pos":3,"code":"E119","drg":"B01A2",
// "weight_difference":-0.5000}; drg null without a DRG, weight_difference
// null without a catalogue.  Texts are read as Latin-1.
#pragma once

#include <cstddef>
#include <string_view>

#include "episode_grouper/impact.h"
#include "episode_grouper/weights.h"

namespace grouper {

// Bytes the column can add to a row, at most: per entry the position, the
// code and the DRG escaped (two bytes a byte in TSV, six in JSON), a weight
// and the punctuation.
inline constexpr size_t kMaxImpactColumnBytes =
    1 + episode_grouper::kMaxImpact * (2 + 2 * 5 + 2 * 6 + episode_grouper::kMaxWeightText + 4);
inline constexpr size_t kMaxImpactJsonBytes =
    16 + episode_grouper::kMaxImpact * (64 + 2 + 6 * 5 + 2 + 6 * 6 + episode_grouper::kMaxWeightText);

// "\timpact", to put before the header's line feed.
std::string_view impact_column_header();

// "\t" and the column.
char* put_impact_column(char* out, const episode_grouper::Impact& impact);
// ',"impact":[...]'.
char* put_impact_json(char* out, const episode_grouper::Impact& impact);

}  // namespace grouper
