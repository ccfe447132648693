"""Cost weights end to end: the case-mix of a generated run against a sum
worked independently with Python's decimal module, and the module and the
Dask runner giving the program's weighted rows.

The case-mix check groups 200,000 realistic episodes by default, to keep CI
short; GROUPER_WEIGHTS_EPISODES=1000000 runs it on a million."""
import csv
import json
import os
import subprocess
from decimal import ROUND_HALF_UP, Decimal

import pytest

import episode_grouper as eg
from episode_grouper import dask as runner
from conftest import TIMEOUT

EPISODES = int(os.environ.get("GROUPER_WEIGHTS_EPISODES", "200000"))
UNIT = Decimal("0.0001")


def read_catalogue(path):
    """{drg: [(from, to, row)]} with every number as a Decimal or None, read with csv."""
    rows = {}
    with open(path, newline="", encoding="latin-1") as f:
        lines = [line for line in f if line.strip() and not line.startswith("#")]
    for row in csv.DictReader(lines, delimiter="\t"):
        start = int(row["valid_from"]) if row["valid_from"] else 0
        end = int(row["valid_to"]) if row["valid_to"] else 99999999
        rows.setdefault(row["drg"], []).append((start, end, row))
    return rows


def expected_effective(catalogue, drg, rec_date, los):
    """The effective weight and class worked from the catalogue, or (None, None)."""
    for start, end, row in catalogue.get(drg, []):
        if start <= rec_date <= end:
            weight = Decimal(row["weight"])
            if los < 0:
                return weight, None
            if row["low_trim"] and los < int(row["low_trim"]):
                deduction = Decimal(row["deduction"] or "0")
                return max(Decimal(0), weight - deduction * (int(row["low_trim"]) - los)), "low"
            if row["high_trim"] and los > int(row["high_trim"]):
                return weight + Decimal(row["surcharge"] or "0") * (los - int(row["high_trim"])), "high"
            return weight, "inlier"
    return None, None


def summary_value(summary, label):
    for line in summary.splitlines():
        if line.startswith(label + " "):
            return line[len(label):].strip()
    raise AssertionError(f"no '{label}' in the summary:\n{summary}")


def test_case_mix_of_generated_episodes_is_the_exact_decimal_sum(generate, grouper_binary, tmp_path):
    work = generate("weights-realistic", "realistic", EPISODES, 5)
    subprocess.run([grouper_binary, "-C", str(work), "--weights", "weights.tsv", "--results", str(tmp_path / "rows.jsonl"),
                    "--summary-file", str(tmp_path / "summary.txt"), "-j", "2", "--no-progress"],
                   check=True, stdout=subprocess.DEVNULL, timeout=TIMEOUT)
    catalogue = read_catalogue(work / "weights.tsv")
    total, weighed, low, high, records = Decimal(0), 0, 0, 0, 0
    with open(tmp_path / "rows.jsonl", encoding="latin-1") as f:
        for line in f:
            row = json.loads(line, parse_float=Decimal)
            records += 1
            want, los_class = expected_effective(catalogue, row["drg"] or "", row["rec_date"], row["los_dd"])
            assert row["effective_weight"] == want, row
            assert row["los_class"] == los_class, row
            if want is None:
                continue
            total += row["effective_weight"]
            weighed += 1
            low += los_class == "low"
            high += los_class == "high"
    assert records == EPISODES and weighed > EPISODES // 2 and low > 0 and high > 0
    summary = (tmp_path / "summary.txt").read_text()
    assert summary_value(summary, "case-mix") == str(total.quantize(UNIT))
    assert summary_value(summary, "episodes with a weight") == str(weighed)
    assert summary_value(summary, "case-mix index") == str((total / weighed).quantize(UNIT, rounding=ROUND_HALF_UP))
    assert summary_value(summary, "low outliers") == str(low)
    assert summary_value(summary, "high outliers") == str(high)


@pytest.fixture(scope="module")
def weighted_rows(program, small_set, tmp_path_factory):
    """The program's TSV rows of the small set, weighed with its weights.tsv."""
    work = tmp_path_factory.mktemp("weighted")
    subprocess.run([program.binary, "--tables", str(small_set), "--input", str(small_set / "tamv30.in"), "--output",
                    str(work / "out"), "--weights", str(small_set / "weights.tsv"), "--results", str(work / "rows.tsv"),
                    "--no-progress"], check=True, stdout=subprocess.DEVNULL, timeout=TIMEOUT)
    return (work / "rows.tsv").read_bytes()


def test_the_module_weighs_as_the_program(small_set, weighted_rows, tmp_path):
    tables = eg.TableSet(small_set)
    weights = eg.WeightCatalogue(small_set / "weights.tsv")
    assert weights.unknown_drgs(tables) == []
    tables.group_file(small_set / "tamv30.in", tmp_path / "out", tmp_path / "rows.tsv", threads=2, weights=weights)
    assert (tmp_path / "rows.tsv").read_bytes() == weighted_rows

    rows = weighted_rows.decode("latin-1").splitlines(keepends=True)
    assert rows[0] == eg.result_header_with_weights
    lines = (small_set / "tamv30.in").read_bytes().splitlines(keepends=True)[:50]
    for number, line in enumerate(lines, 1):
        result = tables.group(line, weights=weights)
        assert result.result_row(number) == rows[number]
        effective = rows[number].rstrip("\n").split("\t")[12]
        assert result.effective_weight == (Decimal(effective) if effective else None)
    assert [r.result_row(n) for n, r in enumerate(tables.group_many(lines, weights=weights), 1)] == rows[1:51]

    (tmp_path / "bad.tsv").write_text("drg\tvalid_from\tvalid_to\tweight\tlow_trim\tdeduction\thigh_trim\tsurcharge\n"
                                      "A\t\t\t1\t9\t\t3\t\n")
    with pytest.raises(eg.WeightCatalogueError) as raised:
        eg.WeightCatalogue(tmp_path / "bad.tsv")
    assert raised.value.kind == "weights" and raised.value.line == 2 and str(raised.value).endswith("bad.tsv:2: low_trim 9 is above high_trim 3")


def test_the_dask_runner_weighs_as_the_program(dask_client, small_set, weighted_rows, tmp_path):
    records = runner.run(small_set / "tamv30.in", tmp_path / "out", small_set, tmp_path / "rows.tsv",
                         client=dask_client, timeout=60, partition_size=64 * 1024, weights=small_set / "weights.tsv")
    assert records == 1500
    assert (tmp_path / "rows.tsv").read_bytes() == weighted_rows
