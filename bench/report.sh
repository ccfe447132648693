#!/usr/bin/env bash
# What the casemix report costs beside the run that makes the results.
#
#   bench/report.sh [BUILD] [EPISODES] [REPEAT]
#        (defaults: build, 1000000, 3)
#
# Generates, in a tmpfs directory, the realistic table set and EPISODES
# episodes, then runs REPEAT rounds of, side by side:
#   results   grouper --tables DIR --input IN --output OUT --results R.tsv
#   report    the same with --report P.html
#   file      grouper report R.tsv -o P.html
#   page      grouper report on the first 1000 rows of R.tsv: the page's
#             fixed cost (starting Python, drawing the charts with
#             matplotlib), the same whatever the number of rows
# and the same four with the results in JSON Lines (R.jsonl).  Prints each
# run's wall seconds, their ranges, and per round the ratios report/results
# (the aim: at most 1.25) and file/results (the aim: at most 0.5), then the
# same with the page's fixed cost taken off (what counting the rows costs).
# The rows are counted by the grouper as it makes them (report) or as it
# reads the file (file); the page builder, started with the command, gets
# only the counts and draws the charts in two processes.
# Build first with (the report needs the Python package):
#   cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release
#   cmake --build build -j2
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
episodes=${2:-1000000}
repeat=${3:-3}
grouper=$build/src/grouper
tables=$build/tools/grouper-tables
source bench/common.sh
bench_need_tools report "" "$grouper" "$tables"
bench_need_command report bc bc

work=$(bench_work_dir grouper-report)
trap 'rm -rf "$work"' EXIT
set_dir=$work/realistic
"$tables" generate --seed 1 --profile realistic --episodes "$episodes" "$set_dir" > /dev/null
echo "$episodes records, $(stat -c %s "$set_dir/tamv30.in") bytes, in $work; $(nproc) cores"

# Runs a command; prints its wall seconds.  A failure stops the benchmark.
seconds() {
  local start end
  start=$(date +%s.%N)
  "$@" > /dev/null 2> "$work/.err" || { echo "report: failed: $*" >&2; cat "$work/.err" >&2; exit 1; }
  end=$(date +%s.%N)
  printf '%.3f' "$(echo "$end - $start" | bc -l)"
}
ratio() { printf '%.2f' "$(echo "$1 / $2" | bc -l)"; }

declare -A times
for kind in tsv jsonl; do
  for round in $(seq 1 "$repeat"); do
    base=(--tables "$set_dir" --input "$set_dir/tamv30.in" --output "$work/out")
    # Each run writes new files, as a first run does: a run that replaces
    # its outputs frees the old ones' gigabytes as it commits.
    rm -f "$work/out" "$work/r.$kind" "$work/p.html"
    times[$kind,results,$round]=$(seconds "$grouper" "${base[@]}" --results "$work/r.$kind")
    rm -f "$work/out" "$work/r.$kind"
    times[$kind,report,$round]=$(seconds "$grouper" "${base[@]}" --results "$work/r.$kind" --report "$work/p.html")
    times[$kind,file,$round]=$(seconds "$grouper" report "$work/r.$kind" -o "$work/p.html")
    head -n 1001 "$work/r.$kind" > "$work/head.$kind"
    times[$kind,page,$round]=$(seconds "$grouper" report "$work/head.$kind" -o "$work/p.html")
  done
  # Gigabytes of one kind's files held in tmpfs beside the other kind's runs
  # had those runs reclaiming memory: up to five times their time.
  rm -f "$work/out" "$work/r.$kind" "$work/head.$kind" "$work/p.html"
done

for kind in tsv jsonl; do
  echo
  echo "results in $kind:"
  for run in results report file page; do
    list=() 
    for round in $(seq 1 "$repeat"); do list+=("${times[$kind,$run,$round]}"); done
    sorted=$(printf '%s\n' "${list[@]}" | sort -n)
    printf '  %-8s %s s  (range %s-%s s)\n' "$run" "${list[*]}" "$(head -1 <<< "$sorted")" "$(tail -1 <<< "$sorted")"
  done
  for round in $(seq 1 "$repeat"); do
    r=${times[$kind,results,$round]}
    printf '  round %d: report/results %s (aim <= 1.25), file/results %s (aim <= 0.5)\n' "$round" \
      "$(ratio "${times[$kind,report,$round]}" "$r")" "$(ratio "${times[$kind,file,$round]}" "$r")"
  done
  for round in $(seq 1 "$repeat"); do
    r=${times[$kind,results,$round]} page=${times[$kind,page,$round]}
    printf '  round %d without the page: report/results %s, file/results %s\n' "$round" \
      "$(ratio "$(echo "${times[$kind,report,$round]} - $page" | bc -l)" "$r")" \
      "$(ratio "$(echo "${times[$kind,file,$round]} - $page" | bc -l)" "$r")"
  done
done
