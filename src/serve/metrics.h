// The service's counters, kept with atomics so that every worker counts
// without a lock, and written in the Prometheus text format.
//
// Requests by route and status, records grouped, a request duration
// histogram by route, and the reloads done and failed per table set with
// the message of the last failure.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "serve/routes.h"

namespace grouper::serve {

class TableRegistry;

class Metrics {
 public:
  explicit Metrics(size_t table_sets);

  void count_request(Route route, int status, double seconds, int64_t records);
  void count_reload(size_t set, bool ok, const std::string& message);

  // The whole exposition, with the table sets' generations and load times.
  std::string text(const TableRegistry& registry) const;

 private:
  static constexpr std::array<int, 11> kStatuses{200, 400, 401, 404, 405, 413, 414, 415, 500, 503, 0};
  static constexpr std::array<double, 14> kBuckets{0.0001, 0.00025, 0.0005, 0.001, 0.0025, 0.005, 0.01,
                                                   0.025,  0.05,    0.1,    0.25,  0.5,   1,     5};
  struct RouteCounters {
    std::array<std::atomic<uint64_t>, kStatuses.size()> by_status{};
    std::array<std::atomic<uint64_t>, kBuckets.size() + 1> buckets{};  // last: +Inf only
    std::atomic<uint64_t> micros_sum{0};
  };
  std::array<RouteCounters, kRouteCount> routes_{};
  std::atomic<uint64_t> records_{0};
  std::vector<std::atomic<uint64_t>> reloads_ok_, reloads_failed_;
  mutable std::mutex message_mutex_;
  std::vector<std::string> last_failure_;
};

}  // namespace grouper::serve
