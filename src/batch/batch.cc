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
#include "impact/impact_probe.h"
#include "output/impact_columns.h"
#include "output/result_json.h"
#include "output/result_line.h"
#include "output/result_table.h"
#include "record/digit_fields.h"
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

// The table sets a batch groups with: one, or the versions of a registry
// with their names and the summary's MDC rows.
struct Versions {
  const episode_grouper::TableRegistry* registry = nullptr;
  std::vector<const PreparedSet*> sets;
  std::vector<std::string_view> names;
  const VersionMdcRows* mdc_rows = nullptr;

  // The version of the record `line` (readable to kRecordWidth), or
  // kNoVersion, `date` being the record date as the grouping reads it.
  int choose(const char* line, int32_t& date) const {
    if (!registry) return 0;
    date = digit_word::parse_eight(line + kRecDateOffset);
    return registry->version_of_date(date);
  }
  // The summary's row of MDC index `mdc` of `version`.
  int16_t mdc_row(int version, int16_t mdc) const {
    if (!mdc_rows) return mdc;
    const std::vector<int16_t>& rows = mdc_rows->rows[static_cast<size_t>(version)];
    return mdc >= 0 && static_cast<size_t>(mdc) < rows.size() ? rows[static_cast<size_t>(mdc)] : INT16_MAX;
  }
};

// The grouping state of one pipeline thread: its own Engine for each table
// set and, when the impact is wanted, the probe that finds it, a line buffer
// for short records, the state for rows of named fields, and its own counts
// of the report's rows.
struct Worker {
  Worker(const Versions& versions, bool impact, ResultCounts* counts) : counts(counts) {
    for (const PreparedSet* set : versions.sets) {
      engines.push_back(std::make_unique<Engine>(*set));
      if (impact) probes.push_back(std::make_unique<ImpactProbe>(*set));
    }
  }
  std::vector<std::unique_ptr<Engine>> engines;
  std::vector<std::unique_ptr<ImpactProbe>> probes;  // none without the impact
  ResultCounts* counts;  // this thread's counts of the report's rows (owned by the run), or null
  std::array<char, kLineBufferSize> scratch;
  RowState rows;
};

// One block of input records and their outputs, read, grouped by one
// pipeline thread and written in input order.  The records are grouped
// where they were read (the grouping upper-cases them there), and the
// result lines and rows are laid out back to back, ready for one write
// each.  A few batches go round the pipeline; their buffers are made once.
class RecordBatch : public PipelineBlock {
 public:
  RecordBatch(bool with_rows, RowFormat format, const FindingSummary* summary,
              const episode_grouper::WeightCatalogue* weights, const Versions& versions,
              size_t max_record = kMaxLineBytes, bool with_records = false, bool impact = false,
              bool impact_tallies = false)
      : PipelineBlock(max_record),
        format_(format),
        weights_(weights),
        impact_wanted_(impact),
        tally_impact_(impact && impact_tallies),
        versions_(versions),
        lines_(new char[kPipelineRecords * kMaxResultLineBytes]),
        rows_(with_rows ? new char[kPipelineRecords * max_row_bytes()] : nullptr),
        records_(with_records ? new char[kPipelineRecords * kBuiltRecordBytes] : nullptr),
        summary_(summary ? std::make_unique<FindingSummary>(*summary) : nullptr),
        per_version_(versions.registry ? versions.sets.size() + 1 : 0, 0) {
    input_invalid_.add({.code = episode_grouper::FindingCode::kInputInvalid});
    no_version_.add({.code = episode_grouper::FindingCode::kNoTableVersion,
                     .field = episode_grouper::RecordField::kRecDate});
  }

  // Groups every record with `w`'s Engine of its table set; w.scratch is a
  // line buffer for records too short to be grouped in place.
  void group(Worker& w) {
    start(w);
    for (size_t i = 0; i < count(); ++i) {
      const size_t len = input.record(i).size();
      group_one(w, groupable_record(input, i, w.scratch.data()), len, i, nullptr);
    }
  }

