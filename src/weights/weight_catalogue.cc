// Loading a weight catalogue: every check with its file and line, then the
// rows ordered and indexed by packed DRG text for weigh() (weight_lookup.cc).
//
// Workload: runs once per run, on a file of a few thousand rows.
#include <algorithm>
#include <array>
#include <charconv>
#include <fstream>
#include <sstream>

#include "episode_grouper/weights.h"
#include "weights/weight_key.h"

namespace episode_grouper {
namespace {

constexpr int kMaxDecimals = 4;
// Weights up to 999,999.9999: the effective weight of the longest stay
// (surcharge x 32767 days) stays below 2^49, so sums of thousands of such
// extremes, and of billions of real episodes, stay exact in int64.
constexpr int kMaxWholeDigits = 6;
constexpr int kMaxTrimDigits = 5;

enum Column { kDrg, kValidFrom, kValidTo, kWeight, kLowTrim, kDeduction, kHighTrim, kSurcharge, kColumns };
constexpr std::array<std::string_view, kColumns> kColumnNames = {
    "drg", "valid_from", "valid_to", "weight", "low_trim", "deduction", "high_trim", "surcharge"};

// Reads the lines of a text one at a time; a carriage return before the
// line feed is dropped.
class Lines {
 public:
  explicit Lines(std::string_view text) : text_(text) {}
  bool next(std::string_view& line) {
    if (pos_ >= text_.size()) return false;
    size_t end = text_.find('\n', pos_);
    if (end == std::string_view::npos) end = text_.size();
    line = text_.substr(pos_, end - pos_);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    pos_ = end + 1;
    ++number_;
    return true;
  }
  int number() const { return number_; }

