// Grouping records one at a time over a table set.
//
// A Grouper holds the per-record working state of the grouping, so there is
// one per thread; any number of them may share one TableSet.  group() takes
// one record as the line splitting gives it (see line_splitter.h; a line
// feed at its end is part of it) and returns its full result.  Grouping a
// record allocates nothing and never throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "episode_grouper/episode.h"
#include "episode_grouper/export.h"
#include "episode_grouper/impact.h"
#include "episode_grouper/result.h"
#include "episode_grouper/table_set.h"
#include "episode_grouper/version.h"
#include "episode_grouper/weights.h"

namespace grouper {
class Engine;
class ImpactProbe;
}

namespace episode_grouper {

// Bytes a result line can take: 300 characters and a line feed, more never.
inline constexpr size_t kMaxResultLine = 301;
// Bytes a TSV result row or a JSON Lines result row can take, at most.
inline constexpr size_t kMaxResultRow = 2048;
inline constexpr size_t kMaxJsonRow = 4096;

// The outputs of a result kept from an earlier group() call, written as the
// Grouper members below write those of the last record.
EPISODE_GROUPER_API size_t write_result_row(const TableSet& tables, const Result& result, int64_t record,
                                            char* out);
EPISODE_GROUPER_API size_t write_json_row(const TableSet& tables, const Result& result, int64_t record,
                                          char* out);
// The same with the weight columns after the others and the weight's
// finding, if any, after the result's findings (see weights.h; the header
// is result_header_with_weights()).
EPISODE_GROUPER_API size_t write_result_row(const TableSet& tables, const Result& result,
                                            const EpisodeWeight& weight, int64_t record, char* out);
EPISODE_GROUPER_API size_t write_json_row(const TableSet& tables, const Result& result,
                                          const EpisodeWeight& weight, int64_t record, char* out);

class EPISODE_GROUPER_API Grouper {
 public:
  explicit Grouper(std::shared_ptr<const TableSet> tables);
  ~Grouper();
  Grouper(const Grouper&) = delete;
  Grouper& operator=(const Grouper&) = delete;

  // Groups one record (at most 4095 bytes are read; any bytes at all).  The
  // result stays valid until the next call.
  const Result& group(std::string_view record);

  // Builds the record of `episode` (see episode.h) and groups it.  Null,
  // with every error added to `errors`, when the episode cannot be built;
  // the last result and outputs are then those of the record before.
  const Result* group(const Episode& episode, FieldErrors& errors);

  // The result of the last record grouped, as group() returned it.
  const Result& result() const;

  // What each code of the last record grouped is worth (see impact.h): the
  // record grouped again without each of its codes 2..46, with the weights
  // of `weights` when given.  result() and the outputs below stay those of
  // the record.  Costs one grouping per code; the first call makes a second
  // grouping state, later ones allocate nothing.  Valid until the next call.
  const Impact& impact(const WeightCatalogue* weights = nullptr);

  // The outputs of the last record grouped.  Each writes into `out`, which
  // holds at least the size named, and returns the length written:
  // the classic 300-character result line with its line feed;
  size_t write_result_line(char* out) const;
  // the tab-separated result row of record number `record` (from 1), line
  // feed included; result_header() names its columns;
  size_t write_result_row(int64_t record, char* out) const;
  // one JSON object of record number `record` and a line feed.
  size_t write_json_row(int64_t record, char* out) const;
  // Both with the weight columns, `weight` being the last record's (as
  // weigh() gives it; see weights.h).
  size_t write_result_row(int64_t record, const EpisodeWeight& weight, char* out) const;
  size_t write_json_row(int64_t record, const EpisodeWeight& weight, char* out) const;
  // The weight of the last record grouped.
  EpisodeWeight weigh(const WeightCatalogue& weights) const { return weights.weigh(result()); }

  std::string result_line() const;
  std::string result_row(int64_t record) const;
  std::string json_row(int64_t record) const;

  static std::string_view result_header();
  // The header of rows with the weight columns.
  static std::string_view result_header_with_weights();

 private:
  std::shared_ptr<const TableSet> tables_;
  std::unique_ptr<grouper::Engine> engine_;
  std::unique_ptr<char[]> line_;  // the record, blank-padded, upper-cased by the grouping
  size_t len_ = 0;
  std::unique_ptr<grouper::ImpactProbe> probe_;  // made by the first impact()
  std::unique_ptr<Impact> impact_;
};

}  // namespace episode_grouper
