#!/usr/bin/python3
"""The manual pages format without a warning, as lintian checks them, and
each has a subsection for every subcommand its program's --help lists, so
that a subcommand added later cannot go without its page.

Usage: check_man_pages.py PROGRAM PAGE [PROGRAM PAGE ...]
"""

import os
import re
import subprocess
import sys


def listed_subcommands(program):
    """The names under "Subcommands:" in the program's --help."""
    help_text = subprocess.run([program, "--help"], stdout=subprocess.PIPE, check=True, text=True).stdout
    lines = help_text.splitlines()
    names = []
    for line in lines[lines.index("Subcommands:") + 1:]:
        if not line.startswith("  "):
            break
        names.append(line.split()[0])
    return names


def format_warnings(page):
    """What man prints on standard error while it formats the page as lintian does."""
    env = dict(os.environ, LC_ALL="C.UTF-8", MANROFFSEQ="", MANWIDTH="80")
    done = subprocess.run(["man", "--warnings", "-E", "UTF-8", "-l", "-Tutf8", "-Z", page],
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=env, text=True)
    if done.stderr.strip() or done.returncode == 0:
        return done.stderr.strip()
    return f"man ended with status {done.returncode}"


def subsection_titles(page):
    """The .SS titles of the page, as a reader sees them."""
    with open(page, encoding="utf-8") as f:
        titles = re.findall(r'^\.SS\s+"?(.*?)"?\s*$', f.read(), re.MULTILINE)
    return {t.replace("\\-", "-") for t in titles}


def problems(program, page):
    found = []
    warnings = format_warnings(page)
    if warnings:
        found.append(f"{page}: man --warnings:\n{warnings}")
    names = listed_subcommands(program)
    if not names:
        found.append(f"{program} --help lists no subcommands")
    command = os.path.basename(program)
    titles = subsection_titles(page)
    for name in names:
        if f"{command} {name}" not in titles:
            found.append(f"{page}: no subsection '{command} {name}' for a subcommand of {command} --help")
    return found


def main():
    args = sys.argv[1:]
    if not args or len(args) % 2:
        sys.exit("usage: check_man_pages.py PROGRAM PAGE [PROGRAM PAGE ...]")
    found = []
    for program, page in zip(args[::2], args[1::2]):
        found += problems(program, page)
    for problem in found:
        print(problem, file=sys.stderr)
    sys.exit(1 if found else 0)


if __name__ == "__main__":
    main()
