// Comparing two table sets over one episode file, without files of its own
// and without messages: every record is grouped under both sets, side by
// side, by two Engines of the same pipeline thread, on every thread of the
// ordered pipeline the batch run uses.  Two results differ when any column
// of their detailed result rows (see output/result_table.h) but the record
// number differs: groups compare by code text, never by table index.  The
// differing records are written in input order, both rows side by side, and
// counted in a CompareSummary; the bytes are the same for any number of
// threads.  With weight catalogues, every record is also weighed under each
// side's catalogue: the sums go to the summary block by block, the records
// whose effective weight differs to its weight moves, and the differing
// rows carry each side's weight columns.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

#include "batch/batch.h"
#include "batch/output_file.h"
#include "compare/compare_summary.h"
#include "engine/prepared/prepared_set.h"
#include "episode_grouper/table_registry.h"
#include "episode_grouper/weights.h"

namespace grouper {

// The header of the file of differing records: "record", then every column
// of the result row prefixed "old_", then every one prefixed "new_"; with
// weights, the result row's weight columns are among them.
std::string compare_header(bool with_weights = false);

struct CompareOptions {
  int threads = 1;               // grouping threads, 1 or more
  OutputFile* diff = nullptr;    // the rows of the differing records (header first), or none
  // The catalogues that weigh the old and the new results: both or neither
  // (then the summary must have use_weights() called).
  const episode_grouper::WeightCatalogue* old_weights = nullptr;
  const episode_grouper::WeightCatalogue* new_weights = nullptr;
  // Called after every block, with the records and the bytes of input
  // compared so far (for a progress bar).
  std::function<void(int64_t, uint64_t)> after_block;
};

// Groups every record of `in` under `old_set` and `new_set`, both of which
// must have passed the logic-setting check, and counts them in `summary`.
// Returns kDone, kReadError or kWriteError (of options.diff) and the records
// read.  Does not close or flush the output.
BatchOutcome compare_batch(const PreparedSet& old_set, const PreparedSet& new_set, std::FILE* in,
                           CompareSummary& summary, const CompareOptions& options);

// The same with a registry of table versions on each side: each side groups
// a record with its version of the record's date; a record that no version
// of a side holds has, on that side, no groups and the finding
// no_table_version (and a row like the program's for it).
BatchOutcome compare_batch(const episode_grouper::TableRegistry& old_side,
                           const episode_grouper::TableRegistry& new_side, std::FILE* in, CompareSummary& summary,
                           const CompareOptions& options);

}  // namespace grouper
