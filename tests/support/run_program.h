// Running a built program of the project in a directory, as a user would.
#pragma once

#include <filesystem>
#include <string>

namespace grouper::testing {

// The grouper's end message: code page 949 bytes, no line feed.
inline const std::string kEnd = "==========\xB1\xD7\xB7\xEC\xC6\xDB \xC0\xDB\xBE\xF7 end ===========";

struct ProgramRun {
  int exit_code = -1;  // the program's exit status, -1 when it did not exit normally
  std::string out;     // everything it printed on standard output
};

// Runs `program` with `args` (already quoted for the shell) in `dir`,
// standard error discarded.
ProgramRun run_program(const std::string& program, const std::filesystem::path& dir,
                       const std::string& args = "");

// The grouper of this build.
inline ProgramRun run_grouper(const std::filesystem::path& dir, const std::string& args = "") {
  return run_program(GROUPER_BINARY, dir, args);
}

// A fresh empty directory under the test temporary directory.
std::filesystem::path fresh_dir(const std::string& name);

std::string read_file(const std::filesystem::path& path);
void write_file(const std::filesystem::path& path, const std::string& bytes);

}  // namespace grouper::testing
