#include "output/result_json.h"

#include <cstring>

#include "output/impact_columns.h"
#include "output/result_line.h"
#include "output/weight_columns.h"

namespace grouper {
namespace {

// `"name":`, with the comma before every field but the first.
char* key(char* out, std::string_view name, bool first = false) {
  if (!first) *out++ = ',';
  *out++ = '"';
  out = put_bytes(out, name);
  *out++ = '"';
  *out++ = ':';
  return out;
}

char* put_code_or_null(char* out, std::string_view text, bool present) {
  return present ? put_json_string(out, text) : put_bytes(out, "null");
}

}  // namespace

char* put_json_string(char* out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  *out++ = '"';
  for (char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      *out++ = '\\';
      *out++ = static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7F) {
      out = put_bytes(out, "\\u00");
      *out++ = kHex[c >> 4];
      *out++ = kHex[c & 0xF];
    } else if (c < 0x80) {
      *out++ = static_cast<char>(c);
    } else {  // Latin-1 U+0080..U+00FF in UTF-8
      *out++ = static_cast<char>(0xC0 | (c >> 6));
      *out++ = static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  *out++ = '"';
  return out;
}

char* put_json_findings(char* out, const episode_grouper::Findings& findings) {
  char* p = out;
  *p++ = '[';
  for (size_t i = 0; i < findings.count; ++i) {
    const episode_grouper::Finding& f = findings.items[i];
    if (i > 0) *p++ = ',';
    *p++ = '{';
    p = put_json_string(key(p, "code", true), episode_grouper::finding_name(f.code));
    if (f.position != 0) p = put_number(key(p, "position"), f.position);
    if (f.field != episode_grouper::RecordField::kNone) {
      p = put_json_string(key(p, "field"), episode_grouper::field_name(f.field));
    }
    if (!finding_text(f.text).empty()) p = put_json_string(key(p, "text"), finding_text(f.text));
    if (!finding_text(f.to).empty()) p = put_json_string(key(p, "to"), finding_text(f.to));
    if (f.code == episode_grouper::FindingCode::kNoTableVersion) p = put_number(key(p, "date"), f.date());
    *p++ = '}';
  }
  if (findings.dropped > 0) {
    if (findings.count > 0) *p++ = ',';
    p = put_number(key(put_bytes(p, "{\"code\":\"more\""), "count"), findings.dropped);
    *p++ = '}';
  }
  *p++ = ']';
  return p;
}

size_t format_json_row(int64_t record, const TableStore& tables, const Result& result,
                       const episode_grouper::Findings& findings, char* out,
                       const episode_grouper::EpisodeWeight* weight, const std::string_view* id,
                       const episode_grouper::Impact* impact) {
  const bool has_adrg = result.res_adrg != 0;
  const std::string_view mdc = list_code(tables.mdc_code, result.res_mdc);
  const std::string_view adrg = list_code(tables.adrg_code, result.res_adrg);
  char* p = out;
  *p++ = '{';
  p = put_number(key(p, "record", true), record);
  if (id) p = put_json_string(key(p, "id"), id->substr(0, episode_grouper::kMaxIdBytes * 4));
  p = put_code_or_null(key(p, "mdc"), mdc, !mdc.empty());
  p = put_code_or_null(key(p, "adrg"), adrg, !adrg.empty());
  p = put_code_or_null(key(p, "drg"), code_text(result.res_drg_code.data(), result.res_drg_code.size()),
                       result.res_drg != 0);
  p = key(p, "pccl");
  p = has_adrg ? put_number(p, result.res_pccl) : put_bytes(p, "null");
  p = put_code_or_null(key(p, "ccl_raw"), code_text(result.res_ccl_raw.data(), result.res_ccl_raw.size()),
                       has_adrg);
  p = put_code_or_null(key(p, "ccl_excl"), code_text(result.res_ccl_excl.data(), result.res_ccl_excl.size()),
                       has_adrg);
  p = put_json_string(key(p, "supplementary"), supplementary_text(result));
  p = put_number(key(p, "age_yy"), result.values.age_yy);
  p = put_number(key(p, "age_dd"), result.values.age_dd);
  p = put_number(key(p, "rec_date"), result.values.rec_date);
  p = put_number(key(p, "sex_cd"), result.values.sex_cd);
  p = put_number(key(p, "los_dd"), result.values.los_dd);
  p = put_number(key(p, "dsch_cd"), result.values.dsch_cd);
  p = put_number(key(p, "birth_wt"), result.values.birth_wt);
  p = put_number(key(p, "vent_hr"), result.values.vent_hr);
  p = put_json_findings(key(p, "findings"), findings);
  if (weight) p = put_weight_json(p, *weight);
  if (impact) p = put_impact_json(p, *impact);
  *p++ = '}';
  *p++ = '\n';
  return static_cast<size_t>(p - out);
}

size_t format_json_ungrouped_row(int64_t record, const std::string_view* id,
                                 const episode_grouper::Findings& findings, bool with_weights, char* out) {
  char* p = out;
  *p++ = '{';
  p = put_number(key(p, "record", true), record);
  if (id) p = put_json_string(key(p, "id"), id->substr(0, episode_grouper::kMaxIdBytes * 4));
  for (const char* name : {"mdc", "adrg", "drg", "pccl", "ccl_raw", "ccl_excl", "supplementary", "age_yy", "age_dd",
                           "rec_date", "sex_cd", "los_dd", "dsch_cd", "birth_wt", "vent_hr"}) {
    p = put_bytes(key(p, name), "null");
  }
  p = put_json_findings(key(p, "findings"), findings);
  if (with_weights) p = put_bytes(p, ",\"weight\":null,\"effective_weight\":null,\"los_class\":null");
  *p++ = '}';
  *p++ = '\n';
  return static_cast<size_t>(p - out);
}

size_t add_tables_member(char* out, size_t len, std::string_view version) {
  char* p = key(out + len - 2, "tables");
  // A version's name needs no escaping (see table_registry.h).
  p = version.empty() ? put_bytes(p, "null") : put_json_string(p, version);
  *p++ = '}';
  *p++ = '\n';
  return static_cast<size_t>(p - out);
}

size_t format_json_invalid_row(int64_t record, const std::string_view* id, const episode_grouper::FieldErrors& errors,
                               bool with_weights, char* out) {
  // A message is cut to kMaxMessage bytes, each written in at most 6.
  constexpr size_t kMaxMessage = 120;
  constexpr size_t kTail = 64;  // the row's end after the findings
  char* p = out;
  *p++ = '{';
  p = put_number(key(p, "record", true), record);
  if (id) p = put_json_string(key(p, "id"), id->substr(0, episode_grouper::kMaxIdBytes * 4));
  for (const char* name : {"mdc", "adrg", "drg", "pccl", "ccl_raw", "ccl_excl", "supplementary", "age_yy", "age_dd",
                           "rec_date", "sex_cd", "los_dd", "dsch_cd", "birth_wt", "vent_hr"}) {
    p = put_bytes(key(p, name), "null");
  }
  p = put_bytes(key(p, "findings"), "[");
  size_t written = 0;
  for (const episode_grouper::FieldError& e : errors) {
    const std::string_view message = std::string_view(e.message).substr(0, kMaxMessage);
    const size_t most = 64 + 6 * message.size() + 3 + 32;
    if (kMaxJsonRowBytes - static_cast<size_t>(p - out) < most + kTail) break;
    if (written > 0) *p++ = ',';
    p = put_bytes(p, "{\"code\":\"input_invalid\"");
    p = put_json_string(key(p, "field"), episode_grouper::episode_field_name(e.field));
    std::string_view text = message;
    char cut[kMaxMessage + 3];
    if (message.size() < e.message.size()) {
      std::memcpy(cut, message.data(), message.size());
      std::memcpy(cut + message.size(), "...", 3);
      text = std::string_view(cut, message.size() + 3);
    }
    p = put_json_string(key(p, "text"), text);
    *p++ = '}';
    ++written;
  }
  if (written < errors.size()) {
    if (written > 0) *p++ = ',';
    p = put_number(key(put_bytes(p, "{\"code\":\"more\""), "count"), static_cast<int64_t>(errors.size() - written));
    *p++ = '}';
  }
  *p++ = ']';
  if (with_weights) p = put_bytes(p, ",\"weight\":null,\"effective_weight\":null,\"los_class\":null");
  *p++ = '}';
  *p++ = '\n';
  return static_cast<size_t>(p - out);
}

}  // namespace grouper
