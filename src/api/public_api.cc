// The public C++ API over the engine: TableSet::open and Grouper.
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "api/public_result.h"
#include "engine/grouper.h"
#include "engine/prepared/table_set.h"
#include "episode_grouper/grouper.h"
#include "episode_grouper/line_splitter.h"
#include "episode_grouper/table_set.h"
#include "output/result_json.h"
#include "output/result_line.h"
#include "output/result_table.h"

namespace grouper {

size_t place_record(std::string_view record, char* line) {
  const size_t len = std::min(record.size(), kMaxLineBytes);
  // An empty record may come without data: memcpy must not see its null.
  if (len > 0) std::memcpy(line, record.data(), len);
  // What the record does not hold reads as blanks, never as an earlier record.
  if (len < kRecordWidth) std::memset(line + len, ' ', kRecordWidth - len);
  return len;
}

namespace {

template <size_t N>
void copy_code(std::array<char, N>& to, std::string_view text) {
  to.fill('\0');
  // "No group" is an empty view without data: memcpy must not see its null.
  if (!text.empty()) std::memcpy(to.data(), text.data(), std::min(N, text.size()));
}

}  // namespace

void fill_result(const Grouper& engine, const TableStore& t, episode_grouper::Result& out) {
  const RecordResult& r = engine.result();
  out.values = engine.values();
  out.code_ids = engine.code_ids();
  out.dx_swapped = engine.dx_swapped();
  out.res_mdc = r.res_mdc;
  out.res_adrg = r.res_adrg;
  out.res_drg = r.res_drg;
  out.res_split = r.res_split;
  copy_code(out.mdc_code, list_code(t.mdc_code, r.res_mdc));
  copy_code(out.adrg_code, list_code(t.adrg_code, r.res_adrg));
  copy_code(out.drg_list_code, list_code(t.drg_code, r.res_drg));
  out.pos_ccl = r.pos_ccl;
  out.res_pccl = r.res_pccl;
  out.res_drg_code = r.res_drg_code;
  out.res_ccl_raw = r.res_ccl_raw;
  out.res_ccl_excl = r.res_ccl_excl;
  out.res_ltcdrg = r.res_ltcdrg;
  copy_code(out.res_ltcdrg_code, supplementary_text(r));
  const episode_grouper::Findings& findings = engine.findings();
  out.findings.count = findings.count;
  out.findings.dropped = findings.dropped;
  std::copy_n(findings.items.begin(), findings.count, out.findings.items.begin());
}

}  // namespace grouper

