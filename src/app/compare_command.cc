// grouper compare: every record grouped under two table sets, the records
// whose results differ, a summary of the moves and a page that shows them.
#include "app/compare_command.h"

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "app/python_module.h"
#include "driver/compare_run.h"
#include "driver/run_loop.h"

namespace grouper {
namespace {

constexpr int kExitUsage = 2;

constexpr const char* kDescription =
    "Groups every record of an episode file under two table sets, side by side on every core, and\n"
    "writes the records whose results differ (both result rows side by side, with the findings of\n"
    "each), a summary of the moves (ADRG to ADRG, DRG to DRG, MDC to MDC, PCCL changes, newly\n"
    "ungroupable records) as text and JSON, and an HTML page of them.";

constexpr const char* kFooter =
    "Two results differ when any column of their result rows differs; a record whose findings\n"
    "alone differ is counted apart.  Every file is written beside its target and moved into\n"
    "place when complete.\n"
    "Exit status: 0 when every output was written, 1 when the run failed, 2 on bad usage.";

struct CompareOptions {
  std::vector<std::string> tables;
  std::string input;
  std::string output = "compare.tsv";
  std::string summary_file;
  std::string json;
  std::string html;
  int threads = 0;
};

int usage_error(const std::string& message) {
  std::fprintf(stderr, "grouper compare: %s\nTry 'grouper compare --help' for more information.\n", message.c_str());
  return kExitUsage;
}

int run(const CompareOptions& opt) {
  if (opt.tables.size() != 2) return usage_error("give --tables twice: the old set, then the new one");
  if (opt.threads < 0 || opt.threads > 9999) return usage_error("option '--threads' takes a whole number from 0 to 9999");
  for (const std::string* f : {&opt.summary_file, &opt.json, &opt.html}) {
    if (*f == kStandardStream) return usage_error("'-' is for --input and --output; name a file");
  }
  if (opt.output.empty()) return usage_error("option '--output' needs a file name, or '-'");

  ComparePaths paths;
  paths.old_tables = opt.tables[0];
  paths.new_tables = opt.tables[1];
  paths.input = opt.input;
  paths.output = opt.output;
  paths.summary_file = opt.summary_file;
  paths.json = opt.json;
  paths.threads = opt.threads > 0 ? opt.threads : static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  // The page is drawn from the JSON summary: a file of its own when none is asked for.
  const bool own_json = !opt.html.empty() && opt.json.empty();
  if (own_json) paths.json = opt.html + ".json.partial-" + std::to_string(::getpid());
  const int status = run_compare(paths);
  if (status != kExitOk || opt.html.empty()) {
    if (own_json) std::filesystem::remove(paths.json);
    return status;
  }
  const int page = run_python_module("episode_grouper.compare_page", {paths.json.string(), "-o", opt.html});
  if (own_json) {
    std::error_code ec;
    std::filesystem::remove(paths.json, ec);
  }
  if (page != 0) {
    std::fprintf(stderr, "grouper compare: cannot write HTML page %s\n", opt.html.c_str());
    return kExitFailure;
  }
  return kExitOk;
}

}  // namespace

void add_compare_command(CLI::App& app, int& status) {
  auto opt = std::make_shared<CompareOptions>();
  CLI::App* sub = app.add_subcommand("compare", "Groups every record under two table sets and reports what moves");
  sub->description(kDescription);
  sub->footer(kFooter);
  sub->add_option("--tables", opt->tables, "the old table set, then (given again) the new one")
      ->required()
      ->type_size(1)
      ->allow_extra_args(false)
      ->type_name("DIR");
  sub->add_option("--input", opt->input, "the episode file ('-': standard input)")->required()->type_name("FILE");
  sub->add_option("--output", opt->output,
                  "the records whose results differ, as tab-separated rows after a header (default: "
                  "compare.tsv; '-': standard output, the summary then goes to standard error)")
      ->type_name("FILE");
  sub->add_option("--summary-file", opt->summary_file, "write the text summary to FILE (default: standard output)")
      ->type_name("FILE");
  sub->add_option("--json", opt->json, "also write the summary as JSON to FILE")->type_name("FILE");
  sub->add_option("--html", opt->html, "also write an HTML page of the moves to FILE")->type_name("FILE");
  sub->add_option("-j,--threads", opt->threads,
                  "group with N threads (0, the default: one per core); the outputs are the same for any N")
      ->type_name("N");
  sub->callback([opt, &status] { status = run(*opt); });
}

}  // namespace grouper
