// grouper-tables verify [--max N] [-v] [DIR]: every rule the files of a table set must follow.
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "commands.h"
#include "tables/table_loader.h"
#include "verify_checks.h"
#include "verify_load.h"
#include "verify_run.h"
#include "verify_weights.h"

namespace grouper::tools {
namespace {

constexpr const char* kVerifyHelp =
    "check a table set against every rule its files must follow\n"
    "\n"
    "Loads the sixteen table files of DIR (default: the current directory) and\n"
    "checks every rule they must follow: sorted dictionaries, ids and indices\n"
    "within their tables, row ranges within their row counts, the condition\n"
    "catalogue against the built-in logic conditions, keys for every code id,\n"
    "ascending exclusion lists, digits in the CCL matrix, codes for the\n"
    "supplementary groups in use.\n"
    "\n"
    "With --weights FILE, also checks that cost weight catalogue against the\n"
    "set: every DRG the set gives has a weight row, the windows of a DRG leave\n"
    "no gap, and no row is for a DRG the set does not give.\n"
    "\n"
    "Each problem is printed once with its file, array and index, most serious\n"
    "first; at most N of a kind (default 10), then a count of the rest.";

std::string clean_summary(const std::filesystem::path& dir, const TableStore& s) {
  return dir.string() + ": clean (" + std::to_string(s.dx_cnt) + " diagnosis and " +
         std::to_string(s.sg_cnt) + " procedure rows, " + std::to_string(s.cond_cnt) +
         " conditions, " + std::to_string(s.tadrg.rule_cnt) + " + " +
         std::to_string(s.tadrg1.rule_cnt) + " rules, " + std::to_string(s.mdc_cnt) + " MDC, " +
         std::to_string(s.adrg_cnt) + " ADRG and " + std::to_string(s.drg_cnt) + " DRG rows)\n";
}

}  // namespace

int verify_table_set(const std::filesystem::path& dir, const VerifyOptions& options, std::string& out) {
  TableStore store;
  std::string messages;
  const int rc = load_tables(dir, store, messages);
  if (rc != kLoadOk) {
    std::string reason = explain_load_failure(dir);
    if (reason.empty()) reason = rc == kLoadCountMismatch ? "two table counts disagree" : "the loader failed";
    out += dir.string() + ": cannot be read: " + reason + "\n";
    if (!messages.empty()) out += "loader said: " + messages;
    return kVerifyUnreadable;
  }
  std::shared_ptr<const episode_grouper::WeightCatalogue> weights;
  if (!options.weights.empty()) {
    episode_grouper::Status error;
    weights = episode_grouper::WeightCatalogue::load(options.weights, error);
    if (!weights) {
      out += error.message + "\n";
      return kVerifyUnreadable;
    }
  }
  Report report(options.cap);
  check_tables(store, report);
  if (weights) check_weights(*weights, store, report);
  if (report.clean()) {
    if (options.verbose) out += clean_summary(dir, store);
    return kVerifyClean;
  }
  out += dir.string() + ":\n" + report.text();
  return kVerifyProblems;
}

void add_verify_command(CLI::App& app, int& status) {
  CLI::App* sub = app.add_subcommand("verify", kVerifyHelp);
  sub->footer("Exit status: 0 clean, 1 problems found, 2 the set cannot be read.");
  struct Args {
    VerifyOptions options;
    std::string dir = ".";
  };
  auto args = std::make_shared<Args>();
  sub->add_option("DIR", args->dir, "the table set (default: the current directory)")->type_name("");
  sub->add_option("--max", args->options.cap, "print at most N problems of a kind (default 10)")
      ->type_name("N")
      ->check(CLI::Range(size_t{1}, SIZE_MAX));
  sub->add_flag("-v,--verbose", args->options.verbose, "say so when the set is clean");
  sub->add_option("--weights", args->options.weights,
                  "also check the cost weight catalogue FILE against the set (a catalogue that fails its own "
                  "checks cannot be read: exit status 2)")
      ->type_name("FILE");
  sub->callback([args, &status] {
    std::string out;
    status = verify_table_set(args->dir, args->options, out);
    std::fwrite(out.data(), 1, out.size(), stdout);
  });
}

}  // namespace grouper::tools
