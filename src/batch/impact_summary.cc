#include "batch/impact_summary.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>

#include "episode_grouper/weights.h"

namespace grouper {
namespace {

// A text of up to 7 bytes in one word, its first byte highest, so that
// packed texts order as the texts do; bit 0 tells a procedure from a
// diagnosis.  A code ends at a NUL and loses its trailing blanks.
uint64_t pack(std::string_view text, bool procedure) {
  uint64_t key = 0;
  for (size_t i = 0; i < 7; ++i) key = key << 8 | (i < text.size() ? static_cast<unsigned char>(text[i]) : 0u);
  return key << 8 | (procedure ? 1u : 0u);
}

std::string_view code_of(const episode_grouper::CodeImpact& entry) {
  std::string_view text = episode_grouper::text_of(entry.code);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  return text;
}

// The text of a packed key, bytes below blanks written as "?", and whether
// it is a procedure's.
std::string unpack(uint64_t key) {
  std::string text;
  for (int shift = 56; shift >= 8; shift -= 8) {
    const auto c = static_cast<unsigned char>(key >> shift);
    if (c == 0) break;
    text += c < 0x20 || c == 0x7F ? '?' : static_cast<char>(c);
  }
  return text;
}

const char* kind_of(uint64_t key) { return key & 1 ? "proc" : "dx"; }

}  // namespace

void tally_impact(const episode_grouper::Impact& impact, std::string_view drg, std::vector<ImpactTally>& tallies) {
  const uint64_t drg_key = drg.empty() ? 0 : pack(drg, false);
  for (const episode_grouper::CodeImpact& entry : impact) {
    tallies.push_back({pack(code_of(entry), entry.position > 10), drg_key, entry.weight_difference});
  }
}

void ImpactSummary::add(const std::vector<ImpactTally>& tallies) {
  for (const ImpactTally& t : tallies) {
    Moved& code = by_code_[t.code];
    ++code.records;
    code.total += t.moved;
    Moved& pair = by_code_drg_[{t.code, t.drg}];
    ++pair.records;
    pair.total += t.moved;
  }
}

std::string ImpactSummary::text(size_t top) const {
  // Most weight moved either way first (with weights), then most records,
  // then by text.
  auto ranked = [this, top](const auto& map) {
    using Entry = std::pair<typename std::decay_t<decltype(map)>::key_type, Moved>;
    std::vector<Entry> rows(map.begin(), map.end());
    std::sort(rows.begin(), rows.end(), [this](const Entry& a, const Entry& b) {
      if (with_weights_ && std::llabs(a.second.total) != std::llabs(b.second.total)) {
        return std::llabs(a.second.total) > std::llabs(b.second.total);
      }
      if (a.second.records != b.second.records) return a.second.records > b.second.records;
      return a.first < b.first;
    });
    if (rows.size() > top) rows.resize(top);
    return rows;
  };
  using episode_grouper::format_weight;
  using episode_grouper::weight_mean;
  std::string out = with_weights_ ? "\ncodes whose removal moves the most weight\n"
                                  : "\ncodes whose removal changes the DRG most often\n";
  char line[160];
  auto columns = [&](const char* head, const char* code, const char* kind, const char* drg, int64_t records,
                     const std::string& total, const std::string& mean) {
    if (head) {
      std::snprintf(line, sizeof line, "%-8s %-4s %-7s %12s %16s %14s\n", "code", "kind", "DRG", "records",
                    with_weights_ ? "weight moved" : "", with_weights_ ? "mean" : "");
    } else {
      std::snprintf(line, sizeof line, "%-8s %-4s %-7s %12" PRId64 " %16s %14s\n", code, kind, drg, records,
                    total.c_str(), mean.c_str());
    }
    std::string text = line;
    while (text.size() > 1 && text[text.size() - 2] == ' ') text.erase(text.size() - 2, 1);
    out += text;
  };
  if (by_code_.empty()) return out + "none\n";
  columns("head", "", "", "", 0, "", "");
  for (const auto& [key, moved] : ranked(by_code_)) {
    columns(nullptr, unpack(key).c_str(), kind_of(key), "", moved.records,
            with_weights_ ? format_weight(moved.total) : "",
            with_weights_ ? format_weight(weight_mean(moved.total, moved.records)) : "");
  }
  out += "\nper code and DRG of the record\n";
  columns("head", "", "", "", 0, "", "");
  for (const auto& [key, moved] : ranked(by_code_drg_)) {
    const std::string drg = key.second == 0 ? "-" : unpack(key.second);
    columns(nullptr, unpack(key.first).c_str(), kind_of(key.first), drg.c_str(), moved.records,
            with_weights_ ? format_weight(moved.total) : "",
            with_weights_ ? format_weight(weight_mean(moved.total, moved.records)) : "");
  }
  return out;
}

}  // namespace grouper
