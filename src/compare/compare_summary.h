// The summary of a comparison of two table sets over one input: how many
// records were read, how many came out differently and how (MDC, ADRG, DRG,
// PCCL, CCLs, supplementary group, or the findings alone), and the moves:
// ADRG to ADRG and DRG to DRG (records whose ADRG or DRG changed), MDC to
// MDC and PCCL to PCCL (every record whose result differs, so the diagonal
// counts the moves within an MDC or a PCCL).  Groups are named by their
// code texts, never by their indices, which are each set's own.
//
// With weight catalogues, also the case-mix and case-mix index under each
// side and the weight moved: in total (the sum over all records of the new
// effective weight less the old, a record without a weight counting 0) and
// per DRG transition, in exact integers of 1/10,000.
//
// Workload: add() runs once per differing record (and, with weights, per
// record whose effective weight differs), in input order, in the serial
// stage of the pipeline; it allocates only for a move not seen before.
// add_weights() runs once per block.  text() and json() run once at the end.
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
  kChangeWeight = 1 << 10,        // the effective weight differs (or one side has none)
};
inline constexpr uint16_t kResultChanges =
    kChangeMdc | kChangeAdrg | kChangeDrg | kChangePccl | kChangeCcl | kChangeSupplementary | kChangeOther;

struct RecordChange {
  CodeKey old_mdc = 0, new_mdc = 0;
  CodeKey old_adrg = 0, new_adrg = 0;
  CodeKey old_drg = 0, new_drg = 0;  // the DRG text (code and split character)
  int8_t old_pccl = -1, new_pccl = -1;  // 0..4, -1 without an ADRG
  uint16_t bits = 0;                    // ChangeBit
  // The effective weights in 1/10,000, kNoWeight without one (or without catalogues).
  int64_t old_weight = -1, new_weight = -1;
};
inline constexpr int64_t kNoWeight = -1;

// The weights of a run of records, each side apart: sums in 1/10,000 and
// the records with a weight.
struct WeightTotals {
  int64_t old_sum = 0, new_sum = 0;
  int64_t old_weighted = 0, new_weighted = 0;

  void add(int64_t old_weight, int64_t new_weight) {
    if (old_weight != kNoWeight) old_sum += old_weight, ++old_weighted;
    if (new_weight != kNoWeight) new_sum += new_weight, ++new_weighted;
  }
};

// One DRG transition by the weight it moves: records whose DRG or effective
// weight differ, and the sum of their new effective weights less the old.
struct WeightMove {
  std::string from;
  std::string to;
  int64_t records;
  int64_t moved;  // 1/10,000
};

// One row of a move table: from, to, records.
// The transitions the text summary shows by the weight they move.
inline constexpr size_t kTopWeightMoves = 20;

template <class T>
struct Move {
  T from;
  T to;
  int64_t count;
};

class CompareSummary {
 public:
  void add_records(int64_t n) { records_ += n; }
  // One record whose results, findings or (with weights) effective weight differ.
  void add(const RecordChange& change);

  // Turns on the weight figures; the catalogues are named in the summary.
  void use_weights(std::string old_catalogue, std::string new_catalogue);
  // The weights of a block of records (all of them, differing or not).
  void add_weights(const WeightTotals& totals);
  bool has_weights() const { return weights_; }
  const WeightTotals& weight_totals() const { return totals_; }
  // New case-mix less old: the weight moved in total.
  int64_t weight_moved() const { return totals_.new_sum - totals_.old_sum; }
  // Every DRG transition that moves weight or records, by the weight moved
  // (absolute, largest first), then by the codes.
  std::vector<WeightMove> weight_moves() const;

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
  // in both.  With weights, "weights" is an object: "old_weights" and
  // "new_weights" (the catalogues), "old_case_mix", "new_case_mix",
  // "old_case_mix_index", "new_case_mix_index" (null without a weighted
  // record), "old_weighted", "new_weighted", "weight_moved", and
  // "weight_moves": every transition as {"from","to","records",
  // "weight_moved"}, in weight_moves() order.  Weights are texts with 4
  // decimals ("-12.3456"), so that no reader takes them through binary
  // floating point; the text shows the kTopWeightMoves first transitions.
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
  bool weights_ = false;
  std::string old_catalogue_, new_catalogue_;
  WeightTotals totals_;
  std::map<Pair, std::pair<int64_t, int64_t>> weight_moves_;  // records, weight moved
  std::map<std::pair<int, int>, int64_t> pccl_;
};

}  // namespace grouper
