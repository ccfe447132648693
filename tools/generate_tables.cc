// How the synthetic classification hangs together:
//
//   diagnosis category --(principal group condition, positions 1..1)--> first-pass
//   rule of its MDC --> MDC m --> second pass over the rules of m:
//     surgical rules (operating-room procedure groups of m), the "unrelated
//     operating-room procedure" rule (condition 357), medical rules (principal
//     groups of m, newborns by birth weight), and a last rule without
//     conditions that gives the MDC's "other" ADRG.
//
// So an episode whose principal diagnosis carries a group condition always
// ends with an ADRG; codes without one (a few percent, as in real
// classifications) and unknown codes do not group.  Every count stays within
// what its 16-bit fields and 16-bit row ranges can address.
#include "generate_tables.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <stdexcept>
#include <string>

#include "engine/prepared/fixed_ids.h"
#include "generate_random.h"
#include "tables/table_writer.h"

namespace grouper::tools {
namespace {

constexpr int32_t kEver = 20000101;
constexpr int32_t kNever = 99991231;
constexpr int16_t kOrProcedureCond = 357;  // set by every operating-room procedure
constexpr int kMaxRows16 = 32767;          // rows a signed 16-bit range can reach
constexpr int kMaxCount = 65535;
// Built-in logic conditions the rules may add: age, stay, discharge, sex,
// ventilation, and the birth-weight bands of newborns.
constexpr int16_t kRuleLogicConds[] = {800, 802, 803, 816, 817, 819, 820};
constexpr int16_t kBirthWeightBands[] = {797, 795, 792, 793, 794, 798};
// Conditions the built-in procedure-position tests read: operating-room groups.
constexpr int16_t kPositionTestConds[] = {743, 745, 746, 747, 748, 759, 358, 359};

template <size_t N>
std::array<char, N> text(const std::string& s, char pad = ' ') {
  std::array<char, N> out;
  out.fill(pad);
  std::memcpy(out.data(), s.data(), std::min(N, s.size()));
  return out;
}

std::string digits(int value, int width) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%0*d", width, value);
  return buf;
}

// a + b, built by appending: GCC 12 warns falsely (-Wrestrict) on prefix + string&&.
std::string join(std::string a, const std::string& b) {
  a += b;
  return a;
}

struct Rule {
  int slot;
  int16_t mdc, adrg;
  std::vector<int16_t> must, must_not;
  int32_t fr = kEver, to = kNever;
  int sets = 0;  // 0 both, 1 only before 2005 (Tadrg), 2 only from 2005 (Tadrg1)
};

struct Dx {
  std::string code;
  bool end_point;
  int category;
};

class Generator {
 public:
  Generator(const Profile& p, uint64_t seed) : p_(p), rng_(seed) {}

  SyntheticSet run() {
    if (p_.cond_cnt <= kLastLogicCond || p_.mdcs < 5) throw std::invalid_argument("profile too small");
    mdcs();
    conditions();
    diagnoses();
    procedures();
    code_conditions();
    adrgs_and_drgs();
    pccl();
    ccl();
    exclusions();
    dagger_pairs();
    rules();
    supplementary();
    derive_counts(s_);
    s_.ccl_col_cnt = static_cast<uint16_t>(p_.ccl_columns);
    s_.ccl_adrg_cnt = s_.adrg_cnt;
    return SyntheticSet{std::move(s_), std::move(m_)};
  }

 private:
  int16_t take_cond(int16_t pos_fr, int16_t pos_to) {
    if (pool_.empty()) throw std::invalid_argument("profile needs more conditions than cond_cnt");
    int16_t c = pool_.back();
    pool_.pop_back();
    s_.cond_pos_fr[c] = pos_fr;
    s_.cond_pos_to[c] = pos_to;
    return c;
  }
  bool real_mdc(int m) const { return m >= 2 && m < mdc_cnt_; }

  void mdcs() {
    mdc_cnt_ = p_.mdcs + 1;
    newborn_ = static_cast<int16_t>(mdc_cnt_ - 1);
    female_ = mdc_cnt_ - 3;
    male_ = mdc_cnt_ - 4;
    s_.mdc_code.push_back(text<3>("", '\0'));
    s_.mdc_code.push_back(text<3>("PRE"));
    for (int m = 2; m < mdc_cnt_; ++m) s_.mdc_code.push_back(text<3>(join("M", digits(m - 1, 2))));
    m_.newborn_mdc = newborn_;
    m_.principal_by_mdc.resize(mdc_cnt_);
    m_.or_procs_by_mdc.resize(mdc_cnt_);
    m_.mdc_weight.assign(mdc_cnt_, 0);
    for (int m = 2; m < mdc_cnt_; ++m) m_.mdc_weight[m] = m == newborn_ ? 4 : 1 + rng_.below(12);
  }

