// The reference grouping: every rule of the grouping written the obvious way,
// to compare the engine with.
//
// Contract: `tables` is a store as load_tables leaves it (every array as long
// as the count field that sizes it) whose condition catalogue agrees with the
// built-in logic conditions, as for every set that TableSet::open accepts.
// group_record() takes one record as the line splitting gives it (at most
// 4095 bytes are read; bytes the record does not hold read as blanks) and
// returns the full Result the engine must give for it, findings included.
//
// It works from the tables as the files hold them: full scans of row ranges,
// the dictionary's halving search, no index, no prepared rows.  No table
// content is trusted as an index: a row range is cut to the rows that exist,
// a key the table does not hold has no rows, a condition id outside the
// catalogue never holds, a column, ADRG or split string outside its table
// gives CCL 0 or split character "0", and a group value without a code row
// is no group.  On a valid set these guards change nothing.
#pragma once

#include <string_view>

#include "episode_grouper/result.h"
#include "tables/table_store.h"

namespace reference {

episode_grouper::Result group_record(const grouper::TableStore& tables, std::string_view record);

}  // namespace reference
