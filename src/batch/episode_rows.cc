#include "batch/episode_rows.h"

#include <algorithm>

#include "episode/episode_json.h"

namespace grouper {
namespace {

namespace eg = episode_grouper;
using F = eg::EpisodeField;

std::string_view without_line_end(std::string_view row) {
  if (!row.empty() && row.back() == '\n') row.remove_suffix(1);
  if (!row.empty() && row.back() == '\r') row.remove_suffix(1);
  return row;
}

bool ends_with(std::string_view name, std::string_view end) {
  return name.size() >= end.size() && name.substr(name.size() - end.size()) == end;
}

// Calls take(index, text) for every field of `row` (without its line end),
// in order; quoted fields lose their quotes, doubled quotes become one (in
// `buffer`).  Returns the number of fields.
template <class Take>
size_t for_each_field(std::string_view row, char separator, std::string& buffer, Take take) {
  size_t i = 0;
  size_t index = 0;
  for (;;) {
    std::string_view text;
    if (i < row.size() && row[i] == '"') {
      buffer.clear();
      ++i;
      for (;;) {
        const size_t quote = row.find('"', i);
        if (quote == std::string_view::npos) {  // the reader lets no open quote through; the header may have one
          buffer.append(row.substr(i));
          i = row.size();
          break;
        }
        buffer.append(row.substr(i, quote - i));
        i = quote + 1;
        if (i < row.size() && row[i] == '"') {
          buffer += '"';
          ++i;
          continue;
        }
        break;
      }
      // Anything between the closing quote and the separator is kept, as
      // most writers of such rows mean it.
      const size_t stop = std::min(row.find(separator, i), row.size());
      buffer.append(row.substr(i, stop - i));
      i = stop;
      text = buffer;
    } else {
      // Fields are short: a plain scan beats a library search per field.
      const size_t start = i;
      while (i < row.size() && row[i] != separator) ++i;
      text = row.substr(start, i - start);
    }
    take(index++, text);
    if (i >= row.size()) return index;
    ++i;  // past the separator
  }
}

char separator_of(InputFormat format) { return format == InputFormat::kTsv ? '\t' : ','; }

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

}  // namespace

InputFormat input_format_of_name(std::string_view name) {
  if (ends_with(name, ".csv")) return InputFormat::kCsv;
  if (ends_with(name, ".tsv")) return InputFormat::kTsv;
  if (ends_with(name, ".jsonl")) return InputFormat::kJsonl;
  return InputFormat::kFixed;
}

bool read_header(std::string_view row, InputFormat format, EpisodeColumns& columns, std::string& error) {
  columns = EpisodeColumns{};
  std::string buffer;
  std::string twice;
  uint32_t seen = 0;
  for_each_field(without_line_end(row), separator_of(format), buffer, [&](size_t, std::string_view text) {
    const std::string_view name = trimmed(text);
    std::optional<F> field = eg::episode_field_of(name);
    if (field == F::kRow) field.reset();
    if (!field) {
      columns.ignored.emplace_back(name);
    } else if (seen >> static_cast<unsigned>(*field) & 1u) {
      if (twice.empty()) twice = name;
      field.reset();
    } else {
      seen |= 1u << static_cast<unsigned>(*field);
    }
    columns.fields.push_back(field);
  });
  if (!twice.empty()) {
    error = "the header names the column " + twice + " twice";
    return false;
  }
  auto has = [seen](F f) { return (seen >> static_cast<unsigned>(f) & 1u) != 0; };
  std::string missing;
  auto need = [&](std::string_view what) {
    if (!missing.empty()) missing += ", ";
    missing += what;
  };
  for (F f : {F::kRecordDate, F::kLos, F::kDischarge, F::kSex, F::kPrincipal}) {
    if (!has(f)) need(eg::episode_field_name(f));
  }
  if (!has(F::kBirthDate) && !has(F::kAgeYears) && !has(F::kAgeDays)) need("birth_date (or age_years or age_days)");
  if (!missing.empty()) {
    error = "the header lacks the column" + std::string(missing.find(',') == std::string::npos ? " " : "s ") + missing;
    return false;
  }
  return true;
}

void RowParser::parse(std::string_view row, InputFormat format, const EpisodeColumns& columns, eg::Episode& episode,
                      eg::FieldErrors& errors, std::vector<std::string>* others) {
  row = without_line_end(row);
  if (format == InputFormat::kJsonl) {
    episode_from_json_text(row, episode, errors, others);
    return;
  }
  episode.clear();
  const size_t want = columns.fields.size();
  const size_t got = for_each_field(row, separator_of(format), field_, [&](size_t i, std::string_view text) {
    // An empty field is a field not given.
    if (i < want && columns.fields[i] && !text.empty()) eg::set_field_text(episode, *columns.fields[i], text, errors);
  });
  if (got != want) {
    errors.add(F::kRow, "",
               std::to_string(got) + (got == 1 ? " field" : " fields") + " where the header names " + std::to_string(want));
  }
}

}  // namespace grouper
