"""Counts of a detailed result file of the grouper, in one pass: records
per MDC, ADRG, DRG, PCCL and supplementary group, per age (and length of
stay when the file has it), the findings per kind, with their unknown
codes and the findings of the records without an ADRG, and, when the file
has the weight columns of a run with a weight catalogue, the records per
MDC, effective weight and length-of-stay class.

Weights stay exact: the 4-decimal texts are read into integers of
1/10,000 (WEIGHT_UNIT), never into binary floating point, so every sum is
exact however many rows there are.

The file is tab-separated with its header row or JSON Lines, told apart by
the first byte (a JSON row starts with '{').  It is read in large blocks and
counted per distinct value with the C loops of Counter and itemgetter, so
memory grows with the number of distinct codes, not of rows, and a findings
text is parsed once per block however many rows carry it.

The grouper counts the rows of its runs and of `grouper report` itself, per
distinct value as the row holds it, and hands those counts over in a file
(counts_from_file); each distinct value is then read here as count_results
reads it, so both give the same Counts.
"""
import json
import re
import sys
from collections import Counter
from decimal import Decimal
from itertools import repeat
from operator import itemgetter, not_

__all__ = ["ReportError", "Counts", "count_results", "counts_from_file", "counts_from_text", "NONE", "LOS_FIELDS", "WEIGHT_UNIT", "weight_units",
           "weight_text", "index_units"]

BLOCK_BYTES = 4 << 20  # read size: larger blocks only cost memory
JSON_BLOCK_LINES = 20_000  # JSON rows parsed in one call
NONE = "none"  # the label of "no MDC" and of "no finding"

# The columns (TSV) or fields (JSON Lines) counted.
GROUP_FIELDS = ("mdc", "adrg", "drg", "pccl", "supplementary")
AGE_FIELD = "age_yy"
FINDINGS_FIELD = "findings"
LOS_FIELDS = ("los", "length_of_stay", "los_dd")  # the first of these the file has, if any
WEIGHT_FIELD = "effective_weight"  # with "los_class": present only in a run with a weight catalogue
LOS_CLASS_FIELD = "los_class"
TABLES_FIELD = "tables"  # present only in a run over a registry: the table version of each record
IMPACT_FIELD = "impact"  # present only in a run with --impact: the codes whose blank changes the DRG or weight
DIAGNOSIS_POSITIONS = range(1, 11)  # code positions 1..10 are diagnoses, 11..46 procedures
_TSV_IMPACT_ENTRIES = re.compile(rb"(?:[^;\\]|\\.)+")
_TSV_IMPACT_ENTRY = re.compile(r"([0-9]+):((?:[^\\>]|\\.)*)>(.*)", re.S)
LOS_CLASSES = ("inlier", "low", "high")
WEIGHT_UNIT = 10_000  # weights are counted in integers of 1/10,000

_WEIGHT_TEXT = re.compile(r"[0-9]{1,14}(?:\.[0-9]{1,4})?")


def weight_units(value):
    """The weight `value` (a text with at most 4 decimals, an int, or a
    Decimal) as an exact integer of 1/10,000; None for an empty text or None.
    Raises ValueError for anything else (a negative, more than 4 decimals)."""
    if value is None or value == "":
        return None
    if type(value) is str:
        if not _WEIGHT_TEXT.fullmatch(value):
            raise ValueError(f"{value!r}, not a weight with at most 4 decimals")
        whole, _, fraction = value.partition(".")
        return int(whole) * WEIGHT_UNIT + int(fraction.ljust(4, "0") or 0)
    if type(value) in (int, Decimal) and value >= 0:
        units = Decimal(value) * WEIGHT_UNIT
        if units == units.to_integral_value():
            return int(units)
    raise ValueError(f"{value!r}, not a weight with at most 4 decimals")


