// Record preparation: the record values, the reset of the per-record state,
// the code ids of the 46 code positions and the condition vector.
//
// Runs once per record and allocates nothing.  The rule sets were
// normalised once after loading, which is what normalising them per record
// would give.
#include <array>
#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "engine/engine.h"
#include "engine/prepared/guarded_lookup.h"
#include "engine/record_values.h"

namespace grouper {

using episode_grouper::Finding;
using episode_grouper::FindingCode;
using episode_grouper::RecordField;

namespace {

const char* slot(const char* line, int position) { return line + code_offset(position); }

// plain: memcmp(text, "     ", 5) == 0, as one word and a byte; not
// measured on its own.
bool is_blank5(const char* text) {
  uint32_t head;
  std::memcpy(&head, text, 4);
  return head == 0x20202020u && text[4] == ' ';
}

bool same5(const char* text, const char* literal) { return std::memcmp(text, literal, 5) == 0; }

// The first of the procedure positions 11..20 whose slot holds one of the
// codes, 0 when none does.
int first_procedure_holding(const char* line, const char* code_a, const char* code_b) {
  for (int p = kFirstProc; p < kFirstProc + 10; ++p) {
    if (same5(slot(line, p), code_a) || (code_b != nullptr && same5(slot(line, p), code_b))) return p;
  }
  return 0;
}

// Whether a field holds nothing but blanks.
bool all_blank(const char* text, size_t width) {
  for (size_t i = 0; i < width; ++i) {
    if (text[i] != ' ') return false;
  }
  return true;
}

// Which bytes of line[0, 256 + 64) are not blanks, bit b of word b / 64.
using NonBlank = std::array<uint64_t, 5>;

// Upper-cases line[0, len) in place, NUL bytes and all (only a..z change),
// and notes which bytes are not blanks.  Sixteen bytes at a time on the
// vector unit where there is one.
void upper_case(char* line, size_t len, NonBlank& nonblank) {
  nonblank.fill(0);
  size_t i = 0;
#if defined(__SSE2__)
  // Shifted by 31, "a".."z" become -128..-103: one signed comparison finds them.
  // plain: the byte loop below, a test and a branch a byte; not measured on
  // its own.
  const __m128i shift = _mm_set1_epi8(static_cast<char>(128 - 'a'));
  const __m128i last_lower = _mm_set1_epi8(static_cast<char>(-128 + 26));
  const __m128i to_upper = _mm_set1_epi8('a' - 'A');
  const __m128i blanks = _mm_set1_epi8(' ');
  // Upper-cases line[at, at + 16) and returns which of its bytes are not blanks.
  auto sixteen = [&](size_t at) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(line + at));
    const auto seen = static_cast<uint16_t>(~_mm_movemask_epi8(_mm_cmpeq_epi8(v, blanks)));
    const __m128i lower = _mm_cmplt_epi8(_mm_add_epi8(v, shift), last_lower);
    v = _mm_sub_epi8(v, _mm_and_si128(lower, to_upper));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(line + at), v);
    return uint64_t{seen};
  };
  // A whole word of the bitset at a time, then sixteen bytes at a time.
  // plain: the sixteen-byte loop alone, merging each piece into its word;
  // saved 84 instructions per realistic record (5,049 to 4,965).
  for (; i + 64 <= len && i + 64 <= nonblank.size() * 64; i += 64) {
    nonblank[i / 64] = sixteen(i) | sixteen(i + 16) << 16 | sixteen(i + 32) << 32 | sixteen(i + 48) << 48;
  }
  for (; i + 16 <= len && i + 16 <= nonblank.size() * 64; i += 16) nonblank[i / 64] |= sixteen(i) << (i % 64);
#endif
  for (; i < len; ++i) {
    if (i < nonblank.size() * 64 && line[i] != ' ') nonblank[i / 64] |= uint64_t{1} << (i % 64);
    if (line[i] >= 'a' && line[i] <= 'z') line[i] = static_cast<char>(line[i] - 'a' + 'A');
  }
}

