// Splitting the episode file into records.
//
// A record is what one bounded line read returns (see
// episode_grouper/line_splitter.h, whose splitting this reader applies): the
// bytes up to and including the next line feed, at most kMaxLineBytes (4095)
// of them.
//
// Workload: one call per record over files of millions of lines.  The file is
// read in large blocks and a record is handed out as a view into the block,
// without a copy.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string_view>
#include <vector>

#include "grouper/record_layout.h"

namespace grouper {

class LineReader {
 public:
  // Reads from `in`, which must stay open while the reader is used, at most
  // `block_size` bytes per read.
  explicit LineReader(std::FILE* in, size_t block_size = 1 << 18);

  // The next record, valid until the next call; empty at the end of the
  // input or after a read error.
  std::string_view next_record();

  // Copies the next record into `line` (at least kLineBufferSize bytes) and
  // returns its length, or 0 at the end.  Bytes [length, kRecordWidth) of
  // `line` are set to blanks, so a short line never shows what an earlier,
  // longer one left behind.
  size_t next(char* line);

  // True when the input ended by a read error rather than its end.
  bool failed() const { return failed_; }

 private:
  std::FILE* in_;
  size_t block_size_;
  std::vector<char> buffer_;  // block_size_ + kMaxLineBytes: a block after an unfinished record
  size_t pos_ = 0;            // next unread byte of buffer_
  size_t end_ = 0;            // bytes of buffer_ holding data
  bool eof_ = false;
  bool failed_ = false;
};

}  // namespace grouper
