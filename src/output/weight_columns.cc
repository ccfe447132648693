#include "output/weight_columns.h"

#include "output/result_line.h"

namespace grouper {

using episode_grouper::EpisodeWeight;
using episode_grouper::LosClass;

std::string_view weight_columns_header() { return "\tweight\teffective_weight\tlos_class"; }

char* put_weight_columns(char* out, const EpisodeWeight& weight) {
  *out++ = '\t';
  if (weight.has_weight) out += episode_grouper::format_weight(weight.weight, out);
  *out++ = '\t';
  if (weight.has_weight) out += episode_grouper::format_weight(weight.effective, out);
  *out++ = '\t';
  return put_bytes(out, episode_grouper::los_class_name(weight.los_class));
}

char* put_weight_json(char* out, const EpisodeWeight& weight) {
  out = put_bytes(out, ",\"weight\":");
  if (weight.has_weight) out += episode_grouper::format_weight(weight.weight, out);
  else out = put_bytes(out, "null");
  out = put_bytes(out, ",\"effective_weight\":");
  if (weight.has_weight) out += episode_grouper::format_weight(weight.effective, out);
  else out = put_bytes(out, "null");
  out = put_bytes(out, ",\"los_class\":");
  if (weight.los_class == LosClass::kNone) return put_bytes(out, "null");
  *out++ = '"';
  out = put_bytes(out, episode_grouper::los_class_name(weight.los_class));
  *out++ = '"';
  return out;
}

}  // namespace grouper
