// grouper report and --report: the page is drawn by the Python package (its
// charts are matplotlib's); this side only passes the names and the status.
#include "app/report_command.h"

#include <unistd.h>

#include <memory>
#include <system_error>
#include <vector>

#include "app/command_line.h"
#include "app/commands.h"
#include "app/python_module.h"

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
    "chart has its numbers in a table beside it.  RESULTS is read once, in blocks.";

constexpr const char* kFooter =
    "Exit status: 0 when the page was written, 1 when RESULTS could not be read or\n"
    "is not a result file, or the page could not be written, 2 on bad usage.";

struct ReportOptions {
  std::string results, output;
};

int write_report(const std::string& results, const std::string& output) {
  // "--" keeps a RESULTS that starts with '-' a file name.
  return run_python_module(kModule, {"-o", output, "--", results});
}

// A name beside `report` that no file has yet, for the run's results.
fs::path results_beside(const fs::path& report) {
  const std::string stem = report.string() + ".results-" + std::to_string(getpid());
  fs::path candidate = stem + ".tsv";
  std::error_code ec;
  for (int n = 1; fs::exists(candidate, ec) || ec; ++n) candidate = stem + "-" + std::to_string(n) + ".tsv";
  return candidate;
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
  sub->callback([opt, &status] { status = write_report(opt->results, opt->output); });
}

CLI::Option* add_report_option(CLI::App& app, std::string& report) {
  static const CLI::Validator not_a_stream(
      [](const std::string& value) { return value == "-" ? std::string("takes a file, not '-'") : std::string(); },
      "", "file");
  return app
      .add_option("--report", report,
                  "also write the casemix report of the run as the HTML page FILE (see 'grouper report --help'); "
                  "without --results the detailed results go to a file beside it, removed afterwards")
      ->type_name("FILE")
      ->check(cli::non_empty())
      ->check(not_a_stream);
}

int run_batch_with_report(RunPaths paths, const fs::path& report) {
  const bool temporary = paths.results.empty();
  if (temporary) {
    paths.results = results_beside(report);
    paths.results_format = RowFormat::kTsv;
  }
  int status = run_batch(paths);
  if (status == kExitOk) status = write_report(paths.results.string(), report.string());
  if (temporary) {
    std::error_code ec;
    fs::remove(paths.results, ec);
  }
  return status;
}

}  // namespace grouper
