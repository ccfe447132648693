// grouper-tables generate [--seed N] [--profile small|realistic|heavy] [--episodes N] OUTDIR
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

#include "commands.h"
#include "generate_episodes.h"
#include "generate_tables.h"
#include "tables/table_writer.h"

namespace grouper::tools {
namespace {

constexpr const char* kGenerateUsage =
    "usage: grouper-tables generate [--seed N] [--profile small|realistic|heavy] [--episodes N] OUTDIR\n"
    "\n"
    "Writes a synthetic table set (the sixteen table files) and an episode file\n"
    "tamv30.in of N lines (default 1000) into OUTDIR, which is created when\n"
    "missing.  The same seed and profile always give the same bytes.\n"
    "  --seed N       seed of the generator (default 1)\n"
    "  --profile P    small (default): a few hundred codes, for tests and demos;\n"
    "                 realistic: the scale of a national classification;\n"
    "                 heavy: realistic with about four times the rules per list\n"
    "  --episodes N   number of episode lines (0 writes an empty tamv30.in)\n";

bool parse_count(const char* text, uint64_t& value) {
  if (*text == '\0' || *text == '-') return false;
  char* end = nullptr;
  errno = 0;
  value = std::strtoull(text, &end, 10);
  return *end == '\0' && errno == 0;
}

int usage_error(const std::string& message) {
  std::fprintf(stderr, "grouper-tables generate: %s\n\n%s", message.c_str(), kGenerateUsage);
  return 2;
}

}  // namespace

int cmd_generate(int argc, char** argv) {
  uint64_t seed = 1;
  uint64_t episodes = 1000;
  const Profile* profile = find_profile("small");
  const char* out_dir = nullptr;
  for (int i = 0; i < argc; ++i) {
    const char* a = argv[i];
    const bool has_value = i + 1 < argc;
    if (is_help_flag(a)) {
      std::fputs(kGenerateUsage, stdout);
      return 0;
    } else if (std::strcmp(a, "--seed") == 0 && has_value) {
      if (!parse_count(argv[++i], seed)) return usage_error("--seed needs a whole number");
    } else if (std::strcmp(a, "--episodes") == 0 && has_value) {
      if (!parse_count(argv[++i], episodes)) return usage_error("--episodes needs a whole number");
    } else if (std::strcmp(a, "--profile") == 0 && has_value) {
      profile = find_profile(argv[++i]);
      if (!profile) return usage_error(std::string("no profile '") + argv[i] + "'");
    } else if (a[0] == '-' && a[1] != '\0') {
      return usage_error(std::string("unknown option or missing value: ") + a);
    } else if (out_dir) {
      return usage_error("one OUTDIR only");
    } else {
      out_dir = a;
    }
  }
  if (!out_dir) return usage_error("OUTDIR missing");

  const std::filesystem::path dir(out_dir);
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) {
    std::fprintf(stderr, "grouper-tables generate: cannot create %s: %s\n", out_dir, ec.message().c_str());
    return 1;
  }
  const SyntheticSet set = generate_tables(*profile, seed);
  std::string error;
  if (!write_tables(set.tables, dir, error)) {
    std::fprintf(stderr, "grouper-tables generate: %s\n", error.c_str());
    return 1;
  }
  const std::filesystem::path episodes_path = dir / "tamv30.in";
  std::FILE* f = std::fopen(episodes_path.c_str(), "wb");
  bool ok = f && write_episodes(set.model, seed ^ 0x5eed'e915'0de5ULL, episodes, f);
  if (f && std::fclose(f) != 0) ok = false;
  if (!ok) {
    std::fprintf(stderr, "grouper-tables generate: cannot write %s\n", episodes_path.c_str());
    return 1;
  }
  const TableStore& t = set.tables;
  std::printf("%s: %s table set (seed %llu): %u diagnoses, %u procedures, %u conditions, %u MDCs, "
              "%u ADRGs, %u DRGs, %u + %u rules; %llu episodes in tamv30.in\n",
              out_dir, std::string(profile->name).c_str(), static_cast<unsigned long long>(seed),
              t.dx_cnt - 1u, t.sg_cnt - 1u, static_cast<unsigned>(t.cond_cnt), t.mdc_cnt - 1u,
              t.adrg_cnt - 1u, t.drg_cnt - 1u, static_cast<unsigned>(t.tadrg.rule_cnt),
              static_cast<unsigned>(t.tadrg1.rule_cnt), static_cast<unsigned long long>(episodes));
  return 0;
}

}  // namespace grouper::tools
