#include "compare/compare.h"

#include <array>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "batch/block_pipeline.h"
#include "engine/engine.h"
#include "output/result_line.h"
#include "record/digit_fields.h"
#include "output/result_table.h"
#include "record/record_layout.h"

namespace grouper {
namespace {

constexpr size_t kMaxDiffRowBytes = 2 * kMaxResultRowBytes;

// The columns of a result row that the tables decide, as the row writes
// them (see format_result_row): texts into the tables or the result.
struct Columns {
  std::string_view mdc, adrg, drg, ccl_raw, ccl_excl, supplementary;
  int pccl;  // -1 without an ADRG
  bool grouped;
};

Columns columns(const TableStore& store, const Result& r) {
  const bool grouped = r.res_adrg != 0;
  return {list_code(store.mdc_code, r.res_mdc),
          list_code(store.adrg_code, r.res_adrg),
          r.res_drg != 0 ? code_text(r.res_drg_code.data(), r.res_drg_code.size()) : std::string_view(),
          grouped ? code_text(r.res_ccl_raw.data(), r.res_ccl_raw.size()) : std::string_view(),
          grouped ? code_text(r.res_ccl_excl.data(), r.res_ccl_excl.size()) : std::string_view(),
          supplementary_text(r),
          grouped ? r.res_pccl : -1,
          grouped};
}

bool same_findings(const episode_grouper::Findings& a, const episode_grouper::Findings& b) {
  static_assert(sizeof(episode_grouper::Finding) == 17, "a Finding is bytes without padding");
  return a.count == b.count && a.dropped == b.dropped &&
         std::memcmp(a.items.data(), b.items.data(), a.count * sizeof(episode_grouper::Finding)) == 0;
}

// The catalogues of both sides (both null without weights), and the weights
// of the record being compared.
struct Weighing {
  const episode_grouper::WeightCatalogue* old_side = nullptr;
  const episode_grouper::WeightCatalogue* new_side = nullptr;
  episode_grouper::EpisodeWeight old_weight, new_weight;
};

int64_t effective(const episode_grouper::EpisodeWeight& w) { return w.has_weight ? w.effective : kNoWeight; }

// How the results of `a` (old) and `b` (new) differ: 0 when they do not.
// With catalogues, weighs both results (into `weighing` and `totals`) and
// sets kChangeWeight when their effective weights differ.
uint16_t differences(const TableStore& old_store, const Result& a, const TableStore& new_store, const Result& b,
                     Weighing& weighing, WeightTotals& totals, RecordChange& change) {
  const Columns o = columns(old_store, a);
  const Columns n = columns(new_store, b);
  uint16_t bits = 0;
  int64_t old_weight = kNoWeight, new_weight = kNoWeight;
  if (weighing.old_side) {
    weighing.old_weight = weighing.old_side->weigh(o.drg, a.values.rec_date, a.values.los_dd);
    weighing.new_weight = weighing.new_side->weigh(n.drg, b.values.rec_date, b.values.los_dd);
    old_weight = effective(weighing.old_weight);
    new_weight = effective(weighing.new_weight);
    totals.add(old_weight, new_weight);
    if (old_weight != new_weight) bits |= kChangeWeight;
  }
  if (o.mdc != n.mdc) bits |= kChangeMdc;
  if (o.adrg != n.adrg) bits |= kChangeAdrg;
  if (o.drg != n.drg) bits |= kChangeDrg;
  if (o.pccl != n.pccl) bits |= kChangePccl;
  if (o.ccl_raw != n.ccl_raw || o.ccl_excl != n.ccl_excl) bits |= kChangeCcl;
  if (o.supplementary != n.supplementary) bits |= kChangeSupplementary;
  if (a.values.age_yy != b.values.age_yy || a.values.age_dd != b.values.age_dd) bits |= kChangeOther;
  if (!same_findings(a.findings, b.findings)) bits |= kChangeFindings;
  if (bits == 0) return 0;
  change.old_mdc = code_key(o.mdc);
  change.new_mdc = code_key(n.mdc);
  change.old_adrg = code_key(o.adrg);
  change.new_adrg = code_key(n.adrg);
  change.old_drg = code_key(o.drg);
  change.new_drg = code_key(n.drg);
  change.old_pccl = static_cast<int8_t>(o.pccl);
  change.new_pccl = static_cast<int8_t>(n.pccl);
  change.bits = static_cast<uint16_t>(bits | (o.grouped ? kOldGrouped : 0) | (n.grouped ? kNewGrouped : 0));
  change.old_weight = old_weight;
  change.new_weight = new_weight;
  return change.bits;
}

// The table sets of one side: one, or the versions of a registry.
struct Side {
  const episode_grouper::TableRegistry* registry = nullptr;
  std::vector<const PreparedSet*> sets;

