#include "tables/load_plan.h"

#include <cctype>
#include <cstring>
#include <vector>

namespace grouper {
namespace {

// Pointer-to-member plumbing: the plan names store members; these turn a
// member into the resize / byte-view functions of an ArraySpec.
template <class Owner, class T>
T member_type(std::vector<T> Owner::*);

template <auto M>
using ElemOf = decltype(member_type(M));

template <auto M>
std::vector<ElemOf<M>>& vec(TableStore& s) {
  return s.*M;
}
template <auto Set, auto M>
std::vector<ElemOf<M>>& vec(TableStore& s) {
  return (s.*Set).*M;
}

template <auto... Ms>
std::span<std::byte> resize_vec(TableStore& s, size_t n) {
  auto& v = vec<Ms...>(s);
  v.assign(n, {});
  return std::as_writable_bytes(std::span(v));
}
template <auto... Ms>
std::span<const std::byte> vec_bytes(const TableStore& s) {
  return std::as_bytes(std::span(vec<Ms...>(const_cast<TableStore&>(s))));
}

// The vector member named last in a member path (a store member, or a rule
// set member after its set).
template <auto... Ms>
struct LastMember;
template <auto M>
struct LastMember<M> {
  static constexpr auto value = M;
};
template <auto Set, auto M>
struct LastMember<Set, M> {
  static constexpr auto value = M;
};

template <auto... Ms>
constexpr ArraySpec arr(std::string_view name, ElemType type, uint8_t count_field,
                        std::string_view short_message = {}) {
  using T = ElemOf<LastMember<Ms...>::value>;
  uint8_t width = static_cast<uint8_t>(sizeof(T));
  return ArraySpec{name, type, width, count_field, 0, &resize_vec<Ms...>, &vec_bytes<Ms...>,
                   short_message};
}

template <auto M>
uint16_t& cnt(TableStore& s) {
  return s.*M;
}
template <auto Set, auto M>
uint16_t& cnt(TableStore& s) {
  return (s.*Set).*M;
}
template <auto... Ms>
uint16_t cnt_value(const TableStore& s) {
  return cnt<Ms...>(const_cast<TableStore&>(s));
}

using S = TableStore;
using R = RuleSet;
using E = ElemType;

// 1 Tdx.idx
constexpr CountSpec kDxCounts[] = {{"dx_cnt", &cnt<&S::dx_cnt>}};
constexpr ArraySpec kDxArrays[] = {
    arr<&S::dx_code>("dx_code", E::kText, 0),
    arr<&S::dx_id>("dx_id", E::kInt16, 0),
    arr<&S::dx_flag>("dx_flag", E::kByte, 0),
};
// 2 Tsg.idx
constexpr CountSpec kSgCounts[] = {{"sg_cnt", &cnt<&S::sg_cnt>}};
constexpr ArraySpec kSgArrays[] = {
    arr<&S::sg_code>("sg_code", E::kText, 0),
    arr<&S::sg_id>("sg_id", E::kInt16, 0),
};
// 3 Tmdc.idx, 4 Tadrg.idx, 5 Taadrg.idx
constexpr CountSpec kMdcCounts[] = {{"mdc_cnt", &cnt<&S::mdc_cnt>}};
constexpr ArraySpec kMdcArrays[] = {arr<&S::mdc_code>("mdc_code", E::kText, 0)};
constexpr CountSpec kAdrgCounts[] = {{"adrg_cnt", &cnt<&S::adrg_cnt>}};
constexpr ArraySpec kAdrgArrays[] = {arr<&S::adrg_code>("adrg_code", E::kText, 0)};
constexpr CountSpec kDrgCounts[] = {{"drg_cnt", &cnt<&S::drg_cnt>}};
constexpr ArraySpec kDrgArrays[] = {arr<&S::drg_code>("drg_code", E::kText, 0)};
// 6 Tdag_ast
constexpr CountSpec kDagCounts[] = {{"dag_key_cnt", &cnt<&S::dag_key_cnt>},
                                    {"dag_row_cnt", &cnt<&S::dag_row_cnt>}};
constexpr CrossCheck kDagChecks[] = {{0, "dx_cnt", &cnt_value<&S::dx_cnt>}};
constexpr ArraySpec kDagArrays[] = {
    arr<&S::dag_ast_fr>("dag_ast_fr", E::kInt32, 0),
    arr<&S::dag_ast_to>("dag_ast_to", E::kInt32, 0),
    arr<&S::dag_adpt_fr_dt>("dag_adpt_fr_dt", E::kInt32, 1),
    arr<&S::dag_adpt_to_dt>("dag_adpt_to_dt", E::kInt32, 1),
    arr<&S::dag_ast>("dag_ast", E::kInt16, 1),
};
// 7 Tcond.idx
constexpr CountSpec kCondCounts[] = {{"cond_cnt", &cnt<&S::cond_cnt>}};
constexpr ArraySpec kCondArrays[] = {
    arr<&S::cond_type>("cond_type", E::kByte, 0),
    arr<&S::cond_pos_fr>("cond_pos_fr", E::kInt16, 0),
    arr<&S::cond_pos_to>("cond_pos_to", E::kInt16, 0),
};
// 8 Tcode
constexpr CountSpec kCodeCounts[] = {{"code_dx_key_cnt", &cnt<&S::code_dx_key_cnt>},
                                     {"code_sg_key_cnt", &cnt<&S::code_sg_key_cnt>},
                                     {"code_row_cnt", &cnt<&S::code_row_cnt>}};
constexpr CrossCheck kCodeChecks[] = {{0, "dx_cnt", &cnt_value<&S::dx_cnt>},
                                      {1, "sg_cnt", &cnt_value<&S::sg_cnt>}};
constexpr ArraySpec kCodeArrays[] = {
    arr<&S::dx_cond_fr>("dx_cond_fr", E::kInt32, 0),
    arr<&S::dx_cond_to>("dx_cond_to", E::kInt32, 0),
    arr<&S::sg_cond_fr>("sg_cond_fr", E::kInt32, 1),
    arr<&S::sg_cond_to>("sg_cond_to", E::kInt32, 1),
    arr<&S::code_row_kind>("code_row_kind", E::kByte, 2),
    arr<&S::code_adpt_fr_dt>("code_adpt_fr_dt", E::kInt32, 2),
    arr<&S::code_adpt_to_dt>("code_adpt_to_dt", E::kInt32, 2),
    arr<&S::code_cond>("code_cond", E::kInt16, 2),
};
// 9 Tadrg, 10 Tadrg1
template <RuleSet TableStore::*Set>
struct RuleFile {
  static constexpr CountSpec counts[] = {{"mdc_slot_cnt", &cnt<Set, &R::mdc_slot_cnt>},
                                         {"rule_cnt", &cnt<Set, &R::rule_cnt>}};
  static constexpr ArraySpec arrays[] = {
      arr<Set, &R::mdc_rule_fr>("mdc_rule_fr", E::kInt16, 0),
      arr<Set, &R::mdc_rule_to>("mdc_rule_to", E::kInt16, 0),
      arr<Set, &R::rule_adpt_fr_dt>("rule_adpt_fr_dt", E::kInt32, 1),
      arr<Set, &R::rule_adpt_to_dt>("rule_adpt_to_dt", E::kInt32, 1),
      arr<Set, &R::rule_cond>("rule_cond", E::kRuleConds, 1),
      arr<Set, &R::rule_mdc>("rule_mdc", E::kInt16, 1),
      arr<Set, &R::rule_adrg>("rule_adrg", E::kInt16, 1),
  };
};
constexpr CrossCheck kTadrg1Checks[] = {{0, "mdc_cnt", &cnt_value<&S::mdc_cnt>}};
// 11 Taadrg
constexpr CountSpec kSplitCounts[] = {{"split_key_cnt", &cnt<&S::split_key_cnt>},
                                      {"split_row_cnt", &cnt<&S::split_row_cnt>}};
constexpr CrossCheck kSplitChecks[] = {{0, "adrg_cnt", &cnt_value<&S::adrg_cnt>}};
constexpr ArraySpec kSplitArrays[] = {
    arr<&S::adrg_split_fr>("adrg_split_fr", E::kInt16, 0),
    arr<&S::adrg_split_to>("adrg_split_to", E::kInt16, 0),
    arr<&S::split_age_fr>("split_age_fr", E::kInt16, 1),
    arr<&S::split_age_to>("split_age_to", E::kInt16, 1),
    arr<&S::split_adpt_fr_dt>("split_adpt_fr_dt", E::kInt32, 1),
    arr<&S::split_adpt_to_dt>("split_adpt_to_dt", E::kInt32, 1),
    arr<&S::split_code>("split_code", E::kByte, 1),
};
// 12 Tccl
constexpr CountSpec kCclCounts[] = {{"ccl_key_cnt", &cnt<&S::ccl_key_cnt>},
                                    {"ccl_row_cnt", &cnt<&S::ccl_row_cnt>},
                                    {"ccl_col_cnt", &cnt<&S::ccl_col_cnt>},
                                    {"ccl_adrg_cnt", &cnt<&S::ccl_adrg_cnt>}};
constexpr CrossCheck kCclChecks[] = {{0, "dx_cnt", &cnt_value<&S::dx_cnt>},
                                     {3, "adrg_cnt", &cnt_value<&S::adrg_cnt>}};
constexpr ArraySpec matrix() {
  ArraySpec a = arr<&S::ccl_matrix>("ccl_matrix", E::kMatrix, 2);
  a.record_field = 3;
  return a;
}
constexpr ArraySpec kCclArrays[] = {
    arr<&S::dx_ccl_fr>("dx_ccl_fr", E::kInt16, 0),
    arr<&S::dx_ccl_to>("dx_ccl_to", E::kInt16, 0),
    arr<&S::ccl_adpt_fr_dt>("ccl_adpt_fr_dt", E::kInt32, 1),
    arr<&S::ccl_adpt_to_dt>("ccl_adpt_to_dt", E::kInt32, 1),
    arr<&S::ccl_col>("ccl_col", E::kInt16, 1),
    matrix(),
};
// 13 Tpccl
constexpr CountSpec kPcclCounts[] = {{"pccl_key_cnt", &cnt<&S::pccl_key_cnt>},
                                     {"pccl_row_cnt", &cnt<&S::pccl_row_cnt>},
                                     {"pccl_split_cnt", &cnt<&S::pccl_split_cnt>}};
constexpr CrossCheck kPcclChecks[] = {{0, "drg_cnt", &cnt_value<&S::drg_cnt>}};
constexpr ArraySpec kPcclArrays[] = {
    arr<&S::drg_pccl_fr>("drg_pccl_fr", E::kInt16, 0),
    arr<&S::drg_pccl_to>("drg_pccl_to", E::kInt16, 0),
    arr<&S::pccl_adpt_fr_dt>("pccl_adpt_fr_dt", E::kInt32, 1),
    arr<&S::pccl_adpt_to_dt>("pccl_adpt_to_dt", E::kInt32, 1),
    arr<&S::pccl_split_row>("pccl_split_row", E::kInt16, 1),
    arr<&S::pccl_split>("pccl_split", E::kText, 2),
};
// 14 Tccedit
constexpr CountSpec kCcxCounts[] = {{"ccx_cnt", &cnt<&S::ccx_cnt>},
                                    {"ccx_row_cnt", &cnt<&S::ccx_row_cnt>}};
constexpr ArraySpec kCcxArrays[] = {
    arr<&S::ccx_fr>("ccx_fr", E::kInt32, 0),
    arr<&S::ccx_to>("ccx_to", E::kInt32, 0),
    arr<&S::ccx_dx>("ccx_dx", E::kInt16, 1),
};
// 15 ltc_drg.idx
constexpr CountSpec kLtcCounts[] = {{"ltc_drg_cnt", &cnt<&S::ltc_drg_cnt>}};
constexpr ArraySpec kLtcArrays[] = {
    arr<&S::ltc_drg_code>("ltc_drg_code", E::kText, 0, "ltc_drg code read error \n"),
    arr<&S::ltc_drg_idx>("ltc_drg_idx", E::kInt16, 0, "ltc_drg idx read error \n"),
};
// 16 adrg_ltcdrg
constexpr CountSpec kAstCounts[] = {{"adrg_ast_cnt", &cnt<&S::adrg_ast_cnt>},
                                    {"ast_row_cnt", &cnt<&S::ast_row_cnt>}};
constexpr ArraySpec kAstArrays[] = {
    arr<&S::adrg_ast_fr>("adrg_ast_fr", E::kInt16, 0, "adrg_ast_fr read error \n"),
    arr<&S::adrg_ast_to>("adrg_ast_to", E::kInt16, 0, "adrg_ast_to read error \n"),
    arr<&S::ast_adpt_fr_dt>("ast_adpt_fr_dt", E::kInt32, 1, "ast_adpt_fr_dt read error \n"),
    arr<&S::ast_adpt_to_dt>("ast_adpt_to_dt", E::kInt32, 1, "ast_adpt_to_dt read error \n"),
    arr<&S::ltcdrg_ast>("ltcdrg_ast", E::kInt16, 1, "ltcdrg_ast read error \n"),
};

const FileSpec kPlan[kTableFileCount] = {
    {"Tdx.idx", kDxCounts, {}, kDxArrays, {}},
    {"Tsg.idx", kSgCounts, {}, kSgArrays, {}},
    {"Tmdc.idx", kMdcCounts, {}, kMdcArrays, {}},
    {"Tadrg.idx", kAdrgCounts, {}, kAdrgArrays, {}},
    {"Taadrg.idx", kDrgCounts, {}, kDrgArrays, {}},
    {"Tdag_ast", kDagCounts, kDagChecks, kDagArrays, {}},
    {"Tcond.idx", kCondCounts, {}, kCondArrays, {}},
    {"Tcode", kCodeCounts, kCodeChecks, kCodeArrays, {}},
    {"Tadrg", RuleFile<&S::tadrg>::counts, {}, RuleFile<&S::tadrg>::arrays, {}},
    {"Tadrg1", RuleFile<&S::tadrg1>::counts, kTadrg1Checks, RuleFile<&S::tadrg1>::arrays, {}},
    {"Taadrg", kSplitCounts, kSplitChecks, kSplitArrays, {}},
    {"Tccl", kCclCounts, kCclChecks, kCclArrays, {}},
    {"Tpccl", kPcclCounts, kPcclChecks, kPcclArrays, {}},
    {"Tccedit", kCcxCounts, {}, kCcxArrays, {}},
    {"ltc_drg.idx", kLtcCounts, {}, kLtcArrays, "ltc_drg malloc error \n"},
    {"adrg_ltcdrg", kAstCounts, {}, kAstArrays, "adrg_ast malloc error \n"},
};

}  // namespace

std::span<const FileSpec> load_plan() { return kPlan; }

std::array<uint16_t, 4> file_counts(const TableStore& store, const FileSpec& file) {
  std::array<uint16_t, 4> counts{};
  for (size_t i = 0; i < file.counts.size() && i < counts.size(); ++i) {
    counts[i] = file.counts[i].ref(const_cast<TableStore&>(store));
  }
  return counts;
}

size_t element_count(const ArraySpec& array, std::span<const uint16_t> counts) {
  size_t n = counts[array.count_field];
  if (array.type == ElemType::kMatrix) n *= counts[array.record_field];
  return n;
}

size_t array_bytes(const ArraySpec& array, std::span<const uint16_t> counts) {
  return element_count(array, counts) * array.width;
}

uint16_t parse_count_field(const char* field) {
  char text[kCountFieldWidth + 1];
  std::memcpy(text, field, kCountFieldWidth);
  text[kCountFieldWidth] = '\0';
  const char* p = text;
  while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\v' || *p == '\f' || *p == '\r') ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  uint32_t value = 0;  // wraps in 32 bits, as the count conversion always did
  while (*p >= '0' && *p <= '9') value = value * 10u + static_cast<uint32_t>(*p++ - '0');
  if (negative) value = 0u - value;
  return static_cast<uint16_t>(value);
}

}  // namespace grouper
