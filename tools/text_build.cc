// build: the text form back into the sixteen table files.  Every value is
// checked before anything is written; the first fault is reported with its
// file, line and column.
#include <cstdio>
#include <memory>
#include <utility>
#include <cstring>
#include <fstream>
#include <sstream>

#include "commands.h"
#include "tables/table_writer.h"
#include "text_form.h"

namespace grouper::tools {
namespace {

constexpr size_t kMaxLines = 65535;  // a count is 16 bits

struct Field {
  std::string_view text;
  size_t column;  // 1-based
};

void split_fields(std::string_view line, std::vector<Field>& out) {
  out.clear();
  size_t start = 0;
  while (true) {
    size_t tab = line.find('\t', start);
    out.push_back({line.substr(start, tab == std::string_view::npos ? std::string_view::npos : tab - start),
                   start + 1});
    if (tab == std::string_view::npos) return;
    start = tab + 1;
  }
}

std::string quoted(std::string_view text) {
  constexpr size_t kShown = 40;
  std::string shown(text.substr(0, kShown));
  if (text.size() > kShown) shown += "...";
  return "'" + shown + "'";
}

void put_le(std::string& buffer, size_t offset, int64_t value, size_t width) {
  for (size_t i = 0; i < width; ++i) buffer[offset + i] = static_cast<char>((value >> (8 * i)) & 0xff);
}

class FileParser {
 public:
  FileParser(const TextFileSpec& layout, TextError& error) : layout_(layout), error_(error) {
    sections_.resize(layout.sections.size());
    for (size_t i = 0; i < sections_.size(); ++i) sections_[i].layout = &layout.sections[i];
  }

  bool parse(std::string_view text) {
    size_t line_no = 0;
    size_t pos = 0;
    while (pos < text.size()) {
      size_t end = text.find('\n', pos);
      if (end == std::string_view::npos) end = text.size();
      std::string_view line = text.substr(pos, end - pos);
      pos = end + 1;
      ++line_no;
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      if (line.empty() || line[0] == '#') continue;
      bool ok = line[0] == '@' ? section_line(line, line_no)
                : !current_ ? fail(line_no, 1, "a line outside any section (sections start with '@')")
                : !current_->header_done ? header_line(line, line_no)
                                         : data_line(line, line_no);
      if (!ok) return false;
    }
    for (const Section& s : sections_) {
      if (!s.seen) return fail(line_no + 1, 1, "missing section @" + std::string(s.layout->name));
      if (!s.header_done) return fail(line_no + 1, 1, "section @" + std::string(s.layout->name) + " has no header row");
    }
    return true;
  }

  // Moves what was read into the store.
  void store(TableStore& store) const {
    const FileSpec& file = *layout_.file;
    std::array<uint16_t, 4> counts{};
    for (const Section& s : sections_) {
      counts[s.layout->count_field] = static_cast<uint16_t>(s.lines);
      for (const ColumnSpec& c : s.layout->columns) {
        if (c.kind == Col::kLevels) counts[find_array(file, c.array)->record_field] = s.level_cnt;
      }
    }
    for (size_t i = 0; i < file.counts.size(); ++i) file.counts[i].ref(store) = counts[i];
    for (size_t i = 0; i < file.arrays.size(); ++i) {
      const ArraySpec& a = file.arrays[i];
      std::span<std::byte> bytes = a.resize(store, element_count(a, counts));
      size_t n = std::min(bytes.size(), buffers_[i].size());
      if (n > 0) std::memcpy(bytes.data(), buffers_[i].data(), n);
    }
  }

 private:
  struct Section {
    const SectionSpec* layout = nullptr;
    bool seen = false;
    bool header_done = false;
    size_t lines = 0;
    uint16_t level_cnt = 0;
    std::vector<int> column_of_field;  // header field -> layout column, -1 for a shown column
  };

  bool fail(size_t line, size_t column, std::string what) {
    error_ = {line, column, std::move(what)};
    return false;
  }

  size_t array_index(std::string_view name) const {
    return static_cast<size_t>(find_array(*layout_.file, name) - layout_.file->arrays.data());
  }

