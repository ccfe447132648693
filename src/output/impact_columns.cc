#include "output/impact_columns.h"

#include "output/result_json.h"
#include "output/result_line.h"
#include "output/result_table.h"

namespace grouper {
namespace {

std::string_view drg_of(const episode_grouper::CodeImpact& entry) {
  return code_text(entry.drg.data(), entry.drg.size());
}

// A weight difference with its sign: "+0.5000", "-0.5000", "0.0000".
char* put_difference(char* out, int64_t difference) {
  if (difference > 0) *out++ = '+';
  return out + episode_grouper::format_weight(difference, out);
}

}  // namespace

std::string_view impact_column_header() { return "\timpact"; }

char* put_impact_column(char* out, const episode_grouper::Impact& impact) {
  *out++ = '\t';
  for (size_t i = 0; i < impact.count; ++i) {
    const episode_grouper::CodeImpact& entry = impact.items[i];
    if (i > 0) *out++ = ';';
    out = put_number(out, entry.position);
    *out++ = ':';
    out = put_finding_code(out, finding_text(entry.code));
    *out++ = '>';
    out = put_finding_code(out, drg_of(entry));
    if (impact.weighed) {
      *out++ = ':';
      out = put_difference(out, entry.weight_difference);
    }
  }
  return out;
}

char* put_impact_json(char* out, const episode_grouper::Impact& impact) {
  out = put_bytes(out, ",\"impact\":[");
  for (size_t i = 0; i < impact.count; ++i) {
    const episode_grouper::CodeImpact& entry = impact.items[i];
    if (i > 0) *out++ = ',';
    out = put_number(put_bytes(out, "{\"pos\":"), entry.position);
    out = put_json_string(put_bytes(out, ",\"code\":"), finding_text(entry.code));
    out = put_bytes(out, ",\"drg\":");
    const std::string_view drg = drg_of(entry);
    out = drg.empty() ? put_bytes(out, "null") : put_json_string(out, drg);
    out = put_bytes(out, ",\"weight_difference\":");
    // A JSON number: no "+".
    if (impact.weighed) out += episode_grouper::format_weight(entry.weight_difference, out);
    else out = put_bytes(out, "null");
    *out++ = '}';
  }
  *out++ = ']';
  return out;
}

}  // namespace grouper
