// The commands of grouper-tables.  Each takes the arguments after its name,
// prints its own --help, and returns the process exit status.
#pragma once

namespace grouper::tools {

int cmd_dump(int argc, char** argv);      // table set -> readable text
int cmd_build(int argc, char** argv);     // readable text -> table set
int cmd_verify(int argc, char** argv);    // check every invariant of a table set
int cmd_generate(int argc, char** argv);  // synthetic table set and episodes

}  // namespace grouper::tools
