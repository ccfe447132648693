// The names of an episode's fields, its errors, and the text forms its
// fields are read from.
#include <array>
#include <cstdio>
#include <cstring>

#include "episode/calendar.h"
#include "episode_grouper/episode.h"

namespace episode_grouper {
namespace {

constexpr std::array<std::string_view, kEpisodeFields + 1> kNames = {
    "id", "birth_date", "age_years", "age_days", "sex", "record_date", "los", "discharge",
    "principal", "secondary", "procedures", "birth_weight", "vent_hours", "row"};

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

bool all_digits(std::string_view text) {
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return !text.empty();
}

int32_t digits_value(std::string_view text) {
  int32_t v = 0;
  for (char c : text) v = v * 10 + (c - '0');
  return v;
}

// YYYY-MM-DD or YYYYMMDD, optionally followed by a time ("T..." or " ...")
// as a timestamp's text has it.
bool read_date(std::string_view text, int32_t& out) {
  if (text.size() > 10 && (text[10] == 'T' || text[10] == ' ')) text = text.substr(0, 10);
  if (text.size() == 10 && text[4] == '-' && text[7] == '-' && all_digits(text.substr(0, 4)) &&
      all_digits(text.substr(5, 2)) && all_digits(text.substr(8, 2))) {
    out = digits_value(text.substr(0, 4)) * 10000 + digits_value(text.substr(5, 2)) * 100 +
          digits_value(text.substr(8, 2));
    return true;
  }
  if (text.size() == 8 && all_digits(text)) {
    out = digits_value(text);
    return true;
  }
  return false;
}

// An optional sign and at most nine digits.
bool read_whole(std::string_view text, int32_t& out) {
  bool negative = false;
  if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (!all_digits(text) || text.size() > 9) return false;
  out = negative ? -digits_value(text) : digits_value(text);
  return true;
}

bool equal_ignoring_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char c = a[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != b[i]) return false;
  }
  return true;
}

}  // namespace

std::string_view episode_field_name(EpisodeField field) {
  const auto i = static_cast<size_t>(field);
  return i < kNames.size() ? kNames[i] : std::string_view{};
}

std::optional<EpisodeField> episode_field_of(std::string_view name) {
  for (int i = 0; i < kEpisodeFields; ++i) {
    if (kNames[static_cast<size_t>(i)] == name) return static_cast<EpisodeField>(i);
  }
  return std::nullopt;
}

std::string FieldError::text() const {
  std::string t(episode_field_name(field));
  t += ": ";
  t += message;
  return t;
}

void FieldErrors::add(EpisodeField field, std::string_view value, std::string message) {
  list_.push_back({field, std::string(value), std::move(message)});
  fields_ |= 1u << static_cast<unsigned>(field);
}

void FieldErrors::clear() {
  list_.clear();
  fields_ = 0;
}

std::string FieldErrors::text() const {
  std::string t;
  for (const FieldError& e : list_) {
    if (!t.empty()) t += "; ";
    t += e.text();
  }
  return t;
}

Status FieldErrors::status() const {
  Status s;
  if (list_.empty()) return s;
  s.kind = StatusKind::kInvalidEpisode;
  s.message = text();
  return s;
}

void Episode::clear() {
  id.clear();
  birth_date.reset();
  age_years.reset();
  age_days.reset();
  sex = 0;
  record_date.reset();
  los.reset();
  discharge.reset();
  principal.clear();
  secondary.clear();
  procedures.clear();
  birth_weight.reset();
  vent_hours.reset();
}

std::string date_text(int32_t yyyymmdd) {
  if (yyyymmdd < 0 || yyyymmdd > 99991231) return std::to_string(yyyymmdd);
  char t[11];
  const grouper::CivilDate d = grouper::civil_of(yyyymmdd);
  std::snprintf(t, sizeof t, "%04d-%02d-%02d", d.year, d.month, d.day);
  return t;
}

void set_field_text(Episode& episode, EpisodeField field, std::string_view text, FieldErrors& errors) {
  using F = EpisodeField;
  text = trimmed(text);
  if (text.empty()) return;
  auto number = [&](std::optional<int32_t>& slot) {
    int32_t v = 0;
    if (read_whole(text, v)) slot = v;
    else errors.add(field, text, std::string(text) + " is not a whole number");
  };
  auto date = [&](std::optional<int32_t>& slot) {
    int32_t v = 0;
    if (read_date(text, v)) slot = v;
    else errors.add(field, text, std::string(text) + " is not a date (YYYY-MM-DD)");
  };
  auto codes = [&](std::vector<std::string>& list) {
    while (!text.empty()) {
      // Codes are short: a plain scan beats a library search per code.
      size_t bar = 0;
      while (bar < text.size() && text[bar] != '|') ++bar;
      if (bar == text.size()) bar = std::string_view::npos;
      const std::string_view code = trimmed(text.substr(0, bar));
      if (!code.empty()) list.emplace_back(code);
      text = bar == std::string_view::npos ? std::string_view{} : text.substr(bar + 1);
    }
  };
  switch (field) {
    case F::kId: episode.id.assign(text); break;
    case F::kBirthDate: date(episode.birth_date); break;
    case F::kRecordDate: date(episode.record_date); break;
    case F::kAgeYears: number(episode.age_years); break;
    case F::kAgeDays: number(episode.age_days); break;
    case F::kLos: number(episode.los); break;
    case F::kDischarge: number(episode.discharge); break;
    case F::kBirthWeight: number(episode.birth_weight); break;
    case F::kVentHours: number(episode.vent_hours); break;
    case F::kSex:
      if (equal_ignoring_case(text, "m") || equal_ignoring_case(text, "male")) episode.sex = 'M';
      else if (equal_ignoring_case(text, "f") || equal_ignoring_case(text, "female")) episode.sex = 'F';
      else errors.add(field, text, std::string(text) + " is not M or F");
      break;
    case F::kPrincipal: episode.principal.assign(text); break;
    case F::kSecondary: codes(episode.secondary); break;
    case F::kProcedures: codes(episode.procedures); break;
    case F::kRow: break;
  }
}

}  // namespace episode_grouper
