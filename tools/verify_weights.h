// The check of a weight catalogue against a table set (verify --weights):
// every DRG text the set can give needs a weight row, the windows of one DRG
// must leave no gap between them, and a row for a DRG text the set can
// never give is reported as irregular (it weighs nothing).
#pragma once

#include "episode_grouper/weights.h"
#include "tables/table_store.h"
#include "verify_report.h"

namespace grouper::tools {

void check_weights(const episode_grouper::WeightCatalogue& catalogue, const TableStore& tables, Report& report);

}  // namespace grouper::tools
