// The casemix report on a run: the batch run's `--report FILE` (the
// subcommand `grouper report RESULTS -o FILE` is listed in commands.h).  Both
// write one self-contained HTML page through the Python package's report
// module (episode_grouper.report).
#pragma once

#include <CLI/CLI.hpp>

#include <filesystem>
#include <string>

#include "batch/run_loop.h"

namespace grouper {

// Adds the batch run's "--report FILE" option to `app`; the name lands in
// `report`.  Refuses an empty name and "-".
CLI::Option* add_report_option(CLI::App& app, std::string& report);

// Runs the batch `paths`, then writes the report of its detailed results to
// `report`.  Without paths.results the results go to a file beside the
// report that is removed afterwards.  Returns the run's status when it
// failed (no report then), else the report's.
int run_batch_with_report(RunPaths paths, const std::filesystem::path& report);

}  // namespace grouper
