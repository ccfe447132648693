"""The Dask runner: the program's bytes for every partition size, on one local
cluster of 2 worker processes shared by the tests of this file, and on a
cluster of a scheduler and 2 workers started as their own processes."""
import json
import os
import signal
import subprocess
import time

import pytest

import episode_grouper as eg
from episode_grouper import dask as runner
from conftest import TIMEOUT, leftovers, odd_input

PART_TIMEOUT = 60  # seconds for any one partition


@pytest.fixture(scope="module")
def short_input(small_set, tmp_path_factory):
    """The first 300 episodes of the small set."""
    path = tmp_path_factory.mktemp("short") / "short.in"
    path.write_bytes((small_set / "tamv30.in").read_bytes()[:274 * 300])
    return path


@pytest.fixture(scope="module")
def short_outputs(program, small_set, short_input, tmp_path_factory):
    return program.outputs(small_set, short_input, tmp_path_factory.mktemp("short-program"))


@pytest.fixture(scope="module")
def odd(program, small_set, tmp_path_factory):
    """(path, bytes, program lines, TSV, JSONL) of an input with long lines, CRs and no last line feed."""
    work = tmp_path_factory.mktemp("odd")
    data = odd_input((small_set / "tamv30.in").read_bytes())
    (work / "odd.in").write_bytes(data)
    return (work / "odd.in", data) + program.outputs(small_set, work / "odd.in", work)


def _run(client, input, output, tables, results=None, **options):
    return runner.run(input, output, tables, results, client=client, timeout=PART_TIMEOUT, **options)


def test_partitions_start_at_line_boundaries(odd, tmp_path):
    path, data = odd[0], odd[1]
    for size in (1, 100, 4096, 5000, 20_000, len(data), len(data) + 1):
        parts, total = runner.partition_bounds(path, size)
        assert total == len(data)
        assert parts[0][0] == 0 and parts[-1][1] == len(data)
        assert all(a[1] == b[0] for a, b in zip(parts, parts[1:]))
        assert all(start < end and data[start - 1:start] in (b"\n", b"") for start, end in parts)
        assert all(data[end - 1:end] == b"\n" for _, end in parts[:-1])
        # A partition ends at the first line feed at or after each multiple of the size.
        if size <= 4096:
            assert len(parts) > len(data) // 9002
    assert len(runner.partition_bounds(path, 1)[0]) == data.count(b"\n") + 1
    assert runner.partition_bounds(path, len(data))[0] == [(0, len(data))]
    (tmp_path / "empty").write_bytes(b"")
    assert runner.partition_bounds(tmp_path / "empty", 10) == ([], 0)
    with pytest.raises(ValueError):
        runner.partition_bounds(path, 0)


