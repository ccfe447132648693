"""Episodes as named fields in Python: Episode and its errors, group_episode,
and DataFrames through group_frame, each compared with the grouping of the
records the episodes build."""
import datetime
import subprocess

import numpy as np
import pandas as pd
import pytest

import episode_grouper as eg
from conftest import TIMEOUT

FIELDS = ("id", "birth_date", "age_years", "age_days", "sex", "record_date", "los", "discharge", "principal",
          "secondary", "procedures", "birth_weight", "vent_hours")
RESULT_COLUMNS = ["mdc", "adrg", "drg", "pccl", "ccl_raw", "ccl_excl", "supplementary", "age_yy", "age_dd", "findings"]
GOOD = dict(id="a1", birth_date="1980-02-03", sex="F", record_date="2005-05-15", los="3", discharge="1",
            principal="k35.8")


@pytest.fixture(scope="module")
def tables(small_set):
    return eg.TableSet(small_set)


@pytest.fixture(scope="module")
def episodes(small_set):
    """The first 400 episodes of the small set that read back from their records."""
    found = []
    for line in (small_set / "tamv30.in").read_bytes().splitlines()[:600]:
        try:
            found.append(eg.Episode.from_record(line))
        except eg.EpisodeError:
            pass
    assert len(found) >= 400
    return found[:400]


def text_of(value):
    if value is None:
        return ""
    return "|".join(value) if isinstance(value, tuple) else str(value)


def text_frame(episodes, index=None):
    return pd.DataFrame({f: [text_of(getattr(e, f)) for e in episodes] for f in FIELDS}, index=index)


def row_of(tables, record, weights=None):
    """The TSV row of a record split into its columns after `record`, '' as None-equivalent."""
    return tables.group(record, weights).result_row(1).rstrip("\n").split("\t")[1:]


def cells(frame_row):
    return ["" if v is None or v is pd.NA or (isinstance(v, float) and np.isnan(v)) else str(v) for v in frame_row]


def test_every_error_of_an_episode_is_reported():
    with pytest.raises(eg.EpisodeError) as raised:
        eg.Episode(id="toolongid9", birth_date="2005-02-30", sex="x", los=1000, principal="K35.8",
                   secondary=["A"] * 10, bogus=1)
    e = raised.value
    assert isinstance(e, ValueError) and e.index is None
    assert [err.field for err in e.errors] == ["bogus", "sex", "id", "record_date", "birth_date", "los", "discharge",
                                               "secondary"]
    assert ("birth_date", "2005-02-30", "2005-02-30 is not a calendar date") in e.errors
    for err in e.errors:
        assert f"{err.field}: {err.message}" in str(e)
    with pytest.raises(eg.EpisodeError, match="principal: .* is a list"):
        eg.Episode(**dict(GOOD, principal=["K358"]))
    with pytest.raises(eg.EpisodeError, match=r"record_date: 'A2050515' is not a date"):
        eg.Episode.from_record(b" " * 21 + b"A2050515")


def test_values_of_every_kind_build_the_same_record():
    text = eg.Episode(**GOOD, secondary="I10|e11.9", birth_weight="", vent_hours=None)
    typed = eg.Episode(id="a1", birth_date=datetime.date(1980, 2, 3), sex="female",
                       record_date=pd.Timestamp("2005-05-15 10:30"), los=3, discharge=np.int64(1), principal="K358",
                       secondary=("I10", "E119"), vent_hours=float("nan"))
    assert typed.to_record() == text.to_record() and len(text.to_record()) == 300
    assert text.birth_date == datetime.date(1980, 2, 3) and text.los == 3 and text.sex == "F"
    assert text.secondary == ("I10", "e11.9") and text.birth_weight is None
    assert "birth_date='1980-02-03'" in repr(text)
    by_age = eg.Episode(**{k: v for k, v in GOOD.items() if k != "birth_date"}, age_years=25)
    assert by_age.to_record()[8:15] == b"8005152"


def test_records_round_trip_and_group_as_their_episodes(tables, episodes):
    for episode in episodes:
        record = episode.to_record()
        again = eg.Episode.from_record(record)
        assert again == episode and again.to_record() == record
    episode = episodes[0]
    assert tables.group_episode(episode).line == tables.group(episode.to_record()).line
    fields = {f: getattr(episode, f) for f in FIELDS if getattr(episode, f) not in (None, ())}
    assert tables.group_episode(**fields).result_row() == tables.group(episode.to_record()).result_row()
    assert tables.group_episode(fields).line == tables.group(episode.to_record()).line
    with pytest.raises(eg.EpisodeError):
        tables.group_episode(**dict(fields, los=-1))
    with pytest.raises(TypeError):
        tables.group_episode(episode, los=1)