def weight_text(units):
    """An integer of 1/10,000 as a text with 4 decimals: 12345 -> '1.2345', -5 -> '-0.0005'."""
    sign = "-" if units < 0 else ""
    whole, fraction = divmod(abs(units), WEIGHT_UNIT)
    return f"{sign}{whole:,}.{fraction:04d}"


def index_units(total, episodes):
    """total / episodes (total in 1/10,000, episodes > 0) rounded half up to
    an integer of 1/10,000 (half away from zero for a negative total)."""
    if total < 0:
        return -index_units(-total, episodes)
    return (2 * total + episodes) // (2 * episodes)


class ReportError(Exception):
    """A result file that cannot be read or is not a detailed result file of
    the grouper; the message names the file and says why."""


class Counts:
    """The counts of one result file, made in one pass.

    `groups` counts records per (mdc, adrg, drg, pccl, supplementary), codes
    as text and None where the record has none, pccl an int or None;
    `ages` and `los` (None when the file has no length of stay) count records
    per value; `findings` counts findings per kind and `finding_records` the
    records that carry each kind; `unknown_codes` counts the texts of the
    *_unknown findings per (kind, text); `ungrouped_causes` counts the records
    without an ADRG per finding they carry (kind, with the field it names),
    NONE for those without a finding.  `weights` (None when the file has no
    weight columns) counts records per (mdc, effective weight in 1/10,000
    or None without a weight, los_class text).  `tables` (None when the file
    has no tables column, a run without a registry) counts records per table
    version name, None for the records no version holds.  `impact` (None when
    the file has no impact column) counts per (code, kind: "dx" or "proc")
    the entries of the column, the records whose DRG or weight the code's
    blank changes; `impact_weight` (None without weights) sums their weight
    differences in 1/10,000.
    """

    def __init__(self, source, file_format):
        self.source = source
        self.format = file_format
        self.records = 0
        self.groups = Counter()
        self.ages = Counter()
        self.los = None
        self.los_field = None
        self.findings = Counter()
        self.finding_records = Counter()
        self.unknown_codes = Counter()
        self.ungrouped_causes = Counter()
        self.weights = None
        self.tables = None
        self.impact = None
        self.impact_weight = None

    # Views of `groups`.
    def _by(self, pick, keep=lambda key: True):
        out = Counter()
        for key, n in self.groups.items():
            if keep(key):
                out[pick(key)] += n
        return out

    @property
    def grouped(self):
        """Records with an ADRG."""
        return sum(n for key, n in self.groups.items() if key[1] is not None)

    def per_mdc(self):
        """Records per MDC code, NONE for the records without an MDC."""
        return self._by(lambda key: key[0] if key[0] is not None else NONE)

    def per_adrg(self):
        """Records per ADRG (records with one)."""
        return self._by(itemgetter(1), lambda key: key[1] is not None)

    def per_drg(self):
        """Records per DRG (records with one)."""
        return self._by(itemgetter(2), lambda key: key[2] is not None)

    def per_pccl(self):
        """Records per PCCL (records with an ADRG)."""
        return self._by(itemgetter(3), lambda key: key[3] is not None)

    def pccl_per_mdc(self):
        """{MDC: Counter of PCCL} over the records with an ADRG."""
        out = {}
        for (mdc, _, _, pccl, _), n in self.groups.items():
            if pccl is not None:
                out.setdefault(mdc if mdc is not None else NONE, Counter())[pccl] += n
        return out

    def per_supplementary(self):
        """Records per supplementary code, "no group" codes included."""
        return self._by(itemgetter(4))

    def case_mix(self):
        """{MDC (NONE for none): (case-mix in 1/10,000, records with a weight,
        records without one)}: the exact sums of the effective weights."""
        out = {}
        for (mdc, units, _), n in self.weights.items():
            total, weighted, unweighted = out.get(mdc if mdc is not None else NONE, (0, 0, 0))
            if units is None:
                unweighted += n
            else:
                total += units * n
                weighted += n
            out[mdc if mdc is not None else NONE] = (total, weighted, unweighted)
        return out

    def los_classes(self):
        """Records per length-of-stay class ("inlier", "low", "high"; "" without a weight or with an
        unreadable length of stay)."""
        out = Counter({c: 0 for c in LOS_CLASSES})
        for (_, _, los_class), n in self.weights.items():
            out[los_class] += n
        return out


