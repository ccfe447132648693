#include "grouper/grouper.h"

namespace grouper {
// STUB: patient complexity.
void Grouper::calc_pccl() {}
int16_t Grouper::find_ccl(int16_t) const { return 0; }
void Grouper::apply_sex_exclusion() {}
int Grouper::is_cc_excluded(int16_t, int16_t) const { return 0; }
}  // namespace grouper
