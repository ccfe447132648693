#include "generate_episodes.h"

#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "episode_grouper/episode.h"
#include "record/digit_fields.h"
#include "record/record_layout.h"

namespace grouper::tools {
namespace {

constexpr size_t kRecordNumberOffset = 0;
constexpr size_t kUnusedOffset = 15;  // six characters the grouper does not read

// Days since 1970-01-01 of a civil date, and back (proleptic Gregorian).
int64_t days_from_civil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

struct Civil {
  int y;
  unsigned m, d;
};
Civil civil_from_days(int64_t z) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  return {static_cast<int>(era * 400 + yoe + (m <= 2)), m, d};
}

// Right-aligned, zero-padded decimal digits; keeps the last `width` digits
// (fields here are at most 8 wide, so the last nine digits decide).
void put_digits(char* dst, uint64_t value, size_t width) {
  format_digits(static_cast<int32_t>(value % 1'000'000'000), dst, static_cast<int>(width));
}

void put_code(char* line, int position, const Code5& code) {
  std::memcpy(line + code_offset(position), code.data(), code.size());
}

const int64_t kFirstDay = days_from_civil(2004, 1, 1);
const int64_t kLastDay = days_from_civil(2006, 12, 31);

}  // namespace

EpisodeMaker::EpisodeMaker(const EpisodeModel& model, uint64_t seed) : m_(model), rng_(seed) {
  uint32_t sum = 0;
  for (size_t mdc = 0; mdc < m_.mdc_weight.size(); ++mdc) {
    const bool usable = static_cast<int16_t>(mdc) != m_.newborn_mdc && !m_.principal_by_mdc[mdc].empty();
    sum += usable ? m_.mdc_weight[mdc] : 0;
    cumulative_.push_back(sum);
  }
}

int16_t EpisodeMaker::pick_mdc(bool newborn) {
  if (newborn || cumulative_.empty() || cumulative_.back() == 0) return m_.newborn_mdc;
  const uint32_t r = rng_.below(cumulative_.back());
  size_t mdc = 0;
  while (cumulative_[mdc] <= r) ++mdc;
  return static_cast<int16_t>(mdc);
}

void EpisodeMaker::make(uint64_t number, char* line) {
  std::memset(line, ' ', kEpisodeWidth);
  put_digits(line + kRecordNumberOffset, number, 8);
  put_digits(line + kUnusedOffset, rng_.below(1000000), 6);

  // Record date, age and birth date.
  const int64_t rec_day = kFirstDay + rng_.below(static_cast<uint32_t>(kLastDay - kFirstDay + 1));
  const Civil rec = civil_from_days(rec_day);
  const uint32_t age_kind = rng_.below(100);
  const bool newborn = age_kind < 6 && !m_.principal_by_mdc[m_.newborn_mdc].empty();
  int64_t birth_day;
  if (newborn) {
    birth_day = rec_day - rng_.below(28);
  } else {
    const int years = age_kind < 18 ? rng_.between(1, 17)
                      : age_kind < 66 ? rng_.between(18, 64)
                      : age_kind < 99 ? rng_.between(65, 99)
                                      : rng_.between(100, 110);
    birth_day = rec_day - years * 36525 / 100 - rng_.below(365);
  }
  const Civil birth = civil_from_days(birth_day);
  put_digits(line + kRecDateOffset, static_cast<uint64_t>(rec.y) * 10000 + rec.m * 100 + rec.d, 8);
  put_digits(line + kBirthDateOffset, static_cast<uint64_t>(birth.y % 100) * 10000 + birth.m * 100 + birth.d, 6);

  // Principal diagnosis: mostly a code the rules group.
  const int16_t mdc = pick_mdc(newborn);
  const auto& principals = m_.principal_by_mdc[mdc];
  const uint32_t kind = rng_.below(1000);
  int16_t principal = 0;
  if (kind < 950 && !principals.empty()) {
    principal = rng_.pick(principals);
  } else if (kind < 975 && !m_.ungroupable.empty()) {
    principal = rng_.pick(m_.ungroupable);
  }
  if (principal != 0) {
    const Code5& written = m_.dx_short[principal][0] != ' ' && rng_.percent(5) ? m_.dx_short[principal]
                                                                               : m_.dx_text[principal];
    put_code(line, 1, written);
  } else {
    Code5 unknown = {'U', '0', '0', '0', ' '};  // the dictionaries hold no "U" codes
    put_digits(unknown.data() + 1, rng_.below(1000), 3);
    put_code(line, 1, unknown);
  }

  // Sex and the century of the birth year share one digit: odd is male.
  const char sex_of_dx = principal ? m_.dx_sex[principal] : ' ';
  const bool male = sex_of_dx == 'M' ? !rng_.percent(3) : sex_of_dx == 'F' ? rng_.percent(3) : rng_.percent(49);
  const char century = birth.y < 1900 ? (male ? '9' : '0') : birth.y < 2000 ? (male ? '1' : '2') : (male ? '3' : '4');
  line[kSexOffset] = century;

  // Secondary diagnoses.
  const uint32_t s = rng_.below(100);
  const int secondaries = s < 30 ? 0 : s < 50 ? 1 : s < 65 ? 2 : s < 75 ? 3 : rng_.between(4, 9);
  for (int p = 2; p < 2 + secondaries; ++p) {
    int16_t id;
    if (principal != 0 && rng_.percent(2)) {
      id = principal;  // repeated diagnoses happen
    } else if (!m_.with_ccl.empty() && rng_.percent(40)) {
      id = rng_.pick(m_.with_ccl);
    } else {
      id = rng_.pick(m_.secondary);
    }
    put_code(line, p, m_.dx_text[id]);
  }

  // Procedures: operating-room ones of the principal's MDC for surgical
  // stays, others for diagnostics and treatment.
  int position = kFirstProc;
  auto add_proc = [&](int16_t id) {
    if (position < kFirstProc + 15) put_code(line, position++, m_.proc_text[id]);
  };
  const auto& or_procs = m_.or_procs_by_mdc[mdc];
  if (rng_.percent(35) && !or_procs.empty()) {
    const int n = rng_.percent(80) ? 1 : 2;
    for (int i = 0; i < n; ++i) {
      int16_t other = static_cast<int16_t>(rng_.below(static_cast<uint32_t>(m_.or_procs_by_mdc.size())));
      const auto& pool = rng_.percent(85) || m_.or_procs_by_mdc[other].empty() ? or_procs : m_.or_procs_by_mdc[other];
      add_proc(rng_.pick(pool));
    }
  }
  if (rng_.percent(1) && m_.or_procs_by_mdc.size() > 1 && !m_.or_procs_by_mdc[1].empty()) {
    add_proc(rng_.pick(m_.or_procs_by_mdc[1]));  // transplants and the like
  }
  const uint32_t extra = rng_.below(100);
  const int others = extra < 40 ? 0 : extra < 90 ? rng_.between(1, 4) : rng_.between(5, 15);
  for (int i = 0; i < others && !m_.other_procs.empty(); ++i) add_proc(rng_.pick(m_.other_procs));

  // Stay, discharge, weight and ventilation.
  const uint32_t l = rng_.below(100);
  const int los = newborn ? rng_.between(0, 10)
                  : l < 20 ? rng_.between(0, 1)
                  : l < 70 ? rng_.between(2, 7)
                  : l < 92 ? rng_.between(8, 20)
                           : rng_.between(21, 120);
  put_digits(line + kLosOffset, static_cast<uint64_t>(los), kLosWidth);
  const uint32_t d = rng_.below(100);
  line[kDschOffset] = d < 85 ? '1' : d < 89 ? '2' : d < 92 ? '3' : d < 97 ? '4' : '5';
  if (newborn) {
    const uint32_t w = rng_.below(100);
    const int grams = w < 3 ? rng_.between(400, 999) : w < 8 ? rng_.between(1000, 1499)
                      : w < 20 ? rng_.between(1500, 2499) : rng_.between(2500, 4800);
    put_digits(line + kBirthWtOffset, static_cast<uint64_t>(grams), kBirthWtWidth);
    if (grams < 1500 && rng_.percent(40)) put_digits(line + kVentHrOffset, rng_.between(1, 300), kVentHrWidth);
  } else if (rng_.percent(3)) {
    put_digits(line + kVentHrOffset, static_cast<uint64_t>(rng_.between(1, 600)), kVentHrWidth);
  }
}

bool write_episodes(const EpisodeModel& model, uint64_t seed, uint64_t count, std::FILE* out) {
  EpisodeMaker maker(model, seed);
  constexpr size_t kLine = kEpisodeWidth + 1;
  constexpr size_t kLinesPerBlock = 4096;
  std::vector<char> block(kLine * kLinesPerBlock);
  for (uint64_t done = 0; done < count;) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(kLinesPerBlock, count - done));
    for (size_t i = 0; i < n; ++i) {
      char* line = block.data() + i * kLine;
      maker.make(done + i + 1, line);
      line[kEpisodeWidth] = '\n';
    }
    if (std::fwrite(block.data(), 1, n * kLine, out) != n * kLine) return false;
    done += n;
  }
  return true;
}

