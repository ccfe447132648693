#!/usr/bin/env bash
# Installs the Debian packages of dist/ (scripts/package.sh) with apt-get and
# uses them as an operator would, from outside the checkout:
#   - the programs report the packages' version and group a generated set;
#     the report runs in the installed Python package;
#   - Debian's python3 imports the installed module and groups the same
#     bytes;
#   - programs build against the development package (CMake package and
#     pkg-config) and group the same bytes;
#   - the unit passes systemd-analyze verify, is skipped while serve.conf
#     names no table set, and its command, run as the unit's user over a
#     root-owned read-only table set, answers /healthz, groups a batch as the
#     program does, reloads on SIGHUP and ends with status 0 on SIGTERM;
# then purges the packages and checks that nothing of them is left (the
# Python byte-code caches and the service's user included).  Needs root;
# the packages are purged however the check ends.
#
#   scripts/install_check.sh [DIST]        (default: dist)
set -euo pipefail
cd "$(dirname "$0")/.."
source_dir=$PWD
dist=$(realpath "${1:-dist}")
names=(episode-grouper libepisode-grouper-dev postgresql-15-episode-grouper)
unit=/lib/systemd/system/grouper-serve.service
conf=/etc/episode-grouper/serve.conf

fail() { echo "install-check: FAIL: $*" >&2; exit 1; }
ok() { echo "install-check: ok: $*"; }
bounded() { timeout 300 "$@"; }

[[ $(id -u) -eq 0 ]] || fail "needs root (apt-get, the service's user)"
debs=()
for name in "${names[@]}"; do
  deb=$(ls "$dist/${name}"_*.deb 2>/dev/null | head -n 1 || true)
  [[ -n $deb ]] || fail "no ${name}_*.deb in $dist (scripts/package.sh makes them)"
  debs+=("$deb")
done
version=$(sed -n 's/^project(episode_grouper VERSION \([0-9][0-9.]*\) .*/\1/p' CMakeLists.txt)

