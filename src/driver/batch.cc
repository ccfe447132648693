#include "driver/batch.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <memory>
#include <mutex>
#include <cstring>
#include <string_view>
#include <vector>

#include <tbb/enumerable_thread_specific.h>
#include <tbb/parallel_pipeline.h>
#include <tbb/task_arena.h>

#include "driver/handoff.h"
#include "driver/line_reader.h"
#include "grouper/grouper.h"
#include "grouper/record_layout.h"
#include "grouper/result_json.h"
#include "grouper/result_line.h"
#include "grouper/result_table.h"

namespace grouper {
namespace {

constexpr int64_t kProgressEvery = 10000;

// Records read ahead in one block, grouped by one pipeline thread, then
// written in input order.  A few go round the pipeline; their buffers are
// sized once and reused.
class RecordBatch {
 public:
  static constexpr size_t kRecords = 2048;

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

  // Written by the one thread that groups the batch.
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

// The grouping state of one pipeline thread: its own Grouper and line buffer.
class Worker {
 public:
  explicit Worker(const TableSet& set) : grouper_(set) { line_.fill(' '); }

  // Groups every record of the batch.
  void group(RecordBatch& batch, const TableStore& store) {
    for (size_t i = 0; i < batch.count(); ++i) {
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
  const int threads = std::max(1, options.threads);
  auto write_failed = [&] { return lines.failed() || (rows && rows->failed()); };

  LineReader reader(in);
  if (rows && options.row_format == RowFormat::kTsv) rows->write(result_table_header());

  // Batches in flight: a few per thread keep the reader, the groupers and the
  // writer busy at once.  They are made once and go round.
  const size_t in_flight = 2 * static_cast<size_t>(threads) + 2;
  std::vector<std::unique_ptr<RecordBatch>> batches;
  std::vector<RecordBatch*> free_batches;
  std::mutex free_mutex;
  for (size_t i = 0; i < in_flight; ++i) {
    batches.push_back(std::make_unique<RecordBatch>(rows != nullptr, options.row_format));
    free_batches.push_back(batches.back().get());
  }
  auto take_batch = [&] {
    std::lock_guard<std::mutex> lock(free_mutex);
    RecordBatch* b = free_batches.back();
    free_batches.pop_back();
    return b;
  };
  auto give_back = [&](RecordBatch* b) {
    std::lock_guard<std::mutex> lock(free_mutex);
    free_batches.push_back(b);
  };

  tbb::enumerable_thread_specific<Worker> workers([&set] { return Worker(set); });
  BatchOutcome outcome;
  int64_t records_read = 0;
  std::atomic<bool> stopped{false};  // set by the writer: nothing more is written

  // Everything so far happens before the stages, and every stage before the end.
  hand_over(&reader);
  hand_over(&lines);
  tbb::task_arena arena(threads);
  arena.execute([&] {
    tbb::parallel_pipeline(
        in_flight,
        // Read, in input order.
        tbb::make_filter<void, RecordBatch*>(
            tbb::filter_mode::serial_in_order,
            [&](tbb::flow_control& fc) -> RecordBatch* {
              const StageTurn turn(&reader);
              if (stopped.load(std::memory_order_relaxed)) {
                fc.stop();
                return nullptr;
              }
              RecordBatch* batch = take_batch();
              batch->clear(options.first_record + records_read);
              while (!batch->full()) {
                const std::string_view record = reader.next_record();
                if (record.empty()) break;
                batch->add(record);
              }
              if (batch->count() == 0) {
                give_back(batch);
                fc.stop();
                return nullptr;
              }
              records_read += static_cast<int64_t>(batch->count());
              hand_over(batch);
              return batch;
            }) &
            // Group, on any thread, with that thread's own Grouper.
            tbb::make_filter<RecordBatch*, RecordBatch*>(tbb::filter_mode::parallel,
                                                         [&](RecordBatch* batch) {
                                                           const StageTurn item(batch);
                                                           workers.local().group(*batch, store);
                                                           return batch;
                                                         }) &
            // Write, in input order, with the progress lines.
            tbb::make_filter<RecordBatch*, void>(tbb::filter_mode::serial_in_order, [&](RecordBatch* batch) {
              const StageTurn turn(&lines);
              take_over(batch);
              for (size_t i = 0; i < batch->count() && !stopped.load(std::memory_order_relaxed); ++i) {
                if (write_failed()) {
                  outcome.end = BatchEnd::kWriteError;
                } else if (batch->failed(i)) {
                  outcome.end = BatchEnd::kLogicSetting;
                } else {
                  lines.write(batch->result_line(i));
                  if (rows) rows->write(batch->result_row(i));
                  ++outcome.records;
                  if (outcome.records % kProgressEvery == 0 && options.progress) options.progress(outcome.records);
                  continue;
                }
                stopped.store(true, std::memory_order_relaxed);
              }
              give_back(batch);
            }));
  });
  take_over(&reader);
  take_over(&lines);
  if (outcome.end != BatchEnd::kDone) return outcome;
  if (reader.failed()) outcome.end = BatchEnd::kReadError;
  else if (write_failed()) outcome.end = BatchEnd::kWriteError;
  return outcome;
}

}  // namespace grouper
