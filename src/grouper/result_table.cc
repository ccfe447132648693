#include "grouper/result_table.h"


#include "grouper/result_line.h"

namespace grouper {
namespace {

// Appends a code text, escaping the bytes that would break a row.
char* put_code(char* out, std::string_view text) {
  for (char c : text) {
    char escaped = 0;
    switch (c) {
      case '\t': escaped = 't'; break;
      case '\n': escaped = 'n'; break;
      case '\r': escaped = 'r'; break;
      case '\\': escaped = '\\'; break;
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

}  // namespace

std::string_view result_table_header() {
  return "record\tmdc\tadrg\tdrg\tpccl\tccl_raw\tccl_excl\tsupplementary\tage_yy\tage_dd\n";
}

size_t format_result_row(int64_t record, const TableStore& tables, const RecordValues& values,
                         const RecordResult& result, char* out) {
  const bool has_adrg = result.res_adrg != 0;
  char* p = out;
  p = put_number(p, record);
  *p++ = '\t';
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
  p = put_number(p, values.age_yy);
  *p++ = '\t';
  p = put_number(p, values.age_dd);
  *p++ = '\n';
  return static_cast<size_t>(p - out);
}

}  // namespace grouper
