#!/usr/bin/python3
"""Write a help2man include file with the help of every subcommand.

help2man reads only a program's top-level --help.  This script runs
``PROGRAM --help``, takes the names under its "Subcommands:" heading, runs
``PROGRAM NAME --help`` for each and writes, for ``help2man --include``:

* [SYNOPSIS]: the usage line of the program and of every subcommand;
* [COMMANDS]: one ``.SS`` subsection per subcommand, with its description,
  its usage, its options as ``.TP`` items and the rest of its help.

The help is the house style of the programs' command line (CLI11 with a
30-column option list): descriptions and footers start in column 0, a line
ending in ':' followed by indented lines is a heading, an option item has
its name from column 2 and its description from column 30 (or, when the
name is long, on the next line), and indented text that is not an option
list is shown as written.

Usage: subcommands_h2m.py PROGRAM OUTPUT
"""

import os
import re
import subprocess
import sys

COLUMN = 30
# An option item's name: flags with at most one value name, or a positional.
ITEM_NAME = re.compile(r"^(-[^\s]+(?: [^\s]+)?|[A-Z][A-Z0-9_]*)$")
# A word that starts an option ("-o", "--tables", "'-'"): its hyphens are
# minus signs, so that a name copied from the page works in a shell.
OPTION_WORD = re.compile(r"(?<![\w-])-[\w-]*")


