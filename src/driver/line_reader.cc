#include "driver/line_reader.h"

#include <algorithm>
#include <cstring>

namespace grouper {

LineReader::LineReader(std::FILE* in, size_t block_size) : in_(in), block_(block_size > 0 ? block_size : 1) {}

bool LineReader::refill() {
  if (eof_ || failed_) return false;
  pos_ = 0;
  end_ = std::fread(block_.data(), 1, block_.size(), in_);
  if (end_ < block_.size()) {
    if (std::ferror(in_)) failed_ = true;
    else eof_ = true;
  }
  return end_ > 0;
}

size_t LineReader::next(char* line) {
  size_t len = 0;
  bool input_ended = false;
  while (len < kMaxLineBytes) {
    if (pos_ == end_ && !refill()) {
      input_ended = true;
      break;
    }
    const size_t want = std::min(kMaxLineBytes - len, end_ - pos_);
    const char* start = block_.data() + pos_;
    const void* lf = std::memchr(start, '\n', want);
    const size_t take = lf ? static_cast<size_t>(static_cast<const char*>(lf) - start) + 1 : want;
    std::memcpy(line + len, start, take);
    len += take;
    pos_ += take;
    if (lf) break;
  }
  // A read error ends the input, without the partial line it cut off.
  if (input_ended && failed_) return 0;
  if (len < kRecordWidth) std::memset(line + len, ' ', kRecordWidth - len);
  return len;
}

}  // namespace grouper
