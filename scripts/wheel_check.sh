#!/usr/bin/env bash
# Checks the Python package end to end, the way a user gets it: builds the
# wheel from this checkout, installs it into a fresh venv (no system site
# packages) and, from outside the checkout, imports it, checks its version and
# groups the episodes of a generated table set, as records and as named
# fields, comparing every result line with the grouper program of BUILD.
# Then the same with `pip install --no-build-isolation .` into a second fresh
# venv.  Nothing is fetched: the venvs get only the wheel, the checkout and
# Debian's wheel of `wheel` (python3-wheel-whl).
#
# Usage: scripts/wheel_check.sh [BUILD]    BUILD: a release build (default build/)
#
# The module is built by CMake in build-wheel/ of the checkout (git-ignored),
# which the second install and later runs reuse: the first build is most of
# the time taken (about 2.5 minutes on two cores from a fresh clone).
# CMAKE_BUILD_PARALLEL_LEVEL chooses the compile jobs (default: one per core).
set -euo pipefail

started=$SECONDS
build=${1:-build}
root=$(cd "$(dirname "$0")/.." && pwd)
python=/usr/bin/python3
records=300

fail() {
  echo "wheel_check: $*" >&2
  exit 1
}

tmp=$(mktemp -d "${TMPDIR:-/tmp}/wheel_check.XXXXXX")
finish() {
  local status=$?
  rm -rf "$tmp"
  if ((status != 0)); then
    echo "wheel_check: FAILED (status $status) after $((SECONDS - started)) s" >&2
  fi
}
trap finish EXIT

[[ -d $build ]] || fail "no build directory $build (make a release build first: scripts/setup.sh)"
build=$(cd "$build" && pwd)
grouper=$build/src/grouper
tables_tool=$build/tools/grouper-tables
for program in "$grouper" "$tables_tool"; do
  [[ -x $program ]] || fail "no program $program (make a release build first: scripts/setup.sh)"
done
version=$(sed -nE 's/^[[:space:]]*project\([[:space:]]*episode_grouper[[:space:]]+VERSION[[:space:]]+([0-9.]+).*/\1/p' \
  "$root/CMakeLists.txt")
[[ -n $version ]] || fail "no project(episode_grouper VERSION ...) in $root/CMakeLists.txt"
[[ $("$grouper" --version) == "grouper $version" ]] ||
  fail "$grouper is not of this checkout's version $version (rebuild $build)"
wheel_wheels=(/usr/share/python-wheels/wheel-*.whl)
[[ -f ${wheel_wheels[0]} ]] || fail "no wheel of 'wheel' in /usr/share/python-wheels (Debian package python3-wheel-whl)"

# Runs a command with its output in the log $1, shown when it fails.
logged() {
  local log=$1
  shift
  if ! "$@" >"$log" 2>&1; then
    tail -n 40 "$log" >&2
    fail "failed: $*"
  fi
}

# pip sees only what is given here: no configuration, no environment, no index.
pip_args=(--isolated --disable-pip-version-check --no-input)

echo "wheel_check: generating a table set and $records episodes, grouped by $grouper"
logged "$tmp/generate.log" "$tables_tool" generate --episodes "$records" --episodes-format csv "$tmp/tables"
logged "$tmp/program.log" "$grouper" --tables "$tmp/tables" --input "$tmp/tables/tamv30.in" --output "$tmp/records.out"
logged "$tmp/program.log" "$grouper" --tables "$tmp/tables" --input "$tmp/tables/episodes.csv" --output "$tmp/episodes.out"

# The checks inside a venv, run from / so that nothing of the checkout is
# importable: the module is the installed one, of the project's version, and
# groups records and named fields into the program's result lines.
cat >"$tmp/check.py" <<'EOF'
import csv
import importlib.metadata
import os
import sys

import episode_grouper as eg

tables_dir, version, records_out, episodes_out = sys.argv[1:]

def fail(message):
    sys.exit(f"wheel_check: {message}")

