// One compare run: open the input, load both table sets, compare them over
// every record and write the file of differing records, the summary as
// text and as JSON.  Every output is written beside its target and moved
// into place at the end, so a failed run leaves none that looks complete.
// Messages go to standard error, each naming the file or the table set
// ("old" or "new") concerned; the text summary goes to standard output
// unless a file is named for it (or the differing rows take standard output,
// then it goes to standard error).  With weight catalogues (both or
// neither), the summary adds the case-mix and the weight moved; a catalogue
// that fails to load fails the run, naming its file and line.
#pragma once

#include <filesystem>

#include "batch/progress_bar.h"

namespace grouper {

struct ComparePaths {
  std::filesystem::path old_tables;
  std::filesystem::path new_tables;
  // Registries of table versions instead of the two sets (both or neither):
  // each side groups a record with its version of the record's date.
  std::filesystem::path old_registry;
  std::filesystem::path new_registry;
  std::filesystem::path input;               // "-": standard input
  std::filesystem::path output;              // the differing records ("" = none, "-": standard output)
  std::filesystem::path summary_file;        // the text summary ("" = standard output)
  std::filesystem::path json;                // the JSON summary ("" = none)
  std::filesystem::path old_weights;         // the weight catalogue of the old side ("" = no weights)
  std::filesystem::path new_weights;         // of the new side ("" = no weights)
  int threads = 1;
  ProgressMode progress = ProgressMode::kAuto;  // the bar on standard error
};

// Runs the comparison; returns 0 when every output was written, 1 on any
// failure (nothing was then moved into place).
int run_compare(const ComparePaths& paths);

}  // namespace grouper