  bool section_line(std::string_view line, size_t line_no) {
    split_fields(line, fields_);
    std::string_view name = fields_[0].text.substr(1);
    Section* found = nullptr;
    for (Section& s : sections_) {
      if (s.layout->name == name) found = &s;
    }
    if (!found) {
      std::string known;
      for (const Section& s : sections_) known += (known.empty() ? "@" : ", @") + std::string(s.layout->name);
      return fail(line_no, 1, "unknown section " + quoted(fields_[0].text) + " (this file has " + known + ")");
    }
    if (found->seen) return fail(line_no, 1, "section @" + std::string(name) + " appears twice");
    found->seen = true;
    current_ = found;

    bool wants_levels = false;
    for (const ColumnSpec& c : found->layout->columns) wants_levels |= c.kind == Col::kLevels;
    bool has_levels = false;
    for (size_t i = 1; i < fields_.size(); ++i) {
      std::string_view f = fields_[i].text;
      std::string prefix = std::string(kMatrixRowParam) + "=";
      if (!wants_levels || f.substr(0, prefix.size()) != prefix) {
        return fail(line_no, fields_[i].column, "unknown setting " + quoted(f) + " on a section line");
      }
      auto v = parse_integer(f.substr(prefix.size()), 0, 65535);
      if (!v) {
        return fail(line_no, fields_[i].column + prefix.size(),
                    "bad number " + quoted(f.substr(prefix.size())) + ": expected a count from 0 to 65535");
      }
      found->level_cnt = static_cast<uint16_t>(*v);
      has_levels = true;
    }
    if (wants_levels && !has_levels) {
      return fail(line_no, line.size() + 1,
                  "missing " + std::string(kMatrixRowParam) + "=N on the @" + std::string(name) + " line");
    }
    return true;
  }

  bool header_line(std::string_view line, size_t line_no) {
    split_fields(line, fields_);
    const SectionSpec& section = *current_->layout;
    std::vector<bool> used(section.columns.size(), false);
    for (const Field& f : fields_) {
      if (f.text.size() >= 2 && f.text.front() == '(' && f.text.back() == ')') {
        current_->column_of_field.push_back(-1);
        continue;
      }
      int found = -1;
      for (size_t c = 0; c < section.columns.size(); ++c) {
        if (section.columns[c].header == f.text && section.columns[c].kind < Col::kShowCode) found = static_cast<int>(c);
      }
      if (found < 0) {
        std::string known;
        for (const ColumnSpec& c : section.columns) {
          if (c.kind < Col::kShowCode) known += (known.empty() ? "" : ", ") + std::string(c.header);
        }
        return fail(line_no, f.column, "unknown column " + quoted(f.text) + " (section @" +
                                           std::string(section.name) + " has " + known + ")");
      }
      if (used[found]) return fail(line_no, f.column, "column " + quoted(f.text) + " appears twice");
      used[found] = true;
      current_->column_of_field.push_back(found);
    }
    for (size_t c = 0; c < section.columns.size(); ++c) {
      if (section.columns[c].kind < Col::kShowCode && !used[c]) {
        return fail(line_no, line.size() + 1, "missing column " + quoted(section.columns[c].header));
      }
    }
    current_->header_done = true;
    return true;
  }

  bool data_line(std::string_view line, size_t line_no) {
    Section& sec = *current_;
    const SectionSpec& section = *sec.layout;
    const FileSpec& file = *layout_.file;
    split_fields(line, fields_);
    if (fields_.size() < sec.column_of_field.size()) {
      int c = sec.column_of_field[fields_.size()];
      std::string name = c < 0 ? "shown column" : quoted(section.columns[c].header);
      return fail(line_no, line.size() + 1, "missing column " + name + " (the header names " +
                                                std::to_string(sec.column_of_field.size()) + " columns)");
    }
    if (fields_.size() > sec.column_of_field.size()) {
      return fail(line_no, fields_[sec.column_of_field.size()].column,
                  "more fields than the header's " + std::to_string(sec.column_of_field.size()) + " columns");
    }
    if (sec.lines == kMaxLines) {
      return fail(line_no, 1, "more than 65535 lines in section @" + std::string(section.name));
    }
    const size_t row = sec.lines++;

    // Room for this element in every array of the section.
    for (const ColumnSpec& c : section.columns) {
      if (c.kind >= Col::kShowCode || c.array.empty()) continue;
      std::string& buffer = buffers_[array_index(c.array)];
      size_t width = c.kind == Col::kLevels ? sec.level_cnt : find_array(file, c.array)->width;
      buffer.resize((row + 1) * width, '\0');
    }

    for (size_t i = 0; i < fields_.size(); ++i) {
      int c = sec.column_of_field[i];
      if (c < 0) continue;
      if (!value(section.columns[c], fields_[i], row, sec, line_no)) return false;
    }
    return true;
  }

