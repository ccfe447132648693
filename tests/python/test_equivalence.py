"""Every client of the library gives the program's bytes on a realistic set:
the program, group_file, group_many and the Dask runner."""
import pytest

import episode_grouper as eg
from episode_grouper import dask as runner
from conftest import leftovers, split_records

EPISODES = 20_000


@pytest.fixture(scope="module")
def realistic(generate):
    return generate("realistic", "realistic", EPISODES, 11)


@pytest.fixture(scope="module")
def expected(program, realistic, tmp_path_factory):
    """The program's (result lines, TSV, JSONL)."""
    return program.outputs(realistic, realistic / "tamv30.in", tmp_path_factory.mktemp("program"))


def test_group_file_and_group_many_give_the_programs_bytes(realistic, expected, tmp_path):
    lines, tsv, jsonl = expected
    source = realistic / "tamv30.in"
    tables = eg.TableSet(realistic)
    assert tables.group_file(source, tmp_path / "f.out", tmp_path / "f.tsv", threads=2) == EPISODES
    assert tables.group_file(source, tmp_path / "g.out", tmp_path / "g.jsonl", threads=1) == EPISODES
    assert (tmp_path / "f.out").read_bytes() == (tmp_path / "g.out").read_bytes() == lines
    assert (tmp_path / "f.tsv").read_bytes() == tsv
    assert (tmp_path / "g.jsonl").read_bytes() == jsonl

    records = split_records(source.read_bytes())
    assert len(records) == EPISODES
    results = tables.group_many(records, threads=2)
    assert len({r.res_drg_code for r in results}) > 200  # a realistic spread of groups
    assert 0 < sum(not r.has_adrg for r in results) < EPISODES // 10
    assert b"".join(r.line for r in results) == lines
    rows = "".join(r.result_row(i) for i, r in enumerate(results, 1))
    assert (eg.result_header + rows).encode("latin-1") == tsv
    assert "".join(r.json_row(i) for i, r in enumerate(results, 1)).encode("utf-8") == jsonl


@pytest.mark.parametrize("partition_size", [64 << 10, 1 << 20, 1 << 30])
def test_the_dask_runner_gives_the_programs_bytes(dask_client, realistic, expected, tmp_path, partition_size):
    lines, tsv, jsonl = expected
    source = realistic / "tamv30.in"
    parts = len(runner.partition_bounds(source, partition_size)[0])
    assert parts == 1 if partition_size > source.stat().st_size else parts > 4
    for results, rows in (("rows.tsv", tsv), ("rows.jsonl", jsonl)):
        assert runner.run(source, tmp_path / "out", realistic, tmp_path / results, partition_size=partition_size,
                          client=dask_client, timeout=60) == EPISODES
        assert (tmp_path / "out").read_bytes() == lines
        assert (tmp_path / results).read_bytes() == rows
    assert leftovers(tmp_path) == []
