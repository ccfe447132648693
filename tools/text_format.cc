#include "text_format.h"

#include <array>
#include <charconv>

namespace grouper::tools {
namespace {

using C = Col;
using I = IdKind;

// Shared column groups.
constexpr ColumnSpec kRowHead[] = {
    {"row", C::kIndex, ""}, {"(key)", C::kShowOwner, ""}, {"(key code)", C::kShowOwnerCode, ""}};

// 1 Tdx.idx
constexpr ColumnSpec kDxRows[] = {
    {"row", C::kIndex, ""},         {"dx_code", C::kText, "dx_code"},
    {"dx_id", C::kNumber, "dx_id"}, {"dx_flag", C::kText, "dx_flag"},
    {"(code of id = row)", C::kShowCode, "", I::kDx},
};
constexpr SectionSpec kDx[] = {{"rows", 0, kDxRows, {}}};
// 2 Tsg.idx
constexpr ColumnSpec kSgRows[] = {
    {"row", C::kIndex, ""}, {"sg_code", C::kText, "sg_code"}, {"sg_id", C::kNumber, "sg_id"}};
constexpr SectionSpec kSg[] = {{"rows", 0, kSgRows, {}}};
// 3..5 code lists
constexpr ColumnSpec kMdcRows[] = {{"index", C::kIndex, ""}, {"mdc_code", C::kText, "mdc_code"}};
constexpr SectionSpec kMdc[] = {{"codes", 0, kMdcRows, {}}};
constexpr ColumnSpec kAdrgRows[] = {{"index", C::kIndex, ""}, {"adrg_code", C::kText, "adrg_code"}};
constexpr SectionSpec kAdrg[] = {{"codes", 0, kAdrgRows, {}}};
constexpr ColumnSpec kDrgRows[] = {{"index", C::kIndex, ""}, {"drg_code", C::kText, "drg_code"}};
constexpr SectionSpec kDrg[] = {{"codes", 0, kDrgRows, {}}};
// 6 Tdag_ast
constexpr ColumnSpec kDagKeys[] = {
    {"key", C::kIndex, ""}, {"(dx code)", C::kShowCode, "", I::kDx},
    {"dag_ast_fr", C::kNumber, "dag_ast_fr"}, {"dag_ast_to", C::kNumber, "dag_ast_to"}};
constexpr ColumnSpec kDagRows[] = {
    kRowHead[0], kRowHead[1], kRowHead[2],
    {"dag_adpt_fr_dt", C::kDate, "dag_adpt_fr_dt"}, {"dag_adpt_to_dt", C::kDate, "dag_adpt_to_dt"},
    {"dag_ast", C::kNumber, "dag_ast"}, {"(dag_ast code)", C::kShowCode, "dag_ast", I::kDx}};
constexpr OwnerSpec kDagOwners[] = {{"", "dag_ast_fr", "dag_ast_to", I::kDx, false}};
constexpr SectionSpec kDag[] = {{"keys", 0, kDagKeys, {}}, {"rows", 1, kDagRows, kDagOwners}};
// 7 Tcond.idx
constexpr ColumnSpec kCondRows[] = {
    {"id", C::kIndex, ""}, {"cond_type", C::kText, "cond_type"},
    {"cond_pos_fr", C::kNumber, "cond_pos_fr"}, {"cond_pos_to", C::kNumber, "cond_pos_to"}};
constexpr SectionSpec kCond[] = {{"conditions", 0, kCondRows, {}}};
// 8 Tcode
constexpr ColumnSpec kCodeDxKeys[] = {
    {"key", C::kIndex, ""}, {"(dx code)", C::kShowCode, "", I::kDx},
    {"dx_cond_fr", C::kNumber, "dx_cond_fr"}, {"dx_cond_to", C::kNumber, "dx_cond_to"}};
constexpr ColumnSpec kCodeSgKeys[] = {
    {"key", C::kIndex, ""}, {"(sg code)", C::kShowCode, "", I::kSg},
    {"sg_cond_fr", C::kNumber, "sg_cond_fr"}, {"sg_cond_to", C::kNumber, "sg_cond_to"}};
constexpr ColumnSpec kCodeRows[] = {
    kRowHead[0], kRowHead[1], kRowHead[2],
    {"code_row_kind", C::kText, "code_row_kind"},
    {"code_adpt_fr_dt", C::kDate, "code_adpt_fr_dt"}, {"code_adpt_to_dt", C::kDate, "code_adpt_to_dt"},
    {"code_cond", C::kNumber, "code_cond"}};
constexpr OwnerSpec kCodeOwners[] = {{"dx", "dx_cond_fr", "dx_cond_to", I::kDx, false},
                                     {"sg", "sg_cond_fr", "sg_cond_to", I::kSg, false}};
constexpr SectionSpec kCode[] = {
    {"dx_keys", 0, kCodeDxKeys, {}}, {"sg_keys", 1, kCodeSgKeys, {}}, {"rows", 2, kCodeRows, kCodeOwners}};
// 9, 10 Tadrg, Tadrg1
constexpr ColumnSpec kRuleSlots[] = {
    {"mdc", C::kIndex, ""}, {"(mdc code)", C::kShowCode, "", I::kMdc},
    {"mdc_rule_fr", C::kNumber, "mdc_rule_fr"}, {"mdc_rule_to", C::kNumber, "mdc_rule_to"}};
constexpr ColumnSpec kRules[] = {
    {"rule", C::kIndex, ""}, {"(slot)", C::kShowOwner, ""}, {"(slot code)", C::kShowOwnerCode, ""},
    {"rule_adpt_fr_dt", C::kDate, "rule_adpt_fr_dt"}, {"rule_adpt_to_dt", C::kDate, "rule_adpt_to_dt"},
    {"must", C::kMust, "rule_cond"}, {"must_not", C::kMustNot, "rule_cond"},
    {"rule_mdc", C::kNumber, "rule_mdc"}, {"(mdc code)", C::kShowCode, "rule_mdc", I::kMdc},
    {"rule_adrg", C::kNumber, "rule_adrg"}, {"(adrg code)", C::kShowCode, "rule_adrg", I::kAdrg}};
constexpr OwnerSpec kRuleOwners[] = {{"", "mdc_rule_fr", "mdc_rule_to", I::kMdc, false}};
constexpr SectionSpec kRuleSet[] = {{"slots", 0, kRuleSlots, {}}, {"rules", 1, kRules, kRuleOwners}};
// 11 Taadrg
constexpr ColumnSpec kSplitKeys[] = {
    {"adrg", C::kIndex, ""}, {"(adrg code)", C::kShowCode, "", I::kAdrg},
    {"adrg_split_fr", C::kNumber, "adrg_split_fr"}, {"adrg_split_to", C::kNumber, "adrg_split_to"}};
constexpr ColumnSpec kSplitRows[] = {
    kRowHead[0], kRowHead[1], kRowHead[2],
    {"split_age_fr", C::kNumber, "split_age_fr"}, {"split_age_to", C::kNumber, "split_age_to"},
    {"split_adpt_fr_dt", C::kDate, "split_adpt_fr_dt"}, {"split_adpt_to_dt", C::kDate, "split_adpt_to_dt"},
    {"split_code", C::kText, "split_code"}};
constexpr OwnerSpec kSplitOwners[] = {{"", "adrg_split_fr", "adrg_split_to", I::kAdrg, false}};
constexpr SectionSpec kSplit[] = {{"keys", 0, kSplitKeys, {}}, {"rows", 1, kSplitRows, kSplitOwners}};
// 12 Tccl
constexpr ColumnSpec kCclKeys[] = {
    {"key", C::kIndex, ""}, {"(dx code)", C::kShowCode, "", I::kDx},
    {"dx_ccl_fr", C::kNumber, "dx_ccl_fr"}, {"dx_ccl_to", C::kNumber, "dx_ccl_to"}};
constexpr ColumnSpec kCclRows[] = {
    kRowHead[0], kRowHead[1], kRowHead[2],
    {"ccl_adpt_fr_dt", C::kDate, "ccl_adpt_fr_dt"}, {"ccl_adpt_to_dt", C::kDate, "ccl_adpt_to_dt"},
    {"ccl_col", C::kNumber, "ccl_col"}};
constexpr OwnerSpec kCclOwners[] = {{"", "dx_ccl_fr", "dx_ccl_to", I::kDx, false}};
constexpr ColumnSpec kCclMatrix[] = {{"column", C::kIndex, ""},
                                     {"levels by adrg index", C::kLevels, "ccl_matrix"}};
constexpr SectionSpec kCcl[] = {
    {"keys", 0, kCclKeys, {}}, {"rows", 1, kCclRows, kCclOwners}, {"matrix", 2, kCclMatrix, {}}};
// 13 Tpccl
constexpr ColumnSpec kPcclKeys[] = {
    {"drg", C::kIndex, ""}, {"(drg code)", C::kShowCode, "", I::kDrg},
    {"drg_pccl_fr", C::kNumber, "drg_pccl_fr"}, {"drg_pccl_to", C::kNumber, "drg_pccl_to"}};
constexpr ColumnSpec kPcclRows[] = {
    kRowHead[0], kRowHead[1], kRowHead[2],
    {"pccl_adpt_fr_dt", C::kDate, "pccl_adpt_fr_dt"}, {"pccl_adpt_to_dt", C::kDate, "pccl_adpt_to_dt"},
    {"pccl_split_row", C::kNumber, "pccl_split_row"},
    {"(split)", C::kShowCode, "pccl_split_row", I::kPcclSplit}};
constexpr OwnerSpec kPcclOwners[] = {{"", "drg_pccl_fr", "drg_pccl_to", I::kDrg, false}};
constexpr ColumnSpec kPcclSplits[] = {{"split", C::kIndex, ""}, {"pccl_split", C::kText, "pccl_split"}};
constexpr SectionSpec kPccl[] = {
    {"keys", 0, kPcclKeys, {}}, {"rows", 1, kPcclRows, kPcclOwners}, {"splits", 2, kPcclSplits, {}}};
// 14 Tccedit
constexpr ColumnSpec kCcxKeys[] = {
    {"key", C::kIndex, ""}, {"(dx code)", C::kShowCode, "", I::kDx},
    {"ccx_fr", C::kNumber, "ccx_fr"}, {"ccx_to", C::kNumber, "ccx_to"}};
constexpr ColumnSpec kCcxRows[] = {
    kRowHead[0], kRowHead[1], kRowHead[2],
    {"ccx_dx", C::kNumber, "ccx_dx"}, {"(ccx_dx code)", C::kShowCode, "ccx_dx", I::kDx}};
constexpr OwnerSpec kCcxOwners[] = {{"", "ccx_fr", "ccx_to", I::kDx, false}};
constexpr SectionSpec kCcx[] = {{"keys", 0, kCcxKeys, {}}, {"rows", 1, kCcxRows, kCcxOwners}};
// 15 ltc_drg.idx
constexpr ColumnSpec kLtcRows[] = {{"group", C::kIndex, ""},
                                   {"ltc_drg_code", C::kText, "ltc_drg_code"},
                                   {"ltc_drg_idx", C::kNumber, "ltc_drg_idx"}};
constexpr SectionSpec kLtc[] = {{"groups", 0, kLtcRows, {}}};
// 16 adrg_ltcdrg
constexpr ColumnSpec kAstKeys[] = {
    {"adrg", C::kIndex, ""}, {"(adrg code)", C::kShowCode, "", I::kAdrg},
    {"adrg_ast_fr", C::kNumber, "adrg_ast_fr"}, {"adrg_ast_to", C::kNumber, "adrg_ast_to"}};
constexpr ColumnSpec kAstRows[] = {
    kRowHead[0], kRowHead[1], kRowHead[2],
    {"ast_adpt_fr_dt", C::kDate, "ast_adpt_fr_dt"}, {"ast_adpt_to_dt", C::kDate, "ast_adpt_to_dt"},
    {"ltcdrg_ast", C::kNumber, "ltcdrg_ast"}, {"(group code)", C::kShowCode, "ltcdrg_ast", I::kLtcGroup}};
// A first row of 0 marks an ADRG without rows (fixed group 9999).
constexpr OwnerSpec kAstOwners[] = {{"", "adrg_ast_fr", "adrg_ast_to", I::kAdrg, true}};
constexpr SectionSpec kAst[] = {{"keys", 0, kAstKeys, {}}, {"rows", 1, kAstRows, kAstOwners}};

struct Layout {
  std::string_view title;
  std::span<const SectionSpec> sections;
};
constexpr Layout kLayouts[kTableFileCount] = {
    {"diagnosis dictionary, rows sorted by code from row 1", kDx},
    {"procedure dictionary, rows sorted by code from row 1", kSg},
    {"MDC codes by MDC index", kMdc},
    {"ADRG codes by ADRG index", kAdrg},
    {"DRG codes by DRG index", kDrg},
    {"dagger/asterisk pairs keyed by diagnosis code id", kDag},
    {"condition catalogue by condition id", kCond},
    {"conditions of codes; diagnosis and procedure keys share the rows", kCode},
    {"rule set for records dated before 20050101, filed by MDC index", kRuleSet},
    {"rule set for records dated from 20050101 on, filed by MDC index", kRuleSet},
    {"age splits keyed by ADRG index", kSplit},
    {"CCL rows keyed by diagnosis code id, and the CCL matrix", kCcl},
    {"PCCL split strings keyed by DRG index", kPccl},
    {"CC exclusion lists keyed by diagnosis code id", kCcx},
    {"supplementary group codes by group index", kLtc},
    {"supplementary group rows keyed by ADRG index", kAst},
};

bool plain_byte(unsigned char c) { return c >= 0x20 && c < 0x7f && c != '\\'; }

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

const char* const kTextFormHelp =
    "The text form:\n"
    "  One file per table file, named after it with \".tsv\" added.  Lines\n"
    "  starting with '#' and empty lines are comments.  '@NAME' starts a\n"
    "  section (keys, rows, ...); its next line is a header row naming the\n"
    "  columns, tab-separated, and every further line is one element of the\n"
    "  section's arrays, side by side.  The number of lines of a section is\n"
    "  its count.  The CCL matrix section carries its row length on its\n"
    "  own line: '@matrix<TAB>ccl_adrg_cnt=N'; each of its lines is one CCL\n"
    "  column of N level characters, one per ADRG index.\n"
    "  The first column numbers the lines from 0 and must stay in order.\n"
    "  Columns in (parentheses) show the code of an id or index, or the key\n"
    "  whose row range holds a row; build ignores them.  Columns may be put\n"
    "  in any order, but none may be missing.\n"
    "Values:\n"
    "  numbers   decimal, with '-' for negative values, within the range of\n"
    "            the element (16 or 32 bits, signed)\n"
    "  dates     YYYYMMDD for a calendar date; a stored number that is not a\n"
    "            calendar date is written '#' and the number (#0, #20050230)\n"
    "  codes     the characters as they are; a code shorter than its width\n"
    "            is padded with blanks, so trailing blanks are left off.\n"
    "            Escapes: \\0 NUL, \\t tab, \\n line feed, \\r carriage\n"
    "            return, \\\\ backslash, \\xNN any byte (bytes below 0x20\n"
    "            and from 0x7F up are always written so)\n"
    "  must, must_not  a rule's ten condition slots that must / must not\n"
    "            hold, blank-separated; slots left off are 0\n"
    "  levels    like codes, but not padded: trailing blanks are written\n"
    "            \\x20\n";

std::span<const TextFileSpec> text_layouts() {
  static const std::array<TextFileSpec, kTableFileCount> layouts = [] {
    std::array<TextFileSpec, kTableFileCount> out{};
    for (int i = 0; i < kTableFileCount; ++i) {
      out[i] = {&load_plan()[i], kLayouts[i].title, kLayouts[i].sections};
    }
    return out;
  }();
  return layouts;
}

std::string text_file_name(const FileSpec& file) { return std::string(file.name) + ".tsv"; }

const ArraySpec* find_array(const FileSpec& file, std::string_view name) {
  for (const ArraySpec& a : file.arrays) {
    if (a.name == name) return &a;
  }
  return nullptr;
}

std::string escape(std::string_view bytes, bool drop_trailing_blanks) {
  size_t end = bytes.size();
  if (drop_trailing_blanks) {
    while (end > 0 && bytes[end - 1] == ' ') --end;
  }
  size_t plain_blanks_end = end;  // blanks from here on are written \x20
  if (!drop_trailing_blanks) {
    while (plain_blanks_end > 0 && bytes[plain_blanks_end - 1] == ' ') --plain_blanks_end;
  }
  std::string out;
  out.reserve(end);
  for (size_t i = 0; i < end; ++i) {
    unsigned char c = static_cast<unsigned char>(bytes[i]);
    if (plain_byte(c) && !(c == ' ' && i >= plain_blanks_end)) {
      out += static_cast<char>(c);
      continue;
    }
    switch (c) {
      case '\0': out += "\\0"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\\': out += "\\\\"; break;
      default: {
        static constexpr char kHex[] = "0123456789ABCDEF";
        out += "\\x";
        out += kHex[c >> 4];
        out += kHex[c & 15];
      }
    }
  }
  return out;
}

std::optional<std::string> unescape(std::string_view text, size_t& bad_at) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out += text[i];
      continue;
    }
    bad_at = i;
    if (i + 1 >= text.size()) return std::nullopt;
    switch (text[++i]) {
      case '0': out += '\0'; break;
      case 't': out += '\t'; break;
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      case '\\': out += '\\'; break;
      case 'x': {
        int hi = i + 1 < text.size() ? hex_value(text[i + 1]) : -1;
        int lo = i + 2 < text.size() ? hex_value(text[i + 2]) : -1;
        if (hi < 0 || lo < 0) return std::nullopt;
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
        break;
      }
      default:
        return std::nullopt;
    }
  }
  return out;
}

