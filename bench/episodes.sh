#!/usr/bin/env bash
# The program on episodes as named fields beside the same episodes as
# fixed-width records.
#
#   bench/episodes.sh [BUILD] [EPISODES] [REPEAT] [SMALL_EPISODES]
#        (defaults: build, 1000000, 3, 200000)
#
# Generates, in a tmpfs directory, the realistic table set and EPISODES
# episodes, both as records (tamv30.in) and as CSV (episodes.csv, the same
# episodes read back from their records), then runs the grouper REPEAT
# rounds on each, side by side, on every core (the program's default
# threads), writing the result lines.  Prints records/s of each run and the
# ratio csv/fixed of each round (the aim: at least 0.6), and the peak memory
# of the CSV run beside that of a run over the first SMALL_EPISODES rows,
# which shows that memory does not grow with the input.
# Build first with:
#   cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DGROUPER_PYTHON=OFF
#   cmake --build build --target grouper grouper-tables
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
episodes=${2:-1000000}
repeat=${3:-3}
small_episodes=${4:-200000}
grouper=$build/src/grouper
tables=$build/tools/grouper-tables
source bench/common.sh
bench_need_tools episodes "" "$grouper" "$tables"
[[ -x /usr/bin/time ]] || { echo "episodes: /usr/bin/time is missing (Debian package time)" >&2; exit 1; }

work=$(bench_work_dir grouper-episodes)
trap 'rm -rf "$work"' EXIT
set_dir=$work/realistic
"$tables" generate --seed 1 --profile realistic --episodes "$episodes" --episodes-format csv "$set_dir" > /dev/null
head -n $((small_episodes + 1)) "$set_dir/episodes.csv" > "$set_dir/small.csv"
echo "$episodes episodes: $(stat -c %s "$set_dir/tamv30.in") bytes as records," \
  "$(stat -c %s "$set_dir/episodes.csv") bytes as CSV, in $work; $(nproc) cores"

# Runs the grouper on INPUT under /usr/bin/time; prints "seconds peak_kib".
measure() {
  /usr/bin/time -f '%e %M' -o "$work/.time" "$grouper" -C "$set_dir" --input "$1" --output "$work/out" \
    > /dev/null 2>&1
  cat "$work/.time"
}
rate() { echo "$episodes / $1" | bc -l | xargs printf '%.0f'; }

printf '%-6s %14s %14s %10s %14s\n' round fixed_rec/s csv_rec/s csv/fixed csv_peak_kib
for ((round = 1; round <= repeat; round++)); do
  read -r fixed_s _ < <(measure tamv30.in)
  read -r csv_s csv_kib < <(measure episodes.csv)
  printf '%-6s %14s %14s %10.3f %14s\n' "$round" "$(rate "$fixed_s")" "$(rate "$csv_s")" \
    "$(echo "$fixed_s / $csv_s" | bc -l)" "$csv_kib"
done
read -r _ small_kib < <(measure small.csv)
echo "peak memory of the CSV run: $csv_kib KiB over $episodes rows, $small_kib KiB over $small_episodes rows"
