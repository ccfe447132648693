"""Shared fixtures of the Python tests: the programs of the build, generated
table sets, and the program's own outputs to compare against.

CTest sets GROUPER_BINARY and GROUPER_TABLES_BINARY and PYTHONPATH; run by hand,
the programs are looked for in the build the imported package comes from."""
import os
import shutil
import subprocess
from pathlib import Path

import pytest

import episode_grouper

TIMEOUT = 120  # seconds for any one program run

MAX_RECORD = 4095


def _binary(variable, relative):
    path = os.environ.get(variable)
    if not path:
        build = Path(episode_grouper.__file__).resolve().parents[2]
        path = str(build / relative)
    if not os.access(path, os.X_OK):
        pytest.exit(f"{variable}: no program at {path}", returncode=2)
    return path


@pytest.fixture(scope="session")
def grouper_binary():
    return _binary("GROUPER_BINARY", "src/grouper")


@pytest.fixture(scope="session")
def tables_binary():
    return _binary("GROUPER_TABLES_BINARY", "tools/grouper-tables")


def split_records(data):
    """The records of `data` as the grouper splits them: through each line feed,
    at most 4095 bytes each, the last one without a line feed included."""
    records = []
    start = 0
    while start < len(data):
        lf = data.find(b"\n", start, start + MAX_RECORD)
        end = lf + 1 if lf >= 0 else min(len(data), start + MAX_RECORD)
        records.append(data[start:end])
        start = end
    return records


# An input that the splitting rules apply to: a line with a NUL, carriage
# returns, an empty line, lines of 4095, 4096 and 9001 bytes with their line
# feeds (the longer ones split into records), and a last line without a line
# feed.
def odd_input(episodes):
    body = episodes.split(b"\n")
    first, second, third = body[0], body[1], body[2]
    return (first[:20] + b"\0" + first[21:] + b"\n"
            + second + b"\r\n"
            + b"\n"
            + third.ljust(4094, b"7") + b"\n"
            + third.ljust(4095, b"8") + b"\n"
            + (first + b"\r").ljust(9000, b"9") + b"\n"
            + second.lower() + b"\r\r\n"
            + third)


class Program:
    """The grouper program of the build, run on a table directory."""

    def __init__(self, binary):
        self.binary = binary

    def run(self, tables, input, output, results=None, results_format=None, check=True):
        args = [self.binary, "--tables", str(tables), "--input", str(input), "--output", str(output)]
        if results is not None:
            args += ["--results", str(results)]
        if results_format is not None:
            args += ["--results-format", results_format]
        done = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=TIMEOUT)
        if check:
            assert done.returncode == 0, done.stdout + done.stderr
        return done

    def outputs(self, tables, input, workdir):
        """(result lines, TSV rows with their header, JSON Lines rows) of the program on `input`."""
        workdir = Path(workdir)
        workdir.mkdir(parents=True, exist_ok=True)
        self.run(tables, input, workdir / "program.out", workdir / "program.tsv")
        self.run(tables, input, workdir / "program-j.out", workdir / "program.jsonl")
        lines = (workdir / "program.out").read_bytes()
        assert (workdir / "program-j.out").read_bytes() == lines
        return lines, (workdir / "program.tsv").read_bytes(), (workdir / "program.jsonl").read_bytes()


@pytest.fixture(scope="session")
def program(grouper_binary):
    return Program(grouper_binary)


@pytest.fixture(scope="session")
def generate(tables_binary, tmp_path_factory):
    """generate(name, profile, episodes, seed) -> the directory of a generated set with its tamv30.in."""

    def make(name, profile="small", episodes=1000, seed=1):
        directory = tmp_path_factory.mktemp(name)
        subprocess.run([tables_binary, "generate", "--seed", str(seed), "--profile", profile, "--episodes",
                        str(episodes), str(directory)], check=True, stdout=subprocess.DEVNULL, timeout=TIMEOUT)
        assert (directory / "tamv30.in").stat().st_size > 0
        return directory

    return make


@pytest.fixture(scope="session")
def small_set(generate):
    """A small generated table set with 1500 episodes in tamv30.in; not to be changed."""
    return generate("small-set", "small", 1500, 7)


@pytest.fixture(scope="session")
def small_outputs(program, small_set, tmp_path_factory):
    """The program's (result lines, TSV, JSONL) for the small set's episodes."""
    return program.outputs(small_set, small_set / "tamv30.in", tmp_path_factory.mktemp("small-program"))


@pytest.fixture
def set_copy(small_set, tmp_path):
    """A copy of the small set's table files that a test may break."""
    target = tmp_path / "tables"
    shutil.copytree(small_set, target, ignore=shutil.ignore_patterns("tamv30.*"))
    return target


def leftovers(directory):
    """The staged files (NAME.partial-PID) and part directories (.NAME.RUN.parts) left in `directory`."""
    return sorted(p.name for p in Path(directory).iterdir() if ".partial-" in p.name or p.name.endswith(".parts"))


@pytest.fixture(scope="module")
def dask_client():
    """A distributed.Client on a LocalCluster of 2 worker processes, for the tests of one module."""
    from distributed import Client, LocalCluster

    cluster = LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None)
    try:
        with Client(cluster, timeout="30s") as client:
            client.wait_for_workers(2, timeout=60)
            yield client
    finally:
        cluster.close(timeout=30)
