#include "driver/run_loop.h"

#include <sys/stat.h>

#include <array>
#include <cinttypes>
#include <cstdio>
#include <string>

#include "driver/line_reader.h"
#include "driver/output_file.h"
#include "driver/record_layout.h"
#include "driver/result_line.h"
#include "driver/result_table.h"
#include "grouper/grouper.h"
#include "tables/table_loader.h"
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

  TableStore store;
  std::string messages;
  const int loaded = load_tables(paths.tables_dir, store, messages);
  say(messages.c_str());
  if (loaded != kLoadOk) {
    say(loaded == kLoadCountMismatch ? " file count error \n" : " file init error \n");
    release_tables(store);
    return kExitFailure;
  }
  normalize_rules(store);

  bool grouped_all = true;
  {
    Grouper grouper(store);
    LineReader reader(in);
    std::array<char, kLineBufferSize> line;
    line.fill(' ');
    std::array<char, kMaxResultLineBytes> result_line;
    std::array<char, kMaxResultRowBytes> row;
    if (want_results) results.write(result_table_header());

    int64_t record_count = 0;
    size_t len;
    while (!output.failed() && !results.failed() && (len = reader.next(line.data())) > 0) {
      ++record_count;
      if (grouper.group(line.data(), len) != 0) {
        say("logic setting missing or error\n");
        grouped_all = false;
        break;
      }
      const RecordResult& res = grouper.result();
      size_t n = format_result_line(line.data(), len, adrg_text(store, res.res_adrg), supplementary_text(res),
                                    result_line.data());
      output.write({result_line.data(), n});
      if (want_results) {
        n = format_result_row(record_count, store, grouper.values(), res, row.data());
        results.write({row.data(), n});
      }
      if (record_count % kProgressEvery == 0) std::printf("record_count = [%" PRId64 "]\n", record_count);
    }
    if (reader.failed()) {
      say("file in read error\n");
      grouped_all = false;
    }
  }

  release_tables(store);
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
