// grouper-tables generate [--seed N] [--profile small|realistic|heavy] [--episodes N]
// [--episodes-format fixed|csv|jsonl] OUTDIR: a synthetic table set and episodes.
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>

#include "app/command_line.h"
#include "commands.h"
#include "generate_episodes.h"
#include "generate_tables.h"
#include "generate_weights.h"
#include "tables/table_writer.h"

namespace grouper::tools {
namespace {

constexpr const char* kGenerateHelp =
    "make a synthetic table set and an episode file\n"
    "\n"
    "Writes a synthetic table set (the sixteen table files) and an episode file\n"
    "tamv30.in of N lines (default 1000) into OUTDIR, which is created when\n"
    "missing, with a cost weight catalogue weights.tsv for the set (grouper\n"
    "--weights).  With --episodes-format csv or jsonl, the same episodes are\n"
    "also written as named fields, episodes.csv or episodes.jsonl (grouper\n"
    "--input-format).  The same seed and profile always give the same bytes.";

struct GenerateArgs {
  uint64_t seed = 1;
  uint64_t episodes = 1000;
  std::string profile = "small";
  std::string episodes_format = "fixed";
  std::string out_dir;
};

int generate(const GenerateArgs& args) {
  const Profile* profile = find_profile(args.profile);
  const char* out_dir = args.out_dir.c_str();
  const std::filesystem::path dir(out_dir);
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) {
    std::fprintf(stderr, "grouper-tables generate: cannot create %s: %s\n", out_dir, ec.message().c_str());
    return 1;
  }
  const SyntheticSet set = generate_tables(*profile, args.seed);
  std::string error;
  if (!write_tables(set.tables, dir, error)) {
    std::fprintf(stderr, "grouper-tables generate: %s\n", error.c_str());
    return 1;
  }
  const std::filesystem::path episodes_path = dir / "tamv30.in";
  std::FILE* f = std::fopen(episodes_path.c_str(), "wb");
  bool ok = f && write_episodes(set.model, args.seed ^ 0x5eed'e915'0de5ULL, args.episodes, f);
  if (f && std::fclose(f) != 0) ok = false;
  if (!ok) {
    std::fprintf(stderr, "grouper-tables generate: cannot write %s\n", episodes_path.c_str());
    return 1;
  }
  std::string named;
  if (args.episodes_format != "fixed") {
    const bool csv = args.episodes_format == "csv";
    named = csv ? "episodes.csv" : "episodes.jsonl";
    const std::filesystem::path named_path = dir / named;
    std::FILE* e = std::fopen(named_path.c_str(), "wb");
    bool named_ok = e && write_episodes(set.model, args.seed ^ 0x5eed'e915'0de5ULL, args.episodes, e,
                                        csv ? EpisodeFormat::kCsv : EpisodeFormat::kJsonl);
    if (e && std::fclose(e) != 0) named_ok = false;
    if (!named_ok) {
      std::fprintf(stderr, "grouper-tables generate: cannot write %s\n", named_path.c_str());
      return 1;
    }
    named = " and " + named;
  }
  const std::filesystem::path weights_path = dir / "weights.tsv";
  const std::string weights = generate_weights(set.tables, args.seed ^ 0x3e19'4175ULL);
  std::FILE* w = std::fopen(weights_path.c_str(), "wb");
  bool weights_ok = w && std::fwrite(weights.data(), 1, weights.size(), w) == weights.size();
  if (w && std::fclose(w) != 0) weights_ok = false;
  if (!weights_ok) {
    std::fprintf(stderr, "grouper-tables generate: cannot write %s\n", weights_path.c_str());
    return 1;
  }
  const TableStore& t = set.tables;
  std::printf("%s: %s table set (seed %llu): %u diagnoses, %u procedures, %u conditions, %u MDCs, "
              "%u ADRGs, %u DRGs, %u + %u rules; %llu episodes in tamv30.in%s; weights.tsv\n",
              out_dir, std::string(profile->name).c_str(), static_cast<unsigned long long>(args.seed),
              t.dx_cnt - 1u, t.sg_cnt - 1u, static_cast<unsigned>(t.cond_cnt), t.mdc_cnt - 1u,
              t.adrg_cnt - 1u, t.drg_cnt - 1u, static_cast<unsigned>(t.tadrg.rule_cnt),
              static_cast<unsigned>(t.tadrg1.rule_cnt), static_cast<unsigned long long>(args.episodes), named.c_str());
  return 0;
}

}  // namespace

void add_generate_command(CLI::App& app, int& status) {
  CLI::App* sub = app.add_subcommand("generate", kGenerateHelp);
  auto args = std::make_shared<GenerateArgs>();
  sub->add_option("OUTDIR", args->out_dir, "where the table set and tamv30.in go")->required()->type_name("");
  cli::add_count_option(*sub, "--seed", args->seed, "seed of the generator (default 1)");
  sub->add_option("--profile", args->profile,
                  "small (default): a few hundred codes, for tests and demos; realistic: the scale of a national "
                  "classification; heavy: realistic with about four times the rules per list")
      ->type_name("P")
      ->check(CLI::IsMember({"small", "realistic", "heavy"}));
  cli::add_count_option(*sub, "--episodes", args->episodes, "number of episode lines (0 writes an empty tamv30.in)");
  sub->add_option("--episodes-format", args->episodes_format,
                  "fixed (default): the episodes as records in tamv30.in only; csv or jsonl: also the same "
                  "episodes as named fields in episodes.csv or episodes.jsonl")
      ->type_name("F")
      ->check(CLI::IsMember({"fixed", "csv", "jsonl"}));
  sub->callback([args, &status] { status = generate(*args); });
}

}  // namespace grouper::tools
