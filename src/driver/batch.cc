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
constexpr size_t kBlockBytes = size_t{1} << 20;  // input read per batch
constexpr size_t kMaxRecords = 8192;             // records per batch, however short

// One block of input records and their outputs, read, grouped by one
// pipeline thread and written in input order.  The records are grouped
// where they were read (the grouping upper-cases them there), and the
// result lines and rows are laid out back to back, ready for one write
// each.  A few batches go round the pipeline; their buffers are made once.
class RecordBatch {
 public:
  RecordBatch(bool with_rows, RowFormat format, const FindingSummary* summary)
      : input_(kBlockBytes),
        format_(format),
        lines_(new char[kMaxRecords * kMaxResultLineBytes]),
        rows_(with_rows ? new char[kMaxRecords * max_row_bytes()] : nullptr),
        summary_(summary ? std::make_unique<FindingSummary>(*summary) : nullptr) {}

  RecordBlock& input() { return input_; }
  size_t count() const { return input_.count(); }
  void set_first_number(int64_t n) { first_number_ = n; }

  // Groups every record with `grouper`; `scratch` is a line buffer for
  // records too short to be grouped in place.
  void group(Grouper& grouper, const TableStore& store, char* scratch) {
    lines_len_ = 0;
    rows_len_ = 0;
    if (summary_) summary_->clear();
    for (size_t i = 0; i < count(); ++i) {
      const size_t len = input_.record(i).size();
      char* line = input_.record_data(i);
      // What a short record does not hold reads as blanks, never as the
      // record after it.
      if (len < kRecordWidth) {
        std::memcpy(scratch, line, len);
        std::memset(scratch + len, ' ', kRecordWidth - len);
        line = scratch;
      }
      grouper.group(line, len);
      const RecordResult& res = grouper.result();
      if (summary_) summary_->add(res.res_mdc, grouper.findings());
      lines_len_ += format_result_line(line, len, adrg_text(store, res.res_adrg), supplementary_text(res),
                                       lines_.get() + lines_len_);
      if (!rows_) continue;
      const int64_t number = first_number_ + static_cast<int64_t>(i);
      char* out = rows_.get() + rows_len_;
      rows_len_ += format_ == RowFormat::kJsonl
                       ? format_json_row(number, store, grouper.values(), res, grouper.findings(), out)
                       : format_result_row(number, store, grouper.values(), res, grouper.findings(), out);
    }
  }

  std::string_view lines() const { return {lines_.get(), lines_len_}; }
  const FindingSummary* summary() const { return summary_.get(); }
  std::string_view rows() const { return {rows_.get(), rows_len_}; }

 private:
  size_t max_row_bytes() const { return format_ == RowFormat::kJsonl ? kMaxJsonRowBytes : kMaxResultRowBytes; }

  RecordBlock input_;
  RowFormat format_;
  int64_t first_number_ = 1;
  // Sized for the most records a batch holds; only what is written is ever
  // touched, so the room costs address space, not memory.
  std::unique_ptr<char[]> lines_;
  size_t lines_len_ = 0;
  std::unique_ptr<char[]> rows_;
  size_t rows_len_ = 0;
  std::unique_ptr<FindingSummary> summary_;  // the batch's own counts, when a summary is wanted
};

// The grouping state of one pipeline thread: its own Grouper and a line
// buffer for short records.
struct Worker {
  explicit Worker(const TableSet& set) : grouper(set) {}
  Grouper grouper;
  std::array<char, kLineBufferSize> scratch;
};

}  // namespace

BatchOutcome group_batch(const TableSet& set, std::FILE* in, OutputFile& lines, const BatchOptions& options) {
  const TableStore& store = set.store();
  OutputFile* rows = options.rows;
  const int threads = std::max(1, options.threads);
  auto write_failed = [&] { return lines.failed() || (rows && rows->failed()); };

  LineReader reader(in, kBlockBytes);
  if (rows && options.row_format == RowFormat::kTsv) rows->write(result_table_header());

  // Batches in flight: a few per thread keep the reader, the groupers and the
  // writer busy at once.  They are made once and go round.
  const size_t in_flight = 2 * static_cast<size_t>(threads) + 2;
  std::vector<std::unique_ptr<RecordBatch>> batches;
  std::vector<RecordBatch*> free_batches;
  std::mutex free_mutex;
  for (size_t i = 0; i < in_flight; ++i) {
    batches.push_back(std::make_unique<RecordBatch>(rows != nullptr, options.row_format, options.summary));
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
  uint64_t bytes_written = 0;  // input bytes whose results are written
  std::atomic<bool> stopped{false};  // set by a serial stage: nothing more is read or written

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
              RecordBatch* batch = stopped ? nullptr : take_batch();
              if (batch && reader.read_block(batch->input(), kMaxRecords) > 0) {
                // A catalogue that disagrees with the logic conditions stops
                // the run at its first record, before any line is written.
                if (!set.logic_setting_ok()) {
                  outcome.end = BatchEnd::kLogicSetting;
                  stopped = true;
                } else {
                  batch->set_first_number(options.first_record + records_read);
                  records_read += static_cast<int64_t>(batch->count());
                  hand_over(batch);
                  return batch;
                }
              }
              if (batch) give_back(batch);
              fc.stop();
              return nullptr;
            }) &
            // Group, on any thread, with that thread's own Grouper.
            tbb::make_filter<RecordBatch*, RecordBatch*>(tbb::filter_mode::parallel,
                                                         [&](RecordBatch* batch) {
                                                           const StageTurn item(batch);
                                                           Worker& w = workers.local();
                                                           batch->group(w.grouper, store, w.scratch.data());
                                                           return batch;
                                                         }) &
            // Write, in input order, with the progress lines.
            tbb::make_filter<RecordBatch*, void>(tbb::filter_mode::serial_in_order, [&](RecordBatch* batch) {
              const StageTurn turn(&lines);
              take_over(batch);
              if (!stopped) {
                lines.write(batch->lines());
                if (rows) rows->write(batch->rows());
                if (write_failed()) {
                  outcome.end = BatchEnd::kWriteError;
                  stopped = true;
                } else {
                  const int64_t before = outcome.records;
                  outcome.records += static_cast<int64_t>(batch->count());
                  if (options.summary) options.summary->merge(*batch->summary());
                  if (options.progress) {
                    for (int64_t n = (before / kProgressEvery + 1) * kProgressEvery; n <= outcome.records;
                         n += kProgressEvery) {
                      options.progress(n);
                    }
                  }
                  bytes_written += batch->input().bytes();
                  if (options.after_block) options.after_block(outcome.records, bytes_written);
                }
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
