"""The casemix report: one self-contained HTML page with the distribution of
a detailed result file's records over MDCs, ADRGs, DRGs, PCCLs,
supplementary groups and ages, and the findings the grouper made; when the
file comes from a run with a weight catalogue (`--weights`), also the
case-mix, the case-mix index overall and per MDC, and the outliers, all
computed exactly in integers of 1/10,000; when it comes from a run over a
registry of table versions (`--registry`), also the records per version;
when it comes from a run with `--impact`, also the codes that move the most
weight (or change the DRG most often).

    /usr/bin/python3 -m episode_grouper.report RESULTS -o report.html

RESULTS is a detailed result file of the grouper (`--results`), tab-separated
with its header row or JSON Lines, or '-' for standard input.  The file is
read once, keeping only counts per distinct value (result_counts), so a file
of ten million rows needs no more memory than one of a thousand.  The
grouper counts the rows itself (`grouper report`, and a run with `--report`
as it writes them) and passes its counts with `--counts FILE`, or on standard
input with `--counts -` (this then starts while the grouper counts): then
only the page is made here.  The page loads
nothing from anywhere: its charts are inline SVG drawn by matplotlib, each
with its numbers in a table beside it.

Exit status: 0 when the page was written, 1 when the file could not be read
or is not a result file (the message says which and why) or the page could
not be written, 2 on bad usage.
"""
import argparse
import os
import pickle
import signal
import sys
from collections import Counter
from pathlib import Path

from matplotlib.ticker import MaxNLocator

from . import html_page as hp
from .result_counts import (NONE, Counts, ReportError, count_results, counts_from_file, counts_from_text, index_units,
                            weight_text)

__all__ = ["ReportError", "Counts", "count_results", "render", "main"]

TOP = 25  # ADRGs, DRGs, supplementary groups and unknown codes shown
NO_SUPPLEMENTARY = ("", "0000")
TOP_IMPACT = 20  # codes shown in the impact section
NO_VERSION = "(no version)"  # the records of a run over a registry that no table version holds  # supplementary codes that mean "no supplementary group"

AGE_BANDS = [(lo, lo + 4) for lo in range(0, 100, 5)] + [(100, None)]
LOS_BANDS = [(0, 0), (1, 1), (2, 2), (3, 3), (4, 5), (6, 7), (8, 14), (15, 30), (31, 60), (61, None)]


def _ranked(counter, limit=None):
    """(key, count) by count, largest first, ties by key."""
    items = sorted(counter.items(), key=lambda kv: (-kv[1], str(kv[0])))
    return items[:limit] if limit else items


def _mdc_order(mdcs):
    return sorted(mdcs, key=lambda m: (m == NONE, m))


def _band_label(lo, hi):
    return f"{lo}+" if hi is None else (str(lo) if lo == hi else f"{lo}–{hi}")


def _banded(values, bands):
    """[(label, records)] for `bands`, then ('invalid', n) for negative values when there are any."""
    out = []
    for lo, hi in bands:
        out.append((_band_label(lo, hi), sum(n for v, n in values.items() if v >= lo and (hi is None or v <= hi))))
    invalid = sum(n for v, n in values.items() if v < 0)
    if invalid:
        out.append(("invalid", invalid))
    return out


def _bar_chart(name, title, labels, values, xlabel=None, ylabel="records", horizontal=False, colour=0,
               whole=True):
    height = max(2.2, 1.0 + 0.22 * len(labels)) if horizontal else 3.6
    fig = hp.new_figure(6.4, height)
    ax = fig.subplots()
    positions = range(len(labels))
    if horizontal:
        ax.barh(positions, values, color=hp.PALETTE[colour])
        ax.set_yticks(positions, labels, fontsize=8)
        ax.invert_yaxis()
        ax.set_xlabel(ylabel)
    else:
        ax.bar(positions, values, color=hp.PALETTE[colour])
        ax.set_xticks(positions, labels, rotation=90 if len(labels) > 12 else 0, fontsize=8)
        ax.set_ylabel(ylabel)
        if xlabel:
            ax.set_xlabel(xlabel)
    (ax.xaxis if horizontal else ax.yaxis).set_major_locator(MaxNLocator(integer=whole))
    ax.set_title(title)
    ax.spines[["top", "right"]].set_visible(False)
    return hp.svg_figure(fig, name, title)