namespace episode_grouper {

const char* kind_name(OpenErrorKind kind) {
  switch (kind) {
    case OpenErrorKind::kNone: return "none";
    case OpenErrorKind::kNoDirectory: return "no_directory";
    case OpenErrorKind::kFileFailed: return "file_failed";
    case OpenErrorKind::kCountMismatch: return "count_mismatch";
    case OpenErrorKind::kLogicSetting: return "logic_setting";
    case OpenErrorKind::kOutOfMemory: return "out_of_memory";
  }
  return "unknown";
}

namespace {

OpenError fail(OpenErrorKind kind, const std::filesystem::path& dir, std::string file, std::string reason,
               std::string loader_message = {}) {
  OpenError e;
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

TableSet::TableSet(std::filesystem::path dir, std::unique_ptr<const grouper::TableSet> impl)
    : dir_(std::move(dir)), impl_(std::move(impl)) {}

TableSet::~TableSet() = default;

std::shared_ptr<const TableSet> TableSet::open(const std::filesystem::path& dir, OpenError& error) {
  error = OpenError{};
  struct stat st {};
  if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    error = fail(OpenErrorKind::kNoDirectory, dir, "", "is not a directory");
    return nullptr;
  }
  std::unique_ptr<const grouper::TableSet> impl;
  std::string messages;
  grouper::LoadFailure failure;
  int rc;
  try {
    rc = grouper::open_table_set(dir, impl, messages, &failure);
  } catch (const std::bad_alloc&) {
    error = fail(OpenErrorKind::kOutOfMemory, dir, "", "does not fit in memory");
    return nullptr;
  }
  if (rc == grouper::kLoadCountMismatch) {
    error = fail(OpenErrorKind::kCountMismatch, dir, failure.file, failure.reason, messages);
    return nullptr;
  }
  if (rc != grouper::kLoadOk) {
    error = fail(OpenErrorKind::kFileFailed, dir, failure.file, failure.reason, messages);
    return nullptr;
  }
  if (!impl->logic_setting_ok()) {
    error = fail(OpenErrorKind::kLogicSetting, dir, "Tcond.idx",
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
      engine_(std::make_unique<grouper::Grouper>(tables_->engine())),
      line_(new char[grouper::kLineBufferSize]) {
  std::memset(line_.get(), ' ', grouper::kLineBufferSize);
}

Grouper::~Grouper() = default;

const Result& Grouper::group(std::string_view record) {
  len_ = grouper::place_record(record, line_.get());
  // A set whose catalogue disagrees with the logic conditions is never
  // opened, so the grouping cannot refuse the record here.
  engine_->group(line_.get(), len_);
  grouper::fill_result(*engine_, tables_->engine().store(), result_);
  return result_;
}

size_t Grouper::write_result_line(char* out) const {
  const grouper::RecordResult& r = engine_->result();
  return grouper::format_result_line(line_.get(), len_, grouper::adrg_text(tables_->engine().store(), r.res_adrg),
                                     grouper::supplementary_text(r), out);
}

size_t Grouper::write_result_row(int64_t record, char* out) const {
  return grouper::format_result_row(record, tables_->engine().store(), engine_->values(), engine_->result(),
                                    engine_->findings(), out);
}

size_t Grouper::write_json_row(int64_t record, char* out) const {
  return grouper::format_json_row(record, tables_->engine().store(), engine_->values(), engine_->result(),
                                  engine_->findings(), out);
}

size_t Grouper::write_result_row(int64_t record, const EpisodeWeight& weight, char* out) const {
  return episode_grouper::write_result_row(*tables_, result_, weight, record, out);
}

size_t Grouper::write_json_row(int64_t record, const EpisodeWeight& weight, char* out) const {
  return episode_grouper::write_json_row(*tables_, result_, weight, record, out);
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

namespace {

// The engine's form of a public result, for the writers.
grouper::RecordResult engine_form(const Result& r) {
  grouper::RecordResult e;
  e.res_mdc = r.res_mdc;
  e.res_adrg = r.res_adrg;
  e.res_split = r.res_split;
  e.res_drg = r.res_drg;
  e.pos_ccl = r.pos_ccl;
  e.res_pccl = r.res_pccl;
  e.res_drg_code = r.res_drg_code;
  e.res_ccl_raw = r.res_ccl_raw;
  e.res_ccl_excl = r.res_ccl_excl;
  e.res_ltcdrg = r.res_ltcdrg;
  e.res_ltcdrg_code.fill('\0');
  std::memcpy(e.res_ltcdrg_code.data(), r.res_ltcdrg_code.data(), r.res_ltcdrg_code.size());
  return e;
}

}  // namespace

size_t write_result_row(const TableSet& tables, const Result& result, int64_t record, char* out) {
  return grouper::format_result_row(record, tables.engine().store(), result.values, engine_form(result),
                                    result.findings, out);
}

size_t write_json_row(const TableSet& tables, const Result& result, int64_t record, char* out) {
  return grouper::format_json_row(record, tables.engine().store(), result.values, engine_form(result),
                                  result.findings, out);
}

size_t write_result_row(const TableSet& tables, const Result& result, const EpisodeWeight& weight, int64_t record,
                        char* out) {
  Findings findings = result.findings;
  add_weight_finding(weight, findings);
  return grouper::format_result_row(record, tables.engine().store(), result.values, engine_form(result), findings,
                                    out, &weight);
}

size_t write_json_row(const TableSet& tables, const Result& result, const EpisodeWeight& weight, int64_t record,
                      char* out) {
  Findings findings = result.findings;
  add_weight_finding(weight, findings);
  return grouper::format_json_row(record, tables.engine().store(), result.values, engine_form(result), findings,
                                  out, &weight);
}

std::string_view Grouper::result_header() { return grouper::result_table_header(); }
std::string_view Grouper::result_header_with_weights() { return grouper::result_table_header_with_weights(); }

}  // namespace episode_grouper

static_assert(episode_grouper::kMaxResultLine == grouper::kMaxResultLineBytes);
static_assert(episode_grouper::kMaxResultRow == grouper::kMaxResultRowBytes);
static_assert(episode_grouper::kMaxJsonRow == grouper::kMaxJsonRowBytes);
static_assert(episode_grouper::kPositions == grouper::kPositionCount);
static_assert(episode_grouper::kMaxRecordBytes == grouper::kMaxLineBytes);
