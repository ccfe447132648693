// The supplementary group: a value chosen from the record's ADRG and date
// through adrg_ltcdrg, and its 4-character code from ltc_drg.idx.
//
// Workload: once per record, one short row scan.  A key beyond the key
// count, or a range beyond the rows, gives no group; a group value without a
// code row gives no group either.
#include <algorithm>
#include <cstddef>

#include "grouper/fixed_ids.h"
#include "grouper/grouper.h"
#include "grouper/guarded_lookup.h"

namespace grouper {
namespace {

constexpr int32_t kFirstSupplementaryDate = 20050701;  // earlier records get no group
constexpr int kNoGroup = 0;
constexpr Code4 kNoGroupCode = {'0', '0', '0', '0'};
constexpr Code4 kFixedGroupCode = {'A', 'W', '1', '7'};

// The group value of ADRG index `adrg` on `date`: 0, 1..19 or 9999; `step`
// and `row` tell how it was reached.
int supplementary_value(const TableStore& t, int32_t date, int16_t adrg, SupplementaryStep& step, int32_t& row) {
  row = -1;
  step = SupplementaryStep::kBeforeThreshold;
  if (date < kFirstSupplementaryDate) return kNoGroup;
  step = SupplementaryStep::kNoRow;
  if (!key_in(adrg, rows_of(t.adrg_ast_cnt, t.adrg_ast_fr, t.adrg_ast_to))) return kNoGroup;
  const int16_t fr = t.adrg_ast_fr[static_cast<size_t>(adrg)];
  // A first row of 0 marks an ADRG without rows: the fixed group, whatever
  // its end row says.
  if (fr == 0) {
    step = SupplementaryStep::kFirstRowMarker;
    return kFixedGroup;
  }
  const int16_t to = t.adrg_ast_to[static_cast<size_t>(adrg)];
  const RowSpan rows =
      clip_rows(fr, to, rows_of(t.ast_row_cnt, t.ast_adpt_fr_dt, t.ast_adpt_to_dt, t.ltcdrg_ast));
  for (size_t r = rows.fr; r < rows.to; ++r) {
    if (!in_window(date, t.ast_adpt_fr_dt[r], t.ast_adpt_to_dt[r])) continue;
    step = SupplementaryStep::kRow;
    row = static_cast<int32_t>(r);
    const int v = t.ltcdrg_ast[r];
    if (v == kFixedGroup) return kFixedGroup;
    if (v >= 1 && v <= kLastGroupIndex) return v;
    return kNoGroup;
  }
  return kNoGroup;
}

}  // namespace

int Grouper::find_ltcdrg() {
  const TableStore& t = t_;
  SupplementaryStep step;
  int32_t row;
  int value = supplementary_value(t, values_.rec_date, result_.res_adrg, step, row);
  // A group value without a code row counts as no group.
  if (value != kFixedGroup && !key_in(value, rows_of(t.ltc_drg_cnt, t.ltc_drg_code))) value = kNoGroup;
  if (trace_) trace_->supplementary(step, row, value);

  const Code4& code = value == kNoGroup      ? kNoGroupCode
                      : value == kFixedGroup ? kFixedGroupCode
                                             : t.ltc_drg_code[static_cast<size_t>(value)];
  // At most 4 characters; a NUL ends the code early and NULs fill the rest.
  auto& text = result_.res_ltcdrg_code;
  text.fill('\0');
  for (size_t i = 0; i < code.size() && code[i] != '\0'; ++i) text[i] = code[i];

  result_.res_ltcdrg = value;
  return value;
}

}  // namespace grouper
