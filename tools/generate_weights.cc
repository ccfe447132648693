#include "generate_weights.h"

#include <algorithm>
#include <map>
#include <vector>

#include "episode_grouper/weights.h"
#include "generate_random.h"
#include "weights/weight_drgs.h"

namespace grouper::tools {
namespace {

using episode_grouper::format_weight;

struct Row {
  std::string drg;
  const char* from;
  const char* to;
  int64_t weight;
  int low_trim, high_trim;
  int64_t deduction, surcharge;
};

void put_row(std::string& out, const Row& r) {
  out += r.drg + "\t" + r.from + "\t" + r.to + "\t" + format_weight(r.weight) + "\t" + std::to_string(r.low_trim) +
         "\t" + format_weight(r.deduction) + "\t" + std::to_string(r.high_trim) + "\t" + format_weight(r.surcharge) +
         "\n";
}

}  // namespace

std::string generate_weights(const TableStore& tables, uint64_t seed) {
  Rng rng(seed);
  // The texts of one DRG code (all but the split character) share its base
  // weight and mean stay.
  std::map<std::string, std::vector<std::string>> by_code;
  for (const std::string& text : drg_texts(tables)) by_code[text.substr(0, 5)].push_back(text);
  std::string out =
      "# cost weights of the generated table set: weight, low and high trims (days) with the\n"
      "# deduction and surcharge per day beyond them\n"
      "drg\tvalid_from\tvalid_to\tweight\tlow_trim\tdeduction\thigh_trim\tsurcharge\n";
  for (const auto& [code, texts] : by_code) {
    const int64_t base = rng.between(3000, 30000);  // 0.3 .. 3.0
    const int mean_stay = rng.between(2, 12);
    const bool two_windows = rng.percent(10);
    for (const std::string& text : texts) {
      const char split = text.size() > 5 ? text[5] : '0';
      const int level = split >= '0' && split <= '4' ? split - '0' : 0;
      // Each level of complexity adds 30% of the base weight.
      const int64_t weight = base * (10 + 3 * level) / 10;
      const int stay = mean_stay + level;
      Row row{text, "", "", weight, std::max(1, stay / 3), stay * 3, weight / (2 * stay), weight / (3 * stay)};
      if (two_windows) {
        row.to = "20051231";
        put_row(out, row);
        row.from = "20060101";
        row.to = "";
        row.weight = weight * 102 / 100;
      }
      put_row(out, row);
    }
  }
  return out;
}

}  // namespace grouper::tools
