// Workload: run once per table set; a realistic set has some 60,000 rows per
// large table, so every check is a linear walk (sorting only where a set of
// codes is needed).  Messages are built only for the findings that print.
#include "verify_checks.h"

#include <algorithm>
#include <array>
#include <set>
#include <string>
#include <unordered_set>

#include "engine/prepared/fixed_ids.h"
#include "engine/prepared/guarded_lookup.h"
#include "record/record_layout.h"
#include "rows_once.h"

namespace grouper::tools {
namespace {


using S = Severity;
using std::to_string;

std::string range_text(int64_t fr, int64_t to) { return to_string(fr) + ".." + to_string(to); }

template <class T>
const T* at(const std::vector<T>& v, int64_t i) {
  return i >= 0 && static_cast<uint64_t>(i) < v.size() ? &v[static_cast<size_t>(i)] : nullptr;
}

class Checker {
 public:
  Checker(const TableStore& s, Report& r) : s_(s), r_(r) {}

  void run() {
    dictionaries();
    code_lists();
    dagger_pairs();
    catalogue();
    code_conditions();
    rule_set("Tadrg", s_.tadrg);
    rule_set("Tadrg1", s_.tadrg1);
    age_splits();
    ccl();
    pccl();
    exclusions();
    supplementary();
  }

 private:
  // (fr[k], to[k]) for every key k: a range with rows must lie within 0..rows;
  // an empty range changes nothing but should still lie there and not run
  // backwards.
  template <class Int>
  void ranges(std::string_view file, std::string_view fr_name, std::string_view to_name,
              const std::vector<Int>& fr, const std::vector<Int>& to, int64_t rows,
              std::string_view rows_name, bool zero_marks_no_rows = false) {
    const size_t keys = std::min(fr.size(), to.size());
    for (size_t k = 0; k < keys; ++k) {
      const int64_t f = fr[k];
      const int64_t t = to[k];
      if (zero_marks_no_rows && f == 0) continue;
      auto rt = [&] { return "rows " + range_text(f, t) + " (" + std::string(to_name) + ")"; };
      if (f < t) {
        if (f < 0) {
          r_.add(S::kOutside, file, fr_name, "range below 0", static_cast<int64_t>(k),
                 [&] { return rt() + " start below row 0"; });
        } else if (t > rows) {
          r_.add(S::kOutside, file, fr_name, "range past rows", static_cast<int64_t>(k), [&] {
            return rt() + " go past " + std::string(rows_name) + " " + to_string(rows);
          });
        }
      } else if (f > t) {
        r_.add(S::kIrregular, file, fr_name, "range backwards", static_cast<int64_t>(k),
               [&] { return rt() + " end before they start; the key has no rows"; });
      } else if (f < 0 || f > rows) {
        r_.add(S::kIrregular, file, fr_name, "empty range outside", static_cast<int64_t>(k), [&] {
          return "empty range at row " + to_string(f) + " lies outside 0.." + std::string(rows_name) +
                 " " + to_string(rows);
        });
      }
    }
  }

  void windows(std::string_view file, std::string_view fr_name, const std::vector<int32_t>& fr,
               const std::vector<int32_t>& to) {
    const size_t n = std::min(fr.size(), to.size());
    for (size_t j = 0; j < n; ++j) {
      if (fr[j] > to[j]) {
        r_.add(S::kIrregular, file, fr_name, "empty window", static_cast<int64_t>(j), [&] {
          return "validity window " + to_string(fr[j]) + ".." + to_string(to[j]) +
                 " is empty; the row never applies";
        });
      }
    }
  }

  // 0 <= v[i] < end for every element: an index the grouping reads through.
  template <class Int>
  void indices(Severity sev, std::string_view file, std::string_view array,
               const std::vector<Int>& v, int64_t first, int64_t end, std::string_view what) {
    for (size_t i = 0; i < v.size(); ++i) {
      const int64_t x = v[i];
      if (x < first || x >= end) {
        r_.add(sev, file, array, "index outside", static_cast<int64_t>(i), [&] {
          return to_string(x) + " is not " + std::string(what) + " (" + to_string(first) + ".." +
                 to_string(end - 1) + ")";
        });
      }
    }
  }