namespace {

namespace eg = episode_grouper;

// A CSV field, quoted when it holds a comma, a quote or a line end.
void put_csv(std::string& out, std::string_view text) {
  if (text.find_first_of(",\"\r\n") == std::string_view::npos) {
    out += text;
    return;
  }
  out += '"';
  for (char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
}

// A JSON string of plain printable text as the generator writes it;
// other bytes as \u00XX (read as Latin-1).
void put_json(std::string& out, std::string_view text) {
  out += '"';
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20 || u >= 0x7f) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", u);
      out += esc;
    } else {
      out += c;
    }
  }
  out += '"';
}

void put_episode_csv(std::string& out, const eg::Episode& e) {
  auto list = [&out](const std::vector<std::string>& codes) {
    std::string joined;
    for (const std::string& c : codes) joined += (joined.empty() ? "" : "|") + c;
    put_csv(out, joined);
  };
  auto number = [&out](const std::optional<int32_t>& v) {
    if (v) out += std::to_string(*v);
  };
  put_csv(out, e.id);
  out += ',';
  if (e.birth_date) out += eg::date_text(*e.birth_date);
  out += ',';
  if (e.sex) out += e.sex;
  out += ',';
  if (e.record_date) out += eg::date_text(*e.record_date);
  out += ',';
  number(e.los);
  out += ',';
  number(e.discharge);
  out += ',';
  put_csv(out, e.principal);
  out += ',';
  list(e.secondary);
  out += ',';
  list(e.procedures);
  out += ',';
  number(e.birth_weight);
  out += ',';
  number(e.vent_hours);
  out += '\n';
}

