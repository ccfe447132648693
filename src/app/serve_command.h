// The serve subcommand of the grouper: the grouping service over HTTP.
#pragma once

#include <CLI/CLI.hpp>

namespace grouper {

// grouper serve: adds the subcommand and its options to `app`; its callback
// runs the service until a stop signal and leaves the exit status in `status`.
void add_serve_command(CLI::App& app, int& status);

}  // namespace grouper
