"""The casemix report: the numbers on the page are the counts of the result
file (counted here independently, TSV and JSON Lines), the case-mix figures
of a file with weights are an independent exact decimal computation, the
page loads nothing and shows every chart in headless Chromium, and the
program's `grouper report` and `--report` write it (counting the rows
themselves, to the same page) and refuse a bad file."""
import json
import random
import os
import re
import subprocess
import tempfile
from collections import Counter, defaultdict
from decimal import ROUND_HALF_UP, Decimal
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
    assert f"<footer>episode grouper {os.environ['GROUPER_VERSION']}</footer>" in page
    assert set(re.findall(r'<figure id="([^"]+)-chart">', page)) == CHARTS | ({"los"} if kind == "jsonl" else set())
    # Blocks that end inside a line count the same.
    monkeypatch.setattr(result_counts, "BLOCK_BYTES", 997)
    monkeypatch.setattr(result_counts, "JSON_BLOCK_LINES", 7)
    assert report.main([str(results[kind]), "-o", str(tmp_path / "small-blocks.html")]) == 0
    assert (tmp_path / "small-blocks.html").read_text("utf-8") == page
    # Drawn in two processes (as the command line does where it can) or in one, the page is the same.
    counts = result_counts.count_results(results[kind])
    assert report.render(counts, jobs=2) == report.render(counts, jobs=1) == page
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


def weighted_rows(path):
    """The rows of a result file with weight columns as dicts of texts ("" for none)."""
    if path.suffix == ".jsonl":
        for line in path.read_text("utf-8").splitlines():
            o = json.loads(line, parse_float=Decimal)
            yield {k: "" if o[k] is None else str(o[k]) for k in ("mdc", "effective_weight", "los_class")}
        return
    lines = path.read_text("latin-1").splitlines()
    header = lines[0].split("\t")
    for line in lines[1:]:
        yield dict(zip(header, line.split("\t")))


def expected_casemix(path):
    """{MDC or "all": (case-mix, episodes with a weight, CMI)} and the los_class counts, in Decimal."""
    sums, episodes, classes = defaultdict(Decimal), Counter(), Counter()
    for r in weighted_rows(path):
        classes[r["los_class"]] += 1
        classes["without"] += not r["effective_weight"]
        if r["effective_weight"]:
            for key in (r["mdc"] or "none", "all"):
                sums[key] += Decimal(r["effective_weight"])
                episodes[key] += 1
    cmi = {k: (sums[k] / episodes[k]).quantize(Decimal("0.0001"), ROUND_HALF_UP) for k in sums}
    return {k: (sums[k], episodes[k], cmi[k]) for k in sums}, classes


def decimal(text):
    return Decimal(text.replace(",", ""))


def check_casemix(page, path):
    expected, classes = expected_casemix(path)
    t = Tables(page).tables
    shown = {row[0]: row[1] for row in t["casemix"]}
    assert decimal(shown["case-mix"]) == expected["all"][0]
    assert decimal(shown["case-mix index"]) == expected["all"][2]
    assert number(shown["episodes with a weight"]) == expected["all"][1]
    assert number(shown["episodes without a weight"]) == classes["without"]
    assert (number(shown["low outliers"]), number(shown["high outliers"])) == (classes["low"], classes["high"])
    per_mdc = {row[0]: (decimal(row[2]), number(row[1]), decimal(row[3])) for row in t["cmi-mdc"]}
    assert per_mdc == {k: v for k, v in expected.items() if k != "all"}
    assert "rounded half up to 4" in page


def with_weights(path, out, seed):
    """The result file `path` with weight columns appended: weights of up to 4 decimals, some
    records without one, outliers of both kinds, some with an unreadable length of stay."""
    rng = random.Random(seed)
    lines = path.read_text("latin-1").splitlines()
    rows = [lines[0] + "\tweight\teffective_weight\tlos_class"]
    for line in lines[1:]:
        drg = line.split("\t")[3]
        if not drg or rng.random() < 0.05:
            rows.append(line + "\t\t\t")
            continue
        weight = rng.randrange(1, 80_000)
        los_class = rng.choice(["inlier", "inlier", "low", "high", ""])  # "": an unreadable length of stay
        effective = {"inlier": weight, "": weight, "low": max(0, weight - rng.randrange(0, 20_000)),
                     "high": weight + rng.randrange(1, 30_000)}[los_class]
        rows.append(line + f"\t{weight // 10_000}.{weight % 10_000:04d}\t{effective // 10_000}."
                    f"{effective % 10_000:04d}\t{los_class}")
    out.write_text("\n".join(rows) + "\n", "latin-1")
    return out


