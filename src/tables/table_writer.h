// Writing a table store as the sixteen binary table files.
//
// The images follow the load plan exactly: a 100-byte header whose count
// fields are ten zero-padded digits and whose other bytes are blanks, then
// the arrays back to back.  A store whose vector sizes disagree with its
// counts is refused, so what is written always loads back to the same store.
#pragma once

#include <filesystem>
#include <string>

#include "tables/load_plan.h"
#include "tables/table_store.h"

namespace grouper {

// The bytes of one table file, or "" with `error` set when a vector's size
// disagrees with its count.
std::string table_file_image(const TableStore& store, const FileSpec& file_spec, std::string& error);

// Writes all sixteen files into `dir` (which must exist).  Returns false with
// `error` naming the file when a size disagrees or a write fails.
bool write_tables(const TableStore& store, const std::filesystem::path& dir, std::string& error);

// Sets every count of the store from the sizes of its vectors.  The CCL
// matrix shape (ccl_col_cnt x ccl_adrg_cnt) cannot be derived from one size
// and is left as set.
void derive_counts(TableStore& store);

}  // namespace grouper
