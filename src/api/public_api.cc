// The public C++ API over the engine: TableSet::open and Grouper.
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "engine/engine.h"
#include "engine/prepared/prepared_set.h"
#include "episode_grouper/grouper.h"
#include "episode_grouper/line_splitter.h"
#include "episode_grouper/table_set.h"
#include "episode_grouper/version.h"
#include "impact/impact_probe.h"
#include "output/result_json.h"
#include "output/result_line.h"
#include "output/result_table.h"
#include "record/line_buffer.h"

namespace episode_grouper {

// EPISODE_GROUPER_VERSION comes from the build: the project's version.
const char* version() noexcept { return EPISODE_GROUPER_VERSION; }

namespace {

Status fail(StatusKind kind, const std::filesystem::path& dir, std::string file, std::string reason,
            std::string loader_message = {}) {
  Status e;
  e.kind = kind;
  e.file = std::move(file);
  e.loader_message = std::move(loader_message);
  e.message = "table set " + dir.string() + ": ";
  if (!e.file.empty()) e.message += e.file + " ";
  e.message += reason;
  // The loader's messages end in a blank; the line shows them without it.
  std::string said = e.loader_message;
  while (!said.empty() && (said.back() == ' ' || said.back() == '\n')) said.pop_back();
  if (!said.empty()) e.message += " (" + said + ")";
  return e;
}

}  // namespace

TableSet::TableSet(std::filesystem::path dir, std::unique_ptr<const grouper::PreparedSet> impl)
    : dir_(std::move(dir)), impl_(std::move(impl)) {}

TableSet::~TableSet() = default;

}  // namespace episode_grouper

namespace grouper {

const PreparedSet& prepared(const episode_grouper::TableSet& tables) { return *tables.impl_; }

}  // namespace grouper

