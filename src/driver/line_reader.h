// Splitting the episode file into records.
//
// A record is what one bounded line read returns: the bytes up to and
// including the next line feed, at most kMaxLineBytes (4095) of them.  A
// longer physical line becomes several records, a carriage return stays part
// of the line, a last line without a line feed is a record, and a NUL byte is
// an ordinary byte.
//
// Workload: one call per record over files of millions of lines.  The file is
// read in large blocks; a record costs one copy of its bytes and, for a line
// shorter than kRecordWidth, the blanking of the missing field bytes.
#pragma once

#include <cstddef>
#include <cstdio>
#include <vector>

#include "driver/record_layout.h"

namespace grouper {

class LineReader {
 public:
  // Reads from `in`, which must stay open while the reader is used.
  explicit LineReader(std::FILE* in, size_t block_size = 1 << 18);

  // Copies the next record into `line` (at least kLineBufferSize bytes) and
  // returns its length, or 0 at the end of the input or after a read error.
  // Bytes [length, kRecordWidth) of `line` are set to blanks, so a short
  // line never shows what an earlier, longer one left behind.
  size_t next(char* line);

  // True when the input ended by a read error rather than its end.
  bool failed() const { return failed_; }

 private:
  bool refill();

  std::FILE* in_;
  std::vector<char> block_;
  size_t pos_ = 0;  // next unread byte of block_
  size_t end_ = 0;  // bytes of block_ holding data
  bool eof_ = false;
  bool failed_ = false;
};

}  // namespace grouper
