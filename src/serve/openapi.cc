// The OpenAPI document: every route of kRoutes with its parameters, bodies
// and answers.
#include "serve/openapi.h"

#include <nlohmann/json.hpp>

#include "serve/routes.h"

namespace grouper::serve {
namespace {

using nlohmann::json;

json error_answer(const char* description) {
  return {{"description", description},
          {"content", {{"application/json", {{"schema", {{"$ref", "#/components/schemas/Error"}}}}}}}};
}

json query_parameter(const char* name, const char* description, json values) {
  return {{"name", name},
          {"in", "query"},
          {"required", false},
          {"description", description},
          {"schema", {{"type", "string"}, {"enum", std::move(values)}}}};
}

json tables_parameter() {
  return {{"name", "tables"},
          {"in", "query"},
          {"required", false},
          {"description", "the name of a loaded table set (default: the first)"},
          {"schema", {{"type", "string"}}}};
}

json operation(const RouteInfo& r) {
  json op = {{"summary", r.summary}, {"operationId", std::string(r.path == "/" ? "/page" : r.path).substr(1)}};
  json answers = {{"200", {{"description", "success"}}}};
  if (!r.needs_token) op["security"] = json::array();
  else answers["401"] = error_answer("the token is missing or wrong");
  answers["405"] = error_answer("another method");
  switch (r.route) {
    case Route::kGroup:
      op["description"] =
          "The body holds episode lines, split as the batch run splits them (a line feed ends a record, a "
          "line past 4095 bytes makes several, a carriage return stays in its line, a last line without a "
          "line feed is a record).  The answer holds the classic result lines, byte for byte those of the "
          "program, or with format=jsonl (or Accept: application/x-ndjson) the JSON Lines result rows with "
          "their findings, numbered from 1.";
      op["parameters"] = {query_parameter("format", "text (default) or jsonl", {"text", "jsonl"}),
                          tables_parameter()};
      op["requestBody"] = {{"required", true},
                           {"content", {{"text/plain", {{"schema", {{"type", "string"}}}}}}}};
      answers["200"] = {{"description", "one answer line per record"},
                        {"headers", {{"X-Records", {{"schema", {{"type", "integer"}}}}}}},
                        {"content",
                         {{"text/plain", {{"schema", {{"type", "string"}}}}},
                          {"application/x-ndjson", {{"schema", {{"type", "string"}}}}}}}};
      answers["400"] = error_answer("a bad parameter");
      answers["404"] = error_answer("no table set of that name");
      answers["413"] = error_answer("the body is larger than the service takes");
      answers["415"] = error_answer("another content type");
      break;
    case Route::kExplain:
      op["description"] =
          "One record, as text/plain or as {\"record\": \"...\"} (Latin-1 characters), answers every step "
          "the grouping took for it: the JSON trace (default) or text with format=text.";
      op["parameters"] = {query_parameter("format", "json (default) or text", {"json", "text"}),
                          tables_parameter()};
      op["requestBody"] = {
          {"required", true},
          {"content",
           {{"text/plain", {{"schema", {{"type", "string"}}}}},
            {"application/json",
             {{"schema",
               {{"type", "object"},
                {"required", {"record"}},
                {"properties", {{"record", {{"type", "string"}}}}}}}}}}}};
      answers["200"] = {{"description", "the trace"},
                        {"content",
                         {{"application/json", {{"schema", {{"type", "object"}}}}},
                          {"text/plain", {{"schema", {{"type", "string"}}}}}}}};
      answers["400"] = error_answer("malformed JSON, not exactly one record, or a bad parameter");
      answers["404"] = error_answer("no table set of that name");
      answers["413"] = error_answer("the body is larger than the service takes");
      answers["415"] = error_answer("another content type");
      break;
    case Route::kReadyz: answers["503"] = error_answer("the service is stopping"); break;
    case Route::kReload: answers["500"] = error_answer("a set failed to load; its old version keeps serving"); break;
    default: break;
  }
  op["responses"] = answers;
  return op;
}

std::string build() {
  json paths = json::object();
  for (const RouteInfo& r : kRoutes) {
    std::string method(r.method);
    for (char& c : method) c = static_cast<char>(c - 'A' + 'a');
    paths[std::string(r.path)][method] = operation(r);
  }
  json doc = {
      {"openapi", "3.0.3"},
      {"info",
       {{"title", "grouper serve"},
        {"version", "1.0.0"},
        {"description", "Groups hospital episodes over HTTP, with the bytes of the batch run."}}},
      {"paths", paths},
      {"security", {{{"bearer", json::array()}}}},
      {"components",
       {{"securitySchemes", {{"bearer", {{"type", "http"}, {"scheme", "bearer"}}}}},
        {"schemas",
         {{"Error",
           {{"type", "object"},
            {"required", {"error", "message"}},
            {"properties", {{"error", {{"type", "string"}}}, {"message", {{"type", "string"}}}}}}}}}}}};
  return doc.dump(1) + "\n";
}

}  // namespace

const std::string& openapi_document() {
  static const std::string document = build();
  return document;
}

}  // namespace grouper::serve