  bool value(const ColumnSpec& col, const Field& f, size_t row, const Section& sec, size_t line_no) {
    const ArraySpec* a = col.array.empty() ? nullptr : find_array(*layout_.file, col.array);
    std::string* buffer = a ? &buffers_[array_index(col.array)] : nullptr;
    switch (col.kind) {
      case Col::kIndex: {
        auto v = parse_integer(f.text, 0, 65535);
        if (!v) return fail(line_no, f.column, "bad line number " + quoted(f.text));
        if (static_cast<size_t>(*v) != row) {
          return fail(line_no, f.column, "line number " + std::to_string(*v) + " where " +
                                             std::to_string(row) + " was expected (lines count from 0 in order)");
        }
        return true;
      }
      case Col::kNumber: {
        int64_t lo = a->width == 2 ? INT16_MIN : INT32_MIN;
        int64_t hi = a->width == 2 ? INT16_MAX : INT32_MAX;
        auto v = parse_integer(f.text, lo, hi);
        if (!v) {
          return fail(line_no, f.column, "bad number " + quoted(f.text) + ": expected an integer from " +
                                             std::to_string(lo) + " to " + std::to_string(hi));
        }
        put_le(*buffer, row * a->width, *v, a->width);
        return true;
      }
      case Col::kDate: {
        auto v = parse_date(f.text);
        if (!v) {
          return fail(line_no, f.column, "not a date: " + quoted(f.text) +
                                             ": expected YYYYMMDD, or '#' and the stored number");
        }
        put_le(*buffer, row * 4, *v, 4);
        return true;
      }
      case Col::kText: {
        size_t bad_at = 0;
        auto bytes = unescape(f.text, bad_at);
        if (!bytes) return fail(line_no, f.column + bad_at, "bad escape (known: \\0 \\t \\n \\r \\\\ \\xNN)");
        if (bytes->size() > a->width) {
          return fail(line_no, f.column, "code " + quoted(f.text) + " is longer than " + std::to_string(a->width) +
                                             (a->width == 1 ? " character" : " characters"));
        }
        bytes->resize(a->width, ' ');
        buffer->replace(row * a->width, a->width, *bytes);
        return true;
      }
      case Col::kMust:
      case Col::kMustNot: {
        size_t slot = col.kind == Col::kMust ? 0 : 10;
        size_t given = 0;
        size_t pos = 0;
        while (pos < f.text.size()) {
          if (f.text[pos] == ' ') {
            ++pos;
            continue;
          }
          size_t end = std::min(f.text.find(' ', pos), f.text.size());
          std::string_view number = f.text.substr(pos, end - pos);
          if (given == 10) return fail(line_no, f.column + pos, "more than 10 condition slots");
          auto v = parse_integer(number, INT16_MIN, INT16_MAX);
          if (!v) {
            return fail(line_no, f.column + pos,
                        "bad condition id " + quoted(number) + ": expected an integer from -32768 to 32767");
          }
          put_le(*buffer, row * a->width + 2 * (slot + given), *v, 2);
          ++given;
          pos = end;
        }
        return true;
      }
      case Col::kLevels: {
        size_t bad_at = 0;
        auto bytes = unescape(f.text, bad_at);
        if (!bytes) return fail(line_no, f.column + bad_at, "bad escape (known: \\0 \\t \\n \\r \\\\ \\xNN)");
        if (bytes->size() != sec.level_cnt) {
          return fail(line_no, f.column, std::to_string(bytes->size()) + " levels where " +
                                             std::string(kMatrixRowParam) + "=" + std::to_string(sec.level_cnt) +
                                             " asks for " + std::to_string(sec.level_cnt));
        }
        buffer->replace(row * sec.level_cnt, sec.level_cnt, *bytes);
        return true;
      }
      default:
        return true;
    }
  }

