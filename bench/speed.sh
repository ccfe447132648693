#!/usr/bin/env bash
# Whole-process speed of the grouper beside the I/O floor, in one run.
#
#   bench/speed.sh [BUILD] [EPISODES] [REPEAT] [MEMORY_EPISODES]
#        (defaults: build-bench, 1000000, 3, 10000000)
#
# Generates, in a tmpfs directory, a realistic table set, the heavy one
# (about four times the rules per list) and EPISODES episodes, then runs,
# REPEAT rounds of each, side by side: the I/O floor (split the lines, write
# a constant result line per record, no tables), the grouper with one thread
# and on every core, on both sets.  Prints records/s, each run's wall time
# as a ratio to the I/O floor of the same round, the heavy/realistic ratio
# of the same round, the floor per record and what one thread adds to it
# (best rounds), the table load time beside a plain read of the sixteen
# files, and peak memory: of every run, and of one run on every core over
# MEMORY_EPISODES records streamed through a pipe (the input is never held
# whole), as the table files' bytes plus the rest.
# Build first with:
#   cmake -S . -B build-bench -G Ninja -DGROUPER_BENCH=ON -DGROUPER_TESTS=OFF -DGROUPER_PYTHON=OFF
#   ninja -C build-bench
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-bench}
episodes=${2:-1000000}
repeat=${3:-3}
memory_episodes=${4:-10000000}
grouper=$build/src/grouper
tables=$build/tools/grouper-tables
floor=$build/bench/io_floor
load_time=$build/bench/load_time
source bench/common.sh
bench_need_tools speed "build with -DGROUPER_BENCH=ON" "$grouper" "$tables" "$floor" "$load_time"
[[ -x /usr/bin/time ]] || { echo "speed: /usr/bin/time is missing (Debian package time)" >&2; exit 1; }

work=$(bench_work_dir grouper-speed)
trap 'rm -rf "$work"' EXIT
"$tables" generate --seed 1 --profile realistic --episodes "$episodes" "$work/realistic" > /dev/null
"$tables" generate --seed 1 --profile heavy --episodes 0 "$work/heavy" > /dev/null
ln -f "$work/realistic/tamv30.in" "$work/heavy/tamv30.in"  # the same episodes
echo "$episodes records, $(stat -c %s "$work/realistic/tamv30.in") bytes, in $work; $(nproc) cores"

# Runs a command under /usr/bin/time; prints "seconds peak_kib".
measure() {
  /usr/bin/time -f '%e %M' -o "$work/.time" "$@" > /dev/null 2>&1
  cat "$work/.time"
}
ratio() { echo "$1 / $2" | bc -l; }

declare -A times peaks ratios
runs=(floor one all heavy_one heavy_all)
for ((r = 1; r <= repeat; r++)); do
  read -r f fm < <(measure "$floor" "$work/realistic/tamv30.in" "$work/floor.out")
  read -r one om < <(measure "$grouper" -C "$work/realistic" --threads 1)
  read -r all am < <(measure "$grouper" -C "$work/realistic" --threads 0)
  read -r hone hom < <(measure "$grouper" -C "$work/heavy" --threads 1)
  read -r hall ham < <(measure "$grouper" -C "$work/heavy" --threads 0)
  times[floor]+="$f "; times[one]+="$one "; times[all]+="$all "; times[heavy_one]+="$hone "; times[heavy_all]+="$hall "
  peaks[floor]=$fm; peaks[one]=$om; peaks[all]=$am; peaks[heavy_one]=$hom; peaks[heavy_all]=$ham
  ratios[one]+="$(ratio "$one" "$f") "; ratios[all]+="$(ratio "$all" "$f") "
  ratios[heavy_one]+="$(ratio "$hone" "$f") "; ratios[heavy_all]+="$(ratio "$hall" "$f") "
  ratios[heavy]+="$(ratio "$hone" "$one") "
done

# The figures of a space-separated list, one a line, smallest first.
sorted() { tr ' ' '\n' | grep -v '^$' | sort -g; }
range() { sorted | sed -n '1p;$p' | paste -sd' ' | awk '{ printf "%.2f..%.2f", $1, $2 }'; }
rate() { sorted | sed -n '1p;$p' | paste -sd' ' | awk -v n="$episodes" '{ printf "%.0f..%.0f", n / $2, n / $1 }'; }
printf '%-30s %-14s %-22s %-14s %s\n' run "wall s" "records/s" "x I/O floor" "peak KiB"
label() {
  case $1 in
    floor) echo "I/O floor" ;;
    one) echo "realistic, 1 thread" ;;
    all) echo "realistic, every core" ;;
    heavy_one) echo "heavy, 1 thread" ;;
    heavy_all) echo "heavy, every core" ;;
  esac
}
for run in "${runs[@]}"; do
  x=1
  [[ $run != floor ]] && x=$(range <<< "${ratios[$run]}")
  printf '%-30s %-14s %-22s %-14s %s\n' "$(label "$run")" "$(range <<< "${times[$run]}")" \
    "$(rate <<< "${times[$run]}")" "$x" "${peaks[$run]}"
done
echo "heavy / realistic, 1 thread, per round: $(range <<< "${ratios[heavy]}")"
# The ratios depend on how fast this host reads and writes as much as on the
# grouping: the floor per record and what one thread adds to it, best rounds.
best() { sorted | head -1; }
per_record() { echo "($1) * 1000000000 / $episodes" | bc -l | xargs printf '%.0f'; }
floor_best=$(best <<< "${times[floor]}")
printf 'per record, best rounds: I/O floor %s ns; one thread adds %s ns (realistic), %s ns (heavy)\n' \
  "$(per_record "$floor_best")" "$(per_record "$(best <<< "${times[one]}") - $floor_best")" \
  "$(per_record "$(best <<< "${times[heavy_one]}") - $floor_best")"
echo "realistic $("$load_time" "$work/realistic")"
echo "heavy     $("$load_time" "$work/heavy")"

# Peak memory over a long streamed input: the same episodes again and again.
table_bytes=$(cat "$work"/realistic/T* "$work"/realistic/adrg_ltcdrg "$work"/realistic/ltc_drg.idx | wc -c)
copies=$(( (memory_episodes + episodes - 1) / episodes ))
peak=$( { for ((i = 0; i < copies; i++)); do cat "$work/realistic/tamv30.in"; done |
  /usr/bin/time -f '%M' "$grouper" --tables "$work/realistic" --input - --output /dev/null --threads 0 > /dev/null; } 2>&1 | tail -1)
printf 'peak memory, every core, %d records streamed: %d KiB = table files %d KiB + %.1f MiB\n' \
  $((copies * episodes)) "$peak" $((table_bytes / 1024)) "$(echo "($peak - $table_bytes / 1024) / 1024" | bc -l)"
