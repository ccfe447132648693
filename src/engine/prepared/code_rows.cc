#include "engine/prepared/code_rows.h"

#include <algorithm>
#include <array>

#include "engine/prepared/fixed_ids.h"
#include "engine/prepared/guarded_lookup.h"
#include "record/record_layout.h"

namespace grouper {
namespace {

constexpr int kNoPosition = kPositionCount;  // a window starting here admits no position

int8_t clamp_position(int16_t p) { return static_cast<int8_t>(std::clamp<int>(p, 0, kNoPosition)); }

// Code positions lo..hi (none when lo > hi).
struct PositionClass {
  int lo;
  int hi;
};

// The counted and the position-marked conditions, as a bitset.
constexpr auto kTracked = [] {
  std::array<uint64_t, 16> bits{};
  for (int16_t c : kCountedConds) bits[static_cast<size_t>(c) / 64] |= uint64_t{1} << (c % 64);
  for (int16_t c : kMarkedConds) bits[static_cast<size_t>(c) / 64] |= uint64_t{1} << (c % 64);
  return bits;
}();

bool is_tracked(size_t c) { return c / 64 < kTracked.size() && ((kTracked[c / 64] >> (c % 64)) & 1) != 0; }
bool is_counted(size_t c) { return std::find(kCountedConds.begin(), kCountedConds.end(), c) != kCountedConds.end(); }

// What a row naming condition c does for a code of one kind, by c: the
// classes it sets c from, whether the rows must be walked, whether the
// logic conditions count or mark c, and whether it names a sex condition; 0
// for a row that never applies to the kind.  The position window is the
// condition's, so this is worked out once per catalogue id rather than once
// per row.  Rows name ids below `conds` (id 0 for those that never apply).
constexpr uint8_t kFromFirst = 8;
constexpr uint8_t kFromSecond = 16;
constexpr uint8_t kApplies = 32;
constexpr uint8_t kSetFlags = CondSet<1>::kWalk | CondSet<1>::kSexRow | CondSet<1>::kTracked;
static_assert(((kFromFirst | kFromSecond | kApplies) & kSetFlags) == 0);

std::vector<uint8_t> row_effects(const TableStore& t, size_t conds, PositionClass first, PositionClass second) {
  std::vector<uint8_t> effect(std::max<size_t>(conds, 1), 0);
  for (size_t c = 1; c < conds; ++c) {
    const int8_t pos_fr = clamp_position(t.cond_pos_fr[c]);
    const int8_t pos_to = clamp_position(t.cond_pos_to[c]);
    uint8_t e = 0;
    for (int k = 0; k < 2; ++k) {
      const PositionClass cls = k == 0 ? first : second;
      if (cls.lo > cls.hi || pos_fr > cls.hi || pos_to < cls.lo) continue;  // never from this class
      e |= kApplies;
      if (pos_fr > cls.lo || pos_to < cls.hi) e |= CondSet<1>::kWalk;  // from some of its positions only
      else e |= k == 0 ? kFromFirst : kFromSecond;
    }
    if (e != 0 && is_tracked(c)) e |= CondSet<1>::kTracked;
    const bool sex = c == kCondMaleExcluded || c == kCondFemaleExcluded;
    if (sex && pos_fr == 1 && pos_to == 1) e |= CondSet<1>::kSexRow;
    effect[c] = e;
  }
  return effect;
}

// The condition set of the Tcode rows `range`, with the effects of their
// ids for the code's kind.
template <size_t N>
CondSet<N> cond_set(RowRange range, const std::vector<CondRow>& rows, const std::vector<uint8_t>& effect) {
  CondSet<N> set;
  set.range = range;
  uint16_t ids[2][N];
  size_t n[2] = {0, 0};
  auto add = [&](int k, uint16_t id) {
    if (std::find(ids[k], ids[k] + n[k], id) != ids[k] + n[k]) {
      if (is_counted(id)) set.flags |= CondSet<N>::kWalk;  // its hits are the rows that set it
      return;
    }
    if (n[k] == N) set.flags |= CondSet<N>::kWalk;
    else ids[k][n[k]++] = id;
  };
  for (size_t j = range.fr; j < range.to; ++j) {
    const CondRow& row = rows[j];
    const auto id = static_cast<uint16_t>(row.cond);
    const uint8_t e = effect[id];
    if ((e & kApplies) == 0) continue;
    set.fr_dt = std::max(set.fr_dt, row.fr_dt);
    set.to_dt = std::min(set.to_dt, row.to_dt);
    set.flags |= e & kSetFlags;
    if ((e & kFromFirst) != 0) add(0, id);
    if ((e & kFromSecond) != 0) add(1, id);
  }
  if (n[0] + n[1] > N) {
    set.flags |= CondSet<N>::kWalk;
    return set;
  }
  std::copy(ids[0], ids[0] + n[0], set.ids);
  std::copy(ids[1], ids[1] + n[1], set.ids + n[0]);
  set.n_first = static_cast<uint8_t>(n[0]);
  set.n_ids = static_cast<uint8_t>(n[0] + n[1]);
  return set;
}

}  // namespace

void CodeRows::build(const TableStore& t) {
  // Tcode rows; a code sets only catalogue ids 1..cond_cnt-1 that have a
  // position window.
  const size_t code_rows = rows_of(t.code_row_cnt, t.code_adpt_fr_dt, t.code_adpt_to_dt, t.code_cond);
  const size_t conds = rows_of(t.cond_cnt, t.cond_pos_fr, t.cond_pos_to);
  cond_rows_.resize(code_rows);
  for (size_t j = 0; j < code_rows; ++j) {
    const int16_t c = t.code_cond[j];
    const bool settable = c >= 1 && static_cast<size_t>(c) < conds;
    cond_rows_[j] = {t.code_adpt_fr_dt[j], t.code_adpt_to_dt[j], settable ? c : int16_t{0},
                     settable ? clamp_position(t.cond_pos_fr[c]) : static_cast<int8_t>(kNoPosition),
                     settable ? clamp_position(t.cond_pos_to[c]) : int8_t{0}};
  }

  // Tccl rows: the first valid row decides the column, so a column outside
  // the matrix stays a row (it gives CCL 0).
  const size_t ccl_rows = rows_of(t.ccl_row_cnt, t.ccl_adpt_fr_dt, t.ccl_adpt_to_dt, t.ccl_col);
  ccl_rows_.resize(ccl_rows);
  for (size_t r = 0; r < ccl_rows; ++r) {
    const int16_t col = t.ccl_col[r];
    const bool in_matrix = col >= 0 && col < t.ccl_col_cnt;
    ccl_rows_[r] = {t.ccl_adpt_fr_dt[r], t.ccl_adpt_to_dt[r],
                    in_matrix ? static_cast<uint32_t>(col) * t.ccl_adrg_cnt : CclRow::kNoColumn};
  }

  const size_t dag_rows = rows_of(t.dag_row_cnt, t.dag_adpt_fr_dt, t.dag_adpt_to_dt, t.dag_ast);
  dag_rows_.resize(dag_rows);
  for (size_t k = 0; k < dag_rows; ++k) dag_rows_[k] = {t.dag_adpt_fr_dt[k], t.dag_adpt_to_dt[k], t.dag_ast[k]};

  // Diagnosis ids: the keys of every table keyed by them.  Ids are 16-bit,
  // so keys past 32767 are never asked for.
  const size_t dx_cond_keys = rows_of(t.code_dx_key_cnt, t.dx_cond_fr, t.dx_cond_to);
  const size_t ccl_keys = rows_of(t.ccl_key_cnt, t.dx_ccl_fr, t.dx_ccl_to);
  const size_t ccx_keys = rows_of(t.ccx_cnt, t.ccx_fr, t.ccx_to);
  const size_t ccx_rows = rows_of(t.ccx_row_cnt, t.ccx_dx);
  const size_t dag_keys = rows_of(t.dag_key_cnt, t.dag_ast_fr, t.dag_ast_to);
  const std::vector<uint8_t> dx_effect = row_effects(t, conds, {kFirstDx, kFirstDx}, {kFirstDx + 1, kLastDx});
  const size_t dx_ids = std::min<size_t>({std::max({dx_cond_keys, ccl_keys, ccx_keys, dag_keys}), size_t{INT16_MAX} + 1});
  dx_.resize(dx_ids);
  for (size_t id = 0; id < dx_ids; ++id) {
    DxRows& d = dx_[id];
    d.ccx = key_range(id, ccx_keys, t.ccx_fr, t.ccx_to, ccx_rows);
    d.dag = key_range(id, dag_keys, t.dag_ast_fr, t.dag_ast_to, dag_rows);
    d.cond = cond_set<12>(key_range(id, dx_cond_keys, t.dx_cond_fr, t.dx_cond_to, code_rows), cond_rows_, dx_effect);
    d.ccl = with_head<CclRow, 1>(key_range(id, ccl_keys, t.dx_ccl_fr, t.dx_ccl_to, ccl_rows), ccl_rows_);
  }

  // Each range is checked in one step, from the number of descents before
  // every row, however the ranges overlap.
  std::vector<uint32_t> descents(ccx_rows + 1, 0);
  for (size_t r = 1; r < ccx_rows; ++r) descents[r + 1] = descents[r] + (t.ccx_dx[r - 1] > t.ccx_dx[r] ? 1 : 0);
  ccx_ascending_ = true;
  for (const DxRows& d : dx_) {
    if (d.ccx.fr < d.ccx.to && descents[d.ccx.to] != descents[d.ccx.fr + 1]) ccx_ascending_ = false;
  }

  const size_t sg_keys = std::min<size_t>(rows_of(t.code_sg_key_cnt, t.sg_cond_fr, t.sg_cond_to), size_t{INT16_MAX} + 1);
  const std::vector<uint8_t> sg_effect = row_effects(t, conds, {kFirstProc, kLastProc}, {1, 0});
  sg_.resize(sg_keys);
  for (size_t id = 0; id < sg_keys; ++id) {
    sg_[id].cond = cond_set<8>(key_range(id, sg_keys, t.sg_cond_fr, t.sg_cond_to, code_rows), cond_rows_, sg_effect);
  }
}

}  // namespace grouper
