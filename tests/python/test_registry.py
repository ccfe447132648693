"""TableRegistry in Python: the versions chosen by record date give the bytes
of the grouper program's --registry, record by record and for a whole file."""
import json
import subprocess
import threading

import pytest
import requests

import episode_grouper
from conftest import TIMEOUT, split_records
from test_serve import serve  # noqa: F401  (the fixture that starts and stops servers)


@pytest.fixture(scope="module")
def registry(generate, tmp_path_factory):
    """A registry of two different sets with a gap in January 2006, and its folder."""
    folder = tmp_path_factory.mktemp("registry")
    first = generate("registry-a", "small", 600, 3)
    second = generate("registry-b", "small", 1, 4)
    (folder / "registry.tsv").write_text(
        "name\tdirectory\tvalid_from\tvalid_to\n"
        f"a\t{first}\t\t20051231\n"
        f"b\t{second}\t20060201\t\n")
    episodes = (first / "tamv30.in").read_bytes()
    # A blank date, an unreadable one, and one in the gap.
    records = split_records(episodes)
    for i, date in ((0, b"        "), (1, b"2005x101"), (2, b"20060115")):
        records[i] = records[i][:21] + date + records[i][29:]
    (folder / "episodes.txt").write_bytes(b"".join(records))
    return folder


def test_groups_each_record_as_the_program_does(registry, grouper_binary):
    folder = registry
    subprocess.run([grouper_binary, "--registry", "registry.tsv", "--input", "episodes.txt", "--output",
                    "program.out", "--results", "program.tsv"], cwd=folder, check=True, timeout=TIMEOUT,
                   capture_output=True)
    lines = (folder / "program.out").read_bytes()
    rows = (folder / "program.tsv").read_text("latin-1")

    reg = episode_grouper.TableRegistry(folder / "registry.tsv")
    assert [v["name"] for v in reg.versions] == ["a", "b"]
    assert reg.versions[0]["valid_from"] is None and reg.versions[1]["valid_to"] is None
    assert "no version holds 20060101..20060131" in reg.warnings[0]

    records = split_records((folder / "episodes.txt").read_bytes())
    results = reg.group_many(records, threads=2)
    assert b"".join(r.line for r in results) == lines
    assert "".join(r.result_row(i + 1) for i, r in enumerate(results)) == rows.split("\n", 1)[1]
    assert rows.split("\n", 1)[0] + "\n" == episode_grouper.result_header_with_tables
    for r, date in zip(results[:3], (0, -1, 20060115)):
        assert r.tables is None and r.adrg_code == ""
        assert r.findings == [{"code": "no_table_version", "field": "rec_date", "date": date}]
    assert {"a", "b"} <= {r.tables for r in results[3:]}
    assert reg.version_of(records[3]) == results[3].tables

    block_lines, block_rows, count = reg.group_block(b"".join(records), 1, "tsv")
    assert (block_lines, block_rows, count) == (lines, rows.split("\n", 1)[1].encode("latin-1"), len(records))

    assert reg.group_file(folder / "episodes.txt", folder / "module.out", folder / "module.tsv") == len(records)
    assert (folder / "module.out").read_bytes() == lines
    assert (folder / "module.tsv").read_text("latin-1") == rows


def test_refuses_a_registry_with_its_file_and_line(registry):
    bad = registry / "overlap.tsv"
    text = (registry / "registry.tsv").read_text().replace("20060201", "20051231")
    bad.write_text(text)
    with pytest.raises(episode_grouper.TableSetError) as caught:
        episode_grouper.TableRegistry(bad)
    assert caught.value.kind == "registry" and caught.value.line == 3
    assert f"{bad}:3: window 20051231..open of b overlaps" in str(caught.value)


def test_the_dask_runner_gives_the_programs_bytes(registry, grouper_binary, dask_client):
    from episode_grouper import dask as runner

    folder = registry
    subprocess.run([grouper_binary, "--registry", "registry.tsv", "--input", "episodes.txt", "--output",
                    "program.out", "--results", "program.tsv"], cwd=folder, check=True, timeout=TIMEOUT,
                   capture_output=True)
    records = runner.run(folder / "episodes.txt", folder / "dask.out", results=folder / "dask.tsv",
                         registry=folder / "registry.tsv", partition_size=20000, client=dask_client)
    assert records == len(split_records((folder / "episodes.txt").read_bytes()))
    assert (folder / "dask.out").read_bytes() == (folder / "program.out").read_bytes()
    assert (folder / "dask.tsv").read_bytes() == (folder / "program.tsv").read_bytes()


