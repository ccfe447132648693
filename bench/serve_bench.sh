#!/usr/bin/env bash
# Load figures of grouper serve on loopback, driven by wrk, beside the
# program's own throughput on the same lines and threads, in one run.
#
#   bench/serve_bench.sh [BUILD] [SECONDS] [REPEAT] [THREADS]
#        (defaults: build, 10, 3, the cores)
#
# In a tmpfs directory: a realistic generated set and 10,000 of its episode
# lines.  Each of REPEAT rounds runs, for SECONDS each:
#   single/fixed   one record per request on 4 keep-alive connections, each
#                  pausing 4 ms between requests (wrk 4 has no rate option:
#                  about 1,000 requests/s offered): requests/s, p50, p99;
#   single/sat     the same on 16 connections without pauses (saturation);
#   batch          10,000-line requests on 2 connections: records/s;
#   program        grouper --threads THREADS on the same 10,000 lines
#                  repeated to 1,000,000, to /dev/null: records/s;
# and prints the batch/program ratio of the round.  The server and wrk share
# the machine's cores, as do the program's reader and writer.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
seconds=${2:-10}
repeat=${3:-3}
threads=${4:-$(nproc)}
grouper=$build/src/grouper
tables=$build/tools/grouper-tables
source bench/common.sh
bench_need_tools serve_bench "" "$grouper" "$tables"
bench_need_command serve_bench wrk wrk

work=$(bench_work_dir grouper-serve-bench)
server_pid=
cleanup() {
  if [[ -n $server_pid ]]; then kill "$server_pid" 2> /dev/null || true; wait "$server_pid" 2> /dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

"$tables" generate --seed 1 --profile realistic --episodes 10000 "$work/set" > /dev/null
head -n 10000 "$work/set/tamv30.in" > "$work/batch"
head -n 1 "$work/set/tamv30.in" > "$work/single"
for _ in $(seq 100); do cat "$work/batch"; done > "$work/million"

cat > "$work/post.lua" <<'LUA'
local f = assert(io.open(os.getenv("BODY"), "rb"))
wrk.method = "POST"
wrk.body = f:read("*a")
f:close()
wrk.headers["Content-Type"] = "text/plain"
local pause = tonumber(os.getenv("PAUSE_MS") or "0")
if pause > 0 then
  function delay() return pause end
end
function done(summary, latency, requests)
  local seconds = summary.duration / 1e6
  local failed = summary.errors.connect + summary.errors.read + summary.errors.write + summary.errors.status +
                 summary.errors.timeout
  io.write(string.format("RESULT %.1f %.0f %.0f %d %d\n", summary.requests / seconds,
                         latency:percentile(50), latency:percentile(99), summary.requests, failed))
end
LUA

"$grouper" serve --tables "$work/set" --listen 127.0.0.1:0 --threads "$threads" > "$work/listening" 2> /dev/null &
server_pid=$!
for _ in $(seq 100); do [[ -s $work/listening ]] && break; sleep 0.1; done
url=$(sed -n 's/^listening on //p' "$work/listening")
[[ -n $url ]] || { echo "serve_bench: the server did not start" >&2; exit 1; }

# wrk THREADS CONNECTIONS BODY PAUSE_MS -> "rps p50_us p99_us requests failed"
run_wrk() {
  BODY=$2 PAUSE_MS=$3 wrk -t 2 -c "$1" -d "${seconds}s" --timeout 30s -s "$work/post.lua" "$url/v1/group" |
    sed -n 's/^RESULT //p'
}

echo "grouper serve on $url, $threads worker threads, wrk on loopback, ${seconds} s per figure"
printf '%-6s %-34s %-34s %-16s %-16s %s\n' round "single fixed: req/s p50 p99 (us)" "single sat: req/s p50 p99 (us)" \
  "batch: rec/s" "program: rec/s" "batch/program"
for round in $(seq "$repeat"); do
  read -r f_rps f_p50 f_p99 _ f_failed < <(run_wrk 4 "$work/single" 4)
  read -r s_rps s_p50 s_p99 _ s_failed < <(run_wrk 16 "$work/single" 0)
  read -r b_rps _ _ _ b_failed < <(run_wrk 2 "$work/batch" 0)
  start=$(date +%s.%N)
  "$grouper" --tables "$work/set" --input "$work/million" --output /dev/null --threads "$threads" > /dev/null
  end=$(date +%s.%N)
  read -r batch_rate program_rate ratio < <(awk -v b="$b_rps" -v s="$start" -v e="$end" \
    'BEGIN { br = b * 10000; pr = 1000000 / (e - s); printf "%.0f %.0f %.2f\n", br, pr, br / pr }')
  printf '%-6s %-34s %-34s %-16s %-16s %s\n' "$round" "$f_rps $f_p50 $f_p99" "$s_rps $s_p50 $s_p99" \
    "$batch_rate" "$program_rate" "$ratio"
  if ((f_failed + s_failed + b_failed > 0)); then
    echo "serve_bench: failed requests in round $round: $f_failed $s_failed $b_failed" >&2
  fi
done