def test_a_frame_groups_as_the_records_with_bad_rows_among_good_ones(tables, episodes):
    df = text_frame(episodes, index=[f"r{i}" for i in range(len(episodes))])
    bad = pd.DataFrame([dict(GOOD, los="1000", sex=""), dict(GOOD, birth_date="2005-02-30")], index=["bad1", "bad2"])
    frame = pd.concat([df.iloc[:100], bad.reindex(columns=df.columns, fill_value=""), df.iloc[100:]])
    out = tables.group_frame(frame)
    assert list(out.columns) == RESULT_COLUMNS and list(out.index) == list(frame.index)
    assert str(out["pccl"].dtype) == "Int32" and out["mdc"].dtype == object
    for i, episode in enumerate(episodes):
        assert cells(out.loc[f"r{i}"]) == row_of(tables, episode.to_record()), i
    # The invalid rows: no groups, and the findings the result rows write.
    lines, rows, count = tables.group_frame_block(frame.loc[["bad1", "bad2"]], results_format="tsv")
    assert count == 2 and lines.count(b"\n") == 2 and lines.startswith(b"A1 ") and b" " * 100 + b"0000" in lines
    for label, row in zip(["bad1", "bad2"], rows.decode().splitlines()):
        got = out.loc[label]
        assert got[RESULT_COLUMNS[:-1]].isna().all()
        assert got["findings"] == row.split("\t")[-1]
    assert out.loc["bad1", "findings"] == "input_invalid@sex:required;input_invalid@los:1000 is not from 0 to 999"
    with pytest.raises(eg.EpisodeError, match="row 'bad1'") as raised:
        tables.group_frame(frame, errors="raise")
    assert raised.value.index == "bad1" and [e.field for e in raised.value.errors] == ["sex", "los"]
    with pytest.raises(ValueError, match="no column for: .*los"):
        tables.group_frame(frame.drop(columns=["los"]))


def test_typed_and_renamed_columns_give_the_text_columns_results(tables, episodes):
    text = tables.group_frame(text_frame(episodes))
    typed = pd.DataFrame({
        "case": [e.id for e in episodes],
        "born": pd.to_datetime([e.birth_date for e in episodes]),
        "sex": [e.sex for e in episodes],
        "admitted": pd.Series([e.record_date for e in episodes], dtype=object),
        "los": np.array([e.los for e in episodes], dtype=np.int32),
        "discharge": pd.array([e.discharge for e in episodes], dtype="Int64"),
        "principal": [e.principal for e in episodes],
        "secondary": [list(e.secondary) for e in episodes],
        "procedures": [np.array(e.procedures, dtype=object) for e in episodes],
        "birth_weight": [np.nan if e.birth_weight is None else float(e.birth_weight) for e in episodes],
        "vent_hours": pd.array([e.vent_hours for e in episodes], dtype="Int64"),
        "other": 1,
    })
    out = tables.group_frame(typed, columns={"id": "case", "birth_date": "born", "record_date": "admitted"}, threads=2)
    pd.testing.assert_frame_equal(out, text)
    with pytest.raises(ValueError, match="no column 'nope'"):
        tables.group_frame(typed, columns={"id": "nope"})


def test_weights_columns(small_set, tables, episodes):
    weights = eg.WeightCatalogue(small_set / "weights.tsv")
    out = tables.group_frame(text_frame(episodes), weights=weights)
    assert list(out.columns) == RESULT_COLUMNS + ["weight", "effective_weight", "los_class"]
    assert out["weight"].dtype == np.float64
    for i, episode in enumerate(episodes[:100]):
        result = tables.group(episode.to_record(), weights)
        expected = row_of(tables, episode.to_record(), weights)
        assert cells(out.iloc[i])[:10] + [out.iloc[i]["los_class"] or ""] == expected[:10] + expected[12:]
        assert (np.isnan(out.iloc[i]["weight"]) if result.weight is None
                else out.iloc[i]["weight"] == float(result.weight))


def test_the_module_imports_without_pandas(small_set):
    script = (
        "import sys\n"
        "class Hide:\n"
        "    def find_spec(self, name, path=None, target=None):\n"
        "        if name == 'pandas' or name.startswith('pandas.'):\n"
        "            raise ImportError('hidden')\n"
        "sys.meta_path.insert(0, Hide())\n"
        "import episode_grouper as eg\n"
        "assert eg.Episode(id='x', birth_date='1980-01-01', sex='M', record_date='2005-01-01', los=1,\n"
        "                  discharge=1, principal='K358').to_record()[:1] == b'x'\n"
        "try:\n"
        "    eg.TableSet(sys.argv[1]).group_frame(None)\n"
        "except ImportError as e:\n"
        "    print(e)\n")
    done = subprocess.run(["/usr/bin/python3", "-c", script, str(small_set)], stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, timeout=TIMEOUT)
    assert done.returncode == 0, done.stderr
    assert b"python3-pandas" in done.stdout
