#include "batch/batch.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <vector>
#include <memory>
#include <mutex>
#include <string_view>

#include "batch/block_pipeline.h"
#include "engine/engine.h"
#include "episode_grouper/episode.h"
#include "output/result_json.h"
#include "output/result_line.h"
#include "output/result_table.h"
#include "record/record_layout.h"

namespace grouper {
namespace {

constexpr int64_t kProgressEvery = 10000;

// The state of one pipeline thread for rows of named fields: the episode,
// its errors and the record built from it, kept from row to row so that
// their room is reused.
struct RowState {
  episode_grouper::Episode episode;
  episode_grouper::FieldErrors errors;
  RowParser parser;
  std::vector<std::string> others;  // JSON Lines: member names that are no field
  std::array<char, episode_grouper::kEpisodeRecordBytes> record;
};

// How the rows of named fields are read.
struct EpisodeInput {
  InputFormat format = InputFormat::kFixed;
  const EpisodeColumns* columns = nullptr;
};

// One block of input records and their outputs, read, grouped by one
// pipeline thread and written in input order.  The records are grouped
// where they were read (the grouping upper-cases them there), and the
// result lines and rows are laid out back to back, ready for one write
// each.  A few batches go round the pipeline; their buffers are made once.
class RecordBatch : public PipelineBlock {
 public:
  RecordBatch(bool with_rows, RowFormat format, const FindingSummary* summary,
              const episode_grouper::WeightCatalogue* weights, size_t max_record = kMaxLineBytes,
              bool with_records = false)
      : PipelineBlock(max_record),
        format_(format),
        weights_(weights),
        lines_(new char[kPipelineRecords * kMaxResultLineBytes]),
        rows_(with_rows ? new char[kPipelineRecords * max_row_bytes()] : nullptr),
        records_(with_records ? new char[kPipelineRecords * kBuiltRecordBytes] : nullptr),
        summary_(summary ? std::make_unique<FindingSummary>(*summary) : nullptr) {
    input_invalid_.add({.code = episode_grouper::FindingCode::kInputInvalid});
  }

  // Groups every record with `grouper`; `scratch` is a line buffer for
  // records too short to be grouped in place.
  void group(Engine& grouper, const TableStore& store, char* scratch, ResultCounts* counts) {
    lines_len_ = 0;
    rows_len_ = 0;
    counts_ = counts;
    counted_ = true;
    if (summary_) summary_->clear();
    for (size_t i = 0; i < count(); ++i) {
      const size_t len = input.record(i).size();
      char* line = groupable_record(input, i, scratch);
      grouper.group(line, len);
      put_result(grouper.result(), store, line, len, i, nullptr);
    }
  }

  // Reads every row of named fields into `state`'s episode, builds its
  // record and groups that as group() groups a record.
  void group_rows(Engine& grouper, const TableStore& store, RowState& state, const EpisodeInput& how,
                  ResultCounts* counts) {
    lines_len_ = 0;
    rows_len_ = 0;
    counts_ = counts;
    counted_ = true;
    records_len_ = 0;
    first_invalid_ = kNone;
    others_.clear();
    if (summary_) summary_->clear();
    const bool jsonl = how.format == InputFormat::kJsonl;
    char* record = state.record.data();
    for (size_t i = 0; i < count(); ++i) {
      state.errors.clear();
      state.others.clear();
      state.parser.parse(input.row(i), how.format, *how.columns, state.episode, state.errors,
                         jsonl ? &state.others : nullptr);
      for (const std::string& name : state.others) {
        if (std::find(others_.begin(), others_.end(), name) == others_.end()) others_.push_back(name);
      }
      // A JSON Lines row that is no object has no fields to check: its
      // error says all there is.
      const bool unread = jsonl && state.errors.has(episode_grouper::EpisodeField::kRow);
      if (unread) std::memset(record, ' ', episode_grouper::kEpisodeRecordBytes);
      const bool built = !unread && episode_grouper::build_record(state.episode, record, state.errors);
      if (records_) {
        char* out = records_.get() + records_len_;
        std::memcpy(out, record, episode_grouper::kEpisodeRecordBytes);
        out[episode_grouper::kEpisodeRecordBytes] = '\n';
        records_len_ += kBuiltRecordBytes;
      }
      const std::string_view id = state.episode.id;
      if (built) {
        grouper.group(record, episode_grouper::kEpisodeRecordBytes);
        put_result(grouper.result(), store, record, episode_grouper::kEpisodeRecordBytes, i, &id);
        continue;
      }
      // Not grouped: the record holds only the id, and no group.
      if (first_invalid_ == kNone) {
        first_invalid_ = i;
        invalid_errors_ = state.errors;
      }
      lines_len_ += format_invalid_line(record, lines_.get() + lines_len_);
      if (summary_) summary_->add(0, input_invalid_);
      if (!rows_) continue;
      const int64_t number = first_number + static_cast<int64_t>(i);
      char* out = rows_.get() + rows_len_;
      const size_t len = format_ == RowFormat::kJsonl
                             ? format_json_invalid_row(number, &id, state.errors, weights_ != nullptr, out)
                             : format_invalid_row(number, &id, state.errors, weights_ != nullptr, out);
      rows_len_ += len;
      if (counts_ && counted_) counted_ = counts_->add(std::string_view(out, len - 1));
    }
  }

