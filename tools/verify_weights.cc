#include "verify_weights.h"

#include <algorithm>
#include <string>

#include "weights/weight_drgs.h"

namespace grouper::tools {
namespace {

// The day after a date YYYYMMDD (the catalogue's dates are checked dates).
int32_t next_day(int32_t date) {
  const int year = date / 10000, month = date / 100 % 100, day = date % 100;
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  const int last = kDays[month - 1] + (month == 2 && leap ? 1 : 0);
  if (day < last) return date + 1;
  if (month < 12) return year * 10000 + (month + 1) * 100 + 1;
  return (year + 1) * 10000 + 101;
}

}  // namespace

void check_weights(const episode_grouper::WeightCatalogue& catalogue, const TableStore& tables, Report& report) {
  const std::string file = catalogue.name();
  const std::vector<std::string> known = drg_texts(tables);
  const auto& rows = catalogue.rows();
  for (const std::string& drg : known) {
    const bool has_row = std::any_of(rows.begin(), rows.end(), [&drg](const auto& r) { return r.drg == drg; });
    if (!has_row) {
      report.add(Severity::kWrongResult, file, "drg", "DRG without a weight row", -1,
                 [&] { return "DRG '" + drg + "' of the table set has no weight row: its episodes get no weight"; });
    }
  }
  for (size_t i = 0; i < rows.size(); ++i) {
    const auto& row = rows[i];
    if (!std::binary_search(known.begin(), known.end(), row.drg)) {
      report.add(Severity::kIrregular, file, "drg", "row for an unknown DRG", -1, [&] {
        return "line " + std::to_string(row.line) + ": DRG '" + row.drg + "' is not a DRG the table set gives";
      });
    }
    // Rows are ordered by DRG and valid_from, and windows do not overlap.
    if (i > 0 && rows[i - 1].drg == row.drg && row.valid_from > next_day(rows[i - 1].valid_to)) {
      report.add(Severity::kWrongResult, file, "valid_from", "windows leave a gap", -1, [&] {
        return "line " + std::to_string(row.line) + ": DRG '" + row.drg + "' has no weight from " +
               std::to_string(next_day(rows[i - 1].valid_to)) + " to the day before " + std::to_string(row.valid_from);
      });
    }
  }
}

}  // namespace grouper::tools
