#!/usr/bin/env bash
# A long soak of the grouper (not part of CI): RECORDS generated episodes
# (default 20,000,000) of the realistic table set streamed through the
# program, once with every thread and once with one, memory sampled every
# second.  Nothing large touches the disk: the generator writes into a named
# pipe, the program reads it with --input - and writes its result lines with
# --output - into a checksum.
#
# It passes when both runs end normally with every record counted, their
# result lines have the same checksum, and the memory of each run stays
# flat: the peak resident size of the second half of the run exceeds the
# peak of its first quarter by at most 16 MiB.  (A leak of 4 bytes a record
# would add 40 MB over half of the run.)
#
#   nice -n 19 scripts/soak.sh [RECORDS] [BUILD]      (BUILD default: build)
set -euo pipefail
cd "$(dirname "$0")/.."

records=${1:-20000000}
build=${2:-build}
grouper=$PWD/$build/src/grouper
tables_tool=$PWD/$build/tools/grouper-tables
seed=7
allowance_kb=$((16 * 1024))

[[ -x $grouper && -x $tables_tool ]] || { echo "soak: no $grouper or $tables_tool; build first" >&2; exit 2; }
base=/dev/shm
[[ -d $base && -w $base ]] || base=${TMPDIR:-/tmp}
work=$(mktemp -d "$base/grouper-soak.XXXXXX")
trap 'rm -rf "$work"' EXIT

"$tables_tool" generate --profile realistic --seed "$seed" --episodes 0 "$work/tables" >/dev/null
echo "soak: $records records of the realistic set (seed $seed), work in $work"

status=0
# run THREADS: one streamed run; leaves its checksum, samples and figures in $work.
run() {
  local threads=$1 name=run-$1
  local gen=$work/$name-gen
  mkdir -p "$gen"
  mkfifo "$gen/tamv30.in" "$work/$name.out"
  "$tables_tool" generate --profile realistic --seed "$seed" --episodes "$records" "$gen" >/dev/null &
  local gen_pid=$!
  sha256sum <"$work/$name.out" | cut -d' ' -f1 >"$work/$name.sum" &
  local sum_pid=$!
  local start=$SECONDS
  "$grouper" --tables "$work/tables" --input - --output - --threads "$threads" \
    <"$gen/tamv30.in" >"$work/$name.out" 2>"$work/$name.err" &
  local pid=$!
  : >"$work/$name.rss"
  while kill -0 "$pid" 2>/dev/null; do
    awk '/^VmRSS:/ { print $2 }' "/proc/$pid/status" 2>/dev/null >>"$work/$name.rss" || true
    sleep 1
  done
  local rc=0
  wait "$pid" || rc=$?
  wait "$gen_pid" || { echo "soak: the generator failed" >&2; status=1; }
  wait "$sum_pid"
  local seconds=$((SECONDS - start))
  ((seconds > 0)) || seconds=1
  local counted
  counted=$(grep -c '^record_count = ' "$work/$name.err" || true)
  if ((rc != 0)) || ! tail -c 37 "$work/$name.err" | grep -q ' end ' || ((counted != records / 10000)); then
    echo "soak: the run with --threads $threads failed (status $rc, $counted progress lines):" >&2
    tail -n 5 "$work/$name.err" >&2
    status=1
  fi
  # Memory: samples in kB, one a second.
  local n quarter half early late peak
  n=$(wc -l <"$work/$name.rss")
  quarter=$(((n + 3) / 4))
  half=$((n / 2))
  early=$(head -n "$quarter" "$work/$name.rss" | sort -n | tail -n 1)
  late=$(tail -n "$((n - half))" "$work/$name.rss" | sort -n | tail -n 1)
  peak=$(sort -n "$work/$name.rss" | tail -n 1)
  local flat=flat
  if ((late > early + allowance_kb)); then
    flat="NOT flat"
    status=1
  fi
  printf 'soak: --threads %s: %d records in %d s (%d records/s); %d samples; RSS peak %d KiB, first quarter %d KiB, second half %d KiB: %s\n' \
    "$threads" "$records" "$seconds" "$((records / seconds))" "$n" "$peak" "$early" "$late" "$flat"
}

run 0
run 1
if [[ $(cat "$work/run-0.sum") == "$(cat "$work/run-1.sum")" ]]; then
  echo "soak: result lines identical with every thread and with one (sha256 $(cat "$work/run-0.sum"))"
else
  echo "soak: result lines DIFFER between --threads 0 and --threads 1" >&2
  status=1
fi
((status == 0)) && echo "soak: passed" || echo "soak: FAILED" >&2
exit "$status"
