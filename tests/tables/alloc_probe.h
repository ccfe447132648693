// Watching the allocations of one piece of code: the largest single
// allocation it makes, and (on request) failing the large ones as a full
// memory would.  The probe replaces operator new for the whole test program.
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
};

}  // namespace grouper::testing
