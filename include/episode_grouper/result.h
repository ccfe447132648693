// The full result of grouping one episode record.
//
// Everything the grouping produced for the record, from the values read out
// of its fields to the supplementary group.  Code texts are fixed-width and
// NUL-padded: a text ends at its first NUL or at its width.  Index 0 of a
// group means "no group".
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "episode_grouper/export.h"

namespace episode_grouper {

inline constexpr int kPositions = 47;  // code positions 0..46; 0 is never filled

// The values read from the record's fields.  A digit field that holds
// anything but digits and blanks reads as -1, an all-blank one as 0.
struct RecordValues {
  int32_t rec_date = 0;  // YYYYMMDD
  int16_t age_yy = 0;    // whole years, may be negative
  int32_t age_dd = 0;    // days, as the grouper counts them; 0 when a date fails the check
  int16_t sex_cd = 0;    // sex digit minus '0', unchecked; odd = male, even = female
  int16_t los_dd = 0;    // length of stay in days
  int16_t dsch_cd = 0;   // discharge status
  int16_t birth_wt = 0;  // grams
  int16_t vent_hr = 0;   // ventilation hours
};

// What the grouping had to make of a record's data, each with a short stable
// name (finding_name) for the result files.  Findings never change a result.
enum class FindingCode : uint8_t {
  kDxUnknown,         // "dx_unknown": a diagnosis not in its dictionary (position, text)
  kProcUnknown,       // "proc_unknown": a procedure not in its dictionary (position, text)
  kDxCompleted,       // "dx_completed": a short diagnosis completed (position, text, to)
  kDxRewritten,       // "dx_rewritten": the appendicitis rewrite of the principal (text, to)
  kDxRepeated,        // "dx_repeated": a repeated diagnosis removed (position, text)
  kDxSwapped,         // "dx_swapped": the dagger/asterisk exchange of positions 1 and 2
  kFieldBlank,        // "field_blank": a field the grouping needs is blank (field)
  kFieldUnreadable,   // "field_unreadable": a digit field holds other bytes (field)
  kDateInvalid,       // "date_invalid": the birth date or the record date fails the date check
  kShortRecord,       // "short_record": the record has fewer than 273 characters
  kLineCut,           // "line_cut": a record of 4095 bytes without a line feed: its line went on
  kNoMdc,             // "no_mdc": no first-pass rule matched
  kDrgUnknown,        // "drg_unknown": the DRG key is not in the DRG list (text: the key)
  kPcclSplitMissing,  // "pccl_split_missing": the DRG has no valid PCCL split row
  // Only with a weight catalogue (see weights.h):
  kWeightNoDrg,          // "weight_no_drg": no DRG, so no weight
  kWeightNoRow,          // "weight_no_row": no catalogue row of the DRG is valid on the record date
  kWeightLosUnreadable,  // "weight_los_unreadable": the length of stay is unreadable: the weight is untrimmed (field)
  // Only with episodes as named fields (see episode.h):
  kInputInvalid,  // "input_invalid": a field of the episode cannot be encoded: the row has no groups
  // Only with a registry of table versions (see table_registry.h):
  kNoTableVersion,  // "no_table_version": no version's window holds the record date (field, date): no groups
};
inline constexpr int kFindingCodes = 19;

// The fields a finding may name.
enum class RecordField : uint8_t { kNone, kRecDate, kBirthDate, kSex, kLos, kDsch, kBirthWt, kVentHr };

struct Finding {
  FindingCode code = FindingCode::kDxUnknown;
  uint8_t position = 0;  // code position 1..46, 0 when the finding names none
  RecordField field = RecordField::kNone;
  std::array<char, 5> text{};  // a code text: the slot's, or the text completed or rewritten from
  std::array<char, 5> to{};    // the text completed or rewritten to
  // no_table_version: the record date as read (0 blank, -1 unreadable),
  // kept as bytes so that a Finding stays bytes without padding.
  std::array<char, 4> date_bytes{};

  int32_t date() const {
    int32_t d;
    std::memcpy(&d, date_bytes.data(), sizeof d);
    return d;
  }
  void set_date(int32_t d) { std::memcpy(date_bytes.data(), &d, sizeof d); }
};

// A record's findings in the order the grouping met them; past kMaxFindings
// only their number is kept.
inline constexpr size_t kMaxFindings = 24;
struct Findings {
  uint8_t count = 0;
  uint8_t dropped = 0;
  std::array<Finding, kMaxFindings> items{};

  void add(const Finding& f) {
    if (count < kMaxFindings) items[count++] = f;
    else if (dropped < UINT8_MAX) ++dropped;
  }
  bool has(FindingCode code) const {
    for (size_t i = 0; i < count; ++i) {
      if (items[i].code == code) return true;
    }
    return false;
  }
};

// "dx_unknown", ..., and "rec_date", "birth_date", "sex", "los", "dsch",
// "birth_wt", "vent_hr" ("" for none).
EPISODE_GROUPER_API std::string_view finding_name(FindingCode code);
EPISODE_GROUPER_API std::string_view field_name(RecordField field);

struct Result {
  RecordValues values;

  // The code id of every position: 1 is the principal diagnosis, 2..10 the
  // secondary diagnoses, 11..46 the procedures; 0 = empty or not found.
  std::array<int16_t, kPositions> code_ids{};
  int16_t dx_swapped = 0;  // 1 when the dagger/asterisk exchange swapped positions 1 and 2

  int16_t res_mdc = 0;   // MDC index
  int16_t res_adrg = 0;  // ADRG index
  int16_t res_drg = 0;   // DRG index (0 also when the ADRG has no DRG row)
  char res_split = '0';  // age split character
  std::array<char, 3> mdc_code{};   // code of res_mdc
  std::array<char, 4> adrg_code{};  // code of res_adrg
  std::array<char, 5> drg_list_code{};  // code of res_drg in the DRG list

  std::array<int16_t, 11> pos_ccl{};    // CCL per diagnosis position 1..10 (1 is always 0)
  int16_t res_pccl = 0;                 // 0..4
  std::array<char, 6> res_drg_code{};   // the DRG text: DRG code and complexity split character
  std::array<char, 10> res_ccl_raw{};   // CCL digits of positions 1..10 before the exclusions
  std::array<char, 10> res_ccl_excl{};  // the same after the exclusions

  int32_t res_ltcdrg = 0;                // supplementary group: 0 none, 1..19 a row, 9999 the fixed group
  std::array<char, 4> res_ltcdrg_code{};  // "0000", "AW17" or the group's code

  Findings findings;

  bool has_adrg() const { return res_adrg != 0; }
};

// A fixed-width code text up to its first NUL.
template <size_t N>
std::string_view text_of(const std::array<char, N>& code) {
  size_t n = 0;
  while (n < N && code[n] != '\0') ++n;
  return {code.data(), n};
}

}  // namespace episode_grouper