@pytest.mark.parametrize("partition_size", [1024, 20_000, 1 << 30])
def test_result_lines_and_rows_are_the_programs(dask_client, small_set, short_input, short_outputs, tmp_path,
                                                partition_size):
    lines, tsv, jsonl = short_outputs
    parts = runner.partition_bounds(short_input, partition_size)[0]
    assert len(parts) == -(-len(lines) // 301 * 274 // partition_size)  # one per started multiple of the size
    assert _run(dask_client, short_input, tmp_path / "out", small_set, tmp_path / "rows.tsv",
                partition_size=partition_size) == 300
    assert (tmp_path / "out").read_bytes() == lines
    assert (tmp_path / "rows.tsv").read_bytes() == tsv
    _run(dask_client, short_input, tmp_path / "out2", small_set, tmp_path / "rows.jsonl",
         partition_size=partition_size)
    assert (tmp_path / "out2").read_bytes() == lines
    assert (tmp_path / "rows.jsonl").read_bytes() == jsonl
    assert leftovers(tmp_path) == []


def test_output_parts_keep_the_lines_in_numbered_parts_with_a_manifest(dask_client, small_set, short_input,
                                                                        short_outputs, tmp_path):
    lines, tsv, _ = short_outputs
    parts = tmp_path / "parts"
    assert _run(dask_client, short_input, None, small_set, tmp_path / "rows.tsv", output_parts=parts,
                partition_size=8192) == 300
    manifest = json.loads((parts / runner.MANIFEST).read_text())
    names = sorted(p.name for p in parts.iterdir() if p.name != runner.MANIFEST)
    assert [e["name"] for e in manifest["parts"]] == names == [f"part-{i:05d}" for i in range(len(names))]
    assert len(names) == len(runner.partition_bounds(short_input, 8192)[0]) > 1
    assert b"".join((parts / name).read_bytes() for name in names) == lines
    first = 1
    for entry in manifest["parts"]:
        assert entry["first_record"] == first and entry["bytes"] == (parts / entry["name"]).stat().st_size
        first += entry["records"]
    assert manifest["records"] == 300 and manifest["bytes"] == len(lines)
    assert (tmp_path / "rows.tsv").read_bytes() == tsv
    assert leftovers(tmp_path) == []
    # An empty directory is taken, one with files is not.
    (tmp_path / "empty").mkdir()
    _run(dask_client, short_input, None, small_set, output_parts=tmp_path / "empty", partition_size=1 << 20)
    assert (tmp_path / "empty" / "part-00000").read_bytes() == lines
    with pytest.raises(FileExistsError):
        _run(dask_client, short_input, None, small_set, output_parts=parts)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["empty", "parts", "rows.tsv"]


def test_long_lines_carriage_returns_and_no_last_line_feed(dask_client, small_set, odd, tmp_path, capsys):
    path, data, lines, tsv, jsonl = odd
    after_long = data.index(b"9\n") + 2  # just after the 9001-byte line
    assert (after_long, len(data)) in runner.partition_bounds(path, after_long)[0]
    for size in (after_long, 100, 4095):
        _run(dask_client, path, tmp_path / "out", small_set, tmp_path / "rows.tsv", partition_size=size)
        assert (tmp_path / "out").read_bytes() == lines, size
        assert (tmp_path / "rows.tsv").read_bytes() == tsv, size
    _run(dask_client, path, tmp_path / "out", small_set, tmp_path / "rows", results_format="jsonl",
         partition_size=after_long, progress=True)
    assert (tmp_path / "out").read_bytes() == lines
    assert (tmp_path / "rows").read_bytes() == jsonl
    assert "partitions" in capsys.readouterr().err
    _run(dask_client, path, tmp_path / "lines-only", small_set, partition_size=after_long)
    assert (tmp_path / "lines-only").read_bytes() == lines


def test_a_partition_is_grouped_in_pieces_as_a_whole(small_set, odd, monkeypatch):
    """A worker reads and groups a partition in pieces cut after line feeds: whatever their size
    against the lines (a piece may hold no line feed at all), the bytes are the whole's."""
    path, data, lines, tsv, _ = odd
    rows = tsv[tsv.index(b"\n") + 1:]
    for piece in (7, 100, 5000, 1 << 20):
        monkeypatch.setattr(runner, "_PIECE_BYTES", piece)
        got_lines, got_rows, count = runner.group_partition(str(path), 0, len(data), len(data), str(small_set), 1,
                                                            "tsv")
        assert (bytes(got_lines.view()), bytes(got_rows.view()), count) == (lines, rows, eg.count_records(data))
        assert runner.count_partition(str(path), 0, len(data), len(data)) == count


def test_outputs_through_a_link_or_a_pipe(small_set, short_input, short_outputs, tmp_path):
    lines, tsv, _ = short_outputs
    (tmp_path / "files").mkdir()
    (tmp_path / "files" / "rows.tsv").write_bytes(b"old rows")
    (tmp_path / "rows.tsv").symlink_to(tmp_path / "files" / "rows.tsv")
    done = _cli(short_input, "/dev/stdout", "--tables", small_set, "--results", "rows.tsv", "--local-workers", "2",
                "--partition-size", "8192", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert done.stdout == lines
    assert (tmp_path / "rows.tsv").is_symlink() and (tmp_path / "files" / "rows.tsv").read_bytes() == tsv
    assert leftovers(tmp_path) == leftovers(tmp_path / "files") == []


def test_an_empty_input(dask_client, program, small_set, tmp_path):
    (tmp_path / "empty.in").write_bytes(b"")
    program.run(small_set, tmp_path / "empty.in", tmp_path / "p.out", tmp_path / "p.tsv")
    assert _run(dask_client, tmp_path / "empty.in", tmp_path / "d.out", small_set, tmp_path / "d.tsv") == 0
    assert (tmp_path / "d.out").read_bytes() == (tmp_path / "p.out").read_bytes() == b""
    assert (tmp_path / "d.tsv").read_bytes() == (tmp_path / "p.tsv").read_bytes() == eg.result_header.encode()


def test_a_worker_opens_the_table_set_once(dask_client, set_copy, short_input, tmp_path):
    tables = str(set_copy)
    _run(dask_client, short_input, tmp_path / "out", tables, tmp_path / "rows.tsv", partition_size=1024)
    _run(dask_client, short_input, tmp_path / "out", tables, partition_size=2048)

    def opens():
        from episode_grouper import dask
        return dask._table_opens[tables]

    per_worker = dask_client.run(opens)
    assert len(per_worker) == 2 and sum(per_worker.values()) >= 1
    assert all(n <= 1 for n in per_worker.values()), per_worker


def test_a_failing_worker_fails_the_run_and_leaves_no_output(dask_client, set_copy, short_input, tmp_path,
                                                              monkeypatch):
    # A set that the workers cannot open, let past the check on this side.
    data = bytearray((set_copy / "Tdag_ast").read_bytes())
    data[0:10] = b"%010d" % (int(data[0:10]) + 1)
    (set_copy / "Tdag_ast").write_bytes(bytes(data))
    monkeypatch.setattr(runner._core, "TableSet", lambda path: None)
    (tmp_path / "out").write_bytes(b"old lines")
    with pytest.raises(Exception, match="Tdag_ast count field 0"):
        _run(dask_client, short_input, tmp_path / "out", set_copy, tmp_path / "rows.tsv", partition_size=4096)
    assert (tmp_path / "out").read_bytes() == b"old lines"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["out", "tables"]


def test_a_bad_table_set_fails_before_any_work(dask_client, set_copy, short_input, tmp_path):
    (set_copy / "Tpccl").unlink()
    with pytest.raises(eg.TableSetError) as raised:
        _run(dask_client, short_input, tmp_path / "out", set_copy, tmp_path / "rows.tsv")
    assert raised.value.kind == "file_failed" and raised.value.file == "Tpccl"
    with pytest.raises(OSError):  # the output over the input
        _run(dask_client, short_input, short_input, set_copy.parent / "tables")
    with pytest.raises(FileNotFoundError):
        _run(dask_client, tmp_path / "missing.in", tmp_path / "out", set_copy)
    assert list(tmp_path.iterdir()) == [set_copy]


def _package_env():
    """The environment of a process that imports the package this test imports (first on its path)."""
    package_parent = os.path.dirname(os.path.dirname(eg.__file__))
    return dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [package_parent, os.environ.get("PYTHONPATH")])))


