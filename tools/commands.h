// The commands of grouper-tables.  Each takes the arguments after its name,
// prints its own --help, and returns the process exit status.
#pragma once

#include <cstring>

namespace grouper::tools {

// "--help" or "-h".
inline bool is_help_flag(const char* arg) { return std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0; }

// Whether any argument asks for help: help wins over every other argument.
inline bool asks_for_help(int argc, char** argv) {
  for (int i = 0; i < argc; ++i) {
    if (is_help_flag(argv[i])) return true;
  }
  return false;
}

int cmd_dump(int argc, char** argv);      // table set -> readable text
int cmd_build(int argc, char** argv);     // readable text -> table set
int cmd_verify(int argc, char** argv);    // check every invariant of a table set
int cmd_generate(int argc, char** argv);  // synthetic table set and episodes

}  // namespace grouper::tools
