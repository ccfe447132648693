#!/usr/bin/env bash
# The program beside the Dask runner on a running cluster, and what a
# partition, a task and a record cost on that cluster.
#
#   bench/dask_cluster.sh [BUILD] [EPISODES] [REPEAT] [PARTITION_SIZE]
#        (defaults: build, 1000000, 3, the runner's own: 64 MiB)
#
# Generates, in a tmpfs directory, the realistic table set and EPISODES
# episodes, starts a scheduler and 2 one-thread workers on 127.0.0.1 (Dask's
# own commands, as separate processes) and runs, REPEAT rounds side by side:
#
#   program   grouper --tables DIR --input IN --output OUT --threads 2
#   dask      python3 -m episode_grouper.dask IN OUT --tables DIR --scheduler ADDR
#   parts     the same with --output-parts DIR instead of OUT (the parts not joined)
#
# checking that all write the same bytes.  Prints records/s of each and the
# ratio dask/program of each round, and the time of a run over one record
# (what every run costs whatever its size); then, on the same cluster, the time of
# grouping one partition on a worker (as the runner does, with its part
# written), the scheduler's cost per task (many tiny tasks, one after the
# other and all at once) and the bytes that move per record: input read,
# output written by the workers (at its place in the output), and what
# travels from the workers to the client.
# The cluster runs as the README's recipe starts one, with Dask's own
# statistical profiler off; set DASK_DISTRIBUTED__WORKER__PROFILE__ENABLED=True
# to measure it with the profiler on (Dask's default).
# Build first with:
#   cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release
#   cmake --build build -j2 --target grouper grouper-tables _core
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build}")
episodes=${2:-1000000}
repeat=${3:-3}
partition_size=${4:-}
grouper=$build/src/grouper
tables=$build/tools/grouper-tables
python=/usr/bin/python3
source bench/common.sh
bench_need_tools dask_cluster "" "$grouper" "$tables"
[[ -f $build/python/episode_grouper/dask.py ]] || { echo "dask_cluster: $build/python has no package" >&2; exit 1; }
export PYTHONPATH=$build/python
# The runner's default partition size unless one is given: the figure is
# then that of the command as a user types it.
[[ -n $partition_size ]] || partition_size=$("$python" -c \
  'from episode_grouper.dask import DEFAULT_PARTITION_SIZE; print(DEFAULT_PARTITION_SIZE)')
export DASK_DISTRIBUTED__WORKER__PROFILE__ENABLED=${DASK_DISTRIBUTED__WORKER__PROFILE__ENABLED:-False}

work=$(bench_work_dir grouper-dask)
pids=()
stop() {
  for pid in "${pids[@]}"; do kill -TERM -- "-$pid" 2> /dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2> /dev/null || true; done
  rm -rf "$work"
}
trap stop EXIT
set_dir=$work/realistic
"$tables" generate --seed 1 --profile realistic --episodes "$episodes" "$set_dir" > /dev/null
input=$set_dir/tamv30.in
echo "$episodes records, $(stat -c %s "$input") bytes, partitions of $partition_size bytes, in $work;" \
  "$(nproc) cores"

setsid "$python" -m distributed.cli.dask_scheduler --host 127.0.0.1 --port 0 --no-dashboard \
  --scheduler-file "$work/scheduler.json" > /dev/null 2> "$work/scheduler.log" &
pids+=($!)
for ((i = 0; i < 100; i++)); do [[ -s $work/scheduler.json ]] && break; sleep 0.1; done
address=$("$python" -c 'import json, sys; print(json.load(open(sys.argv[1]))["address"])' "$work/scheduler.json")
for n in 1 2; do
  setsid "$python" -m distributed.cli.dask_worker "$address" --host 127.0.0.1 --nthreads 1 --no-nanny \
    --no-dashboard --local-directory "$work/worker-$n" > /dev/null 2> "$work/worker-$n.log" &
  pids+=($!)
done
"$python" -c 'import sys; from distributed import Client
with Client(sys.argv[1], timeout="30s") as c: c.wait_for_workers(2, timeout=60)' "$address"
echo "cluster: scheduler $address, 2 workers of 1 thread, Dask's profiler enabled: $DASK_DISTRIBUTED__WORKER__PROFILE__ENABLED"

