// The rules a loaded table set must follow beyond what the loader checks.
//
// check_tables walks every array of the store and reports each element that
// breaks a rule of the table files: dictionaries sorted from row 1, ids and
// indices within their tables, row ranges within their row counts, a
// condition catalogue that agrees with the built-in logic conditions, keys
// for every diagnosis code id and ADRG index, ascending exclusion lists,
// digits in the CCL matrix, a code for every supplementary group in use.
//
// It reads the store with guarded indexing only and loops over what the
// vectors hold, so any store, however its counts and contents disagree, is
// checked without reading outside an array.
#pragma once

#include "tables/table_store.h"
#include "verify_report.h"

namespace grouper::tools {

void check_tables(const TableStore& store, Report& report);

}  // namespace grouper::tools
