// The explanation of one record: a listener collects what the stages report
// while the record is grouped, then the steps are written out as text or as
// one JSON document, with the table rows they name looked up for the reader.
#include "episode_grouper/explain.h"

#include <array>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

#include "record/line_buffer.h"
#include "engine/grouper.h"
#include "engine/prepared/fixed_ids.h"
#include "engine/prepared/guarded_lookup.h"
#include "engine/prepared/rule_index.h"
#include "engine/prepared/table_set.h"
#include "engine/record_values.h"
#include "output/result_json.h"
#include "output/result_line.h"
#include "record/record_layout.h"

namespace grouper {
namespace {

using episode_grouper::Finding;
using episode_grouper::Result;

// Everything the stages reported, in the order they reported it.
struct Steps : GroupingTrace {
  std::string line;
  RecordValues values;
  AgeSteps age;
  bool before_switch = false;
  struct Lookup {
    int position;
    std::array<char, 5> text;
    int16_t id;
    int flag;
  };
  std::vector<Lookup> lookups;
  struct Rewrite {
    std::array<char, 5> from, to;
    int by;
  };
  std::vector<Rewrite> rewrites;
  struct Removed {
    int position, first;
    int16_t id;
  };
  std::vector<Removed> removed;
  struct Exchange {
    int16_t principal, second;
    size_t row;
  };
  std::vector<Exchange> exchanges;
  struct TableCond {
    int position;
    int16_t code_id;
    size_t row;
    int16_t cond;
  };
  std::vector<TableCond> table_conds;
  int logic_first = kFirstLogicCond;
  uint64_t logic = 0;
  struct NearMiss {
    int32_t rule;
    int slot;
  };
  struct Pass {
    int pass;
    int16_t list;
    int32_t tried, matched;
    std::vector<NearMiss> near_misses;
  };
  std::vector<Pass> passes;
  std::vector<NearMiss> pending_near_misses;
  bool split_done = false;
  int16_t split_adrg = 0;
  int32_t split_row = -1;
  char split = '0';
  bool drg_done = false;
  std::array<char, 5> drg_key{};
  int32_t drg_row = -1;
  struct Ccl {
    int position;
    int16_t id;
    int32_t row, column;
    int16_t level;
  };
  std::vector<Ccl> ccls;
  struct Excluded {
    int position;
    Exclusion cause;
    int by;
  };
  std::vector<Excluded> exclusions;
  bool formula = false;
  std::array<int16_t, 9> sorted{};
  double sum = 0, x = 0;
  int16_t pccl_value = 0;
  bool pccl_split_done = false;
  int32_t pccl_row = -1;
  char pccl_char = '0';
  SupplementaryStep supp_step = SupplementaryStep::kBeforeThreshold;
  int32_t supp_row = -1;
  int supp_value = 0;

  void record(std::string_view l, const RecordValues& v, const AgeSteps& a) override {
    line.assign(l);
    values = v;
    age = a;
  }
  void rule_set(bool before) override { before_switch = before; }
  void lookup(int position, const char* text, int16_t id, int flag) override {
    Lookup l{position, {}, id, flag};
    std::copy_n(text, 5, l.text.begin());
    lookups.push_back(l);
  }
  void rewrite(const char* from, const char* to, int by) override {
    Rewrite r{{}, {}, by};
    std::copy_n(from, 5, r.from.begin());
    std::copy_n(to, 5, r.to.begin());
    rewrites.push_back(r);
  }
  void repeat_removed(int position, int first, int16_t id) override { removed.push_back({position, first, id}); }
  void exchange(int16_t principal, int16_t second, size_t row) override { exchanges.push_back({principal, second, row}); }
  void table_condition(int position, int16_t code_id, size_t row, int16_t cond) override {
    table_conds.push_back({position, code_id, row, cond});
  }
  void logic_conditions(int first_id, uint64_t holding) override {
    logic_first = first_id;
    logic = holding;
  }
  void near_miss(int, int32_t rule, int slot) override { pending_near_misses.push_back({rule, slot}); }
  void rule_pass(int pass, int16_t list, int32_t tried, int32_t matched) override {
    passes.push_back({pass, list, tried, matched, std::move(pending_near_misses)});
    pending_near_misses.clear();
  }
  void age_split(int16_t adrg, int32_t row, char s) override {
    split_done = true;
    split_adrg = adrg;
    split_row = row;
    split = s;
  }
  void drg(const char* key, int32_t row) override {
    drg_done = true;
    std::copy_n(key, 5, drg_key.begin());
    drg_row = row;
  }
  void ccl(int position, int16_t id, int32_t row, int32_t column, int16_t level) override {
    ccls.push_back({position, id, row, column, level});
  }
  void exclusion(int position, Exclusion cause, int by) override { exclusions.push_back({position, cause, by}); }
  void pccl(const std::array<int16_t, 9>& s, double S, double X, int16_t value) override {
    formula = true;
    sorted = s;
    sum = S;
    x = X;
    pccl_value = value;
  }
  void pccl_split(int16_t, int32_t row, char c) override {
    pccl_split_done = true;
    pccl_row = row;
    pccl_char = c;
  }
  void supplementary(SupplementaryStep step, int32_t row, int value) override {
    supp_step = step;
    supp_row = row;
    supp_value = value;
  }
};

// A code text as the reader sees it: its bytes in quotes, with \xNN for
// bytes that do not print.
std::string shown(std::string_view text) {
  std::string out = "\"";
  for (char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += ch;
    } else if (c < 0x20 || c >= 0x7F) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    } else {
      out += ch;
    }
  }
  return out + "\"";
}

