// grouper explain: every step the grouping took for one record.
#include "app/commands.h"

#include <memory>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "app/command_line.h"
#include "batch/line_reader.h"
#include "episode_grouper/explain.h"
#include "episode_grouper/table_registry.h"
#include "episode_grouper/table_set.h"

namespace grouper {
namespace {

constexpr int kExitFailure = 1;

constexpr const char* kDescription =
    "every step the grouping took for one record\n"
    "\n"
    "Groups one episode record and prints every step the grouping took for it, in\n"
    "the order the grouper runs: the record values and the age, the rule set, every\n"
    "code lookup, the rewrite, repeats and dagger/asterisk exchange, the conditions\n"
    "set, each rule pass with the rules that failed on one slot only before the rule\n"
    "that matched, the age split and DRG, the CCLs and exclusions, the PCCL, the\n"
    "supplementary group, the result and the findings; with --impact, last, the codes\n"
    "whose removal changes the DRG (or, with --weights, the weight).  Without --line\n"
    "and --input the record is the first line of standard input.  With --registry the\n"
    "record is explained with the table version of its record date, named first with why.";

constexpr const char* kFooter =
    "Exit status: 0 when the record was explained, 1 when the tables or the record\n"
    "could not be read, 2 on bad usage.";

struct ExplainOptions {
  std::string tables = ".";
  std::string line, input, format = "text", weights, registry;
  uint64_t record = 0;
  bool impact = false;
  CLI::Option* line_given = nullptr;
  CLI::Option* input_given = nullptr;
  CLI::Option* registry_given = nullptr;
};

// Which version of `registry` a record takes and why, as text or as the
// JSON member "table_version" (with its comma); `version` receives its index.
std::string version_reason(const episode_grouper::TableRegistry& registry, std::string_view record, bool json,
                           int& version) {
  const int32_t date = episode_grouper::TableRegistry::record_date(record);
  version = registry.version_of_date(date);
  auto shown = [](int32_t d, bool end) {
    return d == (end ? episode_grouper::TableRegistry::kOpenTo : episode_grouper::TableRegistry::kOpenFrom)
               ? std::string("open")
               : std::to_string(d);
  };
  const std::string file = registry.file().string();
  std::string why;
  if (version >= 0) {
    const episode_grouper::TableVersion& v = registry.versions()[static_cast<size_t>(version)];
    why = "its window " + shown(v.valid_from, false) + ".." + shown(v.valid_to, true) + " (" + file + " line " +
          std::to_string(v.line) + ") holds the record date " + std::to_string(date);
  } else if (date <= 0) {
    why = std::string("the record date is ") + (date == 0 ? "blank (0)" : "unreadable (-1)") +
          ": a record takes no version then";
  } else {
    why = "no window of " + file + " holds the record date " + std::to_string(date);
  }
  if (!json) {
    const std::string name =
        version >= 0 ? registry.versions()[static_cast<size_t>(version)].name : std::string("none");
    return "table version: " + name + ": " + why + "\n" + (version >= 0 ? "\n" : "");
  }
  // Names and files hold no byte that JSON must escape but quotes and
  // backslashes, escaped here.
  auto quoted = [](const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
      if (c == '"' || c == '\\') out += '\\';
      out += c;
    }
    return out + "\"";
  };
  const std::string name =
      version >= 0 ? quoted(registry.versions()[static_cast<size_t>(version)].name) : std::string("null");
  return "\"table_version\":{\"name\":" + name + ",\"rec_date\":" + std::to_string(date) +
         ",\"why\":" + quoted(why) + "}";
}

int failure(const std::string& message) {
  std::fprintf(stderr, "grouper explain: %s\n", message.c_str());
  return kExitFailure;
}

// Record `number` (from 1) of `in`, or nothing when the input is shorter.
std::optional<std::string> nth_record(std::FILE* in, uint64_t number, bool& failed) {
  LineReader reader(in, size_t{1} << 16);
  for (uint64_t n = 1;; ++n) {
    const std::string_view record = reader.next_record();
    failed = reader.failed();
    if (record.empty()) return std::nullopt;
    if (n == number) return std::string(record);
  }
}

int run_explain(const ExplainOptions& opt) {
  const episode_grouper::ExplainFormat format =
      opt.format == "json" ? episode_grouper::ExplainFormat::kJson : episode_grouper::ExplainFormat::kText;
  const bool from_line = opt.line_given->count() > 0;
  const std::optional<std::string> input =
      opt.input_given->count() > 0 ? std::optional<std::string>(opt.input) : std::nullopt;
  const uint64_t number = input ? opt.record : 1;
  episode_grouper::Status error;
  std::shared_ptr<const episode_grouper::TableSet> set;
  std::shared_ptr<const episode_grouper::TableRegistry> registry;
  if (opt.registry_given->count() > 0) {
    registry = episode_grouper::TableRegistry::open(opt.registry, error);
    if (!registry) return failure(error.message);
  } else {
    set = episode_grouper::TableSet::open(opt.tables, error);
    if (!set) return failure(error.message);
  }
  std::shared_ptr<const episode_grouper::WeightCatalogue> weights;
  if (!opt.weights.empty()) {
    weights = episode_grouper::WeightCatalogue::load(opt.weights, error);
    if (!weights) return failure(error.message);
  }

  std::string record;
  if (from_line) {
    record = opt.line;
  } else {
    const bool from_stdin = !input || *input == "-";
    std::FILE* in = from_stdin ? stdin : std::fopen(input->c_str(), "rb");
    if (!in) return failure("cannot open " + *input + ": " + std::strerror(errno));
    bool failed = false;
    std::optional<std::string> found = nth_record(in, number, failed);
    if (!from_stdin) std::fclose(in);
    if (failed) return failure("cannot read " + (from_stdin ? std::string("standard input") : *input));
    if (!found) {
      return failure((from_stdin ? std::string("standard input") : *input) + " has no record " +
                     std::to_string(number));
    }
    record = std::move(*found);
  }
  episode_grouper::ExplainOptions options;
  options.impact = opt.impact;
  options.weights = weights.get();
  std::string text;
  if (registry) {
    const bool json = format == episode_grouper::ExplainFormat::kJson;
    int version = episode_grouper::TableRegistry::kNoVersion;
    const std::string reason = version_reason(*registry, record, json, version);
    if (version >= 0) {
      const std::string rest = episode_grouper::explain(*registry->versions()[static_cast<size_t>(version)].tables,
                                                        record, format, options);
      // The document's first member: the version and why.
      text = json ? "{" + reason + "," + rest.substr(1) : reason + rest;
    } else {
      text = json ? "{" + reason + "}\n" : reason;
    }
  } else {
    text = episode_grouper::explain(*set, record, format, options);
  }
  if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0) {
    return failure("cannot write the explanation");
  }
  return 0;
}

}  // namespace

