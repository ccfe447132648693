// One batch run: open the episode and result files, load the tables, group
// every record, write its result line, report progress and the end.
//
// Messages go to standard output byte for byte as the grouper has always
// printed them, or to standard error when the result lines go to standard
// output (then standard output carries nothing but result lines).  Only the
// detailed result file, which the classic run does not have, reports its own
// failures on standard error.  Every failure path releases the tables if
// they were loaded, prints no end message and returns a non-zero status.
#pragma once

#include <filesystem>

#include "batch/batch.h"
#include "batch/progress_bar.h"

namespace grouper {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;

// "-" as the input or the output names standard input or standard output.
inline constexpr const char* kStandardStream = "-";

struct RunPaths {
  // The run without arguments opens the input and the table files for
  // reading and update, and says no more than its classic messages; every
  // other run reads them only, and says on standard error which file failed
  // and why beside the classic message.
  bool classic = false;
  std::filesystem::path tables_dir;             // where the sixteen table files lie ("" = current directory)
  // A registry of table versions instead of tables_dir ("" = none): each
  // record is grouped with the version of its date, the rows gain the
  // tables column and the summary the records per version.
  std::filesystem::path registry;
  std::filesystem::path input = "tamv30.in";    // episode lines, opened "rb" ("rb+" in the classic run)
  std::filesystem::path output = "tamv30.out";  // result lines, opened "wb+"
  std::filesystem::path results;                // detailed result file ("" = none)
  std::filesystem::path weights;                // weight catalogue ("" = none): weight columns and case-mix
  // Find what each code of every record is worth: the detailed results gain
  // the impact column, the summary the codes that move the most weight.
  bool impact = false;
  RowFormat results_format = RowFormat::kTsv;
  bool summary = false;                         // print the summary of the findings on standard error
  std::filesystem::path summary_file;           // write it to this file instead ("" = none)
  ProgressMode progress = ProgressMode::kOff;  // the bar on standard error
  int threads = 1;                              // grouping threads (the program gives one per core); the output is the same for any number
  // Episodes as named fields (CSV, TSV, JSON Lines) instead of records.
  // Then the result lines too are written beside their file and moved into
  // place at a complete end, and the columns or members ignored are named
  // in one line on standard error.
  InputFormat input_format = InputFormat::kFixed;
  bool strict = false;                          // the first row that cannot be built ends the run, status 1
  std::filesystem::path records_out;            // named fields: also write the record built from each row ("" = none)
  // Counts the detailed result rows (results_format) for the casemix report,
  // when given, with or without a results file.
  ResultCounts* counts = nullptr;
};

// Runs the batch and returns the process exit status: kExitOk after a normal
// end, kExitFailure on every failure path.
int run_batch(const RunPaths& paths);

}  // namespace grouper