std::string_view five(const std::array<char, 5>& text) { return {text.data(), text.size()}; }

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
  char buf[512];
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(buf, sizeof buf, fmt, args);
  va_end(args);
  return buf;
}

// What the text and the JSON writer both need to know about the tables.
class Lookups {
 public:
  explicit Lookups(const TableStore& t) : t_(t) {}

  // The dictionary text of a code id (the first row that holds it), empty
  // for none.
  std::string code_text(bool diagnosis, int16_t id) const {
    const auto& ids = diagnosis ? t_.dx_id : t_.sg_id;
    const auto& codes = diagnosis ? t_.dx_code : t_.sg_code;
    if (id == 0) return "";
    for (size_t r = 1; r < ids.size() && r < codes.size(); ++r) {
      if (ids[r] == id) return std::string(codes[r].data(), codes[r].size());
    }
    return "";
  }
  const TableStore& t() const { return t_; }

 private:
  const TableStore& t_;
};

// The raw text of a field of the record (blanks past its end).
std::string field_text(const std::string& line, size_t offset, size_t width) {
  std::string out(width, ' ');
  for (size_t i = 0; i < width && offset + i < line.size(); ++i) out[i] = line[offset + i];
  return out;
}

// How a digit field read: the value, or why not.
std::string digit_reading(const std::string& text, int32_t value) {
  if (value < 0) return "unreadable (-1)";
  if (text.find_first_not_of(' ') == std::string::npos) return "blank (0)";
  return std::to_string(value);
}

struct Field {
  const char* name;
  size_t offset, width;
  int32_t value;
};

std::vector<Field> fields_of(const Steps& s) {
  const RecordValues& v = s.values;
  return {{"record date", kRecDateOffset, kRecDateWidth, v.rec_date},
          {"birth date", kBirthDateOffset, kBirthDateWidth, 0},
          {"sex and century indicator", kSexOffset, 1, v.sex_cd},
          {"length of stay", kLosOffset, kLosWidth, v.los_dd},
          {"discharge status", kDschOffset, kDschWidth, v.dsch_cd},
          {"birth weight", kBirthWtOffset, kBirthWtWidth, v.birth_wt},
          {"ventilation hours", kVentHrOffset, kVentHrWidth, v.vent_hr}};
}

const char* exclusion_cause(Exclusion cause) {
  switch (cause) {
    case Exclusion::kSex: return "the sex condition";
    case Exclusion::kPrincipal: return "the principal diagnosis";
    case Exclusion::kHighest: return "a diagnosis of highest CCL";
  }
  return "";
}

const char* supplementary_step(SupplementaryStep step) {
  switch (step) {
    case SupplementaryStep::kBeforeThreshold: return "before_threshold";
    case SupplementaryStep::kFirstRowMarker: return "first_row_marker";
    case SupplementaryStep::kRow: return "row";
    case SupplementaryStep::kNoRow: return "no_valid_row";
  }
  return "";
}

