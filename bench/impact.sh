#!/usr/bin/env bash
# What --impact costs: the same run with and without it, side by side.
#
#   bench/impact.sh [BUILD] [EPISODES] [REPEAT] [THREADS]
#        (defaults: build-bench, 1000000, 3, 2)
#
# Generates, in a tmpfs directory, a realistic table set with its weights and
# EPISODES episodes, counts the codes per record that --impact blanks one at
# a time (positions 2..46 that are not five blanks), then runs REPEAT rounds
# of two runs on THREADS threads, each with --weights and a detailed result
# file: without --impact and with it.  Prints each run's wall time, the
# factor of the best rounds and the bound the factor must stay under:
# 1 + the mean number of codes per record (one grouping per code).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-bench}
episodes=${2:-1000000}
repeat=${3:-3}
threads=${4:-2}
grouper=$build/src/grouper
tables=$build/tools/grouper-tables
source bench/common.sh
bench_need_tools impact "" "$grouper" "$tables"
[[ -x /usr/bin/time ]] || { echo "impact: /usr/bin/time is missing (Debian package time)" >&2; exit 1; }

work=$(bench_work_dir grouper-impact)
trap 'rm -rf "$work"' EXIT
"$tables" generate --seed 1 --profile realistic --episodes "$episodes" "$work/set" > /dev/null
echo "$episodes records, $(stat -c %s "$work/set/tamv30.in") bytes, in $work; $threads threads of $(nproc) cores"

# Code position p (1..46) is the 5-character slot at offset 33 + 5 * (p - 1).
codes=$(awk '{ for (p = 2; p <= 46; p++) if (substr($0, 34 + 5 * (p - 1), 5) != "     ") n++ }
             END { printf "%.3f", n / NR }' "$work/set/tamv30.in")
echo "mean codes per record in positions 2..46: $codes"

seconds() {
  /usr/bin/time -f '%e' -o "$work/.time" "$@" > /dev/null 2>&1
  cat "$work/.time"
}
best() { printf '%s\n' "$@" | sort -g | head -n 1; }

plain_times=() impact_times=()
for ((r = 1; r <= repeat; r++)); do
  plain=$(seconds "$grouper" -C "$work/set" --threads "$threads" --weights weights.tsv --results plain.tsv)
  impact=$(seconds "$grouper" -C "$work/set" --threads "$threads" --weights weights.tsv --results impact.tsv --impact)
  printf 'round %d: without --impact %6.2f s, with %7.2f s\n' "$r" "$plain" "$impact"
  plain_times+=("$plain") impact_times+=("$impact")
done
plain=$(best "${plain_times[@]}")
impact=$(best "${impact_times[@]}")
with=$(awk -F'\t' 'NR > 1 && $NF != "" { n++ } END { print n + 0 }' "$work/set/impact.tsv")
printf 'best: without %.2f s, with %.2f s: factor %.2f (bound 1 + %s = %.3f)\n' "$plain" "$impact" \
  "$(echo "$impact / $plain" | bc -l)" "$codes" "$(echo "1 + $codes" | bc -l)"
echo "records with a code that matters: $with of $episodes"
