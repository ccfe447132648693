// A table set: the sixteen reference table files of one directory, loaded,
// checked and indexed once.
//
// A TableSet is immutable once opened, so any number of Groupers on any
// number of threads may share one; hold it through the shared_ptr that
// open() returns for as long as a Grouper uses it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "episode_grouper/export.h"
#include "episode_grouper/status.h"

namespace episode_grouper {
class TableSet;
}
namespace grouper {
class PreparedSet;
// The prepared set behind a TableSet, for the library's own clients in its
// source tree; not part of the installed interface.
const PreparedSet& prepared(const episode_grouper::TableSet& tables);
}  // namespace grouper

namespace episode_grouper {

// The sizes of a set, for display.
struct TableCounts {
  uint16_t dx = 0, sg = 0, mdc = 0, adrg = 0, drg = 0, cond = 0;
  uint16_t rules_before = 0;  // rules of the set for records dated before 20050101
  uint16_t rules_from = 0;    // rules of the set for records from 20050101 on
};

// How a set is opened.  The defaults are what every client wants: the files
// are only read.  The classic batch run opens them for reading and update,
// as it always has, so that a set it may not write fails there; and it opens
// a set whose condition catalogue disagrees with the built-in logic
// conditions, which it reports at the first record it groups (the grouping
// of each record then stops after its preparation, without groups).
struct OpenOptions {
  bool read_and_update = false;
  bool defer_logic_check = false;
};

class EPISODE_GROUPER_API TableSet {
 public:
  // Loads the sixteen files of `dir` ("" is the current directory).
  // Returns the set, or null with `error` filled (kNoDirectory, kFileFailed,
  // kCountMismatch, kLogicSetting or kOutOfMemory); its message names the
  // set, the file and the reason.  Never throws but std::bad_alloc of its own
  // small bookkeeping.
  static std::shared_ptr<const TableSet> open(const std::filesystem::path& dir, Status& error,
                                              const OpenOptions& options = {});

  ~TableSet();
  TableSet(const TableSet&) = delete;
  TableSet& operator=(const TableSet&) = delete;

  const std::filesystem::path& directory() const { return dir_; }
  TableCounts counts() const;

 private:
  friend const grouper::PreparedSet& grouper::prepared(const TableSet& tables);
  TableSet(std::filesystem::path dir, std::unique_ptr<const grouper::PreparedSet> impl);

  std::filesystem::path dir_;
  std::unique_ptr<const grouper::PreparedSet> impl_;
};

}  // namespace episode_grouper
