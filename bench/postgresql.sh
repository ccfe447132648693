#!/usr/bin/env bash
# Grouping inside PostgreSQL beside the program, on the same records.
#
#   bench/postgresql.sh [BUILD] [RECORDS] [REPEAT]     (defaults: build, 1000000, 3)
#
# Generates, in a tmpfs directory, the realistic table set and RECORDS
# records, starts a private PostgreSQL cluster there (a socket in that
# directory only, no TCP; stopped when the script ends, whatever happens),
# installs the extension of BUILD into it (copying BUILD/postgresql/'s files
# to where pg_config says, which needs root or write access there), loads the
# records into a table of one text column, and then REPEAT rounds of:
#
#   SELECT count(*) FROM t WHERE (eg_group(line)).adrg IS NOT NULL
#
# with a parallel plan of 2 workers (the leader takes part too), against
# `grouper --threads 2` on the same records writing its result lines.  The
# predicate counts the records that reach an ADRG (adrg is NULL without
# one); the count is checked once against the program's result rows.  Prints
# records/s of both and the ratio SQL/program of each round (the aim: 0.5
# or better).  Each round's parallel workers are new server processes, so
# each opens the table set again: that load is part of every SQL figure.
# Build first with:
#   cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DGROUPER_PYTHON=OFF
#   cmake --build build -j2 --target grouper grouper-tables postgresql_extension
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
records=${2:-1000000}
repeat=${3:-3}
grouper=$build/src/grouper
tables=$build/tools/grouper-tables
extension=$build/postgresql
source bench/common.sh
bench_need_tools postgresql "" "$grouper" "$tables"
bench_need_command postgresql pg_config postgresql-server-dev-15
bench_need_command postgresql bc bc
for f in episode_grouper.control episode_grouper--1.0.sql episode_grouper.so; do
  [[ -f $extension/$f ]] || { echo "postgresql: $extension/$f is missing; build the extension first" >&2; exit 1; }
done
bindir=$(pg_config --bindir)
libdir=$(pg_config --pkglibdir)
sharedir=$(pg_config --sharedir)/extension
bench_need_tools postgresql "Debian package postgresql-15" "$bindir/initdb" "$bindir/pg_ctl" "$bindir/psql"

# PostgreSQL does not run as root: as root the server and psql run as the
# postgres user, otherwise as whoever runs the script.
if [[ $(id -u) == 0 ]]; then
  id postgres > /dev/null 2>&1 || { echo "postgresql: running as root needs a postgres user" >&2; exit 1; }
  as_server() { runuser -u postgres -- "$@"; }
  server_user=postgres
else
  as_server() { "$@"; }
  server_user=$(id -un)
fi
[[ -w $libdir && -w $sharedir ]] || {
  echo "postgresql: cannot write $libdir and $sharedir to install the extension (run as root)" >&2
  exit 1
}
# Each file is written beside its place and renamed into it: a server running
# elsewhere keeps the module it has mapped.
for f in episode_grouper.control episode_grouper--1.0.sql episode_grouper.so; do
  [[ $f == *.so ]] && dir=$libdir mode=755 || dir=$sharedir mode=644
  install -m "$mode" "$extension/$f" "$dir/$f.partial-$$"
  mv -f "$dir/$f.partial-$$" "$dir/$f"
done

work=$(bench_work_dir grouper-postgresql)
chmod 755 "$work"
data=$work/data
stop_server() {
  if [[ -f $data/postmaster.pid ]]; then
    as_server "$bindir/pg_ctl" -D "$data" -m fast -w -t 30 stop > /dev/null 2>&1 ||
      as_server "$bindir/pg_ctl" -D "$data" -m immediate -w -t 30 stop > /dev/null 2>&1 || true
  fi
  rm -rf "$work"
}
trap stop_server EXIT

set_dir=$work/realistic
"$tables" generate --seed 1 --profile realistic --episodes "$records" "$set_dir" > /dev/null
chmod -R a+rX "$set_dir"
mkdir "$data" "$work/run"
[[ $server_user == root ]] || chown "$server_user" "$data" "$work/run"
as_server "$bindir/initdb" -D "$data" -E UTF8 --locale=C -A trust > "$work/initdb.log" 2>&1 ||
  { cat "$work/initdb.log" >&2; exit 1; }
as_server "$bindir/pg_ctl" -D "$data" -l "$work/run/server.log" -w -t 60 \
  -o "-c listen_addresses='' -k $work/run -c max_worker_processes=8 -c max_parallel_workers=2 \
      -c shared_buffers=1GB -c jit=off" start > /dev/null ||
  { cat "$work/run/server.log" >&2; exit 1; }
sql() { as_server "$bindir/psql" -X -A -t -q -v ON_ERROR_STOP=1 -h "$work/run" -d postgres "$@"; }

# The records are copied as they are: CSV with a delimiter and a quote that
# no record holds.
sql -c "CREATE EXTENSION episode_grouper" \
    -c "CREATE TABLE t (line text)" \
    -c "COPY t FROM '$set_dir/tamv30.in' WITH (FORMAT csv, DELIMITER E'\\x01', QUOTE E'\\x02')" \
    -c "VACUUM ANALYZE t"
query="SELECT count(*) FROM t WHERE (eg_group(line)).adrg IS NOT NULL"
settings="SET episode_grouper.tables = '$set_dir'; SET max_parallel_workers_per_gather = 2;
          SET parallel_setup_cost = 0; SET parallel_tuple_cost = 0;"
plan=$(sql -c "$settings EXPLAIN (COSTS OFF) $query")
grep -q "Workers Planned: 2" <<< "$plan" || { echo "postgresql: no parallel plan of 2 workers:" >&2; echo "$plan" >&2; exit 1; }

"$grouper" --tables "$set_dir" --input "$set_dir/tamv30.in" --output "$work/out" --results "$work/rows.tsv" \
  --threads 2 > /dev/null 2>&1
expected=$(awk -F'\t' 'NR > 1 && $3 != ""' "$work/rows.tsv" | wc -l)
rm -f "$work/rows.tsv"
echo "$records records ($(stat -c %s "$set_dir/tamv30.in") bytes), $expected with an ADRG; $(nproc) cores; in $work"

# Seconds of one SQL round (the count checked) and of one program round.
sql_round() {
  local out ms
  out=$(sql -c "$settings" -c '\timing on' -c "$query")
  [[ $(head -n 1 <<< "$out") == "$expected" ]] || { echo "postgresql: SQL counted $out, not $expected" >&2; exit 1; }
  ms=$(sed -n 's/^Time: \([0-9.]*\) ms.*/\1/p' <<< "$out")
  echo "$ms / 1000" | bc -l
}
program_round() {
  local start end
  start=$(date +%s.%N)
  "$grouper" --tables "$set_dir" --input "$set_dir/tamv30.in" --output "$work/out" --threads 2 > /dev/null 2>&1
  end=$(date +%s.%N)
  echo "$end - $start" | bc -l
}
rate() { echo "$records / $1" | bc -l | xargs printf '%.0f'; }

sql_round > /dev/null  # warms the table's pages in the server's buffers
printf '%-6s %14s %14s %10s\n' round sql_rec/s program_rec/s sql/program
for ((round = 1; round <= repeat; round++)); do
  sql_s=$(sql_round)
  program_s=$(program_round)
  printf '%-6s %14s %14s %10.3f\n' "$round" "$(rate "$sql_s")" "$(rate "$program_s")" \
    "$(echo "$program_s / $sql_s" | bc -l)"
done