  std::string_view lines() const { return {lines_.get(), lines_len_}; }
  const FindingSummary* summary() const { return summary_.get(); }
  std::string_view rows() const { return {rows_.get(), rows_len_}; }
  std::string_view records() const { return {records_.get(), records_len_}; }
  // Whether the grouping thread could count the rows for the report.
  bool counted() const { return counted_; }
  // Rows of named fields: the first row that could not be built (kNone when
  // all were), its errors, and the member names that are no field.
  static constexpr size_t kNone = SIZE_MAX;
  size_t first_invalid() const { return first_invalid_; }
  const episode_grouper::FieldErrors& invalid_errors() const { return invalid_errors_; }
  const std::vector<std::string>& others() const { return others_; }

 private:
  static constexpr size_t kBuiltRecordBytes = episode_grouper::kEpisodeRecordBytes + 1;  // with the line feed

  size_t max_row_bytes() const { return format_ == RowFormat::kJsonl ? kMaxJsonRowBytes : kMaxResultRowBytes; }

  // Weighs, counts and writes the result of record i, `line[0, len)`, just grouped.
  void put_result(const Result& res, const TableStore& store, const char* line, size_t len, size_t i,
                  const std::string_view* id) {
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
    if (!rows_) return;
    const int64_t number = first_number + static_cast<int64_t>(i);
    char* out = rows_.get() + rows_len_;
    const size_t row_len = format_ == RowFormat::kJsonl
                               ? format_json_row(number, store, res, *findings, out, weighed, id)
                               : format_result_row(number, store, res, *findings, out, weighed, id);
    rows_len_ += row_len;
    if (counts_ && counted_) counted_ = count_row(res, *findings, std::string_view(out, row_len - 1));
  }

  // Counts the row of `res` for the report.  A grouped record without
  // findings, in rows without weight columns, is counted by its key: the
  // values its counted fields are formatted from (the codes by their
  // indexes and texts, the numbers as numbers), so that its row is read
  // only when a part of the key is new.
  bool count_row(const Result& res, const episode_grouper::Findings& findings, std::string_view row) {
    if (weights_ || res.res_adrg == 0 || findings.count > 0 || findings.dropped > 0) return counts_->add(row);
    ResultCounts::RowKey key;
    char* k = key.group.data();
    for (const int16_t n : {res.res_mdc, res.res_adrg, res.res_drg, res.res_pccl}) {
      std::memcpy(k, &n, sizeof n);
      k += sizeof n;
    }
    std::memcpy(k, res.res_drg_code.data(), res.res_drg_code.size());
    k += res.res_drg_code.size();
    std::memcpy(k, res.res_ltcdrg_code.data(), res.res_ltcdrg_code.size());
    static_assert(4 * sizeof(int16_t) + sizeof res.res_drg_code + sizeof res.res_ltcdrg_code == sizeof key.group,
                  "the key holds every code and number of the group");
    key.age = res.values.age_yy;
    key.los = res.values.los_dd;
    return counts_->add_keyed(key, row);
  }

