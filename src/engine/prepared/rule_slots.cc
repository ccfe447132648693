#include "engine/prepared/rule_slots.h"

namespace grouper {

namespace {

// The id that stands for the always-false condition in a rule slot: cond_cnt,
// or -1 (outside 0..cond_cnt, so read as false) when cond_cnt does not fit in
// a slot.
int16_t always_false_slot(uint16_t cond_cnt) {
  return cond_cnt <= INT16_MAX ? static_cast<int16_t>(cond_cnt) : int16_t{-1};
}

void normalize_set(RuleSet& set, uint16_t cond_cnt) {
  const int16_t never = always_false_slot(cond_cnt);
  const int cnt = cond_cnt;
  // Any id outside the catalogue refers to the always-false condition, as
  // does an empty must-not-hold slot.  (Selects without a branch, so that
  // the compiler may do a rule's slots at once.)  plain: an if per slot,
  // which mispredicted on every rule and took a tenth of opening the heavy
  // set.
  for (RuleConds& conds : set.rule_cond) {
    for (int s = 0; s < kMustHoldSlots; ++s) {
      const int c = conds[s];
      conds[s] = ((c < 0) | (c > cnt)) ? never : conds[s];
    }
    for (int s = kMustHoldSlots; s < kRuleSlots; ++s) {
      const int c = conds[s];
      conds[s] = ((c <= 0) | (c > cnt)) ? never : conds[s];
    }
  }
}

}  // namespace

void normalize_rules(TableStore& tables) {
  normalize_set(tables.tadrg, tables.cond_cnt);
  normalize_set(tables.tadrg1, tables.cond_cnt);
}

}  // namespace grouper
