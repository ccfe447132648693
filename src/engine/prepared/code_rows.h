// The rows of the tables keyed by code id, laid out once per table set for
// the per-record stages: the Tcode rows of diagnoses and procedures, the
// CCL rows, the dagger/asterisk rows and the exclusion lists.
//
// The table files keep one field per array, so reading one row touches as
// many places as the row has fields.  Here every row of Tcode, Tccl and
// Tdag_ast becomes one small struct, in the table's own row order, and every
// diagnosis id gets one entry with its clipped row range in each table keyed
// by diagnosis id.  The guards are applied here, once: a range is clipped to
// the rows that exist, an id outside a table's keys has no rows there, and a
// value that can never apply (a condition outside the catalogue, a CCL
// column outside the matrix) is marked so.  Each id's entry also holds what
// its first rows say (the conditions its Tcode rows set, a copy of its first
// Tccl row), so that a code costs the stages one cache miss instead of one
// per table.  The stages then read a code's rows with one lookup and no
// further checks.
//
// Workload: built once per table set in time linear in the table sizes;
// read a few times per code of every record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/prepared/guarded_lookup.h"
#include "tables/table_store.h"

namespace grouper {

// Rows fr..to-1 of one of the row arrays below; fr >= to means none.
struct RowRange {
  uint16_t fr = 0;
  uint16_t to = 0;

  size_t size() const { return fr < to ? size_t{to} - fr : 0; }
};

// A Tcode row: its validity window, the condition it sets, and the code
// positions from which it may set it (the condition's position window,
// clamped to 0..47).  A condition outside the catalogue, or id 0, which a
// code never sets, becomes id 0 with the window 47..0: the row never
// applies, and its id stays inside the condition bitset.
struct CondRow {
  int32_t fr_dt;
  int32_t to_dt;
  int16_t cond;
  int8_t pos_fr;
  int8_t pos_to;
};

// A Tccl row: its validity window and the offset of its column in the CCL
// matrix (column x ADRG count), kNoColumn for a column outside the matrix.
struct CclRow {
  static constexpr uint32_t kNoColumn = UINT32_MAX;
  int32_t fr_dt;
  int32_t to_dt;
  uint32_t col_at;
};

// A Tdag_ast row: its validity window and the asterisk code id.
struct DagRow {
  int32_t fr_dt;
  int32_t to_dt;
  int16_t ast;
};

// A range of rows of a table with copies of its first rows: most codes have
// no more rows than the copies hold, so a code's rows are read from the one
// cache line of its entry.
// plain: the row range alone, every row read from the row array; measured
// with the entries that hold them (DxRows, AdrgRows, DrgRows,
// SupplementaryRows).
template <class Row, size_t N>
struct HeadRows {
  RowRange range;
  Row head[N];  // rows range.fr .. range.fr + N - 1, as far as the range goes

