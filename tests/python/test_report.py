"""The casemix report: the numbers on the page are the counts of the result
file (counted here independently, TSV and JSON Lines), the page loads
nothing and shows every chart in headless Chromium, and the program's
`grouper report` and `--report` write it and refuse a bad file."""
import json
import os
import re
import subprocess
import tempfile
from collections import Counter
from html.parser import HTMLParser
from pathlib import Path

import pytest

from episode_grouper import report, result_counts
from conftest import TIMEOUT, leftovers

CHROMIUM = "/usr/bin/chromium"
CHARTS = {"causes", "mdc", "adrg", "drg", "pccl", "pccl-mdc", "supplementary", "age", "findings", "unknown"}


@pytest.fixture(scope="module")
def results(program, generate, tmp_path_factory):
    """{"tsv": path, "jsonl": path}: the detailed results of 3000 generated episodes."""
    tables = generate("report-set", "small", 3000, 2005)
    work = tmp_path_factory.mktemp("report-results")
    paths = {}
    for kind in ("tsv", "jsonl"):
        paths[kind] = work / f"results.{kind}"
        program.run(tables, tables / "tamv30.in", work / f"{kind}.out", paths[kind])
    return paths


def expected_counts(path):
    """What the page must show, counted from the rows with plain Python."""
    rows = []
    if path.suffix == ".jsonl":
        for line in path.read_text("utf-8").splitlines():
            o = json.loads(line)
            codes = [f["code"] for f in o["findings"]]
            rows.append((o["mdc"] or "", o["adrg"] or "", o["drg"] or "",
                         "" if o["pccl"] is None else str(o["pccl"]), codes))
    else:
        lines = path.read_text("latin-1").splitlines()
        header = lines[0].split("\t")
        for line in lines[1:]:
            r = dict(zip(header, line.split("\t")))
            codes = [re.match(r"[a-z_]+", f).group() for f in r["findings"].split(";") if f]
            rows.append((r["mdc"], r["adrg"], r["drg"], r["pccl"], codes))
    grouped = [r for r in rows if r[1]]
    return {
        "records": len(rows),
        "grouped": len(grouped),
        "mdc": Counter(r[0] or "none" for r in rows),
        "adrg": Counter(r[1] for r in grouped),
        "drg": Counter(r[2] for r in rows if r[2]),
        "pccl": Counter(int(r[3]) for r in grouped),
        "pccl-mdc": Counter((r[0] or "none", int(r[3])) for r in grouped),
        "finding records": Counter(code for r in rows for code in set(r[4])),
        "findings": Counter(code for r in rows for code in r[4]),
    }


class Tables(HTMLParser):
    """The body rows of every <table id=...> of a page, as lists of cell texts."""

    def __init__(self, text):
        super().__init__()
        self.tables, self.current, self.row, self.cell = {}, None, None, None
        self.feed(text)

    def handle_starttag(self, tag, attrs):
        if tag == "table":
            self.current = self.tables.setdefault(dict(attrs).get("id"), [])
        elif tag == "tr":
            self.row = []
        elif tag in ("td", "th"):
            self.cell = "" if tag == "td" else None

    def handle_data(self, data):
        if self.cell is not None:
            self.cell += data

    def handle_endtag(self, tag):
        if tag == "td":
            self.row.append(self.cell)
            self.cell = None
        elif tag == "tr" and self.row:
            self.current.append(self.row)
            self.row = None


def number(text):
    return int(text.replace(",", ""))


def column(rows, key=0, value=1):
    return {row[key]: number(row[value]) for row in rows}


def check_page(page, expected):
    t = Tables(page).tables
    overview = column(t["overview"])
    assert overview["records"] == expected["records"]
    assert overview["grouped"] == expected["grouped"]
    assert overview["without an ADRG"] == expected["records"] - expected["grouped"]
    assert column(t["mdc"]) == expected["mdc"]
    for name in ("adrg", "drg"):
        shown = column(t[name])
        assert len(shown) == 25
        assert all(expected[name][code] == n for code, n in shown.items())
        assert sorted(shown.values(), reverse=True) == sorted(expected[name].values(), reverse=True)[:25]
    assert {int(p): n for p, n in column(t["pccl"]).items()} == expected["pccl"]
    header = ["MDC"] + [f"PCCL {p}" for p in sorted(expected["pccl"])]
    by_mdc = Counter({(row[0], int(header[i][5:])): number(row[i]) for row in t["pccl-mdc"]
                      for i in range(1, len(header))})
    assert +by_mdc == expected["pccl-mdc"]
    assert column(t["findings"]) == expected["finding records"]
    assert column(t["findings"], value=3) == expected["findings"]
    # Nothing is loaded: the policy allows no script, and nothing names a place to load from.
    assert f'<meta http-equiv="Content-Security-Policy" content="{report.hp.CONTENT_SECURITY_POLICY}">' in page
    assert not re.search(r"<script|<link|<img|<iframe|@import|\bsrc=|url\((?!#)", page)
    assert all(h.startswith("#") for h in re.findall(r'href="([^"]*)"', page))


