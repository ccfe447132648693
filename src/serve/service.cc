// Routing, checks and the handlers of the service.
//
// The common request is POST /v1/group with one record or a few thousand;
// its records are grouped by a Grouper borrowed from the set's pool straight
// into the answer, which is sized once from the number of records (the text
// answer exactly, the JSON rows by a first estimate), so a request allocates
// its answer and nothing per record.
//
// Both routes also take episodes as named fields: a JSON object whose
// members are the episode's fields, or an array of them.  Each is built
// into its record by the library's one builder and grouped or explained
// as that record; the answer is JSON, one object per episode in order, with
// the episode's id and the record built ("built_record").  An episode with
// a field error refuses the whole request (422) with every error of every
// episode.
#include "serve/service.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <memory>
#include <nlohmann/json.hpp>

#include "engine/prepared/prepared_set.h"
#include "episode/episode_json.h"
#include "episode_grouper/episode.h"
#include "episode_grouper/explain.h"
#include "episode_grouper/grouper.h"
#include "episode_grouper/line_splitter.h"
#include "episode_grouper/version.h"
#include "output/result_json.h"
#include "output/weight_columns.h"
#include "serve/openapi.h"
#include "serve/page.h"

namespace grouper::serve {
namespace {

using nlohmann::json;

std::string dump(const json& value) {
  // Texts from outside (a directory, a parameter) may hold any bytes.
  return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

// Compares in time that depends on the lengths only, not on where the texts differ.
bool same_secret(std::string_view given, std::string_view expected) {
  unsigned diff = given.size() == expected.size() ? 0u : 1u;
  for (size_t i = 0; i < expected.size(); ++i) {
    const unsigned char g = i < given.size() ? static_cast<unsigned char>(given[i]) : 0;
    diff |= g ^ static_cast<unsigned char>(expected[i]);
  }
  return diff == 0;
}

// The media type of a Content-Type or Accept item: lower case, without parameters and blanks.
std::string media_type(std::string_view value) {
  std::string out;
  for (char c : value.substr(0, value.find(';'))) {
    if (c != ' ' && c != '\t') out += static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  }
  return out;
}

bool accepts(std::string_view accept, std::string_view type) {
  while (!accept.empty()) {
    const size_t comma = accept.find(',');
    if (media_type(accept.substr(0, comma)) == type) return true;
    if (comma == std::string_view::npos) break;
    accept.remove_prefix(comma + 1);
  }
  return false;
}

// The query of a request, each name allowed once and only those named.
struct Query {
  std::string format, tables, impact;
};

bool read_query(const Request& request, std::initializer_list<std::string_view> allowed, Query& query,
                Response& error) {
  std::vector<std::string_view> seen;
  for (const auto& [name, value] : request.query) {
    bool known = false;
    for (std::string_view a : allowed) known = known || a == name;
    if (!known) {
      error = error_response(400, "bad_parameter", "unknown parameter '" + name + "'");
      return false;
    }
    for (std::string_view s : seen) {
      if (s == name) {
        error = error_response(400, "bad_parameter", "parameter '" + name + "' given twice");
        return false;
      }
    }
    seen.push_back(name);
    (name == "format" ? query.format : name == "impact" ? query.impact : query.tables) = value;
  }
  return true;
}

// A Grouper of one generation, borrowed from its pool for one request.
class Borrowed {
 public:
  explicit Borrowed(const LoadedSet& set) : set_(set), grouper_(set.groupers.take()) {}
  ~Borrowed() { set_.groupers.give_back(std::move(grouper_)); }
  Borrowed(const Borrowed&) = delete;
  Borrowed& operator=(const Borrowed&) = delete;
  episode_grouper::Grouper& operator*() { return *grouper_; }

 private:
  const LoadedSet& set_;
  std::unique_ptr<episode_grouper::Grouper> grouper_;
};

std::string iso_time(int64_t ms) {
  const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
  std::tm tm{};
  gmtime_r(&seconds, &tm);
  char text[96];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1,
                tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(ms % 1000));
  return text;
}

// A JSON text (UTF-8, checked by the parser) as the Latin-1 bytes it names;
// false when it holds a character past U+00FF.
bool latin1_bytes(const std::string& utf8, std::string& out) {
  out.clear();
  for (size_t i = 0; i < utf8.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(utf8[i]);
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if ((c == 0xC2 || c == 0xC3) && i + 1 < utf8.size()) {
      out += static_cast<char>(((c & 0x03) << 6) | (static_cast<unsigned char>(utf8[++i]) & 0x3F));
    } else {
      return false;
    }
  }
  return true;
}

// The episodes of a JSON body: one object or an array of them, each built
// into its record.
struct Episodes {
  std::vector<episode_grouper::Episode> list;
  std::string records;  // kEpisodeRecordBytes per episode, in order
  bool array = false;

