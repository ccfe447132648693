// The one builder of records from episodes, and its reverse.
#include <array>
#include <cstring>

#include "episode/calendar.h"
#include "episode_grouper/episode.h"
#include "record/record_layout.h"

namespace episode_grouper {
namespace {

using F = EpisodeField;
using grouper::CivilDate;

constexpr int32_t kFirstBirthDate = 18000101;
constexpr int32_t kLastBirthDate = 20991231;

std::string range_text(int32_t lo, int32_t hi) {
  return "from " + std::to_string(lo) + " to " + std::to_string(hi);
}

// Writes `value` right-aligned in `width` characters, zero-padded or not.
void put_number(char* at, size_t width, int32_t value, bool zero_padded) {
  for (size_t i = width; i-- > 0;) {
    at[i] = static_cast<char>('0' + value % 10);
    value /= 10;
    if (value == 0 && !zero_padded) break;
  }
}

// The byte a code character becomes in a record: letters upper-cased,
// digits as they are, 0 for anything else.
constexpr std::array<char, 256> kCodeChars = [] {
  std::array<char, 256> t{};
  for (int c = '0'; c <= '9'; ++c) t[static_cast<size_t>(c)] = static_cast<char>(c);
  for (int c = 'A'; c <= 'Z'; ++c) t[static_cast<size_t>(c)] = static_cast<char>(c);
  for (int c = 'a'; c <= 'z'; ++c) t[static_cast<size_t>(c)] = static_cast<char>(c - 'a' + 'A');
  return t;
}();

// A code as the record holds it: one dot removed, letters upper-cased, 1 to
// 5 letters and digits.  Empty when `given` is no code.
std::string_view normal_code(std::string_view given, char (&out)[5]) {
  size_t n = 0;
  bool dot = false;
  for (char c : given) {
    if (c == '.' && !dot) {
      dot = true;
      continue;
    }
    const char normal = kCodeChars[static_cast<unsigned char>(c)];
    if (normal == 0 || n == 5) return {};
    out[n++] = normal;
  }
  return {out, n};
}

// "'text'" and what follows, for the bytes of a record field.
std::string quoted(std::string_view text, std::string_view rest) {
  std::string s;
  s.reserve(text.size() + rest.size() + 2);
  s += '\'';
  s.append(text);
  s += '\'';
  s.append(rest);
  return s;
}

constexpr const char* kNotACode = " is not a code (1 to 5 letters and digits, one dot allowed)";

// The birth date an age in years or days gives, or 0 when it cannot (a
// record date that is no date).
int32_t birth_from_age(const Episode& e, F field) {
  if (!e.record_date || !grouper::is_calendar_date(*e.record_date)) return 0;
  const CivilDate rec = grouper::civil_of(*e.record_date);
  if (field == F::kAgeDays) {
    return grouper::yyyymmdd_of(grouper::civil_from_days(grouper::days_from_civil(rec) - *e.age_days));
  }
  CivilDate b{rec.year - *e.age_years, rec.month, rec.day};
  if (b.year < 1) return 0;
  if (b.month == 2 && b.day == 29 && !grouper::is_leap_year(b.year)) b.day = 28;
  return grouper::yyyymmdd_of(b);
}

// Checks every field; the birth date it settles on goes to `birth`, and
// each code that is one goes, normalised, into its slot of `record` (the
// record is kept only when no field has an error).
void check(const Episode& e, FieldErrors& errors, int32_t& birth, char* record) {
  auto required = [&](F field, bool given) {
    if (!given && !errors.has(field)) errors.add(field, "", "required");
    return given && !errors.has(field);
  };
  auto in_range = [&](F field, const std::optional<int32_t>& v, int32_t lo, int32_t hi) {
    if (v && !errors.has(field) && (*v < lo || *v > hi)) {
      errors.add(field, std::to_string(*v), std::to_string(*v) + " is not " + range_text(lo, hi));
    }
  };
  // Checking a code normalises it: it is written once checked, at code
  // position `position` (none when 0).
  auto code = [&](F field, std::string_view given, int position) {
    char buf[5];
    const std::string_view normal = normal_code(given, buf);
    if (normal.empty()) {
      errors.add(field, given, std::string(given) + kNotACode);
    } else if (position > 0) {
      char* slot = record + grouper::code_offset(position);
      for (size_t i = 0; i < normal.size(); ++i) slot[i] = normal[i];
    }
  };
  auto code_list = [&](F field, const std::vector<std::string>& list, size_t most, int first) {
    if (errors.has(field)) return;
    if (list.size() > most) {
      errors.add(field, std::to_string(list.size()),
                 std::to_string(list.size()) + " codes, at most " + std::to_string(most));
    }
    for (size_t i = 0; i < list.size(); ++i) code(field, list[i], i < most ? first + static_cast<int>(i) : 0);
  };

  if (!errors.has(F::kId)) {
    if (e.id.size() > kMaxIdBytes) {
      errors.add(F::kId, e.id, e.id + " is longer than 8 characters");
    } else {
      for (char c : e.id) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
          errors.add(F::kId, e.id, "holds a control character");
          break;
        }
      }
    }
  }

