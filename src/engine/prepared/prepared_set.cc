// Building a PreparedSet: normalisation, the logic-setting verdict and the code
// indexes, once per table set.
#include "engine/prepared/prepared_set.h"

#include <algorithm>
#include <cstring>

#include "engine/prepared/fixed_ids.h"
#include "engine/prepared/guarded_lookup.h"
#include "record/record_layout.h"

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

// Which rows of a strictly ascending dictionary hold a code of four
// characters ("ABCD ") that stands as given: the code "ABCD0" that would
// complete it is not among the rows indexed, or its id is not flagged "y"
// (a failed lookup reads the flag of id 0).  In ascending order "ABCD0"
// follows "ABCD " closely: only codes "ABCD" with a fifth byte above the
// blank and below "0" come between.  So it is found by looking ahead instead
// of by a lookup.  A text cut short by a NUL in its first four bytes is its
// own "0" form.
// plain: two index lookups per such code; the look-ahead brought opening
// the tables back to about what it cost before the marks.
std::vector<uint8_t> standing_dx(const TableStore& t, size_t dx_rows) {
  const size_t end = CodeIndex::indexed_end(t.dx_code, dx_rows, &t.dx_id);
  std::vector<uint8_t> standing(end, 0);
  for (size_t row = 1; row < end; ++row) {
    const char* code = t.dx_code[row].data();
    if (code[4] != ' ' || code[3] == ' ') continue;
    size_t at = row;
    if (std::memchr(code, '\0', 4) == nullptr) {
      const char zero[5] = {code[0], code[1], code[2], code[3], '0'};
      ++at;
      while (at < end && std::memcmp(t.dx_code[at].data(), code, 4) == 0 &&
             static_cast<unsigned char>(t.dx_code[at][4]) < '0') {
        ++at;
      }
      if (at < end && std::memcmp(t.dx_code[at].data(), zero, 5) != 0) at = end;
    }
    const int16_t id = at < end ? t.dx_id[at] : int16_t{0};
    standing[row] = dx_flag_of(t, id) != 'y';
  }
  return standing;
}

// A code list as results hold its codes: each up to its first NUL, NULs
// after it; row 0, which stands for no group, all NULs.
template <size_t N, class Texts>
void fill_result_texts(const std::vector<std::array<char, N>>& list, Texts& texts) {
  static_assert(N <= 8);
  texts.rows.assign(std::max<size_t>(list.size(), 1), {});
  for (size_t row = 1; row < list.size(); ++row) {
    for (size_t i = 0; i < N && list[row][i] != '\0'; ++i) texts.rows[row][i] = list[row][i];
  }
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

PreparedSet::PreparedSet(TableStore store) : store_(std::move(store)) {
  normalize_rules(store_);
  logic_setting_ok_ = logic_setting_matches(store_);
  const TableStore& t = store_;
  const size_t dx_rows = rows_of(t.dx_cnt, t.dx_code, t.dx_id);
  const size_t sg_rows = rows_of(t.sg_cnt, t.sg_code, t.sg_id);
  dx_sorted_ = CodeIndex::strictly_ascending(t.dx_code, 1, dx_rows);
  sg_sorted_ = CodeIndex::strictly_ascending(t.sg_code, 1, sg_rows);
  if (dx_sorted_) dx_index_.build(t.dx_code, 1, dx_rows, t.dx_id, standing_dx(t, dx_rows));
  if (sg_sorted_) sg_index_.build(t.sg_code, 1, sg_rows, t.sg_id);
  drg_index_.build(t.drg_code, 0, drg_rows(t));
  const std::vector<uint32_t> weight = condition_weights(t);
  tadrg_index_.build(t.tadrg, t.cond_cnt, weight);
  tadrg1_index_.build(t.tadrg1, t.cond_cnt, weight);
  code_rows_.build(t);
  group_rows_.build(t, drg_index_);
  fill_result_texts(t.mdc_code, mdc_text_);
  fill_result_texts(t.adrg_code, adrg_text_);
}

int16_t PreparedSet::search_dx(const char* code) const {
  const TableStore& t = store_;
  return search(code, t.dx_code, t.dx_id, rows_of(t.dx_cnt, t.dx_code, t.dx_id));
}

int16_t PreparedSet::search_sg(const char* code) const {
  const TableStore& t = store_;
  return search(code, t.sg_code, t.sg_id, rows_of(t.sg_cnt, t.sg_code, t.sg_id));
}

int open_table_set(const std::filesystem::path& dir, std::unique_ptr<const PreparedSet>& set,
                   std::string& messages, episode_grouper::Status* failure, FileAccess access) {
  TableStore store;
  const int loaded = load_tables(dir, store, messages, failure, access);
  if (loaded != kLoadOk) return loaded;
  set = std::make_unique<const PreparedSet>(std::move(store));
  return kLoadOk;
}

}  // namespace grouper
