// The result line of one record:
//
//   [head 84][193 blanks][ADRG 4][7 blanks][date 8 "20050515"][supplementary 4]["\n"]
//
// The head is the upper-cased line cut after 84 characters; a line shorter
// than that is copied whole, its line feed included, and the rest follows on
// the next physical line.  Code texts end at their first NUL, so a table code
// that does not fill its width gives a shorter line.
#pragma once

#include <array>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <cstddef>
#include <string_view>
#include <vector>

#include "engine/engine.h"
#include "record/record_layout.h"
#include "tables/table_store.h"

namespace grouper {

inline constexpr size_t kMaxResultLineBytes = kResultLineWidth + 1;  // with the line feed

// Writers of the result formats lay out their bytes with these: `text` or
// `value` (in decimal) at `out`, returning the end of what was written.
inline char* put_bytes(char* out, std::string_view text) {
  if (!text.empty()) std::memcpy(out, text.data(), text.size());
  return out + text.size();
}
inline char* put_number(char* out, int64_t value) {
  return std::to_chars(out, out + 20, value).ptr;  // 20 characters hold every int64_t
}

// A fixed-width table code up to its first NUL, at most `width` characters.
std::string_view code_text(const char* code, size_t width);

// A code text of a finding as the result files show it: up to its first
// NUL, without its trailing blanks.
inline std::string_view finding_text(const std::array<char, 5>& text) {
  std::string_view t = code_text(text.data(), text.size());
  while (!t.empty() && t.back() == ' ') t.remove_suffix(1);
  return t;
}

// The code text of row `index` of a code list, empty for no group (0) and
// for an index the list does not hold.
template <size_t N>
std::string_view list_code(const std::vector<std::array<char, N>>& list, int16_t index) {
  if (index <= 0 || static_cast<size_t>(index) >= list.size()) return {};
  return code_text(list[static_cast<size_t>(index)].data(), N);
}

// The ADRG text of `res_adrg`: its adrg_code, or "0000" for no ADRG (0) and
// for an index the list does not hold.
std::string_view adrg_text(const TableStore& tables, int16_t res_adrg);

// The supplementary code of a record (res_ltcdrg_code up to its first NUL).
std::string_view supplementary_text(const Result& result);

// Lays out the result line of the record `line[0, len)` (already grouped,
// so upper-cased) into `out`, which holds kMaxResultLineBytes.  Returns the
// line's length.
size_t format_result_line(const char* line, size_t len, std::string_view adrg, std::string_view supplementary,
                          char* out);

// The result line of an episode that could not be built: its record
// `record` (kEpisodeRecordBytes, holding only the id), upper-cased in place
// as the grouping upper-cases every record, with no ADRG and no
// supplementary group ("0000" both).  Every client that takes episodes
// writes this line for an invalid one.
size_t format_invalid_line(char* record, char* out);

}  // namespace grouper
