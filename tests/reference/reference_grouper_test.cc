// The engine against the reference grouping, record by record, on generated
// table sets of every profile, on odd records and on randomly broken sets:
// every field of the result and every finding must be the same.
//
// The number of records follows REFERENCE_GROUPER_RECORDS (the total over
// the suite; 100,000 when unset, a quarter of that in sanitizer builds), so that a local
// run can group a million.  A mismatch prints the set (profile, seed and
// breakage), the record and the first field that differs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "episode_grouper/grouper.h"
#include "episode_grouper/table_set.h"
#include "generate_episodes.h"
#include "generate_profile.h"
#include "generate_random.h"
#include "generate_tables.h"
#include "reference/reference_grouper.h"
#include "support/run_program.h"
#include "tables/load_plan.h"
#include "tables/table_loader.h"
#include "tables/table_writer.h"

#ifndef REFERENCE_GROUPER_SCALE_DOWN
#define REFERENCE_GROUPER_SCALE_DOWN 1
#endif

namespace grouper {
namespace {

namespace eg = episode_grouper;
using tools::Rng;

constexpr long kDefaultRecords = 100000;

// The part of the total that a test of `default_share` records runs.
long records(long default_share) {
  long total = kDefaultRecords / REFERENCE_GROUPER_SCALE_DOWN;
  if (const char* env = std::getenv("REFERENCE_GROUPER_RECORDS")) total = std::atol(env);
  return std::max(1L, default_share * total / kDefaultRecords);
}

// ---------------------------------------------------------------------------
// Showing results.

std::string escaped(std::string_view bytes) {
  std::string out;
  for (char c : bytes) {
    const auto u = static_cast<unsigned char>(c);
    if (u >= 0x20 && u < 0x7F && c != '\\') {
      out += c;
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", u);
      out += hex;
    }
  }
  return out;
}

template <class T>
std::string shown(const T& v) {
  return std::to_string(v);
}
// (Texts are built by appending: GCC 12 warns falsely on some concatenations.)
std::string quoted(std::string_view bytes, char quote) {
  std::string out(1, quote);
  out += escaped(bytes);
  out += quote;
  return out;
}
std::string shown(char c) { return quoted(std::string_view(&c, 1), '\''); }
std::string shown(eg::FindingCode c) { return std::string(eg::finding_name(c)); }
std::string shown(eg::RecordField f) { return quoted(eg::field_name(f), '\''); }
template <size_t N>
std::string shown(const std::array<char, N>& text) {
  return quoted(std::string_view(text.data(), N), '"');
}
template <size_t N>
std::string shown(const std::array<int16_t, N>& values) {
  std::string out = "[";
  for (size_t i = 0; i < N; ++i) {
    if (i > 0) out += ' ';
    out += std::to_string(values[i]);
  }
  out += ']';
  return out;
}

// A result's findings as the result rows name them.
std::string shown(const eg::Findings& findings) {
  std::string out;
  for (size_t i = 0; i < findings.count; ++i) {
    const eg::Finding& f = findings.items[i];
    if (i > 0) out += ' ';
    out += eg::finding_name(f.code);
    if (f.position != 0) {
      out += '@';
      out += std::to_string(f.position);
    }
    if (f.field != eg::RecordField::kNone) {
      out += '@';
      out += eg::field_name(f.field);
    }
    if (f.text[0] != '\0') {
      out += ':';
      out += shown(f.text);
    }
    if (f.to[0] != '\0') {
      out += '>';
      out += shown(f.to);
    }
  }
  if (findings.dropped > 0) {
    out += " and ";
    out += std::to_string(findings.dropped);
    out += " more";
  }
  return out;
}

// The first field in which the two results differ, "" when none does.
std::string difference(const eg::Result& engine, const eg::Result& ref) {
#define SAME(field)                                                                                          \
  if (!(engine.field == ref.field)) {                                                                        \
    return std::string(#field) + ": engine " + shown(engine.field) + ", reference " + shown(ref.field);     \
  }
  SAME(values.rec_date)
  SAME(values.age_yy)
  SAME(values.age_dd)
  SAME(values.sex_cd)
  SAME(values.los_dd)
  SAME(values.dsch_cd)
  SAME(values.birth_wt)
  SAME(values.vent_hr)
  SAME(code_ids)
  SAME(dx_swapped)
  SAME(res_mdc)
  SAME(res_adrg)
  SAME(res_split)
  SAME(res_drg)
  SAME(mdc_code)
  SAME(adrg_code)
  SAME(drg_list_code)
  SAME(pos_ccl)
  SAME(res_pccl)
  SAME(res_drg_code)
  SAME(res_ccl_raw)
  SAME(res_ccl_excl)
  SAME(res_ltcdrg)
  SAME(res_ltcdrg_code)
  SAME(findings.count)
  SAME(findings.dropped)
  for (size_t i = 0; i < engine.findings.count; ++i) {
    SAME(findings.items[i].code)
    SAME(findings.items[i].position)
    SAME(findings.items[i].field)
    SAME(findings.items[i].text)
    SAME(findings.items[i].to)
  }
#undef SAME
  return "";
}

// ---------------------------------------------------------------------------
// A table set opened twice: by the engine, and loaded for the reference.

class Comparison {
 public:
  // Writes `tables` to a fresh directory and opens it both ways; `what`
  // names the set in every failure.
  Comparison(const TableStore& tables, std::string what) : what_(std::move(what)), dir_("reference-grouper") {
    std::string error;
    if (!write_tables(tables, dir_.path(), error)) {
      ADD_FAILURE() << what_ << ": cannot be written: " << error;
      return;
    }
    eg::Status open_error;
    engine_set_ = eg::TableSet::open(dir_.path(), open_error);
    if (!engine_set_) {
      ADD_FAILURE() << what_ << ": the engine does not open it: " << open_error.message;
      return;
    }
    std::string messages;
    if (load_tables(dir_.path(), store_, messages) != kLoadOk) {
      ADD_FAILURE() << what_ << ": does not load";
      engine_set_.reset();
      return;
    }
    engine_ = std::make_unique<eg::Grouper>(engine_set_);
  }

  bool ready() const { return engine_ != nullptr; }

  // Groups `record` both ways; false once a few records differed.
  bool check(std::string_view record, long number) {
    const eg::Result& engine = engine_->group(record);
    const eg::Result ref = reference::group_record(store_, record);
    ++checked_;
    with_drg_ += engine.res_drg != 0;
    const std::string diff = difference(engine, ref);
    if (!diff.empty()) {
      ADD_FAILURE() << what_ << ", record " << number << ": " << diff << "\n  record (" << record.size()
                    << " bytes): \"" << escaped(record) << "\"\n  findings: engine " << shown(engine.findings)
                    << "; reference " << shown(ref.findings);
      ++failures_;
    }
    return failures_ < 3;
  }

  long checked() const { return checked_; }
  long with_drg() const { return with_drg_; }

 private:
  std::string what_;
  testing::ScratchDir dir_;
  std::shared_ptr<const eg::TableSet> engine_set_;
  std::unique_ptr<eg::Grouper> engine_;
  TableStore store_;
  long checked_ = 0;
  long with_drg_ = 0;
  int failures_ = 0;
};

// ---------------------------------------------------------------------------
// Records: generated episodes, some made odd.

struct DigitField {
  size_t at;
  size_t width;
};
constexpr DigitField kDigitFields[] = {{8, 6}, {14, 1}, {21, 8}, {29, 3}, {32, 1}, {263, 5}, {268, 5}};
constexpr size_t kRecordWidth = 273;

class RecordMaker {
 public:
  RecordMaker(const tools::SyntheticSet& set, uint64_t seed)
      : set_(set), maker_(set.model, seed), rng_(seed ^ 0x5eed) {}

  // Episode `number`; `odd_percent` of them changed in one to three odd ways.
  std::string next(long number, uint32_t odd_percent) {
    std::string line(kRecordWidth, ' ');
    maker_.make(static_cast<uint64_t>(number), line.data());
    line += '\n';
    if (rng_.percent(odd_percent)) {
      for (int n = rng_.between(1, 3); n > 0; --n) make_odd(line);
    }
    return line;
  }

 private:
  char any_byte() { return static_cast<char>(rng_.below(256)); }
  char one_of(std::string_view bytes) { return bytes[rng_.below(static_cast<uint32_t>(bytes.size()))]; }
  size_t slot(int position) { return 33 + 5 * static_cast<size_t>(position - 1); }
  // Writes `text` at `at` when the line reaches that far.
  void put(std::string& line, size_t at, std::string_view text) {
    for (size_t i = 0; i < text.size() && at + i < line.size(); ++i) line[at + i] = text[i];
  }

  void make_odd(std::string& line) {
    static const char* const kDates[] = {"20041231", "20050101", "20050630", "20050701", "19991231", "        ",
                                         "2005013 ", "20051301", "20050100", "2005 7 1", "200507O1", "00000000"};
    static const char* const kBirths[] = {"850315", "041220", "001301", "000000", "      ", "5 0101",
                                          "991232", "0a1399", "050229", "000100"};
    static const char* const kProcs[] = {"Q2850", "Q2861", "Q2862", "q2850", "q2861"};
    const DigitField& f = kDigitFields[rng_.below(std::size(kDigitFields))];
    switch (rng_.below(17)) {
      case 0:  // short line, with or without its line feed
        line.resize(rng_.below(kRecordWidth));
        if (rng_.percent(50)) line += '\n';
        break;
      case 1:  // lower case
        for (char& c : line) {
          if (c >= 'A' && c <= 'Z' && rng_.percent(50)) c = static_cast<char>(c - 'A' + 'a');
        }
        break;
      case 2:  // odd bytes in a digit field
        for (size_t i = 0; i < f.width; ++i) {
          if (rng_.percent(40)) put(line, f.at + i, std::string(1, one_of(std::string_view(" x-/9aA\0\xFF+", 11))));
        }
        break;
      case 3:  // a blank field
        put(line, f.at, std::string(f.width, ' '));
        break;
      case 4:  // NUL bytes
        for (int n = rng_.between(1, 3); n > 0; --n) put(line, rng_.below(kRecordWidth), std::string(1, '\0'));
        break;
      case 5: {  // an unknown code
        std::string code(5, ' ');
        for (char& c : code) c = one_of("ABKQUZ0123456789 ");
        put(line, slot(rng_.between(1, 46)), code);
        break;
      }
      case 6: {  // a repeated code
        const int from = rng_.between(1, 46);
        const int to = from <= 10 ? rng_.between(1, 10) : rng_.between(11, 46);
        if (slot(from) + 5 <= line.size()) put(line, slot(to), line.substr(slot(from), 5));
        break;
      }
      case 7: {  // a diagnosis written short
        const size_t kept = rng_.percent(50) ? 3 : 4;
        put(line, slot(rng_.between(1, 10)) + kept, std::string(5 - kept, ' '));
        break;
      }
      case 8:  // the appendicitis rewrite
        put(line, slot(1), rng_.percent(80) ? "K35  " : "k35  ");
        put(line, slot(rng_.between(11, 25)), kProcs[rng_.below(std::size(kProcs))]);
        if (rng_.percent(30)) put(line, slot(rng_.between(11, 25)), kProcs[rng_.below(std::size(kProcs))]);
        break;
      case 9: {  // a long line, up to past what one read takes
        if (!line.empty() && line.back() == '\n') line.pop_back();
        const size_t to = rng_.percent(30) ? 4095 : kRecordWidth + rng_.below(5000);
        while (line.size() < to) line += rng_.percent(90) ? one_of("ABC 0129\r") : any_byte();
        if (rng_.percent(50)) line += '\n';
        break;
      }
      case 10:  // a carriage return before the line feed
        if (!line.empty() && line.back() == '\n') line.insert(line.size() - 1, "\r");
        break;
      case 11: {  // large numbers in the five-digit fields, some past the 16 bits the values keep
        std::string digits = std::to_string(10000 + rng_.below(90000));
        put(line, rng_.percent(50) ? 263 : 268, digits);
        break;
      }
      case 12:  // dates and sex digits of every kind
        put(line, 21, kDates[rng_.below(std::size(kDates))]);
        put(line, 8, kBirths[rng_.below(std::size(kBirths))]);
        put(line, 14, std::string(1, one_of("0123456789 /a\0")));
        break;
      case 13:  // a line feed alone, or nothing
        line = rng_.percent(50) ? "\n" : "";
        break;
      case 14:  // any byte anywhere
        put(line, rng_.below(kRecordWidth), std::string(1, any_byte()));
        break;
      case 15: {  // a dagger code with one of its asterisk partners second
        const TableStore& t = set_.tables;
        const auto& text = set_.model.dx_text;
        if (t.dag_ast.empty() || t.dag_ast_fr.empty()) break;
        const size_t key = rng_.below(static_cast<uint32_t>(std::min(t.dag_ast_fr.size(), text.size())));
        const int32_t row = t.dag_ast_fr[key] + (rng_.percent(50) ? 1 : 0);
        if (row < 0 || static_cast<size_t>(row) >= t.dag_ast.size() || t.dag_ast[row] < 0 ||
            static_cast<size_t>(t.dag_ast[row]) >= text.size()) {
          break;
        }
        put(line, slot(1), std::string_view(text[key].data(), 5));
        put(line, slot(2), std::string_view(text[static_cast<size_t>(t.dag_ast[row])].data(), 5));
        break;
      }
      default:  // discharge status and length of stay of every value
        put(line, 32, std::string(1, static_cast<char>('0' + rng_.below(10))));
        put(line, 29, std::to_string(100 + rng_.below(900)).substr(rng_.below(2)));
        break;
    }
  }

  const tools::SyntheticSet& set_;
  tools::EpisodeMaker maker_;
  Rng rng_;
};

// Groups `count` records of `maker` both ways over `c`.
void compare_records(Comparison& c, RecordMaker& maker, long count, uint32_t odd_percent) {
  for (long i = 1; i <= count; ++i) {
    if (!c.check(maker.next(i, odd_percent), i)) return;
  }
}

void compare_generated(const char* profile, uint64_t seed, long count, uint32_t odd_percent) {
  const tools::SyntheticSet s = tools::generate_tables(*tools::find_profile(profile), seed);
  Comparison c(s.tables, std::string(profile) + " set, seed " + std::to_string(seed));
  ASSERT_TRUE(c.ready());
  RecordMaker maker(s, seed);
  compare_records(c, maker, count, odd_percent);
  std::printf("%s set, seed %llu: %ld records, %ld with a DRG\n", profile, static_cast<unsigned long long>(seed),
              c.checked(), c.with_drg());
  if (odd_percent < 50) {
    EXPECT_GT(c.with_drg(), c.checked() / 2) << "most records should reach the DRG";
  }
}

TEST(ReferenceGrouper, SmallGeneratedSets) {
  for (uint64_t seed = 1; seed <= 4; ++seed) compare_generated("small", seed, records(8000), 10);
}

TEST(ReferenceGrouper, RealisticGeneratedSet) { compare_generated("realistic", 5, records(20000), 10); }

TEST(ReferenceGrouper, HeavyGeneratedSet) { compare_generated("heavy", 7, records(12000), 10); }

TEST(ReferenceGrouper, OddRecords) {
  for (uint64_t seed = 11; seed <= 13; ++seed) compare_generated("small", seed, records(4000), 100);
}

// A five-digit field that holds only digits is readable, whatever its value:
// 40000 is kept as -25536 (the low 16 bits), and the grouping tests that
// value, but the field holds no other bytes than digits.
TEST(ReferenceGrouper, FiveDigitNumbersAbove32767AreNotUnreadable) {
  const tools::SyntheticSet s = tools::generate_tables(*tools::find_profile("small"), 1);
  Comparison c(s.tables, "small set, seed 1");
  ASSERT_TRUE(c.ready());
  std::string line(kRecordWidth, ' ');
  tools::EpisodeMaker(s.model, 1).make(1, line.data());
  line.replace(263, 10, "40000" "99722");
  c.check(line + "\n", 1);
}

// ---------------------------------------------------------------------------
// Broken table sets: contents the loader does not check.  The cross-checked
// counts and the catalogue types stay, so that the engine opens the set.

template <class V>
void each_some(V& v, Rng& rng, const std::function<void(typename V::value_type&)>& change) {
  for (auto& x : v) {
    if (rng.percent(15)) change(x);
  }
}

int16_t odd_id(Rng& rng, int cnt) {
  const int16_t ids[] = {0, -1, static_cast<int16_t>(cnt), static_cast<int16_t>(cnt + 1), INT16_MAX, INT16_MIN,
                         static_cast<int16_t>(rng.below(static_cast<uint32_t>(cnt) + 1))};
  return ids[rng.below(std::size(ids))];
}

struct Breakage {
  const char* name;
  std::function<void(TableStore&, Rng&)> apply;
};

const std::vector<Breakage>& breakages() {
  static const std::vector<Breakage> all = {
      {"range ends past the rows",
       [](TableStore& t, Rng& r) {
         each_some(t.dx_cond_to, r, [&](int32_t& x) { x = r.percent(50) ? INT32_MAX : x + 3; });
         each_some(t.sg_cond_to, r, [&](int32_t& x) { x += 40000; });
         each_some(t.dag_ast_to, r, [&](int32_t& x) { x = 70000; });
         each_some(t.adrg_split_to, r, [&](int16_t& x) { x = INT16_MAX; });
         each_some(t.dx_ccl_to, r, [&](int16_t& x) { x = 32000; });
         each_some(t.drg_pccl_to, r, [&](int16_t& x) { x = 32000; });
         each_some(t.ccx_to, r, [&](int32_t& x) { x = INT32_MAX; });
         each_some(t.adrg_ast_to, r, [&](int16_t& x) { x = INT16_MAX; });
         each_some(t.tadrg1.mdc_rule_to, r, [&](int16_t& x) { x = INT16_MAX; });
       }},
      {"negative range starts",
       [](TableStore& t, Rng& r) {
         each_some(t.dx_cond_fr, r, [&](int32_t& x) { x = INT32_MIN; });
         each_some(t.sg_cond_fr, r, [&](int32_t& x) { x = -5; });
         each_some(t.dag_ast_fr, r, [&](int32_t& x) { x = -100; });
         each_some(t.adrg_split_fr, r, [&](int16_t& x) { x = INT16_MIN; });
         each_some(t.dx_ccl_fr, r, [&](int16_t& x) { x = -3; });
         each_some(t.drg_pccl_fr, r, [&](int16_t& x) { x = -1; });
         each_some(t.ccx_fr, r, [&](int32_t& x) { x = -7; });
         each_some(t.adrg_ast_fr, r, [&](int16_t& x) { x = -2; });
         each_some(t.tadrg.mdc_rule_fr, r, [&](int16_t& x) { x = -3; });
       }},
      {"condition ids outside the catalogue",
       [](TableStore& t, Rng& r) {
         const int n = t.cond_cnt;
         each_some(t.code_cond, r, [&](int16_t& x) { x = odd_id(r, n); });
         for (RuleSet* set : {&t.tadrg, &t.tadrg1}) {
           each_some(set->rule_cond, r, [&](RuleConds& conds) { conds[r.below(20)] = odd_id(r, n); });
         }
       }},
      {"position windows of any value",
       [](TableStore& t, Rng& r) {
         each_some(t.cond_pos_fr, r, [&](int16_t& x) { x = static_cast<int16_t>(r.between(-3, 50)); });
         each_some(t.cond_pos_to, r, [&](int16_t& x) { x = static_cast<int16_t>(r.between(-3, 50)); });
       }},
      {"rule groups outside the lists",
       [](TableStore& t, Rng& r) {
         for (RuleSet* set : {&t.tadrg, &t.tadrg1}) {
           each_some(set->rule_mdc, r, [&](int16_t& x) { x = static_cast<int16_t>(r.between(-3, t.mdc_cnt + 3)); });
           each_some(set->rule_adrg, r, [&](int16_t& x) { x = r.percent(50) ? INT16_MAX : int16_t{-1}; });
           each_some(set->rule_adpt_to_dt, r, [&](int32_t& x) { x = 20050315; });
         }
       }},
      {"dictionary ids outside the dictionaries",
       [](TableStore& t, Rng& r) {
         each_some(t.dx_id, r, [&](int16_t& x) { x = odd_id(r, t.dx_cnt); });
         each_some(t.sg_id, r, [&](int16_t& x) { x = odd_id(r, t.sg_cnt); });
         each_some(t.dx_flag, r, [&](uint8_t& x) { x = r.percent(50) ? 'y' : static_cast<uint8_t>(r.below(256)); });
       }},
      {"dictionaries out of order",
       [](TableStore& t, Rng& r) {
         for (int n = 0; n < 20 && t.dx_code.size() > 2; ++n) {
           std::swap(t.dx_code[r.below(static_cast<uint32_t>(t.dx_code.size()))],
                     t.dx_code[r.below(static_cast<uint32_t>(t.dx_code.size()))]);
           std::swap(t.sg_code[r.below(static_cast<uint32_t>(t.sg_code.size()))],
                     t.sg_code[r.below(static_cast<uint32_t>(t.sg_code.size()))]);
         }
       }},
      {"CCL columns and matrix bytes",
       [](TableStore& t, Rng& r) {
         each_some(t.ccl_col, r, [&](int16_t& x) { x = odd_id(r, t.ccl_col_cnt); });
         each_some(t.ccl_matrix, r, [&](uint8_t& x) { x = static_cast<uint8_t>(r.percent(50) ? '0' + r.below(10) : r.below(256)); });
       }},
      {"PCCL split rows and strings",
       [](TableStore& t, Rng& r) {
         each_some(t.pccl_split_row, r, [&](int16_t& x) { x = odd_id(r, t.pccl_split_cnt); });
         each_some(t.pccl_split, r, [&](Code5& s) { s[r.below(5)] = r.percent(50) ? '\0' : static_cast<char>(r.below(256)); });
       }},
      {"exclusion lists of any order",
       [](TableStore& t, Rng& r) {
         each_some(t.ccx_dx, r, [&](int16_t& x) { x = odd_id(r, t.dx_cnt); });
         each_some(t.ccx_fr, r, [&](int32_t& x) { x = static_cast<int32_t>(r.below(t.ccx_row_cnt + 1u)); });
       }},
      {"supplementary values of any kind",
       [](TableStore& t, Rng& r) {
         const int16_t values[] = {0, 1, 19, 20, 9999, -1, 25, 9998};
         each_some(t.ltcdrg_ast, r, [&](int16_t& x) { x = values[r.below(std::size(values))]; });
         each_some(t.adrg_ast_fr, r, [&](int16_t& x) { x = 0; });
       }},
      {"key counts below the keys",
       [](TableStore& t, Rng& r) {
         t.ccx_fr.resize(r.below(t.ccx_cnt + 1u));
         t.ccx_to.resize(t.ccx_fr.size());
         t.adrg_ast_fr.resize(r.below(t.adrg_ast_cnt + 1u));
         t.adrg_ast_to.resize(t.adrg_ast_fr.size());
         t.tadrg.mdc_rule_fr.resize(r.below(3));
         t.tadrg.mdc_rule_to.resize(t.tadrg.mdc_rule_fr.size());
       }},
      {"row counts below the rows named",
       [](TableStore& t, Rng& r) {
         t.ltc_drg_code.resize(r.below(20));
         t.ltc_drg_idx.resize(t.ltc_drg_code.size());
         t.pccl_split.resize(r.below(t.pccl_split_cnt + 1u));
         t.ccx_dx.resize(r.below(t.ccx_row_cnt + 1u));
         t.ast_adpt_fr_dt.resize(r.below(t.ast_row_cnt + 1u));
         t.ast_adpt_to_dt.resize(t.ast_adpt_fr_dt.size());
         t.ltcdrg_ast.resize(t.ast_adpt_fr_dt.size());
         t.ccl_col_cnt = static_cast<uint16_t>(r.below(t.ccl_col_cnt + 1u));
         t.ccl_matrix.resize(size_t{t.ccl_col_cnt} * t.ccl_adrg_cnt);
       }},
      {"dagger pairs, splits and codes of any value",
       [](TableStore& t, Rng& r) {
         each_some(t.dag_ast, r, [&](int16_t& x) { x = odd_id(r, t.dx_cnt); });
         each_some(t.dag_adpt_fr_dt, r, [&](int32_t& x) { x = 20050601; });
         each_some(t.dag_adpt_to_dt, r, [&](int32_t& x) { x = 20050301; });
         each_some(t.split_adpt_to_dt, r, [&](int32_t& x) { x = 20050301; });
         each_some(t.split_age_fr, r, [&](int16_t& x) { x = static_cast<int16_t>(r.between(-5, 120)); });
         each_some(t.split_code, r, [&](uint8_t& x) { x = static_cast<uint8_t>(r.percent(50) ? 0 : r.below(256)); });
         each_some(t.drg_code, r, [&](Code5& s) { s[r.below(5)] = r.percent(50) ? '\0' : static_cast<char>(r.below(256)); });
         each_some(t.adrg_code, r, [&](Code4& s) { s[r.below(4)] = '\0'; });
         each_some(t.mdc_code, r, [&](Code3& s) { s[r.below(3)] = '\0'; });
       }},
      {"any bytes in some arrays",
       [](TableStore& t, Rng& r) {
         for (const FileSpec& file : load_plan()) {
           const std::array<uint16_t, 4> counts = file_counts(t, file);
           for (const ArraySpec& a : file.arrays) {
             if (a.name == "cond_type" || !r.percent(20)) continue;
             for (std::byte& b : a.resize(t, element_count(a, counts))) {
               if (r.percent(5)) b = static_cast<std::byte>(r.below(256));
             }
           }
         }
       }},
  };
  return all;
}

TEST(ReferenceGrouper, BrokenTableSets) {
  const long per_set = 100;
  const long sets = std::max(1L, records(24000) / per_set);
  const tools::Profile& small = *tools::find_profile("small");
  for (long k = 0; k < sets; ++k) {
    const uint64_t seed = 100 + static_cast<uint64_t>(k);
    tools::SyntheticSet s = tools::generate_tables(small, seed);
    Rng rng(seed);
    std::string what = "small set, seed " + std::to_string(seed) + ", broken:";
    for (int n = rng.between(1, 3); n > 0; --n) {
      const Breakage& b = breakages()[rng.below(static_cast<uint32_t>(breakages().size()))];
      b.apply(s.tables, rng);
      // The counts follow the arrays (the CCL matrix keeps its shape).
      derive_counts(s.tables);
      what += ' ';
      what += b.name;
      what += ';';
    }
    Comparison c(s.tables, what);
    ASSERT_TRUE(c.ready());
    RecordMaker maker(s, seed);
    compare_records(c, maker, per_set, 20);
    if (::testing::Test::HasFailure()) return;
  }
}

}  // namespace
}  // namespace grouper
