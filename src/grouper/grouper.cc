#include "grouper/grouper.h"

namespace grouper {

// STUB: owned by the grouping work; replaced by the real construction and reset.
Grouper::Grouper(const TableStore& tables)
    : t_(tables), active_(&tables.tadrg1), logic_setting_ok_(true), cond_cnt_(tables.cond_cnt), cond_stride_(0) {}

int Grouper::group(char* line, size_t len) {
  select_rule_set(line);
  if (prepare_record(line, len) != 0) return -1;
  find_mdc();
  if (result_.res_mdc != 0) find_adrg();
  if (result_.res_adrg != 0) {
    find_drg();
    calc_pccl();
  }
  find_ltcdrg();
  return 0;
}

uint8_t Grouper::cond_val(int) const { return 0; }
int8_t Grouper::cond_hits(int) const { return 0; }
uint8_t Grouper::pos_cond(int, int) const { return 0; }
void Grouper::reset_record() { result_ = RecordResult{}; }

}  // namespace grouper
