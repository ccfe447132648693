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
#include <string_view>

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
