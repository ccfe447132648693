#include "commands.h"

namespace grouper::tools {
// STUB: dump and build.
int cmd_dump(int, char**) { return 2; }
int cmd_build(int, char**) { return 2; }
}  // namespace grouper::tools