def test_the_service_groups_by_date_and_reloads_the_registry_whole_under_load(registry, grouper_binary, serve):
    folder = registry
    episodes = (folder / "episodes.txt").read_bytes()

    def program(*more):
        return subprocess.run([grouper_binary, *more, "--input", "-", "--output", "-"], cwd=folder,
                              input=episodes, check=True, capture_output=True, timeout=TIMEOUT).stdout

    def program_rows(registry_file):
        subprocess.run([grouper_binary, "--registry", registry_file, "--input", "episodes.txt", "--output",
                        "rows.out", "--results", "rows.jsonl"], cwd=folder, check=True, capture_output=True,
                       timeout=TIMEOUT)
        return (folder / "rows.jsonl").read_bytes()

    lines = program("--registry", "registry.tsv")
    old = program_rows("registry.tsv")
    # The same versions with the gap of January 2006 closed.
    (folder / "closed.tsv").write_text((folder / "registry.tsv").read_text().replace("20060201", "20060101"))
    new = program_rows("closed.tsv")
    assert old != new
    (folder / "served.tsv").write_text((folder / "registry.tsv").read_text())

    server = serve("--registry", folder / "served.tsv", "--threads", "2")
    assert server.post("/v1/group", episodes).content == lines
    assert server.post("/v1/group?format=jsonl", episodes).content == old
    assert server.post("/v1/group?tables=b", episodes).content == program("--tables", reg_dir(folder, "b"))
    assert old.split(b"\n")[0].endswith(b',"tables":null}') and b'"code":"no_table_version"' in old
    # JSON episodes and explain take the version of the date too.
    episode = {"id": "e1", "birth_date": "19500101", "sex": "M", "los": "3", "discharge": "1", "principal": "A00"}
    dated = [dict(episode, record_date=d) for d in ("20050301", "20060115")]
    answer = server.post("/v1/group", json.dumps(dated), headers={"Content-Type": "application/json"})
    assert answer.status_code == 200, answer.text
    assert [r["tables"] for r in answer.json()] == ["a", None]
    assert answer.json()[1]["findings"] == [{"code": "no_table_version", "field": "rec_date", "date": 20060115}]
    record = episodes.split(b"\n")[5] + b"\n"
    version = episode_grouper.TableRegistry(folder / "registry.tsv").version_of(record)
    if version is not None:
        assert server.post("/v1/explain", record).content == server.post(f"/v1/explain?tables={version}",
                                                                          record).content
    gap = server.post("/v1/explain", episodes.split(b"\n")[2] + b"\n")
    assert gap.status_code == 422 and gap.json()["error"] == "no_table_version"

    answers, stop = [], threading.Event()

    def load():
        with requests.Session() as http:
            while not stop.is_set() and len(answers) < 400:
                answers.append(http.post(server.url + "/v1/group?format=jsonl", data=episodes, timeout=60).content)

    workers = [threading.Thread(target=load) for _ in range(2)]
    for w in workers:
        w.start()
    try:
        # A registry that fails keeps the old one serving; a good one is swapped in whole.
        (folder / "served.tsv").write_text((folder / "registry.tsv").read_text().replace("20060201", "20051231"))
        failed = server.post("/v1/admin/reload", b"")
        assert failed.status_code == 500 and failed.json()["reloaded"][0]["error"] == "registry"
        assert server.post("/v1/group?format=jsonl", episodes).content == old
        (folder / "served.tsv").write_text((folder / "closed.tsv").read_text())
        assert server.post("/v1/admin/reload", b"").status_code == 200
        assert server.post("/v1/group?format=jsonl", episodes).content == new
    finally:
        stop.set()
        for w in workers:
            w.join(120)
    assert answers and all(a in (old, new) for a in answers)


def reg_dir(folder, name):
    for line in (folder / "registry.tsv").read_text().splitlines()[1:]:
        fields = line.split("\t")
        if fields[0] == name:
            return fields[1]
    raise KeyError(name)
