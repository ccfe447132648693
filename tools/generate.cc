#include "commands.h"

namespace grouper::tools {
// STUB: generate.
int cmd_generate(int, char**) { return 2; }
}  // namespace grouper::tools