  // ---- Tdx.idx, Tsg.idx
  void dictionary(std::string_view file, std::string_view code_name, std::string_view id_name,
                  const std::vector<Code5>& codes, const std::vector<int16_t>& ids, int64_t cnt) {
    for (size_t r = 1; r < codes.size(); ++r) {
      const Code5& c = codes[r];
      if (std::any_of(c.begin(), c.end(), [](char ch) { return ch >= 'a' && ch <= 'z'; })) {
        r_.add(S::kWrongResult, file, code_name, "lower case", static_cast<int64_t>(r), [&] {
          return show_text(c.data(), 5) + " holds lower-case letters; lines are upper-cased " +
                 "before the lookup, so it is never found";
        });
      }
      if (r < 2) continue;
      const int order = compare_code5(codes[r - 1].data(), c.data());
      if (order >= 0) {
        r_.add(S::kWrongResult, file, code_name, "not ascending", static_cast<int64_t>(r), [&] {
          return show_text(c.data(), 5) +
                 (order == 0 ? " repeats the code of the row before"
                             : " is below the code of the row before, " + show_text(codes[r - 1].data(), 5)) +
                 "; the search may miss codes";
        });
      }
    }
    indices(S::kOutside, file, id_name, ids, 0, cnt, "a code id of the dictionary");
  }

  void dictionaries() {
    dictionary("Tdx.idx", "dx_code", "dx_id", s_.dx_code, s_.dx_id, s_.dx_cnt);
    dictionary("Tsg.idx", "sg_code", "sg_id", s_.sg_code, s_.sg_id, s_.sg_cnt);
    if (const uint8_t* f = at(s_.dx_flag, 0); f && *f == 'y') {
      r_.add(S::kWrongResult, "Tdx.idx", "dx_flag", "flag of id 0", 0, [] {
        return std::string("code id 0 is marked \"y\"; a failed lookup would be accepted as a ") +
               "completed short code";
      });
    }
  }

  // ---- Tmdc.idx, Tadrg.idx, Taadrg.idx
  void code_lists() {
    const Code5* row0 = at(s_.drg_code, 0);
    if (!row0) return;
    for (size_t a = 1; a < s_.adrg_code.size(); ++a) {
      if (std::equal(s_.adrg_code[a].begin(), s_.adrg_code[a].end(), row0->begin())) {
        r_.add(S::kWrongResult, "Taadrg.idx", "drg_code", "row 0 producible", 0, [&] {
          return show_text(row0->data(), 5) + " begins with the code of ADRG " + to_string(a) +
                 "; the DRG lookup stops at row 0 and leaves such records without a DRG";
        });
        break;
      }
    }
  }

  // ---- Tdag_ast
  void dagger_pairs() {
    ranges("Tdag_ast", "dag_ast_fr", "dag_ast_to", s_.dag_ast_fr, s_.dag_ast_to, s_.dag_row_cnt,
           "dag_row_cnt");
    const int32_t* f0 = at(s_.dag_ast_fr, 0);
    const int32_t* t0 = at(s_.dag_ast_to, 0);
    if (f0 && t0 && *f0 < *t0) {
      r_.add(S::kWrongResult, "Tdag_ast", "dag_ast_fr", "key 0 has rows", 0, [] {
        return std::string("code id 0 has pair rows; a record without a principal diagnosis ") +
               "would be exchanged";
      });
    }
    windows("Tdag_ast", "dag_adpt_fr_dt", s_.dag_adpt_fr_dt, s_.dag_adpt_to_dt);
    indices(S::kIrregular, "Tdag_ast", "dag_ast", s_.dag_ast, 1, s_.dx_cnt,
            "a diagnosis code id; the row never applies, it");
  }

