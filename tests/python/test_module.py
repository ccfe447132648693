"""The Python module episode_grouper: the program's bytes from every call,
bytes and text at the boundary, errors, and files left after a failure."""
import errno
import json
import os
import pathlib
import subprocess
import threading
import time

import pytest

import episode_grouper as eg
from conftest import leftovers, odd_input, split_records

@pytest.fixture(scope="module")
def tables(small_set):
    return eg.TableSet(small_set)


@pytest.fixture(scope="module")
def episodes(small_set):
    return (small_set / "tamv30.in").read_bytes()


@pytest.fixture(scope="module")
def odd(program, small_set, episodes, tmp_path_factory):
    """(input bytes, program lines, program TSV, program JSONL) of the odd input."""
    work = tmp_path_factory.mktemp("odd")
    data = odd_input(episodes)
    (work / "odd.in").write_bytes(data)
    return (data,) + program.outputs(small_set, work / "odd.in", work)


def _tsv_rows(tsv):
    header, _, rows = tsv.partition(b"\n")
    assert header + b"\n" == eg.result_header.encode()
    return rows


def test_version_is_the_builds_and_the_programs(grouper_binary):
    assert eg.__version__ == os.environ["GROUPER_VERSION"]
    shown = subprocess.run([grouper_binary, "--version"], capture_output=True, text=True, check=True, timeout=60)
    assert shown.stdout == f"grouper {eg.__version__}\n"


def test_group_gives_the_programs_bytes(tables, episodes, small_outputs):
    lines, tsv, jsonl = small_outputs
    results = [tables.group(record) for record in split_records(episodes)]
    assert len(results) == 1500
    assert any(r.has_adrg for r in results) and not all(r.has_adrg for r in results)
    assert b"".join(r.line for r in results) == lines
    assert "".join(r.result_row(i) for i, r in enumerate(results, 1)).encode("latin-1") == _tsv_rows(tsv)
    assert "".join(r.json_row(i) for i, r in enumerate(results, 1)).encode("utf-8") == jsonl


def test_result_attributes_agree_with_the_rows(tables, episodes):
    record = next(r for r in split_records(episodes) if tables.group(r).res_pccl > 0)
    r = tables.group(record)
    row = json.loads(r.json_row(3))
    assert row["record"] == 3
    assert (row["mdc"], row["adrg"], row["drg"], row["pccl"]) == (r.mdc_code, r.adrg_code, r.res_drg_code, r.res_pccl)
    assert (row["ccl_raw"], row["ccl_excl"]) == (r.res_ccl_raw, r.res_ccl_excl)
    assert (row["age_yy"], row["age_dd"], row["rec_date"], row["sex_cd"], row["los_dd"]) == \
        (r.age_yy, r.age_dd, r.rec_date, r.sex_cd, r.los_dd)
    assert r.line[277:281].decode() == r.adrg_code and len(r.line) == 301
    assert len(r.code_ids) == 47 and len(r.pos_ccl) == 11
    assert repr(r).startswith("<Result adrg=")


def test_findings_and_explain_agree_with_the_rows(tables, episodes):
    records = split_records(episodes)
    record = next(r for r in records if tables.group(r).findings)
    r = tables.group(record)
    assert r.findings == json.loads(r.json_row(1))["findings"]
    trace = json.loads(tables.explain(record, "json"))
    assert trace["findings"] == r.findings
    assert trace["result"]["drg"] == (r.res_drg_code if r.res_drg else "")
    assert tables.explain(record).startswith("Record: ")
    with pytest.raises(ValueError):
        tables.explain(record, "xml")


def test_group_many_gives_the_programs_bytes_in_input_order(tables, episodes, small_outputs):
    records = split_records(episodes)[::-1]  # another order than the file's
    expected = [tables.group(r).line for r in records]
    assert len(set(expected)) > 100
    for threads in (1, 3, 0):
        assert [r.line for r in tables.group_many(records, threads=threads)] == expected
    results = tables.group_many(records[::-1], threads=4)
    lines, tsv, jsonl = small_outputs
    assert b"".join(r.line for r in results) == lines
    assert "".join(r.result_row(i) for i, r in enumerate(results, 1)).encode("latin-1") == _tsv_rows(tsv)
    assert tables.group_many([]) == []
    assert [r.line for r in tables.group_many(iter(records[:5]), threads=8)] == expected[:5]


def _longest_pause_of_another_thread(call):
    """Runs call() while another Python thread ticks; returns (duration, longest gap between ticks)."""
    stamps = []
    stop = threading.Event()

    def tick():
        while not stop.is_set():
            stamps.append(time.perf_counter())

    ticker = threading.Thread(target=tick)
    ticker.start()
    try:
        time.sleep(0.02)
        start = time.perf_counter()
        call()
        end = time.perf_counter()
    finally:
        stop.set()
        ticker.join(10)
    inside = [start] + [s for s in stamps if start <= s <= end] + [end]
    return end - start, max(b - a for a, b in zip(inside, inside[1:]))


