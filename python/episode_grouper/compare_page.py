"""The page of a table-version comparison: what `grouper compare` found, for
a person who decides whether a new table set goes live.

    /usr/bin/python3 -m episode_grouper.compare_page SUMMARY.json -o PAGE.html

SUMMARY.json is the summary `grouper compare --json` writes.  The page shows
the counts, a heat map of the records' moves from MDC to MDC, and the
largest ADRG and DRG moves and the PCCL changes as tables; with weights, the
case-mix and case-mix index before and after, the weight moved and the DRG
transitions that move the most weight (a chart and a table).  It is one
self-contained file: the chart is inline SVG drawn by matplotlib, and the
page loads nothing from anywhere (its Content Security Policy says so).
"""
import argparse
import json
import sys

from .html_page import (PALETTE, chart_and_table, escape, new_figure, number, page, section, share, svg_figure,
                        table, write_page)

TOP_MOVES = 25  # rows of the ADRG and DRG move tables
TOP_WEIGHT_MOVES = 20  # transitions shown by the weight they move
NONE = "(none)"  # the name of "no group" on the page

# The heat map keeps its drawn size rather than filling its column.
_STYLE = "#mdc-moves-chart svg { width: auto; max-width: 100%; }"


def _name(code):
    return NONE if code in ("", None) else str(code)


def mdc_matrix(moves):
    """(old MDCs, new MDCs, counts[old][new]) of the MDC moves, codes sorted."""
    olds = sorted({_name(m["from"]) for m in moves})
    news = sorted({_name(m["to"]) for m in moves})
    counts = [[0] * len(news) for _ in olds]
    for m in moves:
        counts[olds.index(_name(m["from"]))][news.index(_name(m["to"]))] += m["count"]
    return olds, news, counts


def heat_map(moves):
    """The heat map of MDC to MDC as inline SVG."""
    olds, news, counts = mdc_matrix(moves)
    fig = new_figure(max(4.0, 1.0 + 0.45 * len(news)), max(3.0, 1.0 + 0.4 * len(olds)))
    ax = fig.add_subplot()
    image = ax.imshow(counts, cmap="Blues", aspect="auto", vmin=0)
    ax.set_xticks(range(len(news)), news, rotation=90)
    ax.set_yticks(range(len(olds)), olds)
    ax.set_xlabel("MDC under the new tables")
    ax.set_ylabel("MDC under the old tables")
    top = max((c for row in counts for c in row), default=0)
    if len(olds) * len(news) <= 400:
        for i, row in enumerate(counts):
            for j, c in enumerate(row):
                if c:
                    ax.text(j, i, number(c), ha="center", va="center", fontsize=7,
                            color="white" if c > top / 2 else "#1d2733")
    fig.colorbar(image, ax=ax, label="records")
    return svg_figure(fig, "mdc-moves", "Records whose results differ, from their old MDC to their new one")


def move_rows(moves, limit=TOP_MOVES):
    return [(_name(m["from"]), _name(m["to"]), m["count"]) for m in moves[:limit]]


def pccl_table(moves):
    """The PCCL changes as a table: old PCCL down, new PCCL across."""
    values = sorted({m["from"] for m in moves} | {m["to"] for m in moves}, key=lambda v: -1 if v is None else v)
    names = [NONE if v is None else str(v) for v in values]
    counts = {(m["from"], m["to"]): m["count"] for m in moves}
    rows = [[names[i]] + [counts.get((a, b), 0) for b in values] for i, a in enumerate(values)]
    return table(["old \\ new"] + names, rows, table_id="pccl-moves",
                 caption="PCCL, old (rows) to new (columns), of the records whose results differ",
                 numeric=range(1, len(names) + 1))


def _units(text):
    """A weight text of the summary ('-12.3456') as an integer of 1/10,000, for drawing only."""
    sign = -1 if text.startswith("-") else 1
    whole, _, fraction = text.lstrip("-").partition(".")
    return sign * (int(whole) * 10_000 + int(fraction.ljust(4, "0")))


