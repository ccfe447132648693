// Watching the allocations of one piece of code: how many it makes, the
// largest single one, and (on request) failing the large ones as a full
// memory would.  The probe replaces operator new for the whole test program,
// so only the test programs that list alloc_probe.cc among their sources
// have it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace grouper::testing {

class AllocProbe {
 public:
  // Starts watching; allocations of `fail_from` bytes or more throw bad_alloc.
  explicit AllocProbe(size_t fail_from = SIZE_MAX);
  ~AllocProbe();
  size_t largest() const;
  size_t count() const;  // allocations since the probe started
};

}  // namespace grouper::testing
