// The impact of a record (see include/episode_grouper/impact.h): the record
// grouped again once per code it holds, each time with that one slot blank.
//
// Workload: find() runs once per record of a run that asks for the impact
// and costs one grouping per code position in use (2..46); it allocates
// nothing.  The probe has its own Engine, so the result of the record itself,
// held by the caller's Engine, stays as it was, and its own line buffer for
// the blanked copy.
#pragma once

#include <array>
#include <cstddef>

#include "engine/engine.h"
#include "engine/prepared/prepared_set.h"
#include "episode_grouper/impact.h"
#include "episode_grouper/weights.h"
#include "record/record_layout.h"

namespace grouper {

class ImpactProbe {
 public:
  // `set` must outlive the probe.
  explicit ImpactProbe(const PreparedSet& set);

  // Fills `impact` with the codes of the record line[0, len) that matter,
  // `base` being that record's result.  `line` is the record as grouped or
  // as given: the grouping's upper-casing gives the same result either way.
  // With `weights`, the entries carry the effective weight without the code
  // and its difference.
  void find(const char* line, size_t len, const Result& base, const episode_grouper::WeightCatalogue* weights,
            episode_grouper::Impact& impact);

 private:
  Engine engine_;
  std::array<char, kLineBufferSize> line_;  // the copy whose slots are blanked one at a time
};

// The DRG text of a result as the drg column writes it: empty without a DRG.
std::string_view drg_text(const Result& result);

}  // namespace grouper
