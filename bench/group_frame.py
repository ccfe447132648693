#!/usr/bin/python3
"""Records per second of TableSet.group_frame against the grouper program, side by side.

Generates a realistic table set and N episodes (default 1,000,000) in a tmpfs
directory, with the episodes also as CSV (grouper-tables generate
--episodes-format csv: each record read back into its fields), reads the CSV with
pandas.read_csv(..., dtype=str, keep_default_na=False) (not timed), then
times, REPEAT times each (default 3), on all cores:

  program        grouper -C DIR --threads T              (fixed-width records, result lines)
  program+rows   grouper -C DIR --threads T --results r.tsv   (and the detailed result rows)
  group_frame    TableSet.group_frame(df, threads=T)      (a DataFrame of the result columns)

and prints the records per second of each round with the ratio of group_frame
to both program runs of that round, then the ratio of the best rounds.  Run from a build:

  PYTHONPATH=build/python /usr/bin/python3 bench/group_frame.py --build build [--episodes N] [--repeat R]
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default="build", help="the build directory (default: build)")
    parser.add_argument("--episodes", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--threads", type=int, default=0, help="grouping threads (0: one per core)")
    parser.add_argument("--workdir", default="/dev/shm" if os.path.isdir("/dev/shm") else None)
    args = parser.parse_args()

    build = os.path.abspath(args.build)
    sys.path.insert(0, os.path.join(build, "python"))
    import pandas as pd

    import episode_grouper as eg

    grouper = os.path.join(build, "src", "grouper")
    tables_tool = os.path.join(build, "tools", "grouper-tables")
    work = tempfile.mkdtemp(prefix="grouper-frame-", dir=args.workdir)
    try:
        subprocess.run([tables_tool, "generate", "--seed", "1", "--profile", "realistic", "--episodes",
                        str(args.episodes), "--episodes-format", "csv", work], check=True,
                       stdout=subprocess.DEVNULL)
        df = pd.read_csv(os.path.join(work, "episodes.csv"), dtype=str, keep_default_na=False)
        episodes = len(df)
        ts = eg.TableSet(work)
        threads = args.threads or os.cpu_count()
        print(f"{episodes:,} episodes in {work}; threads {threads}", flush=True)

        def program():
            subprocess.run([grouper, "-C", work, "--threads", str(args.threads)], check=True,
                           stdout=subprocess.DEVNULL)

        def program_rows():
            subprocess.run([grouper, "-C", work, "--threads", str(args.threads), "--results", "r.tsv"], check=True,
                           stdout=subprocess.DEVNULL)

        def group_frame():
            out = ts.group_frame(df, threads=args.threads)
            assert len(out) == episodes

        runs = (("program", program), ("program+rows", program_rows), ("group_frame", group_frame))
        rates = {label: [] for label, _ in runs}
        print(f"{'round':<6}" + "".join(f"{label:>16}" for label, _ in runs) + f"{'ratio':>8}{'ratio+rows':>12}",
              flush=True)
        for round_number in range(1, args.repeat + 1):
            for label, fn in runs:
                start = time.perf_counter()
                fn()
                rates[label].append(episodes / (time.perf_counter() - start))
            ratio = rates["group_frame"][-1] / rates["program"][-1]
            ratio_rows = rates["group_frame"][-1] / rates["program+rows"][-1]
            print(f"{round_number:<6}" + "".join(f"{rates[label][-1]:>16,.0f}" for label, _ in runs)
                  + f"{ratio:>8.2f}{ratio_rows:>12.2f}", flush=True)
        best = {label: max(values) for label, values in rates.items()}
        for label in ("program", "program+rows"):
            print(f"group_frame / {label}: {best['group_frame'] / best[label]:.2f} (best rounds; target 0.25)")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
