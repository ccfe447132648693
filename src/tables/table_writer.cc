#include "tables/table_writer.h"

#include <array>
#include <cstdio>
#include <fstream>

namespace grouper {

std::string table_file_image(const TableStore& store, const FileSpec& file_spec, std::string& error) {
  const std::array<uint16_t, 4> counts = file_counts(store, file_spec);
  std::string image(kHeaderSize, ' ');
  for (size_t i = 0; i < file_spec.counts.size(); ++i) {
    char field[kCountFieldWidth + 1];
    std::snprintf(field, sizeof field, "%010u", static_cast<unsigned>(counts[i]));
    image.replace(i * kCountFieldWidth, kCountFieldWidth, field, kCountFieldWidth);
  }
  for (const ArraySpec& a : file_spec.arrays) {
    std::span<const std::byte> bytes = a.bytes(store);
    if (bytes.size() != array_bytes(a, counts)) {
      error = std::string(file_spec.name) + ": " + std::string(a.name) + " holds " +
              std::to_string(bytes.size()) + " bytes where its count asks for " +
              std::to_string(array_bytes(a, counts));
      return {};
    }
    image.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  }
  return image;
}

bool write_tables(const TableStore& store, const std::filesystem::path& dir, std::string& error) {
  for (const FileSpec& file_spec : load_plan()) {
    error.clear();
    std::string image = table_file_image(store, file_spec, error);
    if (!error.empty()) return false;
    std::ofstream out(dir / file_spec.name, std::ios::binary | std::ios::trunc);
    out.write(image.data(), static_cast<std::streamsize>(image.size()));
    out.close();
    if (!out) {
      error = (dir / file_spec.name).string() + ": cannot write";
      return false;
    }
  }
  return true;
}

void derive_counts(TableStore& s) {
  auto n = [](const auto& v) { return static_cast<uint16_t>(v.size()); };
  s.dx_cnt = n(s.dx_code);
  s.sg_cnt = n(s.sg_code);
  s.mdc_cnt = n(s.mdc_code);
  s.adrg_cnt = n(s.adrg_code);
  s.drg_cnt = n(s.drg_code);
  s.dag_key_cnt = n(s.dag_ast_fr);
  s.dag_row_cnt = n(s.dag_ast);
  s.cond_cnt = n(s.cond_type);
  s.code_dx_key_cnt = n(s.dx_cond_fr);
  s.code_sg_key_cnt = n(s.sg_cond_fr);
  s.code_row_cnt = n(s.code_cond);
  for (RuleSet* r : {&s.tadrg, &s.tadrg1}) {
    r->mdc_slot_cnt = n(r->mdc_rule_fr);
    r->rule_cnt = n(r->rule_cond);
  }
  s.split_key_cnt = n(s.adrg_split_fr);
  s.split_row_cnt = n(s.split_code);
  s.ccl_key_cnt = n(s.dx_ccl_fr);
  s.ccl_row_cnt = n(s.ccl_col);
  s.pccl_key_cnt = n(s.drg_pccl_fr);
  s.pccl_row_cnt = n(s.pccl_split_row);
  s.pccl_split_cnt = n(s.pccl_split);
  s.ccx_cnt = n(s.ccx_fr);
  s.ccx_row_cnt = n(s.ccx_dx);
  s.ltc_drg_cnt = n(s.ltc_drg_code);
  s.adrg_ast_cnt = n(s.adrg_ast_fr);
  s.ast_row_cnt = n(s.ltcdrg_ast);
}

}  // namespace grouper
