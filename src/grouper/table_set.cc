// Building a TableSet: normalisation, the logic-setting verdict and the code
// indexes, once per table set.
#include "grouper/table_set.h"

#include "grouper/fixed_ids.h"
#include "grouper/guarded_lookup.h"
#include "grouper/record_layout.h"

namespace grouper {

namespace {

// The halving search over rows 1..n-1.  Row 0 is never probed: every probe
// lies at least one row above lo, so row 0 holds a placeholder.
int16_t search(const char* key, const std::vector<Code5>& codes, const std::vector<int16_t>& ids,
               size_t n) {
  size_t lo = 0;
  size_t hi = n;
  for (size_t half = hi / 2; half != 0; half = (hi - lo) / 2) {
    size_t mid = lo + half;
    int order = compare_code5(key, codes[mid].data());
    if (order == 0) return ids[mid];
    if (order < 0) {
      hi = mid;
    } else {
      lo = mid;
    }
  }
  return 0;
}

// How common each condition is, for choosing the key of a rule: a table
// condition by the number of code rows that name it, a logic condition as
// common (most records hold several).
std::vector<uint32_t> condition_weights(const TableStore& t) {
  std::vector<uint32_t> weight(t.cond_cnt, 1);
  for (int16_t c : t.code_cond) {
    if (c >= 0 && c < t.cond_cnt) ++weight[static_cast<size_t>(c)];
  }
  for (int c = kFirstLogicCond; c <= kLastLogicCond && c < t.cond_cnt; ++c) weight[static_cast<size_t>(c)] = 1u << 24;
  return weight;
}

}  // namespace

bool logic_setting_matches(const TableStore& tables) {
  const size_t n = tables.cond_cnt;
  if (n < kLogicCondEnd || tables.cond_type.size() < n) return false;
  for (size_t k = 1; k < n; ++k) {
    const bool logic = k >= kFirstLogicCond && k <= kLastLogicCond;
    if (tables.cond_type[k] != (logic ? 'l' : 't')) return false;
  }
  return true;
}

TableSet::TableSet(TableStore store) : store_(std::move(store)) {
  normalize_rules(store_);
  logic_setting_ok_ = logic_setting_matches(store_);
  const TableStore& t = store_;
  const size_t dx_rows = rows_of(t.dx_cnt, t.dx_code, t.dx_id);
  const size_t sg_rows = rows_of(t.sg_cnt, t.sg_code, t.sg_id);
  dx_sorted_ = CodeIndex::strictly_ascending(t.dx_code, 1, dx_rows);
  sg_sorted_ = CodeIndex::strictly_ascending(t.sg_code, 1, sg_rows);
  if (dx_sorted_) {
    dx_index_.build(t.dx_code, 1, dx_rows, t.dx_id);
    mark_standing_dx(dx_rows);
  }
  if (sg_sorted_) sg_index_.build(t.sg_code, 1, sg_rows, t.sg_id);
  drg_index_.build(t.drg_code, 0, drg_rows(t));
  const std::vector<uint32_t> weight = condition_weights(t);
  tadrg_index_.build(t.tadrg, t.cond_cnt, weight);
  tadrg1_index_.build(t.tadrg1, t.cond_cnt, weight);
  code_rows_.build(t);
  group_rows_.build(t, drg_index_);
}

void TableSet::mark_standing_dx(size_t dx_rows) {
  const TableStore& t = store_;
  for (size_t row = 1; row < dx_rows; ++row) {
    const Code5& code = t.dx_code[row];
    // (A text cut short by a NUL stands for every text with its bytes up to
    // the NUL, and so does that text with "0" in place of its fifth byte.)
    if (code[4] != ' ' || code[3] == ' ') continue;
    Code5 zero = code;
    zero[4] = '0';
    const int16_t id = find_dx_id(zero.data());  // 0 when not found: id 0's flag decides then
    if (!key_in(id, t.dx_flag.size()) || t.dx_flag[static_cast<size_t>(id)] != 'y') dx_index_.mark(code.data());
  }
}

int16_t TableSet::search_dx(const char* code) const {
  const TableStore& t = store_;
  return search(code, t.dx_code, t.dx_id, rows_of(t.dx_cnt, t.dx_code, t.dx_id));
}

int16_t TableSet::search_sg(const char* code) const {
  const TableStore& t = store_;
  return search(code, t.sg_code, t.sg_id, rows_of(t.sg_cnt, t.sg_code, t.sg_id));
}

int open_table_set(const std::filesystem::path& dir, std::unique_ptr<const TableSet>& set,
                   std::string& messages, LoadFailure* failure) {
  TableStore store;
  const int loaded = load_tables(dir, store, messages, failure);
  if (loaded != kLoadOk) return loaded;
  set = std::make_unique<const TableSet>(std::move(store));
  return kLoadOk;
}

}  // namespace grouper