def test_case_mix_of_a_weighed_run_is_the_exact_decimal_sum(grouper_binary, generate, tmp_path):
    tables = generate("report-weights", "small", 2000, 31)
    plain = tmp_path / "plain.tsv"
    subprocess.run([grouper_binary, "-C", str(tables), "--output", str(tmp_path / "plain.out"), "--results",
                    str(plain)], check=True, stdout=subprocess.DEVNULL, timeout=TIMEOUT)
    drgs = sorted({line.split("\t")[3] for line in plain.read_text("latin-1").splitlines()[1:]} - {""})
    catalogue = ["drg\tweight\tvalid_from\tvalid_to\tlow_trim\tdeduction\thigh_trim\tsurcharge"]
    catalogue += [f"{d}\t{n % 3}.{n * 733 % 10_000:04d}\t\t\t3\t0.{n * 97 % 10_000:04d}\t{5 + n % 6}\t0.0{n % 10}05"
                  for n, d in enumerate(drgs[1:])]  # the first DRG without a row
    (tmp_path / "weights.tsv").write_text("\n".join(catalogue) + "\n", "latin-1")
    rows = tmp_path / "rows.jsonl"
    subprocess.run([grouper_binary, "-C", str(tables), "--output", str(tmp_path / "rows.out"), "--weights",
                    str(tmp_path / "weights.tsv"), "--results", str(rows)], check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=TIMEOUT)
    assert report.main([str(rows), "-o", str(tmp_path / "report.html")]) == 0
    check_casemix((tmp_path / "report.html").read_text("utf-8"), rows)
    subprocess.run([grouper_binary, "report", str(rows), "-o", str(tmp_path / "counted.html")], check=True,
                   timeout=TIMEOUT)
    assert (tmp_path / "counted.html").read_text("utf-8") == (tmp_path / "report.html").read_text("utf-8")
    _, classes = expected_casemix(rows)
    assert classes["low"] and classes["high"] and classes["without"]


def test_case_mix_on_the_page_is_the_exact_decimal_sum(results, tmp_path):
    weighted = with_weights(results["tsv"], tmp_path / "weighted.tsv", 7)
    assert report.main([str(weighted), "-o", str(tmp_path / "report.html")]) == 0
    page = (tmp_path / "report.html").read_text("utf-8")
    check_casemix(page, weighted)
    assert "cmi-mdc-chart" in page
    # The rest of the page is that of the file without weights.
    plain = tmp_path / "plain.html"
    assert report.main([str(results["tsv"]), "-o", str(plain)]) == 0
    without = re.sub(r'<section id="casemix-section">.*?</section>\n', "", page, flags=re.S)
    assert without_subtitle(without) == without_subtitle(plain.read_text("utf-8"))
    # More than 4 decimals is refused, naming the file.
    bad = tmp_path / "bad.tsv"
    bad.write_text(weighted.read_text("latin-1").replace("\tinlier", "5\tinlier", 1), "latin-1")
    with pytest.raises(report.ReportError, match=f"{bad}.*not a weight with at most 4 decimals"):
        result_counts.count_results(bad)


def run(args, cwd):
    return subprocess.run(args, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, encoding="latin-1",
                          timeout=TIMEOUT)


def without_subtitle(page):
    return re.sub(r'<p class="subtitle">.*?</p>', "", page)