def run_help(argv):
    done = subprocess.run(argv + ["--help"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, check=False)
    if done.returncode != 0:
        sys.exit(f"subcommands_h2m: '{' '.join(argv)} --help' ended with status {done.returncode}: "
                 f"{done.stderr.decode(errors='replace').strip()}")
    return done.stdout.decode("utf-8")


def subcommand_names(help_text):
    """The names listed under "Subcommands:", in their order."""
    names = []
    lines = help_text.splitlines()
    if "Subcommands:" not in lines:
        return names
    for line in lines[lines.index("Subcommands:") + 1:]:
        if not line.startswith("  "):
            break
        names.append(line.split()[0])
    return names


def escape(text):
    """Text for a roff text line: backslashes printed, option hyphens as minus signs."""
    text = text.replace("\\", "\\e")
    return OPTION_WORD.sub(lambda m: m.group(0).replace("-", "\\-"), text)


def text_line(text):
    """One roff input line; a leading '.' or apostrophe would read as a request."""
    line = escape(text)
    return "\\&" + line if line.startswith((".", "'")) else line


def prose_lines(lines):
    """Filled text: one input line per sentence piece (the help's double spaces end sentences)."""
    out = []
    for line in lines:
        out.extend(text_line(piece) for piece in re.split(r" {2,}", line.strip()) if piece)
    return out


def command_name(words):
    """A command as typed: every hyphen a minus sign."""
    return words.replace("\\", "\\e").replace("-", "\\-")


def usage_line(usage):
    """'grouper explain [OPTIONS]' with the command bold and the placeholders italic."""
    head = re.match(r"[a-z][a-z0-9-]*(?: [a-z][a-z0-9-]*)*", usage).group(0)
    rest = usage[len(head):]
    rest = re.sub(r"[A-Z][A-Z0-9_]*", lambda m: "\\fI" + m.group(0) + "\\fR", escape(rest))
    return "\\fB" + command_name(head) + "\\fR" + rest


def parse_item(line):
    """(name, description) of an option item line, or None."""
    if len(line) > COLUMN and line[COLUMN - 1] == " " and line[COLUMN] != " ":
        name, text = line[:COLUMN].strip(), line[COLUMN:].strip()
    else:
        name, text = line.strip(), ""
    if not line.startswith("  ") or line[2] == " " or not ITEM_NAME.match(name):
        return None
    return name, text


def item_blocks(lines):
    """The option items of an indented block, or None when it is not an option list."""
    items = []
    for line in lines:
        if line.startswith(" " * COLUMN) and items:
            items[-1][1].append(line.strip())
            continue
        item = parse_item(line)
        if item is None:
            return None
        items.append((item[0], [item[1]] if item[1] else []))
    return items


def item_tag(name):
    """'-C,--dir DIR' as '\\fB\\-C\\fR, \\fB\\-\\-dir\\fR \\fIDIR\\fR'."""
    if not name.startswith("-"):
        return "\\fI" + escape(name) + "\\fR"
    flags, _, value = name.partition(" ")
    tag = ", ".join("\\fB" + f.replace("-", "\\-") + "\\fR" for f in flags.split(","))
    return tag + (" \\fI" + escape(value) + "\\fR" if value else "")


def section_lines(help_text):
    """The roff of one subcommand's help (without its first line), and its usage line."""
    lines = help_text.splitlines()
    out = []
    usage = None
    i = 0
    paragraph = []

    def flush():
        if paragraph:
            out.append(".PP")
            out.extend(prose_lines(paragraph))
            paragraph.clear()

    while i < len(lines):
        line = lines[i]
        if line.startswith("Usage: "):
            flush()
            usage = line[len("Usage: "):].strip()
            out.extend([".PP", "Usage: " + usage_line(usage)])
            i += 1
        elif not line.strip():
            flush()
            i += 1
        elif (line.endswith(":") and not line.startswith(" ") and i + 1 < len(lines)
              and lines[i + 1].startswith("  ")):
            flush()
            block = []
            i += 1
            while i < len(lines) and lines[i].startswith(" "):
                block.append(lines[i])
                i += 1
            out.extend([".PP", "\\fB" + escape(line) + "\\fR"])
            items = item_blocks(block)
            if items is None:
                out.extend([".RS 2", ".nf"])
                out.extend(text_line(b[2:] if b.startswith("  ") else b) for b in block)
                out.extend([".fi", ".RE"])
            else:
                for name, text in items:
                    out.extend([".TP", item_tag(name)])
                    out.extend(prose_lines(text))
        else:
            paragraph.append(line)
            i += 1
    flush()
    return out, usage


def last_paragraph(help_text):
    """The help's last paragraph: the footer, which a subcommand may inherit."""
    return help_text.strip().split("\n\n")[-1]


def without_inherited_footer(help_text, footer):
    """A subcommand's help without the program's footer, which says nothing of it."""
    text = help_text.rstrip()
    if footer and text.endswith("\n\n" + footer):
        return text[:-len(footer)].rstrip() + "\n"
    return help_text


def summary_sentence(help_text):
    """The help's first line, the one the subcommand list shows, as a sentence."""
    first = help_text.splitlines()[0].strip() if help_text.strip() else ""
    if not first or first.startswith("Usage:"):
        return None
    first = first[0].upper() + first[1:]
    return first if first.endswith(".") else first + "."


def include_text(program):
    top = run_help([program])
    names = subcommand_names(top)
    top_usage = next((l[len("Usage: "):].strip() for l in top.splitlines() if l.startswith("Usage: ")), None)
    synopsis = [usage_line(top_usage)] if top_usage else []
    command = command_name(top_usage.split(" ")[0] if top_usage else os.path.basename(program))
    commands = []
    for name in names:
        text = without_inherited_footer(run_help([program, name]), last_paragraph(top))
        lines = text.splitlines()
        summary = summary_sentence(text)
        body, usage = section_lines("\n".join(lines[1:]) if summary else text)
        commands.append('.SS "%s %s"' % (command, command_name(name)))
        if summary:
            commands.append(text_line(summary))
        commands.extend(body)
        if usage:
            synopsis.append(usage_line(usage))
    out = ["[SYNOPSIS]", "\n.br\n".join(synopsis)]
    if commands:
        out.extend(["", "[COMMANDS]"])
        out.append(text_line("Each command takes its own options, listed by its --help."))
        out.extend(commands)
    return "\n".join(out) + "\n"


def main():
    if len(sys.argv) != 3:
        sys.exit("usage: subcommands_h2m.py PROGRAM OUTPUT")
    program, output = sys.argv[1:]
    text = include_text(program)
    partial = output + ".partial"
    with open(partial, "w", encoding="utf-8") as f:
        f.write(text)
    os.replace(partial, output)


if __name__ == "__main__":
    main()
