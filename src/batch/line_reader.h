// Splitting the episode file into records, or into the rows of a file of
// named fields.
//
// A record is what one bounded line read returns (see
// episode_grouper/line_splitter.h, whose splitting this reader applies): the
// bytes up to and including the next line feed, at most kMaxLineBytes (4095)
// of them.
//
// A row (RowSplit::kQuoted, CSV and TSV) ends at a line feed outside double
// quotes; one of JSON Lines (RowSplit::kLines) at the next line feed.  Rows
// that hold nothing but a line end are skipped, a UTF-8 byte-order mark at
// the start of the input is skipped, and a row is at most kMaxRowBytes long:
// a longer one, or a quote still open at the end of the input, ends the
// reading with an input error (error()), so memory stays bounded whatever
// the input.
//
// Workload: files of millions of lines.  The file is read in large blocks
// straight into the caller's buffer, which then holds whole records back to
// back; only the unfinished record at a block's end is copied, to the front
// of the next block.  No call per line reaches the system.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "record/record_layout.h"

namespace grouper {

enum class RowSplit { kRecords, kQuoted, kLines };

inline constexpr size_t kMaxRowBytes = size_t{1} << 16;  // a row of named fields, line end included

// Whole records, back to back: record i is bytes [end(i - 1), end(i)).
class RecordBlock {
 public:
  // Room for `block_size` bytes of input and an unfinished record of at
  // most `max_record` bytes.
  explicit RecordBlock(size_t block_size, size_t max_record = kMaxLineBytes);

  size_t count() const { return ends_.size(); }
  // The bytes of input the block's records hold.
  size_t bytes() const { return ends_.empty() ? 0 : ends_.back(); }
  std::string_view record(size_t i) const {
    const size_t fr = i == 0 ? 0 : ends_[i - 1];
    return {bytes_.get() + fr, ends_[i] - fr};
  }
  // The record's bytes, which the grouping may change (it upper-cases them).
  char* record_data(size_t i) { return bytes_.get() + (i == 0 ? 0 : ends_[i - 1]); }

  // Row i of a block read by rows: its bytes with its line end, without the
  // blank lines skipped before it.
  std::string_view row(size_t i) const { return {bytes_.get() + starts_[i], ends_[i] - starts_[i]}; }
  // The line number of row i in the input (a block read by rows; counted
  // from 1, a row of several lines numbered by its first).  Counts the line
  // feeds before it: meant for messages, not for every row.
  int64_t row_line(size_t i) const;

 private:
  friend class LineReader;
  std::unique_ptr<char[]> bytes_;
  size_t capacity_;
  std::vector<uint32_t> ends_;
  std::vector<uint32_t> starts_;  // by rows only
  int64_t first_line_ = 1;        // by rows only: the line number of the block's first byte
};

class LineReader {
 public:
  // Reads from `in`, which must stay open while the reader is used, at most
  // `block_size` bytes per read.
  explicit LineReader(std::FILE* in, size_t block_size = 1 << 20, RowSplit split = RowSplit::kRecords);

  // Fills `block` (made with this reader's block size) with the next
  // records, at most `max_records` of them: none at the end of the input or
  // after a read error.
  size_t read_block(RecordBlock& block, size_t max_records);

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

  // What ended the reading of rows early (a row too long, a quote left
  // open), "" when nothing did.  The reading stops there as after a read error.
  const std::string& error() const { return error_; }

  // The most bytes a record or row of this reader holds.
  size_t max_record() const { return split_ == RowSplit::kRecords ? kMaxLineBytes : kMaxRowBytes; }

 private:
  size_t read_rows(RecordBlock& block, size_t max_records);
  // Reads on into `block` after the `have` bytes it holds, at most a block;
  // notes the end of the input or a read error.  Returns the bytes it holds.
  size_t read_more(RecordBlock& block, size_t have);


  std::FILE* in_;
  size_t block_size_;
  std::vector<char> carry_;  // bytes read but not yet handed out, from a record's start
  RecordBlock own_;          // next_record's block
  size_t own_next_ = 0;      // next_record's next record in own_
  bool eof_ = false;
  bool failed_ = false;
  RowSplit split_;
  bool start_checked_ = false;  // by rows: the byte-order mark was looked for
  int64_t lines_ = 1;           // by rows: the line number of the carry's first byte
  std::string error_;
};

}  // namespace grouper
