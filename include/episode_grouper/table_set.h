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

namespace grouper {
class TableSet;
}

namespace episode_grouper {

// The sizes of a set, for display.
struct TableCounts {
  uint16_t dx = 0, sg = 0, mdc = 0, adrg = 0, drg = 0, cond = 0;
  uint16_t rules_before = 0;  // rules of the set for records dated before 20050101
  uint16_t rules_from = 0;    // rules of the set for records from 20050101 on
};

class EPISODE_GROUPER_API TableSet {
 public:
  // Loads the sixteen files of `dir`, for reading only.  Returns the set, or
  // null with `error` filled (kNoDirectory, kFileFailed, kCountMismatch,
  // kLogicSetting or kOutOfMemory); its message names the set, the file and
  // the reason.  Never throws but std::bad_alloc of its own small bookkeeping.
  static std::shared_ptr<const TableSet> open(const std::filesystem::path& dir, Status& error);

  ~TableSet();
  TableSet(const TableSet&) = delete;
  TableSet& operator=(const TableSet&) = delete;

  const std::filesystem::path& directory() const { return dir_; }
  TableCounts counts() const;

  // The engine's own view, for code inside the project.
  const grouper::TableSet& engine() const { return *impl_; }

 private:
  TableSet(std::filesystem::path dir, std::unique_ptr<const grouper::TableSet> impl);

  std::filesystem::path dir_;
  std::unique_ptr<const grouper::TableSet> impl_;
};

}  // namespace episode_grouper
