// grouper explain: every step the grouping took for one record.
#include "app/explain_command.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "driver/line_reader.h"
#include "episode_grouper/explain.h"
#include "episode_grouper/table_set.h"

namespace grouper {
namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

constexpr const char* kHelp =
    "Usage: grouper explain [--tables DIR] (--line TEXT | --input FILE --record N) [--format text|json]\n"
    "Groups one episode record and prints every step the grouping took for it, in\n"
    "the order the grouper runs: the record values and the age, the rule set, every\n"
    "code lookup, the rewrite, repeats and dagger/asterisk exchange, the conditions\n"
    "set, each rule pass with the rules that failed on one slot only before the rule\n"
    "that matched, the age split and DRG, the CCLs and exclusions, the PCCL, the\n"
    "supplementary group, the result and the findings.  Without --line and --input\n"
    "the record is the first line of standard input.\n"
    "\n"
    "  --tables DIR        the table set (default: the current directory)\n"
    "  --line TEXT         the record itself\n"
    "  --input FILE        the episode file ('-': standard input) ...\n"
    "  --record N          ... and the record's number in it, from 1\n"
    "  --format text|json  words for a person (default) or one JSON document\n"
    "  -h, --help          print this help and exit\n"
    "\n"
    "Exit status: 0 when the record was explained, 1 when the tables or the record\n"
    "could not be read, 2 on bad usage.\n";

int usage_error(const std::string& message) {
  std::fprintf(stderr, "grouper explain: %s\nTry 'grouper explain --help' for more information.\n", message.c_str());
  return kExitUsage;
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

}  // namespace

int explain_command(int argc, char** argv) {
  std::optional<std::string> tables, line, input, record_text, format_text;
  for (int i = 0; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      std::fputs(kHelp, stdout);
      return 0;
    }
    std::optional<std::string>* target = arg == "--tables"   ? &tables
                                          : arg == "--line"   ? &line
                                          : arg == "--input"  ? &input
                                          : arg == "--record" ? &record_text
                                          : arg == "--format" ? &format_text
                                                              : nullptr;
    if (!target) return usage_error("unknown argument '" + std::string(arg) + "'");
    if (i + 1 >= argc) return usage_error("option '" + std::string(arg) + "' needs a value");
    if (*target) return usage_error("option '" + std::string(arg) + "' given twice");
    *target = argv[++i];
  }
  episode_grouper::ExplainFormat format = episode_grouper::ExplainFormat::kText;
  if (format_text) {
    if (*format_text == "json") format = episode_grouper::ExplainFormat::kJson;
    else if (*format_text != "text") return usage_error("option '--format' takes text or json");
  }
  if (line && (input || record_text)) return usage_error("give --line or --input with --record, not both");
  if (input.has_value() != record_text.has_value()) return usage_error("--input and --record go together");
  uint64_t number = 1;
  if (record_text) {
    char* end = nullptr;
    errno = 0;
    number = std::strtoull(record_text->c_str(), &end, 10);
    if (record_text->empty() || *end != '\0' || errno != 0 || number == 0 || (*record_text)[0] == '-') {
      return usage_error("option '--record' takes a record number from 1");
    }
  }

  episode_grouper::OpenError error;
  auto set = episode_grouper::TableSet::open(tables.value_or("."), error);
  if (!set) return failure(error.message);

  std::string record;
  if (line) {
    record = *line;
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
  const std::string text = episode_grouper::explain(*set, record, format);
  if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0) {
    return failure("cannot write the explanation");
  }
  return 0;
}

}  // namespace grouper
