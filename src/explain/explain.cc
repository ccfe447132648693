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

#include <nlohmann/json.hpp>

#include "engine/engine.h"
#include "engine/prepared/fixed_ids.h"
#include "engine/prepared/guarded_lookup.h"
#include "engine/prepared/prepared_set.h"
#include "engine/prepared/rule_index.h"
#include "engine/record_values.h"
#include "impact/impact_probe.h"
#include "output/impact_columns.h"
#include "output/json_document.h"
#include "output/result_line.h"
#include "record/line_buffer.h"
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

using Json = nlohmann::ordered_json;

// A number with six decimals ("2.500000"), the form S and x have in the
// document.  The library writes a double in its shortest form ("2.5"), so
// they go in as this text and lose their quotes after the dump
// (unquote_member).
Json six_decimals(double value) { return format("%.6f", value); }

// Takes the quotes off the string value of the member `name`, a name no
// other member of the document has.  The match cannot begin inside a text:
// a quote there is escaped, and no member name ends in one.  The value
// (six_decimals) holds no quote.
void unquote_member(std::string& doc, std::string_view name) {
  const std::string head = "\"" + std::string(name) + "\":\"";
  const size_t at = doc.find(head);
  if (at == std::string::npos) return;
  const size_t open = at + head.size() - 1;
  const size_t close = doc.find('"', open + 1);
  if (close == std::string::npos) return;
  doc.erase(close, 1);
  doc.erase(open, 1);
}

// The findings as the result rows write them (put_json_findings).
Json findings_json(const episode_grouper::Findings& findings) {
  Json out = Json::array();
  for (size_t i = 0; i < findings.count; ++i) {
    const Finding& f = findings.items[i];
    Json finding = {{"code", latin1_json(episode_grouper::finding_name(f.code))}};
    if (f.position != 0) finding["position"] = f.position;
    if (f.field != episode_grouper::RecordField::kNone) finding["field"] = latin1_json(field_name(f.field));
    if (!finding_text(f.text).empty()) finding["text"] = latin1_json(finding_text(f.text));
    if (!finding_text(f.to).empty()) finding["to"] = latin1_json(finding_text(f.to));
    out.push_back(std::move(finding));
  }
  if (findings.dropped > 0) out.push_back({{"code", "more"}, {"count", findings.dropped}});
  return out;
}

