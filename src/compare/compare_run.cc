#include "compare/compare_run.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "batch/output_file.h"
#include "batch/run_loop.h"
#include "batch/staged_file.h"
#include "compare/compare.h"
#include "episode_grouper/table_registry.h"
#include "episode_grouper/table_set.h"
#include "episode_grouper/weights.h"

namespace grouper {
namespace {

bool is_stream(const std::filesystem::path& p) { return p == kStandardStream; }

void say(const std::string& message) { std::fprintf(stderr, "grouper compare: %s\n", message.c_str()); }

// One output of the run: a staged file, or standard output.
struct Target {
  const char* what;  // "differing records file", ...
  std::filesystem::path path;
  std::unique_ptr<StagedFile> staged;
  std::unique_ptr<OutputFile> file;
};

// Opens `t`; false (said) when it cannot be, or when it is the input or an
// output opened before it.
bool open_target(Target& t, const std::filesystem::path& input, const std::vector<const Target*>& before) {
  auto clash = [&](const std::filesystem::path& other) { return !is_stream(other) && same_file(t.path, other); };
  bool clashes = clash(input);
  for (const Target* b : before) clashes = clashes || clash(b->path);
  if (clashes) {
    say("cannot write " + std::string(t.what) + " " + t.path.string() + ": it is the input or another output");
    return false;
  }
  if (is_stream(t.path)) {
    // A stream of its own on standard output, so that closing it leaves
    // stdout usable after the run.
    std::fflush(stdout);
    const int fd = ::dup(STDOUT_FILENO);
    std::FILE* f = fd < 0 ? nullptr : ::fdopen(fd, "wb");
    if (!f) {
      if (fd >= 0) ::close(fd);
      say("cannot write " + std::string(t.what) + " to standard output");
      return false;
    }
    t.file = std::make_unique<OutputFile>(f);
    return true;
  }
  t.staged = std::make_unique<StagedFile>(t.path);
  errno = 0;
  std::FILE* f = t.staged->open();
  if (!f) {
    say("cannot open " + std::string(t.what) + " " + t.path.string() + ": " + std::strerror(errno));
    return false;
  }
  t.file = std::make_unique<OutputFile>(f);
  return true;
}

// Writes the end of `t`; false (said) on failure.
bool close_target(Target& t) {
  const bool written = is_stream(t.path) ? t.file->flush() : t.file->close();
  if (!written) say("cannot write " + std::string(t.what) + " " + t.path.string());
  return written;
}

// Moves `t` into place; false (said) on failure.
bool commit_target(Target& t) {
  if (!t.staged || t.staged->commit()) return true;
  say("cannot move " + std::string(t.what) + " " + t.path.string() + " into place");
  return false;
}

std::shared_ptr<const episode_grouper::TableSet> load(const char* which, const std::filesystem::path& dir) {
  episode_grouper::Status error;
  auto set = episode_grouper::TableSet::open(dir, error);
  if (!set) say(std::string("cannot load the ") + which + " tables: " + error.message);
  return set;
}

std::shared_ptr<const episode_grouper::TableRegistry> load_registry(const char* which,
                                                                    const std::filesystem::path& file) {
  episode_grouper::Status error;
  auto registry = episode_grouper::TableRegistry::open(file, error);
  if (!registry) {
    say(std::string("cannot load the ") + which + " registry: " + error.message);
    return nullptr;
  }
  for (const std::string& gap : registry->warnings()) say("warning: " + gap);
  return registry;
}

// The catalogue of one side, with a warning for its DRG texts that the
// side's tables never give; null (said) when it cannot be loaded.
std::shared_ptr<const episode_grouper::WeightCatalogue> load_weights(const char* which,
                                                                     const std::filesystem::path& file,
                                                                     const episode_grouper::TableSet& tables) {
  episode_grouper::Status error;
  auto catalogue = episode_grouper::WeightCatalogue::load(file, error);
  if (!catalogue) {
    say(std::string("cannot load the ") + which + " weights: " + error.message);
    return nullptr;
  }
  const std::vector<std::string> unknown = catalogue->unknown_drgs(tables);
  if (!unknown.empty()) {
    say(std::string("warning: ") + file.string() + ": " + std::to_string(unknown.size()) +
        " DRG(s) that the " + which + " tables never give, first " + unknown.front());
  }
  return catalogue;
}

}  // namespace

int run_compare(const ComparePaths& paths) {
  const bool stream_in = is_stream(paths.input);
  errno = 0;
  std::FILE* in = stream_in ? stdin : std::fopen(paths.input.c_str(), "rb");
  if (!in) {
    say("cannot open input " + paths.input.string() + ": " + std::strerror(errno));
    return kExitFailure;
  }
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> in_closer(stream_in ? nullptr : in, std::fclose);

  // The text summary goes to standard output, unless the rows take it.
  const bool rows_to_stdout = is_stream(paths.output);
  Target diff{"differing records file", paths.output, nullptr, nullptr};
  Target text{"summary file", paths.summary_file, nullptr, nullptr};
  Target json{"JSON summary", paths.json, nullptr, nullptr};
  std::vector<const Target*> opened;
  for (Target* t : {&diff, &text, &json}) {
    if (t->path.empty()) continue;
    if (!open_target(*t, paths.input, opened)) return kExitFailure;
    opened.push_back(t);
  }

  const bool by_date = !paths.old_registry.empty();
  std::shared_ptr<const episode_grouper::TableRegistry> old_registry, new_registry;
  std::shared_ptr<const episode_grouper::TableSet> old_set, new_set;
  if (by_date) {
    old_registry = load_registry("old", paths.old_registry);
    if (!old_registry) return kExitFailure;
    new_registry = load_registry("new", paths.new_registry);
    if (!new_registry) return kExitFailure;
    // The catalogues' DRGs are checked against each side's latest version.
    old_set = old_registry->versions().back().tables;
    new_set = new_registry->versions().back().tables;
  } else {
    old_set = load("old", paths.old_tables);
    if (!old_set) return kExitFailure;
    new_set = load("new", paths.new_tables);
    if (!new_set) return kExitFailure;
  }

  CompareSummary summary;
  CompareOptions options;
  options.threads = paths.threads;
  options.diff = diff.file.get();
  std::shared_ptr<const episode_grouper::WeightCatalogue> old_weights, new_weights;
  if (!paths.old_weights.empty()) {
    old_weights = load_weights("old", paths.old_weights, *old_set);
    if (!old_weights) return kExitFailure;
    new_weights = paths.new_weights == paths.old_weights ? old_weights
                                                         : load_weights("new", paths.new_weights, *new_set);
    if (!new_weights) return kExitFailure;
    options.old_weights = old_weights.get();
    options.new_weights = new_weights.get();
    summary.use_weights(paths.old_weights.string(), paths.new_weights.string());
  }
  std::optional<ProgressBar> bar;
  if (progress_wanted(paths.progress)) bar.emplace(stderr, bytes_left(in));
  if (bar) options.after_block = [&bar](int64_t records, uint64_t bytes) { bar->update(records, bytes); };
  const BatchOutcome outcome =
      by_date ? compare_batch(*old_registry, *new_registry, in, summary, options)
              : compare_batch(grouper::prepared(*old_set), grouper::prepared(*new_set), in, summary, options);
  if (bar) {
    if (outcome.end == BatchEnd::kDone) bar->finish();
    else bar->hide();
  }
  if (outcome.end == BatchEnd::kReadError) {
    say("cannot read input " + (stream_in ? std::string("standard input") : paths.input.string()));
    return kExitFailure;
  }
  if (outcome.end == BatchEnd::kWriteError) {
    say("cannot write differing records file " + paths.output.string());
    return kExitFailure;
  }

  const std::string old_name = (by_date ? paths.old_registry : paths.old_tables).string();
  const std::string new_name = (by_date ? paths.new_registry : paths.new_tables).string();
  const std::string summary_text = summary.text(old_name, new_name);
  if (text.file) text.file->write(summary_text);
  if (json.file) json.file->write(summary.json(old_name, new_name));
  // Every output is complete before the first is moved into place.
  bool ok = true;
  for (Target* t : {&diff, &text, &json}) {
    if (t->file) ok = close_target(*t) && ok;
  }
  for (Target* t : {&diff, &text, &json}) {
    if (ok && t->file) ok = commit_target(*t);
  }
  if (!ok) return kExitFailure;
  if (!text.file) {
    std::FILE* to = rows_to_stdout ? stderr : stdout;
    if (std::fputs(summary_text.c_str(), to) < 0 || std::fflush(to) != 0) {
      say("cannot write the summary");
      return kExitFailure;
    }
  }
  return kExitOk;
}

}  // namespace grouper