def _ranked_section(counts, name, heading, what, counter, total, colour, note=""):
    top = _ranked(counter, TOP)
    if not top:
        return hp.section(heading, f'<p class="note">No record has {what}.</p>', section_id=name)
    title = f"The {len(top)} most frequent {what}s"
    chart = _bar_chart(name, title, [k for k, _ in top], [n for _, n in top], horizontal=True, colour=colour)
    rows = [(k, n, hp.share(n, total)) for k, n in top]
    table = hp.table([what, "records", "share"], rows, table_id=name, numeric=(1, 2),
                     caption=f"{title} of {len(counter):,} (share of all records)")
    parts = [hp.chart_and_table(chart, table)]
    if note:
        parts.append(f'<p class="note">{hp.escape(note)}</p>')
    return hp.section(heading, *parts, section_id=name)


def _overview(counts):
    total = counts.records
    grouped = counts.grouped
    supplementary = sum(n for code, n in counts.per_supplementary().items() if code not in NO_SUPPLEMENTARY)
    cards = [("records", hp.number(total)), ("grouped (with an ADRG)", hp.share(grouped, total)),
             ("without an ADRG", hp.number(total - grouped)), ("with a supplementary group", hp.number(supplementary))]
    card_html = _cards(cards)
    table = hp.table(["", "records", "share"], [
        ("records", total, hp.share(total, total)),
        ("grouped", grouped, hp.share(grouped, total)),
        ("without an ADRG", total - grouped, hp.share(total - grouped, total)),
        ("with a supplementary group", supplementary, hp.share(supplementary, total)),
    ], table_id="overview", numeric=(1, 2))
    parts = [card_html, table]
    causes = _ranked(counts.ungrouped_causes)
    if causes:
        title = "Records without an ADRG, by finding"
        chart = _bar_chart("causes", title, [k for k, _ in causes], [n for _, n in causes], horizontal=True,
                           colour=1)
        cause_table = hp.table(["finding", "records", "share"],
                               [(k, n, hp.share(n, total - grouped)) for k, n in causes],
                               table_id="causes", numeric=(1, 2),
                               caption="Findings of the records without an ADRG (share of those records)")
        parts += [hp.chart_and_table(chart, cause_table),
                  '<p class="note">A record may carry several findings; "none" counts the records without '
                  'an ADRG that carry no finding.</p>']
    return hp.section("Overview", *parts, section_id="summary")


def _cards(cards):
    return '<div class="cards">' + "".join(
        f'<div class="card"><div class="value">{hp.escape(v)}</div><div class="label">{hp.escape(k)}</div></div>'
        for k, v in cards) + "</div>"


def _casemix_section(counts):
    """Case-mix, case-mix index and outliers, overall and per MDC (a file with weight columns)."""
    per_mdc = counts.case_mix()
    total = sum(t for t, _, _ in per_mdc.values())
    weighted = sum(w for _, w, _ in per_mdc.values())
    unweighted = sum(u for _, _, u in per_mdc.values())
    classes = counts.los_classes()
    cmi = weight_text(index_units(total, weighted)) if weighted else "–"
    card_html = _cards([("case-mix", weight_text(total)), ("case-mix index", cmi),
                        ("episodes with a weight", hp.number(weighted)), ("without a weight", hp.number(unweighted)),
                        ("low outliers", hp.number(classes["low"])), ("high outliers", hp.number(classes["high"]))])
    table = hp.table(["", "value"], [
        ("case-mix", weight_text(total)), ("case-mix index", cmi), ("episodes with a weight", weighted),
        ("episodes without a weight", unweighted), ("inliers", classes["inlier"]),
        ("low outliers", classes["low"]), ("high outliers", classes["high"]),
    ], table_id="casemix", numeric=(1,))
    parts = [card_html, table]
    order = [m for m in _mdc_order(per_mdc) if per_mdc[m][1]]
    if order:
        indexes = {m: index_units(per_mdc[m][0], per_mdc[m][1]) for m in order}
        chart = _bar_chart("cmi-mdc", "Case-mix index per MDC", order, [indexes[m] / 10_000 for m in order],
                           xlabel="MDC", ylabel="case-mix index", colour=2, whole=False)
        mdc_table = hp.table(["MDC", "with a weight", "case-mix", "index"],
                             [(m, per_mdc[m][1], weight_text(per_mdc[m][0]), weight_text(indexes[m]))
                              for m in order], table_id="cmi-mdc", numeric=(1, 2, 3),
                             caption="Case-mix and case-mix index per MDC (episodes with a weight)")
        parts.append(hp.chart_and_table(chart, mdc_table))
    parts.append('<p class="note">The case-mix is the sum of the effective weights (the weight of the DRG, '
                 'less a deduction per day below the low trim, plus a surcharge per day above the high trim); the '
                 'case-mix index is the case-mix divided by the episodes with a weight, rounded half up to 4 '
                 'decimals. Sums are exact, in units of 0.0001. An episode has no weight without a DRG or '
                 'without a catalogue row valid on its date.</p>')
    return hp.section("Case-mix", *parts, section_id="casemix-section")


