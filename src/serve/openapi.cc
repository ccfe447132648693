// The OpenAPI document: every route of kRoutes with its parameters, bodies
// and answers.
#include "serve/openapi.h"

#include <nlohmann/json.hpp>

#include "episode_grouper/version.h"
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

json ref(const char* schema) { return {{"$ref", std::string("#/components/schemas/") + schema}}; }

// One episode, or an array of them.
json one_or_many(const char* schema) {
  return {{"oneOf", {ref(schema), {{"type", "array"}, {"items", ref(schema)}}}}};
}

json invalid_episode_answer() {
  return {{"description", "an episode has field errors: none is grouped, and every error of every episode is listed"},
          {"content", {{"application/json", {{"schema", ref("InvalidEpisode")}}}}}};
}

// A field given as a number or in its text form, or null for "not given";
// a `maximum` below 0 is none.
json number_field(const char* description, int minimum, int maximum) {
  json number = {{"type", "integer"}, {"minimum", minimum}};
  if (maximum >= 0) number["maximum"] = maximum;
  return {{"description", description}, {"nullable", true}, {"oneOf", {number, {{"type", "string"}}}}};
}

json text_field(const char* description) {
  return {{"description", description}, {"nullable", true}, {"type", "string"}};
}

json code_list(const char* description, int most) {
  return {{"description", description},
          {"nullable", true},
          {"oneOf", {{{"type", "array"}, {"maxItems", most}, {"items", {{"type", "string"}}}}, {{"type", "string"}}}}};
}

