// grouper-tables verify [--max N] [-v] [DIR]
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "commands.h"
#include "tables/table_loader.h"
#include "verify_checks.h"
#include "verify_load.h"
#include "verify_run.h"

namespace grouper::tools {
namespace {

constexpr const char* kVerifyUsage =
    "usage: grouper-tables verify [--max N] [-v] [DIR]\n"
    "\n"
    "Loads the sixteen table files of DIR (default: the current directory) and\n"
    "checks every rule they must follow: sorted dictionaries, ids and indices\n"
    "within their tables, row ranges within their row counts, the condition\n"
    "catalogue against the built-in logic conditions, keys for every code id,\n"
    "ascending exclusion lists, digits in the CCL matrix, codes for the\n"
    "supplementary groups in use.\n"
    "\n"
    "Each problem is printed once with its file, array and index, most serious\n"
    "first; at most N of a kind (default 10), then a count of the rest.\n"
    "  -v       say so when the set is clean\n"
    "Exit status: 0 clean, 1 problems found, 2 the set cannot be read.\n";

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
  Report report(options.cap);
  check_tables(store, report);
  if (report.clean()) {
    if (options.verbose) out += clean_summary(dir, store);
    return kVerifyClean;
  }
  out += dir.string() + ":\n" + report.text();
  return kVerifyProblems;
}

int cmd_verify(int argc, char** argv) {
  VerifyOptions options;
  const char* dir = ".";
  int dirs = 0;
  for (int i = 0; i < argc; ++i) {
    const char* a = argv[i];
    if (is_help_flag(a)) {
      std::fputs(kVerifyUsage, stdout);
      return 0;
    }
    if (std::strcmp(a, "-v") == 0 || std::strcmp(a, "--verbose") == 0) {
      options.verbose = true;
    } else if (std::strcmp(a, "--max") == 0 && i + 1 < argc) {
      char* end = nullptr;
      const long n = std::strtol(argv[++i], &end, 10);
      if (*end != '\0' || n < 1) {
        std::fprintf(stderr, "grouper-tables verify: --max needs a number of 1 or more\n");
        return kVerifyUnreadable;
      }
      options.cap = static_cast<size_t>(n);
    } else if (a[0] == '-' && a[1] != '\0') {
      std::fprintf(stderr, "grouper-tables verify: unknown option '%s'\n\n%s", a, kVerifyUsage);
      return kVerifyUnreadable;
    } else {
      dir = a;
      ++dirs;
    }
  }
  if (dirs > 1) {
    std::fputs(kVerifyUsage, stderr);
    return kVerifyUnreadable;
  }
  std::string out;
  const int rc = verify_table_set(dir, options, out);
  std::fwrite(out.data(), 1, out.size(), stdout);
  return rc;
}

}  // namespace grouper::tools
