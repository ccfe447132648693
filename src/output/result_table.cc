#include "output/result_table.h"


#include "output/impact_columns.h"
#include "output/result_line.h"
#include "output/weight_columns.h"

namespace grouper {
namespace {

// Appends a code text, escaping the bytes that would break a row (and in a
// finding, those that would break the list).
char* put_code(char* out, std::string_view text, bool in_finding = false) {
  for (char c : text) {
    char escaped = 0;
    switch (c) {
      case '\t': escaped = 't'; break;
      case '\n': escaped = 'n'; break;
      case '\r': escaped = 'r'; break;
      case '\\': escaped = '\\'; break;
      case ';':
      case '>': escaped = in_finding ? c : 0; break;
      default: break;
    }
    if (escaped) {
      *out++ = '\\';
      *out++ = escaped;
    } else {
      *out++ = c;
    }
  }
  return out;
}

char* put_findings(char* out, const episode_grouper::Findings& findings) {
  for (size_t i = 0; i < findings.count; ++i) {
    if (i > 0) *out++ = ';';
    out = put_finding(out, findings.items[i]);
  }
  if (findings.dropped > 0) {
    if (findings.count > 0) *out++ = ';';
    out = put_more_findings(out, findings.dropped);
  }
  return out;
}

// The message of an error as the findings write it: at most kMaxMessage
// bytes of it, then "...".
constexpr size_t kMaxMessage = 120;

}  // namespace

char* put_finding(char* out, const episode_grouper::Finding& f) {
  out = put_bytes(out, episode_grouper::finding_name(f.code));
  if (f.position != 0) out = put_number(put_bytes(out, "@"), f.position);
  if (f.field != episode_grouper::RecordField::kNone) {
    out = put_bytes(put_bytes(out, "@"), episode_grouper::field_name(f.field));
  }
  const std::string_view text = finding_text(f.text);
  const std::string_view to = finding_text(f.to);
  if (!text.empty()) out = put_code(put_bytes(out, ":"), text, true);
  if (!to.empty()) out = put_code(put_bytes(out, ">"), to, true);
  if (f.code == episode_grouper::FindingCode::kNoTableVersion) out = put_number(put_bytes(out, ":"), f.date());
  return out;
}

char* put_finding_code(char* out, std::string_view text) { return put_code(out, text, true); }

char* put_more_findings(char* out, int64_t more) { return put_number(put_bytes(out, "more:"), more); }

char* put_invalid_findings(char* out, const episode_grouper::FieldErrors& errors, size_t room) {
  char* const end = out + room;
  size_t written = 0;
  for (const episode_grouper::FieldError& e : errors) {
    const std::string_view field = episode_grouper::episode_field_name(e.field);
    // Escaping at most doubles a byte; keep room for "more:N".
    const std::string_view message = std::string_view(e.message).substr(0, kMaxMessage);
    const size_t most = 1 + 14 + field.size() + 2 + 2 * message.size() + 3 + 24;
    if (static_cast<size_t>(end - out) < most) break;
    if (written > 0) *out++ = ';';
    out = put_bytes(put_bytes(out, "input_invalid@"), field);
    out = put_code(put_bytes(out, ":"), message, true);
    if (message.size() < e.message.size()) out = put_bytes(out, "...");
    ++written;
  }
  if (written < errors.size()) {
    out = put_number(put_bytes(out, written > 0 ? ";more:" : "more:"), static_cast<int64_t>(errors.size() - written));
  }
  return out;
}

std::string_view result_table_header(bool with_weights, bool with_id) {
  static constexpr std::string_view kHeader =
      "record\tid\tmdc\tadrg\tdrg\tpccl\tccl_raw\tccl_excl\tsupplementary\tage_yy\tage_dd\tfindings"
      "\tweight\teffective_weight\tlos_class\n";
  static constexpr std::string_view kNoWeights =
      "record\tid\tmdc\tadrg\tdrg\tpccl\tccl_raw\tccl_excl\tsupplementary\tage_yy\tage_dd\tfindings\n";
  static constexpr std::string_view kNoId =
      "record\tmdc\tadrg\tdrg\tpccl\tccl_raw\tccl_excl\tsupplementary\tage_yy\tage_dd\tfindings"
      "\tweight\teffective_weight\tlos_class\n";
  static constexpr std::string_view kNoIdNoWeights =
      "record\tmdc\tadrg\tdrg\tpccl\tccl_raw\tccl_excl\tsupplementary\tage_yy\tage_dd\tfindings\n";
  return with_id ? (with_weights ? kHeader : kNoWeights) : (with_weights ? kNoId : kNoIdNoWeights);
}

std::string_view result_table_header() { return result_table_header(false, false); }

std::string_view result_table_header_with_weights() { return result_table_header(true, false); }

size_t format_invalid_row(int64_t record, const std::string_view* id, const episode_grouper::FieldErrors& errors,
                          bool with_weights, char* out) {
  char* p = put_number(out, record);
  if (id) p = put_code(put_bytes(p, "\t"), id->substr(0, episode_grouper::kMaxIdBytes * 4));
  p = put_bytes(p, "\t\t\t\t\t\t\t\t\t\t");
  // Room for the row's end: the weight columns' tabs and the line feed.
  p = put_invalid_findings(p, errors, kMaxResultRowBytes - static_cast<size_t>(p - out) - 8);
  if (with_weights) p = put_bytes(p, "\t\t\t");
  *p++ = '\n';
  return static_cast<size_t>(p - out);
}

size_t format_ungrouped_row(int64_t record, const std::string_view* id, const episode_grouper::Findings& findings,
                            bool with_weights, char* out) {
  char* p = put_number(out, record);
  if (id) p = put_code(put_bytes(p, "\t"), id->substr(0, episode_grouper::kMaxIdBytes * 4));
  p = put_findings(put_bytes(p, "\t\t\t\t\t\t\t\t\t\t"), findings);
  if (with_weights) p = put_bytes(p, "\t\t\t");
  *p++ = '\n';
  return static_cast<size_t>(p - out);
}

size_t add_tables_column(char* out, size_t len, std::string_view version) {
  // The version's name needs no escaping: the registry allows none of the
  // bytes that would.
  char* p = put_bytes(out + len - 1, "\t");
  p = put_bytes(p, version);
  *p++ = '\n';
  return static_cast<size_t>(p - out);
}

size_t format_result_row(int64_t record, const TableStore& tables, const Result& result,
                         const episode_grouper::Findings& findings, char* out,
                         const episode_grouper::EpisodeWeight* weight, const std::string_view* id,
                         const episode_grouper::Impact* impact) {
  const bool has_adrg = result.res_adrg != 0;
  char* p = out;
  p = put_number(p, record);
  *p++ = '\t';
  if (id) {
    p = put_code(p, id->substr(0, episode_grouper::kMaxIdBytes * 4));
    *p++ = '\t';
  }
  p = put_code(p, list_code(tables.mdc_code, result.res_mdc));
  *p++ = '\t';
  p = put_code(p, list_code(tables.adrg_code, result.res_adrg));
  *p++ = '\t';
  if (result.res_drg != 0) p = put_code(p, code_text(result.res_drg_code.data(), result.res_drg_code.size()));
  *p++ = '\t';
  if (has_adrg) p = put_number(p, result.res_pccl);
  *p++ = '\t';
  if (has_adrg) p = put_code(p, code_text(result.res_ccl_raw.data(), result.res_ccl_raw.size()));
  *p++ = '\t';
  if (has_adrg) p = put_code(p, code_text(result.res_ccl_excl.data(), result.res_ccl_excl.size()));
  *p++ = '\t';
  p = put_code(p, supplementary_text(result));
  *p++ = '\t';
  p = put_number(p, result.values.age_yy);
  *p++ = '\t';
  p = put_number(p, result.values.age_dd);
  *p++ = '\t';
  p = put_findings(p, findings);
  if (weight) p = put_weight_columns(p, *weight);
  if (impact) p = put_impact_column(p, *impact);
  *p++ = '\n';
  return static_cast<size_t>(p - out);
}

}  // namespace grouper
