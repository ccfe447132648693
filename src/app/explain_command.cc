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
    "and --input the record is the first line of standard input.";

constexpr const char* kFooter =
    "Exit status: 0 when the record was explained, 1 when the tables or the record\n"
    "could not be read, 2 on bad usage.";

struct ExplainOptions {
  std::string tables = ".";
  std::string line, input, format = "text", weights;
  uint64_t record = 0;
  bool impact = false;
  CLI::Option* line_given = nullptr;
  CLI::Option* input_given = nullptr;
};

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
  auto set = episode_grouper::TableSet::open(opt.tables, error);
  if (!set) return failure(error.message);
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
  const std::string text = episode_grouper::explain(*set, record, format, options);
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
  sub->add_option("--tables", opt->tables, "the table set (default: the current directory)")
      ->type_name("DIR")
      ->check(cli::non_empty());
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
