// The record loop of a batch, without files of its own and without messages:
// an ordered pipeline reads blocks of records, groups blocks on every thread
// (one Engine per thread and table set) and writes them in input order, so
// reading, grouping and writing overlap and the bytes are the same for any
// number of threads.  The classic run and the Python module's group_file
// both run it.
//
// The input may also be episodes as named fields (CSV, TSV, JSON Lines; see
// episode_rows.h): then only splitting the rows is serial; each row is read
// and built into its record (episode_grouper::build_record) on the grouping
// threads, and the record is grouped as a record of the fixed input.  A row
// that cannot be built gives a result line holding only its id, with no
// groups, and a row with an input_invalid finding per field error.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>

#include <string>
#include <vector>

#include "batch/episode_rows.h"
#include "batch/finding_summary.h"
#include "batch/impact_summary.h"
#include "batch/output_file.h"
#include "batch/result_counts.h"
#include "engine/prepared/prepared_set.h"
#include "episode_grouper/table_registry.h"
#include "episode_grouper/weights.h"

namespace grouper {

enum class RowFormat { kTsv, kJsonl };

struct BatchOptions {
  int threads = 1;                  // grouping threads, 1 or more
  OutputFile* rows = nullptr;       // the detailed result rows, or none
  RowFormat row_format = RowFormat::kTsv;
  int64_t first_record = 1;         // the number of the first record in the rows
  FindingSummary* summary = nullptr;  // counts the findings of every record written, when given
  // Counts the detailed result rows of every record written, in row_format,
  // for the casemix report, when given (the rows are laid out for it even
  // without `rows`); it is started here with the rows' layout.
  ResultCounts* counts = nullptr;
  // Weighs every record with this catalogue, when given: the rows gain the
  // weight columns, the findings the weight findings, the summary its
  // case-mix.  The result lines stay as they are.
  const episode_grouper::WeightCatalogue* weights = nullptr;
  // Finds the impact of every record (see episode_grouper/impact.h): the
  // rows gain the impact column, last.  Costs one grouping per code.
  bool impact = false;
  // With `impact`: notes what every record's codes are worth, when given.
  ImpactSummary* impact_summary = nullptr;
  // Called after the result line of every 10000th record is written, with
  // the number of records so far.
  std::function<void(int64_t)> progress;
  // Called after every block written, with the records written and the
  // bytes of input consumed so far (for a progress bar).
  std::function<void(int64_t, uint64_t)> after_block;
  // Episodes as named fields instead of records; the rows then carry the id
  // column.
  InputFormat input_format = InputFormat::kFixed;
  // The record built from each row of named fields, a line feed after it,
  // when given (an invalid row's record holds only its id).
  OutputFile* records = nullptr;
  // The first row of named fields that cannot be built ends the run
  // (BatchEnd::kInvalidRow) before anything of its block is written.
  bool strict = false;
};

// The MDC rows of a summary over the versions of a registry: each version's
// MDC index mapped to one row per MDC code, so that the same MDC of two
// versions counts in one row.
struct VersionMdcRows {
  explicit VersionMdcRows(const episode_grouper::TableRegistry& registry);
  std::vector<Code3> codes;                // by row; row 0 is "none"
  std::vector<std::vector<int16_t>> rows;  // per version, by its MDC index
};

enum class BatchEnd {
  kDone,          // the input was read to its end and every line written
  kLogicSetting,  // the catalogue disagrees with the logic conditions: stopped before the first line
  kReadError,     // the input could not be read to its end
  kWriteError,    // a result line or row could not be written
  kInputError,    // the rows of named fields cannot be read on (a header without a required column, a row too long)
  kInvalidRow,    // strict: a row of named fields cannot be built
  kCountError,    // a result row could not be counted for the report (a fault of the grouper)
};

struct BatchOutcome {
  BatchEnd end = BatchEnd::kDone;
  int64_t records = 0;  // records whose result line was written
  std::string message;  // kInputError, kInvalidRow: what and where, e.g. "row 3 (line 4): los: ..."
  // Named-field input: the columns (CSV, TSV) or members (JSON Lines) of
  // other names, which were ignored, in the order first met.
  std::vector<std::string> ignored;
  // Over a registry: the records of each version, in the order of its
  // versions(), then those no version holds.
  std::vector<int64_t> per_version;
};

// Groups every record of `in` into `lines` (and options.rows).  The TSV
// header is written first when rows are wanted in TSV.  Does not close or
// flush the outputs.
BatchOutcome group_batch(const PreparedSet& set, std::FILE* in, OutputFile& lines, const BatchOptions& options);

// The same over a registry of table versions: each record is grouped with
// the version whose window holds its record date, its result line and row
// exactly those of a run over that version alone, and the rows gain the
// `tables` column, the version's name, after all others.  A record that no
// version holds (see table_registry.h) gets a result line without groups
// ("0000" both), a row without groups, and the finding no_table_version
// with its date.  The summary counts MDCs by code across versions
// (`mdc_rows`, which the summary was made for).  The result counts of the
// report are not made over a registry.
BatchOutcome group_batch(const episode_grouper::TableRegistry& registry, const VersionMdcRows& mdc_rows,
                         std::FILE* in, OutputFile& lines, const BatchOptions& options);

}  // namespace grouper
