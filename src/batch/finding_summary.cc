#include "batch/finding_summary.h"

#include <cinttypes>
#include <cstdio>

namespace grouper {

using episode_grouper::FindingCode;
using episode_grouper::kFindingCodes;

FindingSummary::FindingSummary(size_t mdc_rows, bool with_weights)
    : mdc_rows_(mdc_rows),
      with_code_(kFindingCodes, 0),
      mdc_records_(mdc_rows + 1, 0),
      mdc_with_((mdc_rows + 1) * kFindingCodes, 0),
      with_weights_(with_weights),
      mdc_weighted_(with_weights ? mdc_rows + 1 : 0, 0),
      mdc_casemix_(with_weights ? mdc_rows + 1 : 0, 0) {}

size_t FindingSummary::row_of(int16_t mdc) const {
  return mdc >= 0 && static_cast<size_t>(mdc) < mdc_rows_ ? static_cast<size_t>(mdc) : mdc_rows_;
}

void FindingSummary::add(int16_t mdc, const episode_grouper::Findings& findings,
                         const episode_grouper::EpisodeWeight* weight) {
  ++records_;
  const size_t row = row_of(mdc);
  ++mdc_records_[row];
  if (with_weights_ && weight && weight->has_weight) {
    ++weighted_;
    casemix_ += weight->effective;
    low_ += weight->los_class == episode_grouper::LosClass::kLow;
    high_ += weight->los_class == episode_grouper::LosClass::kHigh;
    ++mdc_weighted_[row];
    mdc_casemix_[row] += weight->effective;
  }
  uint32_t seen = 0;
  for (size_t i = 0; i < findings.count; ++i) seen |= uint32_t{1} << static_cast<int>(findings.items[i].code);
  for (int c = 0; c < kFindingCodes; ++c) {
    if ((seen >> c & 1) == 0) continue;
    ++with_code_[static_cast<size_t>(c)];
    ++mdc_with_[row * kFindingCodes + static_cast<size_t>(c)];
  }
}

void FindingSummary::merge(const FindingSummary& other) {
  records_ += other.records_;
  for (size_t i = 0; i < with_code_.size(); ++i) with_code_[i] += other.with_code_[i];
  for (size_t i = 0; i < mdc_records_.size() && i < other.mdc_records_.size(); ++i) {
    mdc_records_[i] += other.mdc_records_[i];
  }
  for (size_t i = 0; i < mdc_with_.size() && i < other.mdc_with_.size(); ++i) mdc_with_[i] += other.mdc_with_[i];
  weighted_ += other.weighted_;
  casemix_ += other.casemix_;
  low_ += other.low_;
  high_ += other.high_;
  for (size_t i = 0; i < mdc_weighted_.size() && i < other.mdc_weighted_.size(); ++i) {
    mdc_weighted_[i] += other.mdc_weighted_[i];
    mdc_casemix_[i] += other.mdc_casemix_[i];
  }
}

void FindingSummary::clear() {
  records_ = 0;
  std::fill(with_code_.begin(), with_code_.end(), 0);
  std::fill(mdc_records_.begin(), mdc_records_.end(), 0);
  std::fill(mdc_with_.begin(), mdc_with_.end(), 0);
  weighted_ = casemix_ = low_ = high_ = 0;
  std::fill(mdc_weighted_.begin(), mdc_weighted_.end(), 0);
  std::fill(mdc_casemix_.begin(), mdc_casemix_.end(), 0);
}

std::string FindingSummary::mdc_name(size_t row, const std::vector<Code3>& mdc_codes) const {
  if (row == 0) return "none";
  if (row == mdc_rows_ || row >= mdc_codes.size()) return "other";
  std::string name;
  for (char ch : mdc_codes[row]) {
    if (ch == '\0') break;
    name += ch;
  }
  return name;
}

std::string FindingSummary::weights_text(const std::vector<Code3>& mdc_codes) const {
  using episode_grouper::format_weight;
  std::string out;
  char line[256];
  std::snprintf(line, sizeof line,
                "\ncost weights\n%-24s %16" PRId64 "\n%-24s %16s\n%-24s %16s\n%-24s %16" PRId64 "\n%-24s %16" PRId64
                "\n",
                "episodes with a weight", weighted_, "case-mix", format_weight(casemix_).c_str(), "case-mix index",
                format_weight(casemix_index()).c_str(), "low outliers", low_, "high outliers", high_);
  out += line;
  out += "\ncase-mix index by MDC\n";
  std::snprintf(line, sizeof line, "%-6s %12s %16s %14s\n", "MDC", "weighted", "case-mix", "case-mix index");
  out += line;
  for (size_t row = 0; row < mdc_weighted_.size(); ++row) {
    if (mdc_weighted_[row] == 0) continue;
    std::snprintf(line, sizeof line, "%-6s %12" PRId64 " %16s %14s\n", mdc_name(row, mdc_codes).c_str(),
                  mdc_weighted_[row], format_weight(mdc_casemix_[row]).c_str(),
                  format_weight(episode_grouper::weight_mean(mdc_casemix_[row], mdc_weighted_[row])).c_str());
    out += line;
  }
  return out;
}

std::string FindingSummary::text(const std::vector<Code3>& mdc_codes) const {
  std::string out;
  char line[256];
  auto share = [](int64_t part, int64_t whole) { return whole > 0 ? 100.0 * static_cast<double>(part) / static_cast<double>(whole) : 0.0; };
  std::snprintf(line, sizeof line, "findings of %" PRId64 " records\n%-20s %12s %8s\n", records_, "finding", "records",
                "share");
  out += line;
  std::vector<int> present;
  for (int c = 0; c < kFindingCodes; ++c) {
    const int64_t n = with_code_[static_cast<size_t>(c)];
    if (n == 0) continue;
    present.push_back(c);
    std::snprintf(line, sizeof line, "%-20s %12" PRId64 " %7.2f%%\n",
                  std::string(episode_grouper::finding_name(static_cast<FindingCode>(c))).c_str(), n, share(n, records_));
    out += line;
  }
  if (present.empty()) out += "(no finding)\n";

  out += "\nby MDC\n";
  std::snprintf(line, sizeof line, "%-6s %12s", "MDC", "records");
  out += line;
  for (int c : present) {
    out += ' ';
    out += episode_grouper::finding_name(static_cast<FindingCode>(c));
  }
  out += "\n";
  for (size_t row = 0; row < mdc_records_.size(); ++row) {
    if (mdc_records_[row] == 0) continue;
    std::string name = row == 0 ? "none" : row == mdc_rows_ ? "other" : "";
    if (name.empty()) {
      const Code3& code = mdc_codes[row];
      for (char ch : code) {
        if (ch == '\0') break;
        name += ch;
      }
    }
    std::snprintf(line, sizeof line, "%-6s %12" PRId64, name.c_str(), mdc_records_[row]);
    out += line;
    for (int c : present) {
      const std::string column(episode_grouper::finding_name(static_cast<FindingCode>(c)));
      std::snprintf(line, sizeof line, " %*" PRId64, static_cast<int>(column.size()),
                    mdc_with_[row * kFindingCodes + static_cast<size_t>(c)]);
      out += line;
    }
    out += "\n";
  }
  if (with_weights_) out += weights_text(mdc_codes);
  return out;
}

}  // namespace grouper
