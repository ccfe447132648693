#include "compare/compare_summary.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <tuple>

#include <nlohmann/json.hpp>

#include "episode_grouper/weights.h"
#include "output/json_document.h"

namespace grouper {
namespace {

constexpr const char* kNone = "(none)";

std::string shown(const std::string& code) { return code.empty() ? kNone : code; }
std::string shown(int pccl) { return pccl < 0 ? kNone : std::to_string(pccl); }

std::string percent(int64_t part, int64_t whole) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.2f%%", whole > 0 ? 100.0 * static_cast<double>(part) / static_cast<double>(whole) : 0.0);
  return buf;
}

void line(std::string& out, const char* label, int64_t n) {
  char buf[128];
  std::snprintf(buf, sizeof buf, "%-46s %12" PRId64 "\n", label, n);
  out += buf;
}

template <class T>
void move_table(std::string& out, const char* title, const std::vector<Move<T>>& moves) {
  out += "\n";
  out += title;
  out += moves.empty() ? ": none\n" : "\n";
  for (const Move<T>& m : moves) {
    char buf[96];
    std::snprintf(buf, sizeof buf, "  %-8s -> %-8s %12" PRId64 "\n", shown(m.from).c_str(), shown(m.to).c_str(), m.count);
    out += buf;
  }
}

using Json = nlohmann::ordered_json;

// The ends of a move: a code text, or a PCCL (null for a side without an ADRG).
Json code_json(const std::string& code) { return latin1_json(code); }
Json code_json(int pccl) { return pccl < 0 ? Json() : Json(pccl); }

template <class T>
Json moves_json(const std::vector<Move<T>>& moves) {
  Json out = Json::array();
  for (const Move<T>& m : moves) out.push_back({{"from", code_json(m.from)}, {"to", code_json(m.to)}, {"count", m.count}});
  return out;
}

template <class T>
void by_count(std::vector<Move<T>>& moves) {
  std::sort(moves.begin(), moves.end(), [](const Move<T>& a, const Move<T>& b) {
    return std::tie(b.count, a.from, a.to) < std::tie(a.count, b.from, b.to);
  });
}

using episode_grouper::format_weight;

// The case-mix index of `sum` over `weighted` records, 4 decimals; "" without a weighted record.
std::string case_mix_index(int64_t sum, int64_t weighted) {
  return weighted > 0 ? format_weight(episode_grouper::weight_mean(sum, weighted)) : std::string();
}

void weight_line(std::string& out, const char* label, const std::string& old_value, const std::string& new_value) {
  char buf[160];
  std::snprintf(buf, sizeof buf, "%-30s %18s %18s\n", label, old_value.empty() ? kNone : old_value.c_str(),
                new_value.empty() ? kNone : new_value.c_str());
  out += buf;
}

}  // namespace

CodeKey code_key(std::string_view text) {
  CodeKey key = 0;
  // An empty text may have no bytes at all: memcpy must not see its null.
  if (!text.empty()) std::memcpy(&key, text.data(), std::min(text.size(), sizeof key));
  return key;
}

std::string key_text(CodeKey key) {
  char bytes[sizeof key];
  std::memcpy(bytes, &key, sizeof key);
  return std::string(bytes, strnlen(bytes, sizeof key));
}

void CompareSummary::use_weights(std::string old_catalogue, std::string new_catalogue) {
  weights_ = true;
  old_catalogue_ = std::move(old_catalogue);
  new_catalogue_ = std::move(new_catalogue);
}

void CompareSummary::add_weights(const WeightTotals& t) {
  totals_.old_sum += t.old_sum;
  totals_.new_sum += t.new_sum;
  totals_.old_weighted += t.old_weighted;
  totals_.new_weighted += t.new_weighted;
}