  // ---- Tcond.idx
  void catalogue() {
    const int64_t n = s_.cond_cnt;
    if (n <= kLastLogicCond) {
      r_.add(S::kOutside, "Tcond.idx", "cond_cnt", "too few", -1, [&] {
        return "is " + to_string(n) + "; the built-in logic conditions " + to_string(kFirstLogicCond) +
               ".." + to_string(kLastLogicCond) + " need at least " + to_string(kLastLogicCond + 1);
      });
    }
    if (n > 32767) {
      r_.add(S::kOutside, "Tcond.idx", "cond_cnt", "too many", -1, [&] {
        return "is " + to_string(n) + "; condition ids, cond_cnt included, must fit in 16 bits " +
               "(at most 32767)";
      });
    }
    for (size_t k = 1; k < s_.cond_type.size(); ++k) {
      const bool logic = k >= kFirstLogicCond && k <= kLastLogicCond;
      const uint8_t want = logic ? 'l' : 't';
      if (s_.cond_type[k] != want) {
        r_.add(S::kStopsRun, "Tcond.idx", "cond_type", "type", static_cast<int64_t>(k), [&] {
          return "is " + show_byte(s_.cond_type[k]) + " where " +
                 (logic ? "a built-in logic condition needs \"l\"" : "a table condition needs \"t\"") +
                 "; the run stops at the first record";
        });
      }
    }
    for (int c : {kCondMaleExcluded, kCondFemaleExcluded}) {
      const int16_t* fr = at(s_.cond_pos_fr, c);
      const int16_t* to = at(s_.cond_pos_to, c);
      if (fr && to && (*fr != 1 || *to != 1)) {
        r_.add(S::kWrongResult, "Tcond.idx", "cond_pos_fr", "sex condition window", c, [&] {
          return "positions " + range_text(*fr, *to) + "; the sex check of the CCLs needs 1..1";
        });
      }
    }
  }

  // ---- Tcode
  void code_rows(const std::vector<int32_t>& fr, const std::vector<int32_t>& to, int first_pos,
                 int last_pos, std::string_view kind) {
    const size_t keys = std::min(fr.size(), to.size());
    RowsOnce rows(s_.code_cond.size());
    for (size_t k = 0; k < keys; ++k) {
      rows.visit(fr[k], to[k], [&](size_t j) {
        const int16_t c = s_.code_cond[j];
        const int16_t* pf = at(s_.cond_pos_fr, c);
        const int16_t* pt = at(s_.cond_pos_to, c);
        if (!pf || !pt) return;  // reported as an id outside the catalogue
        if (std::max<int>(*pf, first_pos) > std::min<int>(*pt, last_pos)) {
          r_.add(S::kIrregular, "Tcode", "code_cond", "never set", static_cast<int64_t>(j), [&] {
            return "a row of " + std::string(kind) + " id " + to_string(k) + " names condition " +
                   to_string(c) + ", whose positions " + range_text(*pf, *pt) + " hold no " +
                   std::string(kind) + "; the row never sets it";
          });
        }
      });
    }
  }

  void code_conditions() {
    ranges("Tcode", "dx_cond_fr", "dx_cond_to", s_.dx_cond_fr, s_.dx_cond_to, s_.code_row_cnt,
           "code_row_cnt");
    ranges("Tcode", "sg_cond_fr", "sg_cond_to", s_.sg_cond_fr, s_.sg_cond_to, s_.code_row_cnt,
           "code_row_cnt");
    windows("Tcode", "code_adpt_fr_dt", s_.code_adpt_fr_dt, s_.code_adpt_to_dt);
    const int64_t n = s_.cond_cnt;
    for (size_t j = 0; j < s_.code_cond.size(); ++j) {
      const int64_t c = s_.code_cond[j];
      if (c < 0 || c >= n) {
        r_.add(S::kOutside, "Tcode", "code_cond", "index outside", static_cast<int64_t>(j), [&] {
          return to_string(c) + " is not a catalogue condition (1.." + to_string(n - 1) + ")";
        });
      } else if (c == 0) {
        r_.add(S::kIrregular, "Tcode", "code_cond", "condition 0", static_cast<int64_t>(j),
               [] { return std::string("names condition 0, which always holds"); });
      } else if (c >= kFirstLogicCond && c <= kLastLogicCond) {
        r_.add(S::kWrongResult, "Tcode", "code_cond", "logic condition", static_cast<int64_t>(j),
               [&] {
                 return "names the built-in logic condition " + to_string(c) +
                        ", which the codes must not set";
               });
      }
    }
    code_rows(s_.dx_cond_fr, s_.dx_cond_to, 1, kLastDx, "diagnosis");
    code_rows(s_.sg_cond_fr, s_.sg_cond_to, kLastDx + 1, kLastProc, "procedure");
  }

