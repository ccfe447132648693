// Throughput of the grouping on a table set of realistic size.
//
//   BM_GroupRecord      one Grouper, records already in memory: the hot path
//   BM_BatchRun/N       the whole batch run (read, group, write) with N threads
//
// Build with -DGROUPER_BENCH=ON; run build-bench/bench/grouper_bench.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "grouper/record_layout.h"
#include "driver/run_loop.h"
#include "generate_episodes.h"
#include "generate_profile.h"
#include "generate_tables.h"
#include "grouper/grouper.h"
#include "tables/table_writer.h"

namespace {

using namespace grouper;

constexpr uint64_t kSeed = 7;
constexpr size_t kEpisodes = 200000;

struct Fixture {
  tools::SyntheticSet set;
  std::vector<char> lines;  // kEpisodes records of kEpisodeWidth bytes
  std::filesystem::path dir;

  Fixture() : set(tools::generate_tables(*tools::find_profile("realistic"), kSeed)) {
    tools::EpisodeMaker maker(set.model, kSeed);
    lines.resize(kEpisodes * tools::kEpisodeWidth);
    for (size_t i = 0; i < kEpisodes; ++i) maker.make(i + 1, &lines[i * tools::kEpisodeWidth]);

    dir = std::filesystem::temp_directory_path() / "grouper-bench";
    std::filesystem::create_directories(dir);
    std::string error;
    if (!write_tables(set.tables, dir, error)) std::fprintf(stderr, "%s\n", error.c_str());
    std::FILE* in = std::fopen((dir / "tamv30.in").c_str(), "wb");
    tools::write_episodes(set.model, kSeed, kEpisodes, in);
    std::fclose(in);
    normalize_rules(set.tables);
  }
};

Fixture& fixture() {
  static Fixture f;
  return f;
}

void BM_GroupRecord(benchmark::State& state) {
  Fixture& f = fixture();
  TableSet grouper_set(f.set.tables);
  Grouper grouper(grouper_set);
  std::vector<char> line(kLineBufferSize, ' ');
  size_t i = 0;
  int64_t grouped = 0;
  for (auto _ : state) {
    std::copy_n(&f.lines[i * tools::kEpisodeWidth], tools::kEpisodeWidth, line.data());
    grouper.group(line.data(), tools::kEpisodeWidth);
    grouped += grouper.result().res_adrg != 0;
    benchmark::DoNotOptimize(grouper.result());
    if (++i == kEpisodes) i = 0;
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["grouped"] = benchmark::Counter(static_cast<double>(grouped) / static_cast<double>(state.iterations()));
}
BENCHMARK(BM_GroupRecord);

void BM_BatchRun(benchmark::State& state) {
  Fixture& f = fixture();
  RunPaths paths;
  paths.tables_dir = f.dir;
  paths.input = f.dir / "tamv30.in";
  paths.output = f.dir / "tamv30.out";
  paths.threads = static_cast<int>(state.range(0));
  // The run's progress and end messages go to /dev/null.
  std::fflush(stdout);
  const int saved = ::dup(STDOUT_FILENO);
  const int null = ::open("/dev/null", O_WRONLY);
  ::dup2(null, STDOUT_FILENO);
  for (auto _ : state) run_batch(paths);
  std::fflush(stdout);
  ::dup2(saved, STDOUT_FILENO);
  ::close(null);
  ::close(saved);
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(kEpisodes));
}
BENCHMARK(BM_BatchRun)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
