// The lookup of an episode's weight row and the trimming by its stay.
//
// Workload: weigh() runs once per record on every thread, so its lookup is a
// halving search over the packed DRG texts and a short scan of that DRG's
// windows, with nothing allocated.
#include <algorithm>

#include "episode_grouper/weights.h"
#include "weights/weight_key.h"

namespace episode_grouper {

EpisodeWeight WeightCatalogue::weigh(std::string_view drg, int32_t rec_date, int32_t los) const {
  EpisodeWeight out;
  if (drg.empty()) {
    out.has_finding = true;
    out.finding.code = FindingCode::kWeightNoDrg;
    return out;
  }
  const WeightRow* row = nullptr;
  if (drg.size() <= grouper::kMaxDrgText) {
    const uint64_t key = grouper::pack_drg(drg);
    const auto found = std::lower_bound(keys_.begin(), keys_.end(), key);
    if (found != keys_.end() && *found == key) {
      const size_t k = static_cast<size_t>(found - keys_.begin());
      for (uint32_t r = key_first_[k]; r < key_first_[k + 1]; ++r) {
        const WeightRow& candidate = rows_[r];
        if (candidate.valid_from > rec_date) break;
        if (rec_date <= candidate.valid_to) {
          row = &candidate;
          break;
        }
      }
    }
  }
  if (!row) {
    out.has_finding = true;
    out.finding.code = FindingCode::kWeightNoRow;
    return out;
  }
  out.has_weight = true;
  out.row = row;
  out.weight = row->weight;
  out.effective = row->weight;
  if (los < 0) {
    out.has_finding = true;
    out.finding.code = FindingCode::kWeightLosUnreadable;
    out.finding.field = RecordField::kLos;
    return out;
  }
  out.los_class = LosClass::kInlier;
  if (row->low_trim >= 0 && los < row->low_trim) {
    out.los_class = LosClass::kLow;
    out.effective = std::max<int64_t>(0, row->weight - row->deduction * (row->low_trim - los));
  } else if (row->high_trim >= 0 && los > row->high_trim) {
    out.los_class = LosClass::kHigh;
    out.effective = row->weight + row->surcharge * (los - row->high_trim);
  }
  return out;
}

EpisodeWeight WeightCatalogue::weigh(const Result& result) const {
  const std::string_view drg = result.res_drg != 0 ? text_of(result.res_drg_code) : std::string_view{};
  return weigh(drg, result.values.rec_date, result.values.los_dd);
}

std::vector<std::string> WeightCatalogue::drgs() const {
  std::vector<std::string> out;
  for (size_t k = 0; k < keys_.size(); ++k) out.push_back(rows_[key_first_[k]].drg);
  return out;
}

}  // namespace episode_grouper
