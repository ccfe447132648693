// The subcommands of the grouper.  Each adds itself to the command line with
// its options and a callback that runs it and leaves its exit status in
// `status`; main() only lists them.
#pragma once

#include <CLI/CLI.hpp>

namespace grouper {

// grouper explain: one record, every step the grouping took.
void add_explain_command(CLI::App& app, int& status);
// grouper report: the casemix page of a detailed result file.
void add_report_command(CLI::App& app, int& status);
// grouper compare: every record under two table sets, what moves and where.
void add_compare_command(CLI::App& app, int& status);
// grouper serve: the grouping service over HTTP, until a stop signal.
void add_serve_command(CLI::App& app, int& status);

}  // namespace grouper