  const TextFileSpec& layout_;
  TextError& error_;
  std::vector<Section> sections_;
  Section* current_ = nullptr;
  std::array<std::string, 8> buffers_;  // by array of the file
  std::vector<Field> fields_;
};

bool read_text(const std::filesystem::path& path, std::string& text) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) return false;
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  text = s.str();
  return !in.bad();
}

// Counts that the grouper compares across files; a set built with a
// disagreement is written, but the grouper will refuse it.
std::string cross_check_warnings(const TableStore& store) {
  std::string out;
  for (const FileSpec& file : load_plan()) {
    const std::array<uint16_t, 4> counts = file_counts(store, file);
    for (const CrossCheck& check : file.cross_checks) {
      const uint16_t value = counts[check.field];
      const uint16_t earlier = check.earlier(store);
      if (value != earlier) {
        out += "warning: " + std::string(file.name) + ": " + std::string(file.counts[check.field].name) + " " +
               std::to_string(value) + " differs from " + std::string(check.earlier_name) + " " +
               std::to_string(earlier) + "; the grouper will refuse this table set\n";
      }
    }
  }
  return out;
}

constexpr const char* kBuildHelp =
    "Turns the text form in TEXTDIR (as 'grouper-tables dump' writes it) into\n"
    "the sixteen table files in OUTDIR.  The files are written beside OUTDIR\n"
    "first and moved into place only when all sixteen are complete.  Text\n"
    "that cannot be built is refused with 'FILE:LINE:COLUMN: what is wrong'\n"
    "and exit status 1, and nothing is written.  Counts that disagree\n"
    "between files (which the grouper refuses) are built, with a warning.\n";

}  // namespace

bool parse_file_text(std::string_view text, const TextFileSpec& layout, TableStore& store, TextError& error) {
  FileParser parser(layout, error);
  if (!parser.parse(text)) return false;
  parser.store(store);
  return true;
}

int build_table_set(const std::filesystem::path& textdir, const std::filesystem::path& outdir,
                    std::string& message) {
  TableStore store;
  for (const TextFileSpec& layout : text_layouts()) {
    std::filesystem::path path = textdir / text_file_name(*layout.file);
    std::string text;
    if (!read_text(path, text)) {
      message = path.string() + ": cannot read\n";
      return kExitFailed;
    }
    TextError error;
    if (!parse_file_text(text, layout, store, error)) {
      message = path.string() + ":" + std::to_string(error.line) + ":" + std::to_string(error.column) + ": " +
                error.what + "\n";
      return kExitFailed;
    }
  }
  std::vector<std::pair<std::string, std::string>> files;
  for (const FileSpec& file_spec : load_plan()) {
    std::string error;
    files.emplace_back(std::string(file_spec.name), table_file_image(store, file_spec, error));
    if (!error.empty()) {
      message = error + "\n";
      return kExitFailed;
    }
  }
  std::string error;
  if (!write_files_beside(outdir, files, error)) {
    message = error + "\n";
    return kExitFailed;
  }
  message = cross_check_warnings(store);
  return kExitOk;
}

void add_build_command(CLI::App& app, int& status) {
  CLI::App* sub =
      app.add_subcommand("build", std::string("turn that text back into the sixteen table files\n\n") + kBuildHelp);
  sub->footer(kTextFormHelp);
  auto dirs = std::make_shared<std::pair<std::string, std::string>>();
  sub->add_option("TEXTDIR", dirs->first, "the text form")->required()->type_name("");
  sub->add_option("OUTDIR", dirs->second, "where the table files go")->required()->type_name("");
  sub->callback([dirs, &status] {
    std::string message;
    status = build_table_set(dirs->first, dirs->second, message);
    // Messages start with FILE:LINE:COLUMN, as editors expect them.
    std::fputs(message.c_str(), stderr);
  });
}

}  // namespace grouper::tools
