// Running a built program of the project in a directory, as a user would.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace grouper::testing {

// The grouper's end message: code page 949 bytes, no line feed.
inline const std::string kEnd = "==========\xB1\xD7\xB7\xEC\xC6\xDB \xC0\xDB\xBE\xF7 end ===========";

struct ProgramRun {
  int exit_code = -1;      // the program's exit status, -1 when it did not exit normally
  int signal = 0;          // the signal that ended it, 0 when it exited
  bool timed_out = false;  // killed because it ran past the time limit
  std::string out;         // everything it printed on standard output (up to the point it was closed)
  std::string err;         // everything it printed on standard error
};

struct RunOptions {
  std::string input;  // the bytes of standard input, which then ends
  // Standard output is closed once this many bytes of it have arrived, as a
  // reader that has seen enough (`| head -c N`) closes its pipe.
  size_t close_output_after = SIZE_MAX;
  int timeout_seconds = 300;  // then the program is killed
  // Variables added to the program's environment (name, value).
  std::vector<std::pair<std::string, std::string>> env;
};

// Runs `program` with `args` (already quoted for the shell) in `dir`,
// standard input empty.
ProgramRun run_program(const std::string& program, const std::filesystem::path& dir,
                       const std::string& args = "");
ProgramRun run_program(const std::string& program, const std::filesystem::path& dir, const std::string& args,
                       const RunOptions& options);

// The grouper of this build.
inline ProgramRun run_grouper(const std::filesystem::path& dir, const std::string& args = "") {
  return run_program(GROUPER_BINARY, dir, args);
}
inline ProgramRun run_grouper(const std::filesystem::path& dir, const std::string& args,
                              const RunOptions& options) {
  return run_program(GROUPER_BINARY, dir, args, options);
}

// `s` quoted for the shell.
std::string shell_quoted(const std::string& s);

// A fresh empty directory under the test temporary directory.
std::filesystem::path fresh_dir(const std::string& name);

// A fresh directory that is removed, with everything in it, when the object
// goes out of scope.
class ScratchDir {
 public:
  explicit ScratchDir(const std::string& name) : path_(fresh_dir(name)) {}
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::filesystem::path& p) const { return path_ / p; }

 private:
  std::filesystem::path path_;
};

std::string read_file(const std::filesystem::path& path);
void write_file(const std::filesystem::path& path, const std::string& bytes);

}  // namespace grouper::testing
