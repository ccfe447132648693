"""grouper compare against an independent computation: the program's own
detailed result files under each table set, compared row by row here."""
import json
import os
import re
import shutil
import subprocess
import tempfile
from collections import Counter, defaultdict
from decimal import ROUND_HALF_UP, Decimal
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


def weighed_rows(grouper_binary, tables, weights, input, results):
    """The rows of a run with the weight catalogue `weights`, as dicts by column name."""
    subprocess.run([grouper_binary, "--tables", str(tables), "--input", str(input), "--output",
                    str(results.with_suffix(".out")), "--weights", str(weights), "--results", str(results)],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=TIMEOUT)
    lines = results.read_text(encoding="latin-1").splitlines()
    header = lines[0].split("\t")
    return [dict(zip(header, line.split("\t"))) for line in lines[1:]]


def catalogue(drgs, out):
    """A weight catalogue for the DRG texts `drgs`: weights of up to 4 decimals, trims that make
    outliers of both kinds; the DRG list's first text gets no row (its records have no weight)."""
    lines = ["drg\tvalid_from\tvalid_to\tweight\tlow_trim\tdeduction\thigh_trim\tsurcharge"]
    for n, drg in enumerate(sorted(drgs)[1:]):
        lines.append(f"{drg}\t\t\t{n % 4}.{(n * 1237) % 10_000:04d}\t{2 + n % 3}\t0.{(n * 311) % 10_000:04d}"
                     f"\t{4 + n % 9}\t0.{(n * 71) % 10_000:04d}")
    out.write_text("\n".join(lines) + "\n", encoding="latin-1")
    return out


def raised_weights(weights, out):
    """A copy of the catalogue `weights` with the weight of every third row raised by 0.1234."""
    lines = weights.read_text(encoding="latin-1").splitlines()
    first = next(i for i, line in enumerate(lines) if line and not line.startswith("#"))
    column = lines[first].split("\t").index("weight")
    for n, i in enumerate(range(first + 1, len(lines))):
        fields = lines[i].split("\t")
        if n % 3 == 0 and lines[i] and not lines[i].startswith("#"):
            fields[column] = str(Decimal(fields[column]) + Decimal("0.1234"))
            lines[i] = "\t".join(fields)
    out.write_text("\n".join(lines) + "\n", encoding="latin-1")
    return out


def cmi(total, episodes):
    return str((total / episodes).quantize(Decimal("0.0001"), ROUND_HALF_UP)) if episodes else None


def test_the_weight_moved_is_the_exact_difference_of_the_two_runs(grouper_binary, edited, tmp_path):
    old, new, plain_old, plain_new = edited[:4]
    weights = catalogue({row[3].decode() for row in plain_old + plain_new if row[3]}, tmp_path / "weights.tsv")
    raised = raised_weights(weights, tmp_path / "raised.tsv")
    old_rows = weighed_rows(grouper_binary, old, weights, old / "tamv30.in", tmp_path / "old.tsv")
    for name, options, new_weights in (("both", ["--weights", str(weights)], weights),
                                       ("apart", ["--weights-old", str(weights), "--weights-new", str(raised)],
                                        raised)):
        work = tmp_path / name
        work.mkdir()
        done, diff, summary = compare(grouper_binary, old, new, old / "tamv30.in", work, "-j", "2", *options,
                                      "--html", "page.html")
        new_rows = weighed_rows(grouper_binary, new, new_weights, old / "tamv30.in", work / "new.tsv")

        # Independently, in decimal: each side's case-mix and every transition's weight.
        def effective(row):
            return Decimal(row["effective_weight"] or 0)

        sums = [sum(map(effective, rows)) for rows in (old_rows, new_rows)]
        weighted = [sum(1 for r in rows if r["effective_weight"]) for rows in (old_rows, new_rows)]
        moves = defaultdict(lambda: [0, Decimal(0)])
        for a, b in zip(old_rows, new_rows):
            if a["drg"] != b["drg"] or a["effective_weight"] != b["effective_weight"]:
                move = moves[(a["drg"], b["drg"])]
                move[0] += 1
                move[1] += effective(b) - effective(a)
        w = summary["weights"]
        assert (Decimal(w["old_case_mix"]), Decimal(w["new_case_mix"])) == tuple(sums)
        assert [w["old_weighted"], w["new_weighted"]] == weighted
        assert [w["old_case_mix_index"], w["new_case_mix_index"]] == [cmi(sums[0], weighted[0]),
                                                                      cmi(sums[1], weighted[1])]
        assert Decimal(w["weight_moved"]) == sums[1] - sums[0] != 0
        assert re.search(rf"\nweight moved \(new - old\) +{re.escape(w['weight_moved'])}\n", done.stdout.decode())
        assert {(m["from"], m["to"]): [m["records"], Decimal(m["weight_moved"])] for m in w["weight_moves"]} == moves
        order = [(-abs(Decimal(m["weight_moved"])), m["from"], m["to"]) for m in w["weight_moves"]]
        assert order == sorted(order)
        page = PageParser()
        page.feed((work / "page.html").read_text(encoding="utf-8"))
        assert [r[3] for r in page.cells["weight-moves"][1:]] == [m["weight_moved"] for m in w["weight_moves"][:20]]
        assert "weight-moves-chart" in page.ids
        # The differing rows carry each side's weight columns, as the runs wrote them.
        lines = diff.decode("latin-1").splitlines()
        header = lines[0].split("\t")
        assert "old_effective_weight" in header and "new_los_class" in header
        for line in lines[1:]:
            row = dict(zip(header, line.split("\t")))
            number = int(row["record"]) - 1
            for side, rows in (("old", old_rows), ("new", new_rows)):
                assert [row[f"{side}_{c}"] for c in ("drg", "weight", "effective_weight")] == \
                    [rows[number][c] for c in ("drg", "weight", "effective_weight")]


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
