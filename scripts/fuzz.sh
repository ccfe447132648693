#!/usr/bin/env bash
# Builds the fuzz targets with clang, libFuzzer, ASan and UBSan in
# build-fuzz/ and runs each for SECONDS (default 60), starting from its seed
# corpus in fuzz/corpus/.  New inputs the fuzzer keeps go to
# build-fuzz/corpus/TARGET (so a longer run goes on where the last stopped),
# crashes to build-fuzz/crashes/.  Exits non-zero when a target crashes,
# leaks, runs out of memory or takes more than 10 seconds on one input.
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]     targets: table_set record text_build json_rows weights serve episode
#
# CI runs every target for 30 seconds; a longer local run, e.g. an hour each:
#   nice -n 19 scripts/fuzz.sh 3600
# A crash found becomes a test: add the input to fuzz/corpus/TARGET (replayed
# by every build's tests) and a test of the behaviour under tests/.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
shift || true
targets=("$@")
((${#targets[@]} > 0)) || targets=(table_set record text_build json_rows weights serve episode)
jobs=$(nproc 2>/dev/null || echo 2)

cmake -S . -B build-fuzz -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DGROUPER_FUZZ=ON -DGROUPER_TESTS=OFF -DGROUPER_PYTHON=OFF >/dev/null
cmake --build build-fuzz -j "$jobs" --target "${targets[@]/#/fuzz_}"

status=0
mkdir -p build-fuzz/crashes
for target in "${targets[@]}"; do
  work=build-fuzz/corpus/$target
  log=build-fuzz/$target.log
  mkdir -p "$work"
  echo "== fuzz $target for ${seconds}s"
  if build-fuzz/fuzz/fuzz_"$target" "$work" "fuzz/corpus/$target" -max_total_time="$seconds" -timeout=10 \
      -rss_limit_mb=2048 -artifact_prefix="build-fuzz/crashes/$target-" -print_final_stats=1 >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    kept=$(sed -n 's/^stat::new_units_added: *//p' "$log")
    echo "fuzz $target: ${runs:-?} inputs run, ${kept:-?} new ones kept, no crash"
  else
    status=1
    echo "fuzz $target: FAILED; the last lines of $log:" >&2
    tail -n 40 "$log" >&2
    ls build-fuzz/crashes/"$target"-* 2>/dev/null >&2 || true
  fi
done
exit "$status"
