"""grouper compare against an independent computation: the program's own
detailed result files under each table set, compared row by row here."""
import json
import os
import shutil
import subprocess
import tempfile
from collections import Counter
from html.parser import HTMLParser

import pytest

from conftest import TIMEOUT, leftovers

RESULT_COLUMNS = 10  # the columns of a result row after "record"; the last is the findings
COUNTED_COLUMNS = (("mdc", 1), ("adrg", 2), ("drg", 3), ("pccl", 4), ("supplementary", 7))


def compare(grouper_binary, old, new, input, workdir, *extra, check=True):
    """Runs grouper compare in `workdir`; returns (process, diff bytes, summary dict)."""
    args = [grouper_binary, "compare", "--tables", str(old), "--tables", str(new), "--input", str(input),
            "--output", "diff.tsv", "--json", "summary.json", *extra]
    done = subprocess.run(args, cwd=workdir, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=TIMEOUT)
    if not check:
        return done, None, None
    assert done.returncode == 0, done.stderr
    summary = json.loads((workdir / "summary.json").read_text(encoding="latin-1"))
    return done, (workdir / "diff.tsv").read_bytes(), summary


def result_rows(program, tables, input, workdir, name):
    program.run(tables, input, workdir / f"{name}.out", workdir / f"{name}.tsv")
    lines = (workdir / f"{name}.tsv").read_bytes().split(b"\n")
    return lines[0], [line.split(b"\t") for line in lines[1:-1]]


def rules_of(text):
    """(index of the first rule line, the rule lines split in columns) of a rule-set dump."""
    lines = text.split("\n")
    first = lines.index(next(line for line in lines if line.startswith("rule\t"))) + 1
    rules = []
    for line in lines[first:]:
        if not line or line[0] in "#@":
            break
        rules.append(line.split("\t"))
    return first, rules


@pytest.fixture(scope="module")
def edited(tables_binary, program, small_set, tmp_path_factory):
    """(old set, new set, old rows, new rows, header) where the new set has one rule of the
    dump edited: a rule of the most frequent ADRG points to another ADRG of its MDC, the
    first such rule (from the last) that moves a record."""
    work = tmp_path_factory.mktemp("edited")
    text = work / "text"
    subprocess.run([tables_binary, "dump", str(small_set), str(text)], check=True, timeout=TIMEOUT)
    header, old_rows = result_rows(program, small_set, small_set / "tamv30.in", work, "old")
    frequent = Counter(row[2] for row in old_rows if row[2]).most_common(1)[0][0].decode()
    original = (text / "Tadrg1.tsv").read_text(encoding="latin-1")
    first, rules = rules_of(original)
    candidates = [i for i, r in enumerate(rules) if r[10] == frequent]
    for i in reversed(candidates):
        others = [r for r in rules if r[7] == rules[i][7] and r[10] != frequent]
        if not others:
            continue
        edit = rules[i][:9] + others[0][9:11]
        lines = original.split("\n")
        lines[first + i] = "\t".join(edit)
        (text / "Tadrg1.tsv").write_text("\n".join(lines), encoding="latin-1")
        new = work / f"new{i}"
        subprocess.run([tables_binary, "build", str(text), str(new)], check=True, stdout=subprocess.DEVNULL,
                       timeout=TIMEOUT)
        _, new_rows = result_rows(program, new, small_set / "tamv30.in", work, f"new{i}")
        if any(a[1:] != b[1:] for a, b in zip(old_rows, new_rows)):
            return small_set, new, old_rows, new_rows, header
    pytest.fail(f"no single rule edit of ADRG {frequent} moves a record")


def test_the_same_set_twice_changes_nothing(grouper_binary, small_set, tmp_path):
    done, diff, summary = compare(grouper_binary, small_set, small_set, small_set / "tamv30.in", tmp_path)
    records = len((small_set / "tamv30.in").read_bytes().splitlines())
    assert summary["records"] == records > 0
    assert summary["differing"] == 0
    assert all(summary[k] == [] for k in ("adrg_moves", "drg_moves", "mdc_moves", "pccl_moves"))
    columns = diff.decode().rstrip("\n").split("\t")
    assert diff.count(b"\n") == 1 and columns[0] == "record" and len(columns) == 1 + 2 * RESULT_COLUMNS
    assert b"records whose results differ" in done.stdout


def test_one_edited_rule_moves_exactly_the_records_it_moves(grouper_binary, edited, tmp_path):
    old, new, old_rows, new_rows, header = edited
    _, diff, summary = compare(grouper_binary, old, new, old / "tamv30.in", tmp_path, "-j", "2")

    # Independently: the rows of both runs, record by record.
    assert len(old_rows) == len(new_rows) == summary["records"]
    expected = []
    moves = {"adrg": Counter(), "drg": Counter(), "mdc": Counter(), "pccl": Counter()}
    results_differ = findings_only = 0
    changed = Counter()
    for a, b in zip(old_rows, new_rows):
        if a[1:] == b[1:]:
            continue
        expected.append(b"\t".join(a + b[1:]))
        if a[1:RESULT_COLUMNS] == b[1:RESULT_COLUMNS]:
            findings_only += 1
            continue
        results_differ += 1
        changed.update(name for name, column in COUNTED_COLUMNS if a[column] != b[column])
        changed["ccl"] += a[5:7] != b[5:7]
        changed["newly_ungroupable"] += bool(a[2]) and not b[2]
        changed["newly_grouped"] += not a[2] and bool(b[2])
        for name, column in (("adrg", 2), ("drg", 3)):
            if a[column] != b[column]:
                moves[name][(a[column].decode(), b[column].decode())] += 1
        moves["mdc"][(a[1].decode(), b[1].decode())] += 1
        moves["pccl"][tuple(int(x) if x else None for x in (a[4], b[4]))] += 1
    assert results_differ > 0
    names = header.split(b"\t")[1:]
    diff_header = b"\t".join([b"record"] + [b"old_" + n for n in names] + [b"new_" + n for n in names])
    assert diff == b"\n".join([diff_header] + expected) + b"\n"
    assert summary["differing"] == len(expected)
    assert summary["results_differ"] == results_differ and summary["findings_only"] == findings_only
    for name, counts in moves.items():
        table = summary[f"{name}_moves"]
        assert {(m["from"], m["to"]): m["count"] for m in table} == counts, name
        # Largest first, then by the codes (no PCCL before PCCL 0).
        order = [(-m["count"], *(-1 if v is None else v for v in (m["from"], m["to"]))) for m in table]
        assert order == sorted(order), name
    for name in ("mdc", "adrg", "drg", "pccl", "ccl", "supplementary"):
        assert summary[f"{name}_changed"] == changed[name], name
    assert summary["newly_ungroupable"] == changed["newly_ungroupable"]
    assert summary["newly_grouped"] == changed["newly_grouped"]


