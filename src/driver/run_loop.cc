#include "driver/run_loop.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "driver/line_reader.h"
#include "driver/output_file.h"
#include "grouper/record_layout.h"
#include "grouper/result_line.h"
#include "grouper/result_table.h"
#include "driver/worker_pool.h"
#include "grouper/grouper.h"
#include "grouper/table_set.h"
#include "tables/table_store.h"

namespace grouper {
namespace {

constexpr int64_t kProgressEvery = 10000;

// "==========그룹퍼 작업 end ===========" in code page 949, no line feed.
constexpr char kEndMessage[] =
    "=========="
    "\xB1\xD7\xB7\xEC\xC6\xDB"
    " "
    "\xC0\xDB\xBE\xF7"
    " end "
    "===========";
static_assert(sizeof kEndMessage - 1 == 37);

void say(const char* message) { std::fputs(message, stdout); }

// True when both paths name one existing file: opening the second for
// writing would truncate the first.
bool same_file(const std::filesystem::path& a, const std::filesystem::path& b) {
  struct stat sa {};
  struct stat sb {};
  return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

void say_results_error(const char* what, const std::filesystem::path& path) {
  std::fprintf(stderr, "grouper: cannot %s result file %s\n", what, path.c_str());
}

// Records read ahead in one block, grouped by the worker team, then written
// in input order.  Its buffers are sized once and reused for every batch.
class RecordBatch {
 public:
  static constexpr size_t kRecords = 4096;

  explicit RecordBatch(bool with_rows)
      : lines_(kRecords * kMaxResultLineBytes), line_len_(kRecords), failed_(kRecords) {
    bytes_.reserve(kRecords * kRecordWidth);
    start_.reserve(kRecords + 1);
    if (with_rows) {
      rows_.resize(kRecords * kMaxResultRowBytes);
      row_len_.resize(kRecords);
    }
  }

  void clear(int64_t records_before) {
    records_before_ = records_before;
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
  int64_t record_number(size_t i) const { return records_before_ + static_cast<int64_t>(i) + 1; }

  bool failed(size_t i) const { return failed_[i] != 0; }
  std::string_view result_line(size_t i) const { return {&lines_[i * kMaxResultLineBytes], line_len_[i]}; }
  std::string_view result_row(size_t i) const { return {&rows_[i * kMaxResultRowBytes], row_len_[i]}; }
  bool with_rows() const { return !rows_.empty(); }

  // Written by the one worker that groups record i.
  void set_failed(size_t i, bool failed) { failed_[i] = failed; }
  char* line_slot(size_t i) { return &lines_[i * kMaxResultLineBytes]; }
  void set_line_len(size_t i, size_t n) { line_len_[i] = n; }
  char* row_slot(size_t i) { return &rows_[i * kMaxResultRowBytes]; }
  void set_row_len(size_t i, size_t n) { row_len_[i] = n; }

 private:
  int64_t records_before_ = 0;
  std::vector<char> bytes_;   // the records back to back
  std::vector<size_t> start_;  // record i is bytes_[start_[i], start_[i + 1])
  std::vector<char> lines_;    // one result line slot per record
  std::vector<size_t> line_len_;
  std::vector<char> rows_;     // one result row slot per record (with --results)
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
      if (batch.with_rows()) {
        batch.set_row_len(i, format_result_row(batch.record_number(i), store, grouper_.values(), res,
                                               batch.row_slot(i)));
      }
    }
  }

 private:
  Grouper grouper_;
  std::array<char, kLineBufferSize> line_;
};

}  // namespace

int run_batch(const RunPaths& paths) {
  std::FILE* in = std::fopen(paths.input.c_str(), "rb+");
  if (!in) {
    say("file in open error\n");
    return kExitFailure;
  }
  // The input file is left to the end of the process on the failure paths.
  if (same_file(paths.input, paths.output)) {
    say("file out open error\n");
    return kExitFailure;
  }
  OutputFile output(std::fopen(paths.output.c_str(), "wb+"));
  if (!output.is_open()) {
    say("file out open error\n");
    return kExitFailure;
  }
  const bool want_results = !paths.results.empty();
  std::FILE* results_file = nullptr;
  if (want_results) {
    if (!same_file(paths.results, paths.input) && !same_file(paths.results, paths.output)) {
      results_file = std::fopen(paths.results.c_str(), "wb");
    }
    if (!results_file) {
      say_results_error("open", paths.results);
      return kExitFailure;
    }
  }
  OutputFile results(results_file);

  std::unique_ptr<const TableSet> set;
  std::string messages;
  const int loaded = open_table_set(paths.tables_dir, set, messages);
  say(messages.c_str());
  if (loaded != kLoadOk) {
    say(loaded == kLoadCountMismatch ? " file count error \n" : " file init error \n");
    return kExitFailure;
  }
  const TableStore& store = set->store();

  bool grouped_all = true;
  {
    RecordBatch batch(want_results);
    std::vector<Worker> workers;
    const int team = std::max(1, paths.threads);
    workers.reserve(static_cast<size_t>(team));
    for (int i = 0; i < team; ++i) workers.emplace_back(*set);
    WorkerPool pool(team, [&](int member) {
      workers[static_cast<size_t>(member)].group(batch, store, member, team);
    });

    LineReader reader(in);
    std::array<char, kLineBufferSize> line;
    if (want_results) results.write(result_table_header());

    int64_t record_count = 0;
    bool stopped = false;
    while (!stopped && !output.failed() && !results.failed()) {
      batch.clear(record_count);
      size_t len;
      while (!batch.full() && (len = reader.next(line.data())) > 0) batch.add({line.data(), len});
      if (batch.count() == 0) break;
      pool.run();
      for (size_t i = 0; i < batch.count(); ++i) {
        if (output.failed() || results.failed()) {
          stopped = true;
          break;
        }
        ++record_count;
        if (batch.failed(i)) {
          say("logic setting missing or error\n");
          grouped_all = false;
          stopped = true;
          break;
        }
        output.write(batch.result_line(i));
        if (want_results) results.write(batch.result_row(i));
        if (record_count % kProgressEvery == 0) std::printf("record_count = [%" PRId64 "]\n", record_count);
      }
    }
    if (reader.failed()) {
      say("file in read error\n");
      grouped_all = false;
    }
  }

  set.reset();  // the tables are released before the files are closed
  std::fclose(in);
  bool ok = grouped_all;
  if (!output.close()) {
    say("file out write error\n");
    ok = false;
  }
  if (want_results && !results.close()) {
    say_results_error("write", paths.results);
    ok = false;
  }
  if (!ok) return kExitFailure;
  std::fwrite(kEndMessage, 1, sizeof kEndMessage - 1, stdout);
  return kExitOk;
}

}  // namespace grouper
