#include "impact/impact_probe.h"

#include <cstring>
#include <string_view>

#include "output/result_line.h"
#include "record/line_buffer.h"

namespace grouper {
namespace {

constexpr int kFirstBlanked = 2;  // the principal diagnosis stays

bool blank_slot(const char* slot) {
  for (size_t i = 0; i < kCodeWidth; ++i) {
    if (slot[i] != ' ') return false;
  }
  return true;
}

}  // namespace

std::string_view drg_text(const Result& result) {
  return result.res_drg != 0 ? code_text(result.res_drg_code.data(), result.res_drg_code.size()) : std::string_view{};
}

ImpactProbe::ImpactProbe(const PreparedSet& set) : engine_(set) { line_.fill(' '); }

void ImpactProbe::find(const char* line, size_t len, const Result& base,
                       const episode_grouper::WeightCatalogue* weights, episode_grouper::Impact& impact) {
  impact.count = 0;
  impact.weighed = weights != nullptr;
  const std::string_view base_drg = drg_text(base);
  int64_t base_effective = 0;
  if (weights) base_effective = weights->weigh(base_drg, base.values.rec_date, base.values.los_dd).effective;

  // One copy; each slot is blanked, grouped and put back.  The grouping
  // only upper-cases the copy, which leaves an upper-cased record as it is.
  const size_t n = place_record(std::string_view(line, len), line_.data());
  for (int p = kFirstBlanked; p <= kLastProc; ++p) {
    char* slot = line_.data() + code_offset(p);
    if (blank_slot(slot)) continue;
    char kept[kCodeWidth];
    std::memcpy(kept, slot, kCodeWidth);
    std::memset(slot, ' ', kCodeWidth);
    engine_.group(line_.data(), n);
    std::memcpy(slot, kept, kCodeWidth);

    const Result& without = engine_.result();
    const std::string_view drg = drg_text(without);
    episode_grouper::EpisodeWeight weight;
    if (weights) weight = weights->weigh(drg, without.values.rec_date, without.values.los_dd);
    const int64_t difference = weight.effective - base_effective;
    if (drg == base_drg && difference == 0) continue;

    episode_grouper::CodeImpact& entry = impact.items[impact.count++];
    entry.position = static_cast<uint8_t>(p);
    std::memcpy(entry.code.data(), kept, kCodeWidth);
    entry.drg.fill('\0');
    if (!drg.empty()) std::memcpy(entry.drg.data(), drg.data(), drg.size());  // no DRG: a null view
    entry.has_weight = weight.has_weight;
    entry.effective = weight.effective;
    entry.weight_difference = difference;
  }
}

}  // namespace grouper
