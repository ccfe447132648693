// Table sets for tests, built from readable definitions.
//
// A fresh TableBuilder already describes a valid, empty table set: placeholder
// row 0 in the dictionaries and code lists, a condition catalogue of 824
// conditions that passes the logic check (782..823 typed "l", conditions 373
// and 388 on positions 1..1, every other condition on positions 1..46), MDC
// index 1 as the first-pass slot, supplementary codes "LT01".."LT19" (row 0 NULs), and
// every ADRG without a supplementary row.  A test adds only the rows it is
// about; build() sorts the dictionaries, lays out the row ranges and derives
// every count.
#pragma once

#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "tables/table_store.h"

namespace grouper::testing {

// An inclusive validity window of dates YYYYMMDD.
struct Window {
  int32_t from = 0;
  int32_t to = 99991231;
};
inline constexpr Window kAlways{};

enum class RuleSets { kBoth, kBefore2005, kFrom2005 };

struct RuleDef {
  int slot = 1;              // MDC index the rule is filed under (1 = first pass)
  int16_t mdc = 0;           // MDC index the rule assigns
  int16_t adrg = 0;          // ADRG index the rule assigns
  std::vector<int16_t> must;      // up to 10 conditions that must hold
  std::vector<int16_t> must_not;  // up to 10 conditions that must not hold
  Window window = kAlways;
  RuleSets sets = RuleSets::kBoth;
};

class TableBuilder {
 public:
  TableBuilder();

  // Dictionaries: each call adds a code with the next id and returns the id.
  int16_t dx(std::string_view code, bool completion_end_point = false);
  int16_t proc(std::string_view code);
  // Code lists: each call appends a row and returns its index.
  int16_t mdc(std::string_view code3);
  int16_t adrg(std::string_view code4);
  int16_t drg(std::string_view code5);

  // Condition catalogue.
  void cond_count(uint16_t n);  // grows the catalogue (new ids typed "t", positions 1..46)
  void cond_window(int16_t cond, int16_t pos_fr, int16_t pos_to);
  void cond_type(int16_t cond, char type);

  // Conditions of codes (Tcode rows).
  void dx_cond(int16_t dx_id, int16_t cond, Window w = kAlways);
  void proc_cond(int16_t proc_id, int16_t cond, Window w = kAlways);

  // Rules, filed under their slot in definition order.
  void rule(const RuleDef& def);
  // Age split of an ADRG.
  void split(int16_t adrg, int16_t age_fr, int16_t age_to, char code, Window w = kAlways);
  // Dagger/asterisk pair: principal `dx1` is exchanged with `dx2` in position 2.
  void dag(int16_t dx1, int16_t dx2, Window w = kAlways);

  // CCL: the matrix has `n` columns, all '0' until set.
  void ccl_columns(uint16_t n);
  void ccl_level(int16_t column, int16_t adrg, int level);
  void dx_ccl(int16_t dx_id, int16_t column, Window w = kAlways);
  // PCCL split string of a DRG (5 characters; NULs allowed).
  void pccl(int16_t drg, std::string_view split5, Window w = kAlways);
  // CC exclusion list of `of_dx`: the diagnoses that cancel its CCL.
  void ccx(int16_t of_dx, std::initializer_list<int16_t> by_dx);

  // Supplementary groups.
  void ltc_code(int16_t group, std::string_view code4);
  void ltc_fixed(int16_t adrg);  // first-row marker 0: fixed group 9999
  void ltc_row(int16_t adrg, int16_t value, Window w = kAlways);

  TableStore build() const;
  // Builds and writes the sixteen files into `dir` (created when missing).
  void write(const std::filesystem::path& dir) const;

 private:
  struct Row {
    int16_t key;
    Window w;
    int32_t value;
    std::string text;
  };
  std::vector<std::string> dx_codes_, proc_codes_;  // by id - 1
  std::vector<bool> dx_y_;
  std::vector<std::string> mdc_codes_, adrg_codes_, drg_codes_;  // by index
  std::vector<uint8_t> cond_type_;
  std::vector<int16_t> cond_pos_fr_, cond_pos_to_;
  std::vector<Row> dx_cond_rows_, proc_cond_rows_, dag_rows_, dx_ccl_rows_, pccl_rows_;
  std::vector<Row> ltc_rows_;
  std::vector<RuleDef> rules_;
  struct SplitRow {
    int16_t adrg, age_fr, age_to;
    char code;
    Window w;
  };
  std::vector<SplitRow> splits_;
  uint16_t ccl_columns_ = 1;
  std::map<std::pair<int16_t, int16_t>, int> ccl_levels_;
  std::map<int16_t, std::vector<int16_t>> ccx_;
  std::vector<std::string> ltc_codes_;
  std::vector<int16_t> ltc_fixed_;
};

// An episode line of 273 characters with blank-padded fields and no line
// feed; setters take the field text (or code) as it should appear.
class Episode {
 public:
  Episode();
  Episode& birth(std::string_view yymmdd);
  Episode& sex(char digit);
  Episode& date(std::string_view yyyymmdd);
  Episode& los(std::string_view text3);
  Episode& dsch(char digit);
  Episode& dx(int position, std::string_view code);    // positions 1..10
  Episode& proc(int position, std::string_view code);  // positions 11..46
  Episode& birth_wt(std::string_view text5);
  Episode& vent_hr(std::string_view text5);
  Episode& at(size_t offset, std::string_view text);
  const std::string& str() const { return line_; }
  std::string line() const { return line_ + "\n"; }

 private:
  std::string line_;
};

}  // namespace grouper::testing