// The diagnosis slots that are not five blanks: bit p - 1 for position p.
// plain: is_blank5 on each of the ten slots, a branch each; saved 23
// instructions per realistic record, mispredicted branches 50.6 to 49.4.
uint32_t dx_slots_in_use(const NonBlank& nonblank) {
  constexpr size_t kStart = code_offset(kFirstDx);
  static_assert(kStart < 64 && code_offset(kLastDx + 1) <= 64 + kStart, "the slots lie in two words");
  const uint64_t bytes = nonblank[0] >> kStart | nonblank[1] << (64 - kStart);  // byte kStart + i at bit i
  uint32_t in_use = 0;
  for (int k = 0; k < kLastDx; ++k) {
    in_use |= uint32_t{((bytes >> (kCodeWidth * k)) & ((1u << kCodeWidth) - 1)) != 0} << k;
  }
  return in_use;
}

// The last code position whose slot is not five blanks, 0 when every slot
// is blank: from the last byte in the code slots that is not a blank.
// plain: testing the slots from the last down for five blanks; not
// measured on its own.
int last_code_position(const NonBlank& nonblank) {
  const size_t start = code_offset(kFirstDx);
  const size_t end = code_offset(kLastProc + 1);
  for (size_t w = (end - 1) / 64 + 1; w-- > start / 64;) {
    uint64_t bits = nonblank[w];
    if (w == (end - 1) / 64) bits &= ~uint64_t{0} >> (63 - (end - 1) % 64);  // bytes below end
    if (w == start / 64) bits &= ~uint64_t{0} << (start % 64);              // bytes from start
    if (bits != 0) {
      const size_t last = w * 64 + 63 - static_cast<size_t>(std::countl_zero(bits));
      return static_cast<int>((last - start) / kCodeWidth + 1);
    }
  }
  return 0;
}

}  // namespace

void Engine::note(FindingCode code, int position, RecordField field, const char* text, const char* to) {
  Finding f;
  f.code = code;
  f.position = static_cast<uint8_t>(position);
  f.field = field;
  if (text) std::memcpy(f.text.data(), text, f.text.size());
  if (to) std::memcpy(f.to.data(), to, f.to.size());
  result_.findings.add(f);
}

void Engine::note_fields(const char* line, size_t len, const AgeSteps& age, int32_t birth_wt, int32_t vent_hr) {
  const RecordValues& v = result_.values;
  // The fields the grouping needs are noted blank; any digit field that holds
  // other bytes, unreadable.
  auto digits = [this](RecordField field, const char* text, size_t width, int32_t value, bool needed) {
    if (value < 0) note(FindingCode::kFieldUnreadable, 0, field);
    else if (needed && value == 0 && all_blank(text, width)) note(FindingCode::kFieldBlank, 0, field);
  };
  digits(RecordField::kRecDate, line + kRecDateOffset, kRecDateWidth, v.rec_date, true);
  digits(RecordField::kBirthDate, line + kBirthDateOffset, kBirthDateWidth,
         age.birth_unreadable ? -1 : age.birth_zero ? 0 : 1, true);
  const char sex = line[kSexOffset];
  if (sex == ' ') note(FindingCode::kFieldBlank, 0, RecordField::kSex);
  else if (sex < '0' || sex > '9') note(FindingCode::kFieldUnreadable, 0, RecordField::kSex);
  digits(RecordField::kLos, line + kLosOffset, kLosWidth, v.los_dd, true);
  digits(RecordField::kDsch, line + kDschOffset, kDschWidth, v.dsch_cd, true);
  // Five digits may exceed the 16 bits the values keep: their fields are
  // judged by what they read, not by the value kept.
  digits(RecordField::kBirthWt, line + kBirthWtOffset, kBirthWtWidth, birth_wt, false);
  digits(RecordField::kVentHr, line + kVentHrOffset, kVentHrWidth, vent_hr, false);
  if (!age.dates_ok) note(FindingCode::kDateInvalid);
  if (len < kRecordWidth) note(FindingCode::kShortRecord);
  if (len == kMaxLineBytes && line[len - 1] != '\n') note(FindingCode::kLineCut);
}

