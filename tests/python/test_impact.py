"""What each code is worth from Python: Result.impact, TableSet.impact and
explain's impact give the program's --impact rows, record by record."""
import json
import subprocess
from decimal import Decimal

import episode_grouper as eg
from conftest import TIMEOUT, split_records


def test_impact_is_the_programs_impact_column(generate, grouper_binary, tmp_path):
    work = generate("impact", "small", 300, 3)
    subprocess.run([grouper_binary, "-C", str(work), "--impact", "--weights", "weights.tsv", "--results",
                    str(tmp_path / "rows.jsonl"), "--output", str(tmp_path / "lines.out")],
                   check=True, stdout=subprocess.DEVNULL, timeout=TIMEOUT)
    rows = (tmp_path / "rows.jsonl").read_text(encoding="utf-8").splitlines()
    records = split_records((work / "tamv30.in").read_bytes())
    assert len(rows) == len(records)
    tables = eg.TableSet(work)
    weights = eg.WeightCatalogue(work / "weights.tsv")
    with_impact = 0
    for record, row in zip(records, rows):
        expected = json.loads(row, parse_float=Decimal)["impact"]
        assert tables.group(record, weights=weights).impact == expected
        assert tables.impact(record, weights) == expected
        with_impact += bool(expected)
    assert with_impact > 0
    # Without weights no difference; explain ends with the same list.
    record = next(r for r, row in zip(records, rows) if json.loads(row)["impact"])
    plain = tables.group(record).impact
    assert plain and all(entry["weight_difference"] is None for entry in plain)
    explained = json.loads(tables.explain(record, "json", impact=True), parse_float=Decimal)
    assert explained["impact"] == plain
