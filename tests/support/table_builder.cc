#include "support/table_builder.h"

#include <algorithm>
#include <cstring>
#include <numeric>
#include <stdexcept>

#include "record/record_layout.h"
#include "tables/table_writer.h"

namespace grouper::testing {
namespace {

constexpr int kCatalogueSize = 824;
constexpr int kFirstLogic = 782;
constexpr int kLastLogic = 823;

template <size_t N>
std::array<char, N> fixed(std::string_view text, char pad = ' ') {
  if (text.size() > N) throw std::invalid_argument("code too long: " + std::string(text));
  std::array<char, N> out;
  out.fill(pad);
  std::memcpy(out.data(), text.data(), text.size());
  return out;
}

// Lays out rows grouped by key: fr/to per key in [0, key_cnt), rows in key
// order and, within a key, in definition order.  Returns the row order.
template <class Row, class Int>
std::vector<const Row*> lay_out(const std::vector<Row>& rows, size_t key_cnt, std::vector<Int>& fr,
                                std::vector<Int>& to, size_t first_row = 0) {
  std::vector<const Row*> order;
  for (const Row& r : rows) order.push_back(&r);
  std::stable_sort(order.begin(), order.end(),
                   [](const Row* a, const Row* b) { return a->key < b->key; });
  fr.assign(key_cnt, static_cast<Int>(first_row));
  to.assign(key_cnt, static_cast<Int>(first_row));
  size_t row = first_row;
  size_t i = 0;
  for (size_t key = 0; key < key_cnt; ++key) {
    fr[key] = static_cast<Int>(row);
    while (i < order.size() && static_cast<size_t>(order[i]->key) == key) ++i, ++row;
    to[key] = static_cast<Int>(row);
  }
  if (i != order.size()) throw std::invalid_argument("row keyed beyond its table");
  return order;
}

}  // namespace

TableBuilder::TableBuilder() {
  mdc_codes_ = {std::string(3, '\0'), "PRE"};
  adrg_codes_ = {std::string(4, '\0')};
  drg_codes_ = {std::string(5, '\0')};
  cond_count(kCatalogueSize);
  cond_window(373, 1, 1);
  cond_window(388, 1, 1);
  ltc_codes_.push_back(std::string(4, '\0'));
  for (int g = 1; g <= 19; ++g) ltc_codes_.push_back(g < 10 ? "LT0" + std::to_string(g) : "LT" + std::to_string(g));
}

int16_t TableBuilder::dx(std::string_view code, bool completion_end_point) {
  dx_codes_.emplace_back(code);
  dx_y_.push_back(completion_end_point);
  return static_cast<int16_t>(dx_codes_.size());
}
int16_t TableBuilder::proc(std::string_view code) {
  proc_codes_.emplace_back(code);
  return static_cast<int16_t>(proc_codes_.size());
}
int16_t TableBuilder::mdc(std::string_view code3) {
  mdc_codes_.emplace_back(code3);
  return static_cast<int16_t>(mdc_codes_.size() - 1);
}
int16_t TableBuilder::adrg(std::string_view code4) {
  adrg_codes_.emplace_back(code4);
  return static_cast<int16_t>(adrg_codes_.size() - 1);
}
int16_t TableBuilder::drg(std::string_view code5) {
  drg_codes_.emplace_back(code5);
  return static_cast<int16_t>(drg_codes_.size() - 1);
}

void TableBuilder::cond_count(uint16_t n) {
  while (cond_type_.size() < n) {
    int id = static_cast<int>(cond_type_.size());
    cond_type_.push_back(id >= kFirstLogic && id <= kLastLogic ? 'l' : 't');
    cond_pos_fr_.push_back(1);
    cond_pos_to_.push_back(46);
  }
}
void TableBuilder::cond_window(int16_t cond, int16_t pos_fr, int16_t pos_to) {
  cond_pos_fr_.at(cond) = pos_fr;
  cond_pos_to_.at(cond) = pos_to;
}
void TableBuilder::cond_type(int16_t cond, char type) { cond_type_.at(cond) = static_cast<uint8_t>(type); }

void TableBuilder::dx_cond(int16_t dx_id, int16_t cond, Window w) { dx_cond_rows_.push_back({dx_id, w, cond, {}}); }
void TableBuilder::proc_cond(int16_t proc_id, int16_t cond, Window w) {
  proc_cond_rows_.push_back({proc_id, w, cond, {}});
}
void TableBuilder::rule(const RuleDef& def) {
  if (def.must.size() > 10 || def.must_not.size() > 10) throw std::invalid_argument("more than 10 slots");
  rules_.push_back(def);
}
void TableBuilder::split(int16_t adrg, int16_t age_fr, int16_t age_to, char code, Window w) {
  splits_.push_back({adrg, age_fr, age_to, code, w});
}
void TableBuilder::dag(int16_t dx1, int16_t dx2, Window w) { dag_rows_.push_back({dx1, w, dx2, {}}); }
void TableBuilder::ccl_columns(uint16_t n) { ccl_columns_ = n; }
void TableBuilder::ccl_level(int16_t column, int16_t adrg, int level) { ccl_levels_[{column, adrg}] = level; }
void TableBuilder::dx_ccl(int16_t dx_id, int16_t column, Window w) { dx_ccl_rows_.push_back({dx_id, w, column, {}}); }
void TableBuilder::pccl(int16_t drg, std::string_view split5, Window w) {
  pccl_rows_.push_back({drg, w, 0, std::string(split5)});
}
void TableBuilder::ccx(int16_t of_dx, std::initializer_list<int16_t> by_dx) {
  auto& list = ccx_[of_dx];
  list.insert(list.end(), by_dx);
  std::sort(list.begin(), list.end());
}
void TableBuilder::ltc_code(int16_t group, std::string_view code4) {
  if (ltc_codes_.size() <= static_cast<size_t>(group)) ltc_codes_.resize(group + 1, "    ");
  ltc_codes_[group] = std::string(code4);
}
void TableBuilder::ltc_fixed(int16_t adrg) { ltc_fixed_.push_back(adrg); }
void TableBuilder::ltc_row(int16_t adrg, int16_t value, Window w) { ltc_rows_.push_back({adrg, w, value, {}}); }

TableStore TableBuilder::build() const {
  TableStore s;

  // Dictionaries: row 0 is a placeholder of NULs, rows 1.. sorted by code.
  auto dictionary = [](const std::vector<std::string>& codes, std::vector<Code5>& code_out,
                       std::vector<int16_t>& id_out) {
    std::vector<int16_t> ids(codes.size());
    std::iota(ids.begin(), ids.end(), int16_t{1});
    std::sort(ids.begin(), ids.end(), [&](int16_t a, int16_t b) {
      return fixed<5>(codes[a - 1]) < fixed<5>(codes[b - 1]);
    });
    code_out = {fixed<5>("", '\0')};
    id_out = {0};
    for (int16_t id : ids) {
      code_out.push_back(fixed<5>(codes[id - 1]));
      id_out.push_back(id);
    }
  };
  dictionary(dx_codes_, s.dx_code, s.dx_id);
  s.dx_flag.assign(s.dx_code.size(), 'n');
  for (size_t i = 0; i < dx_y_.size(); ++i) s.dx_flag[i + 1] = dx_y_[i] ? 'y' : 'n';
  dictionary(proc_codes_, s.sg_code, s.sg_id);
  const size_t dx_keys = s.dx_code.size();
  const size_t sg_keys = s.sg_code.size();

  for (const auto& c : mdc_codes_) s.mdc_code.push_back(fixed<3>(c));
  for (const auto& c : adrg_codes_) s.adrg_code.push_back(fixed<4>(c));
  for (const auto& c : drg_codes_) s.drg_code.push_back(fixed<5>(c));
  const size_t adrg_keys = s.adrg_code.size();

  for (const Row* r : lay_out(dag_rows_, dx_keys, s.dag_ast_fr, s.dag_ast_to)) {
    s.dag_adpt_fr_dt.push_back(r->w.from);
    s.dag_adpt_to_dt.push_back(r->w.to);
    s.dag_ast.push_back(static_cast<int16_t>(r->value));
  }

  s.cond_type = cond_type_;
  s.cond_pos_fr = cond_pos_fr_;
  s.cond_pos_to = cond_pos_to_;

  // Tcode: diagnosis rows first, then procedure rows, in one row space.
  for (const Row* r : lay_out(dx_cond_rows_, dx_keys, s.dx_cond_fr, s.dx_cond_to)) {
    s.code_adpt_fr_dt.push_back(r->w.from);
    s.code_adpt_to_dt.push_back(r->w.to);
    s.code_cond.push_back(static_cast<int16_t>(r->value));
  }
  for (const Row* r : lay_out(proc_cond_rows_, sg_keys, s.sg_cond_fr, s.sg_cond_to, s.code_cond.size())) {
    s.code_adpt_fr_dt.push_back(r->w.from);
    s.code_adpt_to_dt.push_back(r->w.to);
    s.code_cond.push_back(static_cast<int16_t>(r->value));
  }
  s.code_row_kind.assign(s.code_cond.size(), 'c');

  // Rule sets: rules grouped by slot, in definition order within a slot.
  for (bool from2005 : {false, true}) {
    RuleSet& set = from2005 ? s.tadrg1 : s.tadrg;
    std::vector<Row> keyed;
    for (size_t i = 0; i < rules_.size(); ++i) {
      const RuleDef& d = rules_[i];
      bool wanted = d.sets == RuleSets::kBoth || (d.sets == RuleSets::kFrom2005) == from2005;
      if (wanted) keyed.push_back({static_cast<int16_t>(d.slot), d.window, static_cast<int32_t>(i), {}});
    }
    for (const Row* r : lay_out(keyed, s.mdc_code.size(), set.mdc_rule_fr, set.mdc_rule_to)) {
      const RuleDef& d = rules_[r->value];
      RuleConds conds{};
      std::copy(d.must.begin(), d.must.end(), conds.begin());
      std::copy(d.must_not.begin(), d.must_not.end(), conds.begin() + 10);
      set.rule_adpt_fr_dt.push_back(d.window.from);
      set.rule_adpt_to_dt.push_back(d.window.to);
      set.rule_cond.push_back(conds);
      set.rule_mdc.push_back(d.mdc);
      set.rule_adrg.push_back(d.adrg);
    }
  }

  std::vector<Row> split_keyed;
  for (size_t i = 0; i < splits_.size(); ++i) {
    split_keyed.push_back({splits_[i].adrg, splits_[i].w, static_cast<int32_t>(i), {}});
  }
  for (const Row* r : lay_out(split_keyed, adrg_keys, s.adrg_split_fr, s.adrg_split_to)) {
    const SplitRow& sp = splits_[r->value];
    s.split_age_fr.push_back(sp.age_fr);
    s.split_age_to.push_back(sp.age_to);
    s.split_adpt_fr_dt.push_back(sp.w.from);
    s.split_adpt_to_dt.push_back(sp.w.to);
    s.split_code.push_back(static_cast<uint8_t>(sp.code));
  }

  for (const Row* r : lay_out(dx_ccl_rows_, dx_keys, s.dx_ccl_fr, s.dx_ccl_to)) {
    s.ccl_adpt_fr_dt.push_back(r->w.from);
    s.ccl_adpt_to_dt.push_back(r->w.to);
    s.ccl_col.push_back(static_cast<int16_t>(r->value));
  }
  s.ccl_col_cnt = ccl_columns_;
  s.ccl_adrg_cnt = static_cast<uint16_t>(adrg_keys);
  s.ccl_matrix.assign(size_t{ccl_columns_} * adrg_keys, '0');
  for (const auto& [key, level] : ccl_levels_) {
    s.ccl_matrix.at(static_cast<size_t>(key.first) * adrg_keys + key.second) = static_cast<uint8_t>('0' + level);
  }

  for (const Row* r : lay_out(pccl_rows_, s.drg_code.size(), s.drg_pccl_fr, s.drg_pccl_to)) {
    s.pccl_adpt_fr_dt.push_back(r->w.from);
    s.pccl_adpt_to_dt.push_back(r->w.to);
    s.pccl_split_row.push_back(static_cast<int16_t>(s.pccl_split.size()));
    s.pccl_split.push_back(fixed<5>(r->text, '\0'));
  }

  s.ccx_fr.assign(dx_keys, 0);
  s.ccx_to.assign(dx_keys, 0);
  for (const auto& [of, list] : ccx_) {
    s.ccx_fr.at(of) = static_cast<int32_t>(s.ccx_dx.size());
    s.ccx_dx.insert(s.ccx_dx.end(), list.begin(), list.end());
    s.ccx_to.at(of) = static_cast<int32_t>(s.ccx_dx.size());
  }

  for (const auto& c : ltc_codes_) s.ltc_drg_code.push_back(fixed<4>(c, '\0'));
  for (size_t g = 0; g < ltc_codes_.size(); ++g) s.ltc_drg_idx.push_back(static_cast<int16_t>(g));

  // adrg_ltcdrg: row 0 is a placeholder, since a first row of 0 marks an
  // ADRG without rows; ranges start at row 1.
  s.ast_adpt_fr_dt = {0};
  s.ast_adpt_to_dt = {0};
  s.ltcdrg_ast = {0};
  for (const Row* r : lay_out(ltc_rows_, adrg_keys, s.adrg_ast_fr, s.adrg_ast_to, 1)) {
    s.ast_adpt_fr_dt.push_back(r->w.from);
    s.ast_adpt_to_dt.push_back(r->w.to);
    s.ltcdrg_ast.push_back(static_cast<int16_t>(r->value));
  }
  for (int16_t a : ltc_fixed_) s.adrg_ast_fr.at(a) = 0;

  derive_counts(s);
  s.ccl_col_cnt = ccl_columns_;
  s.ccl_adrg_cnt = static_cast<uint16_t>(adrg_keys);
  return s;
}

void TableBuilder::write(const std::filesystem::path& dir) const {
  std::filesystem::create_directories(dir);
  std::string error;
  if (!write_tables(build(), dir, error)) throw std::runtime_error(error);
}

Episode::Episode() : line_(kRecordWidth, ' ') {
  birth("800101").sex('1').date("20050301").los("005").dsch('1');
}
Episode& Episode::at(size_t offset, std::string_view text) {
  if (offset + text.size() > line_.size()) line_.resize(offset + text.size(), ' ');
  line_.replace(offset, text.size(), text);
  return *this;
}
Episode& Episode::birth(std::string_view t) { return at(kBirthDateOffset, t); }
Episode& Episode::sex(char d) { return at(kSexOffset, std::string(1, d)); }
Episode& Episode::date(std::string_view t) { return at(kRecDateOffset, t); }
Episode& Episode::los(std::string_view t) { return at(kLosOffset, t); }
Episode& Episode::dsch(char d) { return at(kDschOffset, std::string(1, d)); }
Episode& Episode::dx(int position, std::string_view code) {
  if (position < kFirstDx || position > kLastDx) throw std::invalid_argument("not a diagnosis position");
  return at(code_offset(position), std::string(fixed<5>(code).data(), 5));
}
Episode& Episode::proc(int position, std::string_view code) {
  if (position < kFirstProc || position > kLastProc) throw std::invalid_argument("not a procedure position");
  return at(code_offset(position), std::string(fixed<5>(code).data(), 5));
}
Episode& Episode::birth_wt(std::string_view t) { return at(kBirthWtOffset, t); }
Episode& Episode::vent_hr(std::string_view t) { return at(kVentHrOffset, t); }

}  // namespace grouper::testing
