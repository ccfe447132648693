"""The pieces of the grouper's self-contained HTML pages (the casemix report,
the compare page): the page skeleton with its style and Content Security
Policy, matplotlib figures inlined as SVG, tables, escaping and the staged
write of the page.

A page made of these pieces loads nothing: no script, no style sheet, no
font and no image from anywhere; its policy allows only inline style and
data: images, so a browser refuses anything else.  Charts are drawn with
matplotlib (Agg backend) and written as SVG with fixed ids and no date, so
the same counts always give the same bytes.
"""
import html
import io
import os
import re
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
from matplotlib.figure import Figure  # noqa: E402  (after choosing the backend)

from ._core import __version__  # noqa: E402

__all__ = ["CONTENT_SECURITY_POLICY", "escape", "number", "share", "new_figure", "svg_figure", "table",
           "section", "chart_and_table", "page", "write_page"]

# Everything is inline: no script runs, styles are inline, images only data: URIs.
CONTENT_SECURITY_POLICY = "default-src 'none'; style-src 'unsafe-inline'; img-src data:"

# Colours of the charts (and of the page's accents), readable on white and in grey.
PALETTE = ["#2f6690", "#d1495b", "#edae49", "#66a182", "#8e6c8a", "#3a7ca5", "#a26769", "#00798c"]

_STYLE = """
:root { color-scheme: light; }
body { font-family: "DejaVu Sans", Verdana, Arial, sans-serif; margin: 0 auto; max-width: 1240px;
       padding: 0 20px 40px; color: #1d2733; background: #fff; font-size: 14px; line-height: 1.4; }
header { border-bottom: 3px solid #2f6690; padding: 18px 0 10px; margin-bottom: 8px; }
h1 { font-size: 24px; margin: 0 0 4px; }
h2 { font-size: 18px; margin: 28px 0 10px; border-bottom: 1px solid #cfd8e0; padding-bottom: 4px; }
h3 { font-size: 15px; margin: 16px 0 6px; }
.subtitle { color: #52606d; margin: 0; }
.cards { display: flex; flex-wrap: wrap; gap: 12px; margin: 14px 0; }
.card { border: 1px solid #cfd8e0; border-radius: 6px; padding: 10px 16px; min-width: 150px; background: #f6f9fb; }
.card .value { font-size: 22px; font-weight: bold; color: #2f6690; }
.card .label { color: #52606d; }
.pair { display: grid; grid-template-columns: minmax(0, 3fr) minmax(0, 2fr); gap: 20px; align-items: start;
        margin: 10px 0 18px; }
@media (max-width: 900px) { .pair { grid-template-columns: minmax(0, 1fr); } }
figure { margin: 0; }
figure svg { width: 100%; height: auto; display: block; }
table { border-collapse: collapse; width: 100%; font-size: 13px; }
caption { text-align: left; font-weight: bold; padding: 0 0 4px; }
th, td { padding: 2px 8px; border-bottom: 1px solid #e3e8ed; text-align: left; white-space: nowrap; }
th { background: #eef3f7; position: sticky; top: 0; }
td.n, th.n { text-align: right; font-variant-numeric: tabular-nums; }
.note { color: #52606d; font-size: 13px; }
code { font-family: "DejaVu Sans Mono", monospace; }
footer { border-top: 1px solid #cfd8e0; margin-top: 28px; padding-top: 6px; color: #52606d; font-size: 12px; }
"""


def escape(value):
    """The text of `value` with &, <, >, " and ' escaped for HTML."""
    return html.escape(str(value), quote=True)


def number(value):
    """A whole number with thousands separators: 1234567 -> '1,234,567'."""
    return f"{value:,}"


def share(part, whole):
    """`part` as a percentage of `whole`, one decimal ('0.0%' when whole is 0)."""
    return f"{100.0 * part / whole:.1f}%" if whole else "0.0%"


def new_figure(width=6.4, height=3.6):
    """A matplotlib Figure (width and height in inches) that belongs to no
    window or global state; pass it to svg_figure when drawn."""
    return Figure(figsize=(width, height), layout="constrained")


# An id of a drawing and each reference to one.
_ID_OR_REFERENCE = re.compile(r'(\bid="|url\(#|href="#)([^")]+)')
_METADATA = re.compile(r"<metadata>.*?</metadata>\s*", re.S)


