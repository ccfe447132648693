#!/usr/bin/python3
"""Records per second of every client of the library, side by side in one run.

Generates a realistic table set and N episodes (default 1,000,000) in a tmpfs
directory, then times, each REPEAT times (default 3), on the same input:

  program      grouper --threads T --results r.tsv
  group_file   TableSet.group_file(..., results=..., threads=T)
  group_many   TableSet.group_many(list of bytes, threads=T), lines joined after
  dask         python -m episode_grouper.dask with 2 local workers

and prints the range of records per second of each.  Run from a build:

  /usr/bin/python3 bench/clients_bench.py --build build [--episodes N] [--repeat R]
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time


def timed(label, fn, repeat, records, results):
    rates = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        rates.append(records / (time.perf_counter() - start))
    results.append((label, min(rates), max(rates)))
    print(f"{label:<24} {min(rates):>12,.0f} .. {max(rates):>12,.0f} records/s", flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default="build", help="the build directory (default: build)")
    parser.add_argument("--episodes", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--threads", type=int, default=0, help="grouping threads (0: one per core)")
    parser.add_argument("--partition-size", type=int, default=32 << 20, help="bytes per Dask partition")
    parser.add_argument("--workdir", default="/dev/shm" if os.path.isdir("/dev/shm") else None)
    args = parser.parse_args()

    build = os.path.abspath(args.build)
    sys.path.insert(0, os.path.join(build, "python"))
    import episode_grouper as eg

    env = dict(os.environ, PYTHONPATH=os.path.join(build, "python"))
    grouper = os.path.join(build, "src", "grouper")
    tables_tool = os.path.join(build, "tools", "grouper-tables")
    work = tempfile.mkdtemp(prefix="grouper-clients-", dir=args.workdir)
    try:
        subprocess.run([tables_tool, "generate", "--seed", "1", "--profile", "realistic", "--episodes",
                        str(args.episodes), work], check=True, stdout=subprocess.DEVNULL)
        inp = os.path.join(work, "tamv30.in")
        ts = eg.TableSet(work)
        with open(inp, "rb") as f:
            data = f.read()
        records = eg.count_records(data)
        print(f"{records:,} records, {len(data):,} bytes, in {work}; threads {args.threads or os.cpu_count()}")
        results = []

        def program():
            subprocess.run([grouper, "-C", work, "--threads", str(args.threads), "--results", "p.tsv"],
                           check=True, stdout=subprocess.DEVNULL)

        def group_file():
            ts.group_file(inp, os.path.join(work, "f.out"), os.path.join(work, "f.tsv"), threads=args.threads)

        lines = data.splitlines(keepends=True)  # the generated lines are short and end in a line feed

        def group_many():
            out = b"".join(r.line for r in ts.group_many(lines, threads=args.threads))
            assert len(out) == 301 * len(lines)

        def dask_runner():
            subprocess.run([sys.executable, "-m", "episode_grouper.dask", inp, os.path.join(work, "d.out"),
                            "--tables", work, "--results", os.path.join(work, "d.tsv"), "--local-workers", "2",
                            "--partition-size", str(args.partition_size)],
                           check=True, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

        timed("program", program, args.repeat, records, results)
        timed("group_file", group_file, args.repeat, records, results)
        timed("group_many (list)", group_many, args.repeat, records, results)
        timed("dask (2 local workers)", dask_runner, args.repeat, records, results)

        same = all(open(os.path.join(work, a), "rb").read() == open(os.path.join(work, b), "rb").read()
                   for a, b in [("tamv30.out", "f.out"), ("tamv30.out", "d.out"), ("p.tsv", "f.tsv"),
                                ("p.tsv", "d.tsv")])
        print("outputs identical:", same)
        return 0 if same else 1
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
