// Group assignment: the choice of rule set, the two rule passes and the age
// split of the ADRG into a DRG.
//
// Both passes give the first rule of a rule list that matches; they go
// through the rule index (see rule_index.h), which gives the full scan's
// rule.  The age split reads the ADRG's entry of the group rows, which
// holds the DRG row of its first splits too.  Nothing is allocated.
#include <algorithm>
#include <bit>
#include <iterator>

#include "grouper/grouper.h"
#include "grouper/guarded_lookup.h"
#include "grouper/fixed_ids.h"
#include "grouper/rule_index.h"

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
  // the compiler may do a rule's slots at once.)
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

void Grouper::select_rule_set(const char* line) {
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

int32_t Grouper::first_match_scan(int16_t mdc) const {
  return grouper::first_match_scan(*active_, mdc, values_.rec_date, cond_bits_.data(), cond_cnt_);
}

int32_t Grouper::first_match(int16_t mdc) const {
  return active_index_->first_match(*active_, mdc, values_.rec_date, cond_bits_.data());
}

int32_t Grouper::traced_match(int pass, int16_t mdc) const {
  // The full scan, noting the rules that fail on exactly one slot.
  const RuleSet& set = *active_;
  const RowSpan span = rules_of(set, mdc);
  int32_t matched = -1;
  int32_t tried = 0;
  for (size_t i = span.fr; i < span.to && matched < 0; ++i, ++tried) {
    const uint32_t failing = failing_tests(set, i, values_.rec_date, cond_bits_.data(), cond_cnt_);
    if (failing == 0) matched = static_cast<int32_t>(i);
    else if (std::has_single_bit(failing) && failing != kWindowFails) {
      trace_->near_miss(pass, static_cast<int32_t>(i), std::countr_zero(failing));
    }
  }
  trace_->rule_pass(pass, mdc, tried, matched);
  return matched;
}

void Grouper::find_mdc() {
  const int32_t i = trace_ ? traced_match(1, 1) : first_match(1);
  if (i < 0) {
    note(episode_grouper::FindingCode::kNoMdc);
    return;
  }
  result_.res_mdc = active_->rule_mdc[static_cast<size_t>(i)];
  result_.res_adrg = active_->rule_adrg[static_cast<size_t>(i)];
}

void Grouper::find_adrg() {
  const int32_t i = trace_ ? traced_match(2, result_.res_mdc) : first_match(result_.res_mdc);
  if (i >= 0) result_.res_adrg = active_->rule_adrg[static_cast<size_t>(i)];
}

void Grouper::find_drg() {
  const int16_t adrg = result_.res_adrg;
  const int16_t age = values_.age_yy;
  const int32_t rec_date = values_.rec_date;

  const AdrgRows& rows = group_rows_.adrg(adrg);
  constexpr int32_t kLookUp = -2;  // a split row past the head rows: its DRG row is looked up
  int32_t split_row = -1;
  int32_t drg_row = rows.unsplit_drg;
  for (size_t k = 0, n = rows.splits.size(); k < n; ++k) {
    const SplitRow& row = rows.splits.at(k, group_rows_.split_rows());
    if (row.age_fr > age || age > row.age_to) continue;
    if (!in_window(rec_date, row.fr_dt, row.to_dt)) continue;
    result_.res_split = row.code;
    split_row = static_cast<int32_t>(rows.splits.range.fr + k);
    drg_row = k < std::size(rows.splits.head) ? row.drg : kLookUp;
    break;
  }
  if (trace_) trace_->age_split(adrg, split_row, result_.res_split);

  // An ADRG index past the ADRG list has no code, so no DRG either.
  if (!rows.has_code) return;
  // The first row from row 0 up that holds the code and the split.
  const char key[5] = {rows.code[0], rows.code[1], rows.code[2], rows.code[3], result_.res_split};
  if (drg_row == kLookUp) drg_row = set_.find_drg_row(key);
  if (trace_) trace_->drg(key, drg_row);
  if (drg_row >= 0) result_.res_drg = static_cast<int16_t>(drg_row);
  else note(episode_grouper::FindingCode::kDrgUnknown, 0, episode_grouper::RecordField::kNone, key);
}

}  // namespace grouper
