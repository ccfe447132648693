#!/usr/bin/env bash
# Whole-process speed of the grouper beside the I/O floor, in one run.
#
#   bench/speed.sh [BUILD] [EPISODES] [REPEAT]     (defaults: build-bench, 1000000, 3)
#
# Generates a realistic set and EPISODES episodes in a tmpfs directory, then
# runs, REPEAT times each and side by side: the I/O floor (split the lines,
# write a constant result line per record), the grouper with one thread and
# the grouper on every core.  Prints the range of wall times and records/s,
# each run's ratio to the I/O floor of the same round, and peak memory.
# Build first with:
#   cmake -S . -B build-bench -G Ninja -DGROUPER_BENCH=ON -DGROUPER_TESTS=OFF -DGROUPER_PYTHON=OFF
#   ninja -C build-bench
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-bench}
episodes=${2:-1000000}
repeat=${3:-3}
grouper=$build/src/grouper
tables=$build/tools/grouper-tables
floor=$build/bench/io_floor
for tool in "$grouper" "$tables" "$floor"; do
  [[ -x $tool ]] || { echo "speed: $tool is missing; build with -DGROUPER_BENCH=ON" >&2; exit 1; }
done
[[ -x /usr/bin/time ]] || { echo "speed: /usr/bin/time is missing (Debian package time)" >&2; exit 1; }

base=/dev/shm
[[ -d $base && -w $base ]] || base=${TMPDIR:-/tmp}
work=$(mktemp -d "$base/grouper-speed.XXXXXX")
trap 'rm -rf "$work"' EXIT
"$tables" generate --seed 1 --profile realistic --episodes "$episodes" "$work" > /dev/null
echo "$episodes records, $(stat -c %s "$work/tamv30.in") bytes, in $work; $(nproc) cores"

# Runs a command under /usr/bin/time; prints "seconds peak_kib".
measure() {
  /usr/bin/time -f '%e %M' -o "$work/.time" "$@" > /dev/null 2>&1
  cat "$work/.time"
}

declare -A times peaks ratios
for ((r = 1; r <= repeat; r++)); do
  read -r f fm < <(measure "$floor" "$work/tamv30.in" "$work/floor.out")
  read -r one om < <(measure "$grouper" -C "$work" --threads 1)
  read -r all am < <(measure "$grouper" -C "$work" --threads 0)
  times[floor]+="$f "; times[one]+="$one "; times[all]+="$all "
  peaks[floor]=$fm; peaks[one]=$om; peaks[all]=$am
  ratios[one]+="$(echo "$one / $f" | bc -l) "; ratios[all]+="$(echo "$all / $f" | bc -l) "
done

range() { tr ' ' '\n' | grep -v '^$' | sort -g | sed -n '1p;$p' | paste -sd' ' | awk '{ printf "%.2f..%.2f", $1, $2 }'; }
rate() { tr ' ' '\n' | grep -v '^$' | sort -g | sed -n '1p;$p' | paste -sd' ' | awk -v n="$episodes" '{ printf "%.0f..%.0f", n / $2, n / $1 }'; }
printf '%-22s %-14s %-22s %-14s %s\n' run "wall s" "records/s" "x I/O floor" "peak KiB"
printf '%-22s %-14s %-22s %-14s %s\n' "I/O floor" "$(range <<< "${times[floor]}")" "$(rate <<< "${times[floor]}")" 1 "${peaks[floor]}"
printf '%-22s %-14s %-22s %-14s %s\n' "grouper, 1 thread" "$(range <<< "${times[one]}")" "$(rate <<< "${times[one]}")" "$(range <<< "${ratios[one]}")" "${peaks[one]}"
printf '%-22s %-14s %-22s %-14s %s\n' "grouper, every core" "$(range <<< "${times[all]}")" "$(rate <<< "${times[all]}")" "$(range <<< "${ratios[all]}")" "${peaks[all]}"