def count_results(path):
    """Counts the result file `path` (str or Path; '-' for standard input)
    in one pass and returns its Counts.  Raises ReportError."""
    name = "standard input" if str(path) == "-" else str(path)
    try:
        stream = sys.stdin.buffer if str(path) == "-" else open(path, "rb")
    except OSError as e:
        raise ReportError(f"{name}: cannot open: {e.strerror}") from None
    try:
        blocks = _blocks(stream, name)
        first = next(blocks, b"")
        if not first:
            raise ReportError(f"{name}: the file is empty; a result file has a header row or JSON rows")
        if first.startswith(b"{"):
            return _count_jsonl(name, _chain(first, blocks))
        return _count_tsv(name, _chain(first, blocks))
    finally:
        if stream is not sys.stdin.buffer:
            stream.close()


def counts_from_file(path, source):
    """The Counts of the result file `source` (its name, or '-') from the counts file `path` that the
    grouper wrote while it counted the rows: one JSON object with "format" ("TSV" or "JSON Lines"),
    "records", "los_field" (null without one), "weighted", and the rows counted per distinct value
    as [text, records] pairs, each text as the row holds it (Latin-1 decoded bytes; a JSON value's
    own text in JSON Lines): "groups" (mdc, adrg, drg, pccl and supplementary joined by tabs),
    "ages", "los", "weights" (mdc, effective_weight and los_class joined by tabs) and "findings"
    ("1" for a record without an ADRG, else "0", then the findings as the row holds them, less what
    this module does not read of them: positions, "to" and dates, and texts but those of unknown
    codes; grouped records without findings left out), and "tables" (the table version) only when the rows carry
    that column, and "impact" (each entry of the impact column as the row holds it: a TSV entry, or
    a JSON object's text) only when the rows carry that one.  Each distinct value is read here as count_results reads
    it.  Raises ReportError when a value is not what a result file holds (count_results on the
    file then says where) or the counts file cannot be read."""
    try:
        with open(path, "rb") as f:
            text = f.read()
    except OSError as e:
        raise ReportError(f"{path}: cannot read the counts: {e.strerror}") from None
    return counts_from_text(text, source, path)


def counts_from_text(text, source, path="the counts"):
    """counts_from_file on the counts' bytes `text` (`path` names where they came from)."""
    name = "standard input" if str(source) == "-" else str(source)
    try:
        data = json.loads(text)
    except ValueError as e:
        raise ReportError(f"{path}: not a counts file: {e}") from None
    try:
        return _from_counts(name, data)
    except (KeyError, TypeError, ValueError, AttributeError) as e:
        raise ReportError(f"{name}: a value of the file is not what a result file holds ({e!r})") from None