  std::string_view record(size_t i) const {
    return std::string_view(records).substr(i * episode_grouper::kEpisodeRecordBytes,
                                            episode_grouper::kEpisodeRecordBytes);
  }
};

// The JSON of a body; false with a 400 that says where it is not JSON.
bool parse_json(std::string_view body, json& document, Response& error) {
  try {
    document = json::parse(body);
    return true;
  } catch (const json::parse_error& e) {
    std::string what = e.what();
    const size_t bracket = what.find("] ");
    if (what.starts_with("[json.exception") && bracket != std::string::npos) what.erase(0, bracket + 2);
    error = error_response(400, "bad_json", "the body is not JSON: " + what);
    return false;
  }
}

// Reads and builds the episodes of a JSON document; false with the answer
// to give instead: 400 for a document that is neither an object nor an
// array, 422 with every error of every episode.  A member that names no
// field is an error of that name: the service takes what it can encode
// only, so that a misspelt field is never dropped unseen.
bool read_episodes(const json& document, Episodes& out, Response& error) {
  out.array = document.is_array();
  if (!out.array && !document.is_object()) {
    error = error_response(400, "bad_json", "the body must be an episode object or an array of them");
    return false;
  }
  const size_t count = out.array ? document.size() : 1;
  out.list.resize(count);
  out.records.assign(count * episode_grouper::kEpisodeRecordBytes, ' ');
  json errors = json::array();
  size_t invalid = 0;
  episode_grouper::FieldErrors field_errors;
  std::vector<std::string> others;
  for (size_t i = 0; i < count; ++i) {
    const json& item = out.array ? document[i] : document;
    episode_grouper::Episode& episode = out.list[i];
    field_errors.clear();
    others.clear();
    episode_from_json(item, episode, field_errors, &others);
    // The record holds Latin-1; the JSON text is UTF-8.
    std::string id;
    if (!latin1_bytes(episode.id, id)) {
      field_errors.add(episode_grouper::EpisodeField::kId, episode.id, "holds a character past U+00FF");
    } else {
      episode.id = std::move(id);
    }
    char* record = out.records.data() + i * episode_grouper::kEpisodeRecordBytes;
    // An item that is no object has that error only, not one per field.
    const bool built = !field_errors.has(episode_grouper::EpisodeField::kRow) &&
                       episode_grouper::build_record(episode, record, field_errors) && others.empty();
    if (built) continue;
    ++invalid;
    for (const std::string& name : others) {
      errors.push_back({{"index", i}, {"field", name}, {"message", "is no episode field"}});
    }
    for (const episode_grouper::FieldError& e : field_errors) {
      errors.push_back({{"index", i},
                        {"field", episode_grouper::episode_field_name(e.field)},
                        {"message", e.message}});
    }
  }
  if (invalid == 0) return true;
  error.status = http_status(episode_grouper::StatusKind::kInvalidEpisode);
  error.content_type = "application/json";
  const std::string message = out.array ? std::to_string(invalid) + " of " + std::to_string(count) +
                                              " episodes have field errors; none was grouped"
                                        : "the episode has field errors";
  error.body = dump(json{{"error", episode_grouper::kind_name(episode_grouper::StatusKind::kInvalidEpisode)},
                         {"message", message},
                         {"errors", std::move(errors)}}) +
               "\n";
  return false;
}

// Appends the member "id" (when given) and "built_record" before the
// closing brace of the JSON object that ends `body` ("...}" and a line feed).
void add_episode_members(std::string& body, const std::string_view* id, std::string_view record) {
  const size_t close = body.rfind('}');
  if (close == std::string::npos) return;
  body.resize(close);
  char text[2 + 6 * episode_grouper::kEpisodeRecordBytes];
  if (id) {
    body += ",\"id\":";
    body.append(text, static_cast<size_t>(put_json_string(text, id->substr(0, episode_grouper::kMaxIdBytes)) - text));
  }
  body += ",\"built_record\":";
  body.append(text, static_cast<size_t>(put_json_string(text, record) - text));
  body += '}';
}

Response plain(int status, std::string type, std::string body) {
  Response r;
  r.status = status;
  r.content_type = std::move(type);
  r.body = std::move(body);
  return r;
}

}  // namespace

int http_status(episode_grouper::StatusKind kind) {
  using K = episode_grouper::StatusKind;
  switch (kind) {
    case K::kOk: return 200;
    case K::kInvalidEpisode: return 422;  // the request's episode, not the service, is at fault
    case K::kOutOfMemory: return 503;  // the service may have room again later
    case K::kNoDirectory:
    case K::kFileFailed:
    case K::kCountMismatch:
    case K::kLogicSetting:
    case K::kWeights:
    case K::kRegistry: return 500;  // the service's own files, not the request, failed
  }
  return 500;
}

Response error_response(int status, std::string_view error, std::string_view message) {
  Response r;
  r.status = status;
  r.body = dump(json{{"error", error}, {"message", message}}) + "\n";
  return r;
}

Service::Service(TableRegistry& registry, std::string token, int threads)
    : registry_(registry),
      token_(std::move(token)),
      metrics_(registry.size()),
      grouping_(std::clamp<std::ptrdiff_t>(threads, 1, 4096)) {}

namespace {

// Holds one of the service's grouping turns for a scope.
class Turn {
 public:
  explicit Turn(std::counting_semaphore<4096>& turns) : turns_(turns) { turns_.acquire(); }
  ~Turn() { turns_.release(); }
  Turn(const Turn&) = delete;
  Turn& operator=(const Turn&) = delete;

