// grouper report and --report: the rows are counted here (ResultCounts: as
// a run writes them, or from an existing result file) and the page is drawn
// from those counts by the Python package (its charts are matplotlib's),
// which is started first and gets them through a pipe when they are ready.
#include "app/report_command.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <system_error>
#include <thread>
#include <vector>

#include "app/command_line.h"
#include "app/commands.h"
#include "app/python_module.h"
#include "batch/result_counts.h"

namespace grouper {
namespace {

namespace fs = std::filesystem;

constexpr const char* kModule = "episode_grouper.report";

constexpr const char* kDescription =
    "the casemix report of a result file (HTML)\n"
    "\n"
    "Writes one self-contained HTML page (no network, no script) about the records\n"
    "of RESULTS, a detailed result file of a run (--results), TSV or JSON Lines:\n"
    "the share grouped and why records have no ADRG, episodes per MDC, the 25 most\n"
    "frequent ADRGs and DRGs, the PCCLs overall and per MDC, the supplementary\n"
    "groups, the ages and the findings with the most frequent unknown codes; each\n"
    "chart has its numbers in a table beside it.  RESULTS is read once, in blocks,\n"
    "and counted per distinct value; the page is drawn from those counts.";

constexpr const char* kFooter =
    "Exit status: 0 when the page was written, 1 when RESULTS could not be read or\n"
    "is not a result file, or the page could not be written, 2 on bad usage.";

struct ReportOptions {
  std::string results, output;
};

// A name beside `report` that no file has yet, e.g. "page.html.results-PID.tsv".
fs::path name_beside(const fs::path& report, const std::string& what, const std::string& extension) {
  const std::string stem = report.string() + "." + what + "-" + std::to_string(getpid());
  fs::path candidate = stem + extension;
  std::error_code ec;
  for (int n = 1; fs::exists(candidate, ec) || ec; ++n) candidate = stem + "-" + std::to_string(n) + extension;
  return candidate;
}

// The page builder, started before the rows are counted so that starting
// Python and importing its libraries overlap the counting; it waits for the
// counts on its standard input.
class PageBuilder {
 public:
  // Starts the builder of the page `output` about the result file `results`.
  PageBuilder(const std::string& results, const std::string& output) {
    // "--" keeps a RESULTS that starts with '-' a file name.
    child_.start(kModule, {"-o", output, "--counts", "-", "--", results});
  }

  // Hands over `counts` (null: the builder counts the result file itself,
  // and says what is wrong with it) and waits for the page; returns the
  // builder's status.
  int finish(ResultCounts* counts) {
    if (child_.started()) {
      // A builder that ended early (it could not start, say) reads nothing:
      // what it said and its status tell why.
      std::FILE* f = fdopen(dup(child_.input()), "wb");
      if (f) {
        if (counts) counts->write_json(f);
        else std::fputs("null\n", f);
        std::fclose(f);
      }
    }
    return child_.finish();
  }

 private:
  PythonChild child_;  // ended and reaped when dropped unfinished
};

// Counts the rows of the open file `f`, from where it stands, up to `limit`
// bytes (the end of the file when fewer), reading in large blocks; a last
// row without its line feed counts too.  False on a read error or a row
// that cannot be counted here.
bool count_rows(std::FILE* f, uint64_t limit, ResultCounts& counts) {
  constexpr size_t kBlock = size_t{4} << 20;
  std::vector<char> buffer(kBlock);
  size_t held = 0;  // bytes of an unfinished row at the buffer's start
  bool ok = true, end = false;
  while (ok && !end) {
    if (held == buffer.size()) buffer.resize(buffer.size() * 2);  // a row longer than a block
    const size_t room = static_cast<size_t>(std::min<uint64_t>(buffer.size() - held, limit));
    const size_t got = room == 0 ? 0 : std::fread(buffer.data() + held, 1, room, f);
    limit -= got;
    if (got == 0) {
      if (std::ferror(f)) ok = false;
      end = true;
    }
    const char* data = buffer.data();
    const size_t size = held + got;
    size_t start = 0;
    while (ok) {
      const void* lf = std::memchr(data + start, '\n', size - start);
      if (!lf) break;
      const size_t at = static_cast<size_t>(static_cast<const char*>(lf) - data);
      ok = counts.add(std::string_view(data + start, at - start));
      start = at + 1;
    }
    held = size - start;
    if (held > 0) std::memmove(buffer.data(), data + start, held);
    if (end && ok && held > 0) ok = counts.add(std::string_view(buffer.data(), held));
  }
  return ok;
}

// Where the parts of a file of `size` bytes whose rows start at `first`
// begin: `parts` of about equal size, each after a line feed.  Part i is
// [starts[i], starts[i + 1]), the last one ends at `size`.
std::vector<uint64_t> part_starts(int fd, uint64_t first, uint64_t size, size_t parts) {
  std::vector<uint64_t> starts = {first};
  char buffer[4096];
  for (size_t i = 1; i < parts; ++i) {
    uint64_t at = std::max(starts.back(), first + (size - first) * i / parts);
    bool found = false;
    while (!found && at < size) {
      const ssize_t got = pread(fd, buffer, sizeof buffer, static_cast<off_t>(at));
      if (got <= 0) break;
      const void* lf = std::memchr(buffer, '\n', static_cast<size_t>(got));
      if (lf) {
        at += static_cast<uint64_t>(static_cast<const char*>(lf) - buffer) + 1;
        found = true;
      } else {
        at += static_cast<uint64_t>(got);
      }
    }
    if (!found || at >= size) break;  // the rest is one row
    starts.push_back(at);
  }
  return starts;
}

// Counts the result file `path` into `counts`: TSV with its header row, or
// JSON Lines when it starts with '{'.  A large regular file is cut at line
// feeds into a part per core, each counted on its own thread and read once
// in large blocks; the parts' counts are merged into those of the first.
// False when it cannot be opened or read, or a row cannot be counted here:
// the page builder then reads the file itself and says what is wrong.
bool count_result_file(const std::string& path, ResultCounts& counts) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  const std::unique_ptr<std::FILE, int (*)(std::FILE*)> closer(f, std::fclose);
  // The first row sets the counts up; an empty file is no result file.
  char* first = nullptr;
  size_t room = 0;
  const ssize_t got = getline(&first, &room, f);
  std::string head = got > 0 ? std::string(first, static_cast<size_t>(got)) : std::string();
  std::free(first);
  if (got <= 0) return false;
  if (head.back() == '\n') head.pop_back();
  if (!head.empty() && head[0] == '{') {
    counts.start_jsonl();
    if (!counts.add(head)) return false;
  } else if (!counts.start_tsv(head)) {
    return false;
  }