def _from_counts(name, data):
    def pairs(key, fields=1):
        for text, n in data[key]:
            yield (tuple(text.split("\t")) if fields > 1 else text), n
    if data["format"] == "TSV":
        counts = Counts(name, "TSV")
        counts.records = data["records"]
        counts.los_field = data["los_field"]
        groups = Counter()
        for key, n in pairs("groups", 5):
            if len(key) != 5:
                raise ValueError("a group of other than 5 values")
            groups[key] += n
        weights = Counter(dict(pairs("weights", 3))) if data["weighted"] else None
        if weights is not None and any(len(key) != 3 for key in weights):
            raise ValueError("a weight of other than 3 values")
        _note_tsv_findings(counts, {(text[0] == "1", text[1:]): n for text, n in data["findings"]})
        if "tables" in data:
            counts.tables = _tsv_tables(pairs("tables"))
        if "impact" in data:
            _note_impact(counts, ((_tsv_impact_entry(text, data["weighted"]), n) for text, n in data["impact"]))
        return _finish_tsv(counts, groups, Counter(dict(pairs("ages"))),
                           Counter(dict(pairs("los"))) if counts.los_field else None, weights)

    def values(texts):
        # Each text is one whole value as the grouper cut it from a row (a
        # string, a bracketed value, or a bare token without a comma), so
        # joined by commas they read, in one call, as an array of as many.
        texts = list(texts)
        read = json.loads(("[" + ",".join(texts) + "]").encode("latin-1"), parse_float=Decimal)
        if len(read) != len(texts):
            raise ValueError("a value that is not one JSON value")
        return read

    def keyed(name, fields):
        # (tuple of the values of a key, n) for the tab-joined keys of `name`.
        keys = list(pairs(name, fields))
        flat = values(v for key, _ in keys for v in key)
        at = 0
        for key, n in keys:
            yield tuple(flat[at:at + len(key)]), n
            at += len(key)

    def single(name):
        return zip(values(text for text, _ in data[name]), (n for _, n in data[name]))

    counts = Counts(name, "JSON Lines")
    counts.records = data["records"]
    counts.los_field = data["los_field"]
    for key, n in keyed("groups", 5):
        counts.groups[key] += n
    for age, n in single("ages"):
        counts.ages[age] += n
    if counts.los_field:
        counts.los = Counter()
        for los, n in single("los"):
            counts.los[los] += n
    raw_weights = None
    if data["weighted"]:
        raw_weights = Counter()
        for key, n in keyed("weights", 3):
            raw_weights[key] += n
    texts = data["findings"]
    for (text, n), findings in zip(texts, values(text[1:] for text, _ in texts)):
        ungrouped = text[0] == "1"
        if findings or ungrouped:
            _note_findings(counts, _json_findings(findings), ungrouped, n)
    if "tables" in data:
        counts.tables = Counter()
        for version, n in single("tables"):
            counts.tables[version] += n
    if "impact" in data:
        _note_impact(counts, ((_json_impact_entry(entry), n) for entry, n in single("impact")))
    return _finish_jsonl(counts, raw_weights)


def _blocks(stream, name):
    while True:
        try:
            block = stream.read(BLOCK_BYTES)
        except OSError as e:
            raise ReportError(f"{name}: read error: {e.strerror}") from None
        if not block:
            return
        yield block


def _chain(first, rest):
    yield first
    yield from rest


def _lines(blocks):
    """Lists of whole lines (without their line feeds), one list per block;
    a last line without a line feed counts as a line."""
    pending = b""
    for block in blocks:
        data = pending + block if pending else block
        cut = data.rfind(b"\n") + 1
        pending = data[cut:]
        if cut:
            lines = data[:cut - 1].split(b"\n")
            yield lines
    if pending:
        yield [pending]