def compare(what, got, expected_file):
    with open(expected_file, "rb") as f:
        expected = f.read()
    if got != expected:
        got_lines, expected_lines = got.splitlines(True), expected.splitlines(True)
        for n, (a, b) in enumerate(zip(got_lines, expected_lines), 1):
            if a != b:
                fail(f"{what}: result line {n} differs from the program's:\n  {a!r}\n  {b!r}")
        fail(f"{what}: {len(got_lines)} result lines, the program wrote {len(expected_lines)}")
    return expected.count(b"\n")

where = os.path.realpath(eg.__file__)
if not where.startswith(os.path.realpath(sys.prefix) + os.sep):
    fail(f"episode_grouper imported from {where}, not from the venv {sys.prefix}")
if eg.__version__ != version:
    fail(f"episode_grouper.__version__ is {eg.__version__!r}, the project's version is {version!r}")
if importlib.metadata.version("episode-grouper") != version:
    fail(f"the installed distribution is of version {importlib.metadata.version('episode-grouper')!r}, not {version!r}")

tables = eg.TableSet(tables_dir)
with open(os.path.join(tables_dir, "tamv30.in"), "rb") as f:
    lines = f.read().split(b"\n")
records = [line + b"\n" for line in lines[:-1]] + ([lines[-1]] if lines[-1] else [])
grouped = compare("records", b"".join(r.line for r in tables.group_many(records)), records_out)

with open(os.path.join(tables_dir, "episodes.csv"), newline="", encoding="utf-8") as f:
    episodes = list(csv.DictReader(f))
named = compare("episodes", b"".join(tables.group_episode(**row).line for row in episodes), episodes_out)
print(f"wheel_check: episode_grouper {eg.__version__} from {os.path.dirname(where)}: {grouped} records and {named} episodes "
      "grouped into the program's result lines")
EOF

# Checks the package installed in the venv $1.
check_venv() {
  local venv=$1
  (cd / && "$venv/bin/python" -I "$tmp/check.py" "$tmp/tables" "$version" "$tmp/records.out" "$tmp/episodes.out") ||
    fail "the package installed in $(basename "$venv") fails its check"
}

echo "wheel_check: building the wheel from $root (CMake in build-wheel/)"
(cd "$root" && logged "$tmp/wheel.log" "$python" -m pip "${pip_args[@]}" wheel --no-build-isolation --no-deps --no-index \
  --wheel-dir "$tmp/dist" .)
wheels=("$tmp"/dist/episode_grouper-*.whl)
[[ -f ${wheels[0]} && ${#wheels[@]} -eq 1 ]] || fail "pip made no one wheel of episode_grouper in $tmp/dist"
wheel=${wheels[0]}
wheel_name=$(basename "$wheel")
[[ $wheel_name == episode_grouper-"$version"-cp3*-cp3*-linux_*.whl ]] ||
  fail "the wheel $wheel_name is not of version $version for this platform and CPython"
wheel_size=$(stat -c %s "$wheel")
echo "wheel_check: $wheel_name, $((wheel_size / 1024)) KiB"

echo "wheel_check: installing the wheel into a fresh venv"
logged "$tmp/venv.log" "$python" -m venv "$tmp/venv-wheel"
logged "$tmp/install.log" "$tmp/venv-wheel/bin/python" -m pip "${pip_args[@]}" install --no-index --no-deps "$wheel"
check_venv "$tmp/venv-wheel"

echo "wheel_check: pip install --no-build-isolation . into a fresh venv"
logged "$tmp/venv.log" "$python" -m venv "$tmp/venv-source"
logged "$tmp/install.log" "$tmp/venv-source/bin/python" -m pip "${pip_args[@]}" install --no-index --no-deps \
  "${wheel_wheels[0]}"
(cd "$root" && logged "$tmp/install.log" "$tmp/venv-source/bin/python" -m pip "${pip_args[@]}" install \
  --no-build-isolation --no-index --no-deps .)
check_venv "$tmp/venv-source"

echo "wheel_check: OK: $wheel_name ($((wheel_size / 1024)) KiB) installs from the wheel and from the checkout," \
  "reports $version and groups as $grouper does ($((SECONDS - started)) s)"
