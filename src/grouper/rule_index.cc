#include "grouper/rule_index.h"

namespace grouper {

void RuleIndex::build(const RuleSet& set, size_t rule_rows, uint16_t cond_cnt) {
  // How often each condition is a must-hold condition: the rarest one of a
  // rule is its key, so that lists of common conditions stay short.
  std::vector<int32_t> uses(cond_cnt, 0);
  auto real = [cond_cnt](int16_t c) { return c >= 1 && c < cond_cnt; };
  for (size_t i = 0; i < rule_rows; ++i) {
    for (int s = 0; s < kMustHoldSlots; ++s) {
      if (real(set.rule_cond[i][s])) ++uses[static_cast<size_t>(set.rule_cond[i][s])];
    }
  }
  // key per rule: -1 when the rule can never match.
  std::vector<int32_t> key(rule_rows, 0);
  for (size_t i = 0; i < rule_rows; ++i) {
    for (int s = 0; s < kMustHoldSlots; ++s) {
      const int16_t c = set.rule_cond[i][s];
      if (c == 0) continue;  // an empty slot always holds
      if (!real(c)) {        // the always-false id, or one outside the catalogue
        key[i] = -1;
        break;
      }
      if (key[i] == 0 || uses[static_cast<size_t>(c)] < uses[static_cast<size_t>(key[i])]) key[i] = c;
    }
  }
  const size_t keys = cond_cnt > 0 ? cond_cnt : 1;  // key 0 exists even in an empty catalogue
  start_.assign(keys + 1, 0);
  for (int32_t k : key) {
    if (k >= 0) ++start_[static_cast<size_t>(k) + 1];
  }
  for (size_t k = 0; k < keys; ++k) start_[k + 1] += start_[k];
  rules_.assign(static_cast<size_t>(start_[keys]), 0);
  std::vector<int32_t> fill(start_.begin(), start_.end() - 1);
  for (size_t i = 0; i < rule_rows; ++i) {
    if (key[i] >= 0) rules_[static_cast<size_t>(fill[static_cast<size_t>(key[i])]++)] = static_cast<int32_t>(i);
  }
}

}  // namespace grouper
