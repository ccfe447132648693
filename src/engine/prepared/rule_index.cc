#include "engine/prepared/rule_index.h"

#include <algorithm>
#include <bit>
#include <map>
#include <utility>

// Where the build's instruction set may lack a population count (the x86-64
// baseline), the passes come in two builds chosen when the index is built:
// one for processors that have the instruction and one without it.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__POPCNT__)
#define GROUPER_COUNT_DISPATCH 1
#endif

namespace grouper {
namespace {

// The index of one rule set may take this much memory; lists past it are
// scanned.  Sound sets need a small fraction of it.
constexpr size_t kBudgetBytes = size_t{16} << 20;
constexpr int32_t kEmpty = -2;  // a list without rules
// A key run of this many candidates or more is filed under filters too.
// Below it, gathering a run's candidates whose filter holds as one 64-bit
// set, without a branch per candidate, costs less than reaching them
// through the filter words, whose fetches a pass waits on; past it, the
// filters keep a run's cost from growing with its length.
// plain: 12, where it was first set; 32 saved about 4% time per heavy
// record (the realistic set has no run that long).
constexpr uint32_t kLongRun = 32;
static_assert(kLongRun <= 64, "the candidates of a short run are found as one 64-bit set");

}  // namespace

uint32_t failing_tests(const RuleSet& set, size_t i, int32_t date, const uint64_t* bits, int cond_cnt) {
  uint32_t failing = in_window(date, set.rule_adpt_fr_dt[i], set.rule_adpt_to_dt[i]) ? 0 : kWindowFails;
  const RuleConds& conds = set.rule_cond[i];
  auto holds = [&](int16_t c) { return c >= 0 && c <= cond_cnt && cond_holds(bits, c); };
  for (int s = 0; s < kRuleSlots; ++s) {
    if (holds(conds[s]) != (s < kMustHoldSlots)) failing |= uint32_t{1} << s;
  }
  return failing;
}

int32_t first_match_scan(const RuleSet& set, int16_t mdc, int32_t date, const uint64_t* bits, uint16_t cond_cnt) {
  const RowSpan span = rules_of(set, mdc);
  for (size_t i = span.fr; i < span.to; ++i) {
    if (failing_tests(set, i, date, bits, cond_cnt) == 0) return static_cast<int32_t>(i);
  }
  return -1;
}

void RuleIndex::build(const RuleSet& set, uint16_t cond_cnt, const std::vector<uint32_t>& weight) {
  // The budget keeps long_runs_ short enough that a head's place lies below kShortRun.
  static_assert(kBudgetBytes / LongRuns::kSlotBytes < kShortRun);
  cond_cnt_ = cond_cnt;
  use_hw_count(true);
  words_ = std::max<size_t>(1, (size_t{cond_cnt} + 63) / 64);  // keys 0..cond_cnt-1; key 0 always
  list_of_.clear();
  lists_.clear();
  key_words_.clear();
  runs_.clear();
  cands_.clear();
  long_runs_.clear();
  conds_.clear();

  // Compile every rule: its key (-1 when it can never match) and its
  // candidate.  Condition 0 always holds and cond_cnt never does (nor any id
  // outside 0..cond_cnt): a must-hold 0 and a must-not-hold never-true id
  // test nothing; a must-hold never-true id or a must-not-hold 0 fails always.
  const size_t rules = rule_rows(set);
  auto real = [cond_cnt](int16_t c) { return c >= 1 && c < cond_cnt; };
  auto weight_of = [&weight](int16_t c) { return static_cast<size_t>(c) < weight.size() ? weight[c] : UINT32_MAX; };
  std::vector<int32_t> key(rules, 0);
  std::vector<Cand> compiled(rules);
  for (size_t i = 0; i < rules; ++i) {
    const RuleConds& slots = set.rule_cond[i];
    int16_t k = 0;
    for (int s = 0; s < kMustHoldSlots && key[i] >= 0; ++s) {
      const int16_t c = slots[s];
      if (c == 0) continue;
      if (!real(c)) key[i] = -1;
      else if (k == 0 || weight_of(c) < weight_of(k) || (weight_of(c) == weight_of(k) && c < k)) k = c;
    }
    for (int s = kMustHoldSlots; s < kRuleSlots && key[i] >= 0; ++s) {
      if (slots[s] == 0) key[i] = -1;
    }
    if (key[i] < 0) continue;
    key[i] = k;
    const auto at = static_cast<uint32_t>(conds_.size());
    uint16_t filter = 0;
    uint32_t n_must = 0;
    uint32_t n_not = 0;
    bool key_seen = false;
    for (int s = 0; s < kMustHoldSlots; ++s) {
      const int16_t c = slots[s];
      if (c == 0) continue;
      if (c == k && !key_seen) {
        key_seen = true;
      } else if (filter == 0) {
        filter = static_cast<uint16_t>(c);
      } else {
        conds_.push_back(static_cast<uint16_t>(c));
        ++n_must;
      }
    }
    for (int s = kMustHoldSlots; s < kRuleSlots; ++s) {
      if (!real(slots[s])) continue;
      conds_.push_back(static_cast<uint16_t>(slots[s]));
      ++n_not;
    }
    compiled[i] = {static_cast<uint16_t>(i), filter, at | n_must << Cand::kAtBits | n_not << (Cand::kAtBits + 4),
                   set.rule_adpt_fr_dt[i], set.rule_adpt_to_dt[i]};
  }

  // One index per distinct clipped list; MDC indices are 16-bit.
  const size_t mdc_keys =
      std::min<size_t>(rows_of(set.mdc_slot_cnt, set.mdc_rule_fr, set.mdc_rule_to), size_t{INT16_MAX} + 1);
  list_of_.assign(mdc_keys, kEmpty);
  std::map<std::pair<size_t, size_t>, int32_t> made;
  std::vector<uint32_t> per_key(std::max<size_t>(cond_cnt, 1), 0);
  std::vector<int32_t> used_keys;
  std::vector<SubWord> filter_words;
  std::vector<FilterRun> filters;
  size_t bytes = 0;
  for (size_t m = 0; m < mdc_keys; ++m) {
    const RowSpan span = rules_of(set, static_cast<int16_t>(m));
    if (span.fr >= span.to) continue;
    auto [it, fresh] = made.try_emplace({span.fr, span.to}, kScan);
    if (fresh) {
      size_t n = 0;
      used_keys.clear();
      for (size_t i = span.fr; i < span.to; ++i) {
        if (key[i] < 0) continue;
        if (per_key[static_cast<size_t>(key[i])]++ == 0) used_keys.push_back(key[i]);
        ++n;
      }
      size_t cost = words_ * sizeof(SubWord) + (used_keys.size() + 1) * sizeof(Run) + n * sizeof(Cand);
      for (int32_t k : used_keys) {
        const size_t run = per_key[static_cast<size_t>(k)];
        if (run >= kLongRun) cost += LongRuns::bytes_of(words_, run);
      }
      if (bytes + cost <= kBudgetBytes) {
        bytes += cost;
        it->second = static_cast<int32_t>(lists_.size());
        // Runs in key order; the rank of a key is the number of keys below it.
        std::sort(used_keys.begin(), used_keys.end());
        List list{static_cast<uint32_t>(key_words_.size()), 0, static_cast<uint32_t>(runs_.size())};
        for (size_t r = 0; r < used_keys.size(); ++r) {
          const auto word = static_cast<uint32_t>(used_keys[r] / 64);
          if (list.n_words == 0 || key_words_.back().word != word) {
            key_words_.push_back({0, word, static_cast<uint32_t>(r)});
            ++list.n_words;
          }
          key_words_.back().mask |= uint64_t{1} << (used_keys[r] % 64);
        }
        lists_.push_back(list);
        std::vector<uint32_t> fill;
        fill.reserve(used_keys.size());
        uint32_t at = static_cast<uint32_t>(cands_.size());
        for (int32_t k : used_keys) {
          runs_.push_back(Run::short_run(at, 0));
          fill.push_back(at);
          at += per_key[static_cast<size_t>(k)];
          per_key[static_cast<size_t>(k)] = static_cast<uint32_t>(fill.size() - 1);  // now the key's rank
        }
        runs_.push_back(Run::short_run(at, 0));  // the end of the last run
        cands_.resize(at);
        for (size_t i = span.fr; i < span.to; ++i) {
          if (key[i] < 0) continue;
          cands_[fill[per_key[static_cast<size_t>(key[i])]]++] = compiled[i];
        }
        for (size_t r = 0; r < used_keys.size(); ++r) {
          Run& run = runs_[list.runs_at + r];
          run = add_run(run.at, runs_[list.runs_at + r + 1].at, filter_words, filters);
        }
      }
      for (int32_t k : used_keys) per_key[static_cast<size_t>(k)] = 0;
    }
    list_of_[m] = it->second;
  }
}

RuleIndex::Run RuleIndex::add_run(uint32_t fr, uint32_t to, std::vector<SubWord>& words,
                                  std::vector<FilterRun>& filters) {
  if (to - fr < kLongRun) return Run::short_run(fr, cands_[fr].rule);
  // Filter order, rule order within a filter.
  const uint32_t first_rule = cands_[fr].rule;  // the candidates are in rule order until sorted
  std::sort(cands_.begin() + fr, cands_.begin() + to,
            [](const Cand& a, const Cand& b) { return a.filter != b.filter ? a.filter < b.filter : a.rule < b.rule; });
  words.clear();
  filters.clear();
  for (uint32_t c = fr; c < to; ++c) {
    const uint16_t f = cands_[c].filter;
    if (c > fr && cands_[c - 1].filter == f) {
      ++filters.back().more;  // fewer than 2^16 rules share a key and a filter
      continue;
    }
    const uint32_t word = f / 64u;
    if (words.empty() || words.back().word != word) words.push_back({0, word, static_cast<uint32_t>(filters.size())});
    words.back().mask |= uint64_t{1} << (f % 64u);
    filters.push_back({c, cands_[c].rule, 0});
  }
  return Run::long_run(fr, long_runs_.add({first_rule, static_cast<uint32_t>(words.size())}, words, filters));
}

uint32_t RuleIndex::LongRuns::add(LongRunHead head, const std::vector<SubWord>& words,
                                  const std::vector<FilterRun>& filters) {
  const auto at = static_cast<uint32_t>(slots_.size());
  slots_.resize(at + 1 + words.size() + (filters.size() + 1) / 2, Slot{});
  Slot* slot = slots_.data() + at;
  store(*slot++, 0, head);
  for (const SubWord& w : words) store(*slot++, 0, w);
  for (size_t k = 0; k < filters.size(); ++k) store(slot[k / 2], k % 2 * sizeof(FilterRun), filters[k]);
  return at;
}

namespace {

// The bits set in x: in one instruction where the caller is built for it,
// else by adding bit fields (the library's own count would be a call).
// plain: the bit-field count alone, some 12 instructions a count; the
// instruction, chosen when the index is built, saved 153 instructions per
// heavy record (5,587 to 5,434).
template <bool kHwCount>
[[gnu::always_inline]] inline uint32_t bit_count(uint64_t x) {
#ifdef GROUPER_COUNT_DISPATCH
  if constexpr (kHwCount) {
    return static_cast<uint32_t>(__builtin_popcountll(x));
  } else {
    x -= (x >> 1) & 0x5555555555555555ULL;
    x = (x & 0x3333333333333333ULL) + ((x >> 2) & 0x3333333333333333ULL);
    x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0FULL;
    return static_cast<uint32_t>((x * 0x0101010101010101ULL) >> 56);
  }
#else
  return static_cast<uint32_t>(std::popcount(x));  // the build's instruction set has a count
#endif
}

// Calls visit(rank) for each id of `sub` (a word of a key or filter bitset)
// that holds in `bits`, lowest first; rank is the id's place among the ids
// in use.
// plain: a loop over the 64 ids of the word, a rank kept per id; the
// word-wise AND and the count of the ids below were not measured on their
// own.  One helper for both passes saved 17 to 19 instructions per record.
template <bool kHwCount, class Sub, class Visit>
[[gnu::always_inline]] inline void for_each_hit(const Sub& sub, const uint64_t* bits, Visit&& visit) {
  const uint64_t mask = sub.mask;
  for (uint64_t hits = mask & bits[sub.word]; hits != 0; hits &= hits - 1) {
    // The bits under the lowest hit.  plain: (1 << countr_zero(hits)) - 1;
    // not measured on its own.
    const uint64_t below = (hits & (0 - hits)) - 1;
    visit(sub.rank + bit_count<kHwCount>(mask & below));
  }
}

}  // namespace

inline bool RuleIndex::matches(const Cand& cand, int32_t date, const uint64_t* bits) const {
  if (!in_window(date, cand.fr_dt, cand.to_dt)) return false;
  const uint16_t* c = conds_.data() + cand.at();
  for (uint32_t k = 0, n = cand.n_must(); k < n; ++k) {
    if (!cond_holds(bits, c[k])) return false;
  }
  c += cand.n_must();
  for (uint32_t k = 0, n = cand.n_not(); k < n; ++k) {
    if (cond_holds(bits, c[k])) return false;
  }
  return true;
}

template <bool kHwCount>
[[gnu::always_inline]] inline void RuleIndex::try_long_run(LongRuns::View run, int32_t date, const uint64_t* bits,
                                                          uint32_t& best) const {
  const Cand* cands = cands_.data();
  const LongRunHead head = run.head();
  // plain: walking the filter words however early the match; the skip saved
  // 61 instructions per heavy record (7,065 to 7,004).
  if (head.first_rule >= best) return;
  for (uint32_t w = 0; w < head.n_words; ++w) {
    for_each_hit<kHwCount>(run.word(w), bits, [&](uint32_t f) {
      // The entry after the run's words, with the filter's first rule.
      // plain: an array of candidate places per filter, read whatever the
      // best match; saved about 4% time per heavy record.
      const FilterRun filter = run.filter(head.n_words, f);
      if (filter.first_rule >= best) return;
      for (uint32_t c = filter.at, stop = filter.at + filter.more + 1; c < stop && cands[c].rule < best; ++c) {
        if (matches(cands[c], date, bits)) {
          best = cands[c].rule;
          return;
        }
      }
    });
  }
}

template <bool kHwCount>
[[gnu::always_inline]] inline int32_t RuleIndex::match_in(const RuleSet& set, int16_t mdc, int32_t date,
                                                         const uint64_t* bits) const {
  if (mdc < 0 || static_cast<size_t>(mdc) >= list_of_.size()) return -1;
  const int32_t l = list_of_[static_cast<size_t>(mdc)];
  if (l == kEmpty) return -1;
  if (l == kScan) return first_match_scan(set, mdc, date, bits, cond_cnt_);
  const List& list = lists_[static_cast<size_t>(l)];
  const Run* runs = runs_.data() + list.runs_at;
  const Cand* cands = cands_.data();
  uint32_t best = UINT32_MAX;
  for (uint32_t j = list.words_at, words_end = list.words_at + list.n_words; j < words_end; ++j) {
    for_each_hit<kHwCount>(key_words_[j], bits, [&](uint32_t r) {
      const Run run = runs[r];
      if (run.is_long()) {
        try_long_run<kHwCount>(long_runs_.run(run.head()), date, bits, best);
        return;
      }
      // plain: reading the run's first candidate to learn its rule; saved
      // about 0.7% time per record (skipped 12% of the short runs tried on
      // the realistic set, 22% on the heavy one).
      if (run.first_rule() >= best) return;
      // The candidates whose filter holds, found without a branch per
      // candidate (whether a filter holds varies from record to record),
      // then tried in order while they come before the best match so far:
      // a short run is in rule order.
      // plain: a loop over the candidates that tests each filter with a
      // branch, then tries it; the one 64-bit set saved 76 instructions per
      // realistic record and 166 per heavy one (against 64-candidate
      // pieces), stopping at the first that does not come before the best
      // 219 per heavy record (heavy 2-3% faster).
      const uint32_t c = run.at;
      const uint32_t n = runs[r + 1].at - c;
      // (Last to first, each bit shifted in at the bottom.)  plain: first to
      // last, bit k set by an index; ten instructions a candidate instead of
      // fifteen, 129 fewer per heavy record (heavy about 1% faster).
      uint64_t passing = 0;
      for (const Cand *first = cands + c, *cand = first + n; cand-- != first;) {
        passing = passing << 1 | static_cast<uint64_t>(cond_holds(bits, cand->filter));
      }
      for (; passing != 0; passing &= passing - 1) {
        const uint32_t k = c + static_cast<uint32_t>(std::countr_zero(passing));
        if (cands[k].rule >= best) break;
        if (matches(cands[k], date, bits)) {
          best = cands[k].rule;
          break;
        }
      }
    });
  }
  return best == UINT32_MAX ? -1 : static_cast<int32_t>(best);
}

void RuleIndex::use_hw_count(bool on) {
#ifdef GROUPER_COUNT_DISPATCH
  hw_count_ = on && __builtin_cpu_supports("popcnt");
#else
  hw_count_ = on;  // the build's own instructions decide
#endif
}

int32_t RuleIndex::first_match(const RuleSet& set, int16_t mdc, int32_t date, const uint64_t* bits) const {
  return hw_count_ ? match_with_hw_count(set, mdc, date, bits) : match_in<false>(set, mdc, date, bits);
}

#ifdef GROUPER_COUNT_DISPATCH
__attribute__((target("popcnt")))
#endif
int32_t RuleIndex::match_with_hw_count(const RuleSet& set, int16_t mdc, int32_t date, const uint64_t* bits) const {
  return match_in<true>(set, mdc, date, bits);
}

}  // namespace grouper
