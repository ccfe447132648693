// Loading and releasing the sixteen table files.
//
// load_tables reads the files of `dir` in plan order into `store` and
// returns 0 on success, -1 when a file cannot be opened (for reading, or for
// reading and update as the classic run opens them), its header or an array
// cannot be read in full, or an allocation fails, and -2 when a count
// disagrees with an earlier file's.  It stops at the first failure; files
// after it are never opened.  The only messages
// are those of ltc_drg.idx and adrg_ltcdrg, appended to `messages`.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "episode_grouper/status.h"
#include "tables/table_store.h"

namespace grouper {

inline constexpr int kLoadOk = 0;
inline constexpr int kLoadFailed = -1;
inline constexpr int kLoadCountMismatch = -2;


// How the files are opened.  Nothing is ever written to them; the classic
// run opens them for reading and update all the same, so that a set it may
// not write fails there as it always has.  Everything else reads only, so
// that a user, a service account or a database server that may read a set
// but not write it can group with it.
enum class FileAccess : uint8_t { kRead, kReadUpdate };

// `failure`, when given, is filled on every failed load: its kind
// (kFileFailed or kCountMismatch), the file that stopped the load, and why
// in words as its message: "cannot be opened for reading", "header is
// short", "count field 1 is 12 where dx_cnt of an earlier file is 10",
// "array dx_code is short", ...
int load_tables(const std::filesystem::path& dir, TableStore& store, std::string& messages,
                episode_grouper::Status* failure = nullptr, FileAccess access = FileAccess::kRead);

// Frees every array of the store (what a failed load allocated included) and
// zeroes its counts.
void release_tables(TableStore& store);

}  // namespace grouper
