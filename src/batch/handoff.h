// Telling ThreadSanitizer about the orderings that the pipeline library
// keeps.  oneTBB runs a serial stage one call at a time, passes an item from
// stage to stage in order and returns only when the pipeline is done, but its
// own synchronisation is compiled without the sanitizer, so a ThreadSanitizer
// build sees none of it and would take every handoff for a race.  These calls
// state those orderings, and nothing more, where the batch relies on them;
// outside a ThreadSanitizer build they are empty.
#pragma once

#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define GROUPER_HANDOFF_TSAN 1
#endif
#endif

#ifdef GROUPER_HANDOFF_TSAN
#include <sanitizer/tsan_interface.h>
#endif

namespace grouper {

// What the calling thread did so far happens before whatever follows a later
// take_over(token) on any thread.
inline void hand_over([[maybe_unused]] const void* token) {
#ifdef GROUPER_HANDOFF_TSAN
  __tsan_release(const_cast<void*>(token));
#endif
}
inline void take_over([[maybe_unused]] const void* token) {
#ifdef GROUPER_HANDOFF_TSAN
  __tsan_acquire(const_cast<void*>(token));
#endif
}

// One turn of a serial stage: takes over from the turn before, hands over to
// the next one at the end of the scope.
class StageTurn {
 public:
  explicit StageTurn(const void* token) : token_(token) { take_over(token_); }
  ~StageTurn() { hand_over(token_); }
  StageTurn(const StageTurn&) = delete;
  StageTurn& operator=(const StageTurn&) = delete;

 private:
  const void* token_;
};

}  // namespace grouper
