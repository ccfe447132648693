// Reading a registry of table versions and choosing a record's version.
//
// Workload: open() runs once per run (or per reload of the service) over a
// file of a few lines; version_of() runs once per record.
#include "episode_grouper/table_registry.h"

#include <algorithm>
#include <charconv>
#include <fstream>
#include <sstream>

#include "record/digit_fields.h"
#include "record/record_layout.h"

namespace episode_grouper {
namespace {

// The lines of the file, numbered from 1, without their line end.
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
    fields.push_back(line.substr(start, tab == std::string_view::npos ? std::string_view::npos : tab - start));
    if (tab == std::string_view::npos) return fields;
    start = tab + 1;
  }
}

bool valid_name(std::string_view name) {
  return !name.empty() && name.size() <= 64 && std::all_of(name.begin(), name.end(), [](char c) {
           return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                  c == '_' || c == '-';
         });
}

bool leap(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int days_in(int year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && leap(year) ? 29 : kDays[month - 1];
}

// A calendar date YYYYMMDD, or false.
bool parse_date(std::string_view text, int32_t& value) {
  if (text.size() != 8 || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return false;
  }
  std::from_chars(text.data(), text.data() + text.size(), value);
  const int year = value / 10000, month = value / 100 % 100, day = value % 100;
  return year >= 1 && month >= 1 && month <= 12 && day >= 1 && day <= days_in(year, month);
}

// The calendar day after and before `date` (both valid dates).
int32_t next_day(int32_t date) {
  int year = date / 10000, month = date / 100 % 100, day = date % 100;
  if (++day > days_in(year, month)) {
    day = 1;
    if (++month > 12) {
      month = 1;
      ++year;
    }
  }
  return year * 10000 + month * 100 + day;
}
int32_t previous_day(int32_t date) {
  int year = date / 10000, month = date / 100 % 100, day = date % 100;
  if (--day < 1) {
    if (--month < 1) {
      month = 12;
      --year;
    }
    day = days_in(year, month);
  }
  return year * 10000 + month * 100 + day;
}

std::string shown(int32_t date) {
  return date == TableRegistry::kOpenFrom || date == TableRegistry::kOpenTo ? "open" : std::to_string(date);
}

// Each failure becomes the error's message, "FILE:LINE: what".
class Checker {
 public:
  Checker(std::string name, Status& error) : name_(std::move(name)), error_(error) {}
  std::nullptr_t fail(int line, const std::string& what) {
    error_ = {};
    error_.kind = StatusKind::kRegistry;
    error_.file = name_;
    error_.line = line;
    error_.message = line > 0 ? name_ + ":" + std::to_string(line) + ": " + what : name_ + ": " + what;
    return nullptr;
  }

 private:
  std::string name_;
  Status& error_;
};

}  // namespace

int32_t TableRegistry::record_date(std::string_view record) {
  // Bytes past the record's end read as blanks, as the grouping reads them.
  char field[grouper::kRecDateWidth];
  for (size_t i = 0; i < grouper::kRecDateWidth; ++i) {
    const size_t at = grouper::kRecDateOffset + i;
    field[i] = at < record.size() && at < grouper::kMaxLineBytes ? record[at] : ' ';
  }
  return grouper::parse_digits(field, static_cast<int>(grouper::kRecDateWidth));
}

const TableVersion* TableRegistry::find(std::string_view name) const {
  for (const TableVersion& v : versions_) {
    if (v.name == name) return &v;
  }
  return nullptr;
}