  size_t size() const { return range.size(); }
  // Row k of the range (k < size()); `rows` is the table's row array.
  const Row& at(size_t k, const Row* rows) const { return k < N ? head[k] : rows[range.fr + k]; }
};

// The rows of `key` in a keyed range table, clipped as key_rows clips them,
// as a RowRange (row counts are 16-bit).
template <class Int>
RowRange key_range(size_t key, size_t key_cnt, const std::vector<Int>& fr, const std::vector<Int>& to,
                   size_t row_cnt) {
  const RowSpan span = key_rows(static_cast<long>(key), key_cnt, fr, to, row_cnt);
  return {static_cast<uint16_t>(span.fr), static_cast<uint16_t>(span.to)};
}

// `range` with copies of its first rows, from the table's row array `rows`.
template <class Row, size_t N>
HeadRows<Row, N> with_head(RowRange range, const std::vector<Row>& rows) {
  HeadRows<Row, N> h{range, {}};
  for (size_t k = 0; k < N && k < h.size(); ++k) h.head[k] = rows[range.fr + k];
  return h;
}

// The entry of `key` in a table of entries per key, `none` for a key
// outside it.
template <class Entry>
const Entry& entry_of(const std::vector<Entry>& entries, int16_t key, const Entry& none) {
  return key >= 0 && static_cast<size_t>(key) < entries.size() ? entries[static_cast<size_t>(key)] : none;
}

// The Tcode rows of one code, and the condition ids they set worked out
// once: a code's rows, each valid on its own dates and from the positions
// its condition admits, mostly come down to a few ids set at every position
// of a class (for a diagnosis the principal position, and the secondary
// ones; for a procedure every procedure position) on every date that all of
// them are valid on.  Then the ids of the code's class are set, without
// testing the rows.  A row that can never apply to a code of its kind counts
// for nothing.  The rows themselves must be walked (kWalk) when a row's
// position window splits a class, when the ids do not fit, or when two rows
// of a class set one condition whose hits the logic conditions count.  A
// set with a condition whose hits or positions they read (kTracked) counts
// and marks its ids as the walk would: each stands for one row.
// plain: walking the rows for every code; saved 325 instructions per
// realistic record and 327 per heavy one, kTracked a further 0.8 first- and
// second-level misses per record for 24 instructions more.
template <size_t N>
struct CondSet {
  static constexpr uint8_t kWalk = 1;
  static constexpr uint8_t kSexRow = 2;  // a row names a sex condition with the window 1..1
  static constexpr uint8_t kTracked = 4;  // an id is counted or position-marked
  RowRange range;              // the Tcode rows, in cond_rows()
  int32_t fr_dt = INT32_MIN;   // every row that can apply is valid on fr_dt..to_dt
  int32_t to_dt = INT32_MAX;
  uint8_t n_first = 0;         // ids[0, n_first): the first class; ids[n_first, n_ids): the second
  uint8_t n_ids = 0;
  uint8_t flags = 0;
  uint16_t ids[N] = {};
};

// Everything the stages read about one diagnosis id: its Tcode rows, its
// Tccl rows, its exclusion list and its dagger/asterisk rows.  One cache line.
// plain: a row range per table read from the table's own arrays, one field
// an array; the entries per code id were not measured on their own (most
// of a record's time had gone into those misses).
struct alignas(64) DxRows {
  RowRange ccx;  // into the exclusion list entries (TableStore::ccx_dx)
  RowRange dag;  // into dag_rows()
  CondSet<12> cond;
  HeadRows<CclRow, 1> ccl;
};
static_assert(sizeof(DxRows) == 64);

// The Tcode rows of one procedure id.
struct alignas(32) SgRows {
  CondSet<8> cond;
};
static_assert(sizeof(SgRows) == 32);

class CodeRows {
 public:
  void build(const TableStore& t);

  // The rows of diagnosis id `id`, none for an id outside every table's keys.
  const DxRows& dx(int16_t id) const { return entry_of(dx_, id, kNoDxRows); }
  // The Tcode rows of procedure id `id`.
  const SgRows& sg(int16_t id) const { return entry_of(sg_, id, kNoSgRows); }

  // Whether every diagnosis id's exclusion list is in ascending order (as
  // the tables mean them to be), so that a search may halve it.
  bool ccx_ascending() const { return ccx_ascending_; }

  const CondRow* cond_rows() const { return cond_rows_.data(); }
  const CclRow* ccl_rows() const { return ccl_rows_.data(); }
  const DagRow* dag_rows() const { return dag_rows_.data(); }

 private:
  static constexpr DxRows kNoDxRows{};
  static constexpr SgRows kNoSgRows{};

  std::vector<DxRows> dx_;
  std::vector<SgRows> sg_;
  std::vector<CondRow> cond_rows_;
  std::vector<CclRow> ccl_rows_;
  std::vector<DagRow> dag_rows_;
  bool ccx_ascending_ = true;
};

}  // namespace grouper