// The slots of a rule as text: "must hold 100, 200; must not hold 300".
std::string rule_slots(const RuleSet& set, size_t rule, uint16_t cond_cnt) {
  std::string must, must_not;
  for (int s = 0; s < kRuleSlots; ++s) {
    const int16_t c = set.rule_cond[rule][s];
    if (s < kMustHoldSlots ? c == 0 : (c == cond_cnt || c < 0)) continue;  // empty slots
    std::string& to = s < kMustHoldSlots ? must : must_not;
    if (!to.empty()) to += ", ";
    to += std::to_string(c);
  }
  return "must hold " + (must.empty() ? std::string("-") : must) + "; must not hold " +
         (must_not.empty() ? std::string("-") : must_not);
}

std::string finding_words(const Finding& f) {
  std::string out(episode_grouper::finding_name(f.code));
  if (f.position != 0) out += format(" at position %d", f.position);
  if (f.field != episode_grouper::RecordField::kNone) out += " (" + std::string(field_name(f.field)) + ")";
  const std::string_view text = finding_text(f.text), to = finding_text(f.to);
  if (!text.empty()) out += " " + shown(text);
  if (!to.empty()) out += " to " + shown(to);
  return out;
}

// ---- text ----

std::string as_text(const Steps& s, const Lookups& tables, const Result& r, const TableStore& t) {
  std::string out;
  auto say = [&out](const std::string& text) { out += text + "\n"; };
  const bool ends_in_lf = !s.line.empty() && s.line.back() == '\n';
  say(format("Record: %zu bytes%s", s.line.size(), ends_in_lf ? ", line feed included" : ""));

  say("Values");
  for (const Field& f : fields_of(s)) {
    const std::string text = field_text(s.line, f.offset, f.width);
    std::string reading;
    if (f.offset == kBirthDateOffset) {
      reading = format("born %d (%s)%s", s.age.birth_year, s.age.century, s.age.dates_ok ? "" : "; a date fails the date check");
    } else if (f.offset == kSexOffset) {
      reading = format("sex_cd %d (%s)", f.value, f.value % 2 != 0 ? "odd: male" : "even: female");
    } else {
      reading = digit_reading(text, f.value);
    }
    say(format("  %-26s offset %3zu %s -> %s", f.name, f.offset, shown(text).c_str(), reading.c_str()));
  }
  say(format("  age: %d years, %d days", s.values.age_yy, s.values.age_dd));

  say(format("Rule set: %s, the date text %s is %s \"20050101\"", s.before_switch ? "Tadrg" : "Tadrg1",
             shown(field_text(s.line, kRecDateOffset, kRecDateWidth)).c_str(),
             s.before_switch ? "before" : "not before"));

  say("Codes");
  for (const auto& w : s.rewrites) {
    say(format("  appendicitis: the principal %s becomes %s (procedure at position %d)", shown(five(w.from)).c_str(),
               shown(five(w.to)).c_str(), w.by));
  }
  for (int p = kFirstDx; p <= kLastProc; ++p) {
    std::string tries;
    for (const auto& l : s.lookups) {
      if (l.position != p) continue;
      if (!tries.empty()) tries += ", ";
      tries += shown(five(l.text)) + (l.id == 0 ? " not found" : " id " + std::to_string(l.id));
      if (p <= kLastDx && l.flag != 0) tries += format(" flag %s", shown(std::string(1, static_cast<char>(l.flag))).c_str());
    }
    if (tries.empty()) continue;
    const std::string slot = field_text(s.line, code_offset(p), kCodeWidth);
    int16_t found = 0;
    for (const auto& l : s.lookups) {
      if (l.position == p) found = l.id;  // the last lookup decides
    }
    say(format("  %2d %s %s: %s -> %s", p, p <= kLastDx ? "diagnosis" : "procedure", shown(slot).c_str(),
               tries.c_str(), found == 0 ? "not in the dictionary" : ("code id " + std::to_string(found)).c_str()));
  }
  for (const auto& m : s.removed) {
    say(format("  position %d removed: the same code id %d as position %d", m.position, m.id, m.first));
  }
  for (const auto& e : s.exchanges) {
    say(format("  dagger/asterisk: positions 1 and 2 exchanged, Tdag_ast row %zu pairs code id %d with %d", e.row,
               e.principal, e.second));
  }
  std::string ids;
  for (int p = kFirstDx; p <= kLastProc; ++p) {
    if (r.code_ids[static_cast<size_t>(p)] != 0) ids += format(" %d:%d", p, r.code_ids[static_cast<size_t>(p)]);
  }
  say("  code ids by position:" + (ids.empty() ? std::string(" none") : ids));

  say("Table conditions");
  if (s.table_conds.empty()) say("  none");
  for (const auto& c : s.table_conds) {
    const std::string code = tables.code_text(c.position <= kLastDx, c.code_id);
    say(format("  %4d from position %d (%s, id %d) by Tcode row %zu (valid %" PRId32 "..%" PRId32 ")", c.cond,
               c.position, shown(code).c_str(), c.code_id, c.row, t.code_adpt_fr_dt[c.row], t.code_adpt_to_dt[c.row]));
  }
  say("Logic conditions that hold");
  for (int i = 0; i < 64; ++i) {
    if ((s.logic >> i & 1) == 0) continue;
    const int id = s.logic_first + i;
    say(format("  %4d %s", id, std::string(logic_condition_text(id)).c_str()));
  }
  say(format("  (birth_wt %d, age %d years %d days, los %d, dsch %d, sex_cd %d, vent_hr %d)", s.values.birth_wt,
             s.values.age_yy, s.values.age_dd, s.values.los_dd, s.values.dsch_cd, s.values.sex_cd, s.values.vent_hr));

  const RuleSet& set = s.before_switch ? t.tadrg : t.tadrg1;
  for (const auto& pass : s.passes) {
    say(format("%s pass over the rules of MDC index %d: %d tried", pass.pass == 1 ? "First (MDC)" : "Second (ADRG)",
               pass.list, pass.tried));
    for (const auto& n : pass.near_misses) {
      say(format("  near miss: rule %d failed only on slot %d (%s %d); %s", n.rule, n.slot,
                 n.slot < kMustHoldSlots ? "must hold" : "must not hold",
                 set.rule_cond[static_cast<size_t>(n.rule)][n.slot],
                 rule_slots(set, static_cast<size_t>(n.rule), t.cond_cnt).c_str()));
    }
    if (pass.matched < 0) {
      say("  no rule matched");
      continue;
    }
    const auto i = static_cast<size_t>(pass.matched);
    say(format("  matched rule %d (valid %d..%d; %s): MDC index %d %s, ADRG index %d %s", pass.matched,
               set.rule_adpt_fr_dt[i], set.rule_adpt_to_dt[i], rule_slots(set, i, t.cond_cnt).c_str(), set.rule_mdc[i],
               shown(list_code(t.mdc_code, set.rule_mdc[i])).c_str(), set.rule_adrg[i],
               shown(list_code(t.adrg_code, set.rule_adrg[i])).c_str()));
  }

  if (s.split_done) {
    if (s.split_row < 0) {
      say(format("Age split: no Taadrg row of ADRG index %d valid for age %d: split \"0\"", s.split_adrg, s.values.age_yy));
    } else {
      const auto i = static_cast<size_t>(s.split_row);
      say(format("Age split: Taadrg row %d (ages %d..%d) gives %s", s.split_row, t.split_age_fr[i], t.split_age_to[i],
                 shown(std::string(1, s.split)).c_str()));
    }
  }
  if (s.drg_done) {
    say(format("DRG key %s: %s", shown(five(s.drg_key)).c_str(),
               s.drg_row < 0 ? "not in the DRG list" : ("row " + std::to_string(s.drg_row) + " of the DRG list").c_str()));
  }

  if (r.has_adrg()) {
    say("Complexity");
    for (const auto& c : s.ccls) {
      const std::string code = tables.code_text(true, c.id);
      if (c.row < 0) {
        say(format("  position %d (%s): no valid Tccl row: CCL 0", c.position, shown(code).c_str()));
      } else {
        say(format("  position %d (%s): Tccl row %d, column %d: CCL %d", c.position, shown(code).c_str(), c.row,
                   c.column, c.level));
      }
    }
    for (const auto& e : s.exclusions) {
      say(format("  position %d loses its CCL: %s%s", e.position, exclusion_cause(e.cause),
                 e.cause == Exclusion::kHighest ? format(" at position %d", e.by).c_str() : ""));
    }
    say("  CCLs before the exclusions " + shown(grouper::code_text(r.res_ccl_raw.data(), 10)) + ", after " +
        shown(grouper::code_text(r.res_ccl_excl.data(), 10)));
    if (s.formula) {
      std::string levels;
      for (int16_t c : s.sorted) levels += " " + std::to_string(c);
      say(format("  sorted:%s; S = %.6f; x = %.6f; PCCL %d%s", levels.c_str(), s.sum, s.x, s.pccl_value,
                 s.x >= 5 ? " (capped at 4)" : ""));
    } else {
      say("  no CCL of 1 or more: PCCL 0");
    }
    if (s.pccl_split_done) {
      say(format("  PCCL split: %s gives %s: DRG text %s",
                 s.pccl_row < 0 ? "no valid Tpccl row" : ("Tpccl row " + std::to_string(s.pccl_row)).c_str(),
                 shown(std::string(1, s.pccl_char)).c_str(),
                 shown(grouper::code_text(r.res_drg_code.data(), r.res_drg_code.size())).c_str()));
    }
  }

  switch (s.supp_step) {
    case SupplementaryStep::kBeforeThreshold:
      say(format("Supplementary group: the record date %d is before 20050701: none", s.values.rec_date));
      break;
    case SupplementaryStep::kFirstRowMarker:
      say("Supplementary group: the ADRG's first adrg_ltcdrg row is 0: the fixed group");
      break;
    case SupplementaryStep::kRow:
      say(format("Supplementary group: adrg_ltcdrg row %d holds %d", s.supp_row, t.ltcdrg_ast[static_cast<size_t>(s.supp_row)]));
      break;
    case SupplementaryStep::kNoRow:
      say("Supplementary group: no adrg_ltcdrg row of the ADRG valid on the record date: none");
      break;
  }
  say(format("  value %d: code %s", s.supp_value, shown(episode_grouper::text_of(r.res_ltcdrg_code)).c_str()));

  say(format("Result: MDC %s, ADRG %s, DRG %s, PCCL %s, supplementary %s",
             shown(episode_grouper::text_of(r.mdc_code)).c_str(), shown(episode_grouper::text_of(r.adrg_code)).c_str(),
             r.res_drg != 0 ? shown(grouper::code_text(r.res_drg_code.data(), 6)).c_str() : "none",
             r.has_adrg() ? std::to_string(r.res_pccl).c_str() : "none",
             shown(episode_grouper::text_of(r.res_ltcdrg_code)).c_str()));
  say("Findings");
  if (r.findings.count == 0) say("  none");
  for (size_t i = 0; i < r.findings.count; ++i) say("  " + finding_words(r.findings.items[i]));
  if (r.findings.dropped > 0) say(format("  and %d more", r.findings.dropped));
  return out;
}

