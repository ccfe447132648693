// Throughput of the grouping and of its stages on generated table sets of
// realistic size.
//
//   BM_GroupRecord/0|1   one Engine, records already in memory (the hot
//                        path), on the realistic set and on the heavy one
//                        (about four times the rules per list)
//   BM_Stages/1..4       the stages cumulatively, on the realistic set:
//                        1 preparation (values, codes, conditions), 2 with
//                        the rule passes, 3 with the age split and the
//                        complexity, 4 with the supplementary group and the
//                        result line; the differences are the stages' costs
//   BM_BatchRun/N        the whole batch run (read, group, write) with N threads
//
// Build with -DGROUPER_BENCH=ON; run build-bench/bench/grouper_bench.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "batch/run_loop.h"
#include "engine/engine.h"
#include "generate_episodes.h"
#include "generate_profile.h"
#include "generate_tables.h"
#include "output/result_line.h"
#include "record/record_layout.h"
#include "tables/table_writer.h"

namespace {

using namespace grouper;

constexpr uint64_t kSeed = 7;
constexpr size_t kEpisodes = 200000;

struct Fixture {
  tools::SyntheticSet set;
  std::unique_ptr<PreparedSet> tables;
  std::vector<char> lines;  // kEpisodes records of kEpisodeWidth bytes
  std::filesystem::path dir;

  explicit Fixture(const char* profile) : set(tools::generate_tables(*tools::find_profile(profile), kSeed)) {
    tools::EpisodeMaker maker(set.model, kSeed);
    lines.resize(kEpisodes * tools::kEpisodeWidth);
    for (size_t i = 0; i < kEpisodes; ++i) maker.make(i + 1, &lines[i * tools::kEpisodeWidth]);
    tables = std::make_unique<PreparedSet>(set.tables);

    dir = std::filesystem::temp_directory_path() / (std::string("grouper-bench-") + profile);
    std::filesystem::create_directories(dir);
    std::string error;
    if (!write_tables(set.tables, dir, error)) std::fprintf(stderr, "%s\n", error.c_str());
    std::FILE* in = std::fopen((dir / "tamv30.in").c_str(), "wb");
    tools::write_episodes(set.model, kSeed, kEpisodes, in);
    std::fclose(in);
  }
};

Fixture& fixture(bool heavy = false) {
  static Fixture realistic("realistic");
  if (!heavy) return realistic;
  static Fixture heavy_set("heavy");
  return heavy_set;
}

// Runs `step` on every record in turn (copied into a blank-padded line, as
// the batch run hands short records over), counting records per second.
template <class Step>
void over_records(benchmark::State& state, Fixture& f, Step step) {
  Engine grouper(*f.tables);
  std::vector<char> line(kLineBufferSize, ' ');
  size_t i = 0;
  for (auto _ : state) {
    std::copy_n(&f.lines[i * tools::kEpisodeWidth], tools::kEpisodeWidth, line.data());
    step(grouper, line.data());
    benchmark::DoNotOptimize(grouper.result());
    if (++i == kEpisodes) i = 0;
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_GroupRecord(benchmark::State& state) {
  int64_t grouped = 0;
  over_records(state, fixture(state.range(0) == 1), [&](Engine& g, char* line) {
    g.group(line, tools::kEpisodeWidth);
    grouped += g.result().res_adrg != 0;
  });
  state.counters["grouped"] = benchmark::Counter(static_cast<double>(grouped) / static_cast<double>(state.iterations()));
}
BENCHMARK(BM_GroupRecord)->Arg(0)->Arg(1);

void BM_Stages(benchmark::State& state) {
  const int64_t upto = state.range(0);
  Fixture& f = fixture();
  const TableStore& store = f.tables->store();
  char out[kMaxResultLineBytes];
  over_records(state, f, [&](Engine& g, char* line) {
    g.select_rule_set(line);
    g.prepare_record(line, tools::kEpisodeWidth);
    if (upto < 2) return;
    g.find_mdc();
    if (g.result().res_mdc != 0) g.find_adrg();
    if (upto < 3) return;
    if (g.result().res_adrg != 0) {
      g.find_drg();
      g.calc_pccl();
    }
    if (upto < 4) return;
    g.find_ltcdrg();
    benchmark::DoNotOptimize(format_result_line(line, tools::kEpisodeWidth, adrg_text(store, g.result().res_adrg),
                                                supplementary_text(g.result()), out));
  });
}
BENCHMARK(BM_Stages)->DenseRange(1, 4);

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