void put_episode_json(std::string& out, const eg::Episode& e) {
  auto list = [&out](const std::vector<std::string>& codes) {
    out += '[';
    for (size_t i = 0; i < codes.size(); ++i) {
      if (i > 0) out += ',';
      put_json(out, codes[i]);
    }
    out += ']';
  };
  auto number = [&out](const char* name, const std::optional<int32_t>& v) {
    if (!v) return;
    out += ",\"";
    out += name;
    out += "\":";
    out += std::to_string(*v);
  };
  out += "{\"id\":";
  put_json(out, e.id);
  if (e.birth_date) out += ",\"birth_date\":\"" + eg::date_text(*e.birth_date) + "\"";
  if (e.sex) out += std::string(",\"sex\":\"") + e.sex + "\"";
  if (e.record_date) out += ",\"record_date\":\"" + eg::date_text(*e.record_date) + "\"";
  number("los", e.los);
  number("discharge", e.discharge);
  out += ",\"principal\":";
  put_json(out, e.principal);
  out += ",\"secondary\":";
  list(e.secondary);
  out += ",\"procedures\":";
  list(e.procedures);
  number("birth_weight", e.birth_weight);
  number("vent_hours", e.vent_hours);
  out += "}\n";
}

}  // namespace

bool write_episodes(const EpisodeModel& model, uint64_t seed, uint64_t count, std::FILE* out, EpisodeFormat format) {
  if (format == EpisodeFormat::kFixed) return write_episodes(model, seed, count, out);
  EpisodeMaker maker(model, seed);
  std::string text;
  if (format == EpisodeFormat::kCsv) {
    text = "id,birth_date,sex,record_date,los,discharge,principal,secondary,procedures,birth_weight,vent_hours\n";
  }
  char line[kEpisodeWidth];
  eg::Episode episode;
  eg::FieldErrors errors;
  for (uint64_t n = 1; n <= count; ++n) {
    maker.make(n, line);
    errors.clear();
    if (!eg::read_record(std::string_view(line, kEpisodeWidth), episode, errors)) return false;
    if (format == EpisodeFormat::kCsv) put_episode_csv(text, episode);
    else put_episode_json(text, episode);
    if (text.size() >= (size_t{1} << 20) || n == count) {
      if (std::fwrite(text.data(), 1, text.size(), out) != text.size()) return false;
      text.clear();
    }
  }
  if (!text.empty() && std::fwrite(text.data(), 1, text.size(), out) != text.size()) return false;
  return true;
}

}  // namespace grouper::tools