def _tables_section(counts):
    """Records per table version (a run over a registry), the versions by name, then the records no
    version holds."""
    per_version = counts.tables
    order = sorted(v for v in per_version if v is not None) + ([None] if None in per_version else [])
    if not order:
        return hp.section("Records per table version", '<p class="note">No records.</p>', section_id="tables-section")
    labels = [v if v is not None else NO_VERSION for v in order]
    title = "Records per table version"
    chart = _bar_chart("tables", title, labels, [per_version[v] for v in order], horizontal=True, colour=3)
    table = hp.table(["table version", "records", "share"],
                     [(label, per_version[v], hp.share(per_version[v], counts.records))
                      for label, v in zip(labels, order)], table_id="tables", numeric=(1, 2),
                     caption="Share of all records")
    return hp.section(title, hp.chart_and_table(chart, table),
                      f'<p class="note">Each record is grouped with the version whose dates hold its date; '
                      f'"{NO_VERSION}" counts the records no version holds (finding no_table_version).</p>',
                      section_id="tables-section")


def _impact_section(counts):
    """The codes whose blank moves the most weight (a run with --impact): per code and kind, the records
    and the total and mean weight moved; without weights, the codes that change the DRG most often."""
    heading = "Codes that move the most weight"
    records, moved = counts.impact, counts.impact_weight
    if not records:
        return hp.section(heading, '<p class="note">No code changes the DRG or the weight of a record.</p>',
                          section_id="impact-section")
    label = lambda key: f"{key[0]} ({key[1]})"  # noqa: E731
    if moved is not None:
        top = sorted(records, key=lambda k: (-abs(moved[k]), -records[k], k))[:TOP_IMPACT]
        title = f"The {len(top)} codes that move the most weight"
        chart = _bar_chart("impact", title, [label(k) for k in top], [moved[k] / 10_000 for k in top],
                           horizontal=True, ylabel="total weight moved", colour=2, whole=False)
        rows = [(k[0], k[1], records[k], weight_text(moved[k]), weight_text(index_units(moved[k], records[k])))
                for k in top]
        note = ("A code's weight moved is the record's effective weight without the code less with it, "
                "summed over the records that hold it; codes ranked by the absolute total.")
    else:
        heading = "Codes that change the DRG most often"
        top = sorted(records, key=lambda k: (-records[k], k))[:TOP_IMPACT]
        title = f"The {len(top)} codes that change the DRG most often"
        chart = _bar_chart("impact", title, [label(k) for k in top], [records[k] for k in top], horizontal=True,
                           colour=2)
        rows = [(k[0], k[1], records[k], "–", "–") for k in top]
        note = "Without weights no weight is moved: codes ranked by the records whose DRG their blank changes."
    table = hp.table(["code", "kind", "records", "total moved", "mean moved"], rows, table_id="impact",
                     numeric=(2, 3, 4), caption=f"{title} of {len(records):,} (dx: positions 1 to 10, proc: 11 to 46)")
    return hp.section(heading, hp.chart_and_table(chart, table), f'<p class="note">{hp.escape(note)} A code held '
                      f'at two positions of a record counts at each.</p>', section_id="impact-section")


