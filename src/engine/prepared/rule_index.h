// The rule passes: the first rule of a rule list that matches a record, by
// the full scan that defines it and through an index that tries only the
// rules that can match.
//
// A record's conditions are a bitset (bit c set when condition c holds).
// Every rule that can ever match is filed under one key: the rarest of its
// must-hold conditions, or key 0 when all its must-hold slots are empty.  A
// rule matches only when its key holds, so the first match of a list is the
// earliest first match among the rules filed under the keys that hold.  Per
// list the index keeps the keys in use as a bitset (only its words that
// hold keys), so a pass intersects it with the record's bitset and visits
// only the keys that hold and have rules, trying their rules in rule order
// while they come before the best match so far.  Each rule is compiled once
// into a 16-byte candidate: its number, its window and the conditions left
// to test after its key (empty slots and always-false ids dropped), one of
// them (the filter) kept in the candidate and tested first, so that most
// rules are passed over on the cache line that the run's candidates share.
// A long run of one key (a classification with many variants of a rule) is
// filed a second time under its candidates' filters, as a bitset of the
// filters in use with ranks, so that a pass intersects that too and tries
// only the candidates whose filter holds instead of reading every candidate
// of the run.  A rule
// with a must-hold slot that can never hold is filed nowhere; the result is
// the full scan's on every table set, broken ones included.  Lists whose
// index would pass the memory budget (only hostile sets have them) are
// scanned.
//
// Workload: built once per table set; a pass costs a word-wise AND over the
// list's key words and the few candidates, however many rules the list
// holds.  Bits are counted with the processor's instruction where it has
// one, chosen when the index is built.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/prepared/guarded_lookup.h"
#include "tables/table_store.h"

namespace grouper {

inline constexpr int kMustHoldSlots = 10;
inline constexpr int kRuleSlots = 20;

// Whether condition c (an id of the bitset, so 0 or more) holds in a
// record's condition bitset.  (Unsigned, so that a 16-bit id needs no sign
// work before it indexes.)
inline bool cond_holds(const uint64_t* bits, size_t c) { return (bits[c / 64] >> (c % 64)) & 1; }

// Rules of the set that exist in every per-rule array.
inline size_t rule_rows(const RuleSet& set) {
  return rows_of(set.rule_cnt, set.rule_adpt_fr_dt, set.rule_adpt_to_dt, set.rule_cond, set.rule_mdc,
                 set.rule_adrg);
}

// The rules filed under MDC index `mdc`, clipped to the rules that exist;
// an index past the MDC slots has no rules.
inline RowSpan rules_of(const RuleSet& set, int16_t mdc) {
  return key_rows(mdc, rows_of(set.mdc_slot_cnt, set.mdc_rule_fr, set.mdc_rule_to), set.mdc_rule_fr,
                  set.mdc_rule_to, rule_rows(set));
}

// The tests rule i fails: bit s for slot s (0..9 must hold, 10..19 must not
// hold) and kWindowFails when `date` lies outside its window.  The rule
// matches when it fails none.  `bits` covers ids 0..cond_cnt; an id outside
// them counts as the always-false condition.
inline constexpr uint32_t kWindowFails = uint32_t{1} << kRuleSlots;
uint32_t failing_tests(const RuleSet& set, size_t i, int32_t date, const uint64_t* bits, int cond_cnt);

// The full scan: the first rule filed under `mdc` that is valid on `date`,
// whose must-hold conditions all hold and whose must-not-hold conditions
// all fail, or -1.  `bits` covers ids 0..cond_cnt; an id outside them
// counts as the always-false condition.
int32_t first_match_scan(const RuleSet& set, int16_t mdc, int32_t date, const uint64_t* bits, uint16_t cond_cnt);

class RuleIndex {
 public:
  // Files the rules of a normalised rule set.  `weight` estimates per
  // condition id how often it holds (the rarest must-hold condition becomes
  // a rule's key); ids it does not cover count as common.
  void build(const RuleSet& set, uint16_t cond_cnt, const std::vector<uint32_t>& weight);

  // The first match of list `mdc`, exactly as first_match_scan gives it.
  // `bits` covers ids 0..cond_cnt.
  int32_t first_match(const RuleSet& set, int16_t mdc, int32_t date, const uint64_t* bits) const;

  // Whether the passes count bits with the processor's instruction, where
  // it has one (the default there), or without it.  Both must agree: tests
  // run each.
  void use_hw_count(bool on);