def _count_tsv(name, blocks):
    counts = Counts(name, "TSV")
    line_blocks = _lines(blocks)
    first = next(line_blocks, [])
    if not first:
        raise ReportError(f"{name}: no header row")
    header = first[0].decode("latin-1").split("\t")
    missing = [c for c in GROUP_FIELDS + (AGE_FIELD, FINDINGS_FIELD) if c not in header]
    if missing:
        raise ReportError(f"{name}: not a detailed result file: the first line is not a header row with the "
                          f"columns {', '.join(missing)} (and is not a JSON row)")
    columns = len(header)
    index = {c: header.index(c) for c in header[::-1]}
    counts.los_field = next((c for c in LOS_FIELDS if c in index), None)
    group_key = itemgetter(*(index[c] for c in GROUP_FIELDS))
    age = itemgetter(index[AGE_FIELD])
    los = itemgetter(index[counts.los_field]) if counts.los_field else None
    weighted = WEIGHT_FIELD in index and LOS_CLASS_FIELD in index
    weight_key = itemgetter(index["mdc"], index[WEIGHT_FIELD], index[LOS_CLASS_FIELD]) if weighted else None
    adrg = itemgetter(index["adrg"])
    findings = itemgetter(index[FINDINGS_FIELD])
    tables = itemgetter(index[TABLES_FIELD]) if TABLES_FIELD in index else None
    impact = itemgetter(index[IMPACT_FIELD]) if IMPACT_FIELD in index else None
    raw_groups, raw_ages, raw_los, raw_weights, raw_tables = Counter(), Counter(), Counter(), Counter(), Counter()
    raw_impact = Counter()
    line_number = 1  # of the last line counted

    def count(lines):
        nonlocal line_number
        rows = list(map(bytes.split, lines, repeat(b"\t")))
        if set(map(len, rows)) != {columns}:
            bad = next(i for i, row in enumerate(rows) if len(row) != columns)
            raise ReportError(f"{name}: line {line_number + bad + 1} has {len(rows[bad])} fields where the "
                              f"header has {columns}")
        raw_groups.update(map(group_key, rows))
        raw_ages.update(map(age, rows))
        if los:
            raw_los.update(map(los, rows))
        if weighted:
            raw_weights.update(map(weight_key, rows))
        if tables:
            raw_tables.update(map(tables, rows))
        if impact:
            for field in map(impact, rows):
                if field:
                    raw_impact.update(_TSV_IMPACT_ENTRIES.findall(field))
        with_findings = Counter(zip(map(not_, map(adrg, rows)), map(findings, rows)))
        _note_tsv_findings(counts, {(ungrouped, text.decode("latin-1")): n
                                    for (ungrouped, text), n in with_findings.items()})
        line_number += len(rows)
        counts.records += len(rows)

    if len(first) > 1:
        count(first[1:])
    for lines in line_blocks:
        count(lines)
    if tables:
        counts.tables = _tsv_tables(_latin1_keys(raw_tables).items())
    if impact:
        try:
            _note_impact(counts, ((_tsv_impact_entry(text, weighted), n)
                                  for text, n in _latin1_keys(raw_impact).items()))
        except ValueError as e:
            raise ReportError(f"{name}: the {IMPACT_FIELD} column holds {e}") from None

    return _finish_tsv(counts, _latin1_keys(raw_groups), _latin1_keys(raw_ages),
                       _latin1_keys(raw_los) if los else None, _latin1_keys(raw_weights) if weighted else None)


def _tsv_impact_entry(text, weighed):
    """(position, code, weight difference in 1/10,000 or None) of a TSV impact entry POS:CODE>DRG, or
    POS:CODE>DRG:DIFF in a file with weights."""
    match = _TSV_IMPACT_ENTRY.fullmatch(text)
    if not match:
        raise ValueError(f"{text!r}, which is not an impact entry")
    units = None
    if weighed:
        units = _signed_units(match.group(3).rpartition(":")[2])
    return int(match.group(1)), _unescape(match.group(2)), units


def _json_impact_entry(entry):
    """(position, code, weight difference in 1/10,000 or None) of a JSON impact entry."""
    difference = entry["weight_difference"]
    if type(entry["pos"]) is not int or type(entry["code"]) is not str:
        raise ValueError(f"{entry!r}, which is not an impact entry")
    return entry["pos"], entry["code"], None if difference is None else _signed_units(difference)


def _signed_units(value):
    """A weight difference (a text with its sign, or a Decimal) in 1/10,000."""
    if type(value) is str:
        return -weight_units(value[1:]) if value.startswith("-") else weight_units(value.removeprefix("+"))
    return -weight_units(-value) if value < 0 else weight_units(value)


