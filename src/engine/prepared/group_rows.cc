#include "engine/prepared/group_rows.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "engine/prepared/fixed_ids.h"

namespace grouper {

namespace {

constexpr int kNoGroup = 0;
constexpr Code4 kNoGroupCode = {'0', '0', '0', '0'};
constexpr Code4 kFixedGroupCode = {'A', 'W', '1', '7'};

}  // namespace

SupplementaryGroup supplementary_group(const TableStore& t, int raw) {
  int value = raw == kFixedGroup || (raw >= 1 && raw <= kLastGroupIndex) ? raw : kNoGroup;
  // A group value without a code row counts as no group.
  if (value != kFixedGroup && !key_in(value, rows_of(t.ltc_drg_cnt, t.ltc_drg_code))) value = kNoGroup;
  const Code4& code = value == kNoGroup      ? kNoGroupCode
                      : value == kFixedGroup ? kFixedGroupCode
                                             : t.ltc_drg_code[static_cast<size_t>(value)];
  // At most 4 characters; a NUL ends the code early and NULs fill the rest.
  SupplementaryGroup group;
  group.value = static_cast<int16_t>(value);
  for (size_t i = 0; i < code.size() && code[i] != '\0'; ++i) group.code[i] = code[i];
  return group;
}

void GroupRows::build(const TableStore& t, const CodeIndex& drg_index) {
  // ADRG indices are 16-bit; an ADRG beyond both tables has neither rows nor code.
  const size_t split_keys = rows_of(t.split_key_cnt, t.adrg_split_fr, t.adrg_split_to);
  const size_t adrgs = std::min<size_t>(std::max(split_keys, t.adrg_code.size()), size_t{INT16_MAX} + 1);
  const size_t splits =
      rows_of(t.split_row_cnt, t.split_age_fr, t.split_age_to, t.split_adpt_fr_dt, t.split_adpt_to_dt, t.split_code);
  adrg_.assign(adrgs, AdrgRows{});
  split_rows_.assign(splits, SplitRow{});
  for (size_t i = 0; i < splits; ++i) {
    split_rows_[i] = {t.split_adpt_fr_dt[i], t.split_adpt_to_dt[i], t.split_age_fr[i], t.split_age_to[i], -1,
                      static_cast<char>(t.split_code[i])};
  }
  for (size_t a = 0; a < adrgs; ++a) {
    AdrgRows& e = adrg_[a];
    e.has_code = a < t.adrg_code.size();
    if (e.has_code) e.code = t.adrg_code[a];
    // The DRG rows are found per ADRG (ranges of several ADRGs may share
    // rows), for its head rows; past them the grouping looks the row up.
    auto drg_of = [&](char split) {
      const char key[5] = {e.code[0], e.code[1], e.code[2], e.code[3], split};
      return static_cast<int16_t>(e.has_code ? drg_index.find(key) : -1);
    };
    e.unsplit_drg = drg_of('0');
    e.splits = with_head<SplitRow, 3>(key_range(a, split_keys, t.adrg_split_fr, t.adrg_split_to, splits), split_rows_);
    for (size_t k = 0; k < std::size(e.splits.head) && k < e.splits.size(); ++k) {
      e.splits.head[k].drg = drg_of(e.splits.head[k].code);
    }
  }

  const size_t pccl_keys = rows_of(t.pccl_key_cnt, t.drg_pccl_fr, t.drg_pccl_to);
  const size_t drgs = std::min<size_t>(std::max(pccl_keys, t.drg_code.size()), size_t{INT16_MAX} + 1);
  const size_t pccl_rows = rows_of(t.pccl_row_cnt, t.pccl_adpt_fr_dt, t.pccl_adpt_to_dt, t.pccl_split_row);
  const size_t strings = rows_of(t.pccl_split_cnt, t.pccl_split);
  pccl_rows_.assign(pccl_rows, PcclRow{});
  for (size_t r = 0; r < pccl_rows; ++r) {
    PcclRow& row = pccl_rows_[r];
    row.fr_dt = t.pccl_adpt_fr_dt[r];
    row.to_dt = t.pccl_adpt_to_dt[r];
    const int split = t.pccl_split_row[r];
    if (key_in(split, strings)) std::memcpy(row.chars, t.pccl_split[static_cast<size_t>(split)].data(), 5);
  }
  drg_.assign(drgs, DrgRows{});
  for (size_t d = 0; d < drgs; ++d) {
    DrgRows& e = drg_[d];
    if (d < t.drg_code.size()) {
      const Code5& code = t.drg_code[d];
      for (size_t i = 0; i < code.size() && code[i] != '\0'; ++i) e.code[i] = code[i];
    }
    e.pccl = with_head<PcclRow, 3>(key_range(d, pccl_keys, t.drg_pccl_fr, t.drg_pccl_to, pccl_rows), pccl_rows_);
  }

  fixed_group_ = supplementary_group(t, kFixedGroup);
  no_group_ = supplementary_group(t, 0);
  const size_t ast_keys =
      std::min<size_t>(rows_of(t.adrg_ast_cnt, t.adrg_ast_fr, t.adrg_ast_to), size_t{INT16_MAX} + 1);
  const size_t ast_rows = rows_of(t.ast_row_cnt, t.ast_adpt_fr_dt, t.ast_adpt_to_dt, t.ltcdrg_ast);
  supplementary_rows_.assign(ast_rows, SupplementaryRow{});
  for (size_t r = 0; r < ast_rows; ++r) {
    supplementary_rows_[r] = {t.ast_adpt_fr_dt[r], t.ast_adpt_to_dt[r], supplementary_group(t, t.ltcdrg_ast[r])};
  }
  supplementary_.assign(ast_keys, SupplementaryRows{});
  for (size_t a = 0; a < ast_keys; ++a) {
    SupplementaryRows& e = supplementary_[a];
    e.marker = t.adrg_ast_fr[a] == 0;
    if (e.marker) continue;
    const RowRange range = key_range(a, ast_keys, t.adrg_ast_fr, t.adrg_ast_to, ast_rows);
    e.rows = with_head<SupplementaryRow, 3>(range, supplementary_rows_);
  }
}

}  // namespace grouper
