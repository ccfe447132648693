// The table store: every array and count of the sixteen reference table
// files, held exactly as the files carry them (no clipping, no
// normalisation), so that a loaded store can be written back byte for byte.
//
// Workload: filled once by load_tables, read by every record afterwards.
// Arrays are contiguous and indexed from 0; each vector's size equals the
// count field that sizes it in its file.  Guarding lookups against broken
// contents is the reader's job (see grouper/).
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace grouper {

using Code3 = std::array<char, 3>;
using Code4 = std::array<char, 4>;
using Code5 = std::array<char, 5>;
using RuleConds = std::array<int16_t, 20>;  // slots 0..9 must hold, 10..19 must not

static_assert(sizeof(Code3) == 3 && sizeof(Code4) == 4 && sizeof(Code5) == 5);
static_assert(sizeof(RuleConds) == 40);

// One rule set (Tadrg or Tadrg1).
struct RuleSet {
  uint16_t mdc_slot_cnt = 0;
  uint16_t rule_cnt = 0;
  std::vector<int16_t> mdc_rule_fr;      // per MDC index, first rule
  std::vector<int16_t> mdc_rule_to;      // per MDC index, end rule (exclusive)
  std::vector<int32_t> rule_adpt_fr_dt;  // per rule, YYYYMMDD inclusive
  std::vector<int32_t> rule_adpt_to_dt;  // per rule, YYYYMMDD inclusive
  std::vector<RuleConds> rule_cond;      // per rule, 0 = empty slot
  std::vector<int16_t> rule_mdc;         // per rule, MDC index (0 = none)
  std::vector<int16_t> rule_adrg;        // per rule, ADRG index (0 = none)
};

struct TableStore {
  // Tdx.idx: diagnosis dictionary, rows sorted by code from row 1.
  uint16_t dx_cnt = 0;
  std::vector<Code5> dx_code;
  std::vector<int16_t> dx_id;
  std::vector<uint8_t> dx_flag;  // indexed by code id; 'y' = completion end point

  // Tsg.idx: procedure dictionary.
  uint16_t sg_cnt = 0;
  std::vector<Code5> sg_code;
  std::vector<int16_t> sg_id;

  // Tmdc.idx, Tadrg.idx, Taadrg.idx: code lists, index 0 = no group.
  uint16_t mdc_cnt = 0;
  std::vector<Code3> mdc_code;
  uint16_t adrg_cnt = 0;
  std::vector<Code4> adrg_code;
  uint16_t drg_cnt = 0;
  std::vector<Code5> drg_code;

  // Tdag_ast: dagger/asterisk pairs keyed by diagnosis code id.
  uint16_t dag_key_cnt = 0;  // equals dx_cnt once loaded
  uint16_t dag_row_cnt = 0;
  std::vector<int32_t> dag_ast_fr;
  std::vector<int32_t> dag_ast_to;
  std::vector<int32_t> dag_adpt_fr_dt;
  std::vector<int32_t> dag_adpt_to_dt;
  std::vector<int16_t> dag_ast;

  // Tcond.idx: condition catalogue, ids 0..cond_cnt-1.
  uint16_t cond_cnt = 0;
  std::vector<uint8_t> cond_type;  // 'l' logic, 't' table
  std::vector<int16_t> cond_pos_fr;
  std::vector<int16_t> cond_pos_to;  // inclusive

  // Tcode: conditions of codes; diagnosis and procedure keys share the rows.
  uint16_t code_dx_key_cnt = 0;  // equals dx_cnt once loaded
  uint16_t code_sg_key_cnt = 0;  // equals sg_cnt once loaded
  uint16_t code_row_cnt = 0;
  std::vector<int32_t> dx_cond_fr;
  std::vector<int32_t> dx_cond_to;
  std::vector<int32_t> sg_cond_fr;
  std::vector<int32_t> sg_cond_to;
  std::vector<uint8_t> code_row_kind;  // kept, never consulted
  std::vector<int32_t> code_adpt_fr_dt;
  std::vector<int32_t> code_adpt_to_dt;
  std::vector<int16_t> code_cond;

  // Tadrg (records dated before 20050101) and Tadrg1 (from that date on).
  RuleSet tadrg;
  RuleSet tadrg1;

  // Taadrg: age splits keyed by ADRG index.
  uint16_t split_key_cnt = 0;  // equals adrg_cnt once loaded
  uint16_t split_row_cnt = 0;
  std::vector<int16_t> adrg_split_fr;
  std::vector<int16_t> adrg_split_to;
  std::vector<int16_t> split_age_fr;  // years, inclusive, may be negative
  std::vector<int16_t> split_age_to;  // years, inclusive
  std::vector<int32_t> split_adpt_fr_dt;
  std::vector<int32_t> split_adpt_to_dt;
  std::vector<uint8_t> split_code;

  // Tccl: CCL rows keyed by diagnosis code id, and the CCL matrix.
  uint16_t ccl_key_cnt = 0;  // equals dx_cnt once loaded
  uint16_t ccl_row_cnt = 0;
  uint16_t ccl_col_cnt = 0;
  uint16_t ccl_adrg_cnt = 0;  // row length of ccl_matrix; equals adrg_cnt once loaded
  std::vector<int16_t> dx_ccl_fr;
  std::vector<int16_t> dx_ccl_to;
  std::vector<int32_t> ccl_adpt_fr_dt;
  std::vector<int32_t> ccl_adpt_to_dt;
  std::vector<int16_t> ccl_col;
  std::vector<uint8_t> ccl_matrix;  // column y, ADRG x at [y * ccl_adrg_cnt + x], digit characters

  // Tpccl: PCCL split strings keyed by DRG index.
  uint16_t pccl_key_cnt = 0;  // equals drg_cnt once loaded
  uint16_t pccl_row_cnt = 0;
  uint16_t pccl_split_cnt = 0;
  std::vector<int16_t> drg_pccl_fr;
  std::vector<int16_t> drg_pccl_to;
  std::vector<int32_t> pccl_adpt_fr_dt;
  std::vector<int32_t> pccl_adpt_to_dt;
  std::vector<int16_t> pccl_split_row;
  std::vector<Code5> pccl_split;  // character p = last DRG character for PCCL p

  // Tccedit: CC exclusion lists keyed by diagnosis code id.
  uint16_t ccx_cnt = 0;
  uint16_t ccx_row_cnt = 0;
  std::vector<int32_t> ccx_fr;
  std::vector<int32_t> ccx_to;
  std::vector<int16_t> ccx_dx;  // ascending within each key's range

  // ltc_drg.idx: supplementary group codes.
  uint16_t ltc_drg_cnt = 0;
  std::vector<Code4> ltc_drg_code;
  std::vector<int16_t> ltc_drg_idx;  // kept, never consulted

  // adrg_ltcdrg: supplementary group rows keyed by ADRG index.
  uint16_t adrg_ast_cnt = 0;
  uint16_t ast_row_cnt = 0;
  std::vector<int16_t> adrg_ast_fr;  // 0 marks an ADRG without rows (fixed group 9999)
  std::vector<int16_t> adrg_ast_to;
  std::vector<int32_t> ast_adpt_fr_dt;
  std::vector<int32_t> ast_adpt_to_dt;
  std::vector<int16_t> ltcdrg_ast;  // 1..19 or 9999; anything else is no group
};

}  // namespace grouper