def _note_impact(counts, entries):
    """Adds ((position, code, units), n) pairs to the impact counts of `counts`."""
    counts.impact = counts.impact if counts.impact is not None else Counter()
    for (position, code, units), n in entries:
        key = (code, "dx" if position in DIAGNOSIS_POSITIONS else "proc")
        counts.impact[key] += n
        if units is not None:
            counts.impact_weight = counts.impact_weight if counts.impact_weight is not None else Counter()
            counts.impact_weight[key] += units * n


def _tsv_tables(pairs):
    """Records per table version from (TSV tables text, records) pairs; None for the empty text."""
    out = Counter()
    for text, n in pairs:
        out[text or None] += n
    return out


def _latin1_keys(raw):
    """`raw` (a Counter of bytes or of tuples of bytes) with its keys decoded as Latin-1."""
    out = Counter()
    for key, n in raw.items():
        out[key.decode("latin-1") if type(key) is bytes else tuple(v.decode("latin-1") for v in key)] += n
    return out


def _finish_tsv(counts, groups, ages, los, weights):
    """Fills `counts` from the TSV values counted as text: `groups` per (mdc, adrg, drg, pccl,
    supplementary), `ages`, `los` (None without the column) and `weights` (None without the weight
    columns) per (mdc, effective weight, los_class)."""
    name = counts.source
    for (mdc, adrg_code, drg, pccl, supplementary), n in groups.items():
        counts.groups[(mdc or None, adrg_code or None, drg or None,
                       _whole(name, "pccl", pccl) if pccl else None, supplementary)] += n
    counts.ages = _whole_counts(name, AGE_FIELD, ages)
    if los is not None:
        counts.los = _whole_counts(name, counts.los_field, los)
    if weights is not None:
        counts.weights = _weight_counts(name, weights.items())
    return counts


def _note_tsv_findings(counts, with_findings):
    """Adds the findings texts of TSV rows, counted per (without an ADRG, findings text)."""
    for (ungrouped, text), n in with_findings.items():
        try:
            items = _tsv_findings(text)
        except ValueError as e:
            raise ReportError(f"{counts.source}: {e}") from None
        _note_findings(counts, items, ungrouped, n)


def _weight_counts(name, raw):
    """The Counts.weights of (mdc, effective weight, los_class) values as the file holds them."""
    out = Counter()
    for (mdc, weight, los_class), n in raw:
        try:
            units = weight_units(weight)
        except ValueError as e:
            raise ReportError(f"{name}: the {WEIGHT_FIELD} column holds {e}") from None
        los_class = los_class or ""
        if los_class not in LOS_CLASSES + ("",) or (los_class and units is None):
            raise ReportError(f"{name}: the {LOS_CLASS_FIELD} column holds {los_class!r} beside the effective "
                              f"weight {weight!r}: it is inlier, low or high with a weight, empty without one "
                              f"(or with an unreadable length of stay)")
        out[(mdc or None, units, los_class)] += n
    return out


def _whole(name, column, text):
    try:
        return int(text)
    except ValueError:
        raise ReportError(f"{name}: the {column} column holds {text!r}, not a whole number") from None


def _whole_counts(name, column, raw):
    """`raw` per whole number; an empty value (a record that no table version holds has no age and no
    length of stay) is left out."""
    out = Counter()
    for value, n in raw.items():
        if value == "":
            continue
        out[_whole(name, column, value)] += n
    return out


_TSV_ITEM = re.compile(r"(?:[^;\\]|\\.)+", re.S)
_TSV_FINDING = re.compile(r"([a-z_]+)(?:@([^:>]+))?(?::((?:[^>\\]|\\.)*))?(?:>((?:[^>\\]|\\.)*))?", re.S)
_UNESCAPE = re.compile(r"\\(.)", re.S)
_ESCAPED = {"t": "\t", "n": "\n", "r": "\r"}


def _unescape(text):
    return _UNESCAPE.sub(lambda m: _ESCAPED.get(m.group(1), m.group(1)), text) if "\\" in text else text


