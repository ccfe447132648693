#include "driver/line_reader.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "episode_grouper/line_splitter.h"

namespace grouper {

LineReader::LineReader(std::FILE* in, size_t block_size)
    : in_(in), block_size_(std::max<size_t>(block_size, 1)), buffer_(block_size_ + kMaxLineBytes) {}

std::string_view LineReader::next_record() {
  for (;;) {
    const size_t avail = end_ - pos_;
    const char* start = buffer_.data() + pos_;
    const size_t n = episode_grouper::record_length(start, avail);
    const bool complete = n > 0 && (start[n - 1] == '\n' || n == kMaxLineBytes);
    if (complete || eof_ || failed_) {
      // A read error ends the input, without the partial line it cut off.
      if (!complete && failed_) return {};
      pos_ += n;
      return {start, n};
    }
    // The record goes on past the bytes read: keep it at the front, read on.
    std::memmove(buffer_.data(), start, avail);
    pos_ = 0;
    end_ = avail;
    const size_t want = std::min(block_size_, buffer_.size() - end_);
    errno = 0;
    const size_t got = std::fread(buffer_.data() + end_, 1, want, in_);
    end_ += got;
    if (got < want) {
      // An interrupted read is no failure: the next round reads on.
      if (std::ferror(in_) && errno == EINTR) std::clearerr(in_);
      else if (std::ferror(in_)) failed_ = true;
      else eof_ = true;
    }
  }
}

size_t LineReader::next(char* line) {
  const std::string_view record = next_record();
  // The end of the input is an empty view without data: memcpy must not see its null.
  if (!record.empty()) std::memcpy(line, record.data(), record.size());
  if (record.size() < kRecordWidth) std::memset(line + record.size(), ' ', kRecordWidth - record.size());
  return record.size();
}

}  // namespace grouper
