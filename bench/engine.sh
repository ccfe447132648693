#!/usr/bin/env bash
# The grouping's own cost per record, beside a baseline build of the engine,
# in one run: what a change of the engine gains, measured side by side.
#
#   bench/engine.sh BASELINE [BUILD] [EPISODES] [REPEAT]
#        (defaults: build-bench, 200000, 3)
#
# BASELINE and BUILD are build directories made with -DGROUPER_BENCH=ON (the
# baseline, say, of an older commit in a worktree of its own:
#   git worktree add /tmp/baseline COMMIT
#   cmake -S /tmp/baseline -B /tmp/baseline/build-bench -G Ninja -DGROUPER_BENCH=ON \
#     -DGROUPER_TESTS=OFF -DGROUPER_PYTHON=OFF && ninja -C /tmp/baseline/build-bench
# ).  Generates, in a tmpfs directory, the realistic and the heavy table set
# (about four times the rules per list) and EPISODES episodes, then runs,
# REPEAT rounds side by side: the I/O floor of BUILD (reads, splits and
# writes the same lines without grouping), and each build's grouper with one
# thread on both sets, and BUILD's on every core.  Prints, per round:
#   - the grouping's CPU per record of each build on the realistic set (the
#     CPU time of the whole process, user and system, less the floor's, per
#     record) and the speed-up, baseline / build;
#   - BUILD's heavy / realistic ratio of that CPU;
#   - BUILD's every-core run against the floor: wall time / floor wall time;
# then, counted by valgrind's cachegrind on a share of the episodes (a
# figure that does not swing with the machine's load), each build's
# instructions, first-level data misses and last-level misses per record,
# reading and writing included.
set -euo pipefail
cd "$(dirname "$0")/.."
[[ $# -ge 1 ]] || { echo "usage: bench/engine.sh BASELINE [BUILD] [EPISODES] [REPEAT]" >&2; exit 2; }
baseline=$1
build=${2:-build-bench}
episodes=${3:-200000}
repeat=${4:-3}
source bench/common.sh
bench_need_tools engine "build with -DGROUPER_BENCH=ON" "$build/src/grouper" "$build/tools/grouper-tables" \
  "$build/bench/io_floor" "$baseline/src/grouper"
[[ -x /usr/bin/time ]] || { echo "engine: /usr/bin/time is missing (Debian package time)" >&2; exit 1; }
bench_need_command engine valgrind valgrind
((episodes >= 2)) || { echo "engine: EPISODES must be 2 or more" >&2; exit 2; }

work=$(bench_work_dir grouper-engine)
trap 'rm -rf "$work"' EXIT
"$build/tools/grouper-tables" generate --seed 1 --profile realistic --episodes "$episodes" "$work/realistic" \
  > /dev/null
"$build/tools/grouper-tables" generate --seed 1 --profile heavy --episodes 0 "$work/heavy" > /dev/null
input=$work/realistic/tamv30.in
echo "$episodes records, $(stat -c %s "$input") bytes, in $work; $(nproc) cores"
echo "build $build beside baseline $baseline"

# Runs a command under /usr/bin/time; prints "cpu_seconds wall_seconds".
measure() {
  /usr/bin/time -f '%U %S %e' -o "$work/.time" "$@" > /dev/null 2>&1
  awk '{ printf "%.3f %.3f\n", $1 + $2, $3 }' "$work/.time"
}
group() {  # GROUPER SET THREADS
  measure "$1" --tables "$work/$2" --input "$input" --output "$work/out" --threads "$3"
}
# Nanoseconds per record of CPU above the floor.
above() { echo "($1 - $2) * 1000000000 / $episodes" | bc -l; }

printf '%-6s %12s %12s %9s %14s %14s\n' round base_ns/rec build_ns/rec speed-up heavy/realistic every-core/floor
for ((round = 1; round <= repeat; round++)); do
  read -r floor_cpu floor_wall < <(measure "$build/bench/io_floor" "$input" "$work/floor.out")
  read -r base_cpu _ < <(group "$baseline/src/grouper" realistic 1)
  read -r one_cpu _ < <(group "$build/src/grouper" realistic 1)
  read -r heavy_cpu _ < <(group "$build/src/grouper" heavy 1)
  read -r _ all_wall < <(group "$build/src/grouper" realistic 0)
  base_ns=$(above "$base_cpu" "$floor_cpu")
  one_ns=$(above "$one_cpu" "$floor_cpu")
  heavy_ns=$(above "$heavy_cpu" "$floor_cpu")
  printf '%-6s %12.0f %12.0f %9.2f %14.3f %14.3f\n' "$round" "$base_ns" "$one_ns" \
    "$(echo "$base_ns / $one_ns" | bc -l)" "$(echo "$heavy_ns / $one_ns" | bc -l)" \
    "$(echo "$all_wall / $floor_wall" | bc -l)"
done

# Cachegrind's counts of one run, the whole process: "instructions d1_misses ll_misses".
counts() {  # GROUPER SET INPUT
  valgrind --tool=cachegrind --cache-sim=yes --cachegrind-out-file=/dev/null "$1" --tables "$work/$2" \
    --input "$3" --output /dev/null --threads 1 2>&1 > /dev/null |
    awk '/I *refs:/ { gsub(",", "", $4); i = $4 }
         /D1  misses:/ { gsub(",", "", $4); d = $4 }
         /LLd misses:/ { gsub(",", "", $4); l = $4 }
         END { print i, d, l }'
}
share=$((episodes < 20000 ? episodes : 20000))
head -n "$share" "$input" > "$work/share.in"
head -n 1 "$input" > "$work/one.in"
echo "per record, counted by cachegrind over $share records (opening the tables taken out):"
printf '%-9s %-10s %13s %10s %10s\n' build set instructions D1_misses LL_misses
for who in baseline build; do
  grouper=$baseline/src/grouper
  [[ $who == build ]] && grouper=$build/src/grouper
  for set in realistic heavy; do
    read -r ai ad al < <(counts "$grouper" "$set" "$work/share.in")
    read -r oi od ol < <(counts "$grouper" "$set" "$work/one.in")
    n=$((share - 1))
    printf '%-9s %-10s %13.0f %10.1f %10.2f\n' "$who" "$set" "$(echo "($ai - $oi) / $n" | bc -l)" \
      "$(echo "($ad - $od) / $n" | bc -l)" "$(echo "($al - $ol) / $n" | bc -l)"
  done
done