def svg_figure(fig, name, label):
    """The figure `fig` as inline SVG inside a <figure>, for a page.

    `name` (letters, digits, '-') names the figure (id NAME-chart) and
    prefixes every id of the drawing, so that several drawings on one page
    never share an id; `label` is the text a
    screen reader gives for the chart.  The bytes depend only on what was
    drawn: no date, fixed hash salt, text kept as text in the page's fonts.
    """
    if not re.fullmatch(r"[A-Za-z][A-Za-z0-9-]*", name):
        raise ValueError(f"figure name {name!r}: letters, digits and '-' only, starting with a letter")
    buffer = io.StringIO()
    with matplotlib.rc_context({"svg.hashsalt": name, "svg.fonttype": "none"}):
        fig.savefig(buffer, format="svg", metadata={"Date": None, "Creator": None})
    text = buffer.getvalue()
    text = text[text.index("<svg"):]  # no XML declaration or DOCTYPE inside HTML
    text = _METADATA.sub("", text, count=1)
    text = _ID_OR_REFERENCE.sub(lambda m: f"{m.group(1)}{name}-{m.group(2)}", text)
    text = text.replace("<svg ", f'<svg role="img" aria-label="{escape(label)}" ', 1)
    return f'<figure id="{name}-chart">\n{text.strip()}\n</figure>'


def table(columns, rows, table_id=None, caption=None, numeric=()):
    """An HTML table: `columns` the header texts, `rows` sequences of cells
    (escaped here), `numeric` the indexes of the columns aligned right.
    Integers are written with thousands separators."""
    numeric = set(numeric)

    def cell(tag, index, value):
        if isinstance(value, int) and not isinstance(value, bool):
            value = number(value)
        css = ' class="n"' if index in numeric else ""
        return f"<{tag}{css}>{escape(value)}</{tag}>"

    parts = [f'<table id="{escape(table_id)}">' if table_id else "<table>"]
    if caption:
        parts.append(f"<caption>{escape(caption)}</caption>")
    parts.append("<thead><tr>" + "".join(cell("th", i, c) for i, c in enumerate(columns)) + "</tr></thead>")
    parts.append("<tbody>")
    for row in rows:
        parts.append("<tr>" + "".join(cell("td", i, v) for i, v in enumerate(row)) + "</tr>")
    parts.append("</tbody></table>")
    return "\n".join(parts)


def section(title, *parts, section_id=None):
    """A <section> with an <h2> heading and the HTML `parts` below it."""
    opening = f'<section id="{escape(section_id)}">' if section_id else "<section>"
    return "\n".join([opening, f"<h2>{escape(title)}</h2>", *parts, "</section>"])


def chart_and_table(chart_html, table_html):
    """A chart with its numbers beside it (below it on a narrow window)."""
    return f'<div class="pair">\n<div>{chart_html}</div>\n<div>{table_html}</div>\n</div>'


def page(title, body, subtitle=None, style=""):
    """A whole HTML document: `title`, an optional `subtitle` line under it,
    the HTML `body` and a footer naming the grouper's version; `style` is
    added to the page's own CSS."""
    head = [
        "<!DOCTYPE html>",
        '<html lang="en">',
        "<head>",
        '<meta charset="utf-8">',
        f'<meta http-equiv="Content-Security-Policy" content="{CONTENT_SECURITY_POLICY}">',
        '<meta name="viewport" content="width=device-width, initial-scale=1">',
        f"<title>{escape(title)}</title>",
        f"<style>{_STYLE}{style}</style>",
        "</head>",
        "<body>",
        "<header>",
        f"<h1>{escape(title)}</h1>",
    ]
    if subtitle:
        head.append(f'<p class="subtitle">{escape(subtitle)}</p>')
    head.append("</header>")
    footer = f"<footer>episode grouper {escape(__version__)}</footer>"
    return "\n".join(head + [body, footer, "</body>", "</html>", ""])


def write_page(path, text):
    """Writes `text` (UTF-8) to `path`: beside it first (PATH.partial-PID),
    then renamed over it, so a failure never leaves a complete-looking page.
    Raises OSError naming the file."""
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
