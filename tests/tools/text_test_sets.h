// Table sets and helpers for the tests of dump and build.
#pragma once

#include <filesystem>
#include <random>
#include <string>

#include "support/run_program.h"
#include "tables/load_plan.h"
#include "tables/sample_sets.h"
#include "tables/table_loader.h"
#include "tables/table_writer.h"
#include "text_form.h"

namespace grouper::testing {

inline void write_set(const TableStore& store, const std::filesystem::path& dir) {
  std::filesystem::create_directories(dir);
  std::string error;
  if (!write_tables(store, dir, error)) throw std::runtime_error(error);
}

inline TableStore load_set(const std::filesystem::path& dir) {
  TableStore store;
  std::string messages;
  if (load_tables(dir, store, messages) != kLoadOk) throw std::runtime_error("the set does not load");
  return store;
}

// The sample set with every kind of awkward value: texts holding NULs, tabs,
// line ends, backslashes, blanks and bytes above 127; negative numbers; dates
// that are not calendar dates; rule slots set after empty ones; row ranges
// outside their tables; a matrix with blanks at its end.
inline TableStore odd_store() {
  TableStore s = sample_builder().build();
  s.dx_code[0] = {'\0', '\t', '\n', '\r', '\\'};
  s.dx_code[1] = {' ', 'K', ' ', '3', ' '};
  s.dx_code[2] = {'#', '@', '(', ')', '\x7f'};
  s.sg_code[1] = {'\x80', '\xff', '\xc7', '\xd1', ' '};
  s.mdc_code[0] = {' ', ' ', ' '};
  s.adrg_code[1] = {'x', '\\', '0', '1'};
  s.dx_flag[0] = '\0';
  s.dx_flag[1] = ' ';
  s.dx_flag[2] = '\t';
  s.dx_id[1] = -32768;
  s.sg_id[2] = 32767;
  s.cond_type[5] = '\xee';
  s.cond_pos_fr[6] = -7;
  s.code_row_kind[0] = '\\';
  s.code_adpt_fr_dt[0] = 0;
  s.code_adpt_to_dt[0] = -1;
  s.dag_adpt_fr_dt[0] = 20050230;  // no such day
  s.dag_adpt_to_dt[0] = INT32_MIN;
  s.ccl_adpt_fr_dt[0] = INT32_MAX;
  s.ccl_adpt_to_dt[0] = 20040229;  // a leap day
  s.split_adpt_fr_dt[0] = 19000229;  // not a leap day
  s.split_adpt_to_dt[0] = 10101;     // 0001-01-01 reads as a plain number
  s.split_code[0] = '\0';
  s.tadrg.rule_cond[0] = {0, 0, 7, -1, 0, 0, 0, 0, 0, 0, 0, 32767, 0, -32768, 0, 0, 0, 0, 0, 1};
  s.tadrg1.rule_mdc[0] = -5;
  s.tadrg1.mdc_rule_fr[1] = -100;  // ranges beyond their rows
  s.tadrg1.mdc_rule_to[1] = 32000;
  s.dag_ast_fr[0] = INT32_MIN;
  s.dag_ast_to[0] = INT32_MAX;
  s.adrg_ast_fr[0] = 0;
  s.adrg_ast_to[0] = 3;
  s.ccx_dx[0] = -3;
  s.ltc_drg_idx[2] = -2;
  s.ltcdrg_ast[1] = 20;
  s.pccl_split[0] = {'\t', '\0', ' ', ' ', ' '};
  s.ccl_matrix[1] = ' ';
  s.ccl_matrix[s.ccl_matrix.size() - 1] = ' ';
  s.ccl_matrix[s.ccl_matrix.size() - 2] = ' ';
  s.ccl_matrix[3] = '\x90';
  // Counts that are kept but compared with nothing.
  s.tadrg.mdc_rule_fr.push_back(1);
  s.tadrg.mdc_rule_to.push_back(2);
  s.ccx_fr.push_back(0);
  s.ccx_to.push_back(1);
  s.adrg_ast_fr.pop_back();
  s.adrg_ast_to.pop_back();
  derive_counts(s);
  return s;
}

// The sample set with every array byte drawn at random (sizes kept, so the
// loader still accepts it): every id, range and date is garbage.
inline TableStore scrambled_store(unsigned seed) {
  TableStore s = sample_builder().build();
  std::mt19937 rng(seed);
  for (const FileSpec& file : load_plan()) {
    std::array<uint16_t, 4> counts{};
    for (size_t i = 0; i < file.counts.size(); ++i) counts[i] = file.counts[i].ref(s);
    for (const ArraySpec& a : file.arrays) {
      for (std::byte& b : a.resize(s, element_count(a, counts))) b = static_cast<std::byte>(rng());
    }
  }
  return s;
}

// Dump of the set in `set_dir` into `text_dir`, then build into `out_dir`.
struct RoundTrip {
  int dump_rc = -1, build_rc = -1;
  std::string dump_message, build_message;
};
inline RoundTrip round_trip(const std::filesystem::path& set_dir, const std::filesystem::path& text_dir,
                            const std::filesystem::path& out_dir) {
  RoundTrip r;
  r.dump_rc = tools::dump_table_set(set_dir, text_dir, r.dump_message);
  if (r.dump_rc == 0) r.build_rc = tools::build_table_set(text_dir, out_dir, r.build_message);
  return r;
}

}  // namespace grouper::testing
