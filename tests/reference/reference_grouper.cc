// The reference grouping of one record: record values and age, code lookup
// and preparation, conditions, rule passes, age split and DRG, complexity,
// supplementary group, each written straight from its rule over the tables
// as loaded.  Plain code on purpose: no speed tricks, nothing prepared.
#include "reference/reference_grouper.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace reference {
namespace {

using episode_grouper::Finding;
using episode_grouper::FindingCode;
using episode_grouper::RecordField;
using episode_grouper::Result;
using grouper::RuleSet;
using grouper::TableStore;

constexpr size_t kMaxRecordBytes = 4095;
constexpr size_t kRecordWidth = 273;
constexpr int kLastDx = 10;
constexpr int kLastProc = 46;
constexpr int kLastMarkedProc = 41;  // procedures from 42 on leave no position mark
constexpr int kFirstLogic = 782;
constexpr int kLastLogic = 823;
constexpr int kMaleExcluded = 373;
constexpr int kFemaleExcluded = 388;
constexpr int32_t kSupplementaryFrom = 20050701;

size_t code_offset(int position) { return 33 + 5 * static_cast<size_t>(position - 1); }

// ---------------------------------------------------------------------------
// Field codecs and the age.

// Blanks are skipped, digits accumulate, any other byte gives -1.
int32_t parse_digits(const char* text, int width) {
  int32_t value = 0;
  for (int i = 0; i < width; ++i) {
    const char c = text[i];
    if (c == ' ') continue;
    if (c < '0' || c > '9') return -1;
    value = value * 10 + (c - '0');
  }
  return value;
}

bool all_blank(const char* text, int width) {
  for (int i = 0; i < width; ++i) {
    if (text[i] != ' ') return false;
  }
  return true;
}

bool is_leap(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

// Days of the months before month m; February counts 28.
int days_before(int m) {
  static const int kLength[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  int days = 0;
  for (int k = 1; k < m && k <= 12; ++k) days += kLength[k - 1];
  return days;
}

struct Age {
  int16_t years = 0;
  int32_t days = 0;
  bool dates_ok = true;
};

Age calc_age(const char* birth, const char* rec_date, char indicator) {
  int century = 1900;
  if (indicator == '3' || indicator == '4') century = 2000;
  if (indicator == '9' || indicator == '0') century = 1800;
  const bool by_year_digits = indicator >= '5' && indicator <= '8';
  if (by_year_digits) {
    // The birth year's two digits against the record year's last two, as text.
    const std::string birth_pair(birth, 2);
    const std::string rec_pair(rec_date + 2, 2);
    century = birth_pair > rec_pair ? 1900 : 2000;
  }
  const int yy = parse_digits(birth, 2);
  int birth_year = century + yy;
  if (by_year_digits && rec_date[0] == '1' && rec_date[1] == '9') birth_year = 1900 + yy;

  const int birth_month = parse_digits(birth + 2, 2);
  const int birth_day = parse_digits(birth + 4, 2);
  const int rec_year = parse_digits(rec_date, 4);
  const int rec_month = parse_digits(rec_date + 4, 2);
  const int rec_day = parse_digits(rec_date + 6, 2);

  Age age;
  age.dates_ok = birth_month >= 0 && birth_month <= 12 && rec_month >= 1 && rec_month <= 12 && birth_day >= 0 &&
                 birth_day <= 31 && rec_day >= 1 && rec_day <= 31;
  const int rec_in_year = days_before(rec_month) + rec_day + (rec_month > 2 && is_leap(rec_year) ? 1 : 0);
  const int birth_in_year = days_before(birth_month) + birth_day + (birth_month > 2 && is_leap(birth_year) ? 1 : 0);
  if (!age.dates_ok) {
    age.days = 0;
  } else if (birth_year == rec_year && birth_month == rec_month) {
    age.days = rec_day - birth_day;
  } else if (birth_year == rec_year) {
    age.days = rec_in_year - birth_in_year;
  } else {
    const int d = rec_year - birth_year;
    const int rest_of_birth_year =
        365 - birth_day - days_before(birth_month) + (birth_month <= 2 && is_leap(birth_year) ? 1 : 0);
    age.days = d * 365 + d / 4 + rec_in_year + rest_of_birth_year - 365;
  }
  int years = rec_year - birth_year;
  if (rec_month < birth_month || (rec_month == birth_month && rec_day < birth_day)) --years;
  age.years = static_cast<int16_t>(years);
  return age;
}

// ---------------------------------------------------------------------------
// Guarded reads of the tables.

bool in_window(int32_t date, int32_t from, int32_t to) { return from <= date && date <= to; }

// Rows first..end-1 of a table, cut to the rows 0..row_cnt-1 that exist.
struct Rows {
  long fr = 0;
  long to = 0;
};

Rows cut_rows(long fr, long to, long row_cnt) { return {std::max(fr, 0L), std::min(to, row_cnt)}; }

// The rows of `key` in a table of ranges keyed by it; a key the table does
// not hold has none.
template <class Int>
Rows key_rows(long key, const std::vector<Int>& fr, const std::vector<Int>& to, long row_cnt) {
  if (key < 0 || key >= static_cast<long>(fr.size())) return {};
  return cut_rows(fr[static_cast<size_t>(key)], to[static_cast<size_t>(key)], row_cnt);
}

template <class V>
bool holds_index(const V& v, long i) {
  return i >= 0 && i < static_cast<long>(v.size());
}

// Code texts compare byte by byte as unsigned values; a NUL held by both at
// the same place ends the comparison as equal.
int compare_code(const char* a, const char* b) {
  for (int i = 0; i < 5; ++i) {
    const auto x = static_cast<unsigned char>(a[i]);
    const auto y = static_cast<unsigned char>(b[i]);
    if (x != y) return x < y ? -1 : 1;
    if (x == 0) return 0;
  }
  return 0;
}

// The dictionary search: halving between lo and hi, never probing row 0.
int16_t find_in_dictionary(const char* code, const std::vector<grouper::Code5>& codes,
                           const std::vector<int16_t>& ids) {
  size_t lo = 0;
  size_t hi = codes.size();
  size_t half = hi / 2;
  while (half != 0) {
    const size_t mid = lo + half;
    const int order = compare_code(code, codes[mid].data());
    if (order == 0) return ids[mid];
    if (order < 0) hi = mid;
    else lo = mid;
    half = (hi - lo) / 2;
  }
  return 0;
}

// A code text up to its first NUL, NUL-padded.
template <size_t N, size_t M>
void copy_text(std::array<char, N>& to, const std::array<char, M>& from) {
  to.fill('\0');
  for (size_t i = 0; i < std::min(N, M) && from[i] != '\0'; ++i) to[i] = from[i];
}

// ---------------------------------------------------------------------------
// The grouping of one record.

class Record {
 public:
  Record(const TableStore& t, std::string_view record) : t_(t) {
    len_ = std::min(record.size(), kMaxRecordBytes);
    line_.assign(record.data(), len_);
    if (line_.size() < kRecordWidth) line_.append(kRecordWidth - line_.size(), ' ');
  }

  Result group() {
    read_values();
    const bool before_switch = line_.compare(21, 8, "20050101") < 0;
    rules_ = before_switch ? &t_.tadrg : &t_.tadrg1;
    for (size_t i = 0; i < len_; ++i) {
      if (line_[i] >= 'a' && line_[i] <= 'z') line_[i] = static_cast<char>(line_[i] - 'a' + 'A');
    }
    look_up_diagnoses();
    look_up_procedures();
    remove_repeated_diagnoses();
    exchange_dagger_asterisk();
    set_table_conditions();
    set_logic_conditions();

    find_mdc();
    if (r_.res_mdc != 0) find_adrg();
    if (r_.res_adrg != 0) {
      find_drg();
      calc_pccl();
    }
    find_supplementary_group();
    fill_code_texts();
    return r_;
  }

 private:
  const char* slot(int p) const { return line_.data() + code_offset(p); }

  void note(FindingCode code, int position = 0, RecordField field = RecordField::kNone, const char* text = nullptr,
            const char* to = nullptr) {
    Finding f;
    f.code = code;
    f.position = static_cast<uint8_t>(position);
    f.field = field;
    if (text) std::memcpy(f.text.data(), text, 5);
    if (to) std::memcpy(f.to.data(), to, 5);
    r_.findings.add(f);
  }

  // --- record values and their findings ---

  void read_values() {
    const char* line = line_.data();
    auto& v = r_.values;
    v.rec_date = parse_digits(line + 21, 8);
    const Age age = calc_age(line + 8, line + 21, line[14]);
    v.age_yy = age.years;
    v.age_dd = age.days;
    v.sex_cd = static_cast<int16_t>(static_cast<unsigned char>(line[14]) - '0');
    v.dsch_cd = static_cast<int16_t>(parse_digits(line + 32, 1));
    v.los_dd = static_cast<int16_t>(parse_digits(line + 29, 3));
    v.birth_wt = static_cast<int16_t>(parse_digits(line + 263, 5));
    v.vent_hr = static_cast<int16_t>(parse_digits(line + 268, 5));

    // A field that holds other bytes than digits and blanks is unreadable;
    // one the grouping needs is noted when it is blank.
    auto field = [&](RecordField name, size_t at, int width, bool needed) {
      bool unreadable = false;
      for (int i = 0; i < width; ++i) unreadable |= line[at + i] != ' ' && (line[at + i] < '0' || line[at + i] > '9');
      if (unreadable) note(FindingCode::kFieldUnreadable, 0, name);
      else if (needed && all_blank(line + at, width)) note(FindingCode::kFieldBlank, 0, name);
    };
    field(RecordField::kRecDate, 21, 8, true);
    field(RecordField::kBirthDate, 8, 6, true);
    field(RecordField::kSex, 14, 1, true);
    field(RecordField::kLos, 29, 3, true);
    field(RecordField::kDsch, 32, 1, true);
    field(RecordField::kBirthWt, 263, 5, false);
    field(RecordField::kVentHr, 268, 5, false);
    if (!age.dates_ok) note(FindingCode::kDateInvalid);
    if (len_ < kRecordWidth) note(FindingCode::kShortRecord);
    if (len_ == kMaxRecordBytes && line_[len_ - 1] != '\n') note(FindingCode::kLineCut);
  }

  // --- code lookup and preparation ---

  int16_t find_dx(const char* text) const { return find_in_dictionary(text, t_.dx_code, t_.dx_id); }
  bool completes(int16_t id) const { return holds_index(t_.dx_flag, id) && t_.dx_flag[static_cast<size_t>(id)] == 'y'; }

  bool among_first_ten_procedures(const char* code) const {
    for (int p = 11; p <= 20; ++p) {
      if (std::memcmp(slot(p), code, 5) == 0) return true;
    }
    return false;
  }

  void look_up_diagnoses() {
    char principal[5];
    std::memcpy(principal, slot(1), 5);
    // Appendicitis: "K35" becomes "K350" with Q2850 or Q2862 among the first
    // ten procedures, else "K359" with Q2861 there.
    if (std::memcmp(principal, "K35  ", 5) == 0) {
      const char* to = nullptr;
      if (among_first_ten_procedures("Q2850") || among_first_ten_procedures("Q2862")) to = "K350 ";
      else if (among_first_ten_procedures("Q2861")) to = "K359 ";
      if (to) {
        note(FindingCode::kDxRewritten, 1, RecordField::kNone, principal, to);
        std::memcpy(principal, to, 5);
      }
    }
    for (int p = 1; p <= kLastDx; ++p) {
      const char* code = p == 1 ? principal : slot(p);
      if (all_blank(code, 5)) continue;
      char text[5];
      std::memcpy(text, code, 5);
      int16_t id = 0;
      if (text[4] != ' ') {
        id = find_dx(text);
      } else if (text[3] == ' ') {
        // Three characters: as written, with "00", then with "0".
        id = find_dx(text);
        if (!completes(id)) {
          text[3] = '0';
          text[4] = '0';
          id = find_dx(text);
          if (!completes(id)) {
            text[4] = ' ';
            id = find_dx(text);
          }
        }
      } else {
        // Four characters: with "0", then as written.
        text[4] = '0';
        id = find_dx(text);
        if (!completes(id)) {
          text[4] = ' ';
          id = find_dx(text);
        }
      }
      r_.code_ids[p] = id;
      if (id == 0) note(FindingCode::kDxUnknown, p, RecordField::kNone, code);
      else if (std::memcmp(text, code, 5) != 0) note(FindingCode::kDxCompleted, p, RecordField::kNone, code, text);
    }
  }

  void look_up_procedures() {
    for (int p = kLastDx + 1; p <= kLastProc; ++p) {
      if (all_blank(slot(p), 5)) continue;
      r_.code_ids[p] = find_in_dictionary(slot(p), t_.sg_code, t_.sg_id);
      if (r_.code_ids[p] == 0) note(FindingCode::kProcUnknown, p, RecordField::kNone, slot(p));
    }
  }

  void remove_repeated_diagnoses() {
    for (int p = 2; p <= kLastDx; ++p) {
      if (r_.code_ids[p] == 0) continue;
      for (int q = 1; q < p; ++q) {
        if (r_.code_ids[q] == r_.code_ids[p]) {
          r_.code_ids[p] = 0;
          note(FindingCode::kDxRepeated, p, RecordField::kNone, slot(p));
          break;
        }
      }
    }
  }

  void exchange_dagger_asterisk() {
    const int16_t d1 = r_.code_ids[1];
    const int16_t d2 = r_.code_ids[2];
    if (d2 == 0) return;
    const Rows rows = key_rows(d1, t_.dag_ast_fr, t_.dag_ast_to, t_.dag_row_cnt);
    for (long k = rows.fr; k < rows.to; ++k) {
      if (!in_window(r_.values.rec_date, t_.dag_adpt_fr_dt[k], t_.dag_adpt_to_dt[k])) continue;
      if (t_.dag_ast[k] != d2) continue;
      r_.code_ids[1] = d2;
      r_.code_ids[2] = d1;
      r_.dx_swapped = 1;
      note(FindingCode::kDxSwapped);
      return;
    }
  }

  // --- conditions ---

  // A catalogue condition; ids outside 1..cond_cnt-1 are none.
  bool in_catalogue(long c) const { return c >= 1 && c < t_.cond_cnt; }
  bool admits(long c, int p) const { return t_.cond_pos_fr[c] <= p && p <= t_.cond_pos_to[c]; }

  // The Tcode rows of the code at position p.
  Rows cond_rows(int p) const {
    const int16_t id = r_.code_ids[p];
    if (p <= kLastDx) return key_rows(id, t_.dx_cond_fr, t_.dx_cond_to, t_.code_row_cnt);
    return key_rows(id, t_.sg_cond_fr, t_.sg_cond_to, t_.code_row_cnt);
  }

  void set_table_conditions() {
    const size_t n = t_.cond_cnt;
    cond_val_.assign(n + 1, 0);  // id n, one past the catalogue, never holds
    cond_val_[0] = 1;            // id 0 always holds
    cond_hits_.assign(n, 0);
    pos_cond_.assign(kLastProc + 1, std::vector<uint8_t>(n, 0));
    for (int p = 1; p <= kLastProc; ++p) {
      if (r_.code_ids[p] == 0) continue;
      const Rows rows = cond_rows(p);
      for (long j = rows.fr; j < rows.to; ++j) {
        if (!in_window(r_.values.rec_date, t_.code_adpt_fr_dt[j], t_.code_adpt_to_dt[j])) continue;
        const int c = t_.code_cond[j];
        // Id 0 holds already; an id outside the catalogue is set by no code.
        if (!in_catalogue(c) || !admits(c, p)) continue;
        cond_val_[c] = 1;
        if (cond_hits_[c] < 127) ++cond_hits_[c];
        if (p > kLastDx && p <= kLastMarkedProc) pos_cond_[p][c] = 1;
      }
    }
  }

  int val(int c) const { return cond_val_[c]; }
  int hits(int c) const { return cond_hits_[c]; }

  // One and the same procedure at 11..41 sets condition 357 and not `without`.
  bool procedure_sets_357_without(int without) const {
    for (int p = kLastDx + 1; p <= kLastMarkedProc; ++p) {
      if (r_.code_ids[p] != 0 && pos_cond_[p][357] == 1 && pos_cond_[p][without] == 0) return true;
    }
    return false;
  }

  void set_logic_conditions() {
    const auto& v = r_.values;
    const int bw = v.birth_wt;
    const bool holds[kLastLogic - kFirstLogic + 1] = {
        hits(602) + hits(603) >= 2,                                                               // 782
        hits(621) >= 2,                                                                           // 783
        hits(387) >= 2,                                                                           // 784
        hits(398) >= 2,                                                                           // 785
        hits(403) >= 2,                                                                           // 786
        hits(408) >= 2,                                                                           // 787
        val(389) + val(391) + val(392) + val(393) + val(394) + val(395) + val(396) + val(397) >= 2,  // 788
        val(399) + val(400) + val(401) + val(402) >= 2,                                           // 789
        val(404) + val(405) + val(406) + val(407) >= 2,                                           // 790
        val(409) + val(410) + val(411) + val(412) >= 2,                                           // 791
        bw >= 1000 && bw <= 1499,                                                                 // 792
        bw >= 1500 && bw <= 1999,                                                                 // 793
        bw >= 2000 && bw <= 2499,                                                                 // 794
        bw >= 750 && bw <= 999,                                                                   // 795
        bw < 1250,                                                                                // 796
        bw >= 1 && bw <= 749,                                                                     // 797
        bw >= 2500,                                                                               // 798
        v.age_dd > 27,                                                                            // 799
        v.age_yy > 0,                                                                             // 800
        val(428) + val(13) >= 1,                                                                  // 801
        v.los_dd < 3,                                                                             // 802
        v.los_dd < 5,                                                                             // 803
        v.los_dd == 1,                                                                            // 804
        procedure_sets_357_without(743),                                                          // 805
        procedure_sets_357_without(745),                                                          // 806
        procedure_sets_357_without(746),                                                          // 807
        procedure_sets_357_without(747),                                                          // 808
        procedure_sets_357_without(748),                                                          // 809
        val(753) + val(39) + val(15) >= 1,                                                        // 810
        val(755) + val(40) + val(17) >= 1,                                                        // 811
        val(757) + val(41) + val(19) >= 1,                                                        // 812
        procedure_sets_357_without(759),                                                          // 813
        procedure_sets_357_without(358),                                                          // 814
        procedure_sets_357_without(359),                                                          // 815
        v.dsch_cd == 2 || v.dsch_cd == 3,                                                         // 816
        v.dsch_cd == 2 || v.dsch_cd == 3 || v.dsch_cd == 4,                                       // 817
        v.dsch_cd == 4,                                                                           // 818
        v.sex_cd % 2 != 0,                                                                        // 819
        v.vent_hr > 24,                                                                           // 820
        v.vent_hr > 95,                                                                           // 821
        v.age_yy < 0,                                                                             // 822
        bw <= 0,                                                                                  // 823
    };
    for (int c = kFirstLogic; c <= kLastLogic; ++c) {
      if (holds[c - kFirstLogic]) cond_val_[c] = 1;
    }
  }

  // --- rule passes ---

  // Condition c holds; an id outside the catalogue never does.
  bool holds(int c) const { return c >= 0 && c < t_.cond_cnt && cond_val_[c] == 1; }

  bool rule_matches(long i) const {
    const RuleSet& s = *rules_;
    if (!in_window(r_.values.rec_date, s.rule_adpt_fr_dt[i], s.rule_adpt_to_dt[i])) return false;
    for (int slot = 0; slot < 10; ++slot) {
      if (!holds(s.rule_cond[i][slot])) return false;  // an empty slot names 0, which always holds
    }
    for (int slot = 10; slot < 20; ++slot) {
      const int c = s.rule_cond[i][slot];
      if (c != 0 && holds(c)) return false;  // an empty slot never blocks
    }
    return true;
  }

  // The first rule filed under MDC index `mdc` that matches, or -1.
  long first_match(long mdc) const {
    const RuleSet& s = *rules_;
    const Rows rows = key_rows(mdc, s.mdc_rule_fr, s.mdc_rule_to, static_cast<long>(s.rule_cond.size()));
    for (long i = rows.fr; i < rows.to; ++i) {
      if (rule_matches(i)) return i;
    }
    return -1;
  }

  void find_mdc() {
    const long i = first_match(1);
    if (i < 0) {
      note(FindingCode::kNoMdc);
      return;
    }
    r_.res_mdc = rules_->rule_mdc[i];
    r_.res_adrg = rules_->rule_adrg[i];
  }

  void find_adrg() {
    const long i = first_match(r_.res_mdc);
    if (i >= 0) r_.res_adrg = rules_->rule_adrg[i];
  }

  // --- age split and DRG ---

  void find_drg() {
    const Rows rows = key_rows(r_.res_adrg, t_.adrg_split_fr, t_.adrg_split_to, t_.split_row_cnt);
    for (long i = rows.fr; i < rows.to; ++i) {
      if (t_.split_age_fr[i] <= r_.values.age_yy && r_.values.age_yy <= t_.split_age_to[i] &&
          in_window(r_.values.rec_date, t_.split_adpt_fr_dt[i], t_.split_adpt_to_dt[i])) {
        r_.res_split = static_cast<char>(t_.split_code[i]);
        break;
      }
    }
    // An ADRG the list does not hold has no code, so no DRG.
    if (!holds_index(t_.adrg_code, r_.res_adrg)) return;
    const auto& adrg = t_.adrg_code[static_cast<size_t>(r_.res_adrg)];
    const char key[5] = {adrg[0], adrg[1], adrg[2], adrg[3], r_.res_split};
    // DRG indices are 16-bit: rows past 32767 cannot be one.
    const size_t rows_named = std::min<size_t>(t_.drg_code.size(), 32768);
    for (size_t d = 0; d < rows_named; ++d) {
      if (compare_code(key, t_.drg_code[d].data()) == 0) {
        r_.res_drg = static_cast<int16_t>(d);
        return;
      }
    }
    note(FindingCode::kDrgUnknown, 0, RecordField::kNone, key);
  }

  // --- complexity ---

  int16_t find_ccl(int16_t id) const {
    const Rows rows = key_rows(id, t_.dx_ccl_fr, t_.dx_ccl_to, t_.ccl_row_cnt);
    for (long r = rows.fr; r < rows.to; ++r) {
      if (!in_window(r_.values.rec_date, t_.ccl_adpt_fr_dt[r], t_.ccl_adpt_to_dt[r])) continue;
      // The first valid row decides; a column or ADRG outside the matrix gives 0.
      const long col = t_.ccl_col[r];
      const long adrg = r_.res_adrg;
      if (col < 0 || col >= t_.ccl_col_cnt || adrg < 0 || adrg >= t_.ccl_adrg_cnt) return 0;
      const auto byte = static_cast<int8_t>(t_.ccl_matrix[static_cast<size_t>(col * t_.ccl_adrg_cnt + adrg)]);
      return static_cast<int16_t>(byte - '0');
    }
    return 0;
  }

  // Whether `by` stands in the exclusion list of `of`.
  bool is_cc_excluded(int16_t by, int16_t of) const {
    const Rows rows = key_rows(of, t_.ccx_fr, t_.ccx_to, t_.ccx_row_cnt);
    if (rows.fr >= rows.to) return false;
    if (by < t_.ccx_dx[rows.fr] || by > t_.ccx_dx[rows.to - 1]) return false;
    for (long k = rows.fr; k < rows.to; ++k) {
      if (t_.ccx_dx[k] == by) return true;
    }
    return false;
  }

  // Whether the valid Tcode rows of the diagnosis at p name `cond` with the
  // position window 1..1.
  bool carries_sex_condition(int p, int cond) const {
    const Rows rows = cond_rows(p);
    for (long j = rows.fr; j < rows.to; ++j) {
      if (!in_window(r_.values.rec_date, t_.code_adpt_fr_dt[j], t_.code_adpt_to_dt[j])) continue;
      const int c = t_.code_cond[j];
      if (c == cond && in_catalogue(c) && t_.cond_pos_fr[c] == 1 && t_.cond_pos_to[c] == 1) return true;
    }
    return false;
  }

  std::array<char, 10> ccl_text() const {
    std::array<char, 10> text{};
    for (int c = 0; c < 10; ++c) text[c] = static_cast<char>(static_cast<uint8_t>('0' + r_.pos_ccl[c + 1]));
    if (r_.dx_swapped == 1) {
      text[0] = static_cast<char>(static_cast<uint8_t>('0' + r_.pos_ccl[2]));
      text[1] = '*';
    } else {
      text[0] = '*';
    }
    return text;
  }

  void calc_pccl() {
    auto& ccl = r_.pos_ccl;
    for (int p = 2; p <= kLastDx; ++p) {
      if (r_.code_ids[p] != 0) ccl[p] = find_ccl(r_.code_ids[p]);
    }
    r_.res_ccl_raw = ccl_text();

    const bool odd = r_.values.sex_cd % 2 != 0;
    for (int p = 2; p <= kLastDx; ++p) {
      if (r_.code_ids[p] != 0 && carries_sex_condition(p, odd ? kMaleExcluded : kFemaleExcluded)) ccl[p] = 0;
    }
    for (int p = 2; p <= kLastDx; ++p) {
      if (ccl[p] != 0 && is_cc_excluded(r_.code_ids[1], r_.code_ids[p])) ccl[p] = 0;
    }
    int16_t highest = 0;
    for (int p = 2; p <= kLastDx; ++p) highest = std::max(highest, ccl[p]);

    if (highest < 1) {
      r_.res_pccl = 0;
      r_.res_ccl_excl = ccl_text();
    } else {
      for (int j = 2; j <= kLastDx; ++j) {
        if (ccl[j] != highest) continue;
        for (int k = 2; k <= kLastDx; ++k) {
          if (k != j && ccl[k] != 0 && is_cc_excluded(r_.code_ids[j], r_.code_ids[k])) ccl[k] = 0;
        }
      }
      r_.res_ccl_excl = ccl_text();

      std::array<int16_t, 9> sorted;
      std::copy(ccl.begin() + 2, ccl.end(), sorted.begin());
      std::sort(sorted.begin(), sorted.end(), std::greater<int16_t>());
      double sum = 0.0;
      for (int i = 0; i < 9; ++i) sum += sorted[i] * std::exp(-0.4 * i);
      const double x = std::log(1.0 + sum) / (std::log(7.5) * 0.25) + 0.5;
      // A CCL from a matrix byte that is no digit may leave 1 + S at or
      // below zero: no PCCL then.
      r_.res_pccl = x > 0.0 ? static_cast<int16_t>(x >= 5.0 ? 4 : static_cast<int>(x)) : int16_t{0};
    }

    // The DRG text: the DRG's code and the character for the PCCL in the
    // split string of its first valid Tpccl row.
    auto& text = r_.res_drg_code;
    if (holds_index(t_.drg_code, r_.res_drg)) {
      for (int i = 0; i < 5 && t_.drg_code[r_.res_drg][i] != '\0'; ++i) text[i] = t_.drg_code[r_.res_drg][i];
    }
    bool valid_row = false;
    const Rows rows = key_rows(r_.res_drg, t_.drg_pccl_fr, t_.drg_pccl_to, t_.pccl_row_cnt);
    for (long r = rows.fr; r < rows.to && !valid_row; ++r) {
      if (!in_window(r_.values.rec_date, t_.pccl_adpt_fr_dt[r], t_.pccl_adpt_to_dt[r])) continue;
      valid_row = true;
      const long split = t_.pccl_split_row[r];
      if (holds_index(t_.pccl_split, split) && r_.res_pccl >= 0 && r_.res_pccl <= 4) {
        text[5] = t_.pccl_split[static_cast<size_t>(split)][static_cast<size_t>(r_.res_pccl)];
      }
    }
    if (text[5] == '\0') text[5] = '0';
    if (r_.res_drg != 0 && !valid_row) note(FindingCode::kPcclSplitMissing);
  }

  // --- supplementary group ---

  void find_supplementary_group() {
    int value = 0;
    const long adrg = r_.res_adrg;
    if (r_.values.rec_date >= kSupplementaryFrom && holds_index(t_.adrg_ast_fr, adrg)) {
      if (t_.adrg_ast_fr[adrg] == 0) {
        value = 9999;  // a first row of 0 marks an ADRG without rows
      } else {
        const Rows rows = cut_rows(t_.adrg_ast_fr[adrg], t_.adrg_ast_to[adrg], t_.ast_row_cnt);
        for (long r = rows.fr; r < rows.to; ++r) {
          if (in_window(r_.values.rec_date, t_.ast_adpt_fr_dt[r], t_.ast_adpt_to_dt[r])) {
            value = t_.ltcdrg_ast[r];
            break;
          }
        }
      }
    }
    // 1..19 name a code row (none without one), 9999 is the fixed group.
    if (value != 9999 && !(value >= 1 && value <= 19 && holds_index(t_.ltc_drg_code, value))) value = 0;
    r_.res_ltcdrg = value;
    if (value == 0) copy_text(r_.res_ltcdrg_code, std::array<char, 4>{'0', '0', '0', '0'});
    else if (value == 9999) copy_text(r_.res_ltcdrg_code, std::array<char, 4>{'A', 'W', '1', '7'});
    else copy_text(r_.res_ltcdrg_code, t_.ltc_drg_code[static_cast<size_t>(value)]);
  }

  // The code texts of the groups; index 0 and indices the lists do not hold have none.
  void fill_code_texts() {
    if (r_.res_mdc > 0 && holds_index(t_.mdc_code, r_.res_mdc)) copy_text(r_.mdc_code, t_.mdc_code[r_.res_mdc]);
    if (r_.res_adrg > 0 && holds_index(t_.adrg_code, r_.res_adrg)) copy_text(r_.adrg_code, t_.adrg_code[r_.res_adrg]);
    if (r_.res_drg > 0 && holds_index(t_.drg_code, r_.res_drg)) copy_text(r_.drg_list_code, t_.drg_code[r_.res_drg]);
  }

  const TableStore& t_;
  std::string line_;
  size_t len_ = 0;
  const RuleSet* rules_ = nullptr;
  Result r_;
  std::vector<uint8_t> cond_val_;
  std::vector<int> cond_hits_;
  std::vector<std::vector<uint8_t>> pos_cond_;
};

}  // namespace

Result group_record(const TableStore& tables, std::string_view record) { return Record(tables, record).group(); }

}  // namespace reference
