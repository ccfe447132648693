// The summary of a comparison of two table sets over one input: how many
// records were read, how many came out differently and how (MDC, ADRG, DRG,
// PCCL, CCLs, supplementary group, or the findings alone), and the moves:
// ADRG to ADRG and DRG to DRG (records whose ADRG or DRG changed), MDC to
// MDC and PCCL to PCCL (every record whose result differs, so the diagonal
// counts the moves within an MDC or a PCCL).  Groups are named by their
// code texts, never by their indices, which are each set's own.
//
// Workload: add() runs once per differing record, in input order, in the
// serial stage of the pipeline; it allocates only for a move not seen
// before.  text() and json() run once at the end.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace grouper {

// A code text of at most 8 bytes without NULs (MDC, ADRG or DRG text; empty
// for none) packed into one integer, so that a move is kept without
// allocating.
using CodeKey = uint64_t;
CodeKey code_key(std::string_view text);
std::string key_text(CodeKey key);

// How the two results of one record differ.
enum ChangeBit : uint16_t {
  kChangeMdc = 1 << 0,
  kChangeAdrg = 1 << 1,
  kChangeDrg = 1 << 2,
  kChangePccl = 1 << 3,
  kChangeCcl = 1 << 4,            // the CCL texts before or after the exclusions
  kChangeSupplementary = 1 << 5,
  kChangeOther = 1 << 6,          // any other column of the result row
  kChangeFindings = 1 << 7,
  kOldGrouped = 1 << 8,           // the old result has an ADRG
  kNewGrouped = 1 << 9,           // the new result has one
};
inline constexpr uint16_t kResultChanges =
    kChangeMdc | kChangeAdrg | kChangeDrg | kChangePccl | kChangeCcl | kChangeSupplementary | kChangeOther;

struct RecordChange {
  CodeKey old_mdc = 0, new_mdc = 0;
  CodeKey old_adrg = 0, new_adrg = 0;
  CodeKey old_drg = 0, new_drg = 0;  // the DRG text (code and split character)
  int8_t old_pccl = -1, new_pccl = -1;  // 0..4, -1 without an ADRG
  uint16_t bits = 0;                    // ChangeBit
};

// One row of a move table: from, to, records.
template <class T>
struct Move {
  T from;
  T to;
  int64_t count;
};

class CompareSummary {
 public:
  void add_records(int64_t n) { records_ += n; }
  // One record whose results or findings differ.
  void add(const RecordChange& change);

  int64_t records() const { return records_; }
  int64_t differing() const { return results_differ_ + findings_only_; }

  // The summary as text for a person, and as one JSON object (with a line
  // feed): "records", "differing", "results_differ", "findings_only",
  // "mdc_changed", "adrg_changed", "drg_changed", "pccl_changed",
  // "ccl_changed", "supplementary_changed", "other_changed",
  // "newly_ungroupable", "newly_grouped", and the move tables "adrg_moves",
  // "drg_moves", "mdc_moves", "pccl_moves": arrays of {"from","to","count"}
  // sorted by count, largest first, then by the codes (texts, "" for none;
  // PCCLs as numbers, null for none).  The two table directories are named
  // in both.
  std::string text(const std::string& old_tables, const std::string& new_tables) const;
  std::string json(const std::string& old_tables, const std::string& new_tables) const;

  std::vector<Move<std::string>> adrg_moves() const { return sorted(adrg_); }
  std::vector<Move<std::string>> drg_moves() const { return sorted(drg_); }
  std::vector<Move<std::string>> mdc_moves() const { return sorted(mdc_); }
  std::vector<Move<int>> pccl_moves() const;

 private:
  using Pair = std::pair<CodeKey, CodeKey>;
  static std::vector<Move<std::string>> sorted(const std::map<Pair, int64_t>& moves);

  int64_t records_ = 0;
  int64_t results_differ_ = 0;
  int64_t findings_only_ = 0;
  int64_t mdc_changed_ = 0, adrg_changed_ = 0, drg_changed_ = 0, pccl_changed_ = 0;
  int64_t ccl_changed_ = 0, supplementary_changed_ = 0, other_changed_ = 0;
  int64_t newly_ungroupable_ = 0, newly_grouped_ = 0;
  std::map<Pair, int64_t> adrg_, drg_, mdc_;
  std::map<std::pair<int, int>, int64_t> pccl_;
};

}  // namespace grouper