int Engine::prepare_record(char* line, size_t len) {
  RecordValues& v = result_.values;
  AgeSteps age;
  static_assert(kRecDateWidth == 8);
  v.rec_date = digit_word::parse_eight(line + kRecDateOffset);
  v.age_yy = calc_age(line + kBirthDateOffset, line + kRecDateOffset, line + kSexOffset, v.age_dd, &age);
  v.sex_cd = static_cast<int16_t>(static_cast<unsigned char>(line[kSexOffset]) - '0');
  v.dsch_cd = static_cast<int16_t>(parse_digits(line + kDschOffset, kDschWidth));
  v.los_dd = static_cast<int16_t>(parse_digits(line + kLosOffset, kLosWidth));
  const int32_t birth_wt = parse_digits(line + kBirthWtOffset, kBirthWtWidth);
  const int32_t vent_hr = parse_digits(line + kVentHrOffset, kVentHrWidth);
  v.birth_wt = static_cast<int16_t>(birth_wt);
  v.vent_hr = static_cast<int16_t>(vent_hr);

  reset_record();
  note_fields(line, len, age, birth_wt, vent_hr);
  if (trace_) trace_->record({line, len}, v, age);

  NonBlank nonblank;
  upper_case(line, len, nonblank);
  load_dx_codes(line, dx_slots_in_use(nonblank));

  // Procedures are looked up as written; repeats are kept.
  const int last = last_code_position(nonblank);
  for (int p = kFirstProc; p <= last; ++p) {
    const char* code = slot(line, p);
    if (is_blank5(code)) continue;
    result_.code_ids[p] = set_.find_sg_id(code);
    // The stages below read its rows.  plain: no request, or one loop of
    // them after the lookups; asked for here, mispredicted branches per
    // realistic record 63.1 to 61.8 (heavy 77.1 to 75.5).
    __builtin_prefetch(&rows_.sg(result_.code_ids[p]));
    if (trace_) trace_->lookup(p, code, result_.code_ids[p], 0);
    if (result_.code_ids[p] != 0) proc_positions_[proc_count_++] = static_cast<int8_t>(p);
    else note(FindingCode::kProcUnknown, p, RecordField::kNone, code);
  }

  // A repeated diagnosis keeps its first position; later ones become empty
  // without closing the gap.  The ids seen so far are kept as bits of their
  // low six bits: only an id whose bit is set may be a repeat and is looked
  // for (the other positions take no branch of their own, as which are
  // filled varies from record to record).
  // plain: each id compared with the codes kept before it, each position
  // kept by a branch; saved mispredicted branches per realistic record
  // 61.8 to 60.1 (heavy 75.5 to 73.5).
  uint64_t seen = 0;
  for (int p = kFirstDx; p <= kLastDx; ++p) {
    const int16_t id = result_.code_ids[p];
    const uint64_t bit = id != 0 ? uint64_t{1} << (id & 63) : 0;
    if ((seen & bit) != 0) {
      int first = 0;
      for (int k = 0; k < dx_count_ && first == 0; ++k) {
        if (result_.code_ids[dx_positions_[k]] == id) first = dx_positions_[k];
      }
      if (first != 0) {
        note(FindingCode::kDxRepeated, p, RecordField::kNone, slot(line, p));
        if (trace_) trace_->repeat_removed(p, first, id);
        result_.code_ids[p] = 0;
        continue;
      }
    }
    seen |= bit;
    dx_positions_[static_cast<size_t>(dx_count_)] = static_cast<int8_t>(p);  // kept when the id is not 0
    dx_count_ += id != 0;
  }

  // Dagger/asterisk: the principal diagnosis changes place with the second
  // when the first valid pair row of the principal names the second.  The
  // rows of code id 0 are consulted too, when position 1 is empty.
  const int16_t d1 = result_.code_ids[1];
  const int16_t d2 = result_.code_ids[2];
  if (d2 != 0) {
    const RowRange pairs = rows_.dx(d1).dag;
    for (size_t k = pairs.fr; k < pairs.to; ++k) {
      const DagRow& row = rows_.dag_rows()[k];
      if (!in_window(v.rec_date, row.fr_dt, row.to_dt) || row.ast != d2) continue;
      result_.code_ids[1] = d2;
      result_.code_ids[2] = d1;
      result_.dx_swapped = 1;
      // An empty principal leaves position 2 empty.
      if (d1 == 0) dx_positions_[0] = 1;
      note(FindingCode::kDxSwapped);
      if (trace_) trace_->exchange(d1, d2, k);
      break;
    }
  }

  set_table_conds();
  set_logic_conds();
  return check_logic_setting();
}

