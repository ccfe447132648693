#!/usr/bin/env bash
# Instructions per record of one grouping thread, on the realistic and the
# heavy set, counted by valgrind's callgrind: a figure that does not swing
# with the load of a shared machine, unlike the wall times of speed.sh, so
# that two builds can be compared on the cost of the grouping itself.
#
#   bench/instructions.sh [BUILD] [EPISODES]     (defaults: build-bench, 50000)
#
# Each set is run twice, on EPISODES episodes and on one, so that opening the
# tables (indexes included) is taken out: the figure is what each further
# record costs, reading and writing included.  Prints both figures and the
# heavy/realistic ratio.  Needs valgrind (Debian package valgrind).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-bench}
episodes=${2:-50000}
grouper=$build/src/grouper
tables=$build/tools/grouper-tables
source bench/common.sh
bench_need_tools instructions "build first" "$grouper" "$tables"
bench_need_command instructions valgrind valgrind
((episodes >= 2)) || { echo "instructions: EPISODES must be 2 or more" >&2; exit 2; }

work=$(bench_work_dir grouper-instructions)
trap 'rm -rf "$work"' EXIT
"$tables" generate --seed 1 --profile realistic --episodes "$episodes" "$work/realistic" > /dev/null
"$tables" generate --seed 1 --profile heavy --episodes 0 "$work/heavy" > /dev/null
head -n 1 "$work/realistic/tamv30.in" > "$work/one.in"

# Instructions of one run, the whole process.
count() {
  valgrind --tool=callgrind --callgrind-out-file=/dev/null "$grouper" --tables "$1" --input "$2" \
    --output /dev/null --threads 1 2>&1 > /dev/null | sed -n 's/^==[0-9]*== Collected : //p'
}

declare -A per_record
for set in realistic heavy; do
  all=$(count "$work/$set" "$work/realistic/tamv30.in")
  one=$(count "$work/$set" "$work/one.in")
  per_record[$set]=$(( (all - one) / (episodes - 1) ))
  printf '%-10s %d instructions per record (%d in all, %d to open the tables and group one)\n' \
    "$set" "${per_record[$set]}" "$all" "$one"
done
printf 'heavy / realistic: %.3f\n' "$(echo "${per_record[heavy]} / ${per_record[realistic]}" | bc -l)"
