// The commands of grouper-tables.  Each adds itself to the command line with
// its arguments and a callback that runs it and leaves the process exit
// status in `status`.
#pragma once

#include <CLI/CLI.hpp>

namespace grouper::tools {

void add_dump_command(CLI::App& app, int& status);      // table set -> readable text
void add_build_command(CLI::App& app, int& status);     // readable text -> table set
void add_verify_command(CLI::App& app, int& status);    // check every invariant of a table set
void add_generate_command(CLI::App& app, int& status);  // synthetic table set and episodes

}  // namespace grouper::tools