work=$(mktemp -d /tmp/grouper-install.XXXXXX)
chmod 755 "$work"
server=
installed=
cleanup() {
  if [[ -n $server ]]; then kill -KILL "$server" 2>/dev/null || true; fi
  if [[ -n $installed ]]; then
    DEBIAN_FRONTEND=noninteractive apt-get purge -y "${names[@]}" > /dev/null 2>&1 || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# What the file system holds, less the package manager's own records.
snapshot() {
  find /usr /etc /opt /srv /var/lib -xdev \
    \( -path /var/lib/dpkg -o -path /var/lib/apt -o -path /var/cache \) -prune -o -print 2>/dev/null | sort
}
snapshot > "$work/before"
if getent passwd episode-grouper > /dev/null; then fail "the user episode-grouper exists before the install"; fi

installed=1
DEBIAN_FRONTEND=noninteractive bounded apt-get install -y "${debs[@]}" > "$work/apt.log" 2>&1 ||
  { tail -n 30 "$work/apt.log"; fail "apt-get install"; }
ok "apt-get install ${debs[*]##*/}"
for name in "${names[@]}"; do
  [[ $(dpkg-query -W -f='${Version}' "$name") == "$version" ]] || fail "$name is not at version $version"
done
shell=$(getent passwd episode-grouper | cut -d: -f7)
[[ $shell == /usr/sbin/nologin ]] || fail "the user episode-grouper has the shell '$shell'"
ok "packages at $version; the service's user has no login shell"

cd "$work"
[[ $(grouper --version) == "grouper $version" ]] || fail "grouper --version"
[[ $(grouper-tables --version) == "grouper-tables $version" ]] || fail "grouper-tables --version"
for page in grouper grouper-tables; do
  [[ -f /usr/share/man/man1/$page.1.gz ]] || fail "no man page $page(1)"
done

# A root-owned set the service may read and not write.
bounded grouper-tables generate --seed 11 --profile small --episodes 400 tables > /dev/null
chown -R root:root tables
chmod -R u=rwX,go=rX tables
bounded grouper --tables tables --input tables/tamv30.in --output program.out --results results.tsv > /dev/null
bounded grouper report results.tsv -o report.html > /dev/null || fail "grouper report (the installed Python package)"
grep -q "$version" report.html || fail "the report does not name version $version"
demo=/usr/share/episode-grouper/demo
bounded grouper --tables "$demo" --input "$demo/episodes.csv" --output demo.out > /dev/null || fail "grouping the demo set"
ok "the programs group a generated set and the demo set; the report runs"

GROUPER_VERSION=$version bounded /usr/bin/python3 - << 'PY' || fail "the installed Python module"
import os
import episode_grouper as eg
assert eg.__file__.startswith("/usr/lib/python3/dist-packages/"), eg.__file__
assert eg.__version__ == os.environ["GROUPER_VERSION"], eg.__version__
tables = eg.TableSet("tables")
records = open("tables/tamv30.in", "rb").read().splitlines(keepends=True)
assert b"".join(tables.group(r).line for r in records) == open("program.out", "rb").read()
PY
ok "python3 imports the installed module and groups the program's bytes"

# Programs built against the development package.
cc -std=c11 -Wall -Wextra -Werror "$source_dir/tests/consumer/consumer.c" -o consumer_c \
  $(pkg-config --cflags --libs episode_grouper) || fail "building with pkg-config"
bounded ./consumer_c tables tables/tamv30.in | cmp - program.out || fail "the pkg-config program's lines"
bounded cmake -S "$source_dir/tests/consumer/project" -B consumer -G Ninja -DCMAKE_BUILD_TYPE=Release > consumer.log ||
  { cat consumer.log; fail "configuring a CMake project with find_package(EpisodeGrouper)"; }
bounded cmake --build consumer > consumer.log || { cat consumer.log; fail "building the CMake project"; }
bounded consumer/consumer tables tables/tamv30.in | cmp - program.out || fail "the CMake project's lines"
ok "programs build against libepisode-grouper-dev and group the program's bytes"

# The unit.
bounded systemd-analyze verify "$unit" > verify.log 2>&1 || { cat verify.log; fail "systemd-analyze verify"; }
unit_value() { sed -n "s/^$1=//p" "$unit"; }
condition=$(unit_value ExecCondition)
command=$(unit_value ExecStart)
user=$(unit_value User)
if sh -c "${condition#/bin/sh -c }" 2> /dev/null; then fail "the unit would start with no table set configured"; fi
eval "set -- $condition"
if "$@"; then fail "the unit's start condition holds with no table set configured"; fi
port=$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
sed -i "s|^listen = .*|listen = \"127.0.0.1:$port\"|" "$conf"
printf 'tables = "%s"\nshutdown-deadline = 5\n' "$work/tables" >> "$conf"
"$@" || fail "the unit's start condition fails with a table set configured"
ok "systemd-analyze verify; the unit starts only once serve.conf names a table set"

# shellcheck disable=SC2086  # the unit's command line is words
setpriv --reuid="$user" --regid="$user" --init-groups -- $command > serve.out 2> serve.log &
server=$!
for _ in $(seq 300); do
  grep -q '^listening on ' serve.out 2> /dev/null && break
  kill -0 "$server" 2> /dev/null || { cat serve.log; fail "the service ended at its start"; }
  sleep 0.1
done
grep -q "^listening on http://127.0.0.1:$port$" serve.out || { cat serve.log; fail "the service does not listen"; }
if setpriv --reuid="$user" --regid="$user" --init-groups -- sh -c ': > tables/Tdx.idx' 2> /dev/null; then
  fail "the service's user can write the tables"
fi
PORT=$port bounded /usr/bin/python3 - << 'PY' || fail "the service's answers"
import os, urllib.request
base = f"http://127.0.0.1:{os.environ['PORT']}"
with urllib.request.urlopen(base + "/healthz", timeout=30) as answer:
    assert answer.status == 200
request = urllib.request.Request(base + "/v1/group", data=open("tables/tamv30.in", "rb").read(), method="POST",
                                 headers={"Content-Type": "text/plain"})
with urllib.request.urlopen(request, timeout=60) as answer:
    assert answer.read() == open("program.out", "rb").read()
PY
kill -HUP "$server"
for _ in $(seq 100); do grep -q "SIGHUP" serve.log && break; sleep 0.1; done
grep -q "SIGHUP" serve.log || fail "no reload on SIGHUP"
bounded /usr/bin/python3 -c "import urllib.request as r; assert r.urlopen('http://127.0.0.1:$port/readyz', timeout=30).status == 200" ||
  fail "not ready after the reload"
kill -TERM "$server"
status=0
timeout 15 tail --pid="$server" -f /dev/null || fail "the service did not end within its deadline"
wait "$server" || status=$?
server=
((status == 0)) || { cat serve.log; fail "the service ended with status $status on SIGTERM"; }
ok "the service runs as $user over a read-only set: /healthz, a batch as the program's, SIGHUP, SIGTERM"

# Purge, and nothing of the packages is left.
cd /
DEBIAN_FRONTEND=noninteractive bounded apt-get purge -y "${names[@]}" > "$work/apt.log" 2>&1 ||
  { tail -n 30 "$work/apt.log"; fail "apt-get purge"; }
installed=
snapshot > "$work/after"
left=()
while IFS= read -r path; do
  # What apt brought in for the packages belongs to those packages.
  dpkg -S "$path" > /dev/null 2>&1 || left+=("$path")
done < <(comm -13 "$work/before" "$work/after")
((${#left[@]} == 0)) || { printf '  %s\n' "${left[@]}"; fail "the purge left files behind"; }
if getent passwd episode-grouper > /dev/null; then fail "the purge left the user episode-grouper"; fi
ok "apt-get purge leaves nothing behind"
echo "install-check: all passed"
