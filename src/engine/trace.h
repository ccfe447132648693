// What the stages of the grouping report, step by step and in the order they
// run, to a listener that explains one record (see explain.h).
//
// The trace is the grouping itself: the stages call these methods where they
// take each decision, with what decided it.  An Engine calls them only when
// a listener is set (Engine::set_trace); without one every step costs the
// test of a pointer.  With a listener the rule passes go through the full
// scan, which gives the index's rule and can tell which rules failed on one
// slot only.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "engine/record_values.h"
#include "episode_grouper/result.h"

namespace grouper {

// Why a secondary diagnosis lost its CCL.
enum class Exclusion : uint8_t {
  kSex,        // a condition of its code rows excludes it for the patient's sex
  kPrincipal,  // it stands in the principal diagnosis's exclusion list
  kHighest,    // it stands in the list of a diagnosis of highest CCL
};

// How the supplementary group was reached.
enum class SupplementaryStep : uint8_t {
  kBeforeThreshold,  // the record is dated before the threshold: no group
  kFirstRowMarker,   // the ADRG's first row is 0: the fixed group
  kRow,              // the first row valid on the record date gave the value
  kNoRow,            // no row of the ADRG is valid on the record date: no group
};

class GroupingTrace {
 public:
  virtual ~GroupingTrace() = default;

  // The record's line (before upper-casing), the values read, how the age
  // was reached.
  virtual void record(std::string_view line, const episode_grouper::RecordValues& values, const AgeSteps& age) = 0;
  // The rule set chosen: Tadrg for a date text before the switch date.
  virtual void rule_set(bool before_switch_date) = 0;
  // Every dictionary lookup, in the order tried: the position, the text
  // looked up, the id found (0: not in the dictionary) and, for a diagnosis,
  // that id's completion flag byte.
  virtual void lookup(int position, const char* text, int16_t id, int flag) = 0;
  // The appendicitis rewrite of the principal diagnosis, with the procedure
  // position whose code called for it.
  virtual void rewrite(const char* from, const char* to, int procedure_position) = 0;
  virtual void repeat_removed(int position, int first_position, int16_t id) = 0;
  // The dagger/asterisk exchange and the pair row that caused it.
  virtual void exchange(int16_t principal, int16_t second, size_t pair_row) = 0;
  // A condition set by the Tcode row of the code at a position.
  virtual void table_condition(int position, int16_t code_id, size_t tcode_row, int16_t cond) = 0;
  // The logic conditions that hold: bit i for id first_id + i.
  virtual void logic_conditions(int first_id, uint64_t holding) = 0;
  // A rule of a pass (1: MDC, 2: ADRG) that failed on exactly one slot
  // (0..9 must hold, 10..19 must not hold) before the rule that matched.
  virtual void near_miss(int pass, int32_t rule, int slot) = 0;
  // A pass over the rules of MDC index `list`: rules tried, the rule that
  // matched (-1: none).
  virtual void rule_pass(int pass, int16_t list, int32_t tried, int32_t matched) = 0;
  // The age split row (-1: none valid) and the split character used.
  virtual void age_split(int16_t adrg, int32_t row, char split) = 0;
  // The DRG key and its row in the DRG list (-1: not there).
  virtual void drg(const char* key, int32_t row) = 0;
  // A secondary diagnosis's CCL: its Tccl row (-1: none valid), the column
  // of the matrix (-1: none) and the level.
  virtual void ccl(int position, int16_t code_id, int32_t row, int32_t column, int16_t level) = 0;
  // A CCL cancelled, and why; `by_position` names the diagnosis whose list
  // held it (1 for the principal, 0 for the sex).
  virtual void exclusion(int position, Exclusion cause, int by_position) = 0;
  // The PCCL formula: the CCLs in descending order, S, x and the PCCL.
  virtual void pccl(const std::array<int16_t, 9>& sorted, double sum, double x, int16_t pccl) = 0;
  // The PCCL split row of the DRG (-1: none valid) and the character it gave.
  virtual void pccl_split(int16_t drg, int32_t row, char split) = 0;
  // The supplementary group: how it was reached, the adrg_ltcdrg row (-1:
  // none) and the value.
  virtual void supplementary(SupplementaryStep step, int32_t row, int value) = 0;
};

}  // namespace grouper
