// Runs a module of the Python package episode_grouper (the report, the
// compare page) in Debian's interpreter /usr/bin/python3, for which the
// package's extension is built.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace grouper {

// The directory that holds the package episode_grouper: GROUPER_PYTHONPATH
// when set, else build/python beside a program in build/src, else the
// installed copy under the program's prefix.  Empty when none is found.
std::filesystem::path python_package_dir();

// Runs `/usr/bin/python3 -m MODULE ARGS...` with the package importable,
// standard streams shared, and waits for it.  Returns its exit status, or 1
// (with a message on standard error) when it could not be started or died
// of a signal.
int run_python_module(const std::string& module, const std::vector<std::string>& args);

// A module of the package started ahead of the moment its input is ready,
// so that starting the interpreter and importing the module's libraries
// overlap the work that makes the input.  Its standard input is a pipe
// whose write end is held here; its other streams are shared.  SIGINT is
// blocked in it until it unblocks it itself: an interrupt ends this
// process, which closes the pipe, and the module then ends without a word.
// The child is always reaped: by finish(), or by abandon() or the
// destructor, which close the pipe, end it with SIGTERM and wait.
class PythonChild {
 public:
  PythonChild() = default;
  PythonChild(const PythonChild&) = delete;
  PythonChild& operator=(const PythonChild&) = delete;
  ~PythonChild() { abandon(); }

  // Starts `/usr/bin/python3 -m MODULE ARGS...` as run_python_module does.
  // False when it could not be started; finish() then says why.
  bool start(const std::string& module, const std::vector<std::string>& args);
  bool started() const { return pid_ > 0; }

  // The write end of the child's standard input (-1 when it did not start).
  int input() const { return input_; }

  // Closes the child's input and waits for it; returns its exit status, or
  // 1 (with a message on standard error) when it could not be started or
  // died of a signal.
  int finish();

  // Ends the child without waiting for its work: no effect once finished.
  void abandon();

 private:
  void close_input();

  std::string module_;
  std::string error_;  // why it could not be started
  int pid_ = -1;
  int input_ = -1;
};

}  // namespace grouper