@pytest.mark.parametrize("kind", ["tsv", "jsonl"])
def test_numbers_on_the_page_are_the_counts_of_the_file(results, kind, tmp_path, monkeypatch):
    expected = expected_counts(results[kind])
    assert expected["records"] == 3000 and expected["finding records"] and expected["grouped"] < 3000
    assert report.main([str(results[kind]), "-o", str(tmp_path / "report.html")]) == 0
    page = (tmp_path / "report.html").read_text("utf-8")
    check_page(page, expected)
    assert set(re.findall(r'<figure id="([^"]+)-chart">', page)) == CHARTS | ({"los"} if kind == "jsonl" else set())
    # Blocks that end inside a line count the same.
    monkeypatch.setattr(result_counts, "BLOCK_BYTES", 997)
    monkeypatch.setattr(result_counts, "JSON_BLOCK_LINES", 7)
    assert report.main([str(results[kind]), "-o", str(tmp_path / "small-blocks.html")]) == 0
    assert (tmp_path / "small-blocks.html").read_text("utf-8") == page
    assert leftovers(tmp_path) == []


@pytest.mark.skipif(not os.access(CHROMIUM, os.X_OK), reason="no /usr/bin/chromium")
def test_page_opens_in_chromium_without_errors_and_shows_every_chart(results, tmp_path):
    page = tmp_path / "report.html"
    assert report.main([str(results["jsonl"]), "-o", str(page)]) == 0
    charts = set(re.findall(r'<figure id="([^"]+)-chart">', page.read_text("utf-8")))
    assert charts == CHARTS | {"los"}
    with tempfile.TemporaryDirectory(dir=tmp_path) as profile:
        done = subprocess.run([CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--enable-logging=stderr",
                               "--v=0", f"--user-data-dir={profile}", "--dump-dom", page.as_uri()],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120, text=True)
    assert done.returncode == 0, done.stderr
    problems = [line for line in done.stderr.splitlines()
                if "CONSOLE" in line or "Uncaught" in line or "Content Security Policy" in line]
    assert problems == []
    dom = done.stdout
    assert set(re.findall(r'<figure id="([^"]+)-chart">\s*<svg\b', dom)) == charts
    assert len(re.findall(r"<svg\b", dom)) == len(charts)


def run(args, cwd):
    return subprocess.run(args, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, encoding="latin-1",
                          timeout=TIMEOUT)


def without_subtitle(page):
    return re.sub(r'<p class="subtitle">.*?</p>', "", page)


def test_program_writes_the_report_and_refuses_a_bad_file(grouper_binary, results, generate, tmp_path):
    grouper_binary = os.path.abspath(grouper_binary)  # the runs below start in tmp_path
    done = run([grouper_binary, "report", str(results["tsv"]), "-o", "page.html"], tmp_path)
    assert done.returncode == 0, done.stderr
    assert report.main([str(results["tsv"]), "-o", str(tmp_path / "module.html")]) == 0
    assert (tmp_path / "page.html").read_text("utf-8") == (tmp_path / "module.html").read_text("utf-8")

    # A run with --report: with its own results file, and with a temporary one that goes.
    tables = generate("report-run", "small", 400, 11)
    done = run([grouper_binary, "-C", str(tables), "--results", "rows.jsonl", "--report", "with.html"], tmp_path)
    assert done.returncode == 0, done.stderr
    check_page((tables / "with.html").read_text("utf-8"), expected_counts(tables / "rows.jsonl"))
    before = sorted(p.name for p in tables.iterdir())
    done = run([grouper_binary, "-C", str(tables), "--report", "alone.html"], tmp_path)
    assert done.returncode == 0, done.stderr
    assert sorted(p.name for p in tables.iterdir()) == sorted(before + ["alone.html"])
    assert report.main([str(tables / "rows.jsonl"), "-o", str(tmp_path / "rows.html")]) == 0
    tsv_page = (tmp_path / "rows-tsv.html")
    subprocess.run([grouper_binary, "-C", str(tables), "--output", "x.out", "--results", str(tmp_path / "rows.tsv")],
                   check=True, stdout=subprocess.DEVNULL, timeout=TIMEOUT)
    assert report.main([str(tmp_path / "rows.tsv"), "-o", str(tsv_page)]) == 0
    assert without_subtitle((tables / "alone.html").read_text("utf-8")) == without_subtitle(tsv_page.read_text("utf-8"))

    # A file that is not a result file, a cut row, a broken JSON row: status 1, the file and the line named, no page.
    rows = results["tsv"].read_text("latin-1").splitlines(keepends=True)
    (tmp_path / "cut.tsv").write_text("".join(rows[:5]) + rows[5][:20] + "\n" + "".join(rows[6:]), "latin-1")
    jrows = results["jsonl"].read_text("utf-8").splitlines(keepends=True)
    (tmp_path / "broken.jsonl").write_text("".join(jrows[:9]) + jrows[9][:-30] + "\n" + "".join(jrows[10:]), "utf-8")
    for bad, words in ((tables / "tamv30.in", "not a detailed result file"), (tmp_path / "cut.tsv", "line 6"),
                       (tmp_path / "broken.jsonl", "line 10"), (tmp_path / "missing.tsv", "cannot open")):
        done = run([grouper_binary, "report", str(bad), "-o", "bad.html"], tmp_path)
        assert done.returncode == 1, (bad, done.stderr)
        assert str(bad) in done.stderr and words in done.stderr
        assert not (tmp_path / "bad.html").exists()
    assert run([grouper_binary, "report", str(results["tsv"])], tmp_path).returncode == 2
    assert leftovers(tmp_path) == [] and leftovers(tables) == []