  void conditions() {
    const int n = p_.cond_cnt;
    s_.cond_type.assign(n, 't');
    s_.cond_pos_fr.assign(n, 1);
    s_.cond_pos_to.assign(n, 46);
    for (int c = kFirstLogicCond; c <= kLastLogicCond; ++c) s_.cond_type[c] = 'l';
    s_.cond_pos_fr[kCondMaleExcluded] = s_.cond_pos_to[kCondMaleExcluded] = 1;
    s_.cond_pos_fr[kCondFemaleExcluded] = s_.cond_pos_to[kCondFemaleExcluded] = 1;
    s_.cond_pos_fr[kOrProcedureCond] = 11;
    std::set<int> reserved = {kOrProcedureCond, kCondMaleExcluded, kCondFemaleExcluded};
    for (int16_t c : kPositionTestConds) reserved.insert(c);
    for (int c = 1; c < n; ++c) {
      if ((c < kFirstLogicCond || c > kLastLogicCond) && !reserved.count(c)) pool_.push_back(static_cast<int16_t>(c));
    }
    rng_.shuffle(pool_);
    // The procedure-position test conditions go first into the operating-room
    // groups, so the built-in tests 805..815 see real procedures.
    for (int16_t c : kPositionTestConds) {
      if (c < n) pool_.push_back(c);
    }

    principal_groups_.resize(mdc_cnt_);
    or_groups_.resize(mdc_cnt_);
    for (int m = 2; m < mdc_cnt_; ++m) {
      for (int i = 0; i < p_.proc_groups_per_mdc; ++i) or_groups_[m].push_back(take_cond(11, 46));
    }
    for (int i = 0; i < p_.pre_adrgs; ++i) pre_groups_.push_back(take_cond(11, 46));
    for (int m = 2; m < mdc_cnt_; ++m) {
      for (int i = 0; i < p_.groups_per_mdc; ++i) principal_groups_[m].push_back(take_cond(1, 1));
    }
    for (int i = 0; i < p_.secondary_conds; ++i) secondary_conds_.push_back(take_cond(2, 10));
    for (int i = 0; i < p_.any_dx_conds; ++i) any_dx_conds_.push_back(take_cond(1, 10));
    for (int i = 0; i < p_.other_proc_conds; ++i) other_proc_conds_.push_back(take_cond(11, 46));
  }

  int category_mdc(char letter, int number) {
    if (letter == 'P') return newborn_;
    const int plain = mdc_cnt_ - 3;  // real MDCs other than the newborns
    return 2 + ((letter - 'A') * 3 + number / 34) % plain;
  }

  void add_category(char letter, int number, int shape) {
    const std::string base = join(std::string(1, letter), digits(number, 2));
    const int cat = static_cast<int>(category_mdc_.size());
    category_mdc_.push_back(category_mdc(letter, number));
    const int mdc = category_mdc_.back();
    category_group_.push_back(rng_.percent(6) ? 0 : rng_.pick(principal_groups_[mdc]));
    category_sex_.push_back(mdc == female_ && rng_.percent(70) ? 'F' : mdc == male_ && rng_.percent(70) ? 'M' : ' ');
    if (shape == 0) {
      dxs_.push_back({base, true, cat});
      return;
    }
    dxs_.push_back({base, false, cat});
    for (int d = 0; d <= 9; ++d) {
      if (d != 0 && !rng_.percent(55)) continue;
      const std::string four = base + static_cast<char>('0' + d);
      if (shape == 2 && d != 0 && rng_.percent(50)) {
        dxs_.push_back({four, false, cat});
        for (int e = 0; e <= 9; ++e) {
          if (e == 0 || rng_.percent(45)) dxs_.push_back({four + static_cast<char>('0' + e), true, cat});
        }
      } else {
        dxs_.push_back({four, true, cat});
      }
    }
  }

