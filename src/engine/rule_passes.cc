// Group assignment: the choice of rule set and the two rule passes, the
// first of which gives the MDC, the second the ADRG within it.
//
// Both passes give the first rule of a rule list that matches; they go
// through the rule index (see prepared/rule_index.h), which gives the full
// scan's rule.  The rule slots were normalised when the set was opened
// (prepared/rule_slots.h).  Nothing is allocated.
#include <algorithm>
#include <bit>
#include <iterator>

#include "engine/engine.h"
#include "engine/prepared/fixed_ids.h"
#include "engine/prepared/guarded_lookup.h"
#include "engine/prepared/rule_index.h"

namespace grouper {

void Engine::select_rule_set(const char* line) {
  static constexpr char kSwitchDate[] = "20050101";
  int order = 0;
  for (size_t i = 0; i < kRecDateWidth && order == 0; ++i) {
    const auto a = static_cast<unsigned char>(line[kRecDateOffset + i]);
    const auto b = static_cast<unsigned char>(kSwitchDate[i]);
    order = (a > b) - (a < b);
  }
  active_ = order < 0 ? &t_.tadrg : &t_.tadrg1;
  active_index_ = order < 0 ? &set_.tadrg_index() : &set_.tadrg1_index();
  if (trace_) trace_->rule_set(order < 0);
}

int32_t Engine::first_match_scan(int16_t mdc) const {
  return grouper::first_match_scan(*active_, mdc, result_.values.rec_date, cond_bits_.data(), cond_cnt_);
}

int32_t Engine::first_match(int16_t mdc) const {
  return active_index_->first_match(*active_, mdc, result_.values.rec_date, cond_bits_.data());
}

int32_t Engine::traced_match(int pass, int16_t mdc) const {
  // The full scan, noting the rules that fail on exactly one slot.
  const RuleSet& set = *active_;
  const RowSpan span = rules_of(set, mdc);
  int32_t matched = -1;
  int32_t tried = 0;
  for (size_t i = span.fr; i < span.to && matched < 0; ++i, ++tried) {
    const uint32_t failing = failing_tests(set, i, result_.values.rec_date, cond_bits_.data(), cond_cnt_);
    if (failing == 0) matched = static_cast<int32_t>(i);
    else if (std::has_single_bit(failing) && failing != kWindowFails) {
      trace_->near_miss(pass, static_cast<int32_t>(i), std::countr_zero(failing));
    }
  }
  trace_->rule_pass(pass, mdc, tried, matched);
  return matched;
}

void Engine::find_mdc() {
  const int32_t i = trace_ ? traced_match(1, 1) : first_match(1);
  if (i < 0) {
    note(episode_grouper::FindingCode::kNoMdc);
    return;
  }
  result_.res_mdc = active_->rule_mdc[static_cast<size_t>(i)];
  result_.res_adrg = active_->rule_adrg[static_cast<size_t>(i)];
}

void Engine::find_adrg() {
  const int32_t i = trace_ ? traced_match(2, result_.res_mdc) : first_match(result_.res_mdc);
  if (i >= 0) result_.res_adrg = active_->rule_adrg[static_cast<size_t>(i)];
}

}  // namespace grouper