def test_group_many_releases_the_gil(tables, episodes):
    records = split_records(episodes) * 40
    # The measurement must see a call that holds the GIL: count_records does.
    held, held_gap = _longest_pause_of_another_thread(lambda: eg.count_records(episodes * 60))
    if held < 0.01 or held_gap < 0.5 * held:
        pytest.skip(f"a call holding the GIL is not visible here ({held_gap:.3f}s of {held:.3f}s)")
    duration, gap = _longest_pause_of_another_thread(lambda: tables.group_many(records, threads=1))
    assert gap < 0.5 * duration, f"the other thread stood still {gap:.3f}s of {duration:.3f}s"


def test_group_file_gives_the_programs_bytes(tables, small_set, small_outputs, tmp_path):
    lines, tsv, jsonl = small_outputs
    source = small_set / "tamv30.in"
    assert tables.group_file(source, tmp_path / "a.out", tmp_path / "a.tsv", threads=2) == 1500
    assert tables.group_file(str(source), str(tmp_path / "b.out"), str(tmp_path / "b.jsonl")) == 1500
    assert tables.group_file(source, tmp_path / "c.out", tmp_path / "c.rows", threads=1, results_format="jsonl") == 1500
    assert tables.group_file(source, tmp_path / "d.out") == 1500
    for name in ("a.out", "b.out", "c.out", "d.out"):
        assert (tmp_path / name).read_bytes() == lines
    assert (tmp_path / "a.tsv").read_bytes() == tsv
    assert (tmp_path / "b.jsonl").read_bytes() == jsonl
    assert (tmp_path / "c.rows").read_bytes() == jsonl
    assert leftovers(tmp_path) == []
    with pytest.raises(ValueError):
        tables.group_file(source, tmp_path / "e.out", tmp_path / "e.rows", results_format="csv")


def test_group_block_and_count_records_split_as_the_program(tables, odd):
    data, lines, tsv, jsonl = odd
    records = split_records(data)
    assert eg.count_records(data) == len(records) == 11
    assert eg.result_header.encode() == tsv[:tsv.index(b"\n") + 1]
    assert tables.group_block(data) == (lines, None, len(records))
    assert tables.group_block(data, 1, "tsv") == (lines, _tsv_rows(tsv), len(records))
    assert tables.group_block(data, results_format="jsonl") == (lines, jsonl, len(records))
    # Two blocks cut at a line feed, the second numbered on from the first.
    cut = data.index(b"\n", 5000) + 1
    head = tables.group_block(data[:cut], 1, "jsonl")
    tail = tables.group_block(data[cut:], head[2] + 1, "jsonl")
    assert head[2] + tail[2] == len(records)
    assert head[0] + tail[0] == lines and head[1] + tail[1] == jsonl
    assert tables.group_block(b"") == (b"", None, 0) and eg.count_records(b"") == 0
    with pytest.raises(ValueError):
        tables.group_block(data, 1, "csv")
    # Into kept buffers: the same bytes from their start, whatever they held
    # and however small they were; a buffer is grown, never shrunk.
    kept_lines, kept_rows = bytearray(b"x" * 100), bytearray(10 ** 6)
    for block, first, (want_lines, want_rows) in ((data, 1, (lines, jsonl)), (data[:cut], 1, head[:2])):
        n_lines, n_rows, count = tables.group_block_into(block, kept_lines, kept_rows, first, "jsonl")
        assert (kept_lines[:n_lines], kept_rows[:n_rows], count) == (want_lines, want_rows, eg.count_records(block))
    assert len(kept_rows) == 10 ** 6
    assert tables.group_block_into(data, kept_lines)[::2] == (len(lines), len(records))
    with pytest.raises(TypeError):
        tables.group_block_into(data, b"immutable")
    with pytest.raises(ValueError):
        tables.group_block_into(data, kept_lines, None, 1, "tsv")
    with memoryview(kept_lines):  # a buffer with a live view cannot grow
        with pytest.raises(BufferError):
            tables.group_block_into(data * 4, kept_lines)


def test_a_nul_and_lines_longer_than_4095_bytes(tables, odd):
    data, lines, _, _ = odd
    records = split_records(data)
    assert b"\0" in records[0] and [len(r) for r in records[3:9]] == [4095, 4095, 1, 4095, 4095, 811]
    results = tables.group_many(records)
    assert b"".join(r.line for r in results) == lines
    assert results[0].line[20:21] == b"\0" and len(results[0].line) == 301
    assert results[2].line[:1] == b"\n" and len(results[2].line) == 1 + 193 + 24
    # group() reads at most 4095 bytes of a longer line: its first record.
    long_line = data[sum(len(r) for r in records[:6]):]
    assert len(long_line) > 9000
    assert tables.group(long_line).line == tables.group(long_line[:4095]).line == results[6].line