void CompareSummary::add(const RecordChange& c) {
  if (weights_ && ((c.bits & kChangeWeight) || c.old_drg != c.new_drg)) {
    auto& [records, moved] = weight_moves_[{c.old_drg, c.new_drg}];
    ++records;
    moved += (c.new_weight == kNoWeight ? 0 : c.new_weight) - (c.old_weight == kNoWeight ? 0 : c.old_weight);
  }
  if (!(c.bits & kResultChanges)) {
    if (c.bits & kChangeFindings) ++findings_only_;
    return;
  }
  ++results_differ_;
  if (c.bits & kChangeMdc) ++mdc_changed_;
  if (c.bits & kChangeAdrg) {
    ++adrg_changed_;
    ++adrg_[{c.old_adrg, c.new_adrg}];
  }
  if (c.bits & kChangeDrg) {
    ++drg_changed_;
    ++drg_[{c.old_drg, c.new_drg}];
  }
  if (c.bits & kChangePccl) ++pccl_changed_;
  if (c.bits & kChangeCcl) ++ccl_changed_;
  if (c.bits & kChangeSupplementary) ++supplementary_changed_;
  if (c.bits & kChangeOther) ++other_changed_;
  if ((c.bits & kOldGrouped) && !(c.bits & kNewGrouped)) ++newly_ungroupable_;
  if (!(c.bits & kOldGrouped) && (c.bits & kNewGrouped)) ++newly_grouped_;
  ++mdc_[{c.old_mdc, c.new_mdc}];
  ++pccl_[{c.old_pccl, c.new_pccl}];
}

std::vector<Move<std::string>> CompareSummary::sorted(const std::map<Pair, int64_t>& moves) {
  std::vector<Move<std::string>> out;
  out.reserve(moves.size());
  for (const auto& [pair, count] : moves) out.push_back({key_text(pair.first), key_text(pair.second), count});
  by_count(out);
  return out;
}

std::vector<WeightMove> CompareSummary::weight_moves() const {
  std::vector<WeightMove> out;
  out.reserve(weight_moves_.size());
  for (const auto& [pair, sums] : weight_moves_) {
    out.push_back({key_text(pair.first), key_text(pair.second), sums.first, sums.second});
  }
  std::sort(out.begin(), out.end(), [](const WeightMove& a, const WeightMove& b) {
    const int64_t x = a.moved < 0 ? -a.moved : a.moved;
    const int64_t y = b.moved < 0 ? -b.moved : b.moved;
    return std::tie(y, a.from, a.to) < std::tie(x, b.from, b.to);
  });
  return out;
}

std::vector<Move<int>> CompareSummary::pccl_moves() const {
  std::vector<Move<int>> out;
  for (const auto& [pair, count] : pccl_) out.push_back({pair.first, pair.second, count});
  by_count(out);
  return out;
}