def _mdc_section(counts):
    per_mdc = counts.per_mdc()
    if not per_mdc:
        return hp.section("Episodes per MDC", '<p class="note">No records.</p>', section_id="mdcs")
    order = _mdc_order(per_mdc)
    chart = _bar_chart("mdc", "Episodes per MDC", order, [per_mdc[m] for m in order], xlabel="MDC")
    table = hp.table(["MDC", "records", "share"], [(m, per_mdc[m], hp.share(per_mdc[m], counts.records))
                                                   for m in order], table_id="mdc", numeric=(1, 2))
    return hp.section("Episodes per MDC", hp.chart_and_table(chart, table),
                      '<p class="note">"none": records without an MDC.</p>', section_id="mdcs")


def _pccl_section(counts):
    per_pccl = counts.per_pccl()
    grouped = sum(per_pccl.values())
    if not grouped:
        return hp.section("Complexity (PCCL)", '<p class="note">No record has an ADRG.</p>', section_id="pccls")
    levels = sorted(per_pccl)
    chart = _bar_chart("pccl", "PCCL of the grouped episodes", [str(p) for p in levels],
                       [per_pccl[p] for p in levels], xlabel="PCCL", colour=3)
    table = hp.table(["PCCL", "records", "share"], [(p, per_pccl[p], hp.share(per_pccl[p], grouped))
                                                    for p in levels], table_id="pccl", numeric=(0, 1, 2),
                     caption="Share of the grouped records")

    by_mdc = counts.pccl_per_mdc()
    order = _mdc_order(by_mdc)
    fig = hp.new_figure(6.4, max(3.0, 1.3 + 0.24 * len(order)))
    ax = fig.subplots()
    left = [0.0] * len(order)
    for i, p in enumerate(levels):
        shares = [100.0 * by_mdc[m][p] / sum(by_mdc[m].values()) for m in order]
        ax.barh(range(len(order)), shares, left=left, color=hp.PALETTE[i % len(hp.PALETTE)], label=f"PCCL {p}")
        left = [a + b for a, b in zip(left, shares)]
    ax.set_yticks(range(len(order)), order, fontsize=8)
    ax.invert_yaxis()
    ax.set_xlim(0, 100)
    ax.set_xlabel("% of the MDC's grouped records")
    title = "PCCL per MDC"
    ax.set_title(title, pad=24)
    ax.legend(ncols=len(levels), loc="lower center", bbox_to_anchor=(0.5, 1.0), fontsize=8, frameon=False)
    per_mdc_chart = hp.svg_figure(fig, "pccl-mdc", title)
    per_mdc_table = hp.table(["MDC"] + [f"PCCL {p}" for p in levels] + ["grouped"],
                             [[m] + [by_mdc[m][p] for p in levels] + [sum(by_mdc[m].values())] for m in order],
                             table_id="pccl-mdc", numeric=range(1, len(levels) + 2),
                             caption="Grouped records per MDC and PCCL")
    return hp.section("Complexity (PCCL)", hp.chart_and_table(chart, table),
                      hp.chart_and_table(per_mdc_chart, per_mdc_table), section_id="pccls")


def _supplementary_section(counts):
    per_code = counts.per_supplementary()
    groups = Counter({k: n for k, n in per_code.items() if k not in NO_SUPPLEMENTARY})
    without = counts.records - sum(groups.values())
    parts = []
    top = _ranked(groups, TOP)
    if top:
        title = "Supplementary groups" if len(top) == len(groups) else f"The {len(top)} most frequent supplementary groups"
        parts.append(hp.chart_and_table(
            _bar_chart("supplementary", title, [k for k, _ in top], [n for _, n in top], horizontal=True,
                       colour=4),
            hp.table(["supplementary group", "records", "share"],
                     [(k, n, hp.share(n, counts.records)) for k, n in _ranked(groups)] +
                     [("(none)", without, hp.share(without, counts.records))],
                     table_id="supplementary", numeric=(1, 2), caption="Share of all records")))
    else:
        parts.append('<p class="note">No record has a supplementary group.</p>')
    return hp.section("Supplementary groups", *parts, section_id="supplementaries")


def _banded_section(name, heading, title, values, bands, unit, total):
    rows = _banded(values, bands)
    chart = _bar_chart(name, title, [label for label, _ in rows], [n for _, n in rows], xlabel=unit, colour=5)
    table = hp.table([unit, "records", "share"], [(label, n, hp.share(n, total)) for label, n in rows],
                     table_id=name, numeric=(1, 2))
    return hp.section(heading, hp.chart_and_table(chart, table), section_id=f"{name}s")


