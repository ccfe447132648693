// Table sets that break the invariants the loader does not check: ranges
// past their row counts, negative ranges, condition ids past the catalogue,
// rule MDC indices past the MDC slots, ADRG indices past the ADRG list,
// dictionary ids past the dictionary, counts larger than their arrays.
// Grouping many varied records over each must complete with a defined result
// (under the sanitizer build, without a read or write outside an array).
#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "engine/grouping_fixture.h"
#include "tables/load_plan.h"

namespace grouper {
namespace {

using testing::Episode;
using testing::TableBuilder;

const std::vector<std::string> kDx = {"A0100", "A02", "B2010", "C123", "K35", "K350", "K359", "E1100", "G0100"};
const std::vector<std::string> kProc = {"P0100", "P0200", "Q2850", "Q2861", "P0300", "P0400"};

// A small but complete table set: every table has rows, so that every stage
// has something to read.
TableBuilder rich_tables() {
  TableBuilder b;
  std::vector<int16_t> dx, proc;
  for (size_t i = 0; i < kDx.size(); ++i) dx.push_back(b.dx(kDx[i], i % 2 == 0));
  for (const auto& p : kProc) proc.push_back(b.proc(p));
  for (size_t i = 0; i < dx.size(); ++i) {
    b.dx_cond(dx[i], static_cast<int16_t>(100 + i));
    b.dx_cond(dx[i], 373);
  }
  for (size_t i = 0; i < proc.size(); ++i) {
    b.proc_cond(proc[i], 357);
    b.proc_cond(proc[i], static_cast<int16_t>(200 + i));
    b.proc_cond(proc[i], 621);
  }
  b.dag(dx[7], dx[8]);
  b.dag(dx[0], dx[2]);
  const int16_t m2 = b.mdc("M02");
  const int16_t m3 = b.mdc("M03");
  std::vector<int16_t> adrg;
  for (const char* code : {"X010", "X020", "X030"}) adrg.push_back(b.adrg(code));
  b.rule(rule_def(1, m2, adrg[0], {100}));
  b.rule(rule_def(1, m3, adrg[1], {200}, {101}));
  b.rule(rule_def(1, m3, adrg[2]));
  b.rule(rule_def(m2, m2, adrg[1], {102}));
  b.rule(rule_def(m3, m3, adrg[0], {783}));
  for (int16_t a : adrg) {
    b.split(a, 0, 17, 'C');
    b.split(a, 18, 200, 'A');
  }
  for (const char* code : {"X010C", "X010A", "X0200", "X020A", "X030C"}) b.pccl(b.drg(code), "ABCDE");
  b.ccl_columns(3);
  b.ccl_level(1, adrg[0], 2);
  b.ccl_level(2, adrg[1], 4);
  for (size_t i = 1; i < dx.size(); ++i) b.dx_ccl(dx[i], static_cast<int16_t>(i % 3));
  b.ccx(dx[1], {dx[0], dx[2]});
  b.ltc_row(adrg[0], 3);
  b.ltc_fixed(adrg[1]);
  return b;
}

// Varied records: codes of the tables, short and lower-case codes, unknown
// codes, blanks and stray bytes in every field.
class RecordSource {
 public:
  explicit RecordSource(unsigned seed) : rng_(seed) {}

  std::string next() {
    static const char* kDates[] = {"20041231", "20050101", "20050301", "        ", "2005x101", "99999999"};
    static const char kSexes[] = {'1', '2', '3', '5', ' ', '/', 'x'};
    Episode e;
    e.date(kDates[pick(6)]).sex(kSexes[pick(7)]).birth(pick(2) ? "800101" : "0a1399");
    e.los(pick(2) ? "003" : "1-1").dsch(static_cast<char>('0' + pick(6)));
    e.birth_wt(pick(2) ? "01200" : "40000").vent_hr(pick(2) ? "00100" : "  x  ");
    for (int p = 1; p <= 46; ++p) {
      const bool dx = p <= 10;
      switch (pick(6)) {
        case 0:
        case 1:
          e.at(code_offset(p), pad(dx ? kDx[pick(kDx.size())] : kProc[pick(kProc.size())]));
          break;
        case 2:
          e.at(code_offset(p), pad(lower(dx ? kDx[pick(kDx.size())] : kProc[pick(kProc.size())])));
          break;
        case 3: {
          std::string junk(5, ' ');
          for (char& c : junk) c = static_cast<char>(pick(256));
          e.at(code_offset(p), junk);
          break;
        }
        default:
          break;  // blank
      }
    }
    return e.str();
  }

