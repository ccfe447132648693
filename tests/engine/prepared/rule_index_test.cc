// The indexed rule pass against the full scan: on generated sets, sound and
// broken, every record's first matching rule of every list is the same
// through the rule index as through the plain scan.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>

#include "engine/engine.h"
#include "engine/prepared/rule_index.h"
#include "generate_episodes.h"
#include "generate_profile.h"
#include "generate_tables.h"

namespace grouper {
namespace {

using tools::EpisodeMaker;
using tools::kEpisodeWidth;

// Groups `n` generated records over `store` and compares both passes on the
// first list, the record's own MDC list and lists of every other key (and
// keys past the MDC slots), the index counting bits with the processor's
// instruction where it has one and without it.  Returns how many
// comparisons found a rule.
int compare_passes(const TableStore& store, const tools::EpisodeModel& model, uint64_t seed, int n) {
  PreparedSet set(store);
  Engine g(set);
  RuleIndex plain_tadrg = set.tadrg_index();
  RuleIndex plain_tadrg1 = set.tadrg1_index();
  plain_tadrg.use_hw_count(false);
  plain_tadrg1.use_hw_count(false);
  EpisodeMaker maker(model, seed);
  std::string line;
  int found = 0;
  const int cond_cnt = set.store().cond_cnt;
  std::vector<uint64_t> bits(static_cast<size_t>(std::max(cond_cnt, 1024)) / 64 + 1);
  const int keys = std::max<int>(set.store().tadrg.mdc_slot_cnt, set.store().tadrg1.mdc_slot_cnt) + 2;
  for (int i = 1; i <= n; ++i) {
    line.assign(kEpisodeWidth, ' ');
    maker.make(static_cast<uint64_t>(i), line.data());
    g.group(line.data(), line.size());
    const RuleSet& active = g.active_rule_set();
    const RuleIndex& plain = &active == &set.store().tadrg ? plain_tadrg : plain_tadrg1;
    std::fill(bits.begin(), bits.end(), 0);
    for (int c = 0; c < cond_cnt; ++c) bits[static_cast<size_t>(c) / 64] |= uint64_t{g.cond_val(c)} << (c % 64);
    for (int key = -1; key <= keys; ++key) {
      const int32_t scan = g.first_match_scan(static_cast<int16_t>(key));
      EXPECT_EQ(g.first_match(static_cast<int16_t>(key)), scan) << "record " << i << ", MDC key " << key;
      EXPECT_EQ(plain.first_match(active, static_cast<int16_t>(key), g.values().rec_date, bits.data()), scan)
          << "record " << i << ", MDC key " << key << ", counting without the instruction";
      found += scan >= 0;
    }
  }
  return found;
}

TEST(RuleIndex, AgreesWithTheFullScanOnGeneratedSets) {
  for (uint64_t seed = 1; seed <= 6; ++seed) {
    tools::SyntheticSet s = tools::generate_tables(*tools::find_profile("small"), seed);
    EXPECT_GT(compare_passes(s.tables, s.model, seed, 300), 300) << "seed " << seed;
  }
  tools::SyntheticSet big = tools::generate_tables(*tools::find_profile("realistic"), 9);
  EXPECT_GT(compare_passes(big.tables, big.model, 9, 1000), 1000);
  // Long runs of one key, filed under their filters as well.
  tools::SyntheticSet heavy = tools::generate_tables(*tools::find_profile("heavy"), 9);
  EXPECT_GT(compare_passes(heavy.tables, heavy.model, 9, 1000), 1000);
}

// Rule slots with ids outside the catalogue, the always-false id and 0,
// rules with every must-not-hold slot in use, rule lists past the rule
// count, negative and reversed ranges.
void break_rule_sets(tools::SyntheticSet& s, uint64_t seed) {
  std::mt19937_64 rng(seed);
  const int cond_cnt = s.tables.cond_cnt;
  for (RuleSet* set : {&s.tables.tadrg, &s.tables.tadrg1}) {
    for (RuleConds& conds : set->rule_cond) {
      for (int16_t& c : conds) {
        switch (rng() % 8) {
          case 0: c = static_cast<int16_t>(static_cast<int>(rng() % 11) - 5); break;
          case 1: c = static_cast<int16_t>(cond_cnt + static_cast<int>(rng() % 5) - 2); break;
          case 2: c = static_cast<int16_t>(782 + rng() % 42); break;
          default: break;
        }
      }
      // Now and then every must-not-hold slot names a logic condition (most
      // rarely hold), the last one a common one: a pass must test them all.
      if (rng() % 8 == 0) {
        for (int slot = kMustHoldSlots; slot < kRuleSlots - 1; ++slot) conds[slot] = static_cast<int16_t>(782 + rng() % 42);
        conds[kRuleSlots - 1] = 796;  // birth weight under 1250 g, blank included
      }
    }
    const int rules = set->rule_cnt;
    for (size_t k = 0; k < set->mdc_rule_fr.size(); ++k) {
      if (rng() % 3 != 0) continue;
      set->mdc_rule_fr[k] = static_cast<int16_t>(static_cast<int>(rng() % (rules + 20)) - 10);
      set->mdc_rule_to[k] = static_cast<int16_t>(static_cast<int>(rng() % (rules + 20)) - 10);
    }
    if (seed % 2 == 0) set->rule_cnt = static_cast<uint16_t>(rules + 7);  // more rules than the arrays hold
  }
}

TEST(RuleIndex, AgreesWithTheFullScanOnBrokenRuleSets) {
  for (uint64_t seed = 1; seed <= 6; ++seed) {
    tools::SyntheticSet s = tools::generate_tables(*tools::find_profile("small"), seed);
    break_rule_sets(s, seed);
    compare_passes(s.tables, s.model, seed, 300);
  }
  tools::SyntheticSet heavy = tools::generate_tables(*tools::find_profile("heavy"), 3);
  break_rule_sets(heavy, 3);
  compare_passes(heavy.tables, heavy.model, 3, 300);
}

}  // namespace
}  // namespace grouper
