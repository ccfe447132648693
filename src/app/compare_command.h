// The compare subcommand of the grouper: the impact of a new table version.
#pragma once

namespace CLI {
class App;
}

namespace grouper {

// Adds `grouper compare` to `app`.  When the subcommand is given, its
// callback runs the comparison (and the HTML page, when asked for) and
// leaves the exit status in `status`: 0 ok, 1 failure, 2 bad usage.
void add_compare_command(CLI::App& app, int& status);

}  // namespace grouper