seconds() {  # COMMAND... -> wall seconds
  local start end
  start=$(date +%s.%N)
  "$@" > /dev/null 2>&1
  end=$(date +%s.%N)
  echo "$end - $start" | bc -l
}
rate() { echo "$episodes / $1" | bc -l | xargs printf '%.0f'; }

printf '%-6s %14s %14s %12s %16s\n' round program_rec/s dask_rec/s dask/program parts_rec/s
for ((round = 1; round <= repeat; round++)); do
  rm -f "$work/program.out"  # every run writes a new file (a replaced one is freed as the run commits)
  program_s=$(seconds "$grouper" --tables "$set_dir" --input "$input" --output "$work/program.out" --threads 2)
  dask_s=$(seconds "$python" -m episode_grouper.dask "$input" "$work/dask.out" --tables "$set_dir" \
    --scheduler "$address" --partition-size "$partition_size")
  cmp -s "$work/program.out" "$work/dask.out" || { echo "dask_cluster: the outputs differ" >&2; exit 1; }
  rm -f "$work/dask.out"
  parts_s=$(seconds "$python" -m episode_grouper.dask "$input" --output-parts "$work/parts.d" --tables "$set_dir" \
    --scheduler "$address" --partition-size "$partition_size")
  cat "$work"/parts.d/part-* | cmp -s "$work/program.out" - || { echo "dask_cluster: the parts differ" >&2; exit 1; }
  rm -rf "$work/parts.d"
  printf '%-6s %14s %14s %12.3f %16s\n' "$round" "$(rate "$program_s")" "$(rate "$dask_s")" \
    "$(echo "$program_s / $dask_s" | bc -l)" "$(rate "$parts_s")"
done
echo "same bytes: yes"
head -n 1 "$input" > "$work/one.in"
fixed_s=$(seconds "$python" -m episode_grouper.dask "$work/one.in" "$work/one.out" --tables "$set_dir" \
  --scheduler "$address")
printf 'a run of the runner over one record (start, connection, checks): %.2f s\n' "$fixed_s"

"$python" - "$address" "$input" "$set_dir" "$partition_size" "$work" <<'EOF'
import os, pickle, sys, time
from distributed import Client
from episode_grouper import dask as runner

address, input, tables, partition_size, work = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4]), sys.argv[5]
parts, size = runner.partition_bounds(input, partition_size)
os.makedirs(os.path.join(work, "parts"))
prefix = os.path.join(work, "parts", "part-")
with Client(address, timeout="30s") as client:
    start, end = parts[0]
    # One partition grouped on a worker, its part written; the first call opens the tables.
    client.submit(runner.group_partition, input, start, end, size, tables, 1, None, None, (prefix, None), 0,
                  pure=False).result()
    best = None
    for attempt in range(3):
        t = time.perf_counter()
        result = client.submit(runner.group_partition, input, start, end, size, tables, 1, None, None,
                               (prefix, None), attempt + 1, pure=False).result()
        best = min(best or 1e9, time.perf_counter() - t)
    records = result[2]
    print(f"one partition ({end - start:,} bytes, {records:,} records) grouped with its part written: "
          f"{best * 1000:.0f} ms, {best / records * 1e6:.2f} us per record")
    n = 2000
    t = time.perf_counter()
    for i in range(n // 10):
        client.submit(int, i, pure=False).result()
    serial = (time.perf_counter() - t) / (n // 10)
    t = time.perf_counter()
    client.gather(client.map(int, range(n), pure=False))
    batch = (time.perf_counter() - t) / n
    print(f"scheduler per task: {serial * 1000:.2f} ms one after the other (round trip), "
          f"{batch * 1000:.3f} ms each of {n} at once")
    back = len(pickle.dumps(result))
    lines = result[0][1]
    sizes = client.submit(runner.part_sizes, client.submit(runner.group_partition, input, start, end, size, tables,
                                                           1, None, pure=False), pure=False).result()
    print(f"bytes per record: input read {(end - start) / records:.1f}, output written by a worker "
          f"{lines / records:.1f} (at its place in the output), copied by the client 0, travelling to the "
          f"client {len(pickle.dumps(sizes)) / records:.4f} ({len(pickle.dumps(sizes))} bytes per partition; "
          f"a part file's name and size: {back})")
EOF
