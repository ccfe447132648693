// grouper report and --report: the rows are counted here (ResultCounts: as
// a run writes them, or from an existing result file) and the page is drawn
// from those counts by the Python package (its charts are matplotlib's),
// which gets them in a file beside the page.
#include "app/report_command.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <system_error>
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

// Writes the page `output` of the result file `results`: from `counts` when
// given (passed in a file beside the page, removed afterwards), else the
// page builder reads `results` itself.
int write_report(const std::string& results, const std::string& output, const ResultCounts* counts) {
  std::optional<fs::path> counts_file;
  if (counts) {
    const fs::path name = name_beside(output, "counts", ".json");
    std::FILE* f = std::fopen(name.c_str(), "wb");
    bool written = f != nullptr && counts->write_json(f);
    if (f) written = std::fclose(f) == 0 && written;
    if (written) {
      counts_file = name;
    } else {
      std::error_code ec;
      fs::remove(name, ec);
      // The page builder can still count the file itself; a run without a
      // results file has nothing else to give it.
      std::fprintf(stderr, "grouper: warning: cannot write the counts file %s\n", name.c_str());
    }
  }
  std::vector<std::string> args = {"-o", output};
  if (counts_file) {
    args.push_back("--counts");
    args.push_back(counts_file->string());
  }
  // "--" keeps a RESULTS that starts with '-' a file name.
  args.push_back("--");
  args.push_back(results);
  const int status = run_python_module(kModule, args);
  if (counts_file) {
    std::error_code ec;
    fs::remove(*counts_file, ec);
  }
  return status;
}

// Counts the result file `path` into `counts`, reading it once in large
// blocks: TSV with its header row, or JSON Lines when it starts with '{'.
// False when it cannot be opened or read, or a row cannot be counted here:
// the page builder then reads the file itself and says what is wrong.
bool count_result_file(const std::string& path, ResultCounts& counts) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  constexpr size_t kBlock = size_t{4} << 20;
  std::vector<char> buffer(kBlock);
  size_t held = 0;  // bytes of an unfinished line at the buffer's start
  bool first = true, ok = true, end = false;
  auto line = [&](std::string_view text) {
    if (first) {
      first = false;
      if (!text.empty() && text[0] == '{') {
        counts.start_jsonl();
        return counts.add(text);
      }
      return counts.start_tsv(text);
    }
    return counts.add(text);
  };
  while (ok && !end) {
    if (held == buffer.size()) buffer.resize(buffer.size() * 2);  // a line longer than a block
    const size_t got = std::fread(buffer.data() + held, 1, buffer.size() - held, f);
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
      ok = line(std::string_view(data + start, at - start));
      start = at + 1;
    }
    held = size - start;
    if (held > 0) std::memmove(buffer.data(), data + start, held);
    if (end && ok && held > 0) ok = line(std::string_view(buffer.data(), held));  // a last line without its line feed
  }
  std::fclose(f);
  return ok && !first;  // an empty file is no result file
}

int report_file(const std::string& results, const std::string& output) {
  ResultCounts counts;
  const bool counted = results != "-" && count_result_file(results, counts);
  return write_report(results, output, counted ? &counts : nullptr);
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
  int status = run_batch(paths);
  if (status == kExitOk) status = write_report(source, report.string(), &counts);
  return status;
}

}  // namespace grouper