def test_lines_as_bytes_or_str(tables, episodes):
    record = episodes[:episodes.index(b"\n") + 1]
    odd = record[:30] + b"\xe9\xff" + record[32:]
    for line in (record, odd):
        expected = tables.group(line).line
        text = line.decode("latin-1")
        assert tables.group(text).line == expected
        assert tables.group(bytearray(line)).line == expected
        assert tables.group(memoryview(line)).line == expected
        assert [r.line for r in tables.group_many([text, line, bytearray(line)])] == [expected] * 3
    assert tables.group(odd).line[30:32] == b"\xe9\xff"  # bytes as they are: only ASCII letters are upper-cased


def test_a_str_outside_latin1_raises(tables):
    for call in (lambda: tables.group("A\u20ac\n"), lambda: tables.group_many([b"A\n", "\u0100\n"])):
        with pytest.raises(UnicodeEncodeError) as raised:
            call()
        assert isinstance(raised.value, ValueError)


@pytest.mark.parametrize("call", [
    lambda t: t.group(5),
    lambda t: t.group(None),
    lambda t: t.group(["A"]),
    lambda t: t.group_many(5),
    lambda t: t.group_many(None),
    lambda t: t.group_many([b"A\n", 7]),
    lambda t: t.group_many([b"A\n"], threads="2"),
    lambda t: t.group_block("A\n"),
    lambda t: t.group_block(None),
    lambda t: t.group_file(5, "out"),
    lambda t: eg.count_records("A\n"),
    lambda t: eg.TableSet(5),
    lambda t: eg.TableSet(None),
])
def test_bad_argument_types_raise_type_error(tables, call):
    with pytest.raises(TypeError):
        call(tables)


def test_negative_threads_raise_value_error(tables):
    with pytest.raises(ValueError):
        tables.group_many([b"A\n"], threads=-1)


def test_codes_come_back_as_latin1_text(program, set_copy, small_set, tmp_path):
    # Tmdc.idx holds its 3-byte codes after the 100-byte header: none, PRE, M01, ...
    mdc = bytearray((set_copy / "Tmdc.idx").read_bytes())
    assert mdc[106:109] == b"M01"
    mdc[106] = 0xC7
    (set_copy / "Tmdc.idx").write_bytes(bytes(mdc))
    lines, tsv, jsonl = program.outputs(set_copy, small_set / "tamv30.in", tmp_path)
    tables = eg.TableSet(set_copy)
    results = tables.group_many(split_records((small_set / "tamv30.in").read_bytes()))
    odd = [i for i, r in enumerate(results) if r.mdc_code == "\xc701"]
    assert odd, "no episode in MDC 01"
    assert b"\t\xc701\t" in tsv
    assert "".join(r.result_row(i) for i, r in enumerate(results, 1)).encode("latin-1") == _tsv_rows(tsv)
    assert "".join(r.json_row(i) for i, r in enumerate(results, 1)).encode("utf-8") == jsonl
    assert json.loads(results[odd[0]].json_row())["mdc"].encode("latin-1") == b"\xc701"


def test_table_paths_as_path_bytes_and_undecodable_names(small_set, tmp_path):
    odd_dir = os.path.join(os.fsencode(tmp_path), b"tables-\xff")
    os.mkdir(odd_dir)
    for name in os.listdir(small_set):
        os.link(os.path.join(small_set, name), os.path.join(odd_dir, os.fsencode(name)))
    for path in (odd_dir, os.fsdecode(odd_dir), pathlib.Path(os.fsdecode(odd_dir))):
        tables = eg.TableSet(path)
        assert tables.directory == os.fsdecode(odd_dir)
        assert tables.counts["dx"] > 0
    inp = os.path.join(odd_dir, b"tamv30.in")
    assert tables.group_file(inp, os.path.join(odd_dir, b"out\xfe")) == 1500
    assert os.path.getsize(os.path.join(odd_dir, b"out\xfe")) == 1500 * 301


def _break_count(directory):
    data = bytearray((directory / "Tdag_ast").read_bytes())
    data[0:10] = b"%010d" % (int(data[0:10]) + 1)  # field 0 must be the dx count of Tdx.idx
    (directory / "Tdag_ast").write_bytes(bytes(data))


def _break_logic(directory):
    data = bytearray((directory / "Tcond.idx").read_bytes())
    assert data[100 + 790:100 + 791] == b"l"  # cond_type: one byte per condition after the header
    data[100 + 790] = ord("t")
    (directory / "Tcond.idx").write_bytes(bytes(data))


