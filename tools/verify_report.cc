#include "verify_report.h"

#include <algorithm>
#include <cstdio>

namespace grouper::tools {

std::string_view severity_title(Severity s) {
  switch (s) {
    case Severity::kOutside:
      return "outside a table";
    case Severity::kStopsRun:
      return "stops the run";
    case Severity::kWrongResult:
      return "wrong groups";
    case Severity::kIrregular:
      return "irregular";
  }
  return "?";
}

Report::Group& Report::group(Severity s, std::string_view file, std::string_view array,
                             std::string_view check) {
  ++total_;
  std::string key;
  key.reserve(file.size() + array.size() + check.size() + 2);
  key.append(file).append(1, '\0').append(array).append(1, '\0').append(check);
  auto it = groups_.find(key);
  if (it == groups_.end()) {
    Group g{s, groups_.size(), std::string(file) + " " + std::string(array), 0, {}};
    it = groups_.emplace(std::move(key), std::move(g)).first;
  }
  return it->second;
}

std::vector<const Report::Group*> Report::ordered() const {
  std::vector<const Group*> out;
  for (const auto& [key, g] : groups_) out.push_back(&g);
  std::sort(out.begin(), out.end(), [](const Group* a, const Group* b) {
    if (a->severity != b->severity) return a->severity < b->severity;
    return a->order < b->order;
  });
  return out;
}

size_t Report::count(Severity s) const {
  size_t n = 0;
  for (const auto& [key, g] : groups_) {
    if (g.severity == s) n += g.count;
  }
  return n;
}

std::vector<Finding> Report::shown() const {
  std::vector<Finding> out;
  for (const Group* g : ordered()) out.insert(out.end(), g->shown.begin(), g->shown.end());
  return out;
}

std::string Report::text() const {
  if (clean()) return {};
  // Built by appending: GCC 12 warns falsely (-Wrestrict) on "literal" + string&&.
  std::string out;
  int current = -1;
  for (const Group* g : ordered()) {
    if (static_cast<int>(g->severity) != current) {
      current = static_cast<int>(g->severity);
      out.append(severity_title(g->severity)).append(":\n");
    }
    for (const Finding& f : g->shown) {
      out.append("  ").append(f.file).append(" ").append(f.array);
      if (f.index >= 0) out.append("[").append(std::to_string(f.index)).append("]");
      out.append(": ").append(f.what).append("\n");
    }
    if (g->count > g->shown.size()) {
      out.append("  ... and ").append(std::to_string(g->count - g->shown.size()));
      out.append(" more of ").append(g->label).append(" like these\n");
    }
  }
  out.append(std::to_string(total_)).append(total_ == 1 ? " problem:" : " problems:");
  const char* sep = " ";
  for (int s = 0; s < kSeverityCount; ++s) {
    size_t n = count(static_cast<Severity>(s));
    if (n == 0) continue;
    out.append(sep).append(std::to_string(n)).append(" ").append(severity_title(static_cast<Severity>(s)));
    sep = ", ";
  }
  out.append("\n");
  return out;
}

std::string show_byte(uint8_t b) {
  if (b >= 0x20 && b < 0x7f) return std::string("\"") + static_cast<char>(b) + "\"";
  char buf[8];
  std::snprintf(buf, sizeof buf, "0x%02X", b);
  return buf;
}

std::string show_text(const char* text, size_t width) {
  std::string out = "\"";
  for (size_t i = 0; i < width; ++i) {
    auto b = static_cast<uint8_t>(text[i]);
    if (b >= 0x20 && b < 0x7f && b != '"' && b != '\\') {
      out += static_cast<char>(b);
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02X", b);
      out += buf;
    }
  }
  return out + "\"";
}

}  // namespace grouper::tools