  // Reads every row of named fields into w.rows's episode, builds its
  // record and groups that as group() groups a record.
  void group_rows(Worker& w, const EpisodeInput& how) {
    start(w);
    first_invalid_ = kNone;
    others_.clear();
    RowState& state = w.rows;
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
        group_one(w, record, episode_grouper::kEpisodeRecordBytes, i, &id);
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
      const size_t n = format_ == RowFormat::kJsonl
                           ? format_json_invalid_row(number, &id, state.errors, weights_ != nullptr, out)
                           : format_invalid_row(number, &id, state.errors, weights_ != nullptr, out);
      const size_t len = with_tables(out, with_empty_impact(out, n), episode_grouper::TableRegistry::kNoVersion);
      rows_len_ += len;
      if (counts_ && counted_) counted_ = counts_->add(std::string_view(out, len - 1));
    }
  }

  std::string_view lines() const { return {lines_.get(), lines_len_}; }
  const FindingSummary* summary() const { return summary_.get(); }
  std::string_view rows() const { return {rows_.get(), rows_len_}; }
  std::string_view records() const { return {records_.get(), records_len_}; }
  // Over a registry: records per version, then those no version holds.
  const std::vector<int64_t>& per_version() const { return per_version_; }
  // Whether the grouping thread could count the rows for the report.
  bool counted() const { return counted_; }
  // Rows of named fields: the first row that could not be built (kNone when
  // all were), its errors, and the member names that are no field.
  static constexpr size_t kNone = SIZE_MAX;
  size_t first_invalid() const { return first_invalid_; }
  const episode_grouper::FieldErrors& invalid_errors() const { return invalid_errors_; }
  const std::vector<std::string>& others() const { return others_; }
  // What the codes of the batch's records are worth, for the run's summary.
  const std::vector<ImpactTally>& impact_tallies() const { return impact_tallies_; }

 private:
  static constexpr size_t kBuiltRecordBytes = episode_grouper::kEpisodeRecordBytes + 1;  // with the line feed

  size_t max_row_bytes() const {
    const size_t impact = impact_wanted_ ? (format_ == RowFormat::kJsonl ? kMaxImpactJsonBytes : kMaxImpactColumnBytes)
                                         : 0;
    return format_ == RowFormat::kJsonl ? kMaxJsonRowBytes + impact + kMaxTablesMemberBytes
                                        : kMaxResultRowBytes + impact + kMaxTablesColumnBytes;
  }

  void start(const Worker& w) {
    counts_ = w.counts;
    counted_ = true;
    lines_len_ = 0;
    rows_len_ = 0;
    records_len_ = 0;
    impact_tallies_.clear();
    if (summary_) summary_->clear();
    std::fill(per_version_.begin(), per_version_.end(), 0);
  }

  // The row of `len` bytes laid out at `out` (a row without groups), with an
  // empty impact column before its line feed when the impact is wanted;
  // returns the row's length.
  size_t with_empty_impact(char* out, size_t len) const {
    if (!impact_wanted_) return len;
    static const episode_grouper::Impact kNoImpact;
    char* p = out + len - 1;  // the line feed
    if (format_ == RowFormat::kJsonl) {
      --p;  // the closing brace
      p = put_impact_json(p, kNoImpact);
      *p++ = '}';
    } else {
      p = put_impact_column(p, kNoImpact);
    }
    *p++ = '\n';
    return static_cast<size_t>(p - out);
  }

  // Groups the record line[0, len) (readable to kRecordWidth, blanks from
  // len on) with the Engine of its version and puts its result.
  void group_one(Worker& w, char* line, size_t len, size_t i, const std::string_view* id) {
    int32_t date = 0;
    const int version = versions_.choose(line, date);
    if (version < 0) {
      put_ungrouped(line, len, i, id, date);
      return;
    }
    if (!per_version_.empty()) ++per_version_[static_cast<size_t>(version)];
    const size_t v = static_cast<size_t>(version);
    Engine& grouper = *w.engines[v];
    grouper.group(line, len);
    put_result(grouper.result(), version, w.probes.empty() ? nullptr : w.probes[v].get(), line, len, i, id);
  }

  // Ends the row just laid out at `out`, of `len` bytes, with the tables
  // column of `version` over a registry; returns the row's length.
  size_t with_tables(char* out, size_t len, int version) const {
    if (!versions_.registry) return len;
    const std::string_view name = version >= 0 ? versions_.names[static_cast<size_t>(version)] : std::string_view{};
    return format_ == RowFormat::kJsonl ? add_tables_member(out, len, name) : add_tables_column(out, len, name);
  }

  // Puts a record that no version holds: a result line without groups
  // ("0000" both, the head upper-cased as the grouping does) and a row
  // without groups with its no_table_version finding.
  void put_ungrouped(char* line, size_t len, size_t i, const std::string_view* id, int32_t date) {
    ++per_version_.back();
    const size_t head = std::min(len, kHeadWidth);
    for (size_t k = 0; k < head; ++k) {
      if (line[k] >= 'a' && line[k] <= 'z') line[k] = static_cast<char>(line[k] - 'a' + 'A');
    }
    no_version_.items[0].set_date(date);
    if (summary_) summary_->add(0, no_version_);
    lines_len_ += format_result_line(line, len, "0000", "0000", lines_.get() + lines_len_);
    if (!rows_) return;
    const int64_t number = first_number + static_cast<int64_t>(i);
    char* out = rows_.get() + rows_len_;
    const size_t n = format_ == RowFormat::kJsonl
                         ? format_json_ungrouped_row(number, id, no_version_, weights_ != nullptr, out)
                         : format_ungrouped_row(number, id, no_version_, weights_ != nullptr, out);
    const size_t row_len = with_tables(out, with_empty_impact(out, n), episode_grouper::TableRegistry::kNoVersion);
    rows_len_ += row_len;
    if (counts_ && counted_) counted_ = counts_->add(std::string_view(out, row_len - 1));
  }

  // Weighs, counts and writes the result of record i, `line[0, len)`, just
  // grouped with `version`; finds its impact with `probe` when wanted.
  void put_result(const Result& res, int version, ImpactProbe* probe, const char* line, size_t len, size_t i,
                  const std::string_view* id) {
    const TableStore& store = versions_.sets[static_cast<size_t>(version)]->store();
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
    if (summary_) summary_->add(versions_.mdc_row(version, res.res_mdc), *findings, weighed);
    const episode_grouper::Impact* impact = nullptr;
    if (impact_wanted_ && probe) {
      probe->find(line, len, res, weights_, impact_);
      impact = &impact_;
      if (tally_impact_) tally_impact(impact_, drg_text(res), impact_tallies_);
    }
    // The key's slot is fetched while the lines are formatted.  plain: no
    // fetch ahead; the counting waited on the slot for most of its time.
    const bool keyed = rows_ && counts_ && counted_ && counted_by_key(res);
    ResultCounts::RowKey key;
    if (keyed) {
      key = row_key(res);
      counts_->prefetch(key);
    }
    lines_len_ += format_result_line(line, len, adrg_text(store, res.res_adrg), supplementary_text(res),
                                     lines_.get() + lines_len_);
    if (!rows_) return;
    const int64_t number = first_number + static_cast<int64_t>(i);
    char* out = rows_.get() + rows_len_;
    const size_t n = format_ == RowFormat::kJsonl
                         ? format_json_row(number, store, res, *findings, out, weighed, id, impact)
                         : format_result_row(number, store, res, *findings, out, weighed, id, impact);
    const size_t row_len = with_tables(out, n, version);
    rows_len_ += row_len;
    if (counts_ && counted_) counted_ = count_row(keyed ? &key : nullptr, *findings, std::string_view(out, row_len - 1));
  }

  // Whether the row of `res` is counted by its key: the values its counted
  // fields are formatted from (the codes by their indexes and texts, the
  // numbers as numbers), so that its row is read only when a part of the
  // key is new.  So are the rows of grouped records without weight
  // columns; over a registry or with the impact column the row is read
  // whole: the key does not hold those.
  bool counted_by_key(const Result& res) const {
    return !weights_ && !versions_.registry && !impact_wanted_ && res.res_adrg != 0;
  }
  static ResultCounts::RowKey row_key(const Result& res) {
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
    return key;
  }

  // Counts `row` for the report, by `key` when given (counted_by_key); the
  // findings then by their text: the TSV row's last column, or the value of
  // the JSON row's last member (a row without weight, impact or tables
  // ends with its findings; no string holds the member's name with its
  // quotes, which a string escapes).  plain: every row with findings read
  // whole (a tenth of realistic rows, each costing some ten keyed ones).
  bool count_row(const ResultCounts::RowKey* key, const episode_grouper::Findings& findings, std::string_view row) {
    if (!key) return counts_->add(row);
    std::string_view text;
    if (findings.count > 0 || findings.dropped > 0) {
      if (format_ == RowFormat::kJsonl) {
        constexpr std::string_view kMember = ",\"findings\":";
        const size_t at = row.rfind(kMember);
        if (at == std::string_view::npos || !row.ends_with("]}")) return counts_->add(row);
        const size_t from = at + kMember.size();
        text = row.substr(from, row.size() - 1 - from);
      } else {
        text = row.substr(row.rfind('\t') + 1);
      }
    }
    return counts_->add_keyed(*key, row, text);
  }

  RowFormat format_;
  const episode_grouper::WeightCatalogue* weights_;
  bool impact_wanted_;
  bool tally_impact_;
  episode_grouper::Impact impact_;  // of the record written last
  std::vector<ImpactTally> impact_tallies_;
  const Versions& versions_;
  episode_grouper::Findings with_weight_finding_;
  episode_grouper::Findings input_invalid_;  // what the summary counts for a row that cannot be built
  episode_grouper::Findings no_version_;     // the findings of a record no version holds
  // Sized for the most records a batch holds; only what is written is ever
  // touched, so the room costs address space, not memory.
  std::unique_ptr<char[]> lines_;
  size_t lines_len_ = 0;
  std::unique_ptr<char[]> rows_;
  size_t rows_len_ = 0;
  std::unique_ptr<char[]> records_;
  size_t records_len_ = 0;
  std::unique_ptr<FindingSummary> summary_;  // the batch's own counts, when a summary is wanted
  std::vector<int64_t> per_version_;
  ResultCounts* counts_ = nullptr;  // the grouping thread's counts of the report's rows, if any
  bool counted_ = true;             // false once a row could not be counted
  size_t first_invalid_ = kNone;
  episode_grouper::FieldErrors invalid_errors_;
  std::vector<std::string> others_;
};

