// The summary of a run's findings: how many records carry each finding, in
// all and per MDC, so that a user sees at once that, say, 3% of the episodes
// carry an unknown principal diagnosis.
//
// Workload: add() runs once per record of a run that asks for the summary
// and allocates nothing; batches count apart and are merged in input order.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "episode_grouper/result.h"
#include "tables/table_store.h"

namespace grouper {

class FindingSummary {
 public:
  // Counts for MDC indices 0..mdc_rows-1; others count in one row of their own.
  explicit FindingSummary(size_t mdc_rows);

  // One record, of MDC index `mdc`, with its findings (each finding code
  // counts once per record).
  void add(int16_t mdc, const episode_grouper::Findings& findings);
  void merge(const FindingSummary& other);
  void clear();

  int64_t records() const { return records_; }
  int64_t with(episode_grouper::FindingCode code) const { return with_code_[static_cast<size_t>(code)]; }

  // The summary as text: records per finding with their share, then per
  // MDC (named by `mdc_codes`, the MDC list) the records and those per
  // finding.
  std::string text(const std::vector<Code3>& mdc_codes) const;

 private:
  size_t row_of(int16_t mdc) const;

  size_t mdc_rows_;
  int64_t records_ = 0;
  std::vector<int64_t> with_code_;    // per finding code
  std::vector<int64_t> mdc_records_;  // per MDC row, the last for other indices
  std::vector<int64_t> mdc_with_;     // per MDC row and finding code
};

}  // namespace grouper