def _tsv_findings(text):
    """The findings of a TSV findings field as (code, field, text, count)."""
    items = []
    for item in _TSV_ITEM.findall(text):
        m = _TSV_FINDING.fullmatch(item)
        if not m:
            raise ValueError(f"the findings column holds {item!r}, which is not a finding")
        code, where, finding_text = m.group(1), m.group(2), m.group(3)
        if code == "more":
            if not (finding_text or "").isdigit():
                raise ValueError(f"the findings column holds {item!r}, which is not a finding")
            items.append((code, None, None, int(finding_text)))
            continue
        field = where if where and not where.isdigit() else None
        items.append((code, field, _unescape(finding_text) if finding_text else None, 1))
    return items


def _note_findings(counts, items, ungrouped, n):
    """Adds the findings `items` of `n` records, without an ADRG or not."""
    if not items:
        if ungrouped:
            counts.ungrouped_causes[NONE] += n
        return
    kinds = set()
    causes = set()
    for code, field, text, count in items:
        counts.findings[code] += n * count
        kinds.add(code)
        causes.add(f"{code}@{field}" if field else code)
        if code.endswith("_unknown") and text is not None:
            counts.unknown_codes[(code, text)] += n
    for code in kinds:
        counts.finding_records[code] += n
    if ungrouped:
        for cause in causes:
            counts.ungrouped_causes[cause] += n


def _count_jsonl(name, blocks):
    counts = Counts(name, "JSON Lines")
    group_key = itemgetter(*GROUP_FIELDS)
    age = itemgetter(AGE_FIELD)
    los = None
    weight_key = None
    tables = None
    impact = None
    raw_impact = Counter()
    raw_weights = Counter()
    rows_findings = itemgetter(FINDINGS_FIELD, "adrg")
    line_number = 0

    def parse(lines):
        try:
            rows = json.loads(b"[" + b",".join(lines) + b"]", parse_float=Decimal)
            if all(type(row) is dict for row in rows):
                return rows
        except ValueError:
            pass
        for i, line in enumerate(lines):  # find the line at fault
            try:
                row = json.loads(line, parse_float=Decimal)
            except ValueError as e:
                raise ReportError(f"{name}: line {line_number + i + 1} is not a JSON object: {e}") from None
            if type(row) is not dict:
                raise ReportError(f"{name}: line {line_number + i + 1} is not a JSON object")
        raise ReportError(f"{name}: lines {line_number + 1} to {line_number + len(lines)} are not JSON rows")

    def count(rows):
        nonlocal los, weight_key, tables, impact
        if los is None:
            impact = itemgetter(IMPACT_FIELD) if IMPACT_FIELD in rows[0] else False
            tables = itemgetter(TABLES_FIELD) if TABLES_FIELD in rows[0] else False
            if tables:
                counts.tables = Counter()
            counts.los_field = next((f for f in LOS_FIELDS if f in rows[0]), None)
            los = itemgetter(counts.los_field) if counts.los_field else False
            if los:
                counts.los = Counter()
            weighted = WEIGHT_FIELD in rows[0] and LOS_CLASS_FIELD in rows[0]
            weight_key = itemgetter("mdc", WEIGHT_FIELD, LOS_CLASS_FIELD) if weighted else False
        try:
            counts.groups.update(map(group_key, rows))
            counts.ages.update(map(age, rows))
            if los:
                counts.los.update(map(los, rows))
            if weight_key:
                raw_weights.update(map(weight_key, rows))
            if tables:
                counts.tables.update(map(tables, rows))
            if impact:
                for entries in map(impact, rows):
                    raw_impact.update((e["pos"], e["code"], e["weight_difference"]) for e in entries)
            for findings, adrg in map(rows_findings, rows):
                if findings or adrg is None:
                    _note_findings(counts, _json_findings(findings), adrg is None, 1)
        except (KeyError, TypeError, ValueError):
            _find_bad_row(name, rows, line_number, counts.los_field, bool(weight_key))
            raise ReportError(f"{name}: a row of lines {line_number + 1} to {line_number + len(rows)} holds a "
                              f"field of the wrong kind (a list or an object where a code or a number belongs)")

    for lines in _lines(blocks):
        for start in range(0, len(lines), JSON_BLOCK_LINES):
            part = lines[start:start + JSON_BLOCK_LINES]
            rows = parse(part)
            count(rows)
            line_number += len(part)
            counts.records += len(part)
    if impact:
        try:
            _note_impact(counts, ((_json_impact_entry({"pos": p, "code": c, "weight_difference": d}), n)
                                  for (p, c, d), n in raw_impact.items()))
        except (TypeError, ValueError) as e:
            raise ReportError(f"{name}: the {IMPACT_FIELD} field holds {e}") from None
    return _finish_jsonl(counts, raw_weights if weight_key else None)


