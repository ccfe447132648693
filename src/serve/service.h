// The grouping service without the network: a request in, a response out.
//
// Service answers every route of routes.h over its table sets: it checks
// the token, the method, the content type and the parameters, groups or
// explains, and builds JSON errors {"error": ..., "message": ...}.  It holds
// no state between requests but the table sets and the counters, so any
// number of workers call handle() at once; each request keeps the set it
// started with.  The HTTP binding (http_server.h) and the fuzz target feed
// it; it prints nothing.
#pragma once

#include <atomic>
#include <semaphore>
#include <cstdint>
#include <functional>
#include <memory>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "episode_grouper/explain.h"
#include "episode_grouper/status.h"
#include "episode_grouper/weights.h"
#include "serve/metrics.h"
#include "serve/routes.h"
#include "serve/table_registry.h"

namespace grouper::serve {

struct Request {
  std::string_view method;
  std::string_view path;
  std::vector<std::pair<std::string, std::string>> query;  // decoded, in order
  std::string_view content_type;   // as sent, "" when absent
  std::string_view accept;         // as sent
  std::string_view authorization;  // as sent
  std::string_view body;
};

struct Response {
  int status = 200;
  std::string content_type = "application/json";
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;
  int64_t records = 0;  // records grouped or explained
};

class Service {
 public:
  // `token`: when not empty, every route but /healthz and /readyz needs
  // "Authorization: Bearer TOKEN".  At most `threads` requests group or
  // explain at once; the others wait for their turn.
  Service(TableRegistry& registry, std::string token, int threads = 1);

  Response handle(const Request& request);

  // Loads every set again (see TableRegistry::reload), counts the outcomes
  // and passes one line per set to the log; each outcome's message is that line.
  std::vector<ReloadOutcome> reload();

  // Where the service's own lines go (reloads); none by default.
  void set_log(std::function<void(const std::string&)> log) { log_ = std::move(log); }

  // Once draining, /readyz answers 503 so that a balancer stops sending.
  void set_draining() { draining_.store(true); }

  // With a catalogue, /v1/group's JSON Lines rows carry the weight columns
  // and /v1/explain the record's weight.  Set before the first request.
  void set_weights(std::shared_ptr<const episode_grouper::WeightCatalogue> weights) { weights_ = std::move(weights); }

  Metrics& metrics() { return metrics_; }
  TableRegistry& registry() { return registry_; }

 private:
  Response group(const Request& request);
  Response explain(const Request& request);
  // Groups the records of `body` each with the version of its date.
  Response group_by_date(const DatedSets& dated, std::string_view body, bool jsonl);
  // The two routes for JSON episodes (see service.cc).
  Response group_episodes(const nlohmann::json& document, const std::string& tables);
  Response explain_episodes(const nlohmann::json& document, const std::string& tables,
                            episode_grouper::ExplainFormat format, const episode_grouper::ExplainOptions& options);
  Response tables() const;
  Response readyz() const;
  Response admin_reload();
  // Adds the weight of `record` under the catalogue to an explanation.
  void add_weight(const LoadedSet& set, std::string_view record, episode_grouper::ExplainFormat format,
                  std::string& body) const;

  TableRegistry& registry_;
  std::string token_;
  Metrics metrics_;
  std::counting_semaphore<4096> grouping_;
  std::atomic<bool> draining_{false};
  std::function<void(const std::string&)> log_;
  std::shared_ptr<const episode_grouper::WeightCatalogue> weights_;
};

// A JSON error response.
// The one mapping of the library's status kinds to HTTP: the status of an
// answer whose failure is of `kind` (its "error" member is kind_name(kind)).
int http_status(episode_grouper::StatusKind kind);

Response error_response(int status, std::string_view error, std::string_view message);

}  // namespace grouper::serve
