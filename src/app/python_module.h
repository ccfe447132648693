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

}  // namespace grouper
