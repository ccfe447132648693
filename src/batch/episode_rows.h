// Rows of named episode fields, as the batch run reads them: CSV and TSV
// rows under a header naming their columns, and JSON Lines objects.
//
// CSV follows RFC 4180: fields separated by commas, a field in double
// quotes may hold commas, line feeds and doubled quotes, and a row ends with
// a line feed or a carriage return and a line feed.  TSV is the same with
// tabs.  The header names episode fields (see episode_grouper/episode.h) in
// any order; columns of other names are ignored.
//
// Workload: parse() runs once per row on every pipeline thread; with a
// parser and an episode kept per thread it allocates nothing once their
// texts have grown to the longest row's.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "episode_grouper/episode.h"

namespace grouper {

enum class InputFormat { kFixed, kCsv, kTsv, kJsonl };

// The format a file name's ending chooses (.csv, .tsv, .jsonl), else fixed.
InputFormat input_format_of_name(std::string_view name);

// What the header of a CSV or TSV input says: the field of every column.
struct EpisodeColumns {
  std::vector<std::optional<episode_grouper::EpisodeField>> fields;  // per column; none: ignored
  std::vector<std::string> ignored;                                   // the names of ignored columns
};

// Reads the header row (its line end included or not).  False with a
// message when it lacks a required column (naming every one missing) or
// names a field twice.
bool read_header(std::string_view row, InputFormat format, EpisodeColumns& columns, std::string& error);

class RowParser {
 public:
  // Fills `episode` (cleared first) from one row, its line end included or
  // not.  A value that cannot be read is an error of its field; a CSV or
  // TSV row with another number of fields than the header is an error of
  // the row.  For JSON Lines, the names of members that are no field are
  // added to `others` when given.
  void parse(std::string_view row, InputFormat format, const EpisodeColumns& columns,
             episode_grouper::Episode& episode, episode_grouper::FieldErrors& errors,
             std::vector<std::string>* others = nullptr);

 private:
  std::string field_;  // a quoted field without its quotes
};

}  // namespace grouper
