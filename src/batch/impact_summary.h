// What the codes of a run are worth, over the whole run: for every code
// whose removal changes a record's DRG (or, with weights, its effective
// weight), the records where it does, and the weight it moves in all and on
// average; the same per code and DRG of the record, which tells in which
// cases a code matters.
//
// Workload: the grouping threads note each record's impact in their batch's
// tally (a vector whose room is kept from batch to batch, so nothing is
// allocated per record); the writing thread adds the tallies of each batch
// in input order, which costs a hash lookup per code that matters.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "episode_grouper/impact.h"
#include "episode_grouper/result.h"

namespace grouper {

// One code that mattered in one record.
struct ImpactTally {
  uint64_t code = 0;  // the code's text packed (see pack_code), diagnoses and procedures apart
  uint64_t drg = 0;   // the record's own DRG text packed, 0 without a DRG
  int64_t moved = 0;  // effective weight without the code less with it
};

// Notes the codes of `impact`, `drg` being the record's own DRG text.
void tally_impact(const episode_grouper::Impact& impact, std::string_view drg, std::vector<ImpactTally>& tallies);

class ImpactSummary {
 public:
  explicit ImpactSummary(bool with_weights) : with_weights_(with_weights) {}

  void add(const std::vector<ImpactTally>& tallies);

  // The codes that move the most weight (with weights; else those that
  // change the DRG most often), at most `top` of them, then the same per
  // code and DRG: records, total and mean weight moved.
  std::string text(size_t top = 20) const;

 private:
  struct Moved {
    int64_t records = 0;
    int64_t total = 0;
  };
  struct PairHash {
    size_t operator()(const std::pair<uint64_t, uint64_t>& k) const {
      return std::hash<uint64_t>{}(k.first * 0x9E3779B97F4A7C15ull ^ k.second);
    }
  };
  bool with_weights_;
  std::unordered_map<uint64_t, Moved> by_code_;
  std::unordered_map<std::pair<uint64_t, uint64_t>, Moved, PairHash> by_code_drg_;
};

}  // namespace grouper
