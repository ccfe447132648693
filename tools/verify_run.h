// The verify command as a function, for the command line and for tests.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

namespace grouper::tools {

struct VerifyOptions {
  size_t cap = 10;       // findings printed per kind before "... and N more"
  bool verbose = false;  // also say so when the set is clean
  std::filesystem::path weights{};  // a weight catalogue to check against the set ("" = none)
};

inline constexpr int kVerifyClean = 0;
inline constexpr int kVerifyProblems = 1;
inline constexpr int kVerifyUnreadable = 2;

// Loads the table set in `dir` (and the weight catalogue, when given) and checks it.  Appends the report to `out`
// (nothing for a clean set unless verbose) and returns kVerifyClean,
// kVerifyProblems, or kVerifyUnreadable when the loader refuses the set or the catalogue.
int verify_table_set(const std::filesystem::path& dir, const VerifyOptions& options, std::string& out);

}  // namespace grouper::tools
