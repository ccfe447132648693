#!/usr/bin/env bash
# A screenshot of the single-case page of grouper serve with one case of a
# table set entered in its fields and grouped: starts the service on a free
# loopback port, opens the page in headless Chromium, saves the picture and
# stops the service.
#
#   scripts/serve_screenshot.sh TABLES OUT.png [RECORD] [BUILD]
#        (RECORD: the case's line number in TABLES/tamv30.in, default 2;
#         BUILD default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
tables=${1:?usage: serve_screenshot.sh TABLES OUT.png [RECORD] [BUILD]}
out=${2:?usage: serve_screenshot.sh TABLES OUT.png [RECORD] [BUILD]}
record=${3:-2}
build=${4:-build}
grouper=$build/src/grouper
command -v chromium > /dev/null || { echo "serve_screenshot: chromium is missing" >&2; exit 1; }
[[ -x $grouper ]] || { echo "serve_screenshot: no $grouper; build first" >&2; exit 1; }

work=$(mktemp -d)
server_pid=
cleanup() {
  if [[ -n $server_pid ]]; then kill "$server_pid" 2> /dev/null || true; wait "$server_pid" 2> /dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

"$grouper" serve --tables "$tables" --listen 127.0.0.1:0 > "$work/listening" 2> "$work/serve.log" &
server_pid=$!
for _ in $(seq 100); do [[ -s $work/listening ]] && break; sleep 0.1; done
url=$(sed -n 's/^listening on //p' "$work/listening")
[[ -n $url ]] || { echo "serve_screenshot: the service did not start" >&2; cat "$work/serve.log" >&2; exit 1; }

# The case's fields as a coder enters them (the birth century from the
# sex/century digit: 1-2 the 1900s, 3-4 the 2000s, 9-0 the 1800s).
query=$(sed -n "${record}p" "$tables/tamv30.in" | /usr/bin/python3 -c '
import sys, urllib.parse
t = sys.stdin.buffer.read().decode("latin-1").rstrip("\r\n").ljust(273)
ind = t[14]
century = {"1": "19", "2": "19", "3": "20", "4": "20", "9": "18", "0": "18"}.get(ind, "19")
slots = [t[33 + 5 * i:38 + 5 * i].strip() for i in range(46)]
dx = [c for c in slots[:10] if c]
fields = {"id": t[:8].strip(), "record_date": t[21:29], "birth_date": century + t[8:14],
          "sex": "M" if ind in "13579" else "F", "los": t[29:32].strip(), "discharge": t[32].strip(),
          "birth_weight": t[263:268].strip(), "vent_hours": t[268:273].strip(), "principal": dx[0] if dx else "",
          "secondary": " ".join(dx[1:]), "procedures": " ".join(c for c in slots[10:] if c), "submit": "1"}
print(urllib.parse.urlencode(fields))')

chromium --headless --no-sandbox --disable-gpu --hide-scrollbars --user-data-dir="$work/chromium" \
  --window-size=1200,1800 --virtual-time-budget=10000 --screenshot="$work/page.png" "$url/?$query" \
  > /dev/null 2>&1
[[ -s $work/page.png ]] || { echo "serve_screenshot: chromium made no picture" >&2; exit 1; }
mv "$work/page.png" "$out"
echo "serve_screenshot: $out (the page at $url/?$query)"
