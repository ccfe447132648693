#include "grouper/grouper.h"

namespace grouper {
// STUB: condition evaluation.
void Grouper::set_table_conds() {}
void Grouper::set_logic_conds() {}
int Grouper::check_logic_setting() const { return 0; }
}  // namespace grouper