 private:
  size_t pick(size_t n) { return rng_() % n; }
  static std::string pad(std::string s) { return s.append(5 - s.size(), ' '); }
  static std::string lower(std::string s) {
    for (char& c : s) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return s;
  }
  std::mt19937 rng_;
};

// Groups `count` records over `store` and checks what every result must be
// whatever the tables hold.  Returns the number of records given an ADRG.
int group_many(const TableStore& store, int count, unsigned seed = 7) {
  PreparedSet g_set(store);
  Engine g(g_set);
  RecordSource source(seed);
  int with_adrg = 0;
  for (int i = 0; i < count; ++i) {
    std::string line = source.next();
    EXPECT_EQ(g.group(line.data(), line.size()), 0);
    const Result& r = g.result();
    EXPECT_GE(r.res_drg, 0);
    EXPECT_LT(static_cast<size_t>(r.res_drg), std::max<size_t>(store.drg_code.size(), 1));
    if (r.res_adrg == 0) {
      EXPECT_EQ(r.res_drg, 0);
      EXPECT_EQ(r.res_split, '0');
    }
    EXPECT_EQ(g.cond_val(0), 1);
    EXPECT_EQ(g.cond_val(store.cond_cnt), 0);
    if (::testing::Test::HasFailure()) break;
    with_adrg += r.res_adrg != 0;
  }
  return with_adrg;
}

class BrokenTablesTest : public ::testing::Test {
 protected:
  TableStore normalised(const std::function<void(TableStore&)>& breakage) {
    TableStore s = rich_tables().build();
    breakage(s);
    normalize_rules(s);
    return s;
  }
};

TEST_F(BrokenTablesTest, TheIntactSetGroupsRecords) {
  EXPECT_GT(group_many(normalised([](TableStore&) {}), 2000), 100) << "the records should reach the later stages";
}

TEST_F(BrokenTablesTest, RangesPastTheirRowCounts) {
  TableStore s = normalised([](TableStore& t) {
    for (auto& to : t.dx_cond_to) to = 30000;
    for (auto& to : t.sg_cond_to) to += 1000;
    for (auto& to : t.dag_ast_to) to = 40000;
    for (auto& to : t.adrg_split_to) to = 32000;
    for (RuleSet* set : {&t.tadrg, &t.tadrg1}) {
      for (auto& to : set->mdc_rule_to) to = 32767;
    }
  });
  group_many(s, 3000);
}

TEST_F(BrokenTablesTest, NegativeRanges) {
  TableStore s = normalised([](TableStore& t) {
    for (auto& fr : t.dx_cond_fr) fr = -5;
    for (auto& fr : t.sg_cond_fr) fr = -2147483647 - 1;
    for (auto& fr : t.dag_ast_fr) fr = -100;
    for (auto& fr : t.adrg_split_fr) fr = -32768;
    for (RuleSet* set : {&t.tadrg, &t.tadrg1}) {
      for (auto& fr : set->mdc_rule_fr) fr = -3;
    }
  });
  group_many(s, 3000);
}

TEST_F(BrokenTablesTest, ConditionIdsOutsideTheCatalogue) {
  TableStore s = normalised([](TableStore& t) {
    const int16_t bad[] = {0, -1, static_cast<int16_t>(t.cond_cnt), 30000, -32768};
    for (size_t j = 0; j < t.code_cond.size(); ++j) {
      if (j % 2 == 0) t.code_cond[j] = bad[j / 2 % 5];
    }
    for (RuleSet* set : {&t.tadrg, &t.tadrg1}) {
      for (auto& conds : set->rule_cond) conds[1] = 31000;
    }
  });
  EXPECT_EQ(group_many(s, 3000), 0) << "a must-hold id past the catalogue never holds";
}

TEST_F(BrokenTablesTest, ConditionIdsOfRulesThatWereNotNormalised) {
  TableStore s = rich_tables().build();
  for (RuleSet* set : {&s.tadrg, &s.tadrg1}) {
    for (auto& conds : set->rule_cond) conds[15] = -9;
  }
  group_many(s, 1000);
}

TEST_F(BrokenTablesTest, ConditionPositionWindowsOfAnyValue) {
  TableStore s = normalised([](TableStore& t) {
    for (size_t c = 0; c < t.cond_pos_fr.size(); ++c) {
      t.cond_pos_fr[c] = static_cast<int16_t>(c % 3 == 0 ? -32768 : 40);
      t.cond_pos_to[c] = static_cast<int16_t>(c % 2 == 0 ? 32767 : 0);
    }
  });
  group_many(s, 2000);
}

TEST_F(BrokenTablesTest, RuleMdcIndicesPastTheMdcSlots) {
  TableStore s = normalised([](TableStore& t) {
    for (RuleSet* set : {&t.tadrg, &t.tadrg1}) {
      for (size_t i = 0; i < set->rule_mdc.size(); ++i) set->rule_mdc[i] = i % 2 ? 30000 : -3;
    }
  });
  PreparedSet g_set(s);
  Engine g(g_set);
  std::string line = Episode().dx(1, "A0100").str();
  ASSERT_EQ(g.group(line.data(), line.size()), 0);
  EXPECT_EQ(g.result().res_mdc, -3) << "the first rule matches; its MDC has no rules of its own";
  EXPECT_EQ(g.result().res_adrg, 1);
  group_many(s, 3000);
}

TEST_F(BrokenTablesTest, FirstPassSlotMissing) {
  TableStore s = normalised([](TableStore& t) {
    t.tadrg.mdc_slot_cnt = 1;
    t.tadrg.mdc_rule_fr.resize(1);
    t.tadrg.mdc_rule_to.resize(1);
    t.tadrg1.mdc_slot_cnt = 0;
    t.tadrg1.mdc_rule_fr.clear();
    t.tadrg1.mdc_rule_to.clear();
  });
  EXPECT_EQ(group_many(s, 1000), 0);
}

TEST_F(BrokenTablesTest, AdrgIndicesPastTheAdrgList) {
  TableStore s = normalised([](TableStore& t) {
    for (RuleSet* set : {&t.tadrg, &t.tadrg1}) {
      for (size_t i = 0; i < set->rule_adrg.size(); ++i) set->rule_adrg[i] = i % 2 ? 32767 : -1;
    }
  });
  PreparedSet g_set(s);
  Engine g(g_set);
  std::string line = Episode().dx(1, "A0100").str();
  ASSERT_EQ(g.group(line.data(), line.size()), 0);
  EXPECT_EQ(g.result().res_adrg, -1);
  EXPECT_EQ(g.result().res_split, '0') << "no split rows, no code, no DRG";
  EXPECT_EQ(g.result().res_drg, 0);
  group_many(s, 3000);
}

TEST_F(BrokenTablesTest, SplitTableShorterThanTheAdrgList) {
  TableStore s = normalised([](TableStore& t) {
    t.split_key_cnt = 2;
    t.adrg_split_fr.resize(2);
    t.adrg_split_to.resize(2);
    t.split_row_cnt = 1;
  });
  group_many(s, 2000);
}

TEST_F(BrokenTablesTest, DictionaryIdsPastTheDictionary) {
  TableStore s = normalised([](TableStore& t) {
    for (size_t r = 1; r < t.dx_id.size(); ++r) t.dx_id[r] = r % 2 ? 32000 : -7;
    for (size_t r = 1; r < t.sg_id.size(); ++r) t.sg_id[r] = r % 2 ? 32767 : -32768;
  });
  PreparedSet g_set(s);
  Engine g(g_set);
  std::string line = Episode().dx(1, "B2010").str();
  ASSERT_EQ(g.group(line.data(), line.size()), 0);
  EXPECT_NE(g.code_ids()[1], 0) << "the id is taken as the dictionary holds it";
  group_many(s, 3000);
}

TEST_F(BrokenTablesTest, CountsLargerThanTheirArrays) {
  TableStore s = normalised([](TableStore& t) {
    t.dx_cnt = t.sg_cnt = 65535;
    t.drg_cnt = 65535;
    t.code_row_cnt = t.dag_row_cnt = t.split_row_cnt = 65535;
    t.code_dx_key_cnt = t.code_sg_key_cnt = t.dag_key_cnt = t.split_key_cnt = 65535;
    for (RuleSet* set : {&t.tadrg, &t.tadrg1}) set->rule_cnt = set->mdc_slot_cnt = 65535;
  });
  EXPECT_GT(group_many(s, 2000), 100);
}

TEST_F(BrokenTablesTest, EveryArrayByteRandom) {
  // Whatever bytes the arrays hold, at the sizes their counts give.  The
  // catalogue types stay valid in most rounds, so that the later stages run.
  std::mt19937 rng(2005);
  for (int round = 0; round < 30; ++round) {
    TableStore s = normalised([&](TableStore& t) {
      const std::vector<uint8_t> types = t.cond_type;
      for (const FileSpec& file_spec : load_plan()) {
        std::array<uint16_t, 4> counts{};
        for (size_t i = 0; i < file_spec.counts.size(); ++i) counts[i] = file_spec.counts[i].ref(t);
        for (const ArraySpec& a : file_spec.arrays) {
          for (std::byte& byte : a.resize(t, element_count(a, counts))) byte = static_cast<std::byte>(rng());
        }
      }
      if (round % 5 != 0) t.cond_type = types;
    });
    PreparedSet g_set(s);
    Engine g(g_set);
    RecordSource source(static_cast<unsigned>(round));
    for (int i = 0; i < 300; ++i) {
      std::string line = source.next();
      const int rc = g.group(line.data(), line.size());
      ASSERT_EQ(rc, round % 5 != 0 ? 0 : g.group(line.data(), line.size()));
      ASSERT_EQ(g.cond_val(0), 1);
    }
  }
}

TEST_F(BrokenTablesTest, EmptyTables) {
  TableStore s = normalised([](TableStore& t) {
    t.dx_code.clear();
    t.dx_id.clear();
    t.dx_flag.clear();
    t.dx_cnt = 0;
    t.drg_code.clear();
    t.drg_cnt = 0;
    t.code_cond.clear();
    t.dag_ast.clear();
    t.split_code.clear();
  });
  group_many(s, 1000);
}

}  // namespace
}  // namespace grouper