// ---- JSON ----

// A JSON document built by appending, commas placed where needed.
class Json {
 public:
  Json& open(char bracket) {
    comma();
    out_ += bracket;
    first_ = true;
    return *this;
  }
  Json& close(char bracket) {
    out_ += bracket;
    first_ = false;
    return *this;
  }
  Json& key(std::string_view name) {
    comma();
    string(name);
    out_ += ':';
    first_ = true;
    return *this;
  }
  Json& str(std::string_view text) {
    comma();
    string(text);
    return *this;
  }
  Json& num(double value) {
    comma();
    out_ += format("%.6f", value);
    return *this;
  }
  Json& num(int64_t value) {
    comma();
    out_ += std::to_string(value);
    return *this;
  }
  Json& boolean(bool value) {
    comma();
    out_ += value ? "true" : "false";
    return *this;
  }
  Json& null() {
    comma();
    out_ += "null";
    return *this;
  }
  // A value already written as JSON.
  Json& raw(std::string_view json) {
    comma();
    out_ += json;
    return *this;
  }
  std::string take() { return std::move(out_); }

 private:
  void comma() {
    if (!first_) out_ += ',';
    first_ = false;
  }
  void string(std::string_view text) {
    std::string buf(2 + 6 * text.size(), '\0');
    buf.resize(static_cast<size_t>(put_json_string(buf.data(), text) - buf.data()));
    out_ += buf;
  }
  std::string out_;
  bool first_ = true;
};

