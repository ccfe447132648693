#include "batch/run_loop.h"

#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "batch/output_file.h"
#include "batch/staged_file.h"
#include "engine/prepared/prepared_set.h"
#include "episode_grouper/table_registry.h"
#include "episode_grouper/table_set.h"
#include "episode_grouper/version.h"
#include "episode_grouper/weights.h"
#include "weights/weight_drgs.h"

namespace grouper {
namespace {

// "==========그룹퍼 작업 end ===========" in code page 949, no line feed.
constexpr char kEndMessage[] =
    "=========="
    "\xB1\xD7\xB7\xEC\xC6\xDB"
    " "
    "\xC0\xDB\xBE\xF7"
    " end "
    "===========";
static_assert(sizeof kEndMessage - 1 == 37);

bool is_stream(const std::filesystem::path& p) { return p == kStandardStream; }

// Whether writing `b` would destroy `a`; a standard stream is no file.
bool same_place(const std::filesystem::path& a, const std::filesystem::path& b) {
  return !is_stream(a) && !is_stream(b) && same_file(a, b);
}

void say_results_error(const char* what, const std::filesystem::path& path) {
  std::fprintf(stderr, "grouper: cannot %s result file %s\n", what, path.c_str());
}

// The line beside a classic message that says which file failed and why.
void say_file_error(const std::filesystem::path& path, const std::string& reason) {
  std::fprintf(stderr, "grouper: %s: %s\n", path.c_str(), reason.c_str());
}

// The summary's records per version: a line per version and one for the
// records no version holds, each with its share.
std::string per_version_text(const std::vector<std::string>& names, const std::vector<int64_t>& counts) {
  int64_t all = 0;
  for (int64_t n : counts) all += n;
  char line[160];
  std::snprintf(line, sizeof line, "\nrecords per table version\n%-20s %12s %8s\n", "version", "records", "share");
  std::string out = line;
  for (size_t v = 0; v < counts.size(); ++v) {
    const std::string name = v < names.size() ? names[v] : "(none)";
    std::snprintf(line, sizeof line, "%-20s %12" PRId64 " %7.2f%%\n", name.c_str(), counts[v],
                  all > 0 ? 100.0 * static_cast<double>(counts[v]) / static_cast<double>(all) : 0.0);
    out += line;
  }
  return out;
}

}  // namespace

int run_batch(const RunPaths& paths) {
  const bool stream_out = is_stream(paths.output);
  // With result lines on standard output, every message goes to standard error.
  std::FILE* messages_to = stream_out ? stderr : stdout;
  auto say = [messages_to](const char* message) { std::fputs(message, messages_to); };

  const bool stream_in = is_stream(paths.input);
  std::FILE* in = stream_in ? stdin : std::fopen(paths.input.c_str(), paths.classic ? "rb+" : "rb");
  if (!in) {
    const int error = errno;
    say("file in open error\n");
    if (!paths.classic) say_file_error(paths.input, std::strerror(error));
    return kExitFailure;
  }
  // The input file is left to the end of the process on the failure paths.
  if (same_place(paths.input, paths.output)) {
    say("file out open error\n");
    if (!paths.classic) say_file_error(paths.output, "is the input file");
    return kExitFailure;
  }
  // Result lines of named fields are written beside their file, as the
  // option outputs are; the fixed input keeps its classic file.
  const bool by_rows = paths.input_format != InputFormat::kFixed;
  std::unique_ptr<StagedFile> output_target;
  std::FILE* output_file = stdout;
  if (!stream_out && by_rows) {
    output_target = std::make_unique<StagedFile>(paths.output);
    output_file = output_target->open();
  } else if (!stream_out) {
    output_file = std::fopen(paths.output.c_str(), "wb+");
  }
  OutputFile output(output_file);
  if (!output.is_open()) {
    const int error = errno;
    say("file out open error\n");
    if (!paths.classic) say_file_error(paths.output, std::strerror(error));
    return kExitFailure;
  }
  const bool want_results = !paths.results.empty();
  std::unique_ptr<StagedFile> results_target;
  std::FILE* results_file = nullptr;
  if (want_results) {
    if (!same_place(paths.results, paths.input) && !same_place(paths.results, paths.output) &&
        !is_stream(paths.results)) {
      results_target = std::make_unique<StagedFile>(paths.results);
      results_file = results_target->open();
    }
    if (!results_file) {
      say_results_error("open", paths.results);
      return kExitFailure;
    }
  }
  OutputFile results(results_file);
  const bool want_records = by_rows && !paths.records_out.empty();
  std::unique_ptr<StagedFile> records_target;
  std::FILE* records_file = nullptr;
  if (want_records) {
    if (!same_place(paths.records_out, paths.input) && !same_place(paths.records_out, paths.output) &&
        !(want_results && same_place(paths.records_out, paths.results)) && !is_stream(paths.records_out)) {
      records_target = std::make_unique<StagedFile>(paths.records_out);
      records_file = records_target->open();
    }
    if (!records_file) {
      std::fprintf(stderr, "grouper: cannot open records file %s\n", paths.records_out.c_str());
      return kExitFailure;
    }
  }
  OutputFile records(records_file);

  // A catalogue that disagrees with the logic conditions is reported at the
  // first record grouped, as the classic run always has.
  episode_grouper::OpenOptions open_options;
  open_options.read_and_update = paths.classic;
  open_options.defer_logic_check = true;
  episode_grouper::Status failure;
  std::shared_ptr<const episode_grouper::TableSet> tables;
  std::shared_ptr<const episode_grouper::TableRegistry> registry;
  if (!paths.registry.empty()) {
    // Every version is opened, and checked, before anything is grouped.
    open_options.defer_logic_check = false;
    registry = episode_grouper::TableRegistry::open(paths.registry, failure, open_options);
    if (!registry) {
      say(" file init error \n");
      std::fprintf(stderr, "grouper: %s\n", failure.message.c_str());
      return kExitFailure;
    }
    for (const std::string& gap : registry->warnings()) std::fprintf(stderr, "grouper: warning: %s\n", gap.c_str());
  } else {
    tables = episode_grouper::TableSet::open(paths.tables_dir, failure, open_options);
    if (!tables) {
      say(failure.loader_message.c_str());
      say(failure.kind == episode_grouper::StatusKind::kCountMismatch ? " file count error \n" : " file init error \n");
      if (!paths.classic) std::fprintf(stderr, "grouper: %s\n", failure.message.c_str());
      return kExitFailure;
    }
  }
  // The sets the run groups with: the one, or every version's.
  std::vector<std::pair<std::string, const PreparedSet*>> sets;
  if (registry) {
    for (const episode_grouper::TableVersion& v : registry->versions()) sets.emplace_back(v.name, &prepared(*v.tables));
  } else {
    sets.emplace_back("", &prepared(*tables));
  }

  // The weights, after the tables: a catalogue that fails its checks stops
  // the run before anything is grouped.
  std::shared_ptr<const episode_grouper::WeightCatalogue> weights;
  if (!paths.weights.empty()) {
    episode_grouper::Status error;
    weights = episode_grouper::WeightCatalogue::load(paths.weights, error);
    if (!weights) {
      std::fprintf(stderr, "grouper: %s\n", error.message.c_str());
      return kExitFailure;
    }
    for (const auto& [name, set] : sets) {
      const size_t unknown = unknown_weight_drgs(*weights, set->store()).size();
      if (unknown == 0) continue;
      const std::string of = name.empty() ? "" : " of version " + name;
      std::fprintf(stderr, "grouper: warning: %zu DRG%s of %s %s not in the DRG table%s\n", unknown,
                   unknown == 1 ? "" : "s", paths.weights.c_str(), unknown == 1 ? "is" : "are", of.c_str());
    }
  }

  const bool want_summary = paths.summary || !paths.summary_file.empty();
  std::vector<std::string> version_names;
  for (const auto& entry : sets) version_names.push_back(entry.first);
  std::unique_ptr<StagedFile> summary_target;
  std::FILE* summary_file = nullptr;
  if (!paths.summary_file.empty()) {
    if (!same_place(paths.summary_file, paths.input) && !same_place(paths.summary_file, paths.output) &&
        !(want_results && same_place(paths.summary_file, paths.results)) && !is_stream(paths.summary_file)) {
      summary_target = std::make_unique<StagedFile>(paths.summary_file);
      summary_file = summary_target->open();
    }
    if (!summary_file) {
      std::fprintf(stderr, "grouper: cannot open summary file %s\n", paths.summary_file.c_str());
      return kExitFailure;
    }
  }
  // Over a registry the summary counts each MDC code in one row, whatever
  // its index in each version.
  std::optional<VersionMdcRows> mdc_rows;
  if (registry) mdc_rows.emplace(*registry);
  ImpactSummary impact_summary(weights != nullptr);
  // The MDC codes name the summary's rows after the tables are released.
  const std::vector<Code3> mdc_codes = !want_summary ? std::vector<Code3>{}
                                       : mdc_rows    ? mdc_rows->codes
                                                     : sets.front().second->store().mdc_code;
  FindingSummary summary(mdc_codes.size(), weights != nullptr);

  BatchOptions options;
  options.summary = want_summary ? &summary : nullptr;
  options.threads = paths.threads;
  options.rows = want_results ? &results : nullptr;
  options.row_format = paths.results_format;
  options.weights = weights.get();
  options.impact = paths.impact;
  options.impact_summary = paths.impact && want_summary ? &impact_summary : nullptr;
  options.input_format = paths.input_format;
  options.strict = paths.strict;
  options.records = want_records ? &records : nullptr;
  options.counts = paths.counts;
  std::optional<ProgressBar> bar;
  if (progress_wanted(paths.progress)) bar.emplace(stderr, bytes_left(in));
  // A message on the bar's terminal pushes the bar down a line.
  ProgressBar* around = bar && isatty(fileno(messages_to)) ? &*bar : nullptr;
  options.progress = [messages_to, around](int64_t n) {
    if (around) around->hide();
    std::fprintf(messages_to, "record_count = [%" PRId64 "]\n", n);
    if (around) {
      std::fflush(messages_to);
      around->show();
    }
  };
  if (bar) options.after_block = [&bar](int64_t records, uint64_t bytes) { bar->update(records, bytes); };
  const BatchOutcome outcome = registry ? group_batch(*registry, *mdc_rows, in, output, options)
                                        : group_batch(*sets.front().second, in, output, options);
  if (bar) {
    if (outcome.end == BatchEnd::kDone) bar->finish();
    else bar->hide();
  }
  if (outcome.end == BatchEnd::kLogicSetting) say("logic setting missing or error\n");
  if (outcome.end == BatchEnd::kReadError) say("file in read error\n");
  const std::string input_name = stream_in ? "standard input" : paths.input.string();
  if (!outcome.ignored.empty()) {
    std::string names;
    for (const std::string& name : outcome.ignored) names += (names.empty() ? "" : ", ") + name;
    std::fprintf(stderr, "grouper: %s: %s ignored: %s\n", input_name.c_str(),
                 paths.input_format == InputFormat::kJsonl ? "members" : "columns", names.c_str());
  }
  if (outcome.end == BatchEnd::kInputError) std::fprintf(stderr, "grouper: %s: %s\n", input_name.c_str(), outcome.message.c_str());
  if (outcome.end == BatchEnd::kCountError) std::fprintf(stderr, "grouper: a result row could not be counted for the report\n");
  if (outcome.end == BatchEnd::kInvalidRow) {
    std::fprintf(stderr, "grouper: %s: strict: %s\n", input_name.c_str(), outcome.message.c_str());
  }

  sets.clear();
  tables.reset();  // the tables are released before the files are closed
  registry.reset();
  if (!stream_in) std::fclose(in);
  bool ok = outcome.end == BatchEnd::kDone || outcome.end == BatchEnd::kWriteError;
  const bool output_ok = stream_out ? output.flush() : output.close();
  if (!output_ok) {
    say("file out write error\n");
    ok = false;
  }
  if (want_records) {
    const bool written = records.close();
    if (!written || !ok || !records_target->commit()) {
      if (!written || ok) std::fprintf(stderr, "grouper: cannot write records file %s\n", paths.records_out.c_str());
      ok = false;
    }
  }
  if (want_results) {
    const bool written = results.close();
    if (!written) say_results_error("write", paths.results);
    if (!written || !ok || !results_target->commit()) {
      if (written && ok) say_results_error("rename into place", paths.results);
      ok = false;
    }
  }
  // The result lines of named fields go into place last, when all else is.
  if (output_target && ok && !output_target->commit()) {
    say("file out write error\n");
    say_file_error(paths.output, "cannot be moved into place");
    ok = false;
  }
  if (ok && want_summary) {
    std::string text = summary.text(mdc_codes);
    if (paths.impact) text += impact_summary.text();
    if (!outcome.per_version.empty()) text += per_version_text(version_names, outcome.per_version);
    if (summary_file) {
      // The file, kept beside the results, names the version that made them
      // (the line of --version); the summary on standard error does not.
      OutputFile out(summary_file);
      summary_file = nullptr;
      const std::string version_line = std::string("grouper ") + episode_grouper::version() + "\n";
      if (!out.write(version_line) || !out.write(text) || !out.close() || !summary_target->commit()) {
        std::fprintf(stderr, "grouper: cannot write summary file %s\n", paths.summary_file.c_str());
        ok = false;
      }
    } else {
      std::fputs(text.c_str(), stderr);
    }
  }
  if (summary_file) std::fclose(summary_file);
  if (!ok) return kExitFailure;
  std::fwrite(kEndMessage, 1, sizeof kEndMessage - 1, messages_to);
  if (stream_out) std::fflush(messages_to);
  return kExitOk;
}

}  // namespace grouper