std::string as_json(const Steps& s, const Lookups& tables, const Result& r, const TableStore& t) {
  Json doc;
  Json fields = Json::array();
  for (const Field& f : fields_of(s)) {
    Json field = {{"name", f.name},
                  {"offset", f.offset},
                  {"text", latin1_json(field_text(s.line, f.offset, f.width))}};
    if (f.offset != kBirthDateOffset) field["value"] = f.value;
    fields.push_back(std::move(field));
  }
  doc["record"] = {{"length", s.line.size()},         {"fields", std::move(fields)},
                   {"birth_year", s.age.birth_year},  {"century", latin1_json(s.age.century)},
                   {"dates_ok", s.age.dates_ok},      {"age_yy", s.values.age_yy},
                   {"age_dd", s.values.age_dd}};
  doc["rule_set"] = {{"table", s.before_switch ? "Tadrg" : "Tadrg1"},
                     {"date_text", latin1_json(field_text(s.line, kRecDateOffset, kRecDateWidth))},
                     {"switch_date", "20050101"}};

  // The rewrite and the exchange happen once at most: an object or null.
  Json rewrite;
  if (!s.rewrites.empty()) {
    const auto& w = s.rewrites.front();
    rewrite = {{"from", latin1_json(five(w.from))}, {"to", latin1_json(five(w.to))}, {"procedure_position", w.by}};
  }
  doc["rewrite"] = std::move(rewrite);
  Json lookups = Json::array();
  for (const auto& l : s.lookups) {
    Json lookup = {{"position", l.position}, {"text", latin1_json(five(l.text))}, {"id", l.id}};
    if (l.position <= kLastDx) {
      lookup["flag"] = latin1_json(l.flag == 0 ? std::string() : std::string(1, static_cast<char>(l.flag)));
    }
    lookups.push_back(std::move(lookup));
  }
  doc["lookups"] = std::move(lookups);
  Json removed = Json::array();
  for (const auto& m : s.removed) removed.push_back({{"position", m.position}, {"first_position", m.first}, {"id", m.id}});
  doc["removed"] = std::move(removed);
  Json exchange;
  if (!s.exchanges.empty()) {
    const auto& e = s.exchanges.front();
    exchange = {{"principal", e.principal}, {"second", e.second}, {"tdag_ast_row", e.row}};
  }
  doc["exchange"] = std::move(exchange);
  doc["code_ids"] = r.code_ids;

  Json table_conditions = Json::array();
  for (const auto& c : s.table_conds) {
    table_conditions.push_back({{"condition", c.cond},
                                {"position", c.position},
                                {"code", latin1_json(tables.code_text(c.position <= kLastDx, c.code_id))},
                                {"code_id", c.code_id},
                                {"tcode_row", c.row}});
  }
  doc["table_conditions"] = std::move(table_conditions);
  Json logic_conditions = Json::array();
  for (int i = 0; i < 64; ++i) {
    if ((s.logic >> i & 1) == 0) continue;
    logic_conditions.push_back(
        {{"condition", s.logic_first + i}, {"text", latin1_json(logic_condition_text(s.logic_first + i))}});
  }
  doc["logic_conditions"] = std::move(logic_conditions);

  const RuleSet& set = s.before_switch ? t.tadrg : t.tadrg1;
  auto rule = [&set](int32_t i) {
    const auto k = static_cast<size_t>(i);
    Json must = Json::array(), must_not = Json::array();
    for (int slot = 0; slot < kRuleSlots; ++slot) (slot < kMustHoldSlots ? must : must_not).push_back(set.rule_cond[k][slot]);
    return Json{{"rule", i},
                {"valid_from", set.rule_adpt_fr_dt[k]},
                {"valid_to", set.rule_adpt_to_dt[k]},
                {"must_hold", std::move(must)},
                {"must_not_hold", std::move(must_not)},
                {"mdc", set.rule_mdc[k]},
                {"adrg", set.rule_adrg[k]}};
  };
  Json passes = Json::array();
  for (const auto& pass : s.passes) {
    Json near_misses = Json::array();
    for (const auto& n : pass.near_misses) {
      Json miss = rule(n.rule);
      miss["failed_slot"] = n.slot;
      near_misses.push_back(std::move(miss));
    }
    passes.push_back({{"pass", pass.pass == 1 ? "mdc" : "adrg"},
                      {"list", pass.list},
                      {"tried", pass.tried},
                      {"matched", pass.matched < 0 ? Json() : rule(pass.matched)},
                      {"near_misses", std::move(near_misses)}});
  }
  doc["passes"] = std::move(passes);

  doc["age_split"] = s.split_done ? Json{{"row", s.split_row}, {"split", latin1_json(std::string(1, s.split))}} : Json();
  doc["drg"] = s.drg_done ? Json{{"key", latin1_json(five(s.drg_key))}, {"row", s.drg_row}} : Json();

  Json complexity;
  if (r.has_adrg()) {
    Json ccls = Json::array();
    for (const auto& c : s.ccls) {
      ccls.push_back(
          {{"position", c.position}, {"code_id", c.id}, {"tccl_row", c.row}, {"column", c.column}, {"ccl", c.level}});
    }
    Json exclusions = Json::array();
    for (const auto& e : s.exclusions) {
      Json exclusion = {{"position", e.position},
                        {"cause", e.cause == Exclusion::kSex         ? "sex"
                                  : e.cause == Exclusion::kPrincipal ? "principal"
                                                                     : "highest"}};
      if (e.cause == Exclusion::kHighest) exclusion["by_position"] = e.by;
      exclusions.push_back(std::move(exclusion));
    }
    complexity = {{"ccls", std::move(ccls)},
                  {"exclusions", std::move(exclusions)},
                  {"ccl_raw", latin1_json(grouper::code_text(r.res_ccl_raw.data(), 10))},
                  {"ccl_excl", latin1_json(grouper::code_text(r.res_ccl_excl.data(), 10))},
                  {"sorted", s.formula ? Json(s.sorted) : Json()}};
    if (s.formula) {
      complexity["S"] = six_decimals(s.sum);
      complexity["x"] = six_decimals(s.x);
    }
    complexity["pccl"] = r.res_pccl;
    complexity["pccl_split_row"] = s.pccl_row;
    complexity["pccl_split"] = latin1_json(std::string(1, s.pccl_char));
  }
  doc["complexity"] = std::move(complexity);
  doc["supplementary"] = {{"step", supplementary_step(s.supp_step)},
                          {"row", s.supp_row},
                          {"value", s.supp_value},
                          {"code", latin1_json(episode_grouper::text_of(r.res_ltcdrg_code))}};
  doc["result"] = {
      {"mdc", latin1_json(episode_grouper::text_of(r.mdc_code))},
      {"adrg", latin1_json(episode_grouper::text_of(r.adrg_code))},
      {"drg", latin1_json(r.res_drg != 0 ? grouper::code_text(r.res_drg_code.data(), 6) : std::string_view{})},
      {"pccl", r.res_pccl},
      {"supplementary", latin1_json(episode_grouper::text_of(r.res_ltcdrg_code))}};
  doc["findings"] = findings_json(r.findings);

  std::string out = dump_json(doc);
  unquote_member(out, "S");
  unquote_member(out, "x");
  return out + "\n";
}

