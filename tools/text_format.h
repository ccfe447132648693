// The readable text form of a table set: one tab-separated file per table
// file (its name plus ".tsv"), in sections, each with a header row.
//
//   # comment lines and empty lines are skipped
//   @rows                      a section; "@matrix<TAB>ccl_adrg_cnt=N" carries
//   row<TAB>(key)<TAB>...      the matrix row length, the one count that the
//   0<TAB>3<TAB>...            rows cannot tell
//
// A section holds the arrays of one count side by side, one line per
// element; its count is its number of lines.  Columns in parentheses are
// shown for reading (the code of an id, the key whose range holds a row) and
// ignored when building.  This header holds the per-file layouts and the
// value codecs that dump and build share, so that the two stay inverse.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "tables/load_plan.h"

namespace grouper::tools {

// What an id or index stands for, so that its code can be shown beside it.
enum class IdKind : uint8_t { kNone, kDx, kSg, kMdc, kAdrg, kDrg, kLtcGroup, kPcclSplit };

enum class Col : uint8_t {
  kIndex,       // the line's element number (build checks it)
  kNumber,      // an integer element
  kDate,        // an int32 date element
  kText,        // a char[n] or byte element
  kMust,        // slots 0..9 of a rule_cond element
  kMustNot,     // slots 10..19 of a rule_cond element
  kLevels,      // one CCL column: ccl_adrg_cnt matrix bytes
  kShowCode,    // shown: the code of `array`'s value (or of the index when no array)
  kShowOwner,   // shown: the key whose row range holds this row
  kShowOwnerCode,  // shown: that key's code
};

struct ColumnSpec {
  std::string_view header;
  Col kind;
  std::string_view array;  // load-plan array name ("" for the index / owner columns)
  IdKind ids = IdKind::kNone;
};

// A key section whose (fr, to) ranges point into a row section.
struct OwnerSpec {
  std::string_view label;  // "dx" / "sg" where two key spaces share the rows, else ""
  std::string_view fr, to;  // load-plan array names
  IdKind ids;
  bool zero_fr_means_none;  // a first row of 0 marks a key without rows
};

struct SectionSpec {
  std::string_view name;  // after the "@"
  uint8_t count_field;    // the count field its number of lines gives
  std::span<const ColumnSpec> columns;
  std::span<const OwnerSpec> owners;  // for kShowOwner columns
};

struct TextFileSpec {
  const FileSpec* file;
  std::string_view title;
  std::span<const SectionSpec> sections;
};

// The sixteen text layouts, in load-plan order.
std::span<const TextFileSpec> text_layouts();
std::string text_file_name(const FileSpec& file);  // "Tdx.idx.tsv"
const ArraySpec* find_array(const FileSpec& file, std::string_view name);

inline constexpr std::string_view kMatrixRowParam = "ccl_adrg_cnt";

// How the text form reads; printed by the --help of dump and build.
extern const char* const kTextFormHelp;

// Text values.  escape() writes every byte that a tab-separated line cannot
// carry plainly as \0 \t \n \r \\ or \xNN (other bytes below 0x20 and from
// 0x7F up); with `drop_trailing_blanks` the trailing blanks of a code are
// left off (build pads codes with blanks), otherwise they are written \x20.
std::string escape(std::string_view bytes, bool drop_trailing_blanks);
// The bytes of `text`, or nullopt with `bad_at` set to the offset of a bad
// escape.
std::optional<std::string> unescape(std::string_view text, size_t& bad_at);

// Dates: a calendar date as YYYYMMDD; any other stored number as "#" and the
// number, so that every value survives.
bool is_calendar_date(int32_t value);
std::string format_date(int32_t value);
std::optional<int32_t> parse_date(std::string_view text);
// A decimal integer with an optional "-" in [lo, hi].
std::optional<int64_t> parse_integer(std::string_view text, int64_t lo, int64_t hi);

}  // namespace grouper::tools