def _shorten(name):
    def cut(directory):
        data = (directory / name).read_bytes()
        (directory / name).write_bytes(data[:-3])
    return cut


@pytest.mark.parametrize("damage, kind, file, loader_message, program_says", [
    (lambda d: (d / "Tccl").unlink(), "file_failed", "Tccl", None, b" file init error \n"),
    (_shorten("adrg_ltcdrg"), "file_failed", "adrg_ltcdrg", "ltcdrg_ast read error \n", b" file init error \n"),
    (_break_count, "count_mismatch", "Tdag_ast", None, b" file count error \n"),
    (_break_logic, "logic_setting", "Tcond.idx", "logic setting missing or error\n",
     b"logic setting missing or error\n"),
])
def test_table_set_errors(program, set_copy, small_set, tmp_path, damage, kind, file, loader_message, program_says):
    damage(set_copy)
    with pytest.raises(eg.TableSetError) as raised:
        eg.TableSet(set_copy)
    error = raised.value
    assert isinstance(error, OSError)
    assert (error.kind, error.file, error.loader_message) == (kind, file, loader_message)
    assert str(set_copy) in str(error) and file in str(error)
    # The program refuses the same set, with its own message.
    done = program.run(set_copy, small_set / "tamv30.in", tmp_path / "p.out", check=False)
    assert done.returncode == 1 and program_says in done.stdout


def test_table_set_error_for_a_missing_directory(tmp_path):
    with pytest.raises(eg.TableSetError) as raised:
        eg.TableSet(tmp_path / "nowhere")
    assert (raised.value.kind, raised.value.file, raised.value.loader_message) == ("no_directory", None, None)
    assert "nowhere" in str(raised.value)


def test_group_file_on_an_unreadable_input_leaves_no_output(tables, tmp_path):
    with pytest.raises(FileNotFoundError) as raised:
        tables.group_file(tmp_path / "missing.in", tmp_path / "out", tmp_path / "rows.tsv")
    assert raised.value.errno == errno.ENOENT and "missing.in" in str(raised.value)
    # A directory opens but cannot be read.
    (tmp_path / "dir.in").mkdir()
    with pytest.raises(OSError, match="read error"):
        tables.group_file(tmp_path / "dir.in", tmp_path / "out", tmp_path / "rows.tsv")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["dir.in"]


def test_group_file_failures_never_leave_an_output_that_looks_complete(tables, small_set, tmp_path):
    source = tmp_path / "in"
    source.write_bytes((small_set / "tamv30.in").read_bytes()[:274 * 20])
    (tmp_path / "out").write_bytes(b"old lines")
    (tmp_path / "rows.tsv").write_bytes(b"old rows")
    (tmp_path / "dir.in").mkdir()
    with pytest.raises(OSError):  # the input fails part way: the old outputs stay as they were
        tables.group_file(tmp_path / "dir.in", tmp_path / "out", tmp_path / "rows.tsv")
    with pytest.raises(OSError):  # the result file cannot be created: no result lines either
        tables.group_file(source, tmp_path / "new.out", tmp_path / "no-such-dir" / "rows.tsv")
    with pytest.raises(OSError):  # both outputs in one file
        tables.group_file(source, tmp_path / "both", tmp_path / "both")
    with pytest.raises(OSError):  # the result file over the input
        tables.group_file(source, tmp_path / "new.out", source)
    with pytest.raises(OSError):  # the output over the input, named another way
        tables.group_file(source, tmp_path / ".." / tmp_path.name / "in")
    with pytest.raises(RuntimeError, match="write error"):  # a full disk
        tables.group_file(source, "/dev/full")
    assert (tmp_path / "out").read_bytes() == b"old lines"
    assert (tmp_path / "rows.tsv").read_bytes() == b"old rows"
    assert source.stat().st_size == 274 * 20
    assert sorted(p.name for p in tmp_path.iterdir()) == ["dir.in", "in", "out", "rows.tsv"]


def test_everything_is_documented():
    assert eg.__doc__ and eg._core.__doc__
    documented = [eg.TableSet, eg.TableSetError, eg.Result, eg.count_records, eg.TableSet.group,
                  eg.TableSet.group_many, eg.TableSet.group_file, eg.TableSet.group_block,
                  eg.Result.result_row, eg.Result.json_row]
    for thing in documented:
        assert thing.__doc__ and len(thing.__doc__.strip()) > 20, thing
    for name in ("kind", "file", "loader_message"):
        assert name in eg.TableSetError.__doc__
    assert "GIL" in eg.TableSet.group_many.__doc__
    for name in ("code_ids", "pos_ccl", "res_drg_code", "line"):
        assert getattr(eg.Result, name).__doc__
