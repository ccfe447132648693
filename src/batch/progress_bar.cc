#include "batch/progress_bar.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cinttypes>

namespace grouper {
namespace {

constexpr auto kRedrawEvery = std::chrono::milliseconds(200);

// "1:05" or "2:03:07".
std::string clock_text(double seconds) {
  const auto s = static_cast<int64_t>(seconds + 0.5);
  char text[32];
  if (s >= 3600) {
    std::snprintf(text, sizeof text, "%" PRId64 ":%02d:%02d", s / 3600, static_cast<int>(s / 60 % 60),
                  static_cast<int>(s % 60));
  } else {
    std::snprintf(text, sizeof text, "%d:%02d", static_cast<int>(s / 60), static_cast<int>(s % 60));
  }
  return text;
}

}  // namespace

ProgressBar::ProgressBar(std::FILE* out, uint64_t total_bytes) : out_(out), total_(total_bytes) {}

void ProgressBar::update(int64_t records, uint64_t bytes) {
  records_ = records;
  bytes_ = bytes;
  const Clock::time_point now = Clock::now();
  if (visible_ && now - drawn_ < kRedrawEvery) return;
  drawn_ = now;
  draw(false);
}

void ProgressBar::draw(bool final) {
  const double seconds = std::chrono::duration<double>(Clock::now() - start_).count();
  const double rate = seconds > 0 ? static_cast<double>(records_) / seconds : 0;
  char figures[160];
  int n = 0;
  if (total_ > 0) {
    const double done = static_cast<double>(bytes_ < total_ ? bytes_ : total_) / static_cast<double>(total_);
    n = std::snprintf(figures, sizeof figures, "%5.1f%% | ", 100 * done);
    text_.assign(figures, static_cast<size_t>(n));
    n = std::snprintf(figures, sizeof figures, "%" PRId64 " records | %.0f records/s | ", records_, rate);
    text_.append(figures, static_cast<size_t>(n));
    text_ += final ? "done in " + clock_text(seconds)
                   : (done > 0 ? clock_text(seconds / done - seconds) + " left" : std::string("--:-- left"));
  } else {
    n = std::snprintf(figures, sizeof figures, "%" PRId64 " records | %.0f records/s | ", records_, rate);
    text_.assign(figures, static_cast<size_t>(n));
    text_ += (final ? "done in " : "") + clock_text(seconds);
  }
  // Back to the line's start, the figures, the rest of the line cleared.
  std::fprintf(out_, "\r%s\x1b[K%s", text_.c_str(), final ? "\n" : "");
  std::fflush(out_);
  visible_ = !final;
}

void ProgressBar::hide() {
  if (!visible_) return;
  std::fputs("\r\x1b[K", out_);
  std::fflush(out_);
}

void ProgressBar::show() {
  if (!visible_) return;
  std::fprintf(out_, "\r%s\x1b[K", text_.c_str());
  std::fflush(out_);
}

void ProgressBar::finish() { draw(true); }

bool progress_wanted(ProgressMode mode) {
  if (mode == ProgressMode::kAuto) return isatty(STDERR_FILENO) == 1;
  return mode == ProgressMode::kOn;
}

uint64_t bytes_left(std::FILE* in) {
  struct stat st {};
  if (fstat(fileno(in), &st) != 0 || !S_ISREG(st.st_mode)) return 0;
  const off_t at = ftello(in);
  return st.st_size > at && at >= 0 ? static_cast<uint64_t>(st.st_size - at) : 0;
}

}  // namespace grouper
