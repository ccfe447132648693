// The DRG texts a table set can give, for checking a weight catalogue
// against it: the code of every DRG of its DRG list followed by each split
// character its PCCL split rows hold, and "0" (the character of a record
// with no valid split row), as the result file's drg column writes them.
#pragma once

#include <string>
#include <vector>

#include "episode_grouper/weights.h"
#include "tables/table_store.h"

namespace grouper {

// Sorted, without repeats.
std::vector<std::string> drg_texts(const TableStore& tables);

// The DRG texts of `catalogue` that drg_texts(tables) does not hold.
std::vector<std::string> unknown_weight_drgs(const episode_grouper::WeightCatalogue& catalogue,
                                             const TableStore& tables);

}  // namespace grouper
