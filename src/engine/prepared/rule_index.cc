#include "engine/prepared/rule_index.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
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
  // The budget keeps long_ short enough that a head's place lies below kShortRun.
  static_assert(kBudgetBytes / sizeof(SubWord) < kShortRun);
  cond_cnt_ = cond_cnt;
  use_hw_count(true);
  words_ = std::max<size_t>(1, (size_t{cond_cnt} + 63) / 64);  // keys 0..cond_cnt-1; key 0 always
  list_of_.clear();
  lists_.clear();
  key_words_.clear();
  runs_.clear();
  cands_.clear();
  long_.clear();
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
        if (run >= kLongRun) cost += sizeof(LongRun) + words_ * sizeof(SubWord) + (run + 1) * sizeof(FilterRun);
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
          runs_.push_back({at, kShortRun});
          fill.push_back(at);
          at += per_key[static_cast<size_t>(k)];
          per_key[static_cast<size_t>(k)] = static_cast<uint32_t>(fill.size() - 1);  // now the key's rank
        }
        runs_.push_back({at, kShortRun});  // the end of the last run
        cands_.resize(at);
        for (size_t i = span.fr; i < span.to; ++i) {
          if (key[i] < 0) continue;
          cands_[fill[per_key[static_cast<size_t>(key[i])]]++] = compiled[i];
        }
        for (size_t r = 0; r < used_keys.size(); ++r) {
          Run& run = runs_[list.runs_at + r];
          const uint32_t head = add_run(run.at, runs_[list.runs_at + r + 1].at, filters);
          run.long_at = head != kShortRun ? head : kShortRun + cands_[run.at].rule;
        }
      }
      for (int32_t k : used_keys) per_key[static_cast<size_t>(k)] = 0;
    }
    list_of_[m] = it->second;
  }
}

uint32_t RuleIndex::add_run(uint32_t fr, uint32_t to, std::vector<FilterRun>& filters) {
  if (to - fr < kLongRun) return kShortRun;
  const auto head_at = static_cast<uint32_t>(long_.size());
  long_.push_back({});
  // Filter order, rule order within a filter.
  LongRun run{cands_[fr].rule, 0, 0};
  std::sort(cands_.begin() + fr, cands_.begin() + to,
            [](const Cand& a, const Cand& b) { return a.filter != b.filter ? a.filter < b.filter : a.rule < b.rule; });
  filters.clear();
  for (uint32_t c = fr; c < to; ++c) {
    const uint16_t f = cands_[c].filter;
    if (c > fr && cands_[c - 1].filter == f) {
      ++filters.back().more;  // fewer than 2^16 rules share a key and a filter
      continue;
    }
    const uint32_t word = f / 64u;
    if (run.n_words == 0 || long_.back().word != word) {
      long_.push_back({0, word, static_cast<uint32_t>(filters.size())});
      ++run.n_words;
    }
    long_.back().mask |= uint64_t{1} << (f % 64u);
    filters.push_back({c, cands_[c].rule, 0});
  }
  long_[head_at] = std::bit_cast<SubWord>(run);
  filters.resize((filters.size() + 1) / 2 * 2);
  for (size_t k = 0; k < filters.size(); k += 2) {
    long_.push_back(std::bit_cast<SubWord>(std::array<FilterRun, 2>{filters[k], filters[k + 1]}));
  }
  return head_at;
}

namespace {

// The bits set in x: in one instruction where the caller is built for it,
// else by adding bit fields (the library's own count would be a call).
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
template <bool kHwCount, class Sub, class Visit>
[[gnu::always_inline]] inline void for_each_hit(const Sub& sub, const uint64_t* bits, Visit&& visit) {
  const uint64_t mask = sub.mask;
  for (uint64_t hits = mask & bits[sub.word]; hits != 0; hits &= hits - 1) {
    const uint64_t below = (hits & (0 - hits)) - 1;  // the bits under the lowest hit
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
[[gnu::always_inline]] inline void RuleIndex::try_long_run(const SubWord* head, int32_t date, const uint64_t* bits,
                                                          uint32_t& best) const {
  const Cand* cands = cands_.data();
  const auto run = std::bit_cast<LongRun>(*head);
  if (run.first_rule >= best) return;
  const SubWord* end = head + 1 + run.n_words;
  for (const SubWord* sub = head + 1; sub < end; ++sub) {
    for_each_hit<kHwCount>(*sub, bits, [&](uint32_t f) {
      FilterRun filter;
      std::memcpy(&filter, reinterpret_cast<const unsigned char*>(end) + f * sizeof(FilterRun), sizeof filter);
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
      const uint32_t long_at = runs[r].long_at;
      if (long_at < kShortRun) {
        try_long_run<kHwCount>(long_.data() + long_at, date, bits, best);
        return;
      }
      if (long_at - kShortRun >= best) return;
      // The candidates whose filter holds, found without a branch per
      // candidate (whether a filter holds varies from record to record),
      // then tried in order while they come before the best match so far:
      // a short run is in rule order.
      const uint32_t c = runs[r].at;
      const uint32_t n = runs[r + 1].at - c;
      // (Last to first, each bit shifted in at the bottom.)
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