bool is_calendar_date(int32_t value) {
  if (value < 10000101 || value > 99991231) return false;
  int year = value / 10000, month = value / 100 % 100, day = value % 100;
  if (month < 1 || month > 12 || day < 1) return false;
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  int days = kDays[month - 1] + (month == 2 && leap ? 1 : 0);
  return day <= days;
}

std::string format_date(int32_t value) {
  std::string out = is_calendar_date(value) ? "" : "#";
  out += std::to_string(value);
  return out;
}

std::optional<int32_t> parse_date(std::string_view text) {
  if (!text.empty() && text[0] == '#') {
    auto v = parse_integer(text.substr(1), INT32_MIN, INT32_MAX);
    if (!v) return std::nullopt;
    return static_cast<int32_t>(*v);
  }
  if (text.size() != 8) return std::nullopt;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
  }
  int32_t value = 0;
  std::from_chars(text.data(), text.data() + text.size(), value);
  if (!is_calendar_date(value)) return std::nullopt;
  return value;
}

std::optional<int64_t> parse_integer(std::string_view text, int64_t lo, int64_t hi) {
  size_t start = !text.empty() && text[0] == '-' ? 1 : 0;
  if (text.size() == start || text.size() > start + 18) return std::nullopt;
  for (size_t i = start; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
  }
  int64_t value = 0;
  std::from_chars(text.data() + start, text.data() + text.size(), value);
  if (start == 1) value = -value;
  if (value < lo || value > hi) return std::nullopt;
  return value;
}

}  // namespace grouper::tools
