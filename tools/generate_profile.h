// Size profiles of the synthetic table sets.
//
// "realistic" has the scale of a national classification (some 16,000
// diagnosis codes, 6,000 procedures, 950 conditions, 25 MDCs, 650 ADRGs,
// 1,800 DRGs, about 3,000 rules per rule set); "heavy" is the realistic one
// with about four times the rules in every rule list, to measure how the
// grouping grows with the rule count; "small" keeps every feature at a size
// that generates and groups in milliseconds, for tests and the demo.
#pragma once

#include <cstdint>
#include <string_view>

namespace grouper::tools {

struct Profile {
  std::string_view name;
  int dx_codes;            // diagnosis codes, about (whole categories are added)
  int procs;               // procedure codes
  int cond_cnt;            // catalogue size, at least 824
  int mdcs;                // MDCs, the pre-MDC (index 1) included
  int groups_per_mdc;      // principal diagnosis groups of each MDC
  int proc_groups_per_mdc; // operating-room procedure groups of each MDC
  int secondary_conds;     // conditions of secondary diagnoses
  int any_dx_conds;        // conditions of a diagnosis in any position
  int other_proc_conds;    // groups of procedures outside the operating room
  int pre_adrgs;           // ADRGs of the pre-MDC
  int adrgs;               // ADRGs in all, about
  int special_rules;       // first-pass rules between the pre-MDC and the groups
  int rules_per_mdc;       // second-pass rules of each MDC, about
  int ccl_columns;
  int ccx_lists;           // diagnoses with an exclusion list of 20 to 60 entries
  int dag_keys;            // dagger codes with asterisk partners
};

// The profile of that name, or nullptr.
const Profile* find_profile(std::string_view name);

}  // namespace grouper::tools
