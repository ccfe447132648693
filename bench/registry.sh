#!/usr/bin/env bash
# The speed of a run over a registry of table versions beside a run with one
# table set, on the same records, side by side.
#
#   bench/registry.sh [BUILD] [EPISODES] [REPEAT]
#        (defaults: build-rel, 1000000, 3)
#
# Generates, in a tmpfs directory, three different realistic sets (seeds 1,
# 2 and 3) and EPISODES episodes of the first (record dates 2004 to 2006),
# and a registry giving each set one year.  Then runs, REPEAT rounds of
# each, on every core: the grouper with the first set alone (--tables) and
# with the registry (--registry), and with a registry whose three versions
# are the first set each time (the same grouping work as the single set, so
# only the cost of choosing and holding versions shows; the other sets meet
# many codes they do not know, which groups faster), all writing their result
# lines into the tmpfs directory.  Prints each run's records per second and
# each registry's as a share of the single set's in the same round (the aim
# is 0.9 or more).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-rel}
episodes=${2:-1000000}
repeat=${3:-3}
grouper=$build/src/grouper
tables=$build/tools/grouper-tables
source bench/common.sh
bench_need_tools registry "build the grouper and grouper-tables first" "$grouper" "$tables"

work=$(bench_work_dir grouper-registry)
trap 'rm -rf "$work"' EXIT
"$tables" generate --seed 1 --profile realistic --episodes "$episodes" "$work/y2004" > /dev/null
"$tables" generate --seed 2 --profile realistic --episodes 0 "$work/y2005" > /dev/null
"$tables" generate --seed 3 --profile realistic --episodes 0 "$work/y2006" > /dev/null
mv "$work/y2004/tamv30.in" "$work/episodes.in"
printf 'name\tdirectory\tvalid_from\tvalid_to\n2004\ty2004\t\t20041231\n2005\ty2005\t20050101\t20051231\n2006\ty2006\t20060101\t\n' \
  > "$work/registry.tsv"
printf 'name\tdirectory\tvalid_from\tvalid_to\n2004\ty2004\t\t20041231\n2005\ty2004\t20050101\t20051231\n2006\ty2004\t20060101\t\n' \
  > "$work/same.tsv"
echo "$episodes records, $(nproc) cores, in $work"

seconds() {
  local start end
  start=$(date +%s.%N)
  "$@" > /dev/null 2>&1
  end=$(date +%s.%N)
  echo "$end - $start" | bc -l
}
printf '%-6s %14s %14s %8s %14s %8s\n' round "one set r/s" "registry r/s" ratio "same x3 r/s" ratio
for ((r = 1; r <= repeat; r++)); do
  one=$(seconds "$grouper" --tables "$work/y2004" --input "$work/episodes.in" --output "$work/one.out" --threads 0)
  reg=$(seconds "$grouper" --registry "$work/registry.tsv" --input "$work/episodes.in" --output "$work/reg.out" --threads 0)
  same=$(seconds "$grouper" --registry "$work/same.tsv" --input "$work/episodes.in" --output "$work/same.out" --threads 0)
  awk -v r="$r" -v n="$episodes" -v a="$one" -v b="$reg" -v c="$same" \
    'BEGIN { printf "%-6s %14.0f %14.0f %8.3f %14.0f %8.3f\n", r, n / a, n / b, a / b, n / c, a / c }'
done