def _findings_section(counts):
    total = counts.records
    kinds = _ranked(counts.finding_records)
    if not kinds:
        return hp.section("Findings", '<p class="note">No record carries a finding.</p>', section_id="findings-section")
    title = "Records per finding"
    chart = _bar_chart("findings", title, [k for k, _ in kinds], [n for _, n in kinds], horizontal=True,
                       colour=6)
    table = hp.table(["finding", "records", "share", "findings"],
                     [(k, n, hp.share(n, total), counts.findings[k]) for k, n in kinds], table_id="findings",
                     numeric=(1, 2, 3), caption="Records carrying each finding, and its number")
    parts = [hp.chart_and_table(chart, table)]
    unknown = _ranked(counts.unknown_codes, TOP)
    if unknown:
        labels = [f"{text} ({code})" for (code, text), _ in unknown]
        title = f"The {len(unknown)} most frequent unknown codes"
        parts += [f"<h3>{hp.escape(title)}</h3>", hp.chart_and_table(
            _bar_chart("unknown", title, labels, [n for _, n in unknown], horizontal=True, ylabel="findings",
                       colour=7),
            hp.table(["code", "finding", "findings"], [(text, code, n) for (code, text), n in unknown],
                     table_id="unknown", numeric=(2,), caption=f"{len(counts.unknown_codes):,} distinct unknown codes"))]
    parts.append('<p class="note">The meaning of each finding is in the README (the detailed result file, '
                 'Findings); "more" counts the findings past the 24 a record keeps.</p>')
    return hp.section("Findings", *parts, section_id="findings-section")


def _section_builders(counts):
    """The page's sections in their order, each as (weight, function that
    draws it): the weight is about what drawing it costs, in milliseconds
    on a 2-core host (a bar chart about 45 and 2.5 a bar label; the stacked
    PCCL per MDC about 200).  The two drawing processes share the sections
    by these weights: with a chart each counted alike, one of them drew for
    half as long again as the other."""
    builders = [(50 if counts.ungrouped_causes else 5, lambda: _overview(counts))]
    if counts.weights is not None:
        builders.append((100, lambda: _casemix_section(counts)))
    if counts.tables is not None:
        builders.append((60, lambda: _tables_section(counts)))
    if counts.impact is not None:
        builders.append((100, lambda: _impact_section(counts)))
    builders += [
        (105, lambda: _mdc_section(counts)),
        (105, lambda: _ranked_section(counts, "adrg", "ADRGs", "ADRG", counts.per_adrg(), counts.records, 0)),
        (105, lambda: _ranked_section(counts, "drg", "DRGs", "DRG", counts.per_drg(), counts.records, 2)),
        (310, lambda: _pccl_section(counts)),
        (85, lambda: _supplementary_section(counts)),
    ]
    if counts.records:
        builders.append((95, lambda: _banded_section("age", "Age", "Age in years", counts.ages, AGE_BANDS,
                                                     "age (years)", counts.records)))
        if counts.los is not None:
            builders.append((70, lambda: _banded_section(
                "los", "Length of stay", f"Length of stay in days ({counts.los_field})", counts.los, LOS_BANDS,
                "length of stay (days)", counts.records)))
    builders.append((180 if counts.unknown_codes else 100, lambda: _findings_section(counts)))
    return builders


def _draw_in_two(builders):
    """The sections of `builders`, drawn half here and half in a forked copy
    of this process (each chart's bytes depend only on what it shows).  A
    copy that fails leaves its sections to be drawn here."""
    # The heaviest first, each to the lighter half.
    order = sorted(range(len(builders)), key=lambda i: -builders[i][0])
    load, theirs = [0, 0], set()
    for i in order:
        half = 0 if load[0] <= load[1] else 1
        load[half] += builders[i][0]
        if half:
            theirs.add(i)
    read_end, write_end = os.pipe()
    try:
        pid = os.fork()
    except OSError:
        os.close(read_end)
        os.close(write_end)
        return [draw() for _, draw in builders]
    if pid == 0:  # the copy: draws its sections, hands them over, ends without cleaning up the parent's state
        status = 1
        try:
            os.close(read_end)
            with os.fdopen(write_end, "wb") as out:
                pickle.dump({i: builders[i][1]() for i in sorted(theirs)}, out)
            status = 0
        finally:
            os._exit(status)
    os.close(write_end)
    mine = {i: builders[i][1]() for i in range(len(builders)) if i not in theirs}
    with os.fdopen(read_end, "rb") as given:
        data = given.read()
    _, status = os.waitpid(pid, 0)
    drawn = {}
    if status == 0:
        try:
            drawn = pickle.loads(data)
        except Exception:  # noqa: BLE001  (a broken hand-over: drawn here instead)
            drawn = {}
    drawn.update(mine)
    return [drawn[i] if isinstance(drawn.get(i), str) else builders[i][1]() for i in range(len(builders))]