 private:
  std::string_view text_;
  size_t pos_ = 0;
  int number_ = 0;
};

bool skipped(std::string_view line) { return line.empty() || line.front() == '#'; }

std::vector<std::string_view> split_tabs(std::string_view line) {
  std::vector<std::string_view> fields;
  size_t start = 0;
  while (true) {
    const size_t tab = line.find('\t', start);
    if (tab == std::string_view::npos) {
      fields.push_back(line.substr(start));
      return fields;
    }
    fields.push_back(line.substr(start, tab - start));
    start = tab + 1;
  }
}

// "COLUMN 'TEXT' PROBLEM".
std::string about(std::string_view column, std::string_view text, std::string_view problem) {
  std::string out(column);
  out.append(" '").append(text).append("' ").append(problem);
  return out;
}

bool all_digits(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The checks of one file: each failure becomes the error's message.
class Checker {
 public:
  Checker(std::string_view name, Status& error) : name_(name), error_(error) {}

  bool fail(int line, const std::string& what) {
    error_.kind = StatusKind::kWeights;
    error_.file = name_;
    error_.line = line;
    error_.message = line > 0 ? name_ + ":" + std::to_string(line) + ": " + what : name_ + ": " + what;
    return false;
  }

  // A decimal of at most 4 decimals, into units; `negative_ok` false makes a
  // sign an error of its own.
  bool decimal(int line, std::string_view column, std::string_view text, int64_t& units) {
    if (!text.empty() && text.front() == '-') return fail(line, about(column, text, "is negative"));
    const size_t point = text.find('.');
    const std::string_view whole = text.substr(0, point);
    const std::string_view fraction = point == std::string_view::npos ? std::string_view{} : text.substr(point + 1);
    if (!all_digits(whole) || (point != std::string_view::npos && !all_digits(fraction))) {
      return fail(line, about(column, text, "is not a decimal number"));
    }
    if (fraction.size() > static_cast<size_t>(kMaxDecimals)) {
      return fail(line, about(column, text, "has more than 4 decimals"));
    }
    if (whole.size() > static_cast<size_t>(kMaxWholeDigits)) {
      return fail(line, about(column, text, "is too large (at most 6 digits before the point)"));
    }
    int64_t value = 0;
    for (char c : whole) value = value * 10 + (c - '0');
    int64_t frac = 0;
    for (int i = 0; i < kMaxDecimals; ++i) {
      frac = frac * 10 + (static_cast<size_t>(i) < fraction.size() ? fraction[static_cast<size_t>(i)] - '0' : 0);
    }
    units = value * kWeightScale + frac;
    return true;
  }

  // Days, or -1 when empty.
  bool days(int line, std::string_view column, std::string_view text, int32_t& value) {
    value = -1;
    if (text.empty()) return true;
    if (text.front() == '-') return fail(line, about(column, text, "is negative"));
    if (!all_digits(text) || text.size() > static_cast<size_t>(kMaxTrimDigits)) {
      return fail(line, about(column, text, "is not a number of days"));
    }
    std::from_chars(text.data(), text.data() + text.size(), value);
    return true;
  }

  // A date YYYYMMDD, or `open` when empty.
  bool date(int line, std::string_view column, std::string_view text, int32_t open, int32_t& value) {
    value = open;
    if (text.empty()) return true;
    const std::string bad = about(column, text, "is not a date YYYYMMDD");
    if (text.size() != 8 || !all_digits(text)) return fail(line, bad);
    std::from_chars(text.data(), text.data() + text.size(), value);
    const int year = value / 10000, month = value / 100 % 100, day = value % 100;
    static constexpr int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12 || day < 1 || day > kDays[month - 1]) return fail(line, bad);
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    if (month == 2 && day == 29 && !leap) return fail(line, bad);
    return true;
  }

 private:
  std::string name_;
  Status& error_;
};

std::string shown_date(int32_t date, bool end) {
  if (end && date == kOpenEnd) return "open";
  if (!end && date == kOpenStart) return "open";
  return std::to_string(date);
}

}  // namespace

std::shared_ptr<const WeightCatalogue> WeightCatalogue::parse(std::string_view text, std::string_view name,
                                                              Status& error) {
  error = {};
  Checker check(name, error);
  Lines lines(text);
  std::string_view line;
  // The header: the first line that is neither empty nor a comment.
  bool have_header = false;
  while (lines.next(line)) {
    if (!skipped(line)) {
      have_header = true;
      break;
    }
  }
  if (!have_header) {
    check.fail(0, "no header line (drg, valid_from, valid_to, weight, low_trim, deduction, high_trim, surcharge)");
    return nullptr;
  }
  const int header_line = lines.number();
  const std::vector<std::string_view> header = split_tabs(line);
  std::array<size_t, kColumns> at{};
  for (size_t c = 0; c < kColumns; ++c) {
    const auto found = std::find(header.begin(), header.end(), kColumnNames[c]);
    if (found == header.end()) {
      check.fail(header_line, "missing column '" + std::string(kColumnNames[c]) + "'");
      return nullptr;
    }
    if (std::find(found + 1, header.end(), kColumnNames[c]) != header.end()) {
      check.fail(header_line, "column '" + std::string(kColumnNames[c]) + "' appears twice");
      return nullptr;
    }
    at[c] = static_cast<size_t>(found - header.begin());
  }

  std::shared_ptr<WeightCatalogue> catalogue(new WeightCatalogue());
  catalogue->name_ = std::string(name);
  std::vector<WeightRow>& rows = catalogue->rows_;
  while (lines.next(line)) {
    if (skipped(line)) continue;
    const int n = lines.number();
    const std::vector<std::string_view> fields = split_tabs(line);
    if (fields.size() != header.size()) {
      check.fail(n, std::to_string(fields.size()) + " fields where the header has " + std::to_string(header.size()));
      return nullptr;
    }
    WeightRow row;
    row.line = n;
    row.drg = std::string(fields[at[kDrg]]);
    if (row.drg.empty()) {
      check.fail(n, "empty drg");
      return nullptr;
    }
    if (row.drg.size() > grouper::kMaxDrgText) {
      check.fail(n, about("drg", row.drg, "is longer than 6 characters"));
      return nullptr;
    }
    const std::string_view weight = fields[at[kWeight]];
    if (weight.empty()) {
      check.fail(n, "empty weight");
      return nullptr;
    }
    const std::string_view deduction = fields[at[kDeduction]];
    const std::string_view surcharge = fields[at[kSurcharge]];
    if (!check.date(n, "valid_from", fields[at[kValidFrom]], kOpenStart, row.valid_from) ||
        !check.date(n, "valid_to", fields[at[kValidTo]], kOpenEnd, row.valid_to) ||
        !check.decimal(n, "weight", weight, row.weight) ||
        !check.days(n, "low_trim", fields[at[kLowTrim]], row.low_trim) ||
        (!deduction.empty() && !check.decimal(n, "deduction", deduction, row.deduction)) ||
        !check.days(n, "high_trim", fields[at[kHighTrim]], row.high_trim) ||
        (!surcharge.empty() && !check.decimal(n, "surcharge", surcharge, row.surcharge))) {
      return nullptr;
    }
    if (row.valid_from > row.valid_to) {
      check.fail(n, "valid_from " + std::to_string(row.valid_from) + " is after valid_to " +
                        std::to_string(row.valid_to));
      return nullptr;
    }
    if (row.low_trim >= 0 && row.high_trim >= 0 && row.low_trim > row.high_trim) {
      check.fail(n, "low_trim " + std::to_string(row.low_trim) + " is above high_trim " +
                        std::to_string(row.high_trim));
      return nullptr;
    }
    rows.push_back(std::move(row));
  }

  std::stable_sort(rows.begin(), rows.end(), [](const WeightRow& a, const WeightRow& b) {
    const uint64_t ka = grouper::pack_drg(a.drg), kb = grouper::pack_drg(b.drg);
    return ka != kb ? ka < kb : a.valid_from < b.valid_from;
  });
  for (size_t i = 0; i < rows.size(); ++i) {
    const uint64_t key = grouper::pack_drg(rows[i].drg);
    if (i > 0 && key == catalogue->keys_.back()) {
      const WeightRow& before = rows[i - 1];
      if (rows[i].valid_from <= before.valid_to) {
        const WeightRow& later = before.line > rows[i].line ? before : rows[i];
        const WeightRow& earlier = before.line > rows[i].line ? rows[i] : before;
        check.fail(later.line, "the window " + shown_date(later.valid_from, false) + ".." +
                                   shown_date(later.valid_to, true) + " of DRG '" + later.drg +
                                   "' overlaps the one on line " + std::to_string(earlier.line));
        return nullptr;
      }
      continue;
    }
    catalogue->keys_.push_back(key);
    catalogue->key_first_.push_back(static_cast<uint32_t>(i));
  }
  catalogue->key_first_.push_back(static_cast<uint32_t>(rows.size()));
  return catalogue;
}

std::shared_ptr<const WeightCatalogue> WeightCatalogue::load(const std::filesystem::path& path,
                                                             Status& error) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  if (in) text << in.rdbuf();
  if (!in || in.bad()) {
    error = {};
    error.kind = StatusKind::kWeights;
    error.file = path.string();
    error.message = path.string() + ": cannot read the weight catalogue";
    return nullptr;
  }
  return parse(text.str(), path.string(), error);
}

}  // namespace episode_grouper
