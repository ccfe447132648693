// The grouper's command line.  Without arguments it is the classic batch run
// in the current directory: tables, tamv30.in and tamv30.out all from there.
// Options only choose other places, add the detailed result file, the
// summary and threads; subcommands do other work on the same tables.
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <string>

#include "app/command_line.h"
#include "app/commands.h"
#include "app/progress_options.h"
#include "app/report_command.h"
#include "batch/run_loop.h"
#include "episode_grouper/version.h"

namespace {

namespace fs = std::filesystem;
using grouper::cli::UsageError;

constexpr const char* kFooter =
    "Groups the hospital episodes of tamv30.in into tamv30.out, with the sixteen\n"
    "table files of the current directory.  Without options this is the classic\n"
    "run; messages are printed on standard output.  'grouper SUBCOMMAND --help'\n"
    "tells what a subcommand takes.\n"
    "\n"
    "Exit status: 0 after a normal end, 1 when the run failed, 2 on bad usage.";

struct RunOptions {
  std::string dir, tables, input = "tamv30.in", output = "tamv30.out", results, results_format, summary_file, weights;
  std::string input_format, records_out, registry;
  bool summary = false;
  bool strict = false;
  bool impact = false;
  int threads = 1;
  grouper::ProgressMode progress = grouper::ProgressMode::kAuto;
  CLI::Option* tables_given = nullptr;
  CLI::Option* registry_given = nullptr;
  CLI::Option* results_given = nullptr;
  CLI::Option* results_format_given = nullptr;
  CLI::Option* summary_file_given = nullptr;
  CLI::Option* weights_given = nullptr;
  CLI::Option* input_format_given = nullptr;
  CLI::Option* strict_given = nullptr;
  CLI::Option* records_out_given = nullptr;
};

void add_run_options(CLI::App& app, RunOptions& opt) {
  const std::string places = "Places";
  app.add_option("-C,--dir", opt.dir,
                 "run in DIR: tables, tamv30.in and tamv30.out are taken from DIR, and relative paths of the "
                 "options below are taken relative to DIR")
      ->type_name("DIR")
      ->check(grouper::cli::non_empty())
      ->group(places);
  opt.tables_given = app.add_option("--tables", opt.tables, "read the table files from DIR (default: the run directory)")
                         ->type_name("DIR")
                         ->check(grouper::cli::non_empty())
                         ->group(places);
  opt.registry_given =
      app.add_option("--registry", opt.registry,
                     "group each record with the table version in force on its record date, from the registry "
                     "FILE (tab-separated: name, directory, valid_from, valid_to; see the README) instead of one "
                     "set: every version is opened at the start, the detailed result file gains the column "
                     "tables, and a record no version holds has no groups and the finding no_table_version")
          ->type_name("FILE")
          ->check(grouper::cli::non_empty())
          ->group(places);
  app.add_option("--input", opt.input, "read the episodes from FILE (default: tamv30.in); '-' reads standard input")
      ->type_name("FILE")
      ->check(grouper::cli::non_empty())
      ->group(places);
  app.add_option("--output", opt.output,
                 "write the result lines to FILE (default: tamv30.out); '-' writes them to standard output, and "
                 "every message goes to standard error instead")
      ->type_name("FILE")
      ->check(grouper::cli::non_empty())
      ->group(places);

  const std::string named = "Episodes as named fields";
  opt.input_format_given =
      app.add_option("--input-format", opt.input_format,
                     "read the input as fixed-width records (fixed, the default), or as episodes in named fields: "
                     "CSV or TSV with a header row naming the columns (id, birth_date or age_years or age_days, "
                     "sex, record_date, los, discharge, principal, secondary, procedures, birth_weight, "
                     "vent_hours; codes of a list separated by '|'), or JSON Lines, one object per line with the "
                     "same names; an input FILE ending in .csv, .tsv or .jsonl chooses its format.  Each row gives "
                     "one result line and row; a row whose fields cannot be encoded gives one without groups and "
                     "with an input_invalid finding per field error")
          ->type_name("fixed|csv|tsv|jsonl")
          ->check(CLI::IsMember({"fixed", "csv", "tsv", "jsonl"}))
          ->group(named);
  opt.strict_given = app.add_flag("--strict", opt.strict,
                                  "named fields: the first row whose fields cannot be encoded ends the run with "
                                  "status 1, its row and line number and its errors on standard error")
                         ->group(named);
  opt.records_out_given =
      app.add_option("--records-out", opt.records_out,
                     "named fields: also write the fixed-width record built from each row (300 characters and a "
                     "line feed; a row that cannot be encoded gives a record holding only its id) to FILE, written "
                     "beside it and moved into place when the run is complete")
          ->type_name("FILE")
          ->check(grouper::cli::non_empty())
          ->group(named);

  const std::string more = "More results";
  opt.results_given = app.add_option("--results", opt.results,
                                     "also write the detailed result file FILE, written beside it and moved into "
                                     "place when the run is complete")
                          ->type_name("FILE")
                          ->check(grouper::cli::non_empty())
                          ->group(more);
  opt.results_format_given =
      app.add_option("--results-format", opt.results_format,
                     "the detailed result file as tab-separated rows (default) or as JSON Lines; a FILE ending in "
                     ".jsonl chooses jsonl")
          ->type_name("tsv|jsonl")
          ->check(CLI::IsMember({"tsv", "jsonl"}))
          ->group(more);
  CLI::Option* summary = app.add_flag("--summary", opt.summary,
                                      "print the summary of the findings (records per finding, in all and per MDC) on "
                                      "standard error at the end")
                             ->group(more);
  opt.summary_file_given = app.add_option("--summary-file", opt.summary_file,
                                          "write that summary to FILE instead (beside it first)")
                               ->type_name("FILE")
                               ->check(grouper::cli::non_empty())
                               ->excludes(summary)
                               ->group(more);

  opt.weights_given =
      app.add_option("--weights", opt.weights,
                     "weigh every episode with the cost weight catalogue FILE (tab-separated): the detailed "
                     "result file gains weight, effective_weight and los_class, the summary the case-mix and "
                     "the case-mix index; a catalogue that fails its checks stops the run before grouping")
          ->type_name("FILE")
          ->check(grouper::cli::non_empty())
          ->group(more);

  app.add_flag("--impact", opt.impact,
               "find what each code is worth: every record is grouped again without each of its codes in "
               "positions 2..46; the detailed result file gains the column impact (POS:CODE>DRG, with "
               "--weights POS:CODE>DRG:DIFF, for each code whose removal changes the DRG or the weight) and the "
               "summary the codes whose removal moves the most weight.  Costs one grouping per code; needs "
               "--results, --summary, --summary-file or --report")
      ->group(more);

  grouper::cli::add_threads_option(app, opt.threads)->group("Speed");

  grouper::add_progress_options(app, opt.progress,
                                "when standard error is a terminal, except in the run without arguments");
}

// The run's paths from its options: relative to --dir, "-" naming a standard
// stream wherever the run happens.
grouper::RunPaths run_paths(const RunOptions& opt) {
  // path("") / p is p, so the classic run keeps its bare file names.
  const fs::path dir = opt.dir;
  auto place = [&dir](const fs::path& p) { return p == grouper::kStandardStream ? p : dir / p; };
  grouper::RunPaths paths;
  paths.tables_dir = opt.tables_given->count() ? dir / opt.tables : dir;
  if (opt.registry_given->count()) {
    if (opt.tables_given->count()) {
      throw UsageError("options '--tables' and '--registry' exclude each other: one set, or a version per date");
    }
    if (opt.registry == grouper::kStandardStream) throw UsageError("option '--registry' takes a file");
    paths.registry = dir / opt.registry;
  }
  paths.input = place(opt.input);
  paths.output = place(opt.output);
  if (opt.results_given->count()) {
    if (opt.results == grouper::kStandardStream) {
      throw UsageError("option '--results' takes a file; '-' is for --input and --output");
    }
    paths.results = dir / opt.results;
    if (fs::path(opt.results).extension() == ".jsonl") paths.results_format = grouper::RowFormat::kJsonl;
  }
  if (opt.results_format_given->count()) {
    if (!opt.results_given->count()) throw UsageError("option '--results-format' needs --results FILE");
    paths.results_format = opt.results_format == "jsonl" ? grouper::RowFormat::kJsonl : grouper::RowFormat::kTsv;
  }
  paths.summary = opt.summary;
  if (opt.summary_file_given->count()) {
    if (opt.summary_file == grouper::kStandardStream) throw UsageError("option '--summary-file' takes a file");
    paths.summary_file = dir / opt.summary_file;
  }
  if (opt.weights_given->count()) paths.weights = dir / opt.weights;
  paths.input_format = grouper::input_format_of_name(opt.input);
  if (opt.input_format_given->count()) {
    paths.input_format = opt.input_format == "csv"     ? grouper::InputFormat::kCsv
                         : opt.input_format == "tsv"   ? grouper::InputFormat::kTsv
                         : opt.input_format == "jsonl" ? grouper::InputFormat::kJsonl
                                                       : grouper::InputFormat::kFixed;
  }
  const bool named = paths.input_format != grouper::InputFormat::kFixed;
  if (!named && opt.strict_given->count()) throw UsageError("option '--strict' is for episodes as named fields (--input-format csv, tsv or jsonl)");
  if (!named && opt.records_out_given->count()) {
    throw UsageError("option '--records-out' is for episodes as named fields (--input-format csv, tsv or jsonl)");
  }
  paths.strict = opt.strict;
  if (opt.records_out_given->count()) {
    if (opt.records_out == grouper::kStandardStream) throw UsageError("option '--records-out' takes a file");
    paths.records_out = dir / opt.records_out;
  }
  paths.impact = opt.impact;
  paths.threads = opt.threads;
  paths.progress = opt.progress;
  return paths;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app;
  app.name("grouper");
  grouper::cli::configure(app, std::string("grouper ") + episode_grouper::version());
  app.footer(kFooter);
  app.require_subcommand(0, 1);

  RunOptions opt;
  add_run_options(app, opt);
  std::string report;
  CLI::Option* report_given = grouper::add_report_option(app, report)->group("More results");
  int status = 0;
  grouper::add_explain_command(app, status);
  grouper::add_serve_command(app, status);
  grouper::add_report_command(app, status);
  grouper::add_compare_command(app, status);

  // The batch run is what the command line means without a subcommand; its
  // usage errors are found while the line is parsed.
  bool batch = false;
  grouper::RunPaths paths;
  app.callback([&] {
    if (!app.get_subcommands().empty()) return;
    paths = run_paths(opt);
    if (paths.impact && paths.results.empty() && !paths.summary && paths.summary_file.empty() &&
        !report_given->count()) {
      throw UsageError("option '--impact' needs --results FILE, --summary, --summary-file FILE or --report FILE");
    }
    batch = true;
  });
  const int parsed = grouper::cli::parse_and_run(app, argc, argv, status);
  if (!batch) return parsed;
  // The classic run opens its files and prints exactly as it always did.
  if (argc == 1) {
    paths.classic = true;
    paths.progress = grouper::ProgressMode::kOff;
  }
  // A closed pipe on the output is a failed write, reported as one, not a
  // signal that ends the process unannounced.
  std::signal(SIGPIPE, SIG_IGN);
  if (report_given->count()) return grouper::run_batch_with_report(paths, fs::path(opt.dir) / report);
  return grouper::run_batch(paths);
}
