// What every subcommand of the grouper shares on its CLI11 command line:
// usage errors with exit status 2 and a pointer to the right --help, option
// values that may not be empty, the thread count, and the parse-and-run step.
#pragma once

#include <CLI/CLI.hpp>

#include <cstdint>
#include <string>

namespace grouper::cli {

constexpr int kExitUsage = 2;

// A usage error found after the options were read (two options that exclude
// each other, say): thrown from a subcommand's callback, reported as a parse
// error of that subcommand.
class UsageError : public CLI::ParseError {
 public:
  explicit UsageError(const std::string& message) : CLI::ParseError("UsageError", message, kExitUsage) {}
};

// Refuses an empty value ("--dir=").
const CLI::Validator& non_empty();

// Adds an option NAME whose value is a whole number written in digits only
// (a sign is refused, not wrapped around).
CLI::Option* add_count_option(CLI::App& app, const std::string& name, uint64_t& value, const std::string& text);

// Adds "-j,--threads N" (0, the default, meaning one thread per core) that
// leaves the resolved count in `threads`.
CLI::Option* add_threads_option(CLI::App& app, int& threads);

// Gives `app` the house style: help and version on standard output,
// one value per option (a second is an error), no abbreviations.
void configure(CLI::App& app, const std::string& version);

// Parses the command line, which runs the chosen subcommand's callback.
// Returns `status` after a run, 0 after --help or --version, and 2 after a
// usage error, printed as "NAME: message" and a pointer to NAME --help.
int parse_and_run(CLI::App& app, int argc, char** argv, const int& status);

}  // namespace grouper::cli