  // ---- Tadrg, Tadrg1
  void rule_set(std::string_view file, const RuleSet& set) {
    if (set.mdc_slot_cnt < 2) {
      r_.add(S::kOutside, file, "mdc_slot_cnt", "too few slots", -1, [&] {
        return "is " + to_string(set.mdc_slot_cnt) + "; the first rule pass reads MDC slot 1";
      });
    }
    ranges(file, "mdc_rule_fr", "mdc_rule_to", set.mdc_rule_fr, set.mdc_rule_to, set.rule_cnt,
           "rule_cnt");
    windows(file, "rule_adpt_fr_dt", set.rule_adpt_fr_dt, set.rule_adpt_to_dt);
    const int64_t n = s_.cond_cnt;
    for (size_t i = 0; i < set.rule_cond.size(); ++i) {
      for (int slot = 0; slot < 20; ++slot) {
        const int64_t c = set.rule_cond[i][static_cast<size_t>(slot)];
        const bool must = slot < 10;
        auto slot_text = [&] {
          return "slot " + to_string(slot) + (must ? " (must hold)" : " (must not hold)") +
                 " names condition " + to_string(c);
        };
        if (c < 0 || c > n) {
          r_.add(S::kOutside, file, "rule_cond", "condition outside", static_cast<int64_t>(i), [&] {
            return slot_text() + ", outside 0.." + to_string(n);
          });
        } else if (c == n) {
          r_.add(must ? S::kWrongResult : S::kIrregular, file, "rule_cond",
                 must ? "always-false must" : "always-false must-not", static_cast<int64_t>(i), [&] {
                   return slot_text() + ", the always-false id cond_cnt" +
                          (must ? "; the rule never matches" : "; an empty slot says the same");
                 });
        }
      }
    }
    const int64_t slots = set.mdc_slot_cnt;
    for (size_t i = 0; i < set.rule_mdc.size(); ++i) {
      const int64_t m = set.rule_mdc[i];
      if (m < 0 || m >= s_.mdc_cnt) {
        r_.add(S::kOutside, file, "rule_mdc", "index outside", static_cast<int64_t>(i), [&] {
          return to_string(m) + " is not an MDC index (0.." + to_string(s_.mdc_cnt - 1) + ")";
        });
      } else if (m >= slots) {
        r_.add(S::kOutside, file, "rule_mdc", "beyond slots", static_cast<int64_t>(i), [&] {
          return "MDC " + to_string(m) + " has no slot among the " + to_string(slots) +
                 " MDC slots of the set; the second pass would read past them";
        });
      }
    }
    indices(S::kOutside, file, "rule_adrg", set.rule_adrg, 0, s_.adrg_cnt, "an ADRG index");
  }