def test_thread_counts_give_the_same_bytes(grouper_binary, edited, tmp_path):
    old, new = edited[0], edited[1]
    outputs = []
    for threads in ("1", "2"):
        work = tmp_path / threads
        work.mkdir()
        done, diff, _ = compare(grouper_binary, old, new, old / "tamv30.in", work, "-j", threads)
        outputs.append((diff, (work / "summary.json").read_bytes(), done.stdout))
    assert outputs[0] == outputs[1]


class PageParser(HTMLParser):
    def __init__(self):
        super().__init__()
        self.ids, self.external, self.csp, self.cells, self._table, self._cell = set(), [], None, {}, None, None

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        if "id" in attrs:
            self.ids.add(attrs["id"])
        if tag == "table":
            self._table = attrs.get("id")
            self.cells[self._table] = []
        if tag == "tr" and self._table:
            self.cells[self._table].append([])
        if tag in ("td", "th"):
            self._cell = ""
        for name in ("src", "href"):
            if attrs.get(name) and not attrs[name].startswith("#"):
                self.external.append((tag, attrs[name]))
        if tag == "meta" and attrs.get("http-equiv") == "Content-Security-Policy":
            self.csp = attrs.get("content")
        if tag in ("script", "link"):
            self.external.append((tag, ""))

    def handle_data(self, data):
        if self._cell is not None:
            self._cell += data

    def handle_endtag(self, tag):
        if tag in ("td", "th") and self._cell is not None:
            self.cells[self._table][-1].append(self._cell)
            self._cell = None
        if tag == "table":
            self._table = None


def test_the_page_shows_the_moves_offline(grouper_binary, edited, tmp_path):
    old, new = edited[0], edited[1]
    compare(grouper_binary, old, new, old / "tamv30.in", tmp_path, "--html", "page.html")
    summary = json.loads((tmp_path / "summary.json").read_text(encoding="latin-1"))
    page = PageParser()
    page.feed((tmp_path / "page.html").read_text(encoding="utf-8"))
    assert page.csp and "default-src 'none'" in page.csp
    assert page.external == []
    assert "mdc-moves-chart" in page.ids
    shown = [(r[0], r[1], int(r[2].replace(",", ""))) for r in page.cells["drg-moves"][1:]]
    assert shown == [(m["from"] or "(none)", m["to"] or "(none)", m["count"]) for m in summary["drg_moves"][:25]]
    assert leftovers(tmp_path) == [] and sorted(p.name for p in tmp_path.iterdir()) == [
        "diff.tsv", "page.html", "summary.json"]

    chromium = "/usr/bin/chromium"
    if not os.access(chromium, os.X_OK):
        pytest.skip("no chromium")
    profile = tempfile.mkdtemp(prefix="compare-page-")
    try:
        done = subprocess.run([chromium, "--headless", "--no-sandbox", "--disable-gpu", "--enable-logging=stderr",
                               "--v=0", f"--user-data-dir={profile}", "--dump-dom",
                               (tmp_path / "page.html").as_uri()],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=TIMEOUT)
    finally:
        shutil.rmtree(profile, ignore_errors=True)
    assert done.returncode == 0
    assert b'id="mdc-moves-chart"' in done.stdout and b"<svg" in done.stdout
    assert b"CONSOLE" not in done.stderr and b"Refused" not in done.stderr, done.stderr


def test_a_set_that_fails_to_load_is_named_and_nothing_is_left(grouper_binary, small_set, set_copy, tmp_path):
    (set_copy / "Tmdc.idx").write_bytes(b"")
    tmp_path = tmp_path / "work"
    tmp_path.mkdir()
    done, _, _ = compare(grouper_binary, small_set, set_copy, small_set / "tamv30.in", tmp_path, check=False)
    assert done.returncode == 1
    message = done.stderr.decode()
    assert "new tables" in message and "Tmdc.idx" in message and str(set_copy) in message
    assert list(tmp_path.iterdir()) == []

    done, _, _ = compare(grouper_binary, small_set, small_set, tmp_path / "missing.in", tmp_path, check=False)
    assert done.returncode == 1 and b"missing.in" in done.stderr
    done = subprocess.run([grouper_binary, "compare", "--tables", str(small_set), "--input", "-"],
                          stdin=subprocess.DEVNULL, capture_output=True, timeout=TIMEOUT, cwd=tmp_path)
    assert done.returncode == 2 and b"--tables twice" in done.stderr
    assert list(tmp_path.iterdir()) == []