  bool record_ok = false;
  if (required(F::kRecordDate, e.record_date.has_value())) {
    record_ok = grouper::is_calendar_date(*e.record_date);
    if (!record_ok) {
      const std::string t = date_text(*e.record_date);
      errors.add(F::kRecordDate, t, t + " is not a calendar date");
    }
  }

  // Exactly one of the birth date and the two ages.
  const bool given[3] = {e.birth_date || errors.has(F::kBirthDate), e.age_years || errors.has(F::kAgeYears),
                         e.age_days || errors.has(F::kAgeDays)};
  const F which[3] = {F::kBirthDate, F::kAgeYears, F::kAgeDays};
  const int count = given[0] + given[1] + given[2];
  if (count == 0) {
    errors.add(F::kBirthDate, "", "required (or age_years or age_days)");
  } else if (count > 1) {
    bool first = true;
    for (int i = 0; i < 3; ++i) {
      if (!given[i]) continue;
      if (!first && !errors.has(which[i])) {
        errors.add(which[i], "", "give only one of birth_date, age_years and age_days");
      }
      first = false;
    }
  } else {
    const int i = given[1] ? 1 : given[2] ? 2 : 0;
    const F field = which[i];
    if (!errors.has(field)) {
      if (field == F::kBirthDate) {
        // The date's text only for an error: a valid one costs no formatting.
        const auto t = [&] { return date_text(*e.birth_date); };
        if (!grouper::is_calendar_date(*e.birth_date)) {
          errors.add(field, t(), t() + " is not a calendar date");
        } else if (*e.birth_date < kFirstBirthDate || *e.birth_date > kLastBirthDate) {
          errors.add(field, t(), t() + " is not from 1800-01-01 to 2099-12-31");
        } else if (record_ok && *e.birth_date > *e.record_date) {
          errors.add(field, t(), t() + " is after record_date " + date_text(*e.record_date));
        } else {
          birth = *e.birth_date;
        }
      } else {
        const int32_t age = field == F::kAgeYears ? *e.age_years : *e.age_days;
        const std::string n = std::to_string(age);
        if (age < 0) {
          errors.add(field, n, n + " is negative");
        } else if (record_ok) {
          const int32_t b = birth_from_age(e, field);
          if (b < kFirstBirthDate || b > kLastBirthDate) {
            errors.add(field, n, n + " puts the birth date " + (b == 0 ? std::string("before 1800-01-01") : "at " + date_text(b)) +
                                     ", not from 1800-01-01 to 2099-12-31");
          } else {
            birth = b;
          }
        }
      }
    }
  }

  if (required(F::kSex, e.sex != 0)) {
    const char s = e.sex;
    if (s != 'M' && s != 'm' && s != 'F' && s != 'f') errors.add(F::kSex, std::string(1, s), std::string(1, s) + " is not M or F");
  }
  if (required(F::kLos, e.los.has_value())) in_range(F::kLos, e.los, 0, 999);
  if (required(F::kDischarge, e.discharge.has_value())) in_range(F::kDischarge, e.discharge, 0, 9);
  if (required(F::kPrincipal, !e.principal.empty())) code(F::kPrincipal, e.principal, grouper::kFirstDx);
  code_list(F::kSecondary, e.secondary, kMaxSecondary, grouper::kFirstDx + 1);
  code_list(F::kProcedures, e.procedures, kMaxProcedures, grouper::kFirstProc);
  in_range(F::kBirthWeight, e.birth_weight, 0, 99999);
  in_range(F::kVentHours, e.vent_hours, 0, 99999);
}

}  // namespace

bool build_record(const Episode& e, char* record, FieldErrors& errors) {
  int32_t birth = 0;
  std::memset(record, ' ', kEpisodeRecordBytes);
  check(e, errors, birth, record);
  if (!errors.empty()) {
    std::memset(record, ' ', kEpisodeRecordBytes);  // only the id stays
    if (!errors.has(F::kId)) std::memcpy(record, e.id.data(), e.id.size());
    return false;
  }
  std::memcpy(record, e.id.data(), e.id.size());

  const CivilDate b = grouper::civil_of(birth);
  put_number(record + grouper::kBirthDateOffset, grouper::kBirthDateWidth, (b.year % 100) * 10000 + b.month * 100 + b.day,
             true);
  const bool male = e.sex == 'M' || e.sex == 'm';
  const char* digits = b.year < 1900 ? "90" : b.year < 2000 ? "12" : "34";
  record[grouper::kSexOffset] = digits[male ? 0 : 1];
  put_number(record + grouper::kRecDateOffset, grouper::kRecDateWidth, *e.record_date, true);
  put_number(record + grouper::kLosOffset, grouper::kLosWidth, *e.los, true);
  record[grouper::kDschOffset] = static_cast<char>('0' + *e.discharge);
  if (e.birth_weight) put_number(record + grouper::kBirthWtOffset, grouper::kBirthWtWidth, *e.birth_weight, false);
  if (e.vent_hours) put_number(record + grouper::kVentHrOffset, grouper::kVentHrWidth, *e.vent_hours, false);
  return true;
}

