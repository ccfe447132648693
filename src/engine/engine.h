// The grouping of one episode record.
//
// An Engine holds a read-only view of a PreparedSet and all per-record
// working state, so several Engines over one set may run on several threads.
// group() sends one line through the stages in their fixed order:
// select_rule_set, prepare_record (record values, code lookup,
// conditions), find_mdc, find_adrg, find_drg, calc_pccl, find_ltcdrg.
//
// Workload: constructed once per thread; group() runs once per record and
// allocates nothing.  No table content is trusted as an index: a broken table
// set gives some defined result and never a read outside an array.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "engine/prepared/prepared_set.h"
#include "engine/trace.h"
#include "episode_grouper/result.h"
#include "record/record_layout.h"
#include "tables/table_store.h"

namespace grouper {

// The grouping fills the public result directly: every writer and every
// client reads this one type.
using Result = episode_grouper::Result;
using RecordValues = episode_grouper::RecordValues;

// What a built-in logic condition (782..823) tests, in words; empty for
// other ids.
std::string_view logic_condition_text(int id);

class Engine {
 public:
  // `tables` must outlive the Engine.
  explicit Engine(const PreparedSet& tables);

  // Groups the record held in line[0, len).  The buffer must hold at least
  // kRecordWidth bytes; the bytes from len on must be blanks.  The line is
  // upper-cased in place.  Returns 0, or -1 when the condition catalogue
  // disagrees with the built-in logic conditions (the caller reports it and
  // ends the run).
  int group(char* line, size_t len);

  // The result of the record grouped last, and parts of it.
  const Result& result() const { return result_; }
  const RecordValues& values() const { return result_.values; }
  // What the grouping had to make of the record's data.
  const episode_grouper::Findings& findings() const { return result_.findings; }

  // Reports every step of the records grouped from now on to `trace` (none
  // when null).  `trace` must outlive its use.
  void set_trace(GroupingTrace* trace) { trace_ = trace; }

  // --- the stages, in the order group() runs them (public for tests) ---

  // Chooses Tadrg or Tadrg1 by comparing the date text with "20050101".
  void select_rule_set(const char* line);
  // Record values, reset, upper-casing, code lookup, repeats, dagger/asterisk
  // exchange, conditions.  Returns the result of check_logic_setting.
  int prepare_record(char* line, size_t len);
  void find_mdc();
  // The first rule filed under MDC index `mdc` that matches the record
  // prepared last, or -1: through the rule index, and by the full scan that
  // the index must agree with.
  int32_t first_match(int16_t mdc) const;
  int32_t first_match_scan(int16_t mdc) const;
  void find_adrg();
  void find_drg();
  void calc_pccl();
  int find_ltcdrg();

  // --- pieces of the stages ---

  // Dictionary search: positions 1..10 search the diagnoses, 11.. the
  // procedures.  Returns the code id or 0.
  int16_t find_code_id(const char* code, int position) const { return set_.find_code_id(code, position); }
  // The ids of the diagnoses in the slots `in_use` (bit p - 1 for position p).
  void load_dx_codes(const char* line, uint32_t in_use);
  void set_table_conds();
  void set_logic_conds();
  int check_logic_setting() const;
  // The CCL of diagnosis `code_id` under the record's ADRG; `row` and
  // `column`, when given, receive the Tccl row and matrix column used (-1
  // for none).
  int16_t find_ccl(int16_t code_id, int32_t* row = nullptr, int32_t* column = nullptr) const;
  // Cancels the CCLs of the positions with_ccl[0, n), those of the
  // secondary diagnoses with a CCL, that the patient's sex excludes.
  void apply_sex_exclusion(const int* with_ccl, int n);
  int is_cc_excluded(int16_t by_id, int16_t of_id) const;

  // --- per-record state, readable by tests ---
  const std::array<int16_t, kPositionCount>& code_ids() const { return result_.code_ids; }
  int16_t dx_swapped() const { return result_.dx_swapped; }
  const RuleSet& active_rule_set() const { return *active_; }
  uint8_t cond_val(int id) const;   // 0 for ids outside the catalogue
  // The number of (code position, applying Tcode row) pairs that set
  // condition `id` (saturating at 127; 1 for id 0, 0 outside the catalogue),
  // and whether the procedure at `position` (11..41) set it.  Worked out
  // from the record when asked: the grouping itself keeps only the few
  // counts and marks the logic conditions read.
  int8_t cond_hits(int id) const;
  uint8_t pos_cond(int position, int id) const;

 private:
  void reset_record();
  // What calc_pccl writes, cleared for a record that does not reach it.
  void clear_complexity();
  // Notes a finding.
  void note(episode_grouper::FindingCode code, int position = 0,
            episode_grouper::RecordField field = episode_grouper::RecordField::kNone, const char* text = nullptr,
            const char* to = nullptr);
  // The findings of the record's fields and length; `birth_wt` and `vent_hr`
  // as their fields read, before they are kept in 16 bits.
  void note_fields(const char* line, size_t len, const AgeSteps& age, int32_t birth_wt, int32_t vent_hr);
  // The rule pass through the full scan, reporting the rules tried and the
  // near misses to the trace.
  int32_t traced_match(int pass, int16_t mdc) const;
  // Sizes the condition state for condition ids 0..ids.
  void init_conditions(size_t ids);
  // Calls visit(position, Tcode row, condition, applies) for every Tcode row
  // of the record's codes, position by position; a row applies when it is
  // valid on the record date and its condition admits the code's position.
  template <class Visit>
  void for_each_cond_row(Visit&& visit) const;
  // The same for the Tcode rows `range` of the code at position p.
  template <class Visit>
  void walk_cond_rows(int p, RowRange range, Visit&& visit) const;

  const PreparedSet& set_;
  const TableStore& t_;
  const CodeRows& rows_;
  const GroupRows& group_rows_;
  const RuleSet* active_;
  const RuleIndex* active_index_;

  GroupingTrace* trace_ = nullptr;
  Result result_;
  // Diagnosis and procedure positions whose code was found, in position
  // order (diagnoses once repeats are removed and after the exchange).
  std::array<int8_t, kLastDx> dx_positions_{};
  int dx_count_ = 0;
  std::array<int8_t, kLastProc - kFirstProc + 1> proc_positions_{};
  int proc_count_ = 0;

  // Condition state; ids 0..cond_cnt, cond_cnt is the always-false id.
  // cond_bits_ holds cond_val as a bitset (bit c of word c / 64), sized for
  // at least the built-in logic ids whatever the catalogue holds.
  uint16_t cond_cnt_;
  std::vector<uint64_t> cond_bits_;
  uint64_t logic_bits_allowed_ = 0;  // the logic ids of the word they share that the catalogue holds
  // What the logic conditions read besides cond_val: per condition id its
  // place among the counted and the position-marked conditions (tracked_),
  // the hits of the counted ones, and per procedure position 11..41 which
  // position-marked conditions its code set.
  std::vector<uint8_t> tracked_;
  std::array<int32_t, 8> counted_hits_{};
  std::array<uint16_t, kPositionCount> proc_marks_{};
};

}  // namespace grouper