// The run of group_batch over one set or the versions of a registry.
BatchOutcome run_batch_over(const Versions& versions, std::FILE* in, OutputFile& lines, const BatchOptions& options) {
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

  std::string_view header = by_rows ? result_table_header(options.weights != nullptr, true)
                             : options.weights ? result_table_header_with_weights()
                                               : result_table_header();
  // The impact column comes after every other of the grouping, and the
  // tables column of a registry last.
  std::string extended;
  if (options.impact || versions.registry) {
    extended.assign(header.substr(0, header.size() - 1));
    if (options.impact) extended += impact_column_header();
    if (versions.registry) extended += "\ttables";
    extended += '\n';
    header = extended;
  }
  if (rows && options.row_format == RowFormat::kTsv) rows->write(header);
  if (versions.registry) outcome.per_version.assign(versions.sets.size() + 1, 0);
  if (options.counts) {
    if (options.row_format == RowFormat::kTsv) options.counts->start_tsv(header.substr(0, header.size() - 1));
    else options.counts->start_jsonl();
  }
  const bool counting = options.counts != nullptr;
  const bool with_rows = rows != nullptr || counting;
  // The report's rows are counted where they are made, each grouping thread
  // into counts of its own, merged when the run is done: the writing stage
  // would otherwise count every row alone.  The totals do not depend on
  // which thread counted which block.
  std::vector<std::unique_ptr<ResultCounts>> thread_counts;
  std::mutex thread_counts_mutex;
  auto make_counts = [&]() -> ResultCounts* {
    if (!counting) return nullptr;
    const std::lock_guard<std::mutex> lock(thread_counts_mutex);
    thread_counts.push_back(std::make_unique<ResultCounts>(options.counts->empty_like()));
    return thread_counts.back().get();
  };

  uint64_t bytes_written = 0;  // input bytes whose results are written
  run_block_pipeline<RecordBatch>(
      reader, options.threads, options.first_record,
      [&] {
        return std::make_unique<RecordBatch>(with_rows, options.row_format, options.summary, options.weights,
                                             versions, reader.max_record(), by_rows && records != nullptr,
                                             options.impact, options.impact_summary != nullptr);
      },
      [&] { return Worker(versions, options.impact, make_counts()); },
      // A catalogue that disagrees with the logic conditions stops the run
      // at its first record, before any line is written.
      [&] {
        for (const PreparedSet* set : versions.sets) {
          if (!set->logic_setting_ok()) {
            outcome.end = BatchEnd::kLogicSetting;
            return false;
          }
        }
        return true;
      },
      // Group, on any thread, with that thread's own Engines.
      [&](RecordBatch& batch, Worker& w) {
        if (by_rows) batch.group_rows(w, how);
        else batch.group(w);
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
        if (options.impact_summary) options.impact_summary->add(batch.impact_tallies());
        for (size_t v = 0; v < outcome.per_version.size(); ++v) outcome.per_version[v] += batch.per_version()[v];
        if (counting && !batch.counted()) {
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

}  // namespace

VersionMdcRows::VersionMdcRows(const episode_grouper::TableRegistry& registry) {
  codes.push_back(Code3{});  // row 0: no MDC
  for (const episode_grouper::TableVersion& v : registry.versions()) {
    const std::vector<Code3>& list = prepared(*v.tables).store().mdc_code;
    std::vector<int16_t>& of = rows.emplace_back(list.size(), int16_t{0});
    for (size_t m = 1; m < list.size(); ++m) {
      const auto at = std::find(codes.begin() + 1, codes.end(), list[m]);
      of[m] = static_cast<int16_t>(at - codes.begin());
      if (at == codes.end()) codes.push_back(list[m]);
    }
  }
}

BatchOutcome group_batch(const PreparedSet& set, std::FILE* in, OutputFile& lines, const BatchOptions& options) {
  Versions one;
  one.sets.push_back(&set);
  return run_batch_over(one, in, lines, options);
}

BatchOutcome group_batch(const episode_grouper::TableRegistry& registry, const VersionMdcRows& mdc_rows,
                         std::FILE* in, OutputFile& lines, const BatchOptions& options) {
  Versions versions;
  versions.registry = &registry;
  versions.mdc_rows = &mdc_rows;
  for (const episode_grouper::TableVersion& v : registry.versions()) {
    versions.sets.push_back(&prepared(*v.tables));
    versions.names.push_back(v.name);
  }
  return run_batch_over(versions, in, lines, options);
}

}  // namespace grouper