void add_explain_command(CLI::App& app, int& status) {
  auto opt = std::make_shared<ExplainOptions>();
  CLI::App* sub = app.add_subcommand("explain", kDescription);
  sub->footer(kFooter);
  CLI::Option* tables = sub->add_option("--tables", opt->tables, "the table set (default: the current directory)")
                            ->type_name("DIR")
                            ->check(cli::non_empty());
  opt->registry_given = sub->add_option("--registry", opt->registry,
                                        "instead of --tables, a registry of table versions: the record is explained "
                                        "with the version of its record date, named first with why")
                            ->type_name("FILE")
                            ->check(cli::non_empty())
                            ->excludes(tables);
  opt->line_given = sub->add_option("--line", opt->line, "the record itself")->type_name("TEXT");
  opt->input_given =
      sub->add_option("--input", opt->input, "the episode file ('-': standard input) ...")->type_name("FILE");
  CLI::Option* record = sub->add_option("--record", opt->record, "... and the record's number in it, from 1")
                            ->type_name("N")
                            ->check(CLI::Range(uint64_t{1}, UINT64_MAX));
  opt->input_given->needs(record);
  record->needs(opt->input_given);
  opt->line_given->excludes(opt->input_given);
  sub->add_option("--format", opt->format, "words for a person (default) or one JSON document")
      ->type_name("text|json")
      ->check(CLI::IsMember({"text", "json"}));
  CLI::Option* impact =
      sub->add_flag("--impact", opt->impact,
                    "also show what each code is worth: the record grouped again without each of its codes in "
                    "positions 2..46, and the DRG of each code whose removal changes it");
  sub->add_option("--weights", opt->weights,
                  "with --impact: the cost weight catalogue FILE, for the effective weight without each code and "
                  "its difference")
      ->type_name("FILE")
      ->check(cli::non_empty())
      ->needs(impact);
  sub->callback([opt, &status] { status = run_explain(*opt); });
}

}  // namespace grouper
