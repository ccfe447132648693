#include "batch/batch.h"

#include <array>
#include <memory>
#include <string_view>

#include "batch/block_pipeline.h"
#include "engine/engine.h"
#include "output/result_json.h"
#include "output/result_line.h"
#include "output/result_table.h"
#include "record/record_layout.h"

namespace grouper {
namespace {

constexpr int64_t kProgressEvery = 10000;

// One block of input records and their outputs, read, grouped by one
// pipeline thread and written in input order.  The records are grouped
// where they were read (the grouping upper-cases them there), and the
// result lines and rows are laid out back to back, ready for one write
// each.  A few batches go round the pipeline; their buffers are made once.
class RecordBatch : public PipelineBlock {
 public:
  RecordBatch(bool with_rows, RowFormat format, const FindingSummary* summary,
              const episode_grouper::WeightCatalogue* weights)
      : format_(format),
        weights_(weights),
        lines_(new char[kPipelineRecords * kMaxResultLineBytes]),
        rows_(with_rows ? new char[kPipelineRecords * max_row_bytes()] : nullptr),
        summary_(summary ? std::make_unique<FindingSummary>(*summary) : nullptr) {}

  // Groups every record with `grouper`; `scratch` is a line buffer for
  // records too short to be grouped in place.
  void group(Engine& grouper, const TableStore& store, char* scratch) {
    lines_len_ = 0;
    rows_len_ = 0;
    if (summary_) summary_->clear();
    for (size_t i = 0; i < count(); ++i) {
      const size_t len = input.record(i).size();
      char* line = groupable_record(input, i, scratch);
      grouper.group(line, len);
      const Result& res = grouper.result();
      // With weights, the weight's finding joins the grouping's, in a copy:
      // only records with such a finding pay for it.
      const episode_grouper::Findings* findings = &res.findings;
      episode_grouper::EpisodeWeight weight;
      if (weights_) {
        const std::string_view drg =
            res.res_drg != 0 ? code_text(res.res_drg_code.data(), res.res_drg_code.size()) : std::string_view{};
        weight = weights_->weigh(drg, res.values.rec_date, res.values.los_dd);
        if (weight.has_finding) {
          with_weight_finding_ = res.findings;
          with_weight_finding_.add(weight.finding);
          findings = &with_weight_finding_;
        }
      }
      const episode_grouper::EpisodeWeight* weighed = weights_ ? &weight : nullptr;
      if (summary_) summary_->add(res.res_mdc, *findings, weighed);
      lines_len_ += format_result_line(line, len, adrg_text(store, res.res_adrg), supplementary_text(res),
                                       lines_.get() + lines_len_);
      if (!rows_) continue;
      const int64_t number = first_number + static_cast<int64_t>(i);
      char* out = rows_.get() + rows_len_;
      rows_len_ += format_ == RowFormat::kJsonl
                       ? format_json_row(number, store, res, *findings, out, weighed)
                       : format_result_row(number, store, res, *findings, out, weighed);
    }
  }

  std::string_view lines() const { return {lines_.get(), lines_len_}; }
  const FindingSummary* summary() const { return summary_.get(); }
  std::string_view rows() const { return {rows_.get(), rows_len_}; }

 private:
  size_t max_row_bytes() const { return format_ == RowFormat::kJsonl ? kMaxJsonRowBytes : kMaxResultRowBytes; }

  RowFormat format_;
  const episode_grouper::WeightCatalogue* weights_;
  episode_grouper::Findings with_weight_finding_;
  // Sized for the most records a batch holds; only what is written is ever
  // touched, so the room costs address space, not memory.
  std::unique_ptr<char[]> lines_;
  size_t lines_len_ = 0;
  std::unique_ptr<char[]> rows_;
  size_t rows_len_ = 0;
  std::unique_ptr<FindingSummary> summary_;  // the batch's own counts, when a summary is wanted
};

// The grouping state of one pipeline thread: its own Engine and a line
// buffer for short records.
struct Worker {
  explicit Worker(const PreparedSet& set) : grouper(set) {}
  Engine grouper;
  std::array<char, kLineBufferSize> scratch;
};

}  // namespace

BatchOutcome group_batch(const PreparedSet& set, std::FILE* in, OutputFile& lines, const BatchOptions& options) {
  const TableStore& store = set.store();
  OutputFile* rows = options.rows;
  auto write_failed = [&] { return lines.failed() || (rows && rows->failed()); };

  LineReader reader(in, kPipelineBlockBytes);
  if (rows && options.row_format == RowFormat::kTsv) {
    rows->write(options.weights ? result_table_header_with_weights() : result_table_header());
  }

  BatchOutcome outcome;
  uint64_t bytes_written = 0;  // input bytes whose results are written
  run_block_pipeline<RecordBatch>(
      reader, options.threads, options.first_record,
      [&] {
        return std::make_unique<RecordBatch>(rows != nullptr, options.row_format, options.summary,
                                                   options.weights);
      },
      [&set] { return Worker(set); },
      // A catalogue that disagrees with the logic conditions stops the run
      // at its first record, before any line is written.
      [&] {
        if (set.logic_setting_ok()) return true;
        outcome.end = BatchEnd::kLogicSetting;
        return false;
      },
      // Group, on any thread, with that thread's own Engine.
      [&](RecordBatch& batch, Worker& w) { batch.group(w.grouper, store, w.scratch.data()); },
      // Write, in input order, with the progress lines.
      [&](RecordBatch& batch) {
        lines.write(batch.lines());
        if (rows) rows->write(batch.rows());
        if (write_failed()) {
          outcome.end = BatchEnd::kWriteError;
          return false;
        }
        const int64_t before = outcome.records;
        outcome.records += static_cast<int64_t>(batch.count());
        if (options.summary) options.summary->merge(*batch.summary());
        if (options.progress) {
          for (int64_t n = (before / kProgressEvery + 1) * kProgressEvery; n <= outcome.records;
               n += kProgressEvery) {
            options.progress(n);
          }
        }
        bytes_written += batch.input.bytes();
        if (options.after_block) options.after_block(outcome.records, bytes_written);
        return true;
      });
  if (outcome.end != BatchEnd::kDone) return outcome;
  if (reader.failed()) outcome.end = BatchEnd::kReadError;
  else if (write_failed()) outcome.end = BatchEnd::kWriteError;
  return outcome;
}

}  // namespace grouper