  // The version of the record `line` (readable to kRecordWidth), or
  // kNoVersion, `date` being the record date as the grouping reads it.
  int choose(const char* line, int32_t& date) const {
    if (!registry) return 0;
    date = digit_word::parse_eight(line + kRecDateOffset);
    return registry->version_of_date(date);
  }
};

// The grouping of one side on one pipeline thread: an Engine per table set,
// and the result of a record no version holds.
struct SideState {
  explicit SideState(const Side& side) : side(&side) {
    for (const PreparedSet* set : side.sets) engines.push_back(std::make_unique<Engine>(*set));
    ungrouped.findings.add({.code = episode_grouper::FindingCode::kNoTableVersion,
                            .field = episode_grouper::RecordField::kRecDate});
  }
  // Groups line[0, len) and returns its result; `store` receives the
  // tables it was grouped with (null for no version).
  const Result& group(char* line, size_t len, const TableStore*& store) {
    int32_t date = 0;
    const int v = side->choose(line, date);
    if (v < 0) {
      ungrouped.values = {};
      ungrouped.values.rec_date = date;
      ungrouped.findings.items[0].set_date(date);
      store = &side->sets.front()->store();  // no group indexes to read in it
      grouped = false;
      return ungrouped;
    }
    Engine& e = *engines[static_cast<size_t>(v)];
    e.group(line, len);
    store = &side->sets[static_cast<size_t>(v)]->store();
    grouped = true;
    return e.result();
  }
  const Side* side;
  std::vector<std::unique_ptr<Engine>> engines;
  Result ungrouped;
  bool grouped = true;  // whether the last record had a version
};

// The grouping state of one pipeline thread: each side's Engines, the
// record's own bytes for the second side (the first upper-cases the record
// where it lies), and room for a row.
struct Worker {
  Worker(const Side& old_side, const Side& new_side, const CompareOptions& options)
      : old_grouper(old_side), new_grouper(new_side) {
    weighing.old_side = options.old_weights;
    weighing.new_side = options.new_weights;
  }
  SideState old_grouper;
  SideState new_grouper;
  Weighing weighing;
  std::array<char, kLineBufferSize> scratch;
  std::array<char, kLineBufferSize> copy;
  std::array<char, kMaxResultRowBytes> row;
};

// One block of records with the changes of those that differ and, when
// wanted, their rows side by side, laid out back to back.
class CompareBlock : public PipelineBlock {
 public:
  explicit CompareBlock(bool with_rows)
      : changes_(kPipelineRecords), rows_(with_rows ? new char[kPipelineRecords * kMaxDiffRowBytes] : nullptr) {}

  void group(Worker& w) {
    changed_ = 0;
    rows_len_ = 0;
    totals_ = {};
    for (size_t i = 0; i < count(); ++i) {
      const size_t len = input.record(i).size();
      std::memcpy(w.copy.data(), input.record_data(i), len);
      if (len < kRecordWidth) std::memset(w.copy.data() + len, ' ', kRecordWidth - len);
      const TableStore* old_store = nullptr;
      const TableStore* new_store = nullptr;
      const Result& a = w.old_grouper.group(groupable_record(input, i, w.scratch.data()), len, old_store);
      const Result& b = w.new_grouper.group(w.copy.data(), len, new_store);
      RecordChange& change = changes_[changed_];
      if (differences(*old_store, a, *new_store, b, w.weighing, totals_, change) == 0) continue;
      ++changed_;
      if (rows_ && (change.bits & (kResultChanges | kChangeFindings))) {
        write_row(first_number + static_cast<int64_t>(i), w, *old_store, a, *new_store, b);
      }
    }
  }

  const WeightTotals& totals() const { return totals_; }

  const RecordChange* changes_begin() const { return changes_.data(); }
  const RecordChange* changes_end() const { return changes_.data() + changed_; }
  std::string_view rows() const { return {rows_.get(), rows_len_}; }

 private:
  // One side's row into `out`, as the program writes it for that side.
  static size_t side_row(int64_t number, const SideState& side, const TableStore& store, const Result& r,
                         const episode_grouper::EpisodeWeight* weight, char* out) {
    if (!side.grouped) return format_ungrouped_row(number, nullptr, r.findings, weight != nullptr, out);
    return format_result_row(number, store, r, r.findings, out, weight);
  }

