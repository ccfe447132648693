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
#include <cstring>
#include <vector>

#include "engine/prepared/guarded_lookup.h"
#include "tables/table_store.h"

namespace grouper {

inline constexpr int kMustHoldSlots = 10;
inline constexpr int kRuleSlots = 20;

// Whether condition c (an id of the bitset, so 0 or more) holds in a
// record's condition bitset.  (Unsigned, so that a 16-bit id needs no sign
// work before it indexes.)
// plain: bits[c / 64] tested through a signed int id; not measured on its own.
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
  // plain: the rule number alone, its window and conditions read by rule
  // from three arrays; saved 34 instructions per realistic record and 47
  // per heavy one, first-level misses in the passes 17.0 to 13.1 and 34.0
  // to 30.2.  The filter in the candidate: not measured on its own.
  struct Cand {
    static constexpr uint32_t kAtBits = 24;
    uint16_t rule;
    uint16_t filter;
    // at in bits 0..23, n_must in 24..27, n_not in 28..31.  plain: three
    // fields of their own, which would not fit 16 bytes; measured with the
    // entry above.
    uint32_t packed;
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
  static constexpr uint32_t kShortRun = uint32_t{1} << 31;
  // A run of a key: where its candidates start and, side by side with it so
  // that a pass finds both on one cache line, its tag: for a long run the
  // place of its head in long_runs_ (below kShortRun), for a short one
  // kShortRun plus its first rule, so that a pass skips it unread once it has
  // a match before it.  Read and written only through the names below.
  // plain: a bool and the head or first rule in fields of their own; the
  // first rule saved about 0.7% time per record (realistic and heavy), the
  // head beside the start 3-5% per heavy record.
  struct Run {
    uint32_t at;
    uint32_t tag;

    static Run short_run(uint32_t at, uint16_t first_rule) { return {at, kShortRun + first_rule}; }
    static Run long_run(uint32_t at, uint32_t head) { return {at, head}; }
    bool is_long() const { return tag < kShortRun; }
    uint32_t head() const { return tag; }                    // a long run's
    uint32_t first_rule() const { return tag - kShortRun; }  // a short run's
  };
  static constexpr int32_t kScan = -1;  // a list the index does not hold
  // A word of a list's key bitset or of a long run's filter bitset: the ids
  // in use among condition ids 64 * word .. 64 * word + 63, and the number
  // in use below them; one entry, so that a pass reads one place per word,
  // and only the words that have ids in use.
  // plain: a word per 64 ids of the catalogue, with masks, places and ranks
  // in three arrays; the words in use only saved 15 instructions per
  // realistic record and 23 per heavy one, one entry instead of three
  // arrays some 3 first-level misses per heavy record.
  struct SubWord {
    uint64_t mask;
    uint32_t word;
    uint32_t rank;
  };
  // The head of a long run: the lowest rule number among its candidates (a
  // pass skips the run whole once it has a match before it) and the number
  // of its filter words.
  struct LongRunHead {
    uint32_t first_rule;
    uint32_t n_words;
  };
  // The candidates of one filter of a long run: cands_[at .. at + more],
  // the first of them rule first_rule, so that a pass skips them without
  // reading them once it has a match before it.
  struct FilterRun {
    uint32_t at;
    uint16_t first_rule;
    uint16_t more;  // one less than their number
  };
  // The long runs, their candidates sorted by filter (in rule order within
  // one), in one array of 16-byte slots: a run is its head in one slot, the
  // words of the filters in use that have any (SubWords) in the next
  // n_words, then a FilterRun per filter in use, two to a slot, so that a
  // pass reads them all along the cache lines it read the head from (one
  // array rather than one per kind for that reason).  The slots are bytes:
  // each kind is written and read only through the accessors named for it.
  class LongRuns {
    struct alignas(8) Slot {
      unsigned char bytes[16];
    };
    static_assert(sizeof(LongRunHead) <= sizeof(Slot) && sizeof(SubWord) == sizeof(Slot) &&
                  2 * sizeof(FilterRun) == sizeof(Slot));
    template <class T>
    static T load(const void* at) {
      T value;
      std::memcpy(&value, at, sizeof value);
      return value;
    }

   public:
    // One run, from the place of its head.
    class View {
     public:
      LongRunHead head() const { return load<LongRunHead>(slot_); }
      // Filter word w (w < head().n_words).
      SubWord word(uint32_t w) const { return load<SubWord>(slot_ + 1 + w); }
      // Filter f among those in use (f below their number); `n_words` is
      // head().n_words.
      FilterRun filter(uint32_t n_words, uint32_t f) const {
        return load<FilterRun>(slot_[1 + n_words].bytes + size_t{f} * sizeof(FilterRun));
      }

     private:
      friend class LongRuns;
      explicit View(const Slot* slot) : slot_(slot) {}
      const Slot* slot_;
    };

    void clear() { slots_.clear(); }
    static constexpr size_t kSlotBytes = sizeof(Slot);
    // At most the bytes a run of `n_cands` candidates takes whose filters
    // have `n_words` words.
    static size_t bytes_of(size_t n_words, size_t n_cands) {
      return (1 + n_words) * sizeof(Slot) + (n_cands + 1) * sizeof(FilterRun);
    }
    // Files a run: its head, its words and its filters; gives the place of
    // its head.
    uint32_t add(LongRunHead head, const std::vector<SubWord>& words, const std::vector<FilterRun>& filters);
    // The run whose head `add` placed at `at`.
    View run(uint32_t at) const { return View(slots_.data() + at); }

   private:
    template <class T>
    void store(Slot& slot, size_t offset, const T& value) {
      std::memcpy(slot.bytes + offset, &value, sizeof value);
    }
    std::vector<Slot> slots_;
  };

  // Files the candidates at cands_[fr, to) as one run of a key, and a long
  // one under their filters as well (`words` and `filters` are room to
  // gather them).
  Run add_run(uint32_t fr, uint32_t to, std::vector<SubWord>& words, std::vector<FilterRun>& filters);
  // Tries the candidates of the long run `run` whose filter
  // holds and that come before `best`; lowers `best` to the first that
  // matches.
  template <bool kHwCount>
  void try_long_run(LongRuns::View run, int32_t date, const uint64_t* bits, uint32_t& best) const;
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
  LongRuns long_runs_;
  std::vector<uint16_t> conds_;
};

}  // namespace grouper