  constexpr uint64_t kPartBytes = uint64_t{32} << 20;  // smaller files are not worth a thread
  constexpr uint64_t kWhole = UINT64_MAX;
  struct stat st {};
  const uint64_t rows_at = static_cast<uint64_t>(got);
  size_t parts = 1;
  if (fstat(fileno(f), &st) == 0 && S_ISREG(st.st_mode) && static_cast<uint64_t>(st.st_size) > rows_at) {
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    parts = static_cast<size_t>(std::min<uint64_t>(std::max(1u, std::thread::hardware_concurrency()),
                                                   (size - rows_at) / kPartBytes + 1));
  }
  if (parts <= 1) return count_rows(f, kWhole, counts);

  const uint64_t size = static_cast<uint64_t>(st.st_size);
  const std::vector<uint64_t> starts = part_starts(fileno(f), rows_at, size, parts);
  std::vector<ResultCounts> others;
  for (size_t i = 1; i < starts.size(); ++i) others.push_back(counts.empty_like());
  std::vector<char> done(starts.size(), 0);  // per part: counted
  std::vector<std::thread> threads;
  for (size_t i = 1; i < starts.size(); ++i) {
    threads.emplace_back([&, i] {
      std::FILE* part = std::fopen(path.c_str(), "rb");
      if (!part) return;
      const uint64_t end = i + 1 < starts.size() ? starts[i + 1] : size;
      done[i] = fseeko(part, static_cast<off_t>(starts[i]), SEEK_SET) == 0 &&
                count_rows(part, end - starts[i], others[i - 1]);
      std::fclose(part);
    });
  }
  // The first part here, on this thread: the file stands where it begins.
  done[0] = count_rows(f, (starts.size() > 1 ? starts[1] : size) - rows_at, counts);
  for (std::thread& t : threads) t.join();
  bool ok = true;
  for (size_t i = 0; i < starts.size(); ++i) ok = ok && done[i];
  for (const ResultCounts& other : others) ok = ok && counts.merge(other);
  return ok;
}

int report_file(const std::string& results, const std::string& output) {
  if (results == "-") return run_python_module(kModule, {"-o", output, "--", results});  // read there
  // A builder that ended early makes handing it the counts a failed write,
  // not a signal that ends this process.
  std::signal(SIGPIPE, SIG_IGN);
  PageBuilder page(results, output);
  ResultCounts counts;
  const bool counted = count_result_file(results, counts);
  return page.finish(counted ? &counts : nullptr);
}

}  // namespace

void add_report_command(CLI::App& app, int& status) {
  auto opt = std::make_shared<ReportOptions>();
  CLI::App* sub = app.add_subcommand("report", kDescription);
  sub->footer(kFooter);
  sub->add_option("RESULTS", opt->results, "the detailed result file, TSV or JSON Lines ('-': standard input)")
      ->type_name("")
      ->required()
      ->check(cli::non_empty());
  sub->add_option("-o,--output", opt->output,
                  "the page to write; it is written beside FILE and moved into place when complete")
      ->type_name("FILE")
      ->required()
      ->check(cli::non_empty());
  sub->callback([opt, &status] { status = report_file(opt->results, opt->output); });
}

CLI::Option* add_report_option(CLI::App& app, std::string& report) {
  static const CLI::Validator not_a_stream(
      [](const std::string& value) { return value == "-" ? std::string("takes a file, not '-'") : std::string(); },
      "", "file");
  return app
      .add_option("--report", report,
                  "also write the casemix report of the run as the HTML page FILE (see 'grouper report --help'); "
                  "the run counts its detailed result rows as it makes them, and without --results writes them "
                  "nowhere")
      ->type_name("FILE")
      ->check(cli::non_empty())
      ->check(not_a_stream);
}

int run_batch_with_report(RunPaths paths, const fs::path& report) {
  // The run counts its rows as it writes them.  Without a results file it
  // lays them out in TSV only to count them, and the page names them as a
  // file beside the report would be named.
  ResultCounts counts;
  paths.counts = &counts;
  const bool temporary = paths.results.empty();
  if (temporary) paths.results_format = RowFormat::kTsv;
  const std::string source = temporary ? name_beside(report, "results", ".tsv").string() : paths.results.string();
  PageBuilder page(source, report.string());
  const int status = run_batch(paths);
  return status == kExitOk ? page.finish(&counts) : status;
}

}  // namespace grouper