namespace episode_grouper {

std::shared_ptr<const TableSet> TableSet::open(const std::filesystem::path& dir, Status& error,
                                               const OpenOptions& options) {
  error = Status{};
  struct stat st {};
  const std::filesystem::path place = dir.empty() ? "." : dir;
  if (::stat(place.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    error = fail(StatusKind::kNoDirectory, place, "", "is not a directory");
    return nullptr;
  }
  std::unique_ptr<const grouper::PreparedSet> impl;
  std::string messages;
  Status failure;
  int rc;
  try {
    rc = grouper::open_table_set(dir, impl, messages, &failure,
                                 options.read_and_update ? grouper::FileAccess::kReadUpdate : grouper::FileAccess::kRead);
  } catch (const std::bad_alloc&) {
    error = fail(StatusKind::kOutOfMemory, place, "", "does not fit in memory");
    return nullptr;
  }
  if (rc != grouper::kLoadOk) {
    error = fail(failure.kind, place, failure.file, failure.message, messages);
    return nullptr;
  }
  if (!impl->logic_setting_ok() && !options.defer_logic_check) {
    error = fail(StatusKind::kLogicSetting, place, "Tcond.idx",
                 "disagrees with the built-in logic conditions (ids 782..823 must be typed 'l', "
                 "every other id 't')",
                 "logic setting missing or error\n");
    return nullptr;
  }
  return std::shared_ptr<const TableSet>(new TableSet(dir, std::move(impl)));
}

TableCounts TableSet::counts() const {
  const grouper::TableStore& t = impl_->store();
  TableCounts c;
  c.dx = t.dx_cnt;
  c.sg = t.sg_cnt;
  c.mdc = t.mdc_cnt;
  c.adrg = t.adrg_cnt;
  c.drg = t.drg_cnt;
  c.cond = t.cond_cnt;
  c.rules_before = t.tadrg.rule_cnt;
  c.rules_from = t.tadrg1.rule_cnt;
  return c;
}

Grouper::Grouper(std::shared_ptr<const TableSet> tables)
    : tables_(std::move(tables)),
      engine_(std::make_unique<grouper::Engine>(grouper::prepared(*tables_))),
      line_(new char[grouper::kLineBufferSize]) {
  std::memset(line_.get(), ' ', grouper::kLineBufferSize);
}

Grouper::~Grouper() = default;

const Result& Grouper::group(std::string_view record) {
  len_ = grouper::place_record(record, line_.get());
  // A set whose catalogue disagrees with the logic conditions is never
  // opened, so the grouping cannot refuse the record here.
  engine_->group(line_.get(), len_);
  return engine_->result();
}

const Result* Grouper::group(const Episode& episode, FieldErrors& errors) {
  char record[kEpisodeRecordBytes];
  if (!build_record(episode, record, errors)) return nullptr;
  return &group(std::string_view(record, sizeof record));
}

const Result& Grouper::result() const { return engine_->result(); }

const Impact& Grouper::impact(const WeightCatalogue* weights) {
  if (!probe_) {
    probe_ = std::make_unique<grouper::ImpactProbe>(grouper::prepared(*tables_));
    impact_ = std::make_unique<Impact>();
  }
  probe_->find(line_.get(), len_, engine_->result(), weights, *impact_);
  return *impact_;
}

size_t Grouper::write_result_line(char* out) const {
  const Result& r = engine_->result();
  return grouper::format_result_line(line_.get(), len_, grouper::adrg_text(grouper::prepared(*tables_).store(), r.res_adrg),
                                     grouper::supplementary_text(r), out);
}

size_t Grouper::write_result_row(int64_t record, char* out) const {
  return grouper::format_result_row(record, grouper::prepared(*tables_).store(), engine_->result(), engine_->findings(), out);
}

size_t Grouper::write_json_row(int64_t record, char* out) const {
  return grouper::format_json_row(record, grouper::prepared(*tables_).store(), engine_->result(), engine_->findings(), out);
}

size_t Grouper::write_result_row(int64_t record, const EpisodeWeight& weight, char* out) const {
  return episode_grouper::write_result_row(*tables_, result(), weight, record, out);
}

size_t Grouper::write_json_row(int64_t record, const EpisodeWeight& weight, char* out) const {
  return episode_grouper::write_json_row(*tables_, result(), weight, record, out);
}

std::string Grouper::result_line() const {
  char out[kMaxResultLine];
  return std::string(out, write_result_line(out));
}

std::string Grouper::result_row(int64_t record) const {
  char out[kMaxResultRow];
  return std::string(out, write_result_row(record, out));
}

std::string Grouper::json_row(int64_t record) const {
  std::string out(kMaxJsonRow, '\0');
  out.resize(write_json_row(record, out.data()));
  return out;
}

size_t write_result_row(const TableSet& tables, const Result& result, int64_t record, char* out) {
  return grouper::format_result_row(record, grouper::prepared(tables).store(), result, result.findings, out);
}

size_t write_json_row(const TableSet& tables, const Result& result, int64_t record, char* out) {
  return grouper::format_json_row(record, grouper::prepared(tables).store(), result, result.findings, out);
}

size_t write_result_row(const TableSet& tables, const Result& result, const EpisodeWeight& weight, int64_t record,
                        char* out) {
  Findings findings = result.findings;
  add_weight_finding(weight, findings);
  return grouper::format_result_row(record, grouper::prepared(tables).store(), result, findings, out, &weight);
}

size_t write_json_row(const TableSet& tables, const Result& result, const EpisodeWeight& weight, int64_t record,
                      char* out) {
  Findings findings = result.findings;
  add_weight_finding(weight, findings);
  return grouper::format_json_row(record, grouper::prepared(tables).store(), result, findings, out, &weight);
}

std::string_view Grouper::result_header() { return grouper::result_table_header(); }
std::string_view Grouper::result_header_with_weights() { return grouper::result_table_header_with_weights(); }

}  // namespace episode_grouper

static_assert(episode_grouper::kMaxResultLine == grouper::kMaxResultLineBytes);
static_assert(episode_grouper::kMaxResultRow == grouper::kMaxResultRowBytes);
static_assert(episode_grouper::kMaxJsonRow == grouper::kMaxJsonRowBytes);
static_assert(episode_grouper::kPositions == grouper::kPositionCount);
static_assert(episode_grouper::kMaxRecordBytes == grouper::kMaxLineBytes);
