// A registry of table versions: several table sets, each valid over a window
// of record dates, so that every record is grouped with the version in force
// on its date.
//
// The registry file is tab-separated: a header naming the columns `name`,
// `directory`, `valid_from` and `valid_to` (in any order; other columns are
// ignored), then one version a line; empty lines and lines starting with '#'
// are skipped.  A directory is taken relative to the registry file's folder
// unless it is absolute.  Dates are YYYYMMDD and inclusive; an empty
// valid_from or valid_to leaves that end of the window open.
//
//   name   directory  valid_from  valid_to
//   2005   tables-2005 20050101   20051231
//   2006   tables-2006 20060101
//
// open() checks everything before anything is grouped, and fails (kind
// kRegistry, the message "FILE:LINE: what") on a missing column, a bad name
// or date, a window that ends before it starts, two windows that overlap, a
// duplicate name, or a directory that does not hold a loadable table set
// (the loader's message follows).  Days between windows are allowed; each
// gap is one of warnings().
//
// A record takes the version whose window holds its record date rec_date as
// the grouping reads it (the digit field at offset 21); a blank date (0) or
// an unreadable one (-1) takes none, whatever the windows.  The registry is
// immutable once opened and shared by any number of threads; choosing a
// version is a search over a small sorted array and allocates nothing.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "episode_grouper/export.h"
#include "episode_grouper/grouper.h"
#include "episode_grouper/status.h"
#include "episode_grouper/table_set.h"

namespace episode_grouper {

struct TableVersion {
  std::string name;                 // letters, digits, '.', '_' and '-' only
  std::filesystem::path directory;  // as resolved against the registry file's folder
  int32_t valid_from = 0;           // inclusive; kOpenFrom when the window opens at no date
  int32_t valid_to = 0;             // inclusive; kOpenTo when it never closes
  int line = 0;                     // the registry file's line of the version
  std::shared_ptr<const TableSet> tables;
};

class EPISODE_GROUPER_API TableRegistry {
 public:
  static constexpr int32_t kOpenFrom = 0;
  static constexpr int32_t kOpenTo = 99999999;
  // What version_of() gives to a record no version holds.
  static constexpr int kNoVersion = -1;

  // Reads the registry `file` and opens every version's table set with
  // `options`.  Returns the registry, or null with `error` filled (see above).
  static std::shared_ptr<const TableRegistry> open(const std::filesystem::path& file, Status& error,
                                                   const OpenOptions& options = {});

  const std::filesystem::path& file() const { return file_; }
  // The versions, earliest window first.
  const std::vector<TableVersion>& versions() const { return versions_; }
  // One line per gap between windows, e.g. "registry.tsv: no version holds
  // 20060101..20061231 (between 2005 on line 3 and 2007 on line 4)".
  const std::vector<std::string>& warnings() const { return warnings_; }
  // The version of that name, or null.
  const TableVersion* find(std::string_view name) const;

  // The index in versions() of the version whose window holds `rec_date`,
  // or kNoVersion (always for a date of 0 or less).
  int version_of_date(int32_t rec_date) const {
    if (rec_date <= 0) return kNoVersion;
    // The last window starting on or before the date, if it has not ended.
    size_t lo = 0, hi = from_.size();
    while (lo < hi) {
      const size_t mid = (lo + hi) / 2;
      if (from_[mid] <= rec_date) lo = mid + 1;
      else hi = mid;
    }
    if (lo == 0 || to_[lo - 1] < rec_date) return kNoVersion;
    return static_cast<int>(lo - 1);
  }
  // The version of a record as the line splitting gives it (bytes past its
  // end read as blanks).
  int version_of(std::string_view record) const { return version_of_date(record_date(record)); }
  // The record date as the grouping reads it: YYYYMMDD, 0 when blank, -1
  // when the field holds anything but digits and blanks.
  static int32_t record_date(std::string_view record);

 private:
  TableRegistry() = default;

  std::filesystem::path file_;
  std::vector<TableVersion> versions_;
  std::vector<int32_t> from_, to_;  // the windows of versions_, for the search
  std::vector<std::string> warnings_;
};

// Bytes a result row of a RegistryGrouper can take, at most: a row and its
// tables column (a tab and a name of at most 64 bytes).
inline constexpr size_t kMaxRegistryRow = kMaxResultRow + 65;
inline constexpr size_t kMaxRegistryJsonRow = kMaxJsonRow + 76;

// Groups records one at a time over a registry, each with the version of
// its date: one Grouper per version, so one RegistryGrouper per thread; any
// number of them may share one registry.  Grouping a record allocates
// nothing and never throws.
class EPISODE_GROUPER_API RegistryGrouper {
 public:
  explicit RegistryGrouper(std::shared_ptr<const TableRegistry> registry);
  ~RegistryGrouper();
  RegistryGrouper(const RegistryGrouper&) = delete;
  RegistryGrouper& operator=(const RegistryGrouper&) = delete;

  // Groups one record (as Grouper::group does) with the version that holds
  // its date.  A record no version holds is not grouped: its result has no
  // groups, its record date as read, and one finding, no_table_version with
  // that date.  The result stays valid until the next call.
  const Result& group(std::string_view record);

  const Result& result() const;
  // The version of the last record: its index in the registry's versions()
  // and its name, or kNoVersion and "".
  int version() const { return version_; }
  std::string_view version_name() const;
  // The table set of the last record's version, null when none held it.
  const TableSet* tables() const;

  // The outputs of the last record, as Grouper writes them; the rows end
  // with the tables column (TSV) or member (JSON, null for no version).  A
  // record no version holds has the result line of no groups ("0000" both)
  // and a row whose columns between `record` and `findings` are empty
  // (null in JSON).
  size_t write_result_line(char* out) const;                 // kMaxResultLine
  size_t write_result_row(int64_t record, char* out) const;  // kMaxRegistryRow
  size_t write_json_row(int64_t record, char* out) const;    // kMaxRegistryJsonRow
  // The header of its rows: Grouper::result_header() with "tables".
  static std::string_view result_header();

 private:
  std::shared_ptr<const TableRegistry> registry_;
  std::vector<std::unique_ptr<Grouper>> groupers_;
  int version_ = TableRegistry::kNoVersion;
  Result ungrouped_;                 // the result of a record no version holds
  std::unique_ptr<char[]> line_;     // its result line
  size_t line_len_ = 0;
};

}  // namespace episode_grouper