  void diagnoses() {
    std::vector<std::pair<char, int>> categories;
    for (char letter = 'A'; letter <= 'Z'; ++letter) {
      if (letter == 'U') continue;  // kept free: codes that no dictionary holds
      for (int number = 0; number < 100; ++number) {
        if (!(letter == 'K' && number == 35)) categories.push_back({letter, number});
      }
    }
    rng_.shuffle(categories);
    add_category('K', 35, 1);  // appendicitis: completed by the procedures of the rewrite
    for (const auto& [letter, number] : categories) {
      if (static_cast<int>(dxs_.size()) >= p_.dx_codes) break;
      const uint32_t r = rng_.below(100);
      add_category(letter, number, r < 25 ? 0 : r < 85 ? 1 : 2);
    }
    if (dxs_.size() >= kMaxRows16) throw std::invalid_argument("too many diagnosis codes");

    // Ids in creation order from 1; dictionary rows sorted by code from row 1.
    const size_t n = dxs_.size() + 1;
    std::vector<int16_t> order(dxs_.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = static_cast<int16_t>(i + 1);
    std::sort(order.begin(), order.end(),
              [&](int16_t a, int16_t b) { return dxs_[a - 1].code < dxs_[b - 1].code; });
    s_.dx_code = {text<5>("", '\0')};
    s_.dx_id = {0};
    for (int16_t id : order) {
      s_.dx_code.push_back(text<5>(dxs_[id - 1].code));
      s_.dx_id.push_back(id);
    }
    s_.dx_flag.assign(n, 'n');
    m_.dx_text.assign(n, text<5>(""));
    m_.dx_short.assign(n, text<5>(""));
    m_.dx_sex.assign(n, ' ');
    category_ids_.resize(category_mdc_.size());
    std::map<std::string, int16_t> by_code;
    for (size_t i = 0; i < dxs_.size(); ++i) by_code[dxs_[i].code] = static_cast<int16_t>(i + 1);
    for (size_t i = 0; i < dxs_.size(); ++i) {
      const auto id = static_cast<int16_t>(i + 1);
      const Dx& d = dxs_[i];
      s_.dx_flag[id] = d.end_point ? 'y' : 'n';
      m_.dx_text[id] = text<5>(d.code);
      m_.dx_sex[id] = category_sex_[d.category];
      category_ids_[d.category].push_back(id);
      if (!d.end_point) continue;
      m_.secondary.push_back(id);
      const int group = category_group_[d.category];
      (group ? m_.principal_by_mdc[category_mdc_[d.category]] : m_.ungroupable).push_back(id);
      // A short form the completion resolves back to this very code.
      const std::string shorter = d.code.substr(0, d.code.size() - 1);
      if (d.code.size() == 4 && d.code.back() == '0' && !by_code.count(d.code + "0")) {
        auto it = by_code.find(shorter);
        if (it != by_code.end() && !dxs_[it->second - 1].end_point &&
            !by_code.count(shorter + "00")) {
          m_.dx_short[id] = text<5>(shorter);
        }
      } else if (d.code.size() == 5 && d.code.back() == '0') {
        m_.dx_short[id] = text<5>(shorter);
      }
    }
  }

  void procedures() {
    const char kLetters[] = {'M', 'N', 'P', 'Q', 'R', 'S', 'T', 'V', 'X'};
    std::set<std::string> codes = {"Q2850", "Q2861", "Q2862"};
    while (static_cast<int>(codes.size()) < p_.procs) {
      codes.insert(join(std::string(1, kLetters[rng_.below(sizeof kLetters)]), digits(rng_.between(0, 9999), 4)));
    }
    if (codes.size() >= kMaxRows16) throw std::invalid_argument("too many procedures");
    // Ids in random order, rows sorted by code (a std::set is).
    std::vector<std::string> by_id(codes.begin(), codes.end());
    rng_.shuffle(by_id);
    std::map<std::string, int16_t> id_of;
    for (size_t i = 0; i < by_id.size(); ++i) id_of[by_id[i]] = static_cast<int16_t>(i + 1);
    s_.sg_code = {text<5>("", '\0')};
    s_.sg_id = {0};
    for (const auto& [code, id] : id_of) {
      s_.sg_code.push_back(text<5>(code));
      s_.sg_id.push_back(id);
    }
    m_.proc_text.assign(by_id.size() + 1, text<5>(""));
    proc_kind_.assign(by_id.size() + 1, 0);
    proc_mdc_.assign(by_id.size() + 1, 0);
    const int appendix_mdc = category_mdc('K', 35);
    for (size_t i = 0; i < by_id.size(); ++i) {
      const auto id = static_cast<int16_t>(i + 1);
      m_.proc_text[id] = text<5>(by_id[i]);
      const bool appendix = by_id[i] == "Q2850" || by_id[i] == "Q2861" || by_id[i] == "Q2862";
      const uint32_t r = rng_.below(100);
      if (appendix || r < 40) {
        proc_kind_[id] = 1;  // operating room, of one MDC
        proc_mdc_[id] = appendix ? appendix_mdc : 2 + static_cast<int>(rng_.below(static_cast<uint32_t>(mdc_cnt_ - 2)));
        m_.or_procs_by_mdc[proc_mdc_[id]].push_back(id);
      } else if (r < 43) {
        proc_kind_[id] = 2;  // pre-MDC: transplants, long ventilation
        proc_mdc_[id] = 1;
        m_.or_procs_by_mdc[1].push_back(id);
      } else {
        m_.other_procs.push_back(id);
      }
    }
  }

  // Tcode: two or three conditions per code, diagnosis keys then procedure
  // keys in one row space.
  void code_conditions() {
    const size_t dx_n = s_.dx_code.size();
    const size_t sg_n = s_.sg_code.size();
    long budget = kMaxCount - 2 * static_cast<long>(dx_n + sg_n);  // room for third rows
    auto row = [&](int16_t cond, uint8_t kind, int32_t fr = kEver, int32_t to = kNever) {
      s_.code_row_kind.push_back(kind);
      s_.code_adpt_fr_dt.push_back(fr);
      s_.code_adpt_to_dt.push_back(to);
      s_.code_cond.push_back(cond);
    };
    auto dated_row = [&](int16_t cond, uint8_t kind) {
      const uint32_t r = rng_.below(100);
      if (r < 4) return row(cond, kind, 20050101, kNever);  // new in 2005
      if (r < 7) return row(cond, kind, kEver, 20041231);   // withdrawn in 2005
      row(cond, kind);
    };
    auto secondary_cond = [&] {
      return rng_.percent(60) ? rng_.pick(secondary_conds_) : rng_.pick(any_dx_conds_);
    };
    s_.dx_cond_fr.assign(dx_n, 0);
    s_.dx_cond_to.assign(dx_n, 0);
    for (size_t id = 1; id < dx_n; ++id) {
      s_.dx_cond_fr[id] = static_cast<int32_t>(s_.code_cond.size());
      const Dx& d = dxs_[id - 1];
      int rows = 0;
      if (int16_t g = static_cast<int16_t>(category_group_[d.category])) row(g, 'd'), ++rows;
      if (m_.dx_sex[id] == 'F') row(kCondMaleExcluded, 'd'), ++rows;
      if (m_.dx_sex[id] == 'M') row(kCondFemaleExcluded, 'd'), ++rows;
      int16_t first = 0;
      while (rows < 2) {
        int16_t c = secondary_cond();
        if (c == first) continue;
        first = c;
        dated_row(c, 'd'), ++rows;
      }
      if (rows < 3 && budget > 0 && rng_.percent(45)) dated_row(secondary_cond(), 'd'), --budget;
      s_.dx_cond_to[id] = static_cast<int32_t>(s_.code_cond.size());
    }
    s_.sg_cond_fr.assign(sg_n, static_cast<int32_t>(s_.code_cond.size()));
    s_.sg_cond_to.assign(sg_n, static_cast<int32_t>(s_.code_cond.size()));
    for (size_t id = 1; id < sg_n; ++id) {
      s_.sg_cond_fr[id] = static_cast<int32_t>(s_.code_cond.size());
      const int kind = proc_kind_[id];
      if (kind == 0) {
        const int16_t a = rng_.pick(other_proc_conds_);
        int16_t b = rng_.pick(other_proc_conds_);
        if (b == a) b = rng_.pick(other_proc_conds_);
        row(a, 'p'), dated_row(b, 'p');
        if (budget > 0 && rng_.percent(30)) row(rng_.pick(other_proc_conds_), 'p'), --budget;
      } else {
        const auto& groups = kind == 2 ? pre_groups_ : or_groups_[proc_mdc_[id]];
        row(kOrProcedureCond, 'p');
        row(rng_.pick(groups), 'p');
        if (budget > 0 && rng_.percent(30)) row(rng_.pick(groups), 'p'), --budget;
      }
      s_.sg_cond_to[id] = static_cast<int32_t>(s_.code_cond.size());
    }
  }

  void adrgs_and_drgs() {
    s_.adrg_code = {text<4>("", '\0')};
    surgical_.resize(mdc_cnt_);
    medical_.resize(mdc_cnt_);
    adrg_mdc_ = {0};
    auto add = [&](int m, int i) {
      adrg_mdc_.push_back(m);
      s_.adrg_code.push_back(text<4>(join(std::string(1, static_cast<char>('A' + m - 1)), digits(10 * (i + 1), 3))));
      return static_cast<int16_t>(s_.adrg_code.size() - 1);
    };
    for (int i = 0; i < p_.pre_adrgs; ++i) pre_adrgs_.push_back(add(1, i));
    const int real = mdc_cnt_ - 2;
    const int per = std::max(4, (p_.adrgs - p_.pre_adrgs) / real);
    for (int m = 2; m < mdc_cnt_; ++m) {
      const int n = per + (m - 2 < (p_.adrgs - p_.pre_adrgs) % real ? 1 : 0);
      const int surgical = std::max(2, n * 35 / 100);
      for (int i = 0; i < n; ++i) (i < surgical ? surgical_[m] : medical_[m]).push_back(add(m, i));
    }

    // Age splits: every ADRG covers every age (negative ones included), so a
    // grouped record always finds its DRG.
    struct Band {
      int16_t fr, to;
      char code;
    };
    static const std::vector<Band> kSplits[4] = {
        {{-32768, 32767, 'Z'}},
        {{-32768, 17, 'A'}, {18, 32767, 'B'}},
        {{-32768, 0, 'A'}, {1, 17, 'B'}, {18, 32767, 'C'}},
        {{-32768, 5, 'A'}, {6, 17, 'B'}, {18, 64, 'C'}, {65, 32767, 'D'}},
    };
    s_.drg_code = {text<5>("", '\0')};
    s_.adrg_split_fr.assign(s_.adrg_code.size(), 0);
    s_.adrg_split_to.assign(s_.adrg_code.size(), 0);
    for (size_t a = 1; a < s_.adrg_code.size(); ++a) {
      const uint32_t r = rng_.below(100);
      const int k = adrg_mdc_[a] == newborn_ ? 0 : r < 15 ? 0 : r < 40 ? 1 : r < 70 ? 2 : 3;
      s_.adrg_split_fr[a] = static_cast<int16_t>(s_.split_code.size());
      for (const Band& b : kSplits[k]) {
        s_.split_age_fr.push_back(b.fr);
        s_.split_age_to.push_back(b.to);
        s_.split_adpt_fr_dt.push_back(kEver);
        s_.split_adpt_to_dt.push_back(kNever);
        s_.split_code.push_back(static_cast<uint8_t>(b.code));
        Code5 drg;
        std::memcpy(drg.data(), s_.adrg_code[a].data(), 4);
        drg[4] = b.code;
        s_.drg_code.push_back(drg);
      }
      s_.adrg_split_to[a] = static_cast<int16_t>(s_.split_code.size());
    }
  }

  void pccl() {
    static const char* kSplitStrings[] = {"00000", "01234", "00112", "01122",
                                          "00011", "01233", "00123", "01111"};
    for (const char* t : kSplitStrings) s_.pccl_split.push_back(text<5>(t));
    const auto strings = static_cast<uint32_t>(std::size(kSplitStrings));
    auto row = [&](int32_t fr, int32_t to) {
      s_.pccl_adpt_fr_dt.push_back(fr);
      s_.pccl_adpt_to_dt.push_back(to);
      s_.pccl_split_row.push_back(static_cast<int16_t>(rng_.below(strings)));
    };
    s_.drg_pccl_fr.assign(s_.drg_code.size(), 0);
    s_.drg_pccl_to.assign(s_.drg_code.size(), 0);
    for (size_t d = 1; d < s_.drg_code.size(); ++d) {
      s_.drg_pccl_fr[d] = static_cast<int16_t>(s_.pccl_split_row.size());
      if (rng_.percent(10)) {
        row(kEver, 20050630);
        row(20050701, kNever);
      } else {
        row(kEver, kNever);
      }
      s_.drg_pccl_to[d] = static_cast<int16_t>(s_.pccl_split_row.size());
    }
  }

  void ccl() {
    const size_t width = s_.adrg_code.size();
    const int cols = p_.ccl_columns;
    s_.ccl_matrix.assign(static_cast<size_t>(cols) * width, '0');
    for (int y = 1; y < cols; ++y) {
      const uint32_t r = rng_.below(100);
      const int base = r < 35 ? 1 : r < 70 ? 2 : r < 92 ? 3 : 4;
      for (size_t x = 1; x < width; ++x) {
        const int level = std::clamp(base + static_cast<int>(rng_.below(4)) - 1, 0, 4);
        s_.ccl_matrix[static_cast<size_t>(y) * width + x] = static_cast<uint8_t>('0' + level);
      }
    }
    const size_t n = s_.dx_code.size();
    s_.dx_ccl_fr.assign(n, 0);
    s_.dx_ccl_to.assign(n, 0);
    auto row = [&](int32_t fr, int32_t to, int16_t col) {
      s_.ccl_adpt_fr_dt.push_back(fr);
      s_.ccl_adpt_to_dt.push_back(to);
      s_.ccl_col.push_back(col);
    };
    for (size_t id = 1; id < n; ++id) {
      s_.dx_ccl_fr[id] = static_cast<int16_t>(s_.ccl_col.size());
      const bool with_level = s_.dx_flag[id] == 'y' && rng_.percent(38) && cols > 1;
      if (!with_level) {
        row(kEver, kNever, 0);
      } else {
        m_.with_ccl.push_back(static_cast<int16_t>(id));
        auto col = [&] { return static_cast<int16_t>(rng_.between(1, cols - 1)); };
        if (rng_.percent(5)) {
          row(kEver, 20041231, col());
          row(20050101, kNever, col());
        } else {
          row(kEver, kNever, col());
        }
      }
      s_.dx_ccl_to[id] = static_cast<int16_t>(s_.ccl_col.size());
    }
  }

  // Tccedit: lists of 20 to 60 diagnoses that cancel a diagnosis's level:
  // its own category first, then related codes.
  void exclusions() {
    const size_t n = s_.dx_code.size();
    std::vector<int16_t> keys = m_.with_ccl;
    rng_.shuffle(keys);
    keys.resize(std::min(keys.size(), static_cast<size_t>(p_.ccx_lists)));
    std::sort(keys.begin(), keys.end());
    s_.ccx_fr.assign(n, 0);
    s_.ccx_to.assign(n, 0);
    size_t k = 0;
    for (size_t id = 0; id < n; ++id) {
      s_.ccx_fr[id] = static_cast<int32_t>(s_.ccx_dx.size());
      if (k < keys.size() && keys[k] == static_cast<int16_t>(id)) {
        ++k;
        const size_t want = static_cast<size_t>(rng_.between(20, 60));
        if (s_.ccx_dx.size() + want <= kMaxCount) {
          std::set<int16_t> list;
          for (int16_t other : category_ids_[dxs_[id - 1].category]) {
            if (list.size() < want) list.insert(other);
          }
          while (list.size() < want) list.insert(static_cast<int16_t>(rng_.between(1, static_cast<int>(n) - 1)));
          s_.ccx_dx.insert(s_.ccx_dx.end(), list.begin(), list.end());
        }
      }
      s_.ccx_to[id] = static_cast<int32_t>(s_.ccx_dx.size());
    }
  }

  void dagger_pairs() {
    const size_t n = s_.dx_code.size();
    std::vector<int16_t> keys = m_.secondary;
    rng_.shuffle(keys);
    keys.resize(std::min(keys.size(), static_cast<size_t>(p_.dag_keys)));
    std::sort(keys.begin(), keys.end());
    s_.dag_ast_fr.assign(n, 0);
    s_.dag_ast_to.assign(n, 0);
    size_t k = 0;
    for (size_t id = 0; id < n; ++id) {
      s_.dag_ast_fr[id] = static_cast<int32_t>(s_.dag_ast.size());
      if (k < keys.size() && keys[k] == static_cast<int16_t>(id)) {
        ++k;
        const int partners = rng_.between(1, 3);
        for (int i = 0; i < partners; ++i) {
          s_.dag_adpt_fr_dt.push_back(kEver);
          s_.dag_adpt_to_dt.push_back(kNever);
          s_.dag_ast.push_back(rng_.pick(m_.secondary));
        }
      }
      s_.dag_ast_to[id] = static_cast<int32_t>(s_.dag_ast.size());
    }
  }

  // Variant rules carry a second condition, sometimes a dated window, and a
  // few of them belong to one rule set only.
  void vary(Rule& r) {
    const uint32_t w = rng_.below(100);
    if (w < 3) r.fr = 20050701;
    const uint32_t s = rng_.below(100);
    r.sets = s < 2 ? 1 : s < 4 ? 2 : 0;
  }

  int16_t logic_cond() {
    return kRuleLogicConds[rng_.below(static_cast<uint32_t>(std::size(kRuleLogicConds)))];
  }

  void rules() {
    std::vector<Rule> all;
    // First pass: pre-MDC procedures, then multi-condition rules, then the
    // principal groups of every MDC.
    for (size_t i = 0; i < pre_adrgs_.size(); ++i) {
      all.push_back({1, 1, pre_adrgs_[i], {pre_groups_[i], 821}, {}});
      all.push_back({1, 1, pre_adrgs_[i], {pre_groups_[i], 800}, {822}});
      all.push_back({1, 1, pre_adrgs_[i], {pre_groups_[i]}, {}});
    }
    all.push_back({1, 1, pre_adrgs_.back(), {821, 820}, {}});
    for (int i = 0; i < p_.special_rules; ++i) {
      const int m = 2 + static_cast<int>(rng_.below(static_cast<uint32_t>(mdc_cnt_ - 3)));
      Rule r{1, static_cast<int16_t>(m), rng_.pick(medical_[m]),
             {rng_.pick(any_dx_conds_), rng_.pick(secondary_conds_)}, {}};
      if (rng_.percent(50)) r.must_not.push_back(rng_.pick(secondary_conds_));
      vary(r);
      all.push_back(r);
    }
    std::vector<std::map<int16_t, int16_t>> medical_of(mdc_cnt_);
    for (int m = 2; m < mdc_cnt_; ++m) {
      for (size_t i = 0; i < principal_groups_[m].size(); ++i) {
        const int16_t g = principal_groups_[m][i];
        medical_of[m][g] = medical_[m][i % (medical_[m].size() - 1)];
        all.push_back({1, static_cast<int16_t>(m), medical_of[m][g], {g}, {}});
      }
    }
    // Second pass, MDC by MDC.
    for (int m = 2; m < mdc_cnt_; ++m) {
      const auto mdc = static_cast<int16_t>(m);
      const auto& surg = surgical_[m];
      const auto& med = medical_[m];
      const int fixed = static_cast<int>(or_groups_[m].size() + principal_groups_[m].size()) + 2;
      const int variants = std::max(0, p_.rules_per_mdc - fixed);
      const int surgical_variants = variants * 2 / 5;
      for (int i = 0; i < surgical_variants; ++i) {
        Rule r{m, mdc, surg[rng_.below(static_cast<uint32_t>(surg.size() - 1))],
               {rng_.pick(or_groups_[m]), rng_.percent(50) ? rng_.pick(secondary_conds_) : logic_cond()},
               {}};
        if (rng_.percent(40)) r.must_not.push_back(rng_.pick(or_groups_[m]));
        vary(r);
        all.push_back(r);
      }
      for (size_t i = 0; i < or_groups_[m].size(); ++i) {
        all.push_back({m, mdc, surg[i % (surg.size() - 1)], {or_groups_[m][i]}, {}});
      }
      all.push_back({m, mdc, surg.back(), {kOrProcedureCond}, {}});  // unrelated operating-room procedure
      const int medical_variants = variants - surgical_variants;
      for (int i = 0; i < medical_variants; ++i) {
        const int16_t g = rng_.pick(principal_groups_[m]);
        const int16_t extra = m == newborn_ ? kBirthWeightBands[i % std::size(kBirthWeightBands)]
                              : rng_.percent(50) ? rng_.pick(secondary_conds_)
                                                 : logic_cond();
        Rule r{m, mdc, med[rng_.below(static_cast<uint32_t>(med.size()))], {g, extra}, {}};
        if (rng_.percent(30)) r.must_not.push_back(rng_.pick(secondary_conds_));
        vary(r);
        all.push_back(r);
      }
      for (const int16_t g : principal_groups_[m]) {
        all.push_back({m, mdc, medical_of[m][g], {g}, {kOrProcedureCond}});
      }
      all.push_back({m, mdc, med.back(), {}, {}});  // everything else of the MDC
    }

    for (int set_index : {1, 2}) {
      RuleSet& set = set_index == 1 ? s_.tadrg : s_.tadrg1;
      set.mdc_rule_fr.assign(mdc_cnt_, 0);
      set.mdc_rule_to.assign(mdc_cnt_, 0);
      for (int slot = 0; slot < mdc_cnt_; ++slot) {
        set.mdc_rule_fr[slot] = static_cast<int16_t>(set.rule_cond.size());
        for (const Rule& r : all) {
          if (r.slot != slot || (r.sets != 0 && r.sets != set_index)) continue;
          RuleConds conds{};
          std::copy(r.must.begin(), r.must.end(), conds.begin());
          std::copy(r.must_not.begin(), r.must_not.end(), conds.begin() + 10);
          set.rule_adpt_fr_dt.push_back(r.fr);
          set.rule_adpt_to_dt.push_back(r.to);
          set.rule_cond.push_back(conds);
          set.rule_mdc.push_back(r.mdc);
          set.rule_adrg.push_back(r.adrg);
        }
        set.mdc_rule_to[slot] = static_cast<int16_t>(set.rule_cond.size());
      }
      if (set.rule_cond.size() > kMaxRows16) throw std::invalid_argument("too many rules");
    }
  }

  void supplementary() {
    s_.ltc_drg_code.push_back(text<4>("", '\0'));
    s_.ltc_drg_idx.push_back(0);
    for (int g = 1; g <= 19; ++g) {
      s_.ltc_drg_code.push_back(text<4>(join("LC", digits(g, 2))));
      s_.ltc_drg_idx.push_back(static_cast<int16_t>(g));
    }
    // Row 0 is a placeholder: a first row of 0 marks an ADRG without rows.
    auto row = [&](int32_t fr, int32_t to, int16_t value) {
      s_.ast_adpt_fr_dt.push_back(fr);
      s_.ast_adpt_to_dt.push_back(to);
      s_.ltcdrg_ast.push_back(value);
    };
    row(0, 0, 0);
    const size_t n = s_.adrg_code.size();
    s_.adrg_ast_fr.assign(n, 1);
    s_.adrg_ast_to.assign(n, 1);  // ADRG 0 (no ADRG): an empty range, no group
    auto group = [&] { return static_cast<int16_t>(rng_.between(1, 19)); };
    for (size_t a = 1; a < n; ++a) {
      const uint32_t r = rng_.below(100);
      const auto first = static_cast<int16_t>(s_.ltcdrg_ast.size());
      if (r < 8) {
        s_.adrg_ast_fr[a] = 0;  // the fixed group
        s_.adrg_ast_to[a] = 0;
        continue;
      }
      if (r < 68) {
        row(20050701, kNever, group());
      } else if (r < 88) {
        row(20050701, 20051231, group());
        row(20060101, kNever, group());
      }
      s_.adrg_ast_fr[a] = first;
      s_.adrg_ast_to[a] = static_cast<int16_t>(s_.ltcdrg_ast.size());
    }
  }

  const Profile& p_;
  Rng rng_;
  TableStore s_;
  EpisodeModel m_;

  int mdc_cnt_ = 0;
  int16_t newborn_ = 0;
  int female_ = 0, male_ = 0;
  std::vector<int16_t> pool_;
  std::vector<std::vector<int16_t>> principal_groups_, or_groups_;
  std::vector<int16_t> pre_groups_, secondary_conds_, any_dx_conds_, other_proc_conds_;
  std::vector<Dx> dxs_;
  std::vector<int> category_mdc_, category_group_;
  std::vector<char> category_sex_;
  std::vector<std::vector<int16_t>> category_ids_;
  std::vector<int> proc_kind_, proc_mdc_;
  std::vector<int16_t> pre_adrgs_;
  std::vector<int> adrg_mdc_;  // by ADRG index
  std::vector<std::vector<int16_t>> surgical_, medical_;
};

}  // namespace

SyntheticSet generate_tables(const Profile& profile, uint64_t seed) {
  return Generator(profile, seed).run();
}

}  // namespace grouper::tools
