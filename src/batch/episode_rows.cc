#include "batch/episode_rows.h"

#include <algorithm>
#include <cstdint>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

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

// The separators of a row without quotes, found 16 bytes at a time: false
// when the row has a quote or more than kMaxFastSeparators (then the plain
// scan above reads it).
constexpr size_t kMaxFastSeparators = 63;
bool find_separators(std::string_view row, char separator, uint32_t* at, size_t& count) {
  count = 0;
  const size_t n = row.size();
  const char* p = row.data();
  size_t base = 0;
#ifdef __SSE2__
  const __m128i sep = _mm_set1_epi8(separator);
  const __m128i quote = _mm_set1_epi8('"');
  for (; base + 16 <= n; base += 16) {
    const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + base));
    if (_mm_movemask_epi8(_mm_cmpeq_epi8(chunk, quote)) != 0) return false;
    auto mask = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(chunk, sep)));
    while (mask != 0) {
      if (count == kMaxFastSeparators) return false;
      at[count++] = static_cast<uint32_t>(base + static_cast<size_t>(__builtin_ctz(mask)));
      mask &= mask - 1;
    }
  }
#endif
  for (; base < n; ++base) {
    if (p[base] == '"') return false;
    if (p[base] == separator) {
      if (count == kMaxFastSeparators) return false;
      at[count++] = static_cast<uint32_t>(base);
    }
  }
  return true;
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
  auto take = [&](size_t i, std::string_view text) {
    // An empty field is a field not given.
    if (i < want && columns.fields[i] && !text.empty()) eg::set_field_text(episode, *columns.fields[i], text, errors);
  };
  const char separator = separator_of(format);
  uint32_t at[kMaxFastSeparators];
  size_t separators = 0;
  size_t got = 0;
  if (find_separators(row, separator, at, separators)) {
    // The common row, without quotes: its fields lie between the separators.
    size_t start = 0;
    for (size_t k = 0; k < separators; ++k) {
      take(k, row.substr(start, at[k] - start));
      start = at[k] + 1;
    }
    take(separators, row.substr(start));
    got = separators + 1;
  } else {
    got = for_each_field(row, separator, field_, take);
  }
  if (got != want) {
    errors.add(F::kRow, "",
               std::to_string(got) + (got == 1 ? " field" : " fields") + " where the header names " + std::to_string(want));
  }
}

}  // namespace grouper
