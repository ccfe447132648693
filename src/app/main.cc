// The grouper's command line.  Without arguments it is the classic batch run
// in the current directory: tables, tamv30.in and tamv30.out all from there.
// Options only choose other places, add the detailed result file and threads.
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "app/explain_command.h"
#include "driver/run_loop.h"

namespace {

constexpr int kExitUsage = 2;
constexpr const char* kVersion = "grouper 1.0.0\n";

constexpr const char* kHelp =
    "Usage: grouper [OPTION]...\n"
    "       grouper explain --help\n"
    "Groups the hospital episodes of tamv30.in into tamv30.out, with the sixteen\n"
    "table files of the current directory.  Without options this is the classic\n"
    "run; messages are printed on standard output.\n"
    "\n"
    "  -C, --dir DIR        run in DIR: tables, tamv30.in and tamv30.out are taken\n"
    "                       from DIR, and relative paths of the options below are\n"
    "                       taken relative to DIR\n"
    "      --tables DIR     read the table files from DIR (default: the run directory)\n"
    "      --input FILE     read the episodes from FILE (default: tamv30.in);\n"
    "                       '-' reads standard input\n"
    "      --output FILE    write the result lines to FILE (default: tamv30.out);\n"
    "                       '-' writes them to standard output, and every message\n"
    "                       goes to standard error instead\n"
    "      --results FILE   also write the detailed result file FILE, written beside\n"
    "                       it and moved into place when the run is complete\n"
    "      --results-format tsv|jsonl\n"
    "                       the detailed result file as tab-separated rows (default)\n"
    "                       or as JSON Lines; a FILE ending in .jsonl chooses jsonl\n"
    "      --summary        print the summary of the findings (records per finding,\n"
    "                       in all and per MDC) on standard error at the end\n"
    "      --summary-file FILE\n"
    "                       write that summary to FILE instead (beside it first)\n"
    "  -j, --threads N      group with N threads (0, the default: one per core); the\n"
    "                       output is the same byte for byte whatever N is\n"
    "  -h, --help           print this help and exit\n"
    "      --version        print the version and exit\n"
    "\n"
    "grouper explain prints every step the grouping took for one record.\n"
    "\n"
    "Exit status: 0 after a normal end, 1 when the run failed, 2 on bad usage.\n";

int usage_error(const std::string& message) {
  std::fprintf(stderr, "grouper: %s\nTry 'grouper --help' for more information.\n", message.c_str());
  return kExitUsage;
}

struct Options {
  std::optional<std::filesystem::path> dir, tables, input, output, results, results_format, threads, summary_file;
  bool summary = false;
};

// A thread count: digits only, 0 meaning one per core.
std::optional<int> thread_count(const std::string& text) {
  if (text.empty() || text.size() > 4 || text.find_first_not_of("0123456789") != std::string::npos) {
    return std::nullopt;
  }
  int n = std::stoi(text);
  if (n == 0) n = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  return n;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string_view(argv[1]) == "explain") return grouper::explain_command(argc - 2, argv + 2);
  Options opt;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      std::fputs(kHelp, stdout);
      return grouper::kExitOk;
    }
    if (arg == "--version") {
      std::fputs(kVersion, stdout);
      return grouper::kExitOk;
    }
    if (arg == "--summary") {
      opt.summary = true;
      continue;
    }

    std::optional<std::filesystem::path>* target = nullptr;
    std::string_view name = arg;
    std::optional<std::string_view> inline_value;
    if (arg.starts_with("--")) {
      if (size_t eq = arg.find('='); eq != std::string_view::npos) {
        name = arg.substr(0, eq);
        inline_value = arg.substr(eq + 1);
      }
    } else if ((arg.starts_with("-C") || arg.starts_with("-j")) && arg.size() > 2) {
      name = arg.substr(0, 2);
      inline_value = arg.substr(2);
    }
    if (name == "-C" || name == "--dir") target = &opt.dir;
    else if (name == "--tables") target = &opt.tables;
    else if (name == "--input") target = &opt.input;
    else if (name == "--output") target = &opt.output;
    else if (name == "--results") target = &opt.results;
    else if (name == "--results-format") target = &opt.results_format;
    else if (name == "-j" || name == "--threads") target = &opt.threads;
    else if (name == "--summary-file") target = &opt.summary_file;
    if (!target) {
      return usage_error(arg.starts_with("-") ? "unknown option '" + std::string(arg) + "'"
                                              : "unexpected argument '" + std::string(arg) + "'");
    }

    std::string_view value;
    if (inline_value) {
      value = *inline_value;
    } else if (i + 1 < argc) {
      value = argv[++i];
    } else {
      return usage_error("option '" + std::string(name) + "' needs a value");
    }
    if (value.empty()) return usage_error("option '" + std::string(name) + "' needs a non-empty value");
    if (*target) return usage_error("option '" + std::string(name) + "' given twice");
    *target = std::filesystem::path(value);
  }

  // path("") / p is p, so the classic run keeps its bare file names.
  const std::filesystem::path dir = opt.dir.value_or("");
  // "-" names a standard stream wherever the run happens.
  auto place = [&dir](const std::filesystem::path& p) { return p == grouper::kStandardStream ? p : dir / p; };
  grouper::RunPaths paths;
  paths.tables_dir = opt.tables ? dir / *opt.tables : dir;
  paths.input = place(opt.input.value_or("tamv30.in"));
  paths.output = place(opt.output.value_or("tamv30.out"));
  if (opt.results) {
    if (*opt.results == grouper::kStandardStream) {
      return usage_error("option '--results' takes a file; '-' is for --input and --output");
    }
    paths.results = dir / *opt.results;
    if (opt.results->extension() == ".jsonl") paths.results_format = grouper::RowFormat::kJsonl;
  }
  if (opt.results_format) {
    if (*opt.results_format == "jsonl") paths.results_format = grouper::RowFormat::kJsonl;
    else if (*opt.results_format == "tsv") paths.results_format = grouper::RowFormat::kTsv;
    else return usage_error("option '--results-format' takes tsv or jsonl");
    if (!opt.results) return usage_error("option '--results-format' needs --results FILE");
  }
  if (opt.summary && opt.summary_file) return usage_error("give --summary or --summary-file, not both");
  paths.summary = opt.summary;
  if (opt.summary_file) {
    if (*opt.summary_file == grouper::kStandardStream) return usage_error("option '--summary-file' takes a file");
    paths.summary_file = dir / *opt.summary_file;
  }
  // A closed pipe on the output is a failed write, reported as one, not a
  // signal that ends the process unannounced.
  std::signal(SIGPIPE, SIG_IGN);
  paths.threads = *thread_count("0");
  if (opt.threads) {
    std::optional<int> n = thread_count(opt.threads->string());
    if (!n) return usage_error("option '--threads' takes a whole number from 0 to 9999");
    paths.threads = *n;
  }
  return grouper::run_batch(paths);
}