void Engine::load_dx_codes(const char* line, uint32_t in_use) {
  // Appendicitis: an unspecified principal "K35" becomes "K350 " with
  // "Q2850" or "Q2862" among the first ten procedures, else "K359 " with
  // "Q2861" there.  The rewrite works on a copy: the line keeps the code.
  char principal[5];
  std::memcpy(principal, slot(line, 1), 5);
  if (same5(principal, "K35  ")) {
    int by = first_procedure_holding(line, "Q2850", "Q2862");
    const char* to = "K350 ";
    if (by == 0) {
      by = first_procedure_holding(line, "Q2861", nullptr);
      to = "K359 ";
    }
    if (by != 0) {
      note(FindingCode::kDxRewritten, 1, RecordField::kNone, principal, to);
      if (trace_) trace_->rewrite(principal, to, by);
      std::memcpy(principal, to, 5);
    }
  }

  // A flag "y" at the found id marks an accepted end point of completing a
  // short code; a failed lookup reads the flag of id 0.
  auto flag_of = [this](int16_t id) { return dx_flag_of(t_, id); };
  auto completes = [&](int16_t id) { return flag_of(id) == 'y'; };
  auto find = [&](int p, const char* text) {
    const int16_t id = set_.find_dx_id(text);
    if (trace_) trace_->lookup(p, text, id, flag_of(id));
    return id;
  };

  // The slots in use only: which are varies from record to record.
  // plain: a loop over the ten slots; measured with dx_slots_in_use above.
  for (; in_use != 0; in_use &= in_use - 1) {
    const int p = kFirstDx + std::countr_zero(in_use);
    const char* code = p == 1 ? principal : slot(line, p);
    // A short code is completed on a copy of its text.
    char text[5];
    std::memcpy(text, code, 5);
    int16_t id;
    if (text[4] != ' ') {
      id = find(p, text);
    } else if (text[3] == ' ') {
      // Three characters: as given, then with "00", then with "0".
      id = find(p, text);
      if (!completes(id)) {
        text[3] = '0';
        text[4] = '0';
        id = find(p, text);
        if (!completes(id)) {
          text[4] = ' ';
          id = find(p, text);
        }
      }
    } else if (trace_ || !set_.find_standing_dx(text, id)) {
      // Four characters: with "0", then as given.  Most stand as given,
      // known when the tables were opened: one lookup (not under a trace,
      // which shows every lookup).  plain: the "0" probe and then the
      // code as given; saves the probe, 2.3 of 5.8 diagnosis lookups per
      // realistic record.
      text[4] = '0';
      id = find(p, text);
      if (!completes(id)) {
        text[4] = ' ';
        id = find(p, text);
      }
    }
    result_.code_ids[p] = id;
    // The stages below read its rows; measured with the procedures' request.
    __builtin_prefetch(&rows_.dx(id));
    if (id == 0) note(FindingCode::kDxUnknown, p, RecordField::kNone, code);
    else if (!same5(text, code)) note(FindingCode::kDxCompleted, p, RecordField::kNone, code, text);
  }
}

}  // namespace grouper
