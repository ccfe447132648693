#include "driver/batch.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>
#include <vector>

#include "driver/line_reader.h"
#include "driver/worker_pool.h"
#include "grouper/grouper.h"
#include "grouper/record_layout.h"
#include "grouper/result_json.h"
#include "grouper/result_line.h"
#include "grouper/result_table.h"

namespace grouper {
namespace {

constexpr int64_t kProgressEvery = 10000;

// Records read ahead in one block, grouped by the worker team, then written
// in input order.  Its buffers are sized once and reused for every batch.
class RecordBatch {
 public:
  static constexpr size_t kRecords = 4096;

  RecordBatch(bool with_rows, RowFormat format)
      : format_(format),
        row_bytes_(format == RowFormat::kJsonl ? kMaxJsonRowBytes : kMaxResultRowBytes),
        lines_(kRecords * kMaxResultLineBytes),
        line_len_(kRecords),
        failed_(kRecords) {
    bytes_.reserve(kRecords * kRecordWidth);
    start_.reserve(kRecords + 1);
    if (with_rows) {
      rows_.resize(kRecords * row_bytes_);
      row_len_.resize(kRecords);
    }
  }

  void clear(int64_t first_number) {
    first_number_ = first_number;
    bytes_.clear();
    start_.assign(1, 0);
  }
  bool full() const { return count() == kRecords; }
  size_t count() const { return start_.size() - 1; }
  void add(std::string_view record) {
    bytes_.insert(bytes_.end(), record.begin(), record.end());
    start_.push_back(bytes_.size());
  }
  std::string_view record(size_t i) const { return {bytes_.data() + start_[i], start_[i + 1] - start_[i]}; }
  int64_t record_number(size_t i) const { return first_number_ + static_cast<int64_t>(i); }

  bool failed(size_t i) const { return failed_[i] != 0; }
  std::string_view result_line(size_t i) const { return {&lines_[i * kMaxResultLineBytes], line_len_[i]}; }
  std::string_view result_row(size_t i) const { return {&rows_[i * row_bytes_], row_len_[i]}; }
  bool with_rows() const { return !rows_.empty(); }
  RowFormat format() const { return format_; }

  // Written by the one worker that groups record i.
  void set_failed(size_t i, bool failed) { failed_[i] = failed; }
  char* line_slot(size_t i) { return &lines_[i * kMaxResultLineBytes]; }
  void set_line_len(size_t i, size_t n) { line_len_[i] = n; }
  char* row_slot(size_t i) { return &rows_[i * row_bytes_]; }
  void set_row_len(size_t i, size_t n) { row_len_[i] = n; }

 private:
  RowFormat format_;
  size_t row_bytes_;
  int64_t first_number_ = 1;
  std::vector<char> bytes_;    // the records back to back
  std::vector<size_t> start_;  // record i is bytes_[start_[i], start_[i + 1])
  std::vector<char> lines_;    // one result line slot per record
  std::vector<size_t> line_len_;
  std::vector<char> rows_;     // one result row slot per record (with rows)
  std::vector<size_t> row_len_;
  std::vector<uint8_t> failed_;
};

// One member of the worker team: its own Grouper and line buffer.
class Worker {
 public:
  explicit Worker(const TableSet& set) : grouper_(set) { line_.fill(' '); }

  // Groups this member's share of the batch: a contiguous slice, so that each
  // record is grouped exactly once.
  void group(RecordBatch& batch, const TableStore& store, int member, int team) {
    const size_t n = batch.count();
    const size_t first = n * static_cast<size_t>(member) / static_cast<size_t>(team);
    const size_t last = n * static_cast<size_t>(member + 1) / static_cast<size_t>(team);
    for (size_t i = first; i < last; ++i) {
      const std::string_view record = batch.record(i);
      const size_t len = record.size();
      std::memcpy(line_.data(), record.data(), len);
      // What the record does not hold reads as blanks, never as an earlier record.
      if (len < kRecordWidth) std::memset(line_.data() + len, ' ', kRecordWidth - len);
      const bool failed = grouper_.group(line_.data(), len) != 0;
      batch.set_failed(i, failed);
      if (failed) continue;
      const RecordResult& res = grouper_.result();
      batch.set_line_len(i, format_result_line(line_.data(), len, adrg_text(store, res.res_adrg),
                                               supplementary_text(res), batch.line_slot(i)));
      if (!batch.with_rows()) continue;
      const int64_t number = batch.record_number(i);
      batch.set_row_len(i, batch.format() == RowFormat::kJsonl
                               ? format_json_row(number, store, grouper_.values(), res, batch.row_slot(i))
                               : format_result_row(number, store, grouper_.values(), res, batch.row_slot(i)));
    }
  }

 private:
  Grouper grouper_;
  std::array<char, kLineBufferSize> line_;
};

}  // namespace

BatchOutcome group_batch(const TableSet& set, std::FILE* in, OutputFile& lines, const BatchOptions& options) {
  const TableStore& store = set.store();
  OutputFile* rows = options.rows;
  RecordBatch batch(rows != nullptr, options.row_format);
  std::vector<Worker> workers;
  const int team = std::max(1, options.threads);
  workers.reserve(static_cast<size_t>(team));
  for (int i = 0; i < team; ++i) workers.emplace_back(set);
  WorkerPool pool(team, [&](int member) {
    workers[static_cast<size_t>(member)].group(batch, store, member, team);
  });
  auto write_failed = [&] { return lines.failed() || (rows && rows->failed()); };

  LineReader reader(in);
  if (rows && options.row_format == RowFormat::kTsv) rows->write(result_table_header());

  BatchOutcome outcome;
  for (;;) {
    if (write_failed()) {
      outcome.end = BatchEnd::kWriteError;
      return outcome;
    }
    batch.clear(options.first_record + outcome.records);
    while (!batch.full()) {
      const std::string_view record = reader.next_record();
      if (record.empty()) break;
      batch.add(record);
    }
    if (batch.count() == 0) break;
    pool.run();
    for (size_t i = 0; i < batch.count(); ++i) {
      if (write_failed()) {
        outcome.end = BatchEnd::kWriteError;
        return outcome;
      }
      if (batch.failed(i)) {
        outcome.end = BatchEnd::kLogicSetting;
        return outcome;
      }
      lines.write(batch.result_line(i));
      if (rows) rows->write(batch.result_row(i));
      ++outcome.records;
      if (outcome.records % kProgressEvery == 0 && options.progress) options.progress(outcome.records);
    }
  }
  if (reader.failed()) outcome.end = BatchEnd::kReadError;
  else if (write_failed()) outcome.end = BatchEnd::kWriteError;
  return outcome;
}

}  // namespace grouper