def _cli(*args, cwd):
    return subprocess.run(["/usr/bin/python3", "-m", "episode_grouper.dask", *map(str, args)], cwd=cwd,
                          env=_package_env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=TIMEOUT)


def test_what_a_worker_cannot_see_is_named(small_set, short_input, tmp_path):
    assert runner.path_problem(str(short_input), str(small_set), [str(tmp_path)]) is None
    assert runner.path_problem(str(tmp_path / "gone.in"), str(small_set), []) == \
        f"cannot read the input {tmp_path / 'gone.in'}: No such file or directory"
    assert runner.path_problem(str(short_input), str(tmp_path), []).startswith(
        f"cannot read the table file {tmp_path / 'Tdx.idx'}")
    assert runner.path_problem(str(short_input), str(small_set), [str(tmp_path / "no")]).startswith(
        f"cannot write in the output directory {tmp_path / 'no'}")
    assert list(tmp_path.iterdir()) == []


def test_cli_with_a_bad_table_set_exits_non_zero_and_leaves_no_output(set_copy, short_input, tmp_path):
    data = bytearray((set_copy / "Tcond.idx").read_bytes())
    data[100 + 790] = ord("t")
    (set_copy / "Tcond.idx").write_bytes(bytes(data))
    done = _cli(short_input, "out", "--tables", set_copy, "--results", "rows.tsv", "--local-workers", "2",
                cwd=tmp_path)
    assert done.returncode == 1
    assert b"logic setting missing or error" in done.stderr and b"Tcond.idx" in done.stderr
    assert done.stdout == b""
    assert list(tmp_path.iterdir()) == [set_copy]