  // "number <tab> the old row's columns <tab> the new row's columns".
  void write_row(int64_t number, Worker& w, const TableStore& old_store, const Result& a,
                 const TableStore& new_store, const Result& b) {
    char* out = rows_.get() + rows_len_;
    const bool weighed = w.weighing.old_side != nullptr;
    size_t n = side_row(number, w.old_grouper, old_store, a, weighed ? &w.weighing.old_weight : nullptr, out);
    out[n - 1] = '\t';
    const size_t m =
        side_row(number, w.new_grouper, new_store, b, weighed ? &w.weighing.new_weight : nullptr, w.row.data());
    const char* tab = static_cast<const char*>(std::memchr(w.row.data(), '\t', m));
    const size_t skip = static_cast<size_t>(tab - w.row.data()) + 1;
    std::memcpy(out + n, w.row.data() + skip, m - skip);
    rows_len_ += n + m - skip;
  }

  std::vector<RecordChange> changes_;
  size_t changed_ = 0;
  WeightTotals totals_;
  // Room for the most records a block holds; only what is written is ever
  // touched, so the room costs address space, not memory.
  std::unique_ptr<char[]> rows_;
  size_t rows_len_ = 0;
};

BatchOutcome compare_sides(const Side& old_side, const Side& new_side, std::FILE* in, CompareSummary& summary,
                           const CompareOptions& options) {
  OutputFile* diff = options.diff;
  if (diff) diff->write(compare_header(options.old_weights != nullptr));

  LineReader reader(in, kPipelineBlockBytes);
  BatchOutcome outcome;
  uint64_t bytes = 0;
  run_block_pipeline<CompareBlock>(
      reader, options.threads, 1, [&] { return std::make_unique<CompareBlock>(diff != nullptr); },
      [&] { return Worker(old_side, new_side, options); }, [] { return true; },
      [&](CompareBlock& block, Worker& w) { block.group(w); },
      // In input order: the rows, and the counts of the block.
      [&](CompareBlock& block) {
        if (diff && !diff->write(block.rows())) {
          outcome.end = BatchEnd::kWriteError;
          return false;
        }
        summary.add_records(static_cast<int64_t>(block.count()));
        summary.add_weights(block.totals());
        for (const RecordChange* c = block.changes_begin(); c != block.changes_end(); ++c) summary.add(*c);
        outcome.records += static_cast<int64_t>(block.count());
        bytes += block.input.bytes();
        if (options.after_block) options.after_block(outcome.records, bytes);
        return true;
      });
  if (outcome.end != BatchEnd::kDone) return outcome;
  if (reader.failed()) outcome.end = BatchEnd::kReadError;
  else if (diff && diff->failed()) outcome.end = BatchEnd::kWriteError;
  return outcome;
}

Side side_of(const episode_grouper::TableRegistry& registry) {
  Side side;
  side.registry = &registry;
  for (const episode_grouper::TableVersion& v : registry.versions()) side.sets.push_back(&prepared(*v.tables));
  return side;
}

}  // namespace

std::string compare_header(bool with_weights) {
  std::string_view columns = with_weights ? result_table_header_with_weights() : result_table_header();
  columns.remove_suffix(1);                             // the line feed
  columns.remove_prefix(columns.find('\t') + 1);       // "record"
  std::string old_side, new_side;
  for (size_t start = 0; start <= columns.size();) {
    size_t end = columns.find('\t', start);
    if (end == std::string_view::npos) end = columns.size();
    const std::string_view name = columns.substr(start, end - start);
    old_side += "\told_" + std::string(name);
    new_side += "\tnew_" + std::string(name);
    start = end + 1;
  }
  return "record" + old_side + new_side + "\n";
}

BatchOutcome compare_batch(const PreparedSet& old_set, const PreparedSet& new_set, std::FILE* in,
                           CompareSummary& summary, const CompareOptions& options) {
  Side old_side, new_side;
  old_side.sets.push_back(&old_set);
  new_side.sets.push_back(&new_set);
  return compare_sides(old_side, new_side, in, summary, options);
}

BatchOutcome compare_batch(const episode_grouper::TableRegistry& old_side,
                           const episode_grouper::TableRegistry& new_side, std::FILE* in, CompareSummary& summary,
                           const CompareOptions& options) {
  return compare_sides(side_of(old_side), side_of(new_side), in, summary, options);
}

}  // namespace grouper
