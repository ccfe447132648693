"""A user who may read a table set and an input but not write them groups
with them: the program with options, the module and the service open both
for reading only, while the run without arguments keeps opening them for
reading and update.  Run by root, the clients run as nobody (setpriv); run
by anyone else, the files are simply not writable by their owner."""
import os
import shutil
import stat
import subprocess
import tempfile
from pathlib import Path
from types import SimpleNamespace

import pytest

import episode_grouper
from conftest import TIMEOUT
from test_serve import Server


def reader_prefix():
    if os.geteuid() != 0:
        return []
    return ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "--"]


@pytest.fixture
def read_only(small_set, grouper_binary):
    """A world-readable directory with a copy of the program, the Python
    package and the small set with its episodes, none writable by the reader,
    and out/, which the reader may write."""
    top = Path(tempfile.mkdtemp(prefix="grouper-read-only-"))
    try:
        top.chmod(0o755)
        tables = top / "tables"
        shutil.copytree(small_set, tables)
        binary = top / "grouper"
        shutil.copy2(grouper_binary, binary)
        package = top / "python"
        shutil.copytree(Path(episode_grouper.__file__).parent, package / "episode_grouper")
        out = top / "out"
        out.mkdir()
        out.chmod(0o777)
        for f in tables.iterdir():
            f.chmod(0o444)
        tables.chmod(0o555)
        yield SimpleNamespace(top=top, tables=tables, binary=binary, package=package, out=out)
    finally:
        tables.chmod(0o755)
        shutil.rmtree(top)


def run_as_reader(read_only, args, env=None, **kw):
    # A build with coverage counters writes them where the reader may write.
    env = dict(env or os.environ, GCOV_PREFIX=str(read_only.out / "gcov"))
    return subprocess.run(reader_prefix() + [str(a) for a in args], stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, timeout=TIMEOUT, env=env, **kw)


def test_the_program_with_options_reads_only(read_only, small_outputs):
    lines = small_outputs[0]
    done = run_as_reader(read_only, [read_only.binary, "--tables", read_only.tables,
                          "--input", read_only.tables / "tamv30.in", "--output", "-"])
    assert done.returncode == 0, done.stderr
    assert done.stdout == lines
    # The run without arguments keeps its classic opening of the input.
    classic = run_as_reader(read_only, [read_only.binary], cwd=read_only.tables)
    assert (classic.returncode, classic.stdout, classic.stderr) == (1, b"file in open error\n", b"")


def test_the_module_reads_only(read_only, small_outputs):
    lines, tsv, _ = small_outputs
    code = ("import sys, episode_grouper as eg\n"
            "tables = eg.TableSet(sys.argv[1])\n"
            "print(tables.group_file(sys.argv[2], sys.argv[3], sys.argv[4]))\n")
    env = dict(os.environ, PYTHONPATH=str(read_only.package))
    done = run_as_reader(read_only, ["/usr/bin/python3", "-c", code, read_only.tables, read_only.tables / "tamv30.in",
                          read_only.out / "m.out", read_only.out / "m.tsv"], env=env)
    assert done.returncode == 0, done.stderr
    assert done.stdout == b"1500\n"
    assert (read_only.out / "m.out").read_bytes() == lines
    assert (read_only.out / "m.tsv").read_bytes() == tsv


def test_the_service_reads_only(read_only, small_outputs):
    lines = small_outputs[0]
    server = Server(read_only.binary, ["--tables", read_only.tables], read_only.out / "serve.log",
                    prefix=reader_prefix() + ["env", f"GCOV_PREFIX={read_only.out / 'gcov'}"])
    try:
        answer = server.post("/v1/group", (read_only.tables / "tamv30.in").read_bytes())
        assert answer.status_code == 200, answer.text
        assert answer.content == lines
    finally:
        server.stop()


def test_the_files_are_not_writable_by_the_reader(read_only):
    # Without this, the tests above would prove nothing.
    probe = run_as_reader(read_only, ["/bin/sh", "-c", f"test -w '{read_only.tables / 'Tdx.idx'}'"])
    assert probe.returncode != 0
    assert not stat.S_IMODE((read_only.tables / "Tdx.idx").stat().st_mode) & 0o222
