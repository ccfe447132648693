#include "batch/line_reader.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "episode_grouper/line_splitter.h"

namespace grouper {

RecordBlock::RecordBlock(size_t block_size)
    : bytes_(new char[block_size + kMaxLineBytes]), capacity_(block_size + kMaxLineBytes) {}

LineReader::LineReader(std::FILE* in, size_t block_size)
    : in_(in), block_size_(std::max<size_t>(block_size, 1)), own_(block_size_) {
  carry_.reserve(block_size_ + kMaxLineBytes);
}

size_t LineReader::read_block(RecordBlock& block, size_t max_records) {
  char* bytes = block.bytes_.get();
  size_t have = carry_.size();
  // The carry is at most a block and an unfinished record: it fits.
  if (have > 0) std::memcpy(bytes, carry_.data(), have);
  carry_.clear();
  block.ends_.clear();
  size_t pos = 0;
  // Records are found in place in the block read; only ends are kept.
  // plain: a line read (and copied) per record; not measured on its own.
  for (;;) {
    while (block.ends_.size() < max_records) {
      const size_t n = episode_grouper::record_length(bytes + pos, have - pos);
      if (n == 0) break;
      const bool complete = bytes[pos + n - 1] == '\n' || n == kMaxLineBytes;
      // A last line without a line feed is a record; a read error ends the
      // input without the partial line it cut off.
      if (!complete && !(eof_ && !failed_)) break;
      pos += n;
      block.ends_.push_back(static_cast<uint32_t>(pos));
    }
    if (!block.ends_.empty() || eof_ || failed_) break;
    // Not one whole record yet: read on after what is there.
    const size_t want = std::min(block_size_, block.capacity_ - have);
    errno = 0;
    const size_t got = std::fread(bytes + have, 1, want, in_);
    have += got;
    if (got < want) {
      // An interrupted read is no failure: the next round reads on.
      if (std::ferror(in_) && errno == EINTR) std::clearerr(in_);
      else if (std::ferror(in_)) failed_ = true;
      else eof_ = true;
    }
  }
  carry_.assign(bytes + pos, bytes + have);
  return block.count();
}

std::string_view LineReader::next_record() {
  if (own_next_ == own_.count()) {
    own_next_ = 0;
    if (read_block(own_, SIZE_MAX) == 0) return {};
  }
  return own_.record(own_next_++);
}

size_t LineReader::next(char* line) {
  const std::string_view record = next_record();
  // The end of the input is an empty view without data: memcpy must not see its null.
  if (!record.empty()) std::memcpy(line, record.data(), record.size());
  if (record.size() < kRecordWidth) std::memset(line + record.size(), ' ', kRecordWidth - record.size());
  return record.size();
}

}  // namespace grouper
