// Loading and releasing the sixteen table files.
//
// load_tables reads the files of `dir` in plan order into `store` and
// returns 0 on success, -1 when a file cannot be opened (for reading and
// update), its header or an array cannot be read in full, or an allocation
// fails, and -2 when a count disagrees with an earlier file's.  It stops at
// the first failure; files after it are never opened.  The only messages
// are those of ltc_drg.idx and adrg_ltcdrg, appended to `messages`.
#pragma once

#include <filesystem>
#include <string>

#include "tables/table_store.h"

namespace grouper {

inline constexpr int kLoadOk = 0;
inline constexpr int kLoadFailed = -1;
inline constexpr int kLoadCountMismatch = -2;

// Which file stopped a load, and why, in words: "cannot be opened for
// reading and update", "header is short", "count field 1 is 12 where
// dx_cnt of an earlier file is 10", "array dx_code is short", ...
struct LoadFailure {
  std::string file;
  std::string reason;
};

// `failure`, when given, is filled on every failed load.
int load_tables(const std::filesystem::path& dir, TableStore& store, std::string& messages,
                LoadFailure* failure = nullptr);

// Frees every array of the store (what a failed load allocated included) and
// zeroes its counts.
void release_tables(TableStore& store);

}  // namespace grouper
