// Splitting episode input into records exactly as the batch run does.
//
// A record is the bytes up to and including the next line feed, at most
// kMaxRecordBytes (4095) of them: a longer physical line becomes several
// records, a carriage return stays part of its line, a NUL is an ordinary
// byte, and a last line without a line feed is a record too.  Splitting
// restarts at every line feed, so any block of input that starts at a line
// boundary (the start of the input, or just after a line feed) splits
// exactly as the whole input does.
#pragma once

#include <cstddef>
#include <cstring>
#include <string_view>

namespace episode_grouper {

inline constexpr size_t kMaxRecordBytes = 4095;

// The length of the first record of data[0, size): through the first line
// feed within the first kMaxRecordBytes bytes, else min(size, 4095).  0 only
// when size is 0.  When the input goes on past `size`, the answer is final
// only if it ends with a line feed or is kMaxRecordBytes long.
inline size_t record_length(const char* data, size_t size) {
  const size_t window = size < kMaxRecordBytes ? size : kMaxRecordBytes;
  const void* lf = window ? std::memchr(data, '\n', window) : nullptr;
  return lf ? static_cast<size_t>(static_cast<const char*>(lf) - data) + 1 : window;
}

// The records of one block that starts at a line boundary; the block's end
// is taken as the end of the input.
class LineSplitter {
 public:
  explicit LineSplitter(std::string_view block) : rest_(block) {}

  // The next record, or false when the block is used up.
  bool next(std::string_view& record) {
    if (rest_.empty()) return false;
    const size_t n = record_length(rest_.data(), rest_.size());
    record = rest_.substr(0, n);
    rest_.remove_prefix(n);
    return true;
  }

 private:
  std::string_view rest_;
};

// The number of records in a block that starts at a line boundary.
inline size_t count_records(std::string_view block) {
  size_t n = 0;
  std::string_view record;
  for (LineSplitter split(block); split.next(record);) ++n;
  return n;
}

}  // namespace episode_grouper
