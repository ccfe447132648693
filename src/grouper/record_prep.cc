// Record preparation: the record values, the reset of the per-record state,
// the code ids of the 46 code positions and the condition vector.
//
// Runs once per record and allocates nothing.  The rule sets were
// normalised once after loading, which is what normalising them per record
// would give.
#include <cstring>

#include "grouper/digit_codec.h"
#include "grouper/grouper.h"
#include "grouper/guarded_lookup.h"

namespace grouper {

namespace {

constexpr char kBlank5[] = "     ";

const char* slot(const char* line, int position) { return line + code_offset(position); }

bool is_blank5(const char* text) { return std::memcmp(text, kBlank5, 5) == 0; }

bool same5(const char* text, const char* literal) { return std::memcmp(text, literal, 5) == 0; }

// Whether any of the procedure slots 11..20 holds one of `codes`.
bool first_procedures_hold(const char* line, const char* code_a, const char* code_b) {
  for (int p = kFirstProc; p < kFirstProc + 10; ++p) {
    if (same5(slot(line, p), code_a) || (code_b != nullptr && same5(slot(line, p), code_b))) return true;
  }
  return false;
}

}  // namespace

int Grouper::prepare_record(char* line, size_t len) {
  RecordValues& v = values_;
  v.rec_date = parse_digits(line + kRecDateOffset, kRecDateWidth);
  v.age_yy = calc_age(line + kBirthDateOffset, line + kRecDateOffset, line + kSexOffset, v.age_dd);
  v.sex_cd = static_cast<int16_t>(static_cast<unsigned char>(line[kSexOffset]) - '0');
  v.dsch_cd = static_cast<int16_t>(parse_digits(line + kDschOffset, kDschWidth));
  v.los_dd = static_cast<int16_t>(parse_digits(line + kLosOffset, kLosWidth));
  v.birth_wt = static_cast<int16_t>(parse_digits(line + kBirthWtOffset, kBirthWtWidth));
  v.vent_hr = static_cast<int16_t>(parse_digits(line + kVentHrOffset, kVentHrWidth));

  reset_record();

  // Upper-case the line in place, NUL bytes and all: only a..z change.
  for (size_t i = 0; i < len; ++i) {
    if (line[i] >= 'a' && line[i] <= 'z') line[i] = static_cast<char>(line[i] - 'a' + 'A');
  }

  load_dx_codes(line);

  // Procedures are looked up as written; repeats are kept.
  for (int p = kFirstProc; p <= kLastProc; ++p) {
    if (!is_blank5(slot(line, p))) code_ids_[p] = find_code_id(slot(line, p), p);
  }

  // A repeated diagnosis keeps its first position; later ones become empty
  // without closing the gap.
  for (int i = kFirstDx; i < kLastDx; ++i) {
    if (code_ids_[i] == 0) continue;
    for (int j = i + 1; j <= kLastDx; ++j) {
      if (code_ids_[j] == code_ids_[i]) code_ids_[j] = 0;
    }
  }

  // Dagger/asterisk: the principal diagnosis changes place with the second
  // when the first valid pair row of the principal names the second.  The
  // rows of code id 0 are consulted too, when position 1 is empty.
  const int16_t d1 = code_ids_[1];
  const int16_t d2 = code_ids_[2];
  if (d2 != 0) {
    const size_t rows = rows_of(t_.dag_row_cnt, t_.dag_adpt_fr_dt, t_.dag_adpt_to_dt, t_.dag_ast);
    const RowSpan span =
        key_rows(d1, rows_of(t_.dag_key_cnt, t_.dag_ast_fr, t_.dag_ast_to), t_.dag_ast_fr, t_.dag_ast_to, rows);
    for (size_t k = span.fr; k < span.to; ++k) {
      if (!in_window(v.rec_date, t_.dag_adpt_fr_dt[k], t_.dag_adpt_to_dt[k])) continue;
      if (t_.dag_ast[k] != d2) continue;
      code_ids_[1] = d2;
      code_ids_[2] = d1;
      dx_swapped_ = 1;
      break;
    }
  }

  set_table_conds();
  set_logic_conds();
  return check_logic_setting();
}

void Grouper::load_dx_codes(const char* line) {
  for (int p = kFirstDx; p <= kLastDx; ++p) std::memcpy(dx_text_[p].data(), slot(line, p), 5);

  // Appendicitis: an unspecified principal "K35" becomes "K350 " with
  // "Q2850" or "Q2862" among the first ten procedures, else "K359 " with
  // "Q2861" there.
  char* principal = dx_text_[1].data();
  if (same5(principal, "K35  ") && first_procedures_hold(line, "Q2850", "Q2862")) {
    std::memcpy(principal, "K350 ", 5);
  }
  if (same5(principal, "K35  ") && first_procedures_hold(line, "Q2861", nullptr)) {
    std::memcpy(principal, "K359 ", 5);
  }

  // A flag "y" at the found id marks an accepted end point of completing a
  // short code; a failed lookup reads the flag of id 0.
  auto completes = [this](int16_t id) { return key_in(id, t_.dx_flag.size()) && t_.dx_flag[id] == 'y'; };

  for (int p = kFirstDx; p <= kLastDx; ++p) {
    char* text = dx_text_[p].data();
    if (is_blank5(text)) continue;
    if (text[4] != ' ') {
      code_ids_[p] = find_code_id(text, p);
    } else if (text[3] == ' ') {
      // Three characters: as given, then with "00", then with "0".
      int16_t id = find_code_id(text, p);
      if (!completes(id)) {
        text[3] = '0';
        text[4] = '0';
        id = find_code_id(text, p);
        if (!completes(id)) {
          text[4] = ' ';
          id = find_code_id(text, p);
        }
      }
      code_ids_[p] = id;
    } else {
      // Four characters: with "0", then as given.
      text[4] = '0';
      int16_t id = find_code_id(text, p);
      if (!completes(id)) {
        text[4] = ' ';
        id = find_code_id(text, p);
      }
      code_ids_[p] = id;
    }
  }
}

}  // namespace grouper
