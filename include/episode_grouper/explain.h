// Why a record grouped as it did: every step the grouping took for it, in
// the order the grouper runs, as text a coder can follow or as one JSON
// document for tools.
//
// The steps are reported by the grouping itself while it groups the record
// (see the trace of the stages), so the result explained is the result the
// grouping gives: the record values and how the age was reached, the rule
// set, every dictionary lookup, the rewrite, repeats and exchange, the
// conditions set and by what, each rule pass with its near misses (rules
// that failed on one slot only before the rule that matched), the age split
// and DRG, every CCL and exclusion with its cause, the PCCL formula and
// split, the supplementary group, the result and the findings.
#pragma once

#include <string>
#include <string_view>

#include "episode_grouper/export.h"
#include "episode_grouper/result.h"
#include "episode_grouper/table_set.h"
#include "episode_grouper/weights.h"

namespace episode_grouper {

enum class ExplainFormat { kText, kJson };

// Groups `record` (one record as the line splitting gives it; at most 4095
// bytes are read) over `tables` and returns the explanation, ending in a
// line feed.  `result`, when given, receives the record's result.
EPISODE_GROUPER_API std::string explain(const TableSet& tables, std::string_view record, ExplainFormat format,
                                        Result* result = nullptr);

// What an explanation adds to the steps.
struct ExplainOptions {
  // The record's impact (see impact.h) after the findings: in text a last
  // section "Impact", in JSON a last member "impact", the array the JSON
  // Lines rows carry.
  bool impact = false;
  // The weights of the impact's differences, when given.
  const WeightCatalogue* weights = nullptr;
};
EPISODE_GROUPER_API std::string explain(const TableSet& tables, std::string_view record, ExplainFormat format,
                                        const ExplainOptions& options, Result* result = nullptr);

}  // namespace episode_grouper
