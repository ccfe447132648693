#include "grouper/grouper.h"

namespace grouper {
// STUB: supplementary group.
int Grouper::find_ltcdrg() {
  result_.res_ltcdrg = 0;
  result_.res_ltcdrg_code = {'0', '0', '0', '0', '\0'};
  return 0;
}
}  // namespace grouper