def test_program_writes_the_report_and_refuses_a_bad_file(grouper_binary, results, generate, tmp_path):
    grouper_binary = os.path.abspath(grouper_binary)  # the runs below start in tmp_path
    # The program counts the rows itself; its page is the one of the module's own count.
    for kind in ("tsv", "jsonl"):
        done = run([grouper_binary, "report", str(results[kind]), "-o", "page.html"], tmp_path)
        assert done.returncode == 0, done.stderr
        assert report.main([str(results[kind]), "-o", str(tmp_path / "module.html")]) == 0
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
    assert (tables / "with.html").read_text("utf-8") == (tmp_path / "rows.html").read_text("utf-8")
    tsv_page = (tmp_path / "rows-tsv.html")
    subprocess.run([grouper_binary, "-C", str(tables), "--output", "x.out", "--results", str(tmp_path / "rows.tsv")],
                   check=True, stdout=subprocess.DEVNULL, timeout=TIMEOUT)
    assert report.main([str(tmp_path / "rows.tsv"), "-o", str(tsv_page)]) == 0
    assert without_subtitle((tables / "alone.html").read_text("utf-8")) == without_subtitle(tsv_page.read_text("utf-8"))
    # A run that fails ends the page builder it started: no page, nothing left.
    done = run([grouper_binary, "-C", str(tables), "--input", "missing.in", "--report", "failed.html"], tmp_path)
    assert done.returncode != 0 and not (tables / "failed.html").exists()

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


def test_run_counts_its_rows_as_grouper_report_counts_the_file(grouper_binary, generate, tmp_path):
    """A run counts most rows by the values their fields are formatted from,
    on several threads; grouper report counts the file's text: the counts
    they hand the page builder are the same bytes, on generated sets."""
    builder = tmp_path / "builder" / "episode_grouper"
    builder.mkdir(parents=True)
    (builder / "__init__.py").write_text("")
    (builder / "report.py").write_text("import os, sys\n"
                                       "open(os.environ['COUNTS_TO'], 'wb').write(sys.stdin.buffer.read())\n")
    env = dict(os.environ, GROUPER_PYTHONPATH=str(tmp_path / "builder"))
    for seed in (3, 4):
        tables = generate(f"report-counts-{seed}", "realistic", 20000, seed)
        for kind in ("tsv", "jsonl"):
            rows = tmp_path / f"rows.{kind}"
            subprocess.run([grouper_binary, "--tables", str(tables), "--input", str(tables / "tamv30.in"), "--output",
                            str(tmp_path / "out"), "--results", str(rows), "--report", str(tmp_path / "page.html"),
                            "--threads", "2"], env=dict(env, COUNTS_TO=str(tmp_path / "run.json")), check=True,
                           stdout=subprocess.DEVNULL, timeout=TIMEOUT)
            subprocess.run([grouper_binary, "report", str(rows), "-o", str(tmp_path / "page.html")],
                           env=dict(env, COUNTS_TO=str(tmp_path / "file.json")), check=True, timeout=TIMEOUT)
            counted = (tmp_path / "run.json").read_bytes()
            assert counted == (tmp_path / "file.json").read_bytes(), (seed, kind)
            assert json.loads(counted)["records"] == 20000


def test_run_over_a_registry_shows_its_records_per_table_version(grouper_binary, generate, tmp_path):
    """A run over a registry counts its records per table version, TSV and JSON Lines: the page of its
    --report has the section, with the counts of the file's tables column, and grouper report on the
    file writes the same page."""
    grouper_binary = os.path.abspath(grouper_binary)  # the runs below start in tmp_path
    first = generate("report-registry-a", "small", 600, 3)
    second = generate("report-registry-b", "small", 1, 4)
    (tmp_path / "registry.tsv").write_text("name\tdirectory\tvalid_from\tvalid_to\n"
                                           f"a\t{first}\t\t20051231\n"
                                           f"b\t{second}\t20060201\t\n")
    for kind in ("tsv", "jsonl"):
        rows = tmp_path / f"rows.{kind}"
        done = run([grouper_binary, "--registry", "registry.tsv", "--input", str(first / "tamv30.in"), "--output",
                    "out.txt", "--results", str(rows), "--report", "run.html"], tmp_path)
        assert done.returncode == 0, done.stderr
        if kind == "jsonl":
            versions = [json.loads(line)["tables"] for line in rows.read_text("utf-8").splitlines()]
        else:
            lines = [line.split("\t") for line in rows.read_text("latin-1").splitlines()]
            versions = [row[lines[0].index("tables")] or None for row in lines[1:]]
        expected = Counter(v if v is not None else report.NO_VERSION for v in versions)
        assert len(expected) >= 2 and sum(expected.values()) == 600
        page = (tmp_path / "run.html").read_text("utf-8")
        assert "Records per table version" in page and "tables-chart" in page
        assert column(Tables(page).tables["tables"]) == expected
        done = run([grouper_binary, "report", str(rows), "-o", "file.html"], tmp_path)
        assert done.returncode == 0, done.stderr
        assert without_subtitle((tmp_path / "file.html").read_text("utf-8")) == without_subtitle(page)
    assert leftovers(tmp_path) == []