def _finish_jsonl(counts, raw_weights):
    """Checks the values of `counts` counted from JSON rows and fills its weights from `raw_weights`
    (None without the weight fields), per (mdc, effective weight, los_class) as decoded."""
    name = counts.source
    if any(key[4] is None for key in counts.groups):
        # A record that no table version holds has no supplementary group either (as TSV, empty).
        groups = Counter()
        for key, n in counts.groups.items():
            groups[key[:4] + ("" if key[4] is None else key[4],)] += n
        counts.groups = groups
    for key in counts.groups:
        if not (all(v is None or type(v) is str for v in key[:3]) and type(key[4]) is str
                and (key[3] is None or type(key[3]) is int)):
            raise ReportError(f"{name}: a row holds {dict(zip(GROUP_FIELDS, key))}: codes must be text or "
                              f"null and pccl a whole number or null")
    if counts.tables is not None and not all(v is None or type(v) is str for v in counts.tables):
        raise ReportError(f"{name}: the {TABLES_FIELD} field holds a value that is not a text or null")
    # A record that no table version holds has neither an age nor a length of stay: left out.
    counts.ages.pop(None, None)
    if counts.los:
        counts.los.pop(None, None)
    for field, values in ((AGE_FIELD, counts.ages), (counts.los_field, counts.los or {})):
        if any(type(v) is not int for v in values):
            raise ReportError(f"{name}: the {field} field holds a value that is not a whole number")
    if raw_weights is not None:
        if not all(type(los_class) in (str, type(None)) for _, _, los_class in raw_weights):
            raise ReportError(f"{name}: the {LOS_CLASS_FIELD} field holds a value that is not a text or null")
        counts.weights = _weight_counts(name, raw_weights.items())
    return counts


def _json_findings(findings):
    """The findings of a JSON row as (code, field, text, count)."""
    if type(findings) is not list:
        raise ValueError("findings is not a list")
    items = []
    for f in findings:
        code = f["code"]
        if code == "more":
            items.append((code, None, None, int(f["count"])))
        else:
            items.append((str(code), f.get("field"), f.get("text"), 1))
    return items


def _find_bad_row(name, rows, line_number, los_field, weighted):
    """Raises the ReportError that names the first row of `rows` (the first
    at line `line_number` + 1) that lacks a field or has a bad one."""
    needed = (GROUP_FIELDS + (AGE_FIELD, FINDINGS_FIELD) + ((los_field,) if los_field else ())
              + ((WEIGHT_FIELD, LOS_CLASS_FIELD) if weighted else ()))
    for i, row in enumerate(rows):
        where = f"{name}: line {line_number + i + 1}"
        missing = [f for f in needed if f not in row]
        if missing:
            raise ReportError(f"{where} has no field {', '.join(missing)}")
        try:
            _json_findings(row[FINDINGS_FIELD])
        except (KeyError, TypeError, ValueError, AttributeError):
            raise ReportError(f"{where}: its findings are not a list of findings") from None
