// An index of one rule set by must-hold condition, so that a rule pass tries
// only the rules that can match the record instead of every rule of its
// list.
//
// Every rule that can ever match is filed under one key: the rarest of its
// must-hold conditions, or key 0 when all its must-hold slots are empty.  A
// rule matches only when its key condition holds, so the first matching rule
// of a list is the first match among the rules filed under key 0 and under
// the conditions that hold for the record; the pass tries those, in rule
// order, and gives exactly the rule the full scan gives.  A rule with a
// must-hold slot that can never hold (the always-false id) is filed nowhere.
//
// Workload: built once per table set; a pass costs a few binary searches
// and the candidates, however many rules the list holds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "grouper/guarded_lookup.h"
#include "tables/table_store.h"

namespace grouper {

inline constexpr int kMustHoldSlots = 10;
inline constexpr int kRuleSlots = 20;

// Rules of the set that exist in every per-rule array.
inline size_t rule_rows(const RuleSet& set) {
  return rows_of(set.rule_cnt, set.rule_adpt_fr_dt, set.rule_adpt_to_dt, set.rule_cond, set.rule_mdc,
                 set.rule_adrg);
}

class RuleIndex {
 public:
  // Files rules 0..rule_rows-1 of a normalised rule set.
  void build(const RuleSet& set, size_t rule_rows, uint16_t cond_cnt);

  // The rules filed under condition `key` (0 = no must-hold condition), in
  // rule order; none for a key outside the catalogue.
  std::span<const int32_t> rules_of(int key) const {
    if (key < 0 || static_cast<size_t>(key) + 1 >= start_.size()) return {};
    return {rules_.data() + start_[static_cast<size_t>(key)],
            static_cast<size_t>(start_[static_cast<size_t>(key) + 1] - start_[static_cast<size_t>(key)])};
  }

 private:
  std::vector<int32_t> start_;  // per key 0..cond_cnt-1, and one past: offsets into rules_
  std::vector<int32_t> rules_;
};

}  // namespace grouper
