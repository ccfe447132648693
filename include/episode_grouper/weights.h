// Cost weights: a catalogue of weights per DRG text and validity window, and
// the effective weight of a grouped episode, trimmed by its length of stay.
//
// All weight arithmetic is exact: a weight is an integer count of 1/10,000
// (kWeightScale), so sums over any number of episodes are exact and are
// printed with 4 decimals, never through binary floating point.  A
// WeightCatalogue is immutable once loaded, so any number of threads may
// share one; weigh() allocates nothing and never throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "episode_grouper/export.h"
#include "episode_grouper/result.h"
#include "episode_grouper/status.h"

namespace episode_grouper {

class TableSet;

// Weights are int64 units of 1/10,000: 12345 is "1.2345".
inline constexpr int64_t kWeightScale = 10000;
// Characters format_weight writes at most (sign, 15 digits, point, 4 decimals).
inline constexpr size_t kMaxWeightText = 24;

// "1.2345", "0.0000", "-0.5000": always 4 decimals.
EPISODE_GROUPER_API std::string format_weight(int64_t weight);
// The same into `out` (kMaxWeightText bytes at least), no terminator;
// returns the length written.
EPISODE_GROUPER_API size_t format_weight(int64_t weight, char* out);

// `total / count` in weight units, rounded half away from zero to the unit
// (so a case-mix index is exact to 4 decimals, 0.00005 rounding up); 0 when
// count is 0 or less.
EPISODE_GROUPER_API int64_t weight_mean(int64_t total, int64_t count);

// Where an episode's length of stay lies against its row's trims.
enum class LosClass : uint8_t {
  kNone,    // no weight, or the length of stay is unreadable
  kInlier,  // between the trims (or no trim applies)
  kLow,     // below low_trim: a low outlier
  kHigh,    // above high_trim: a high outlier
};
// "", "inlier", "low", "high".
EPISODE_GROUPER_API std::string_view los_class_name(LosClass los_class);

// One row of a catalogue.  Dates are YYYYMMDD, inclusive; an open start is
// 0 and an open end 99999999.  A trim of -1 means none.
struct WeightRow {
  std::string drg;                // the DRG text, as the result file's drg column writes it (1..6 characters)
  int32_t valid_from = 0;
  int32_t valid_to = 99999999;
  int64_t weight = 0;             // units of 1/10,000, 0 to 999,999.9999
  int32_t low_trim = -1;          // days, -1 none
  int64_t deduction = 0;          // units per day below low_trim, 0 or more
  int32_t high_trim = -1;         // days, -1 none
  int64_t surcharge = 0;          // units per day above high_trim, 0 or more
  int line = 0;                   // the line of the file it came from
};
inline constexpr int32_t kOpenStart = 0;
inline constexpr int32_t kOpenEnd = 99999999;

// The weight of one episode.  Without a weight, weight and effective are 0
// and los_class kNone.  `finding` is set (has_finding) when the episode has
// no weight (weight_no_drg, weight_no_row) or its length of stay could not
// be read (weight_los_unreadable: effective = weight, los_class kNone).
struct EpisodeWeight {
  bool has_weight = false;
  int64_t weight = 0;     // the row's weight
  int64_t effective = 0;  // trimmed by the length of stay, never below 0
  LosClass los_class = LosClass::kNone;
  bool has_finding = false;
  Finding finding;
  const WeightRow* row = nullptr;  // the row that applied, when has_weight
};

class EPISODE_GROUPER_API WeightCatalogue {
 public:
  // Reads and checks the tab-separated catalogue at `path`.  Returns it, or
  // null with `error` filled: kind kWeights, the file, the line concerned
  // (0 for the file as a whole) and a message that reads "FILE:LINE: what"
  // (or "FILE: what").  Never throws but std::bad_alloc.
  static std::shared_ptr<const WeightCatalogue> load(const std::filesystem::path& path, Status& error);
  // The same from text already read; `name` names it in messages.
  static std::shared_ptr<const WeightCatalogue> parse(std::string_view text, std::string_view name,
                                                      Status& error);

  // The weight of an episode with DRG text `drg` (empty: no DRG), record
  // date `rec_date` (YYYYMMDD) and length of stay `los` (days, negative:
  // unreadable).
  EpisodeWeight weigh(std::string_view drg, int32_t rec_date, int32_t los) const;
  // The same for a grouped episode: its DRG text when it has a DRG, its
  // record date and length of stay.
  EpisodeWeight weigh(const Result& result) const;

  // The rows, ordered by DRG text (bytes as unsigned) and valid_from.
  const std::vector<WeightRow>& rows() const { return rows_; }
  // The distinct DRG texts of the rows, in the same order.
  std::vector<std::string> drgs() const;
  // The DRG texts of the catalogue that `tables` can never give (no DRG of
  // its DRG list with such a text): a warning for the clients, not an error.
  std::vector<std::string> unknown_drgs(const TableSet& tables) const;

  const std::string& name() const { return name_; }

 private:
  WeightCatalogue() = default;

  std::string name_;
  std::vector<WeightRow> rows_;
  std::vector<uint64_t> keys_;       // the packed DRG text of each distinct DRG, ascending
  std::vector<uint32_t> key_first_;  // rows of keys_[k]: key_first_[k] .. key_first_[k+1]-1
};

// Adds the finding of `weight`, if any, to `findings`.
inline void add_weight_finding(const EpisodeWeight& weight, Findings& findings) {
  if (weight.has_finding) findings.add(weight.finding);
}

}  // namespace episode_grouper
