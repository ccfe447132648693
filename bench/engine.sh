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
# and, as "best", the same figures from the least time each run took over
# the rounds (what a busy machine adds only ever adds, so the least is the
# steadiest figure on a shared host);
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

# Runs a command; prints "cpu_seconds wall_seconds", to the millisecond
# (the shell's own timing: /usr/bin/time gives hundredths, some 50 ns a
# record of 200,000).
measure() {
  local TIMEFORMAT='%3U %3S %3R'
  { time "$@" > /dev/null 2>&1; } 2> "$work/.time"
  awk '{ printf "%.3f %.3f\n", $1 + $2, $3 }' "$work/.time"
}
group() {  # GROUPER SET THREADS
  measure "$1" --tables "$work/$2" --input "$input" --output "$work/out" --threads "$3"
}
# Nanoseconds per record of CPU above the floor.
above() { echo "($1 - $2) * 1000000000 / $episodes" | bc -l; }

# The lesser of two numbers, the second when the first is empty.
least() { awk -v a="$1" -v b="$2" 'BEGIN { print (a == "" || b + 0 < a + 0) ? b : a }'; }
# One row of the table: LABEL FLOOR_CPU FLOOR_WALL BASE_CPU ONE_CPU HEAVY_CPU ALL_WALL.
row() {
  local base_ns one_ns heavy_ns
  base_ns=$(above "$4" "$2")
  one_ns=$(above "$5" "$2")
  heavy_ns=$(above "$6" "$2")
  printf '%-6s %12.0f %12.0f %9.2f %14.3f %14.3f\n' "$1" "$base_ns" "$one_ns" \
    "$(echo "$base_ns / $one_ns" | bc -l)" "$(echo "$heavy_ns / $one_ns" | bc -l)" "$(echo "$7 / $3" | bc -l)"
}

printf '%-6s %12s %12s %9s %14s %14s\n' round base_ns/rec build_ns/rec speed-up heavy/realistic every-core/floor
least_floor_cpu='' least_floor_wall='' least_base='' least_one='' least_heavy='' least_all=''
for ((round = 1; round <= repeat; round++)); do
  read -r floor_cpu floor_wall < <(measure "$build/bench/io_floor" "$input" "$work/floor.out")
  read -r base_cpu _ < <(group "$baseline/src/grouper" realistic 1)
  read -r one_cpu _ < <(group "$build/src/grouper" realistic 1)
  read -r heavy_cpu _ < <(group "$build/src/grouper" heavy 1)
  read -r _ all_wall < <(group "$build/src/grouper" realistic 0)
  row "$round" "$floor_cpu" "$floor_wall" "$base_cpu" "$one_cpu" "$heavy_cpu" "$all_wall"
  least_floor_cpu=$(least "$least_floor_cpu" "$floor_cpu")
  least_floor_wall=$(least "$least_floor_wall" "$floor_wall")
  least_base=$(least "$least_base" "$base_cpu")
  least_one=$(least "$least_one" "$one_cpu")
  least_heavy=$(least "$least_heavy" "$heavy_cpu")
  least_all=$(least "$least_all" "$all_wall")
done
row best "$least_floor_cpu" "$least_floor_wall" "$least_base" "$least_one" "$least_heavy" "$least_all"

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

# Where BUILD's grouping goes, stage by stage: cachegrind's counts of the
# stages' own functions per record (the stages' helpers that the compiler
# keeps apart counted with their stage), with the last level modelled as the
# 1 MiB second-level cache (so its misses are the waits for table data
# beyond it) and the mispredicted branches of its simple predictor (a guide
# to where they fall, not the processor's own figure).  The record's own
# bytes count as misses where it is first read (the kernel wrote them,
# unseen by cachegrind).  "rest" is the reading, the result lines and the
# writing.
stage_counts() {  # SET INPUT -> "function-level counts, one line per function"
  valgrind --tool=cachegrind --cache-sim=yes --branch-sim=yes --LL=1048576,16,64 \
    --cachegrind-out-file="$work/.cg" "$build/src/grouper" --tables "$work/$1" --input "$2" --output /dev/null \
    --threads 1 > /dev/null 2>&1
  cg_annotate --show=Ir,D1mr,DLmr,Bcm --sort=Ir --threshold=0 --auto=no "$work/.cg" 2>/dev/null
}
stages() {  # SET
  { stage_counts "$1" "$work/share.in"; echo '#one'; stage_counts "$1" "$work/one.in"; } |
    awk -v n="$share" '
      BEGIN { one = 0 }
      function stage(f) {
        if (f ~ /Engine::(set_table_conds|set_logic_conds|check_logic_setting|walk_cond_rows|for_each_cond_row)/) return "conditions"
        if (f ~ /Engine::(find_mdc|find_adrg|first_match|traced_match)|RuleIndex::(first_match|match_)|first_match_scan|failing_tests/) return "rule passes"
        if (f ~ /Engine::find_drg/) return "DRG split"
        if (f ~ /Engine::(calc_pccl|find_ccl|apply_sex_exclusion|is_cc_excluded|clear_complexity)/) return "complexity"
        if (f ~ /Engine::find_ltcdrg/) return "supplementary"
        if (f ~ /Engine::(group|select_rule_set|prepare_record|load_dx_codes|reset_record|note_fields|note)\(|grouper::calc_age|record_values/) return "record prep"
        return ""
      }
      /^#one/ { one = 1; next }
      {
        line = $0
        gsub(/\( *[0-9.]+%\)/, "", line)
        if (split(line, v, " ") < 5 || v[1] !~ /^[0-9,]+$/) next
        for (k = 1; k <= 4; ++k) gsub(",", "", v[k])
        name = line; sub(/^ *[0-9,]+ +[0-9,]+ +[0-9,]+ +[0-9,]+ +/, "", name)
        if (name == "PROGRAM TOTALS") { for (k = 1; k <= 4; ++k) total[one, k] = v[k]; next }
        if (one) next
        s = stage(name)
        if (s == "") next
        for (k = 1; k <= 4; ++k) { sum[s, k] += v[k]; staged[k] += v[k] }
      }
      END {
        split("record prep,conditions,rule passes,DRG split,complexity,supplementary", order, ",")
        for (o = 1; o <= 6; ++o)
          printf "  %-14s %12.0f %10.1f %10.2f %10.1f\n", order[o], sum[order[o], 1] / n, sum[order[o], 2] / n,
                 sum[order[o], 3] / n, sum[order[o], 4] / n
        for (k = 1; k <= 4; ++k) rest[k] = (total[0, k] - total[1, k]) * n / (n - 1) - staged[k]
        printf "  %-14s %12.0f %10.1f %10.2f %10.1f\n", "rest", rest[1] / n, rest[2] / n, rest[3] / n, rest[4] / n
      }'
}
if command -v cg_annotate > /dev/null; then
  echo "build $build per record by stage (cachegrind over $share records; L2 = 1 MiB modelled, branches simulated):"
  for set in realistic heavy; do
    echo " $set:"
    printf '  %-14s %12s %10s %10s %10s\n' stage instructions D1_misses L2_misses mispredicts
    stages "$set"
  done
fi