 private:
  // A candidate of a run: its rule number, one must-hold condition to test
  // first (0, which always holds, when none is left), its window and the
  // conditions left to test besides its key and its filter, at
  // conds_[at .. at + n_must + n_not).  One 16-byte entry, so that the
  // tries of a run read along one array: four candidates a cache line.
  struct Cand {
    static constexpr uint32_t kAtBits = 24;
    uint16_t rule;
    uint16_t filter;
    uint32_t packed;  // at in bits 0..23, n_must in 24..27, n_not in 28..31
    int32_t fr_dt;
    int32_t to_dt;

    uint32_t at() const { return packed & ((uint32_t{1} << kAtBits) - 1); }
    uint32_t n_must() const { return (packed >> kAtBits) & 15; }
    uint32_t n_not() const { return packed >> (kAtBits + 4); }
  };
  static_assert(sizeof(Cand) == 16);
  // Rule numbers are 16-bit and a rule leaves fewer ids to test than it has
  // slots, so a place in conds_ fits its bits.
  static_assert((uint64_t{UINT16_MAX} + 1) * kRuleSlots <= uint64_t{1} << Cand::kAtBits);
  // One rule list: the words of its bitset of keys in use that have any, at
  // key_words_[words_at .. words_at + n_words), and the candidates of the
  // r-th key at cands_[runs_[runs_at + r].at .. runs_[runs_at + r + 1].at),
  // in rule order.
  struct List {
    uint32_t words_at;
    uint32_t n_words;
    uint32_t runs_at;
  };
  // A run of a key: where its candidates start and, for a long one, where
  // its head is in long_, below kShortRun; a short one holds kShortRun plus
  // its first rule instead, so that a pass skips it unread once it has a
  // match before it.  Side by side, so that a pass finds both on one cache
  // line.
  struct Run {
    uint32_t at;
    uint32_t long_at;
  };
  static constexpr int32_t kScan = -1;  // a list the index does not hold
  // A word of a list's key bitset or of a long run's filter bitset: the ids
  // in use among condition ids 64 * word .. 64 * word + 63, and the number
  // in use below them; one entry, so that a pass reads one place per word,
  // and only the words that have ids in use.
  struct SubWord {
    uint64_t mask;
    uint32_t word;
    uint32_t rank;
  };
  // A long run, its candidates sorted by filter (in rule order within one):
  // this head at long_[i], then the words of the filters in use that have
  // any at long_[i + 1 .. i + 1 + n_words), then a FilterRun per filter in
  // use, two to an entry, so that a pass reads them all along the cache
  // lines it read the head from.  A pass skips the run whole once it has a
  // match before the run's first rule.
  struct LongRun {
    uint32_t first_rule;  // the lowest rule number among its candidates
    uint32_t n_words;
    uint64_t unused;
  };
  // The candidates of one filter of a long run: cands_[at .. at + more],
  // the first of them rule first_rule, so that a pass skips them without
  // reading them once it has a match before it.
  struct FilterRun {
    uint32_t at;
    uint16_t first_rule;
    uint16_t more;  // one less than their number
  };
  static_assert(sizeof(LongRun) == sizeof(SubWord) && 2 * sizeof(FilterRun) == sizeof(SubWord));
  static constexpr uint32_t kShortRun = uint32_t{1} << 31;

  // Files the candidates at cands_[fr, to) as one run of a key, and a long
  // one under their filters as well (`filters` is room to gather them);
  // gives the long one's head, or kShortRun.
  uint32_t add_run(uint32_t fr, uint32_t to, std::vector<FilterRun>& filters);
  // Tries the candidates of the long run headed at `head` whose filter
  // holds and that come before `best`; lowers `best` to the first that
  // matches.
  template <bool kHwCount>
  void try_long_run(const SubWord* head, int32_t date, const uint64_t* bits, uint32_t& best) const;
  // first_match, counting bits with the processor's population count
  // instruction (kHwCount) or without it.
  template <bool kHwCount>
  int32_t match_in(const RuleSet& set, int16_t mdc, int32_t date, const uint64_t* bits) const;
  int32_t match_with_hw_count(const RuleSet& set, int16_t mdc, int32_t date, const uint64_t* bits) const;

  bool matches(const Cand& c, int32_t date, const uint64_t* bits) const;

  uint16_t cond_cnt_ = 0;
  bool hw_count_ = false;  // the processor counts bits in one instruction
  size_t words_ = 0;
  std::vector<int32_t> list_of_;  // per MDC index: index into lists_, or kScan
  std::vector<List> lists_;
  std::vector<SubWord> key_words_;
  std::vector<Run> runs_;
  std::vector<Cand> cands_;
  std::vector<SubWord> long_;  // the heads of long runs, each followed by its words and filters
  std::vector<uint16_t> conds_;
};

}  // namespace grouper
