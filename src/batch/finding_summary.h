// The summary of a run's findings: how many records carry each finding, in
// all and per MDC, so that a user sees at once that, say, 3% of the episodes
// carry an unknown principal diagnosis.  A run with weights adds its
// case-mix (the sum of the effective weights, exact), the episodes with a
// weight, the case-mix index (the case-mix divided by those episodes,
// rounded half up to 4 decimals), the low and high outliers, and the
// same per MDC.
//
// Workload: add() runs once per record of a run that asks for the summary
// and allocates nothing; batches count apart and are merged in input order.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "episode_grouper/result.h"
#include "episode_grouper/weights.h"
#include "tables/table_store.h"

namespace grouper {

class FindingSummary {
 public:
  // Counts for MDC indices 0..mdc_rows-1; others count in one row of their own.
  // `with_weights`: the run weighs its records, and the text shows the case-mix.
  explicit FindingSummary(size_t mdc_rows, bool with_weights = false);

  // One record, of MDC index `mdc`, with its findings (each finding code
  // counts once per record) and, in a run with weights, its weight.
  void add(int16_t mdc, const episode_grouper::Findings& findings,
           const episode_grouper::EpisodeWeight* weight = nullptr);
  void merge(const FindingSummary& other);
  void clear();

  int64_t records() const { return records_; }
  int64_t with(episode_grouper::FindingCode code) const { return with_code_[static_cast<size_t>(code)]; }

  // The weight figures, in units of 1/10,000 where they are weights.
  bool with_weights() const { return with_weights_; }
  int64_t weighted() const { return weighted_; }  // episodes with a weight
  int64_t casemix() const { return casemix_; }    // sum of their effective weights
  int64_t casemix_index() const { return episode_grouper::weight_mean(casemix_, weighted_); }
  int64_t low_outliers() const { return low_; }
  int64_t high_outliers() const { return high_; }

  // The summary as text: records per finding with their share, then per
  // MDC (named by `mdc_codes`, the MDC list) the records and those per
  // finding.
  std::string text(const std::vector<Code3>& mdc_codes) const;

 private:
  size_t row_of(int16_t mdc) const;
  std::string mdc_name(size_t row, const std::vector<Code3>& mdc_codes) const;
  // The case-mix, the outliers and the case-mix index per MDC, as text.
  std::string weights_text(const std::vector<Code3>& mdc_codes) const;

  size_t mdc_rows_;
  int64_t records_ = 0;
  std::vector<int64_t> with_code_;    // per finding code
  std::vector<int64_t> mdc_records_;  // per MDC row, the last for other indices
  std::vector<int64_t> mdc_with_;     // per MDC row and finding code
  bool with_weights_ = false;
  int64_t weighted_ = 0, casemix_ = 0, low_ = 0, high_ = 0;
  std::vector<int64_t> mdc_weighted_;  // per MDC row: episodes with a weight
  std::vector<int64_t> mdc_casemix_;   // per MDC row: their case-mix
};

}  // namespace grouper
