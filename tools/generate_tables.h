// A synthetic table set, and what the episode generator needs to know about it.
//
// generate_tables builds a complete, valid table set from a profile and a
// seed (the same pair always gives the same set).  Its classification is
// made to be used: every diagnosis category belongs to an MDC, most carry a
// principal-diagnosis condition that a first-pass rule turns into that MDC,
// and every MDC's second pass ends in a catch-all rule, so an episode whose
// principal diagnosis is one of those codes always receives an ADRG.
// Procedures of an MDC's operating-room groups steer its surgical ADRGs.
#pragma once

#include <cstdint>
#include <vector>

#include "generate_profile.h"
#include "tables/table_store.h"

namespace grouper::tools {

// What an episode may hold, by kind, as ids of the generated dictionaries.
struct EpisodeModel {
  std::vector<Code5> dx_text;    // by diagnosis code id (0 unused)
  std::vector<Code5> dx_short;   // by id: its 3-character category when it may be written short, else blanks
  std::vector<char> dx_sex;      // by id: 'F' female only, 'M' male only, ' ' either
  std::vector<Code5> proc_text;  // by procedure code id (0 unused)

  std::vector<std::vector<int16_t>> principal_by_mdc;  // groupable end-point codes per MDC index
  std::vector<uint32_t> mdc_weight;                    // how often each MDC is the principal's
  std::vector<int16_t> ungroupable;   // end-point codes without a principal-diagnosis group
  std::vector<int16_t> secondary;     // every end-point code
  std::vector<int16_t> with_ccl;      // end-point codes that carry a complication level
  std::vector<std::vector<int16_t>> or_procs_by_mdc;  // operating-room procedures per MDC
  std::vector<int16_t> other_procs;   // procedures outside the operating room
  int16_t newborn_mdc = 0;
};

struct SyntheticSet {
  TableStore tables;
  EpisodeModel model;
};

SyntheticSet generate_tables(const Profile& profile, uint64_t seed);

}  // namespace grouper::tools