  // ---- Taadrg
  void age_splits() {
    ranges("Taadrg", "adrg_split_fr", "adrg_split_to", s_.adrg_split_fr, s_.adrg_split_to,
           s_.split_row_cnt, "split_row_cnt");
    windows("Taadrg", "split_adpt_fr_dt", s_.split_adpt_fr_dt, s_.split_adpt_to_dt);
    const size_t rows = std::min(s_.split_age_fr.size(), s_.split_age_to.size());
    for (size_t j = 0; j < rows; ++j) {
      if (s_.split_age_fr[j] > s_.split_age_to[j]) {
        r_.add(S::kIrregular, "Taadrg", "split_age_fr", "empty age window", static_cast<int64_t>(j),
               [&] {
                 return "age window " + range_text(s_.split_age_fr[j], s_.split_age_to[j]) +
                        " is empty; the row never applies";
               });
      }
    }
    // Every split of an ADRG should name a DRG the lookup can find.
    std::unordered_set<std::string> drgs;
    for (size_t d = 1; d < s_.drg_code.size(); ++d) drgs.emplace(s_.drg_code[d].data(), 5);
    // The rows of each split byte, in order: an ADRG then costs one search per
    // byte in use, however far its range reaches.
    std::array<std::vector<size_t>, 256> rows_of{};
    for (size_t j = 0; j < s_.split_code.size(); ++j) rows_of[s_.split_code[j]].push_back(j);
    const size_t keys = std::min({s_.adrg_split_fr.size(), s_.adrg_split_to.size(), s_.adrg_code.size()});
    std::vector<bool> seen(s_.split_code.size(), false);
    for (size_t a = 1; a < keys; ++a) {
      const int64_t f = s_.adrg_split_fr[a];
      const int64_t t = s_.adrg_split_to[a];
      if (f >= t) continue;
      for (size_t b = 0; b < rows_of.size(); ++b) {
        const auto& rows = rows_of[b];
        auto it = std::lower_bound(rows.begin(), rows.end(), static_cast<size_t>(std::max<int64_t>(f, 0)));
        if (it == rows.end() || static_cast<int64_t>(*it) >= t) continue;
        const size_t j = *it;  // the first row of this split in the ADRG's range
        std::string key(s_.adrg_code[a].data(), 4);
        key += static_cast<char>(b);
        if (drgs.count(key) || seen[j]) continue;
        seen[j] = true;
        r_.add(S::kWrongResult, "Taadrg", "split_code", "no such DRG", static_cast<int64_t>(j), [&] {
          return "ADRG " + to_string(a) + " with split " + show_byte(static_cast<uint8_t>(b)) +
                 " makes DRG code " + show_text(key.data(), 5) +
                 ", which Taadrg.idx does not hold; such records get no DRG";
        });
      }
    }
  }

  // ---- Tccl
  void ccl() {
    ranges("Tccl", "dx_ccl_fr", "dx_ccl_to", s_.dx_ccl_fr, s_.dx_ccl_to, s_.ccl_row_cnt, "ccl_row_cnt");
    windows("Tccl", "ccl_adpt_fr_dt", s_.ccl_adpt_fr_dt, s_.ccl_adpt_to_dt);
    indices(S::kOutside, "Tccl", "ccl_col", s_.ccl_col, 0, s_.ccl_col_cnt, "a CCL column");
    std::set<int16_t> used(s_.ccl_col.begin(), s_.ccl_col.end());
    const size_t width = s_.ccl_adrg_cnt;
    for (int16_t y : used) {
      if (y < 0 || y >= s_.ccl_col_cnt) continue;
      for (size_t x = 1; x < width; ++x) {
        const size_t i = static_cast<size_t>(y) * width + x;
        if (i >= s_.ccl_matrix.size()) break;
        const uint8_t b = s_.ccl_matrix[i];
        if (b < '0' || b > '9') {
          r_.add(S::kWrongResult, "Tccl", "ccl_matrix", "not a digit", static_cast<int64_t>(i), [&] {
            return "column " + to_string(y) + ", ADRG " + to_string(x) + " holds " + show_byte(b) +
                   ", not a digit";
          });
        }
      }
    }
  }

  // ---- Tpccl
  void pccl() {
    ranges("Tpccl", "drg_pccl_fr", "drg_pccl_to", s_.drg_pccl_fr, s_.drg_pccl_to, s_.pccl_row_cnt,
           "pccl_row_cnt");
    windows("Tpccl", "pccl_adpt_fr_dt", s_.pccl_adpt_fr_dt, s_.pccl_adpt_to_dt);
    indices(S::kOutside, "Tpccl", "pccl_split_row", s_.pccl_split_row, 0, s_.pccl_split_cnt,
            "a split string");
  }

