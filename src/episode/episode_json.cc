#include "episode/episode_json.h"

#include <cmath>
#include <nlohmann/json.hpp>

namespace grouper {
namespace {

namespace eg = episode_grouper;
using F = eg::EpisodeField;

bool is_code_list(F field) { return field == F::kSecondary || field == F::kProcedures; }

// A number as the text form reads it: whole numbers as digits, others as
// written (which the text form then refuses with its own message).
std::string number_text(const nlohmann::json& v) {
  if (v.is_number_integer()) return v.dump();
  const double d = v.get<double>();
  if (std::isfinite(d) && d == std::floor(d) && std::fabs(d) < 1e15) return std::to_string(static_cast<int64_t>(d));
  return v.dump();
}

void set_value(eg::Episode& e, F field, const nlohmann::json& v, eg::FieldErrors& errors) {
  if (v.is_null()) return;
  if (v.is_string()) {
    eg::set_field_text(e, field, v.get_ref<const std::string&>(), errors);
  } else if (v.is_number()) {
    // A code list of one number is a list of one code.
    eg::set_field_text(e, field, number_text(v), errors);
  } else if (v.is_array() && is_code_list(field)) {
    for (const nlohmann::json& item : v) {
      if (item.is_string() && item.get_ref<const std::string&>().find('|') == std::string::npos) {
        eg::set_field_text(e, field, item.get_ref<const std::string&>(), errors);
      } else if (item.is_number_integer()) {
        eg::set_field_text(e, field, item.dump(), errors);
      } else {
        const std::string t = item.dump();
        errors.add(field, t, t + " is not a code");
      }
    }
  } else {
    const std::string t = v.dump();
    errors.add(field, t, t + (is_code_list(field) ? " is not a list of codes" : " is not a text or a number"));
  }
}

}  // namespace

void episode_from_json(const nlohmann::json& object, eg::Episode& episode, eg::FieldErrors& errors,
                       std::vector<std::string>* others) {
  episode.clear();
  if (!object.is_object()) {
    const std::string t = object.dump();
    errors.add(F::kRow, t.substr(0, 60), "not a JSON object");
    return;
  }
  for (const auto& [name, value] : object.items()) {
    const auto field = eg::episode_field_of(name);
    if (field) set_value(episode, *field, value, errors);
    else if (others) others->push_back(name);
  }
}

void episode_from_json_text(std::string_view text, eg::Episode& episode, eg::FieldErrors& errors,
                            std::vector<std::string>* others) {
  const nlohmann::json object = nlohmann::json::parse(text, nullptr, false);
  if (object.is_discarded()) {
    episode.clear();
    errors.add(F::kRow, "", "not JSON");
    return;
  }
  episode_from_json(object, episode, errors, others);
}

}  // namespace grouper