def weights_section(w):
    """The case-mix before and after and the transitions that move the most weight."""
    rows = [("case-mix", w["old_case_mix"], w["new_case_mix"]),
            ("case-mix index", w["old_case_mix_index"] or NONE, w["new_case_mix_index"] or NONE),
            ("records with a weight", w["old_weighted"], w["new_weighted"])]
    cards = '<div class="cards">' + "".join(
        f'<div class="card" id="card-{escape(key)}"><div class="value">{escape(value)}</div>'
        f'<div class="label">{escape(label)}</div></div>' for key, label, value in (
            ("weight-moved", "weight moved (new − old)", w["weight_moved"]),
            ("old-cmi", "case-mix index before", w["old_case_mix_index"] or NONE),
            ("new-cmi", "case-mix index after", w["new_case_mix_index"] or NONE))) + "</div>"
    parts = [cards, table(["", "old", "new"], rows, table_id="case-mix", numeric=(1, 2),
                          caption=f"Weights: {w['old_weights']} (old), {w['new_weights']} (new)")]
    moves = w["weight_moves"][:TOP_WEIGHT_MOVES]
    if moves:
        labels = [f"{_name(m['from'])} → {_name(m['to'])}" for m in moves]
        values = [_units(m["weight_moved"]) / 10_000 for m in moves]
        fig = new_figure(6.4, max(2.2, 1.0 + 0.24 * len(moves)))
        ax = fig.subplots()
        ax.barh(range(len(moves)), values, color=[PALETTE[1] if v < 0 else PALETTE[0] for v in values])
        ax.set_yticks(range(len(moves)), labels, fontsize=8)
        ax.invert_yaxis()
        ax.axvline(0, color="#52606d", linewidth=0.8)
        ax.set_xlabel("weight moved (new − old)")
        title = f"The {len(moves)} DRG transitions that move the most weight"
        ax.set_title(title)
        ax.spines[["top", "right"]].set_visible(False)
        numbers = table(["old DRG", "new DRG", "records", "weight moved"],
                        [(_name(m["from"]), _name(m["to"]), m["records"], m["weight_moved"]) for m in moves],
                        table_id="weight-moves", numeric=(2, 3),
                        caption=f"{title}, of {len(w['weight_moves'])}")
        parts.append(chart_and_table(svg_figure(fig, "weight-moves", title), numbers))
    parts.append('<p class="note">The weight moved is the sum over all records of the new effective weight less '
                 "the old one (a record without a weight counts 0), exact to 0.0001; a transition counts the "
                 "records whose DRG or effective weight differ. The case-mix index is the case-mix divided by "
                 "the records with a weight, rounded half up to 4 decimals.</p>")
    return section("Weight moved", *parts, section_id="weights")


def render(summary):
    """The whole page for the summary (a dict as grouper compare writes it)."""
    records = summary["records"]
    differ = summary["results_differ"]
    cards = [
        ("records read", records), ("results differ", differ), ("ADRG changed", summary["adrg_changed"]),
        ("DRG changed", summary["drg_changed"]), ("PCCL changed", summary["pccl_changed"]),
        ("newly ungroupable", summary["newly_ungroupable"]), ("newly grouped", summary["newly_grouped"]),
        ("findings alone differ", summary["findings_only"]),
    ]
    card_html = '<div class="cards">' + "".join(
        f'<div class="card" id="card-{escape(label.replace(" ", "-"))}"><div class="value">{number(n)}</div>'
        f'<div class="label">{escape(label)}</div></div>' for label, n in cards) + "</div>"
    counts = table(["", "records", "share of records read"],
                   [(label, n, share(n, records)) for label, n in cards[1:]] +
                   [("MDC changed", summary["mdc_changed"], share(summary["mdc_changed"], records)),
                    ("CCLs changed", summary["ccl_changed"], share(summary["ccl_changed"], records)),
                    ("supplementary group changed", summary["supplementary_changed"],
                     share(summary["supplementary_changed"], records))],
                   table_id="counts", numeric=(1, 2))
    parts = [section("What changes", card_html, counts, section_id="overview")]
    if "weights" in summary:
        parts.append(weights_section(summary["weights"]))
    if summary["mdc_moves"]:
        numbers = table(["old MDC", "new MDC", "records"], move_rows(summary["mdc_moves"], None),
                        table_id="mdc-moves", numeric=(2,))
        parts.append(section("MDC to MDC", '<p class="note">Records whose results differ; the diagonal holds '
                             "those that stay in their MDC.</p>",
                             chart_and_table(heat_map(summary["mdc_moves"]), numbers), section_id="mdc"))
    else:
        parts.append(section("MDC to MDC", '<p class="note">No record&#39;s result differs.</p>', section_id="mdc"))
    for key, title in (("drg_moves", "DRG"), ("adrg_moves", "ADRG")):
        moves = summary[key]
        shown = f"the {min(len(moves), TOP_MOVES)} largest of {len(moves)}" if moves else "none"
        parts.append(section(f"{title} moves", table(
            [f"old {title}", f"new {title}", "records"], move_rows(moves), table_id=key.replace("_", "-"),
            caption=f"{title} moves, {shown}", numeric=(2,)), section_id=key.split("_")[0]))
    if summary["pccl_moves"]:
        parts.append(section("PCCL changes", pccl_table(summary["pccl_moves"]), section_id="pccl"))
    subtitle = f"old tables {summary['old_tables']}  \u2192  new tables {summary['new_tables']}"
    return page("Impact of a table version", "\n".join(parts), subtitle=subtitle, style=_STYLE)


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python3 -m episode_grouper.compare_page",
                                     description="Writes the HTML page of a grouper compare summary.")
    parser.add_argument("summary", help="the JSON summary of grouper compare (--json)")
    parser.add_argument("-o", "--output", required=True, help="the page to write")
    args = parser.parse_args(argv)
    try:
        with open(args.summary, encoding="utf-8") as f:
            summary = json.load(f)
        text = render(summary)
    except OSError as e:
        print(f"compare_page: cannot read {args.summary}: {e.strerror}", file=sys.stderr)
        return 1
    except (ValueError, KeyError, TypeError) as e:
        print(f"compare_page: {args.summary} is not a compare summary: {e}", file=sys.stderr)
        return 1
    try:
        write_page(args.output, text)
    except OSError as e:
        print(f"compare_page: cannot write {args.output}: {e.strerror}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    from ._process import exit_now

    exit_now(main())
