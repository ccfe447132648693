// grouper compare: every record grouped under two table sets, the records
// whose results differ, a summary of the moves and a page that shows them.
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "app/command_line.h"
#include "app/commands.h"
#include "app/progress_options.h"
#include "app/python_module.h"
#include "batch/run_loop.h"
#include "compare/compare_run.h"

namespace grouper {
namespace {

constexpr const char* kDescription =
    "the records a new table set moves, and where to\n"
    "\n"
    "Groups every record of an episode file under two table sets, side by side on\n"
    "every core, and writes the records whose results differ (both result rows side\n"
    "by side, with the findings of each), a summary of the moves (ADRG to ADRG, DRG\n"
    "to DRG, MDC to MDC, PCCL changes, newly ungroupable records) as text and JSON,\n"
    "and an HTML page of them.  With weight catalogues, also the case-mix and\n"
    "case-mix index before and after and the weight each DRG transition moves.";

constexpr const char* kFooter =
    "Two results differ when any column of their result rows but the record number\n"
    "differs; groups compare by their codes.  A record whose findings alone differ\n"
    "is counted apart.  The weight moved is the sum over all records of the new\n"
    "effective weight less the old (none counts 0), exact to 0.0001.  Every file\n"
    "is written beside its target and moved into place when complete.\n"
    "\n"
    "Exit status: 0 when every output was written, 1 when the run failed, 2 on bad\n"
    "usage.";

struct CompareOptions {
  std::vector<std::string> tables;
  std::vector<std::string> registries;
  std::string input;
  std::string output = "compare.tsv";
  std::string summary_file, json, html;
  std::string weights, weights_old, weights_new;
  int threads = 1;
  ProgressMode progress = ProgressMode::kAuto;
};

void remove_quietly(const std::filesystem::path& p) {
  std::error_code ec;
  std::filesystem::remove(p, ec);
}

int run_compare_command(const CompareOptions& opt) {
  if (opt.tables.empty() == opt.registries.empty()) {
    throw cli::UsageError("give --tables twice (the old set, then the new one) or --registry twice");
  }
  if (!opt.tables.empty() && opt.tables.size() != 2) {
    throw cli::UsageError("give --tables twice: the old set, then the new one");
  }
  if (!opt.registries.empty() && opt.registries.size() != 2) {
    throw cli::UsageError("give --registry twice: the old registry, then the new one");
  }
  for (const std::string* f : {&opt.summary_file, &opt.json, &opt.html}) {
    if (*f == kStandardStream) throw cli::UsageError("'-' is for --input and --output; name a file");
  }
  ComparePaths paths;
  if (!opt.tables.empty()) {
    paths.old_tables = opt.tables[0];
    paths.new_tables = opt.tables[1];
  } else {
    paths.old_registry = opt.registries[0];
    paths.new_registry = opt.registries[1];
  }
  paths.input = opt.input;
  paths.output = opt.output;
  paths.summary_file = opt.summary_file;
  paths.json = opt.json;
  if (!opt.weights.empty()) {
    paths.old_weights = paths.new_weights = opt.weights;
  } else if (!opt.weights_old.empty() || !opt.weights_new.empty()) {
    if (opt.weights_old.empty() || opt.weights_new.empty()) {
      throw cli::UsageError("give --weights-old and --weights-new together (or --weights for both sides)");
    }
    paths.old_weights = opt.weights_old;
    paths.new_weights = opt.weights_new;
  }
  paths.threads = opt.threads;
  paths.progress = opt.progress;
  // The page is drawn from the JSON summary: a file of its own when none is asked for.
  const bool own_json = !opt.html.empty() && opt.json.empty();
  if (own_json) paths.json = opt.html + ".json.partial-" + std::to_string(::getpid());
  // A closed pipe on the rows is a failed write, reported as one, not a
  // signal that ends the process unannounced.
  std::signal(SIGPIPE, SIG_IGN);
  int status = run_compare(paths);
  if (status == kExitOk && !opt.html.empty() &&
      run_python_module("episode_grouper.compare_page", {paths.json.string(), "-o", opt.html}) != 0) {
    std::fprintf(stderr, "grouper compare: cannot write HTML page %s\n", opt.html.c_str());
    status = kExitFailure;
  }
  if (own_json) remove_quietly(paths.json);
  return status;
}

}  // namespace

void add_compare_command(CLI::App& app, int& status) {
  auto opt = std::make_shared<CompareOptions>();
  CLI::App* sub = app.add_subcommand("compare", kDescription);
  sub->footer(kFooter);
  const std::string what = "What to compare";
  sub->add_option("--tables", opt->tables, "the old table set, then (--tables again) the new one")
      ->expected(1)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
      ->type_name("DIR")
      ->check(cli::non_empty())
      ->group(what);
  sub->add_option("--registry", opt->registries,
                  "instead of --tables, the old registry of table versions, then (--registry again) the new one: "
                  "each side groups a record with its version of the record date")
      ->expected(1)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
      ->type_name("FILE")
      ->check(cli::non_empty())
      ->group(what);
  sub->add_option("--input", opt->input, "the episode file ('-': standard input)")
      ->required()
      ->type_name("FILE")
      ->check(cli::non_empty())
      ->group(what);
  const std::string money = "Weights";
  CLI::Option* both = sub->add_option("--weights", opt->weights,
                                      "weigh both sides with the weight catalogue FILE: the summary adds the "
                                      "case-mix, the case-mix index and the weight moved")
                          ->type_name("FILE")
                          ->check(cli::non_empty())
                          ->group(money);
  sub->add_option("--weights-old", opt->weights_old, "the weight catalogue of the old side (with --weights-new)")
      ->type_name("FILE")
      ->check(cli::non_empty())
      ->excludes(both)
      ->group(money);
  sub->add_option("--weights-new", opt->weights_new, "the weight catalogue of the new side (with --weights-old)")
      ->type_name("FILE")
      ->check(cli::non_empty())
      ->excludes(both)
      ->group(money);
  const std::string outputs = "Outputs";
  sub->add_option("--output", opt->output,
                  "the records whose results differ, as tab-separated rows after a header (default: compare.tsv); "
                  "'-' writes them to standard output, and the summary goes to standard error")
      ->type_name("FILE")
      ->check(cli::non_empty())
      ->group(outputs);
  sub->add_option("--summary-file", opt->summary_file, "write the text summary to FILE (default: standard output)")
      ->type_name("FILE")
      ->check(cli::non_empty())
      ->group(outputs);
  sub->add_option("--json", opt->json, "also write the summary as one JSON object to FILE")
      ->type_name("FILE")
      ->check(cli::non_empty())
      ->group(outputs);
  sub->add_option("--html", opt->html, "also write a page of the moves to FILE, with a heat map of MDC to MDC")
      ->type_name("FILE")
      ->check(cli::non_empty())
      ->group(outputs);
  cli::add_threads_option(*sub, opt->threads)->group("Speed");
  add_progress_options(*sub, opt->progress, "when standard error is a terminal");
  sub->callback([opt, &status] { status = run_compare_command(*opt); });
}

}  // namespace grouper
