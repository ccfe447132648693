#include "commands.h"

namespace grouper::tools {
// STUB: verify.
int cmd_verify(int, char**) { return 2; }
}  // namespace grouper::tools