  RowFormat format_;
  const episode_grouper::WeightCatalogue* weights_;
  episode_grouper::Findings with_weight_finding_;
  episode_grouper::Findings input_invalid_;  // what the summary counts for a row that cannot be built
  // Sized for the most records a batch holds; only what is written is ever
  // touched, so the room costs address space, not memory.
  std::unique_ptr<char[]> lines_;
  size_t lines_len_ = 0;
  std::unique_ptr<char[]> rows_;
  size_t rows_len_ = 0;
  std::unique_ptr<char[]> records_;
  size_t records_len_ = 0;
  std::unique_ptr<FindingSummary> summary_;  // the batch's own counts, when a summary is wanted
  ResultCounts* counts_ = nullptr;             // the grouping thread's counts of the report's rows, if any
  bool counted_ = true;                        // false once a row could not be counted
  size_t first_invalid_ = kNone;
  episode_grouper::FieldErrors invalid_errors_;
  std::vector<std::string> others_;
};

// The grouping state of one pipeline thread: its own Engine, a line buffer
// for short records, the state for rows of named fields, and its own counts
// of the report's rows (owned by the run, merged at its end).
struct Worker {
  Worker(const PreparedSet& set, ResultCounts* counts) : grouper(set), counts(counts) {}
  Engine grouper;
  std::array<char, kLineBufferSize> scratch;
  RowState rows;
  ResultCounts* counts;
};

}  // namespace

BatchOutcome group_batch(const PreparedSet& set, std::FILE* in, OutputFile& lines, const BatchOptions& options) {
  const TableStore& store = set.store();
  OutputFile* rows = options.rows;
  OutputFile* records = options.records;
  auto write_failed = [&] {
    return lines.failed() || (rows && rows->failed()) || (records && records->failed());
  };

  BatchOutcome outcome;
  const InputFormat format = options.input_format;
  const bool by_rows = format != InputFormat::kFixed;
  LineReader reader(in, kPipelineBlockBytes,
                    !by_rows ? RowSplit::kRecords : format == InputFormat::kJsonl ? RowSplit::kLines : RowSplit::kQuoted);
  // CSV and TSV: the header row first; a header without a required column
  // stops the run before grouping.
  EpisodeColumns columns;
  if (format == InputFormat::kCsv || format == InputFormat::kTsv) {
    RecordBlock head(kPipelineBlockBytes, kMaxRowBytes);
    if (reader.read_block(head, 1) == 0) {
      outcome.end = BatchEnd::kInputError;
      outcome.message = !reader.error().empty() ? reader.error()
                        : reader.failed()       ? "cannot be read"
                                                : "has no header row";
      if (reader.failed() && reader.error().empty()) outcome.end = BatchEnd::kReadError;
      return outcome;
    }
    if (!read_header(head.row(0), format, columns, outcome.message)) {
      outcome.end = BatchEnd::kInputError;
      return outcome;
    }
    outcome.ignored = columns.ignored;
  }
  const EpisodeInput how{format, &columns};

  const std::string_view header = by_rows ? result_table_header(options.weights != nullptr, true)
                                   : options.weights ? result_table_header_with_weights()
                                                     : result_table_header();
  if (rows && options.row_format == RowFormat::kTsv) rows->write(header);
  if (options.counts) {
    if (options.row_format == RowFormat::kTsv) options.counts->start_tsv(header.substr(0, header.size() - 1));
    else options.counts->start_jsonl();
  }
  const bool with_rows = rows != nullptr || options.counts != nullptr;
  // The report's rows are counted where they are made, each grouping thread
  // into counts of its own, merged when the run is done: the writing stage
  // would otherwise count every row alone.  The totals do not depend on
  // which thread counted which block.
  std::vector<std::unique_ptr<ResultCounts>> thread_counts;
  std::mutex thread_counts_mutex;
  auto make_counts = [&]() -> ResultCounts* {
    if (!options.counts) return nullptr;
    const std::lock_guard<std::mutex> lock(thread_counts_mutex);
    thread_counts.push_back(std::make_unique<ResultCounts>(options.counts->empty_like()));
    return thread_counts.back().get();
  };

  uint64_t bytes_written = 0;  // input bytes whose results are written
  run_block_pipeline<RecordBatch>(
      reader, options.threads, options.first_record,
      [&] {
        return std::make_unique<RecordBatch>(with_rows, options.row_format, options.summary, options.weights,
                                             reader.max_record(), by_rows && records != nullptr);
      },
      [&] { return Worker(set, make_counts()); },
      // A catalogue that disagrees with the logic conditions stops the run
      // at its first record, before any line is written.
      [&] {
        if (set.logic_setting_ok()) return true;
        outcome.end = BatchEnd::kLogicSetting;
        return false;
      },
      // Group, on any thread, with that thread's own Engine.
      [&](RecordBatch& batch, Worker& w) {
        if (by_rows) batch.group_rows(w.grouper, store, w.rows, how, w.counts);
        else batch.group(w.grouper, store, w.scratch.data(), w.counts);
      },
      // Write, in input order, with the progress lines.
      [&](RecordBatch& batch) {
        if (by_rows && options.strict && batch.first_invalid() != RecordBatch::kNone) {
          const size_t i = batch.first_invalid();
          outcome.end = BatchEnd::kInvalidRow;
          outcome.message = "row " + std::to_string(batch.first_number + static_cast<int64_t>(i)) + " (line " +
                            std::to_string(batch.input.row_line(i)) + "): " + batch.invalid_errors().text();
          return false;
        }
        lines.write(batch.lines());
        if (rows) rows->write(batch.rows());
        if (by_rows && records) records->write(batch.records());
        if (write_failed()) {
          outcome.end = BatchEnd::kWriteError;
          return false;
        }
        for (const std::string& name : batch.others()) {
          if (std::find(outcome.ignored.begin(), outcome.ignored.end(), name) == outcome.ignored.end()) {
            outcome.ignored.push_back(name);
          }
        }
        const int64_t before = outcome.records;
        outcome.records += static_cast<int64_t>(batch.count());
        if (options.summary) options.summary->merge(*batch.summary());
        if (options.counts && !batch.counted()) {
          outcome.end = BatchEnd::kCountError;
          return false;
        }
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
  for (const auto& counts : thread_counts) {
    if (!options.counts->merge(*counts)) {
      outcome.end = BatchEnd::kCountError;
      return outcome;
    }
  }
  if (!reader.error().empty()) {
    outcome.end = BatchEnd::kInputError;
    outcome.message = reader.error();
  } else if (reader.failed()) {
    outcome.end = BatchEnd::kReadError;
  } else if (write_failed()) {
    outcome.end = BatchEnd::kWriteError;
  }
  return outcome;
}

}  // namespace grouper
