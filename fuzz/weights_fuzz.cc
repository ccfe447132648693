// Fuzz target: the weight catalogue's loader and weigh().
//
// The input is a catalogue's text, any bytes.  The loader either refuses it
// with a "NAME:LINE: what" message or gives a catalogue whose promises hold:
// rows ordered by DRG text and valid_from, windows of one DRG disjoint, no
// weight negative.  Every row is then weighed on its first and last day at
// lengths of stay around its trims, and the effective weight must be what
// the rule says, never below 0, with 4 decimals that read back exactly.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "episode_grouper/weights.h"
#include "fuzz_support.h"

namespace {

namespace eg = episode_grouper;
using grouper::fuzz::check;

// The units a format_weight text stands for.
int64_t read_back(const std::string& text) {
  const bool negative = !text.empty() && text[0] == '-';
  int64_t units = 0;
  for (char c : text) {
    if (c >= '0' && c <= '9') units = units * 10 + (c - '0');
  }
  return negative ? -units : units;
}

void check_row(const eg::WeightCatalogue& catalogue, const eg::WeightRow& row) {
  for (int32_t date : {row.valid_from, row.valid_to}) {
    for (int32_t los : {-1, 0, row.low_trim - 1, row.low_trim, row.high_trim, row.high_trim + 1, 999}) {
      const eg::EpisodeWeight w = catalogue.weigh(row.drg, date, los);
      check(w.has_weight && w.row == &row, "a row's own DRG and dates find that row");
      check(w.effective >= 0, "an effective weight is never negative");
      int64_t want = row.weight;
      if (los >= 0 && row.low_trim >= 0 && los < row.low_trim) {
        want = std::max<int64_t>(0, row.weight - row.deduction * (row.low_trim - los));
      } else if (los >= 0 && row.high_trim >= 0 && los > row.high_trim) {
        want = row.weight + row.surcharge * (los - row.high_trim);
      }
      check(w.effective == want, "the effective weight follows the rule");
      const std::string text = eg::format_weight(w.effective);
      check(text.size() >= 6 && text[text.size() - 5] == '.', "4 decimals");
      check(read_back(text) == w.effective, "the text reads back to the units");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  eg::Status error;
  const auto catalogue = eg::WeightCatalogue::parse(text, "w.tsv", error);
  if (!catalogue) {
    check(error.message.rfind("w.tsv:", 0) == 0, "a refusal names the file");
    return 0;
  }
  const auto& rows = catalogue->rows();
  for (size_t i = 0; i < rows.size(); ++i) {
    check(rows[i].weight >= 0 && rows[i].valid_from <= rows[i].valid_to, "a row holds what the checks allow");
    if (i > 0 && rows[i - 1].drg == rows[i].drg) {
      check(rows[i - 1].valid_to < rows[i].valid_from, "windows of one DRG are disjoint and ordered");
    }
    check_row(*catalogue, rows[i]);
  }
  check(catalogue->weigh("", 20050101, 3).has_finding, "no DRG is a finding");
  return 0;
}