def render(counts, jobs=1):
    """The HTML page of `counts`; with `jobs` 2 or more, its charts are
    drawn in two processes (the same bytes, in about half the time)."""
    builders = _section_builders(counts)
    if jobs > 1 and hasattr(os, "fork"):
        sections = _draw_in_two(builders)
    else:
        sections = [draw() for _, draw in builders]
    source = Path(counts.source).name if counts.source != "standard input" else counts.source
    return hp.page("Casemix report", "\n".join(sections),
                   subtitle=f"{counts.records:,} records of {source} ({counts.format})")


# ---------------------------------------------------------------- command line

def _arguments(argv):
    parser = argparse.ArgumentParser(
        prog="grouper report",
        description="Writes the casemix report of a detailed result file of the grouper as one self-contained "
                    "HTML page: records and share grouped, episodes per MDC, the most frequent ADRGs and DRGs, "
                    "PCCLs overall and per MDC, supplementary groups, ages, and the findings; for a run with "
                    "weights, also the case-mix, the case-mix index overall and per MDC, and the outliers; "
                    "for a run over a registry, the records per table version; for a run with --impact, "
                    "the codes that move the most weight.",
        epilog="Exit status: 0 when the page was written, 1 when the results could not be read or the page "
               "not written, 2 on bad usage.")
    parser.add_argument("results", metavar="RESULTS",
                        help="the detailed result file (--results of a run), TSV or JSON Lines; '-' reads "
                             "standard input")
    parser.add_argument("-o", "--output", metavar="FILE", required=True,
                        help="the HTML page to write (written beside FILE, moved into place when complete)")
    parser.add_argument("--counts", metavar="FILE",
                        help="the counts of RESULTS as the grouper made them (see result_counts.counts_from_file): "
                             "RESULTS then only names the file on the page, and is read only when a value in "
                             "the counts is not one a result file holds, to say where; '-' reads them from "
                             "standard input, where the grouper writes them once it has counted the rows (the "
                             "text null instead: RESULTS is counted here; nothing: the grouper gave up, and the "
                             "page is not written)")
    return parser.parse_args(argv)


def _warm_up():
    """Draws a small chart and throws it away: a process's first drawing
    loads the fonts and fills matplotlib's caches, done so while the
    grouper is still counting (the page's bytes do not depend on it)."""
    _bar_chart("warm-up", "warm-up", ["a", "b"], [1, 2], xlabel="x", horizontal=True)


def _counts_from_grouper():
    """The counts' bytes from standard input (--counts -), after warming up;
    None when the grouper asks for RESULTS to be counted here.  Exits with
    status 1 and no word when the input ends empty: the grouper gave up,
    and says why itself."""
    _warm_up()
    text = sys.stdin.buffer.read()
    if not text:
        sys.exit(1)
    # The grouper blocks interrupts here while it works (it ends on one,
    # and then this ends too); from now on one ends the drawing.
    signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGINT})
    return None if text.strip() == b"null" else text


def main(argv=None):
    """Runs the command line; returns the exit status."""
    args = _arguments(argv)
    try:
        counts = None
        if args.counts:
            try:
                if args.counts == "-":
                    text = _counts_from_grouper()
                    if text is not None:
                        counts = counts_from_text(text, args.results)
                else:
                    counts = counts_from_file(args.counts, args.results)
            except ReportError:
                pass  # the file itself says what is wrong, and where
        if counts is None:
            counts = count_results(args.results)
    except ReportError as e:
        print(f"grouper report: {e}", file=sys.stderr)
        return 1
    try:
        hp.write_page(args.output, render(counts, jobs=min(2, len(os.sched_getaffinity(0)))))
    except OSError as e:
        print(f"grouper report: {args.output}: cannot write the page: {e.strerror}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    from ._process import exit_now

    exit_now(main())
