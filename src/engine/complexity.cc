// Patient complexity: the CCL of every secondary diagnosis, the exclusions
// that cancel some of them, the PCCL formula and the PCCL split character
// that ends the DRG text.
//
// Workload: calc_pccl runs once per record that has an ADRG; it makes at most
// nine CCL lookups, a few dozen exclusion tests over short ascending lists,
// and reads the DRG's entry of the group rows.  Nothing is allocated.  Every
// table value used as an index is checked first: a key beyond its key count
// has no rows, a row range is clipped to its rows, and a column, ADRG or
// split string out of range gives CCL 0 or split character "0".
#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <cstddef>
#include <functional>
#include <iterator>

#include "engine/engine.h"
#include "engine/prepared/fixed_ids.h"
#include "engine/prepared/guarded_lookup.h"

namespace grouper {
namespace {

constexpr int kFirstSecondaryDx = 2;
constexpr int kMaxPccl = 4;

// Weights of the sorted CCLs: e^(-0.4 * i) for the i-th highest (from 0).
const std::array<double, 9> kCclWeights = [] {
  std::array<double, 9> w{};
  for (size_t i = 0; i < w.size(); ++i) w[i] = std::exp(-0.4 * static_cast<double>(i));
  return w;
}();
const double kPcclDivisor = std::log(7.5) * 0.25;

// The digit that shows a CCL in a CCL text (only the low 8 bits count).
char ccl_digit(int16_t ccl) { return static_cast<char>(static_cast<uint8_t>('0' + ccl)); }

// Writes the CCLs of positions 1..10 as digits; "*" marks the diagnosis that
// serves as principal, where it stood in the input line: after a
// dagger/asterisk exchange the former principal, now in position 2, shows
// its CCL first and "*" stands second.
void write_ccl_text(const std::array<int16_t, 11>& ccl, int16_t dx_swapped, std::array<char, 10>& text) {
  for (int c = 0; c < 10; ++c) text[c] = ccl_digit(ccl[c + 1]);
  if (dx_swapped == 1) {
    text[0] = ccl_digit(ccl[2]);
    text[1] = '*';
  } else {
    text[0] = '*';
  }
}

// The DRG text: the 5 characters of the DRG code (up to a NUL) and the
// character for `pccl` in the split string of the DRG's first Tpccl row
// valid on `rec_date`; "0" when there is no such row or it holds a NUL there.
// Returns that row, -1 when none is valid.  `list_code` receives the DRG's
// code as the DRG list holds it (NULs for no DRG).
int32_t write_drg_text(const GroupRows& rows, int32_t rec_date, int16_t drg, int16_t pccl, std::array<char, 6>& text,
                       std::array<char, 5>& list_code) {
  const DrgRows& d = rows.drg(drg);
  // Copies of known width, which the compiler does in two moves each.
  // plain: std::copy, which called the library's memmove; saved about 13
  // instructions a copy.
  std::memcpy(text.data(), d.code, sizeof d.code);
  if (drg != 0) std::memcpy(list_code.data(), d.code, sizeof d.code);
  else list_code.fill('\0');
  text[5] = '\0';
  int32_t used = -1;
  for (size_t k = 0, n = d.pccl.size(); k < n; ++k) {
    const PcclRow& row = d.pccl.at(k, rows.pccl_rows());
    if (!in_window(rec_date, row.fr_dt, row.to_dt)) continue;
    if (pccl >= 0 && pccl <= kMaxPccl) text[5] = row.chars[pccl];
    used = static_cast<int32_t>(d.pccl.range.fr + k);
    break;
  }
  if (text[5] == '\0') text[5] = '0';
  return used;
}

}  // namespace

int16_t Engine::find_ccl(int16_t code_id, int32_t* row_used, int32_t* column) const {
  const auto& ccl_rows = rows_.dx(code_id).ccl;
  if (row_used) *row_used = -1;
  if (column) *column = -1;
  for (size_t k = 0, n = ccl_rows.size(); k < n; ++k) {
    const CclRow& row = ccl_rows.at(k, rows_.ccl_rows());
    if (!in_window(result_.values.rec_date, row.fr_dt, row.to_dt)) continue;
    // The first valid row decides the column; the record's ADRG picks the byte.
    if (row_used) *row_used = static_cast<int32_t>(ccl_rows.range.fr + k);
    const int adrg = result_.res_adrg;
    if (row.col_at == CclRow::kNoColumn || adrg < 0 || adrg >= t_.ccl_adrg_cnt) return 0;
    const size_t at = size_t{row.col_at} + static_cast<size_t>(adrg);
    if (at >= t_.ccl_matrix.size()) return 0;
    if (column) *column = static_cast<int32_t>(row.col_at / t_.ccl_adrg_cnt);
    return static_cast<int16_t>(static_cast<int8_t>(t_.ccl_matrix[at]) - '0');
  }
  return 0;
}

void Engine::apply_sex_exclusion(const int* with_ccl, int n) {
  const bool odd = result_.values.sex_cd % 2 != 0;  // a negative odd value counts as odd
  const int16_t cancelling = odd ? kCondMaleExcluded : kCondFemaleExcluded;
  for (int i = 0; i < n; ++i) {
    const int p = with_ccl[i];
    const auto& cond = rows_.dx(result_.code_ids[p]).cond;
    // (Only the secondary diagnoses with a CCL: plain, every diagnosis with
    // a test each; mispredicted branches per realistic record 56.4 to 54.8,
    // heavy 70.7 to 69.0.  Only a code flagged with a sex row walks its rows:
    // plain, every code's rows; not measured on its own.)
    if ((cond.flags & cond.kSexRow) == 0) continue;
    for (size_t j = cond.range.fr; j < cond.range.to; ++j) {
      const CondRow& row = rows_.cond_rows()[j];
      // Only a condition of the principal position alone speaks about sex
      // (a condition outside the catalogue admits no position).
      if (row.cond != cancelling || row.pos_fr != 1 || row.pos_to != 1) continue;
      if (in_window(result_.values.rec_date, row.fr_dt, row.to_dt)) {
        result_.pos_ccl[p] = 0;
        if (trace_) trace_->exclusion(p, Exclusion::kSex, 0);
        break;
      }
    }
  }
}

int Engine::is_cc_excluded(int16_t by_id, int16_t of_id) const {
  const RowRange rows = rows_.dx(of_id).ccx;
  if (rows.fr >= rows.to) return 0;
  const int16_t* list = t_.ccx_dx.data();
  // The list is ascending: an id outside its first and last entries is not in it.
  if (by_id < list[rows.fr] || by_id > list[rows.to - 1]) return 0;
  // Where every list is ascending, halving finds what the scan finds: the
  // last entry not above by_id (there is one) is by_id when it is in the list.
  // (Halved without a branch on the entries: which half holds it varies from
  // record to record.)  plain: the halving with an if on each probe;
  // mispredicted branches per realistic record 68.6 to 64.5 (heavy 81.9 to
  // 78.1), for 8 instructions more.
  if (rows_.ccx_ascending()) {
    const int16_t* at = list + rows.fr;
    for (size_t n = rows.size(); n > 1; n -= n / 2) at = at[n / 2] <= by_id ? at + n / 2 : at;
    return *at == by_id ? 1 : 0;
  }
  for (size_t r = rows.fr; r < rows.to; ++r) {
    if (list[r] == by_id) return 1;
  }
  return 0;
}

void Engine::calc_pccl() {
  auto& ccl = result_.pos_ccl;

  // The secondary diagnoses with a CCL: only they take part below.
  int with_ccl[kLastDx];
  int n = 0;
  for (int k = 0; k < dx_count_; ++k) {
    const int p = dx_positions_[k];
    if (p < kFirstSecondaryDx) continue;
    if (trace_) {
      int32_t row, column;
      ccl[p] = find_ccl(result_.code_ids[p], &row, &column);
      trace_->ccl(p, result_.code_ids[p], row, column, ccl[p]);
    } else {
      ccl[p] = find_ccl(result_.code_ids[p]);
    }
    // Kept when its CCL is not 0 (appended without a branch).  plain: if
    // (ccl[p] != 0) with_ccl[n++] = p; mispredicted branches per realistic
    // record 54.8 to 52.4 (heavy 69.0 to 65.5).
    with_ccl[n] = p;
    n += ccl[p] != 0;
  }
  write_ccl_text(ccl, result_.dx_swapped, result_.res_ccl_raw);

  if (n > 0) {
    apply_sex_exclusion(with_ccl, n);
    for (int i = 0; i < n; ++i) {
      const int p = with_ccl[i];
      if (ccl[p] != 0 && is_cc_excluded(result_.code_ids[1], result_.code_ids[p]) == 1) {
        ccl[p] = 0;
        if (trace_) trace_->exclusion(p, Exclusion::kPrincipal, 1);
      }
    }
  }

  int16_t highest = 0;
  for (int i = 0; i < n; ++i) highest = std::max(highest, ccl[with_ccl[i]]);

  if (highest < 1) {
    result_.res_pccl = 0;
    write_ccl_text(ccl, result_.dx_swapped, result_.res_ccl_excl);
  } else {
    // Each diagnosis that still holds the highest CCL when it is reached
    // cancels the CCLs its presence excludes, above and below it; one that
    // an earlier diagnosis has cancelled excludes nothing.
    for (int a = 0; a < n; ++a) {
      const int j = with_ccl[a];
      if (ccl[j] != highest) continue;
      for (int b = 0; b < n; ++b) {
        const int k = with_ccl[b];
        if (k != j && ccl[k] != 0 && is_cc_excluded(result_.code_ids[j], result_.code_ids[k]) == 1) {
          ccl[k] = 0;
          if (trace_) trace_->exclusion(k, Exclusion::kHighest, j);
        }
      }
    }
    write_ccl_text(ccl, result_.dx_swapped, result_.res_ccl_excl);

    // The CCLs in descending order, weighted by place.  The per-position
    // CCLs stay as they are; the formula works on a copy.  Zeros sort after
    // every CCL of 1 or more, so the CCLs left are all that count, unless a
    // matrix byte that is no digit gave a negative CCL.
    std::array<int16_t, 9> sorted{};
    int m = 0;
    bool negative = false;
    for (int i = 0; i < n; ++i) {
      const int16_t c = ccl[with_ccl[i]];
      if (c != 0) sorted[m++] = c;
      negative = negative || c < 0;
    }
    std::sort(sorted.begin(), negative ? sorted.end() : sorted.begin() + m, std::greater<int16_t>());
    double sum = 0.0;
    for (int i = 0; i < (negative ? 9 : m); ++i) sum += sorted[i] * kCclWeights[i];
    const double x = std::log(1.0 + sum) / kPcclDivisor + 0.5;
    // Digit CCLs give x from 1 to about 7.  A matrix byte that is no digit
    // can make the sum negative (x is then NaN or -inf) or huge: such x give
    // PCCL 0 or 4, never an undefined conversion.
    if (!(x > 0.0)) {
      result_.res_pccl = 0;
    } else if (x >= kMaxPccl + 1) {
      result_.res_pccl = kMaxPccl;
    } else {
      result_.res_pccl = static_cast<int16_t>(x);
    }
    if (trace_) {
      if (!negative) std::fill(sorted.begin() + m, sorted.end(), int16_t{0});
      trace_->pccl(sorted, sum, x, result_.res_pccl);
    }
  }

  const int32_t split_row = write_drg_text(group_rows_, result_.values.rec_date, result_.res_drg, result_.res_pccl,
                                           result_.res_drg_code, result_.drg_list_code);
  if (trace_) trace_->pccl_split(result_.res_drg, split_row, result_.res_drg_code[5]);
  if (result_.res_drg != 0 && split_row < 0) note(episode_grouper::FindingCode::kPcclSplitMissing);
}

}  // namespace grouper
