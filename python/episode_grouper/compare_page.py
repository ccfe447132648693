"""The page of a table-version comparison: what `grouper compare` found, for
a person who decides whether a new table set goes live.

    /usr/bin/python3 -m episode_grouper.compare_page SUMMARY.json -o PAGE.html

SUMMARY.json is the summary `grouper compare --json` writes.  The page shows
the counts, a heat map of the records' moves from MDC to MDC, and the
largest ADRG and DRG moves and the PCCL changes as tables.  It is one
self-contained file: the chart is inline SVG drawn by matplotlib, and the
page loads nothing from anywhere (its Content Security Policy says so).
"""
import argparse
import html
import io
import json
import os
import re
import sys
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
from matplotlib.figure import Figure  # noqa: E402  (after choosing the backend)

TOP_MOVES = 25  # rows of the ADRG and DRG move tables
NONE = "(none)"  # the name of "no group" on the page

# --- page pieces -------------------------------------------------------------
# A minimal copy of the shared pieces of the grouper's pages (html_page, with
# the same names and behaviour), until that module is on main.

CONTENT_SECURITY_POLICY = "default-src 'none'; style-src 'unsafe-inline'; img-src data:"

_STYLE = """
body { font-family: "DejaVu Sans", Verdana, Arial, sans-serif; margin: 0 auto; max-width: 1240px;
       padding: 0 20px 40px; color: #1d2733; background: #fff; font-size: 14px; line-height: 1.4; }
header { border-bottom: 3px solid #2f6690; padding: 18px 0 10px; margin-bottom: 8px; }
h1 { font-size: 24px; margin: 0 0 4px; }
h2 { font-size: 18px; margin: 28px 0 10px; border-bottom: 1px solid #cfd8e0; padding-bottom: 4px; }
.subtitle, .note { color: #52606d; margin: 0; }
.cards { display: flex; flex-wrap: wrap; gap: 12px; margin: 14px 0; }
.card { border: 1px solid #cfd8e0; border-radius: 6px; padding: 10px 16px; min-width: 150px; background: #f6f9fb; }
.card .value { font-size: 22px; font-weight: bold; color: #2f6690; }
.card .label { color: #52606d; }
figure { margin: 0; }
figure svg { max-width: 100%; height: auto; display: block; }
table { border-collapse: collapse; font-size: 13px; margin: 6px 0 14px; }
caption { text-align: left; font-weight: bold; padding: 0 0 4px; }
th, td { padding: 2px 8px; border-bottom: 1px solid #e3e8ed; text-align: left; white-space: nowrap; }
th { background: #eef3f7; }
td.n, th.n { text-align: right; font-variant-numeric: tabular-nums; }
"""


def escape(value):
    return html.escape(str(value), quote=True)


def number(value):
    return f"{value:,}"


def share(part, whole):
    return f"{100.0 * part / whole:.1f}%" if whole else "0.0%"


_ID_OR_REFERENCE = re.compile(r'(\bid="|url\(#|href="#)([^")]+)')
_METADATA = re.compile(r"<metadata>.*?</metadata>\s*", re.S)


def svg_figure(fig, name, label):
    """`fig` as inline SVG in a <figure id="NAME-chart">, its ids prefixed with
    NAME, with no date in it, so the same counts give the same bytes."""
    buffer = io.StringIO()
    with matplotlib.rc_context({"svg.hashsalt": name, "svg.fonttype": "none"}):
        fig.savefig(buffer, format="svg", metadata={"Date": None, "Creator": None})
    text = buffer.getvalue()
    text = _METADATA.sub("", text[text.index("<svg"):], count=1)
    text = _ID_OR_REFERENCE.sub(lambda m: f"{m.group(1)}{name}-{m.group(2)}", text)
    text = text.replace("<svg ", f'<svg role="img" aria-label="{escape(label)}" ', 1)
    return f'<figure id="{name}-chart">\n{text.strip()}\n</figure>'


def table(columns, rows, table_id=None, caption=None, numeric=()):
    def cell(tag, index, value):
        if isinstance(value, int) and not isinstance(value, bool):
            value = number(value)
        css = ' class="n"' if index in numeric else ""
        return f"<{tag}{css}>{escape(value)}</{tag}>"

    parts = [f'<table id="{escape(table_id)}">' if table_id else "<table>"]
    if caption:
        parts.append(f"<caption>{escape(caption)}</caption>")
    parts.append("<thead><tr>" + "".join(cell("th", i, c) for i, c in enumerate(columns)) + "</tr></thead><tbody>")
    parts += ["<tr>" + "".join(cell("td", i, v) for i, v in enumerate(row)) + "</tr>" for row in rows]
    parts.append("</tbody></table>")
    return "\n".join(parts)


def section(title, *parts, section_id=None):
    opening = f'<section id="{escape(section_id)}">' if section_id else "<section>"
    return "\n".join([opening, f"<h2>{escape(title)}</h2>", *parts, "</section>"])


def page(title, body, subtitle=None):
    head = ["<!DOCTYPE html>", '<html lang="en">', "<head>", '<meta charset="utf-8">',
            f'<meta http-equiv="Content-Security-Policy" content="{CONTENT_SECURITY_POLICY}">',
            '<meta name="viewport" content="width=device-width, initial-scale=1">',
            f"<title>{escape(title)}</title>", f"<style>{_STYLE}</style>", "</head>", "<body>", "<header>",
            f"<h1>{escape(title)}</h1>"]
    if subtitle:
        head.append(f'<p class="subtitle">{escape(subtitle)}</p>')
    head.append("</header>")
    return "\n".join(head + [body, "</body>", "</html>", ""])


def write_page(path, text):
    """Writes `text` beside `path` (PATH.partial-PID) and renames it over `path`."""
    path = Path(path)
    staged = path.with_name(f"{path.name}.partial-{os.getpid()}")
    try:
        with open(staged, "w", encoding="utf-8", newline="\n") as out:
            out.write(text)
        os.replace(staged, path)
    except OSError:
        try:
            staged.unlink()
        except OSError:
            pass
        raise

# --- the compare page -------------------------------------------------------


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
    fig = Figure(figsize=(max(4.0, 1.0 + 0.45 * len(news)), max(3.0, 1.0 + 0.4 * len(olds))), layout="constrained")
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
    if summary["mdc_moves"]:
        parts.append(section("MDC to MDC", '<p class="note">Records whose results differ; the diagonal holds '
                             "those that stay in their MDC.</p>", heat_map(summary["mdc_moves"]),
                             section_id="mdc"))
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
    return page("Impact of a table version", "\n".join(parts), subtitle=subtitle)


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
    sys.exit(main())
