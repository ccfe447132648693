// The rows of the tables keyed by ADRG and by DRG, laid out once per table
// set for the stages after the rule passes: the age splits of each ADRG
// (Taadrg), its supplementary group rows (adrg_ltcdrg) and the PCCL split
// rows of each DRG (Tpccl).
//
// The table files keep one field per array, so the age split, the DRG text
// and the supplementary group of a record touched some dozen places.  Here
// each ADRG and each DRG gets a cache-line entry per table with its clipped
// row range, copies of its first rows and what the record would look up
// next: for an age split row the DRG list row of the ADRG's code with the
// row's split character, for a PCCL split row its five characters, for a
// supplementary row its group and the group's code.  The guards are applied
// here, once: a key beyond its table has no rows, a range is clipped to the
// rows that exist, a split string beyond its table gives NULs, a DRG row that
// no list row holds is -1, and a group value without a code row is no group.
//
// Workload: built once per table set in time linear in the table sizes; read
// once or twice per record that has an ADRG.
//
// plain: some dozen table arrays and a hash probe per record; the ADRG and
// DRG entries saved 114 instructions per realistic record (4,884 to 4,770)
// and 115 per heavy one, first-level misses 62.7 to 51.2 and 82.6 to 71.1;
// the supplementary entries 25 more per realistic record (to 4,745),
// first-level misses 51.2 to 49.7.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/prepared/code_index.h"
#include "engine/prepared/code_rows.h"
#include "tables/table_store.h"

namespace grouper {

// A Taadrg row: its dates, ages and split character, and in an ADRG's head
// rows the DRG list row of the ADRG's code followed by that character (-1
// when no row holds it; DRG rows are 16-bit).
struct SplitRow {
  int32_t fr_dt;
  int32_t to_dt;
  int16_t age_fr;
  int16_t age_to;
  int16_t drg;
  char code;
};

// The age splits of one ADRG: its rows, whether it has a code in the ADRG
// list, the code, and the DRG list row of the code followed by "0" (the
// split of a record that no row covers).
struct alignas(64) AdrgRows {
  HeadRows<SplitRow, 3> splits;
  int16_t unsplit_drg = -1;
  Code4 code{};
  bool has_code = false;
};
static_assert(sizeof(AdrgRows) == 64);

// A Tpccl row: its dates and the character it gives for PCCL 0..4 (NULs for
// a split string outside the table).
struct PcclRow {
  int32_t fr_dt;
  int32_t to_dt;
  char chars[5];
};

// The PCCL split rows of one DRG, and the DRG's code up to its first NUL,
// NULs after it (all NULs for a DRG outside the list).
struct alignas(64) DrgRows {
  HeadRows<PcclRow, 3> pccl;
  char code[5] = {};
};
static_assert(sizeof(DrgRows) == 64);

// A supplementary group: its value (0 for none, 1..19 or 9999) and its code
// up to its first NUL, NULs after it.
struct SupplementaryGroup {
  int16_t value = 0;
  char code[4] = {};
};

// The group that the value `raw` of an adrg_ltcdrg row gives: a value
// outside 1..19 and 9999, or without a code row, is no group.
SupplementaryGroup supplementary_group(const TableStore& t, int raw);

// An adrg_ltcdrg row: its dates and the group it gives.
struct SupplementaryRow {
  int32_t fr_dt;
  int32_t to_dt;
  SupplementaryGroup group;
};

// The supplementary rows of one ADRG; `marker` when its first row is 0, which
// gives the fixed group whatever its rows.
struct alignas(64) SupplementaryRows {
  HeadRows<SupplementaryRow, 3> rows;
  bool marker = false;
};
static_assert(sizeof(SupplementaryRows) == 64);

class GroupRows {
 public:
  // `drg_index` finds the DRG list row that holds a 5-byte key.
  void build(const TableStore& t, const CodeIndex& drg_index);

  // The entry of ADRG index `adrg`, empty for one outside the tables.
  const AdrgRows& adrg(int16_t adrg) const { return entry_of(adrg_, adrg, kNoAdrg); }
  // The entry of DRG index `drg`, empty for one outside the tables.
  const DrgRows& drg(int16_t drg) const { return entry_of(drg_, drg, kNoDrg); }
  // The supplementary rows of ADRG index `adrg`, none for one outside the table.
  const SupplementaryRows& supplementary(int16_t adrg) const { return entry_of(supplementary_, adrg, kNoRows); }
  // The fixed group, and no group.
  const SupplementaryGroup& fixed_group() const { return fixed_group_; }
  const SupplementaryGroup& no_group() const { return no_group_; }
  const SplitRow* split_rows() const { return split_rows_.data(); }
  const PcclRow* pccl_rows() const { return pccl_rows_.data(); }
  const SupplementaryRow* supplementary_rows() const { return supplementary_rows_.data(); }

 private:
  static constexpr AdrgRows kNoAdrg{};
  static constexpr DrgRows kNoDrg{};
  static constexpr SupplementaryRows kNoRows{};

  std::vector<AdrgRows> adrg_;
  std::vector<DrgRows> drg_;
  std::vector<SplitRow> split_rows_;
  std::vector<PcclRow> pccl_rows_;
  std::vector<SupplementaryRows> supplementary_;
  std::vector<SupplementaryRow> supplementary_rows_;
  SupplementaryGroup fixed_group_;
  SupplementaryGroup no_group_;
};

}  // namespace grouper
