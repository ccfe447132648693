// Fuzz target: requests of any bytes through the service's handlers.
//
// The input gives the method, the target (path and query), the Content-Type,
// Accept and Authorization headers, one line each, and then the body.  The
// service answers over the demo set, with a token.  Checks: every answer has
// a status the service promises; every error is a JSON object with "error"
// and "message" (and "errors" for invalid episodes); the result lines of
// /v1/group are those the library gives record by record; every JSON Lines
// row and every JSON trace parses; JSON episodes answer one object each,
// with the 300-character record built from it.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "episode_grouper/grouper.h"
#include "episode_grouper/line_splitter.h"
#include "fuzz_support.h"
#include "serve/service.h"
#include "serve/table_registry.h"

namespace {

namespace eg = episode_grouper;
using grouper::fuzz::check;
using nlohmann::json;

struct Demo {
  grouper::serve::TableRegistry registry;
  std::unique_ptr<grouper::serve::Service> service;
  std::shared_ptr<const eg::TableSet> tables;

  Demo() {
    const std::filesystem::path dir = grouper::fuzz::scratch_dir() / "serve-demo";
    std::filesystem::create_directories(dir);
    for (const auto& [name, bytes] : grouper::fuzz::demo_files()) grouper::fuzz::write_bytes(dir / name, bytes);
    std::string error;
    check(registry.open({{"default", dir}, {"second", dir}}, error), "the demo set opens");
    service = std::make_unique<grouper::serve::Service>(registry, "fuzz-token");
    tables = registry.current(0)->tables;
  }
};

std::string_view take_line(std::string_view& rest) {
  const size_t lf = rest.find('\n');
  const std::string_view line = rest.substr(0, lf);
  rest.remove_prefix(lf == std::string_view::npos ? rest.size() : lf + 1);
  return line;
}

bool json_error(const std::string& body, int status) {
  const json e = json::parse(body, nullptr, false);
  const size_t members = status == 422 ? 3 : 2;
  return e.is_object() && e.size() == members && e.contains("error") && e["error"].is_string() &&
         e.contains("message") && e["message"].is_string() &&
         (status != 422 || (e.contains("errors") && e["errors"].is_array() && !e["errors"].empty()));
}

// The answer to JSON episodes: an object, or an array of them, each with
// the record built; `records` of them.
bool episode_answer(const std::string& body, int64_t records) {
  const json answer = json::parse(body, nullptr, false);
  if (!answer.is_object() && !answer.is_array()) return false;
  const json list = answer.is_array() ? answer : json::array({answer});
  for (const json& item : list) {
    if (!item.is_object() || !item.contains("built_record") || !item["built_record"].is_string()) return false;
  }
  return static_cast<int64_t>(list.size()) == records;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Demo demo;
  static eg::Grouper reference(demo.tables);

  std::string_view rest(reinterpret_cast<const char*>(data), size);
  grouper::serve::Request request;
  request.method = take_line(rest);
  const std::string_view target = take_line(rest);
  request.content_type = take_line(rest);
  request.accept = take_line(rest);
  request.authorization = take_line(rest);
  request.body = rest;
  // The query as the HTTP library hands it over: NAME=VALUE pairs split at '&'.
  const size_t question = target.find('?');
  request.path = target.substr(0, question);
  std::string_view query = question == std::string_view::npos ? std::string_view() : target.substr(question + 1);
  while (!query.empty()) {
    const std::string_view pair = query.substr(0, query.find('&'));
    query.remove_prefix(std::min(query.size(), pair.size() + 1));
    const size_t eq = pair.find('=');
    request.query.emplace_back(std::string(pair.substr(0, eq)),
                               eq == std::string_view::npos ? std::string() : std::string(pair.substr(eq + 1)));
  }

  const grouper::serve::Response answer = demo.service->handle(request);
  const int s = answer.status;
  check(s == 200 || s == 400 || s == 401 || s == 404 || s == 405 || s == 415 || s == 422 || s == 500,
        "a promised status");
  if (s != 200) {
    check(json_error(answer.body, s), "an error is {\"error\", \"message\"}");
    return 0;
  }
  if (request.path == "/v1/group" && answer.content_type == "application/json") {
    check(episode_answer(answer.body, answer.records), "one object per episode, with its record");
  } else if (request.path == "/v1/group") {
    std::string_view record;
    std::string_view out = answer.body;
    eg::LineSplitter split(request.body);
    const bool jsonl = answer.content_type == "application/x-ndjson";
    int64_t n = 0;
    while (split.next(record)) {
      ++n;
      reference.group(record);
      if (jsonl) {
        const std::string_view row = take_line(out);
        check(json::parse(row, nullptr, false).is_object(), "a JSON Lines row parses");
      } else {
        const std::string line = reference.result_line();
        check(out.substr(0, line.size()) == line, "the result line the library gives");
        out.remove_prefix(line.size());
      }
    }
    check(out.empty(), "nothing after the last record's answer");
    check(answer.records == n, "the records counted");
  } else if (request.path == "/v1/explain" && answer.content_type == "application/json") {
    const json trace = json::parse(answer.body, nullptr, false);
    check(trace.is_object() || trace.is_array(), "the trace parses");
  }
  return 0;
}
