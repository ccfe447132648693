"""Counts of a detailed result file of the grouper, in one pass: records
per MDC, ADRG, DRG, PCCL and supplementary group, per age (and length of
stay when the file has it), and the findings per kind, with their unknown
codes and the findings of the records without an ADRG.

The file is tab-separated with its header row or JSON Lines, told apart by
the first byte (a JSON row starts with '{').  It is read in large blocks and
counted per distinct value with the C loops of Counter and itemgetter, so
memory grows with the number of distinct codes, not of rows, and a findings
text is parsed once per block however many rows carry it.
"""
import json
import re
import sys
from collections import Counter
from itertools import repeat
from operator import itemgetter, not_

__all__ = ["ReportError", "Counts", "count_results", "NONE", "LOS_FIELDS"]

BLOCK_BYTES = 4 << 20  # read size: larger blocks only cost memory
JSON_BLOCK_LINES = 20_000  # JSON rows parsed in one call
NONE = "none"  # the label of "no MDC" and of "no finding"

# The columns (TSV) or fields (JSON Lines) counted.
GROUP_FIELDS = ("mdc", "adrg", "drg", "pccl", "supplementary")
AGE_FIELD = "age_yy"
FINDINGS_FIELD = "findings"
LOS_FIELDS = ("los", "length_of_stay", "los_dd")  # the first of these the file has, if any


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
    NONE for those without a finding.
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
    adrg = itemgetter(index["adrg"])
    findings = itemgetter(index[FINDINGS_FIELD])
    raw_groups, raw_ages, raw_los = Counter(), Counter(), Counter()
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
        with_findings = Counter(zip(map(not_, map(adrg, rows)), map(findings, rows)))
        for (ungrouped, text), n in with_findings.items():
            try:
                items = _tsv_findings(text.decode("latin-1"))
            except ValueError as e:
                raise ReportError(f"{name}: {e}") from None
            _note_findings(counts, items, ungrouped, n)
        line_number += len(rows)
        counts.records += len(rows)

    if len(first) > 1:
        count(first[1:])
    for lines in line_blocks:
        count(lines)

    for key, n in raw_groups.items():
        mdc, adrg_code, drg, pccl, supplementary = (v.decode("latin-1") for v in key)
        counts.groups[(mdc or None, adrg_code or None, drg or None,
                       _whole(name, "pccl", pccl) if pccl else None, supplementary)] += n
    counts.ages = _whole_counts(name, AGE_FIELD, raw_ages)
    if los:
        counts.los = _whole_counts(name, counts.los_field, raw_los)
    return counts


def _whole(name, column, text):
    try:
        return int(text)
    except ValueError:
        raise ReportError(f"{name}: the {column} column holds {text!r}, not a whole number") from None


def _whole_counts(name, column, raw):
    out = Counter()
    for value, n in raw.items():
        out[_whole(name, column, value.decode("latin-1"))] += n
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
    rows_findings = itemgetter(FINDINGS_FIELD, "adrg")
    line_number = 0

    def parse(lines):
        try:
            rows = json.loads(b"[" + b",".join(lines) + b"]")
            if all(type(row) is dict for row in rows):
                return rows
        except ValueError:
            pass
        for i, line in enumerate(lines):  # find the line at fault
            try:
                row = json.loads(line)
            except ValueError as e:
                raise ReportError(f"{name}: line {line_number + i + 1} is not a JSON object: {e}") from None
            if type(row) is not dict:
                raise ReportError(f"{name}: line {line_number + i + 1} is not a JSON object")
        raise ReportError(f"{name}: lines {line_number + 1} to {line_number + len(lines)} are not JSON rows")

    def count(rows):
        nonlocal los
        if los is None:
            counts.los_field = next((f for f in LOS_FIELDS if f in rows[0]), None)
            los = itemgetter(counts.los_field) if counts.los_field else False
            if los:
                counts.los = Counter()
        try:
            counts.groups.update(map(group_key, rows))
            counts.ages.update(map(age, rows))
            if los:
                counts.los.update(map(los, rows))
            for findings, adrg in map(rows_findings, rows):
                if findings or adrg is None:
                    _note_findings(counts, _json_findings(findings), adrg is None, 1)
        except (KeyError, TypeError, ValueError):
            _find_bad_row(name, rows, line_number, counts.los_field)
            raise ReportError(f"{name}: a row of lines {line_number + 1} to {line_number + len(rows)} holds a "
                              f"field of the wrong kind (a list or an object where a code or a number belongs)")

    for lines in _lines(blocks):
        for start in range(0, len(lines), JSON_BLOCK_LINES):
            part = lines[start:start + JSON_BLOCK_LINES]
            rows = parse(part)
            count(rows)
            line_number += len(part)
            counts.records += len(part)
    for key in counts.groups:
        if not (all(v is None or type(v) is str for v in key[:3]) and type(key[4]) is str
                and (key[3] is None or type(key[3]) is int)):
            raise ReportError(f"{name}: a row holds {dict(zip(GROUP_FIELDS, key))}: codes must be text or "
                              f"null and pccl a whole number or null")
    for field, values in ((AGE_FIELD, counts.ages), (counts.los_field, counts.los or {})):
        if any(type(v) is not int for v in values):
            raise ReportError(f"{name}: the {field} field holds a value that is not a whole number")
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


def _find_bad_row(name, rows, line_number, los_field):
    """Raises the ReportError that names the first row of `rows` (the first
    at line `line_number` + 1) that lacks a field or has a bad one."""
    needed = GROUP_FIELDS + (AGE_FIELD, FINDINGS_FIELD) + ((los_field,) if los_field else ())
    for i, row in enumerate(rows):
        where = f"{name}: line {line_number + i + 1}"
        missing = [f for f in needed if f not in row]
        if missing:
            raise ReportError(f"{where} has no field {', '.join(missing)}")
        try:
            _json_findings(row[FINDINGS_FIELD])
        except (KeyError, TypeError, ValueError, AttributeError):
            raise ReportError(f"{where}: its findings are not a list of findings") from None