std::string as_json(const Steps& s, const Lookups& tables, const Result& r, const TableStore& t) {
  Json j;
  j.open('{');
  j.key("record").open('{').key("length").num(static_cast<int64_t>(s.line.size()));
  j.key("fields").open('[');
  for (const Field& f : fields_of(s)) {
    j.open('{').key("name").str(f.name).key("offset").num(static_cast<int64_t>(f.offset));
    j.key("text").str(field_text(s.line, f.offset, f.width));
    if (f.offset != kBirthDateOffset) j.key("value").num(int64_t{f.value});
    j.close('}');
  }
  j.close(']');
  j.key("birth_year").num(int64_t{s.age.birth_year}).key("century").str(s.age.century);
  j.key("dates_ok").boolean(s.age.dates_ok);
  j.key("age_yy").num(int64_t{s.values.age_yy}).key("age_dd").num(int64_t{s.values.age_dd});
  j.close('}');
  j.key("rule_set").open('{').key("table").str(s.before_switch ? "Tadrg" : "Tadrg1");
  j.key("date_text").str(field_text(s.line, kRecDateOffset, kRecDateWidth)).key("switch_date").str("20050101");
  j.close('}');

  j.key("rewrite");
  if (s.rewrites.empty()) j.null();
  for (const auto& w : s.rewrites) {
    j.open('{').key("from").str(five(w.from)).key("to").str(five(w.to)).key("procedure_position").num(int64_t{w.by});
    j.close('}');
  }
  j.key("lookups").open('[');
  for (const auto& l : s.lookups) {
    j.open('{').key("position").num(int64_t{l.position}).key("text").str(five(l.text)).key("id").num(int64_t{l.id});
    if (l.position <= kLastDx) j.key("flag").str(l.flag == 0 ? std::string() : std::string(1, static_cast<char>(l.flag)));
    j.close('}');
  }
  j.close(']');
  j.key("removed").open('[');
  for (const auto& m : s.removed) {
    j.open('{').key("position").num(int64_t{m.position}).key("first_position").num(int64_t{m.first});
    j.key("id").num(int64_t{m.id}).close('}');
  }
  j.close(']');
  j.key("exchange");
  if (s.exchanges.empty()) j.null();
  for (const auto& e : s.exchanges) {
    j.open('{').key("principal").num(int64_t{e.principal}).key("second").num(int64_t{e.second});
    j.key("tdag_ast_row").num(static_cast<int64_t>(e.row)).close('}');
  }
  j.key("code_ids").open('[');
  for (int16_t id : r.code_ids) j.num(int64_t{id});
  j.close(']');

  j.key("table_conditions").open('[');
  for (const auto& c : s.table_conds) {
    j.open('{').key("condition").num(int64_t{c.cond}).key("position").num(int64_t{c.position});
    j.key("code").str(tables.code_text(c.position <= kLastDx, c.code_id)).key("code_id").num(int64_t{c.code_id});
    j.key("tcode_row").num(static_cast<int64_t>(c.row)).close('}');
  }
  j.close(']');
  j.key("logic_conditions").open('[');
  for (int i = 0; i < 64; ++i) {
    if ((s.logic >> i & 1) == 0) continue;
    j.open('{').key("condition").num(int64_t{s.logic_first + i});
    j.key("text").str(logic_condition_text(s.logic_first + i)).close('}');
  }
  j.close(']');

  const RuleSet& set = s.before_switch ? t.tadrg : t.tadrg1;
  auto rule = [&](int32_t i) {
    const auto k = static_cast<size_t>(i);
    j.open('{').key("rule").num(int64_t{i}).key("valid_from").num(int64_t{set.rule_adpt_fr_dt[k]});
    j.key("valid_to").num(int64_t{set.rule_adpt_to_dt[k]});
    j.key("must_hold").open('[');
    for (int s2 = 0; s2 < kMustHoldSlots; ++s2) j.num(int64_t{set.rule_cond[k][s2]});
    j.close(']').key("must_not_hold").open('[');
    for (int s2 = kMustHoldSlots; s2 < kRuleSlots; ++s2) j.num(int64_t{set.rule_cond[k][s2]});
    j.close(']');
    j.key("mdc").num(int64_t{set.rule_mdc[k]}).key("adrg").num(int64_t{set.rule_adrg[k]});
  };
  j.key("passes").open('[');
  for (const auto& pass : s.passes) {
    j.open('{').key("pass").str(pass.pass == 1 ? "mdc" : "adrg").key("list").num(int64_t{pass.list});
    j.key("tried").num(int64_t{pass.tried}).key("matched");
    if (pass.matched < 0) {
      j.null();
    } else {
      rule(pass.matched);
      j.close('}');
    }
    j.key("near_misses").open('[');
    for (const auto& n : pass.near_misses) {
      rule(n.rule);
      j.key("failed_slot").num(int64_t{n.slot}).close('}');
    }
    j.close(']').close('}');
  }
  j.close(']');

  j.key("age_split");
  if (!s.split_done) j.null();
  else j.open('{').key("row").num(int64_t{s.split_row}).key("split").str(std::string(1, s.split)).close('}');
  j.key("drg");
  if (!s.drg_done) j.null();
  else j.open('{').key("key").str(five(s.drg_key)).key("row").num(int64_t{s.drg_row}).close('}');

  j.key("complexity");
  if (!r.has_adrg()) {
    j.null();
  } else {
    j.open('{').key("ccls").open('[');
    for (const auto& c : s.ccls) {
      j.open('{').key("position").num(int64_t{c.position}).key("code_id").num(int64_t{c.id});
      j.key("tccl_row").num(int64_t{c.row}).key("column").num(int64_t{c.column}).key("ccl").num(int64_t{c.level});
      j.close('}');
    }
    j.close(']').key("exclusions").open('[');
    for (const auto& e : s.exclusions) {
      j.open('{').key("position").num(int64_t{e.position});
      j.key("cause").str(e.cause == Exclusion::kSex ? "sex" : e.cause == Exclusion::kPrincipal ? "principal" : "highest");
      if (e.cause == Exclusion::kHighest) j.key("by_position").num(int64_t{e.by});
      j.close('}');
    }
    j.close(']');
    j.key("ccl_raw").str(grouper::code_text(r.res_ccl_raw.data(), 10));
    j.key("ccl_excl").str(grouper::code_text(r.res_ccl_excl.data(), 10));
    j.key("sorted");
    if (s.formula) {
      j.open('[');
      for (int16_t c : s.sorted) j.num(int64_t{c});
      j.close(']').key("S").num(s.sum).key("x").num(s.x);
    } else {
      j.null();
    }
    j.key("pccl").num(int64_t{r.res_pccl});
    j.key("pccl_split_row").num(int64_t{s.pccl_row}).key("pccl_split").str(std::string(1, s.pccl_char));
    j.close('}');
  }
  j.key("supplementary").open('{').key("step").str(supplementary_step(s.supp_step));
  j.key("row").num(int64_t{s.supp_row}).key("value").num(int64_t{s.supp_value});
  j.key("code").str(episode_grouper::text_of(r.res_ltcdrg_code)).close('}');

  j.key("result").open('{');
  j.key("mdc").str(episode_grouper::text_of(r.mdc_code)).key("adrg").str(episode_grouper::text_of(r.adrg_code));
  j.key("drg").str(r.res_drg != 0 ? grouper::code_text(r.res_drg_code.data(), 6) : std::string_view{});
  j.key("pccl").num(int64_t{r.res_pccl}).key("supplementary").str(episode_grouper::text_of(r.res_ltcdrg_code));
  j.close('}');
  // The findings as the result rows write them.
  char findings[kMaxJsonRowBytes];
  j.key("findings").raw({findings, static_cast<size_t>(put_json_findings(findings, r.findings) - findings)});
  j.close('}');
  return j.take() + "\n";
}

}  // namespace
}  // namespace grouper

namespace episode_grouper {

std::string explain(const TableSet& tables, std::string_view record, ExplainFormat format, Result* result) {
  const grouper::TableSet& set = tables.engine();
  grouper::Grouper engine(set);
  grouper::Steps steps;
  engine.set_trace(&steps);
  std::string line(grouper::kLineBufferSize, ' ');
  const size_t len = grouper::place_record(record, line.data());
  engine.group(line.data(), len);
  const Result& r = engine.result();
  if (result) *result = r;
  const grouper::Lookups lookups(set.store());
  return format == ExplainFormat::kJson ? grouper::as_json(steps, lookups, r, set.store())
                                        : grouper::as_text(steps, lookups, r, set.store());
}

}  // namespace episode_grouper