json episode_schema() {
  const char* date = "a date, YYYY-MM-DD or YYYYMMDD (as a string or a number)";
  return {
      {"type", "object"},
      {"description",
       "An episode as named fields, built into its fixed-width record by the grouper's one builder.  Exactly one "
       "of birth_date, age_years and age_days is given.  A code is 1 to 5 letters and digits once one dot is "
       "removed; letters are upper-cased.  Null or a missing member is \"not given\"; a member of another name "
       "is an error."},
      {"required", {"sex", "record_date", "los", "discharge", "principal"}},
      {"additionalProperties", false},
      {"properties",
       {{"id", text_field("at most 8 characters, the head of the record")},
        {"birth_date", {{"description", date}, {"nullable", true}, {"oneOf", {{{"type", "string"}}, {{"type", "integer"}}}}}},
        {"age_years", number_field("instead of birth_date: whole years before record_date", 0, -1)},
        {"age_days", number_field("instead of birth_date: days before record_date", 0, -1)},
        {"sex", text_field("M or F (male, female; any case)")},
        {"record_date", {{"description", date}, {"oneOf", {{{"type", "string"}}, {{"type", "integer"}}}}}},
        {"los", number_field("length of stay in days", 0, 999)},
        {"discharge", number_field("discharge status", 0, 9)},
        {"principal", text_field("the principal diagnosis code")},
        {"secondary", code_list("up to 9 secondary diagnosis codes, in order (or one string, codes separated by |)", 9)},
        {"procedures", code_list("up to 36 procedure codes, in order (or one string, codes separated by |)", 36)},
        {"birth_weight", number_field("grams", 0, 99999)},
        {"vent_hours", number_field("hours of ventilation", 0, 99999)}}}};
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
          "their findings, numbered from 1.  With Content-Type application/json the body holds one episode as "
          "named fields, or an array of them: the answer is one result object, or an array of them in order, "
          "each the JSON Lines result row with the episode's id and the record built from it.  An array with "
          "an invalid episode is refused whole (422).";
      op["parameters"] = {query_parameter("format", "text (default) or jsonl", {"text", "jsonl"}),
                          tables_parameter()};
      op["requestBody"] = {{"required", true},
                           {"content",
                            {{"text/plain", {{"schema", {{"type", "string"}}}}},
                             {"application/json", {{"schema", one_or_many("Episode")}}}}}};
      answers["200"] = {{"description", "one answer line per record, or one result object per episode"},
                        {"headers", {{"X-Records", {{"schema", {{"type", "integer"}}}}}}},
                        {"content",
                         {{"text/plain", {{"schema", {{"type", "string"}}}}},
                          {"application/x-ndjson", {{"schema", {{"type", "string"}}}}},
                          {"application/json", {{"schema", one_or_many("GroupResult")}}}}}};
      answers["400"] = error_answer("a bad parameter, or a JSON body that is not JSON");
      answers["422"] = invalid_episode_answer();
      answers["404"] = error_answer("no table set of that name");
      answers["413"] = error_answer("the body is larger than the service takes");
      answers["415"] = error_answer("another content type");
      break;
    case Route::kExplain:
      op["description"] =
          "One record, as text/plain or as {\"record\": \"...\"} (Latin-1 characters), answers every step "
          "the grouping took for it: the JSON trace (default) or text with format=text.  Any other JSON body is "
          "one episode as named fields or an array of them (as for /v1/group): each is explained as the record "
          "built from it, the trace carrying \"id\" and \"built_record\" (an array of traces for an array), "
          "the text headed by the episode and its record.  With impact=true the trace ends with the "
          "record's impact: the codes in positions 2..46 whose removal changes the DRG (or, with the service's "
          "weights, the weight), as the member \"impact\" of the JSON trace or the last section of the text.";
      op["parameters"] = {query_parameter("format", "json (default) or text", {"json", "text"}),
                          tables_parameter(),
                          query_parameter("impact", "false (default) or true", {"false", "true"})};
      {
        const json record_object = {{"type", "object"},
                                    {"required", {"record"}},
                                    {"additionalProperties", false},
                                    {"properties", {{"record", {{"type", "string"}}}}}};
        json forms = json::array({record_object, ref("Episode")});
        forms.push_back({{"type", "array"}, {"items", ref("Episode")}});
        json content = json::object();
        content["text/plain"]["schema"] = {{"type", "string"}};
        content["application/json"]["schema"]["oneOf"] = forms;
        op["requestBody"] = {{"required", true}, {"content", content}};
      }
      answers["200"] = {{"description", "the trace (one per episode)"},
                        {"content",
                         {{"application/json",
                           {{"schema", {{"oneOf", {{{"type", "object"}}, {{"type", "array"}, {"items", {{"type", "object"}}}}}}}}}},
                          {"text/plain", {{"schema", {{"type", "string"}}}}}}}};
      answers["400"] = error_answer("malformed JSON, not exactly one record, or a bad parameter");
      answers["422"] = invalid_episode_answer();
      answers["404"] = error_answer("no table set of that name");
      answers["413"] = error_answer("the body is larger than the service takes");
      answers["415"] = error_answer("another content type");
      break;
    case Route::kVersion:
      answers["200"] = {{"description", "the version of the grouper, as every answer's X-Grouper-Version header"},
                        {"content",
                         {{"application/json",
                           {{"schema",
                             {{"type", "object"},
                              {"required", {"version"}},
                              {"properties", {{"version", {{"type", "string"}}}}}}}}}}}};
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
        {"version", episode_grouper::version()},
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
  json& schemas = doc["components"]["schemas"];
  schemas["Episode"] = episode_schema();
  json result_properties = {{"record", {{"type", "integer"}}},
                            {"id", {{"type", "string"}}},
                            {"mdc", {{"type", "string"}, {"nullable", true}}},
                            {"adrg", {{"type", "string"}, {"nullable", true}}},
                            {"drg", {{"type", "string"}, {"nullable", true}}},
                            {"pccl", {{"type", "integer"}, {"nullable", true}}},
                            {"findings", {{"type", "array"}, {"items", {{"type", "object"}}}}},
                            {"built_record", {{"type", "string"}, {"minLength", 300}, {"maxLength", 300}}}};
  schemas["GroupResult"] = {
      {"type", "object"},
      {"description",
       "The JSON Lines result row of the episode's record (record, the number of the episode from 1; mdc, adrg, "
       "drg, pccl, ccl_raw, ccl_excl, supplementary, the record values, findings, and with weights weight, "
       "effective_weight and los_class), with id and the record built from the episode."},
      {"required", {"record", "id", "drg", "findings", "built_record"}},
      {"properties", result_properties}};
  json error_item = {{"type", "object"}, {"required", {"index", "field", "message"}}};
  error_item["properties"]["index"] = {{"type", "integer"},
                                       {"description", "the episode's place in the array, from 0 (0 for one object)"}};
  error_item["properties"]["field"] = {
      {"type", "string"},
      {"description", "the field; \"row\" for an item that is no object; or a member that names no field"}};
  error_item["properties"]["message"] = {
      {"type", "string"}, {"description", "what is wrong, e.g. \"2005-02-30 is not a calendar date\""}};
  json invalid = {{"type", "object"}, {"required", {"error", "message", "errors"}}};
  invalid["properties"]["error"] = {{"type", "string"}, {"enum", {"invalid_episode"}}};
  invalid["properties"]["message"] = {{"type", "string"}};
  invalid["properties"]["errors"] = {{"type", "array"}, {"items", error_item}};
  schemas["InvalidEpisode"] = invalid;
  return doc.dump(1) + "\n";
}

}  // namespace

const std::string& openapi_document() {
  static const std::string document = build();
  return document;
}

}  // namespace grouper::serve
