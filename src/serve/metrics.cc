// The Prometheus text of the service's counters.
#include "serve/metrics.h"

#include <cstdio>

#include "serve/table_registry.h"

namespace grouper::serve {
namespace {

// A label value: backslash, quote and line feed escaped.
std::string label(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '\\') out += "\\\\";
    else if (c == '"') out += "\\\"";
    else if (c == '\n') out += "\\n";
    else out += c;
  }
  return out;
}

}  // namespace

Metrics::Metrics(size_t table_sets)
    : reloads_ok_(table_sets), reloads_failed_(table_sets), last_failure_(table_sets) {}

void Metrics::count_request(Route route, int status, double seconds, int64_t records) {
  RouteCounters& c = routes_[static_cast<size_t>(route)];
  size_t s = kStatuses.size() - 1;
  for (size_t i = 0; i + 1 < kStatuses.size(); ++i) {
    if (kStatuses[i] == status) s = i;
  }
  c.by_status[s].fetch_add(1, std::memory_order_relaxed);
  size_t b = kBuckets.size();
  for (size_t i = 0; i < kBuckets.size(); ++i) {
    if (seconds <= kBuckets[i]) {
      b = i;
      break;
    }
  }
  c.buckets[b].fetch_add(1, std::memory_order_relaxed);
  c.micros_sum.fetch_add(static_cast<uint64_t>(seconds * 1e6), std::memory_order_relaxed);
  if (records > 0) records_.fetch_add(static_cast<uint64_t>(records), std::memory_order_relaxed);
}

void Metrics::count_reload(size_t set, bool ok, const std::string& message) {
  if (set >= reloads_ok_.size()) return;
  (ok ? reloads_ok_ : reloads_failed_)[set].fetch_add(1);
  if (!ok) {
    std::lock_guard<std::mutex> lock(message_mutex_);
    last_failure_[set] = message;
  }
}

std::string Metrics::text(const TableRegistry& registry) const {
  std::string out;
  char line[512];
  out += "# HELP grouper_requests_total Requests answered, by route and status.\n"
         "# TYPE grouper_requests_total counter\n";
  for (size_t r = 0; r < kRouteCount; ++r) {
    const std::string route(route_label(static_cast<Route>(r)));
    for (size_t s = 0; s < kStatuses.size(); ++s) {
      const uint64_t n = routes_[r].by_status[s].load(std::memory_order_relaxed);
      if (n == 0) continue;
      const std::string status = kStatuses[s] ? std::to_string(kStatuses[s]) : "other";
      std::snprintf(line, sizeof line, "grouper_requests_total{route=\"%s\",status=\"%s\"} %llu\n", route.c_str(),
                    status.c_str(), static_cast<unsigned long long>(n));
      out += line;
    }
  }
  out += "# HELP grouper_request_duration_seconds Time from the request's start to its answer, by route.\n"
         "# TYPE grouper_request_duration_seconds histogram\n";
  for (size_t r = 0; r < kRouteCount; ++r) {
    const std::string route(route_label(static_cast<Route>(r)));
    uint64_t cumulative = 0;
    for (size_t b = 0; b <= kBuckets.size(); ++b) {
      cumulative += routes_[r].buckets[b].load(std::memory_order_relaxed);
      char le[32];
      if (b < kBuckets.size()) std::snprintf(le, sizeof le, "%g", kBuckets[b]);
      else std::snprintf(le, sizeof le, "+Inf");
      std::snprintf(line, sizeof line, "grouper_request_duration_seconds_bucket{route=\"%s\",le=\"%s\"} %llu\n",
                    route.c_str(), le, static_cast<unsigned long long>(cumulative));
      out += line;
    }
    std::snprintf(line, sizeof line,
                  "grouper_request_duration_seconds_sum{route=\"%s\"} %.6f\n"
                  "grouper_request_duration_seconds_count{route=\"%s\"} %llu\n",
                  route.c_str(), static_cast<double>(routes_[r].micros_sum.load()) / 1e6, route.c_str(),
                  static_cast<unsigned long long>(cumulative));
    out += line;
  }
  std::snprintf(line, sizeof line,
                "# HELP grouper_records_grouped_total Records grouped by /v1/group.\n"
                "# TYPE grouper_records_grouped_total counter\n"
                "grouper_records_grouped_total %llu\n",
                static_cast<unsigned long long>(records_.load()));
  out += line;
  out += "# HELP grouper_reloads_total Reloads of a table set, by result.\n"
         "# TYPE grouper_reloads_total counter\n";
  for (size_t i = 0; i < registry.size(); ++i) {
    const std::string name = label(registry.name(i));
    std::snprintf(line, sizeof line,
                  "grouper_reloads_total{tables=\"%s\",result=\"done\"} %llu\n"
                  "grouper_reloads_total{tables=\"%s\",result=\"failed\"} %llu\n",
                  name.c_str(), static_cast<unsigned long long>(reloads_ok_[i].load()), name.c_str(),
                  static_cast<unsigned long long>(reloads_failed_[i].load()));
    out += line;
  }
  out += "# HELP grouper_reload_last_failure The loader's message of the last failed reload of a set.\n"
         "# TYPE grouper_reload_last_failure gauge\n";
  {
    std::lock_guard<std::mutex> lock(message_mutex_);
    for (size_t i = 0; i < registry.size(); ++i) {
      if (last_failure_[i].empty()) continue;
      out += "grouper_reload_last_failure{tables=\"" + label(registry.name(i)) + "\",message=\"" +
             label(last_failure_[i]) + "\"} 1\n";
    }
  }
  out += "# HELP grouper_table_set_generation The generation of a set now served (grows with every load).\n"
         "# TYPE grouper_table_set_generation gauge\n";
  for (size_t i = 0; i < registry.size(); ++i) {
    auto set = registry.current(i);
    out += "grouper_table_set_generation{tables=\"" + label(registry.name(i)) + "\"} " +
           std::to_string(set->generation) + "\n";
  }
  out += "# HELP grouper_table_set_loaded_seconds Unix time of the load of a set now served.\n"
         "# TYPE grouper_table_set_loaded_seconds gauge\n";
  for (size_t i = 0; i < registry.size(); ++i) {
    auto set = registry.current(i);
    std::snprintf(line, sizeof line, "%.3f", static_cast<double>(set->loaded_at_ms) / 1000.0);
    out += "grouper_table_set_loaded_seconds{tables=\"" + label(registry.name(i)) + "\"} " + line + "\n";
  }
  return out;
}

}  // namespace grouper::serve