bool read_record(std::string_view record, Episode& e, FieldErrors& errors) {
  e.clear();
  const size_t lf = record.find('\n');
  if (lf != std::string_view::npos) record = record.substr(0, lf);
  char r[kEpisodeRecordBytes];
  std::memset(r, ' ', sizeof r);
  std::memcpy(r, record.data(), std::min(record.size(), sizeof r));
  // A carriage return before the line feed is no part of a field.
  if (lf != std::string_view::npos && record.size() <= sizeof r && !record.empty() && record.back() == '\r') {
    r[record.size() - 1] = ' ';
  }
  auto field = [&](size_t offset, size_t width) { return std::string_view(r + offset, width); };
  auto blank = [](std::string_view t) { return t.find_first_not_of(' ') == std::string_view::npos; };
  auto right_trimmed = [](std::string_view t) {
    while (!t.empty() && t.back() == ' ') t.remove_suffix(1);
    return t;
  };
  // A digit field: not given when blank; blanks skipped as the grouping skips them.
  auto number = [&](F f, size_t offset, size_t width, std::optional<int32_t>& slot) {
    const std::string_view t = field(offset, width);
    if (blank(t)) return;
    int32_t v = 0;
    for (char c : t) {
      if (c == ' ') continue;
      if (c < '0' || c > '9') {
        errors.add(f, t, quoted(t, " is not a number"));
        return;
      }
      v = v * 10 + (c - '0');
    }
    slot = v;
  };

  e.id.assign(right_trimmed(field(0, grouper::kBirthDateOffset)));
  const std::string_view rd = field(grouper::kRecDateOffset, grouper::kRecDateWidth);
  if (!blank(rd)) {
    int32_t v = 0;
    for (char c : rd) v = c >= '0' && c <= '9' && v >= 0 ? v * 10 + (c - '0') : -1;
    if (v < 0) errors.add(F::kRecordDate, rd, quoted(rd, " is not a date YYYYMMDD"));
    else e.record_date = v;
  }

  const std::string_view bd = field(grouper::kBirthDateOffset, grouper::kBirthDateWidth);
  const char digit = r[grouper::kSexOffset];
  if (digit >= '0' && digit <= '9') e.sex = (digit - '0') % 2 != 0 ? 'M' : 'F';
  else if (digit != ' ') errors.add(F::kSex, std::string(1, digit), quoted(std::string_view(&digit, 1), " is not a sex and century digit"));
  if (!blank(bd)) {
    bool digits_only = true;
    for (char c : bd) digits_only = digits_only && c >= '0' && c <= '9';
    if (!digits_only) {
      errors.add(F::kBirthDate, bd, quoted(bd, " is not a date YYMMDD"));
    } else if (digit < '0' || digit > '9') {
      errors.add(F::kBirthDate, bd, quoted(bd, " has no century: the sex digit cannot tell it"));
    } else {
      int32_t century = digit == '1' || digit == '2' ? 1900 : digit == '3' || digit == '4' ? 2000 : 1800;
      if (digit >= '5' && digit <= '8') {
        // Told as the grouping tells it: from the two-digit years, and the
        // 1900s whenever the record date is.
        century = bd.substr(0, 2) > rd.substr(2, 2) ? 1900 : 2000;
        if (rd.substr(0, 2) == "19") century = 1900;
      }
      int32_t yymmdd = 0;
      for (char c : bd) yymmdd = yymmdd * 10 + (c - '0');
      e.birth_date = century * 10000 + yymmdd;
    }
  }

  number(F::kLos, grouper::kLosOffset, grouper::kLosWidth, e.los);
  number(F::kDischarge, grouper::kDschOffset, grouper::kDschWidth, e.discharge);
  for (int p = grouper::kFirstDx; p <= grouper::kLastProc; ++p) {
    std::string_view code = field(grouper::code_offset(p), grouper::kCodeWidth);
    while (!code.empty() && code.front() == ' ') code.remove_prefix(1);
    code = right_trimmed(code);
    if (code.empty()) continue;
    // As the grouping reads it: upper-cased (a slot that is no code stays
    // as it is, for build_record to name).
    char buf[5];
    const std::string_view normal = normal_code(code, buf);
    if (!normal.empty()) code = normal;
    if (p == grouper::kFirstDx) e.principal.assign(code);
    else if (p <= grouper::kLastDx) e.secondary.emplace_back(code);
    else e.procedures.emplace_back(code);
  }
  number(F::kBirthWeight, grouper::kBirthWtOffset, grouper::kBirthWtWidth, e.birth_weight);
  number(F::kVentHours, grouper::kVentHrOffset, grouper::kVentHrWidth, e.vent_hours);

  char rebuilt[kEpisodeRecordBytes];
  return build_record(e, rebuilt, errors);
}

}  // namespace episode_grouper