// The impact after the rest: a last text section, or a last member of the
// document ('..."findings":[...]}' and a line feed).
void add_impact(const episode_grouper::Impact& impact, episode_grouper::ExplainFormat as, std::string& out) {
  if (as == episode_grouper::ExplainFormat::kJson) {
    const size_t close = out.rfind('}');
    if (close == std::string::npos) return;
    std::string member(kMaxImpactJsonBytes, '\0');
    member.resize(static_cast<size_t>(put_impact_json(member.data(), impact) - member.data()));
    out.insert(close, member);
    return;
  }
  out += "Impact: the record grouped again without each of its codes 2..46; the codes that change its DRG";
  out += impact.weighed ? " or weight\n" : "\n";
  if (impact.count == 0) out += "  none\n";
  for (const episode_grouper::CodeImpact& e : impact) {
    const std::string_view drg = code_text(e.drg.data(), e.drg.size());
    std::string line = format("  position %d %s: DRG %s", e.position, shown(finding_text(e.code)).c_str(),
                              drg.empty() ? "none" : shown(drg).c_str());
    if (impact.weighed) {
      line += format(", effective weight %s (%s%s)",
                     e.has_weight ? episode_grouper::format_weight(e.effective).c_str() : "none",
                     e.weight_difference > 0 ? "+" : "", episode_grouper::format_weight(e.weight_difference).c_str());
    }
    out += line + "\n";
  }
}

}  // namespace
}  // namespace grouper

namespace episode_grouper {

std::string explain(const TableSet& tables, std::string_view record, ExplainFormat format, Result* result) {
  return explain(tables, record, format, ExplainOptions{}, result);
}

std::string explain(const TableSet& tables, std::string_view record, ExplainFormat format,
                    const ExplainOptions& options, Result* result) {
  const grouper::PreparedSet& set = grouper::prepared(tables);
  grouper::Engine engine(set);
  grouper::Steps steps;
  engine.set_trace(&steps);
  std::string line(grouper::kLineBufferSize, ' ');
  const size_t len = grouper::place_record(record, line.data());
  engine.group(line.data(), len);
  const Result& r = engine.result();
  if (result) *result = r;
  const grouper::Lookups lookups(set.store());
  std::string out = format == ExplainFormat::kJson ? grouper::as_json(steps, lookups, r, set.store())
                                                   : grouper::as_text(steps, lookups, r, set.store());
  if (options.impact) {
    grouper::ImpactProbe probe(set);
    Impact impact;
    probe.find(line.data(), len, r, options.weights, impact);
    grouper::add_impact(impact, format, out);
  }
  return out;
}

}  // namespace episode_grouper
