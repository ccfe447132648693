// The progress bar of a long run on a terminal: percent of the input read,
// records per second and the time left, on one line of standard error that is
// redrawn at most a few times a second.  It only ever writes to its own
// stream, so the result lines and every message stay as they are.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

namespace grouper {

class ProgressBar {
 public:
  // Draws on `out` for an input of `total_bytes` (0 when its size is not
  // known, a pipe say: then no percent and no time left are shown).
  ProgressBar(std::FILE* out, uint64_t total_bytes);

  // After a block: `records` written and `bytes` of the input consumed so far.
  // Redraws when the last drawing is old enough; cheap otherwise.
  void update(int64_t records, uint64_t bytes);

  // Around another message on the same terminal: the bar steps aside and
  // comes back under it.
  void hide();
  void show();

  // Draws the final figures and ends the line.
  void finish();

 private:
  using Clock = std::chrono::steady_clock;
  void draw(bool final);

  std::FILE* out_;
  uint64_t total_;
  Clock::time_point start_ = Clock::now();
  Clock::time_point drawn_{};
  int64_t records_ = 0;
  uint64_t bytes_ = 0;
  bool visible_ = false;
  std::string text_;
};

// Whether a run shows the bar: forced on or off by the user, or when
// standard error is a terminal.
enum class ProgressMode { kAuto, kOn, kOff };
bool progress_wanted(ProgressMode mode);

// The size of what remains to be read of `in`, or 0 when it is not a regular
// file.
uint64_t bytes_left(std::FILE* in);

}  // namespace grouper