  // ---- Tccedit
  void exclusions() {
    if (s_.ccx_cnt < s_.dx_cnt) {
      r_.add(S::kOutside, "Tccedit", "ccx_cnt", "keys missing", -1, [&] {
        return "is " + to_string(s_.ccx_cnt) + " for " + to_string(s_.dx_cnt) +
               " diagnosis code ids; ids " + range_text(s_.ccx_cnt, s_.dx_cnt - 1) + " have no list";
      });
    }
    ranges("Tccedit", "ccx_fr", "ccx_to", s_.ccx_fr, s_.ccx_to, s_.ccx_row_cnt, "ccx_row_cnt");
    indices(S::kWrongResult, "Tccedit", "ccx_dx", s_.ccx_dx, 1, s_.dx_cnt, "a diagnosis code id");
    // Rows where the ids step down; a list is out of order when one lies inside it.
    std::vector<size_t> descents;
    for (size_t j = 1; j < s_.ccx_dx.size(); ++j) {
      if (s_.ccx_dx[j] < s_.ccx_dx[j - 1]) descents.push_back(j);
    }
    const size_t keys = std::min(s_.ccx_fr.size(), s_.ccx_to.size());
    for (size_t k = 0; k < keys; ++k) {
      const int64_t f = std::max<int64_t>(s_.ccx_fr[k], 0);
      const int64_t t = std::min<int64_t>(s_.ccx_to[k], static_cast<int64_t>(s_.ccx_dx.size()));
      if (f >= t) continue;
      auto it = std::upper_bound(descents.begin(), descents.end(), static_cast<size_t>(f));
      if (it == descents.end() || static_cast<int64_t>(*it) >= t) continue;
      const size_t j = *it;
      const int16_t prev = s_.ccx_dx[j - 1];
      const int16_t cur = s_.ccx_dx[j];
      r_.add(S::kWrongResult, "Tccedit", "ccx_fr", "not ascending", static_cast<int64_t>(k), [&] {
        return "the list of diagnosis " + to_string(k) + " (rows " + range_text(f, t) +
               ") is not ascending at row " + to_string(j) + " (" + to_string(prev) + ", then " +
               to_string(cur) + "); the exclusion test may miss ids";
      });
    }
  }

  // ---- ltc_drg.idx, adrg_ltcdrg
  void supplementary() {
    if (s_.adrg_ast_cnt < s_.adrg_cnt) {
      r_.add(S::kOutside, "adrg_ltcdrg", "adrg_ast_cnt", "keys missing", -1, [&] {
        return "is " + to_string(s_.adrg_ast_cnt) + " for " + to_string(s_.adrg_cnt) +
               " ADRG indices; ADRGs " + range_text(s_.adrg_ast_cnt, s_.adrg_cnt - 1) + " have no entry";
      });
    }
    ranges("adrg_ltcdrg", "adrg_ast_fr", "adrg_ast_to", s_.adrg_ast_fr, s_.adrg_ast_to, s_.ast_row_cnt,
           "ast_row_cnt", /*zero_marks_no_rows=*/true);
    windows("adrg_ltcdrg", "ast_adpt_fr_dt", s_.ast_adpt_fr_dt, s_.ast_adpt_to_dt);
    bool short_code_seen[kLastGroupIndex + 1] = {};
    for (size_t j = 0; j < s_.ltcdrg_ast.size(); ++j) {
      const int v = s_.ltcdrg_ast[j];
      if (j == 0) continue;  // row 0 never begins a range: a first row of 0 marks no rows
      if (v == kFixedGroup) continue;
      if (v < 1 || v > kLastGroupIndex) {
        r_.add(S::kIrregular, "adrg_ltcdrg", "ltcdrg_ast", "not a group", static_cast<int64_t>(j), [&] {
          return to_string(v) + " is neither a group 1.." + to_string(kLastGroupIndex) + " nor " +
                 to_string(kFixedGroup) + "; it counts as no group";
        });
      } else if (v >= s_.ltc_drg_cnt) {
        r_.add(S::kOutside, "adrg_ltcdrg", "ltcdrg_ast", "group without code", static_cast<int64_t>(j),
               [&] {
                 return "group " + to_string(v) + " has no code: ltc_drg.idx holds rows 0.." +
                        to_string(s_.ltc_drg_cnt - 1);
               });
      } else if (const Code4* code = at(s_.ltc_drg_code, v);
                 code && !short_code_seen[v] &&
                 std::find(code->begin(), code->end(), '\0') != code->end()) {
        short_code_seen[v] = true;
        r_.add(S::kIrregular, "ltc_drg.idx", "ltc_drg_code", "short code", v, [&] {
          return show_text(code->data(), 4) + " of a group in use is shorter than 4 characters";
        });
      }
    }
  }

  const TableStore& s_;
  Report& r_;
};

}  // namespace

void check_tables(const TableStore& store, Report& report) { Checker(store, report).run(); }

}  // namespace grouper::tools