std::shared_ptr<const TableRegistry> TableRegistry::open(const std::filesystem::path& file, Status& error,
                                                         const OpenOptions& options) {
  error = {};
  const std::string name = file.string();
  Checker check(name, error);
  std::ifstream in(file, std::ios::binary);
  std::ostringstream read;
  if (in) read << in.rdbuf();
  if (!in || in.bad()) return check.fail(0, "cannot read the registry of table versions");
  const std::string text = read.str();

  Lines lines(text);
  std::string_view line;
  bool have_header = false;
  while (lines.next(line)) {
    if (!skipped(line)) {
      have_header = true;
      break;
    }
  }
  static constexpr const char* kColumns[] = {"name", "directory", "valid_from", "valid_to"};
  if (!have_header) return check.fail(0, "no header line (name, directory, valid_from, valid_to)");
  const int header_line = lines.number();
  const std::vector<std::string_view> header = split_tabs(line);
  size_t column[4];
  for (size_t c = 0; c < 4; ++c) {
    const auto at = std::find(header.begin(), header.end(), kColumns[c]);
    if (at == header.end()) {
      return check.fail(header_line, std::string("the header has no column ") + kColumns[c] +
                                         " (it needs name, directory, valid_from and valid_to)");
    }
    column[c] = static_cast<size_t>(at - header.begin());
  }

  auto registry = std::shared_ptr<TableRegistry>(new TableRegistry());
  registry->file_ = file;
  const std::filesystem::path folder = file.parent_path();
  std::vector<TableVersion>& versions = registry->versions_;
  while (lines.next(line)) {
    if (skipped(line)) continue;
    const int at = lines.number();
    const std::vector<std::string_view> fields = split_tabs(line);
    if (fields.size() != header.size()) {
      return check.fail(at, std::to_string(fields.size()) + " fields where the header names " +
                                std::to_string(header.size()));
    }
    TableVersion v;
    v.line = at;
    v.name = std::string(fields[column[0]]);
    if (!valid_name(v.name)) {
      return check.fail(at, "name '" + v.name + "' is not 1 to 64 letters, digits, '.', '_' or '-'");
    }
    const std::string_view dir = fields[column[1]];
    if (dir.empty()) return check.fail(at, "version " + v.name + " has no directory");
    v.directory = std::filesystem::path(dir).is_absolute() ? std::filesystem::path(dir) : folder / dir;
    const std::string_view from = fields[column[2]], to = fields[column[3]];
    v.valid_from = kOpenFrom;
    v.valid_to = kOpenTo;
    if (!from.empty() && !parse_date(from, v.valid_from)) {
      return check.fail(at, "valid_from '" + std::string(from) + "' is not a date YYYYMMDD");
    }
    if (!to.empty() && !parse_date(to, v.valid_to)) {
      return check.fail(at, "valid_to '" + std::string(to) + "' is not a date YYYYMMDD");
    }
    if (v.valid_to < v.valid_from) {
      return check.fail(at, "version " + v.name + " ends (" + std::string(to) + ") before it starts (" +
                                std::string(from) + ")");
    }
    for (const TableVersion& earlier : versions) {
      if (earlier.name == v.name) {
        return check.fail(at, "name " + v.name + " is already the name of line " + std::to_string(earlier.line));
      }
      if (v.valid_from <= earlier.valid_to && earlier.valid_from <= v.valid_to) {
        return check.fail(at, "window " + shown(v.valid_from) + ".." + shown(v.valid_to) + " of " + v.name +
                                  " overlaps " + shown(earlier.valid_from) + ".." + shown(earlier.valid_to) +
                                  " of " + earlier.name + " on line " + std::to_string(earlier.line));
      }
    }
    versions.push_back(std::move(v));
  }
  if (versions.empty()) return check.fail(0, "holds no version");
  std::sort(versions.begin(), versions.end(),
            [](const TableVersion& a, const TableVersion& b) { return a.valid_from < b.valid_from; });

  // Every set is opened, each once, before anything is grouped.
  for (TableVersion& v : versions) {
    Status failed;
    v.tables = TableSet::open(v.directory, failed, options);
    if (!v.tables) {
      return check.fail(v.line, "version " + v.name + ": " + v.directory.string() +
                                    " does not hold a loadable table set: " + failed.message);
    }
  }
  for (size_t i = 0; i < versions.size(); ++i) {
    registry->from_.push_back(versions[i].valid_from);
    registry->to_.push_back(versions[i].valid_to);
    if (i == 0) continue;
    const TableVersion& a = versions[i - 1];
    const TableVersion& b = versions[i];
    if (a.valid_to != kOpenTo && next_day(a.valid_to) < b.valid_from) {
      registry->warnings_.push_back(name + ": no version holds " + std::to_string(next_day(a.valid_to)) + ".." +
                                    std::to_string(previous_day(b.valid_from)) + " (between " + a.name +
                                    " on line " + std::to_string(a.line) + " and " + b.name + " on line " +
                                    std::to_string(b.line) + ")");
    }
  }
  return registry;
}

}  // namespace episode_grouper
