// A plausible weight catalogue for a generated table set: one row per DRG
// text the set can give, weights growing with the complexity split, trims
// around a mean stay per DRG, and for about one DRG in ten two validity
// windows split at 20060101.  The same set and seed always give the same
// bytes.
#pragma once

#include <cstdint>
#include <string>

#include "tables/table_store.h"

namespace grouper::tools {

// The catalogue as the text of weights.tsv (header and rows).
std::string generate_weights(const TableStore& tables, uint64_t seed);

}  // namespace grouper::tools