def test_run_with_impact_shows_the_codes_that_move_the_most_weight(grouper_binary, generate, tmp_path):
    """A run with --impact and weights: the page of its --report lists the codes that move the most weight
    with the records and the sums of the file's impact column, TSV and JSON Lines, and grouper report on
    the file writes the same page."""
    grouper_binary = os.path.abspath(grouper_binary)  # the runs below start in tmp_path
    tables = generate("report-impact", "small", 1500, 17)
    plain = tmp_path / "plain.tsv"
    subprocess.run([grouper_binary, "-C", str(tables), "--output", str(tmp_path / "plain.out"), "--results",
                    str(plain)], check=True, stdout=subprocess.DEVNULL, timeout=TIMEOUT)
    drgs = sorted({line.split("\t")[3] for line in plain.read_text("latin-1").splitlines()[1:]} - {""})
    catalogue = ["drg\tweight\tvalid_from\tvalid_to\tlow_trim\tdeduction\thigh_trim\tsurcharge"]
    catalogue += [f"{d}\t{n % 3}.{n * 733 % 10_000:04d}\t\t\t3\t0.{n * 97 % 10_000:04d}\t{5 + n % 6}\t0.0{n % 10}05"
                  for n, d in enumerate(drgs)]
    (tmp_path / "weights.tsv").write_text("\n".join(catalogue) + "\n", "latin-1")
    for kind in ("tsv", "jsonl"):
        rows = tmp_path / f"rows.{kind}"
        done = run([grouper_binary, "--tables", str(tables), "--input", str(tables / "tamv30.in"), "--output",
                    "out.txt", "--weights", "weights.tsv", "--impact", "--results", str(rows), "--report",
                    "run.html"], tmp_path)
        assert done.returncode == 0, done.stderr
        entries = []  # (code, kind, difference) of every entry of the file
        if kind == "jsonl":
            for line in rows.read_text("utf-8").splitlines():
                entries += [(e["code"], e["pos"], e["weight_difference"])
                            for e in json.loads(line, parse_float=Decimal)["impact"]]
        else:
            lines = [line.split("\t") for line in rows.read_text("latin-1").splitlines()]
            at = lines[0].index("impact")
            for row in lines[1:]:
                for entry in filter(None, row[at].split(";")):
                    pos, rest = entry.split(":", 1)
                    code, _, tail = rest.partition(">")
                    entries.append((code, int(pos), Decimal(tail.rpartition(":")[2])))
        records, moved = Counter(), defaultdict(Decimal)
        for code, pos, difference in entries:
            key = (code, "dx" if pos <= 10 else "proc")
            records[key] += 1
            moved[key] += difference
        assert records
        page = (tmp_path / "run.html").read_text("utf-8")
        assert "Codes that move the most weight" in page and "impact-chart" in page
        shown = Tables(page).tables["impact"]
        assert len(shown) == min(20, len(records))
        for code, code_kind, n, total, mean in shown:
            key = (code, code_kind)
            assert number(n) == records[key] and Decimal(total.replace(",", "")) == moved[key]
        totals = [abs(Decimal(row[3].replace(",", ""))) for row in shown]
        assert totals == sorted(totals, reverse=True)
        assert totals[0] == max(abs(v) for v in moved.values())
        done = run([grouper_binary, "report", str(rows), "-o", "file.html"], tmp_path)
        assert done.returncode == 0, done.stderr
        assert without_subtitle((tmp_path / "file.html").read_text("utf-8")) == without_subtitle(page)
    assert leftovers(tmp_path) == []
