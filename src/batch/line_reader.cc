#include "batch/line_reader.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "episode_grouper/line_splitter.h"

namespace grouper {

namespace {

size_t max_bytes(RowSplit split) { return split == RowSplit::kRecords ? kMaxLineBytes : kMaxRowBytes; }

// The length of the row at `p` (up to `n` bytes), its line feed included,
// or 0 when no line feed ends it there; `open_quote` tells whether a quote
// is still open at the end of what was scanned, `had_quote` whether the row
// has quotes (which may hold line feeds).
size_t row_length(const char* p, size_t n, bool quoted, bool& open_quote, bool& had_quote) {
  open_quote = false;
  had_quote = false;
  const char* at = p;
  const char* const end = p + n;
  if (!quoted) {
    const void* lf = std::memchr(at, '\n', n);
    return lf ? static_cast<size_t>(static_cast<const char*>(lf) - p) + 1 : 0;
  }
  for (;;) {
    // Outside quotes: the next line feed ends the row, unless a quote opens first.
    const char* lf = static_cast<const char*>(std::memchr(at, '\n', static_cast<size_t>(end - at)));
    const char* limit = lf ? lf : end;
    const char* quote = static_cast<const char*>(std::memchr(at, '"', static_cast<size_t>(limit - at)));
    if (!quote) return lf ? static_cast<size_t>(lf - p) + 1 : 0;
    had_quote = true;
    // Inside quotes up to the next quote (a doubled quote closes and opens again).
    const char* close = static_cast<const char*>(std::memchr(quote + 1, '"', static_cast<size_t>(end - quote - 1)));
    if (!close) {
      open_quote = true;
      return 0;
    }
    at = close + 1;
  }
}

bool blank_row(const char* p, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (p[i] != '\n' && p[i] != '\r') return false;
  }
  return true;
}

}  // namespace

RecordBlock::RecordBlock(size_t block_size, size_t max_record)
    : bytes_(new char[block_size + max_record]), capacity_(block_size + max_record) {}

int64_t RecordBlock::row_line(size_t i) const {
  const char* b = bytes_.get();
  return first_line_ + std::count(b, b + starts_[i], '\n');
}

LineReader::LineReader(std::FILE* in, size_t block_size, RowSplit split)
    : in_(in), block_size_(std::max<size_t>(block_size, 1)), own_(block_size_, max_bytes(split)), split_(split) {
  carry_.reserve(block_size_ + max_bytes(split));
}

size_t LineReader::read_more(RecordBlock& block, size_t have) {
  const size_t want = std::min(block_size_, block.capacity_ - have);
  errno = 0;
  const size_t got = std::fread(block.bytes_.get() + have, 1, want, in_);
  if (got < want) {
    // An interrupted read is no failure: the next round reads on.
    if (std::ferror(in_) && errno == EINTR) std::clearerr(in_);
    else if (std::ferror(in_)) failed_ = true;
    else eof_ = true;
  }
  return have + got;
}

size_t LineReader::read_block(RecordBlock& block, size_t max_records) {
  if (split_ != RowSplit::kRecords) return read_rows(block, max_records);
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
    have = read_more(block, have);
  }
  carry_.assign(bytes + pos, bytes + have);
  return block.count();
}

// As read_block, for rows: the same reading, another splitting.
size_t LineReader::read_rows(RecordBlock& block, size_t max_records) {
  char* bytes = block.bytes_.get();
  size_t have = carry_.size();
  if (have > 0) std::memcpy(bytes, carry_.data(), have);
  carry_.clear();
  block.ends_.clear();
  block.starts_.clear();
  block.first_line_ = lines_;
  size_t pos = 0;
  const bool quoted = split_ == RowSplit::kQuoted;
  for (;;) {
    if (!start_checked_ && (have >= 3 || eof_ || failed_)) {
      start_checked_ = true;
      if (have >= 3 && std::memcmp(bytes, "\xEF\xBB\xBF", 3) == 0) pos = 3;
    }
    while (start_checked_ && error_.empty() && block.ends_.size() < max_records && pos < have) {
      bool open_quote = false;
      bool had_quote = false;
      size_t n = row_length(bytes + pos, have - pos, quoted, open_quote, had_quote);
      if (n == 0 || n > kMaxRowBytes) {
        const size_t left = n == 0 ? have - pos : n;
        const int64_t line = lines_;
        if (left > kMaxRowBytes) {
          error_ = "the row at line " + std::to_string(line) + " is longer than " + std::to_string(kMaxRowBytes) +
                   " bytes" + (quoted ? " (a quote left open?)" : "");
          failed_ = true;
          break;
        }
        if (!eof_ || failed_) break;
        if (open_quote) {
          error_ = "the quote opened in the row at line " + std::to_string(line) + " is never closed";
          failed_ = true;
          break;
        }
        n = left;  // a last row without a line feed
        had_quote = true;  // count its lines
      }
      if (!blank_row(bytes + pos, n)) {
        block.starts_.push_back(static_cast<uint32_t>(pos));
        block.ends_.push_back(static_cast<uint32_t>(pos + n));
      }
      // One line, unless quotes hold line feeds.
      lines_ += had_quote ? std::count(bytes + pos, bytes + pos + n, '\n') : 1;
      pos += n;
    }
    if (!block.ends_.empty() || eof_ || failed_) break;
    // Not one row yet: what was skipped goes, and the rest is read on.
    if (pos > 0) {
      block.first_line_ = lines_;
      std::memmove(bytes, bytes + pos, have - pos);
      have -= pos;
      pos = 0;
    }
    have = read_more(block, have);
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