 private:
  std::counting_semaphore<4096>& turns_;
};

}  // namespace

Response Service::handle(const Request& request) {
  const Route route = route_of(request.path);
  const RouteInfo* info = route_info(route);
  if (!info) return error_response(404, "not_found", "no route " + std::string(request.path.substr(0, 200)));
  if (!token_.empty() && info->needs_token) {
    const std::string_view auth = request.authorization;
    if (!auth.starts_with("Bearer ") || !same_secret(auth.substr(7), token_)) {
      Response r = error_response(401, "unauthorized", "this route needs Authorization: Bearer TOKEN");
      r.headers.emplace_back("WWW-Authenticate", "Bearer");
      return r;
    }
  }
  const bool head_of_get = info->method == "GET" && request.method == "HEAD";
  if (request.method != info->method && !head_of_get) {
    Response r = error_response(405, "method_not_allowed",
                                std::string(info->path) + " takes " + std::string(info->method));
    r.headers.emplace_back("Allow", std::string(info->method));
    return r;
  }
  // The page reads its own query (the fields of a case); the other routes take none.
  if (route != Route::kGroup && route != Route::kExplain && route != Route::kPage && !request.query.empty()) {
    return error_response(400, "bad_parameter", std::string(info->path) + " takes no parameters");
  }
  switch (route) {
    case Route::kGroup: return group(request);
    case Route::kExplain: return explain(request);
    case Route::kTables: return tables();
    case Route::kVersion:
      return plain(200, "application/json",
                   nlohmann::json{{"version", episode_grouper::version()}}.dump() + "\n");
    case Route::kHealthz: return plain(200, "application/json", "{\"status\":\"alive\"}\n");
    case Route::kReadyz: return readyz();
    case Route::kMetrics:
      return plain(200, "text/plain; version=0.0.4; charset=utf-8", metrics_.text(registry_));
    case Route::kOpenapi: return plain(200, "application/json", openapi_document());
    case Route::kReload: return admin_reload();
    case Route::kPage: {
      Response r = plain(200, "text/html; charset=utf-8", std::string(page_html()));
      r.headers.emplace_back("Content-Security-Policy", "default-src 'self'");
      return r;
    }
    case Route::kPageScript: return plain(200, "text/javascript; charset=utf-8", std::string(page_script()));
    case Route::kPageStyle: return plain(200, "text/css; charset=utf-8", std::string(page_style()));
    case Route::kIcon: return plain(200, "image/svg+xml", std::string(page_icon()));
    case Route::kOther: break;
  }
  return error_response(404, "not_found", "no route");
}

Response Service::group(const Request& request) {
  const std::string type = media_type(request.content_type);
  const bool episodes = type == "application/json";
  if (!episodes && !type.empty() && type != "text/plain" && type != "application/octet-stream") {
    return error_response(415, "unsupported_media_type",
                          "/v1/group takes text/plain episode lines or application/json episodes");
  }
  Query query;
  Response error;
  if (!read_query(request, {"format", "tables"}, query, error)) return error;
  if (episodes) {
    if (!query.format.empty()) {
      return error_response(400, "bad_parameter", "format is for episode lines; JSON episodes are answered in JSON");
    }
    json document;
    if (!parse_json(request.body, document, error)) return error;
    return group_episodes(document, query.tables);
  }
  bool jsonl = accepts(request.accept, "application/x-ndjson");
  if (query.format == "jsonl") jsonl = true;
  else if (query.format == "text") jsonl = false;
  else if (!query.format.empty()) return error_response(400, "bad_parameter", "format takes text or jsonl");
  // Over a registry, a request that names no version groups each record
  // with the version of its date, all from one generation.
  if (query.tables.empty()) {
    if (const std::shared_ptr<const DatedSets> dated = registry_.dated()) {
      const Turn turn(grouping_);
      return group_by_date(*dated, request.body, jsonl);
    }
  }
  const int index = registry_.find(query.tables);
  if (index < 0) return error_response(404, "no_such_tables", "no table set named '" + query.tables + "'");
  const Turn turn(grouping_);
  const std::shared_ptr<const LoadedSet> set = registry_.current(static_cast<size_t>(index));
  Borrowed borrowed(*set);
  episode_grouper::Grouper& grouper = *borrowed;

  Response r;
  // The body is split once, as it is grouped; the answer grows as needed
  // (a result line is at most kMaxResultLine bytes, a JSON row kMaxJsonRow).
  std::string_view record;
  episode_grouper::LineSplitter split(request.body);
  int64_t n = 0;
  if (jsonl) {
    r.content_type = "application/x-ndjson";
    char row[episode_grouper::kMaxJsonRow];
    r.body.reserve(request.body.size() * 2);
    while (split.next(record)) {
      grouper.group(record);
      ++n;
      const size_t length =
          weights_ ? grouper.write_json_row(n, grouper.weigh(*weights_), row) : grouper.write_json_row(n, row);
      r.body.append(row, length);
    }
  } else {
    r.content_type = "text/plain; charset=iso-8859-1";
    constexpr size_t kLine = episode_grouper::kMaxResultLine;
    r.body.resize(request.body.size() + request.body.size() / 4 + kLine);
    size_t used = 0;
    while (split.next(record)) {
      if (r.body.size() - used < kLine) r.body.resize(2 * r.body.size());
      grouper.group(record);
      ++n;
      used += grouper.write_result_line(r.body.data() + used);
    }
    r.body.resize(used);
  }
  r.records = n;
  return r;
}

Response Service::group_by_date(const DatedSets& dated, std::string_view body, bool jsonl) {
  std::unique_ptr<episode_grouper::RegistryGrouper> grouper = dated.take();
  Response r;
  std::string_view record;
  episode_grouper::LineSplitter split(body);
  int64_t n = 0;
  if (jsonl) {
    r.content_type = "application/x-ndjson";
    char row[episode_grouper::kMaxRegistryJsonRow];
    r.body.reserve(body.size() * 2);
    while (split.next(record)) {
      grouper->group(record);
      r.body.append(row, grouper->write_json_row(++n, row));
    }
  } else {
    r.content_type = "text/plain; charset=iso-8859-1";
    char line[episode_grouper::kMaxResultLine];
    r.body.reserve(body.size() + body.size() / 4);
    while (split.next(record)) {
      grouper->group(record);
      ++n;
      r.body.append(line, grouper->write_result_line(line));
    }
  }
  dated.give_back(std::move(grouper));
  r.records = n;
  return r;
}

Response Service::explain(const Request& request) {
  const std::string type = media_type(request.content_type);
  Query query;
  Response error;
  if (!read_query(request, {"format", "tables", "impact"}, query, error)) return error;
  episode_grouper::ExplainFormat format = episode_grouper::ExplainFormat::kJson;
  if (query.format == "text") format = episode_grouper::ExplainFormat::kText;
  else if (!query.format.empty() && query.format != "json") {
    return error_response(400, "bad_parameter", "format takes json or text");
  }
  if (!query.impact.empty() && query.impact != "true" && query.impact != "false") {
    return error_response(400, "bad_parameter", "impact takes true or false");
  }
  // With impact=true the trace ends with the record's impact, weighed with
  // the service's catalogue when it has one.
  episode_grouper::ExplainOptions options;
  options.impact = query.impact == "true";
  options.weights = weights_.get();
  std::string record;
  if (type.empty() || type == "text/plain" || type == "application/octet-stream") {
    record = std::string(request.body);
  } else if (type == "application/json") {
    // {"record": "..."} is one record; any other JSON is episodes.
    json document;
    if (!parse_json(request.body, document, error)) return error;
    if (!document.is_object() || !document.contains("record")) {
      return explain_episodes(document, query.tables, format, options);
    }
    if (!document["record"].is_string()) {
      return error_response(400, "bad_json", "the body must be an object with a string \"record\"");
    }
    for (const auto& item : document.items()) {
      if (item.key() != "record") return error_response(400, "bad_json", "unknown member \"" + item.key() + "\"");
    }
    if (!latin1_bytes(document["record"].get<std::string>(), record)) {
      return error_response(400, "bad_record", "a record holds Latin-1 characters only (U+0000..U+00FF)");
    }
  } else {
    return error_response(415, "unsupported_media_type",
                          "/v1/explain takes text/plain, {\"record\": ...} or application/json episodes");
  }
  const size_t records = episode_grouper::count_records(record);
  if (records != 1) {
    return error_response(400, "bad_record",
                          records == 0 ? "the body holds no record" : "/v1/explain takes one record, not " +
                                                                           std::to_string(records));
  }
  const int index = registry_.find(query.tables);
  const std::shared_ptr<const DatedSets> dated = query.tables.empty() ? registry_.dated() : nullptr;
  std::shared_ptr<const LoadedSet> set;
  if (dated) {
    // Over a registry without a version named: the version of the record's date.
    const int version = dated->registry->version_of(record);
    if (version < 0) {
      return error_response(422, "no_table_version",
                            "no table version holds the record date " +
                                std::to_string(episode_grouper::TableRegistry::record_date(record)));
    }
    set = dated->sets[static_cast<size_t>(version)];
  }
  if (!set && index < 0) return error_response(404, "no_such_tables", "no table set named '" + query.tables + "'");
  const Turn turn(grouping_);
  if (!set) set = registry_.current(static_cast<size_t>(index));
  Response r = plain(200,
                     format == episode_grouper::ExplainFormat::kJson ? "application/json"
                                                                      : "text/plain; charset=iso-8859-1",
                     episode_grouper::explain(*set->tables, record, format, options));
  if (weights_) add_weight(*set, record, format, r.body);
  r.records = 1;
  return r;
}

namespace {

// JSON episodes, each grouped with the version of its date.
Response group_episodes_by_date(const DatedSets& dated, const Episodes& episodes) {
  std::unique_ptr<episode_grouper::RegistryGrouper> g = dated.take();
  Response r;
  r.body.reserve(episodes.list.size() * 1024 + 4);
  if (episodes.array) r.body += '[';
  char row[episode_grouper::kMaxRegistryJsonRow];
  std::string object;
  for (size_t i = 0; i < episodes.list.size(); ++i) {
    const episode_grouper::Result& result = g->group(episodes.record(i));
    const std::string_view id = episodes.list[i].id;
    const int64_t number = static_cast<int64_t>(i) + 1;
    const size_t n = g->tables() ? format_json_row(number, prepared(*g->tables()).store(), result, result.findings,
                                                   row, nullptr, &id)
                                 : format_json_ungrouped_row(number, &id, result.findings, false, row);
    object.assign(row, add_tables_member(row, n, g->version_name()));
    add_episode_members(object, nullptr, episodes.record(i));
    if (i > 0) r.body += ',';
    r.body += object;
  }
  dated.give_back(std::move(g));
  r.body += episodes.array ? "]\n" : "\n";
  r.records = static_cast<int64_t>(episodes.list.size());
  return r;
}

}  // namespace

Response Service::group_episodes(const nlohmann::json& document, const std::string& tables) {
  const std::shared_ptr<const DatedSets> dated = tables.empty() ? registry_.dated() : nullptr;
  const int index = registry_.find(tables);
  if (index < 0) return error_response(404, "no_such_tables", "no table set named '" + tables + "'");
  const Turn turn(grouping_);
  Episodes episodes;
  Response r;
  if (!read_episodes(document, episodes, r)) return r;
  if (dated) return group_episodes_by_date(*dated, episodes);
  const std::shared_ptr<const LoadedSet> set = registry_.current(static_cast<size_t>(index));
  Borrowed borrowed(*set);
  episode_grouper::Grouper& g = *borrowed;
  const TableStore& store = prepared(*set->tables).store();
  r.body.reserve(episodes.list.size() * 1024 + 4);
  if (episodes.array) r.body += '[';
  char row[episode_grouper::kMaxJsonRow];
  std::string object;
  for (size_t i = 0; i < episodes.list.size(); ++i) {
    const episode_grouper::Result& result = g.group(episodes.record(i));
    episode_grouper::Findings findings = result.findings;
    episode_grouper::EpisodeWeight weight;
    if (weights_) {
      weight = g.weigh(*weights_);
      episode_grouper::add_weight_finding(weight, findings);
    }
    const std::string_view id = episodes.list[i].id;
    object.assign(row, format_json_row(static_cast<int64_t>(i) + 1, store, result, findings, row,
                                       weights_ ? &weight : nullptr, &id));
    add_episode_members(object, nullptr, episodes.record(i));
    if (i > 0) r.body += ',';
    r.body += object;
  }
  r.body += episodes.array ? "]\n" : "\n";
  r.records = static_cast<int64_t>(episodes.list.size());
  return r;
}

Response Service::explain_episodes(const nlohmann::json& document, const std::string& tables,
                                   episode_grouper::ExplainFormat format,
                                   const episode_grouper::ExplainOptions& options) {
  const int index = registry_.find(tables);
  if (index < 0) return error_response(404, "no_such_tables", "no table set named '" + tables + "'");
  const Turn turn(grouping_);
  Episodes episodes;
  Response r;
  if (!read_episodes(document, episodes, r)) return r;
  const std::shared_ptr<const DatedSets> dated = tables.empty() ? registry_.dated() : nullptr;
  const std::shared_ptr<const LoadedSet> named = registry_.current(static_cast<size_t>(index));
  const bool as_json = format == episode_grouper::ExplainFormat::kJson;
  r.content_type = as_json ? "application/json" : "text/plain; charset=iso-8859-1";
  if (as_json && episodes.array) r.body += '[';
  for (size_t i = 0; i < episodes.list.size(); ++i) {
    const std::string_view record = episodes.record(i);
    const std::string_view id = episodes.list[i].id;
    // Over a registry without a version named: the version of the record's date.
    const int version = dated ? dated->registry->version_of(record) : 0;
    if (version < 0) {
      return error_response(422, "no_table_version",
                            "episode " + std::to_string(i + 1) + ": no table version holds the record date " +
                                std::to_string(episode_grouper::TableRegistry::record_date(record)));
    }
    const LoadedSet* set = dated ? dated->sets[static_cast<size_t>(version)].get() : named.get();
    std::string one = episode_grouper::explain(*set->tables, record, format, options);
    if (weights_) add_weight(*set, record, format, one);
    if (as_json) {
      add_episode_members(one, &id, record);
      if (i > 0) r.body += ',';
    } else {
      // Each explanation under the episode and the record built from it.
      std::string head = "Episode " + std::to_string(i + 1);
      if (!id.empty()) head += " (id " + std::string(id) + ")";
      one = (i > 0 ? "\n" : "") + head + "\nRecord built\n  \"" + std::string(record) + "\"\n\n" + one;
    }
    r.body += one;
  }
  if (as_json) r.body += episodes.array ? "]\n" : "\n";
  r.records = static_cast<int64_t>(episodes.list.size());
  return r;
}

void Service::add_weight(const LoadedSet& set, std::string_view record, episode_grouper::ExplainFormat format,
                         std::string& body) const {
  Borrowed borrowed(set);
  episode_grouper::Grouper& grouper = *borrowed;
  grouper.group(record);
  const episode_grouper::EpisodeWeight weight = grouper.weigh(*weights_);
  if (format == episode_grouper::ExplainFormat::kJson) {
    // The weight members close the trace's object: '..."findings":[...]}' + LF.
    const size_t close = body.rfind('}');
    if (close == std::string::npos) return;
    char members[kMaxWeightColumnsBytes];
    const std::string tail = body.substr(close);
    body.resize(close);
    body.append(members, static_cast<size_t>(put_weight_json(members, weight) - members));
    body += tail;
    return;
  }
  body += "Weight (";
  body += weights_->name();
  body += ")\n  ";
  if (!weight.has_weight) {
    body += "none\n";
    return;
  }
  body += "weight " + episode_grouper::format_weight(weight.weight) + ", effective weight " +
          episode_grouper::format_weight(weight.effective);
  if (weight.los_class != episode_grouper::LosClass::kNone) {
    body += ", length of stay ";
    body += episode_grouper::los_class_name(weight.los_class);
  }
  body += "\n";
}

Response Service::tables() const {
  json list = json::array();
  for (size_t i = 0; i < registry_.size(); ++i) {
    const auto set = registry_.current(i);
    const episode_grouper::TableCounts c = set->tables->counts();
    list.push_back({{"name", registry_.name(i)},
                    {"default", i == 0},
                    {"directory", registry_.directory(i).string()},
                    {"loaded_at", iso_time(set->loaded_at_ms)},
                    {"generation", set->generation},
                    {"checksum", set->checksum},
                    {"counts",
                     {{"dx", c.dx},
                      {"sg", c.sg},
                      {"mdc", c.mdc},
                      {"adrg", c.adrg},
                      {"drg", c.drg},
                      {"cond", c.cond},
                      {"rules_before_20050101", c.rules_before},
                      {"rules_from_20050101", c.rules_from}}}});
  }
  return plain(200, "application/json", dump(json{{"tables", list}}) + "\n");
}

Response Service::readyz() const {
  if (draining_.load()) return error_response(503, "shutting_down", "the service is stopping");
  return plain(200, "application/json", "{\"status\":\"ready\",\"table_sets\":" + std::to_string(registry_.size()) + "}\n");
}

std::vector<ReloadOutcome> Service::reload() {
  std::vector<ReloadOutcome> outcomes = registry_.reload();
  for (size_t i = 0; i < outcomes.size(); ++i) {
    ReloadOutcome& o = outcomes[i];
    metrics_.count_reload(i, o.ok, o.message);
    o.message = o.ok ? "reload of table set '" + o.name + "' done"
                     : "reload of table set '" + o.name + "' failed, the old set keeps serving: " + o.message;
    if (log_) log_(o.message);
  }
  return outcomes;
}

Response Service::admin_reload() {
  json list = json::array();
  int status = 200;
  const std::vector<ReloadOutcome> outcomes = reload();
  for (size_t i = 0; i < outcomes.size(); ++i) {
    json item = {{"name", outcomes[i].name},
                 {"ok", outcomes[i].ok},
                 {"message", outcomes[i].message},
                 {"generation", registry_.current(i)->generation}};
    if (!outcomes[i].ok) {
      item["error"] = episode_grouper::kind_name(outcomes[i].kind);
      status = std::max(status, http_status(outcomes[i].kind));
    }
    list.push_back(std::move(item));
  }
  return plain(status, "application/json", dump(json{{"reloaded", list}}) + "\n");
}

}  // namespace grouper::serve