std::string CompareSummary::text(const std::string& old_tables, const std::string& new_tables) const {
  std::string out;
  out += "old tables  " + old_tables + "\n";
  out += "new tables  " + new_tables + "\n";
  line(out, "records read", records_);
  line(out, "records whose results differ", results_differ_);
  out.pop_back();
  out += "  (" + percent(results_differ_, records_) + ")\n";
  line(out, "  MDC changed", mdc_changed_);
  line(out, "  ADRG changed", adrg_changed_);
  line(out, "  DRG changed", drg_changed_);
  line(out, "  PCCL changed", pccl_changed_);
  line(out, "  CCLs changed", ccl_changed_);
  line(out, "  supplementary group changed", supplementary_changed_);
  if (other_changed_ > 0) line(out, "  other columns changed", other_changed_);
  line(out, "  newly ungroupable (had an ADRG, now none)", newly_ungroupable_);
  line(out, "  newly grouped (had no ADRG, now one)", newly_grouped_);
  line(out, "records whose findings alone differ", findings_only_);
  move_table(out, "ADRG moves (old -> new, records)", adrg_moves());
  move_table(out, "DRG moves (old -> new, records)", drg_moves());
  move_table(out, "MDC -> MDC of the records whose results differ", mdc_moves());
  move_table(out, "PCCL old -> new of the records whose results differ", pccl_moves());
  if (weights_) {
    out += "\nweights     " + old_catalogue_ + " (old), " + new_catalogue_ + " (new)\n";
    weight_line(out, "", "old", "new");
    weight_line(out, "case-mix", format_weight(totals_.old_sum), format_weight(totals_.new_sum));
    weight_line(out, "case-mix index", case_mix_index(totals_.old_sum, totals_.old_weighted),
                case_mix_index(totals_.new_sum, totals_.new_weighted));
    weight_line(out, "records with a weight", std::to_string(totals_.old_weighted),
                std::to_string(totals_.new_weighted));
    char moved[96];
    std::snprintf(moved, sizeof moved, "%-30s %37s\n", "weight moved (new - old)", format_weight(weight_moved()).c_str());
    out += moved;
    const std::vector<WeightMove> moves = weight_moves();
    const size_t top = std::min(moves.size(), kTopWeightMoves);
    out += "\nDRG transitions by the weight they move (old -> new, records, weight moved)";
    out += moves.empty() ? ": none\n" : ", " + std::to_string(top) + " of " + std::to_string(moves.size()) + "\n";
    for (size_t i = 0; i < top; ++i) {
      char buf[128];
      std::snprintf(buf, sizeof buf, "  %-8s -> %-8s %12" PRId64 " %18s\n", shown(moves[i].from).c_str(),
                    shown(moves[i].to).c_str(), moves[i].records, format_weight(moves[i].moved).c_str());
      out += buf;
    }
  }
  return out;
}

std::string CompareSummary::json(const std::string& old_tables, const std::string& new_tables) const {
  Json doc = {{"old_tables", latin1_json(old_tables)}, {"new_tables", latin1_json(new_tables)}};
  const std::pair<const char*, int64_t> counts[] = {
      {"records", records_},
      {"differing", differing()},
      {"results_differ", results_differ_},
      {"findings_only", findings_only_},
      {"mdc_changed", mdc_changed_},
      {"adrg_changed", adrg_changed_},
      {"drg_changed", drg_changed_},
      {"pccl_changed", pccl_changed_},
      {"ccl_changed", ccl_changed_},
      {"supplementary_changed", supplementary_changed_},
      {"other_changed", other_changed_},
      {"newly_ungroupable", newly_ungroupable_},
      {"newly_grouped", newly_grouped_},
  };
  for (const auto& [name, n] : counts) doc[name] = n;
  doc["adrg_moves"] = moves_json(adrg_moves());
  doc["drg_moves"] = moves_json(drg_moves());
  doc["mdc_moves"] = moves_json(mdc_moves());
  doc["pccl_moves"] = moves_json(pccl_moves());
  if (weights_) {
    // A figure or a name, null when there is none (the old catalogue's name
    // is always written as it is).
    auto text = [](const std::string& value) { return value.empty() ? Json() : latin1_json(value); };
    Json moves = Json::array();
    for (const WeightMove& m : weight_moves()) {
      moves.push_back({{"from", latin1_json(m.from)},
                       {"to", latin1_json(m.to)},
                       {"records", m.records},
                       {"weight_moved", text(format_weight(m.moved))}});
    }
    doc["weights"] = {{"old_weights", latin1_json(old_catalogue_)},
                      {"new_weights", text(new_catalogue_)},
                      {"old_case_mix", text(format_weight(totals_.old_sum))},
                      {"new_case_mix", text(format_weight(totals_.new_sum))},
                      {"old_case_mix_index", text(case_mix_index(totals_.old_sum, totals_.old_weighted))},
                      {"new_case_mix_index", text(case_mix_index(totals_.new_sum, totals_.new_weighted))},
                      {"old_weighted", totals_.old_weighted},
                      {"new_weighted", totals_.new_weighted},
                      {"weight_moved", text(format_weight(weight_moved()))},
                      {"weight_moves", std::move(moves)}};
  }
  return dump_json(doc) + "\n";
}

}  // namespace grouper