def test_cli_groups_on_its_own_local_cluster(small_set, short_input, short_outputs, tmp_path):
    lines, _, jsonl = short_outputs
    done = _cli(short_input, "out", "--tables", small_set, "--results", "rows.jsonl", "--local-workers", "2",
                "--partition-size", "8192", "--timeout", "60", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert (tmp_path / "out").read_bytes() == lines
    assert (tmp_path / "rows.jsonl").read_bytes() == jsonl
    assert sorted(p.name for p in tmp_path.iterdir()) == ["out", "rows.jsonl"]


def test_cli_usage(tmp_path):
    done = _cli("--help", cwd=tmp_path)
    assert done.returncode == 0 and b"--partition-size" in done.stdout and b"--scheduler" in done.stdout
    done = _cli("in", "out", "--tables", "t", "--partition-size", "0", cwd=tmp_path)
    assert done.returncode == 2 and b"partition-size" in done.stderr
    done = _cli("in", "out", "--tables", "t", "--scheduler", "x:1", "--local-workers", "2", cwd=tmp_path)
    assert done.returncode == 2
    for both_or_neither in (["in", "out", "--output-parts", "d"], ["in"]):
        done = _cli(*both_or_neither, "--tables", "t", cwd=tmp_path)
        assert done.returncode == 2 and b"--output-parts" in done.stderr
    assert list(tmp_path.iterdir()) == []


def test_the_runner_is_documented():
    assert runner.__doc__ and "--partition-size" in runner.__doc__
    for function in (runner.run, runner.main, runner.partition_bounds, runner.worker_table_set,
                     runner.group_partition, runner.count_partition, runner.write_part, runner.write_at,
                     runner.part_sizes,
                     runner.path_problem):
        assert function.__doc__ and len(function.__doc__.strip()) > 30, function


def test_csv_input_gives_the_outputs_of_its_records(dask_client, small_set, short_input, tmp_path):
    episodes = []
    for line in short_input.read_bytes().splitlines():
        try:
            episodes.append(eg.Episode.from_record(line))
        except eg.EpisodeError:
            pass
    fields = ("id", "birth_date", "sex", "record_date", "los", "discharge", "principal", "secondary", "procedures",
              "birth_weight", "vent_hours")

    def text(value):
        return "" if value is None else "|".join(value) if isinstance(value, tuple) else str(value)

    rows = [",".join(fields)] + [",".join(text(getattr(e, f)) for f in fields) for e in episodes]
    rows.append("bad,1980-02-30,F,20050515,3,1,K358,,,,")  # an invalid episode, last
    (tmp_path / "episodes.csv").write_text("\n".join(rows) + "\n")
    (tmp_path / "records.in").write_bytes(b"".join(e.to_record() + b"\n" for e in episodes))
    _run(dask_client, tmp_path / "records.in", tmp_path / "fixed.out", small_set, tmp_path / "fixed.tsv")
    assert _run(dask_client, tmp_path / "episodes.csv", tmp_path / "csv.out", small_set, tmp_path / "csv.tsv",
                partition_size=4096) == len(episodes) + 1
    lines = (tmp_path / "csv.out").read_bytes().splitlines(keepends=True)
    assert b"".join(lines[:-1]) == (tmp_path / "fixed.out").read_bytes()
    assert lines[-1].startswith(b"BAD     ") and lines[-1].rstrip(b"\n").endswith(b"0000")
    fixed_rows = (tmp_path / "fixed.tsv").read_text().splitlines()
    csv_rows = (tmp_path / "csv.tsv").read_text().splitlines()
    assert csv_rows[0] == eg.episode_result_header().rstrip("\n")
    # The same rows, with the id column after the record number.
    for fixed, csv, episode in zip(fixed_rows[1:], csv_rows[1:], episodes):
        record, id, *rest = csv.split("\t")
        assert [record] + rest == fixed.split("\t") and id == episode.id
    assert csv_rows[-1].split("\t")[:2] == [str(len(episodes) + 1), "bad"]
    assert csv_rows[-1].endswith("input_invalid@birth_date:1980-02-30 is not a calendar date")


class _Processes:
    """A scheduler and its workers, each started as its own process group by Dask's own commands.

    Stopped by stop(); should that never run, the scheduler ends after 2 idle
    minutes and the workers a minute after losing it (5 minutes at most)."""

    def __init__(self, directory):
        self.directory = directory
        self.env = _package_env()
        self.started = []
        self.workers = []
        self.address = None

    def _start(self, module, *args, log):
        process = subprocess.Popen(["/usr/bin/python3", "-m", f"distributed.cli.{module}", *map(str, args)],
                                   cwd=self.directory, env=self.env, stdout=subprocess.DEVNULL,
                                   stderr=open(self.directory / log, "wb"), start_new_session=True)
        self.started.append(process)
        return process

    def start(self, workers, timeout=30):
        scheduler_file = self.directory / "scheduler.json"
        scheduler = self._start("dask_scheduler", "--host", "127.0.0.1", "--port", "0", "--no-dashboard",
                                "--scheduler-file", scheduler_file, "--idle-timeout", "120", log="scheduler.log")
        deadline = time.monotonic() + timeout
        while self.address is None:
            assert scheduler.poll() is None, (self.directory / "scheduler.log").read_text()
            assert time.monotonic() < deadline, "the scheduler did not write its address"
            try:
                self.address = json.loads(scheduler_file.read_text())["address"]
            except (OSError, ValueError, KeyError):
                time.sleep(0.1)
        for n in range(workers):
            self.workers.append(self._start(
                "dask_worker", self.address, "--host", "127.0.0.1", "--nthreads", "1", "--no-nanny",
                "--no-dashboard", "--death-timeout", "60", "--lifetime", "300", "--local-directory", self.directory / f"worker-{n}",
                log=f"worker-{n}.log"))
        from distributed import Client
        with Client(self.address, timeout="30s") as client:
            client.wait_for_workers(workers, timeout=max(1, deadline - time.monotonic()))

    def kill(self, process):
        try:
            os.killpg(process.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        process.wait(timeout=30)

    def stop(self):
        for process in reversed(self.started):
            try:
                os.killpg(process.pid, signal.SIGTERM)
                process.wait(timeout=10)
            except ProcessLookupError:
                pass
            except subprocess.TimeoutExpired:
                self.kill(process)


@pytest.fixture
def cluster_processes(tmp_path):
    """A scheduler on a free port of 127.0.0.1 and 2 one-thread workers, as processes; stopped at the end."""
    directory = tmp_path / "cluster"
    directory.mkdir()
    processes = _Processes(directory)
    try:
        processes.start(2)
        yield processes
    finally:
        processes.stop()


def test_a_cluster_of_processes_gives_the_programs_bytes_also_when_a_worker_dies(
        cluster_processes, program, small_set, tmp_path):
    lines, tsv, _ = program.outputs(small_set, small_set / "tamv30.in", tmp_path / "program")
    work = tmp_path / "work"
    work.mkdir()
    address = cluster_processes.address
    done = _cli(small_set / "tamv30.in", "out", "--tables", small_set, "--results", "rows.tsv", "--scheduler",
                address, "--partition-size", "20000", "--timeout", "60", cwd=work)
    assert done.returncode == 0, done.stderr
    assert (work / "out").read_bytes() == lines and (work / "rows.tsv").read_bytes() == tsv

    # Workers that cannot write in the output directory: one line, and nothing done.
    done = _cli(small_set / "tamv30.in", work / "missing" / "out", "--tables", small_set, "--scheduler", address,
                cwd=work)
    assert done.returncode == 1
    message = done.stderr.decode().strip()
    assert "\n" not in message and "the worker tcp://127.0.0.1:" in message
    assert f"cannot write in the output directory {work / 'missing'}" in message

    # One worker killed as soon as the first parts are written in place: the run still completes.
    (work / "out").unlink()
    (work / "rows.tsv").unlink()
    run = subprocess.Popen(["/usr/bin/python3", "-m", "episode_grouper.dask", small_set / "tamv30.in", "out",
                            "--tables", small_set, "--results", "rows.tsv", "--scheduler", address,
                            "--partition-size", "2740", "--timeout", "60"],
                           cwd=work, env=_package_env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        deadline = time.monotonic() + 30
        while not any(os.path.getsize(p) > 0 for p in work.glob("out.partial-*") if p.exists()):
            assert run.poll() is None and time.monotonic() < deadline, "no part was written"
            time.sleep(0.01)
        cluster_processes.kill(cluster_processes.workers[0])
        killed_while_running = run.poll() is None
        _, stderr = run.communicate(timeout=60)
    finally:
        if run.poll() is None:
            run.kill()
            run.wait()
    assert killed_while_running
    assert run.returncode == 0, stderr
    assert (work / "out").read_bytes() == lines and (work / "rows.tsv").read_bytes() == tsv
    assert sorted(p.name for p in work.iterdir()) == ["out", "rows.tsv"]
