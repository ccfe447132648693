"""The PostgreSQL extension against a real PostgreSQL 15 server.

The module starts its own cluster (initdb into a temporary directory, run as
the postgres user when the tests run as root, listening on a socket in that
directory only), installs the extension of the build where pg_config says,
and stops the server at the end, also when a test fails.  Every grouping is
compared with the program's result rows on the same records or episodes.

CTest sets GROUPER_POSTGRESQL_DIR (the build's postgresql/ folder),
GROUPER_BINARY and GROUPER_TABLES_BINARY."""
import csv
import io
import json
import os
import pwd
import shutil
import subprocess
import tempfile
import threading
import time
from pathlib import Path

import pytest

TIMEOUT = 120  # seconds for any one program or psql run
PORT = "5432"  # the socket lives in the cluster's own directory: no clash with another server
EXTENSION_FILES = ("episode_grouper.control", "episode_grouper--1.0.sql", "episode_grouper.so")
# eg_result's columns as the query below writes them, and the result file's columns they match.
# The CCLs print as the result file's ccl_excl after its first character ('*': NULL), the findings as
# its findings column.
SQL_COLUMNS = ("{g}.mdc", "{g}.adrg", "{g}.drg", "{g}.pccl", "array_to_string({g}.ccl, '', '*')", "{g}.supplementary",
               "{g}.age_years", "{g}.age_days", "array_to_string({g}.findings, ';')", "{g}.weight",
               "{g}.effective_weight", "{g}.los_class")
TSV_COLUMNS = ("mdc", "adrg", "drg", "pccl", "ccl", "supplementary", "age_yy", "age_dd", "findings", "weight",
               "effective_weight", "los_class")
EPISODE_COLUMNS = ("id", "birth_date", "age_years", "age_days", "sex", "record_date", "los", "discharge",
                   "principal", "secondary", "procedures", "birth_weight", "vent_hours")


def _program(variable):
    path = os.environ.get(variable)
    if not path or not os.access(path, os.X_OK):
        pytest.exit(f"{variable}: no program at {path!r}", returncode=2)
    return path


def _pg_config(flag):
    return subprocess.run(["pg_config", flag], check=True, stdout=subprocess.PIPE, text=True,
                          timeout=TIMEOUT).stdout.strip()


def _readable(path):
    """Lets the server's user read everything under `path`."""
    path = Path(path)
    path.chmod(0o755)
    for p in path.rglob("*"):
        p.chmod(0o755 if p.is_dir() else 0o644)


class Cluster:
    """A private PostgreSQL cluster in `base`, run by `user` (None: whoever runs the tests)."""

    def __init__(self, base, user):
        self.base = Path(base)
        self.data = self.base / "data"
        self.user = user
        self.bindir = Path(_pg_config("--bindir"))

    def command(self, program, *args):
        line = [str(self.bindir / program), *map(str, args)]
        return ["runuser", "-u", self.user, "--", *line] if self.user else line

    def run(self, program, *args, timeout=TIMEOUT):
        return subprocess.run(self.command(program, *args), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              text=True, timeout=timeout)

    def psql_command(self, stop_on_error=True):
        return self.command("psql", "-X", "-A", "-t", "-q", "-z", "-v", f"ON_ERROR_STOP={int(stop_on_error)}",
                            "-h", self.base, "-p", PORT, "-U", "postgres", "-d", "postgres", "-f", "-")

    def psql(self, script, stop_on_error=True, timeout=TIMEOUT):
        """(status, stdout, stderr) of one psql session running `script`."""
        done = subprocess.run(self.psql_command(stop_on_error), input=script, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True, timeout=timeout)
        return done.returncode, done.stdout, done.stderr

    def query(self, script):
        """The rows of `script`'s output, each a list of fields (NULL as '')."""
        status, out, err = self.psql(script)
        assert status == 0, err
        return [line.split("\0") for line in out.splitlines()]

    def start(self):
        self.data.mkdir()
        if self.user:
            shutil.chown(self.base, self.user)
            shutil.chown(self.data, self.user)
        done = self.run("initdb", "-D", self.data, "-U", "postgres", "-E", "UTF8", "--locale=C", "-A", "trust")
        assert done.returncode == 0, done.stdout + done.stderr
        options = (f"-c listen_addresses='' -k {self.base} -p {PORT} -c max_worker_processes=8 "
                   "-c max_parallel_workers=4 -c jit=off")
        done = self.run("pg_ctl", "-D", self.data, "-l", self.base / "server.log", "-o", options, "-w", "-t", "60",
                        "start", timeout=90)
        assert done.returncode == 0, done.stdout + done.stderr + self.log()
        deadline = time.monotonic() + 30
        while self.run("pg_isready", "-h", self.base, "-p", PORT, timeout=30).returncode != 0:
            assert time.monotonic() < deadline, "the server is not ready after 30 s\n" + self.log()
            time.sleep(0.2)

    def stop(self):
        if not (self.data / "postmaster.pid").exists():
            return
        for mode in ("fast", "immediate"):
            try:
                if self.run("pg_ctl", "-D", self.data, "-m", mode, "-w", "-t", "30", "stop",
                            timeout=60).returncode == 0:
                    return
            except subprocess.TimeoutExpired:
                pass

    def log(self):
        path = self.base / "server.log"
        return path.read_text(errors="replace") if path.exists() else ""


@pytest.fixture(scope="module")
def cluster():
    """A running cluster with the build's extension installed and created in database postgres."""
    if not shutil.which("pg_config"):
        pytest.skip("pg_config is not on the PATH (Debian package postgresql-server-dev-15)")
    libdir = Path(_pg_config("--pkglibdir"))
    sharedir = Path(_pg_config("--sharedir")) / "extension"
    root = os.geteuid() == 0
    if not root and not (os.access(libdir, os.W_OK) and os.access(sharedir, os.W_OK)):
        pytest.skip(f"installing the extension needs root or write access to {libdir} and {sharedir}")
    user = None
    if root:
        try:
            pwd.getpwnam("postgres")
        except KeyError:
            pytest.skip("PostgreSQL does not run as root, and there is no postgres user")
        user = "postgres"
    if not (Path(_pg_config("--bindir")) / "initdb").exists():
        pytest.skip("no PostgreSQL server (Debian package postgresql-15)")
    built = Path(os.environ.get("GROUPER_POSTGRESQL_DIR", ""))
    for name in EXTENSION_FILES:
        if not (built / name).is_file():
            pytest.exit(f"GROUPER_POSTGRESQL_DIR: no {name} in {str(built)!r}", returncode=2)
    # Each file is written beside its place and renamed into it: a server running elsewhere keeps the module
    # it has mapped, which a copy over it would change under its feet.
    for name in EXTENSION_FILES:
        target = (libdir if name.endswith(".so") else sharedir) / name
        staged = target.with_name(f"{name}.partial-{os.getpid()}")
        shutil.copyfile(built / name, staged)
        staged.chmod(0o755 if name.endswith(".so") else 0o644)
        os.replace(staged, target)

    server = Cluster(tempfile.mkdtemp(prefix="eg-pg-"), user)
    try:
        server.base.chmod(0o755)
        server.start()
        server.query("CREATE EXTENSION episode_grouper;")
        yield server
    finally:
        server.stop()
        shutil.rmtree(server.base, ignore_errors=True)


@pytest.fixture(scope="module")
def grouper_binary():
    return _program("GROUPER_BINARY")


@pytest.fixture(scope="module")
def realistic(cluster):
    """A generated realistic set with 1500 episodes (tamv30.in, episodes.csv, weights.tsv), readable by the server."""
    directory = cluster.base / "sets" / "realistic"
    subprocess.run([_program("GROUPER_TABLES_BINARY"), "generate", "--seed", "5", "--profile", "realistic",
                    "--episodes", "1500", "--episodes-format", "csv", directory], check=True,
                   stdout=subprocess.DEVNULL, timeout=TIMEOUT)
    _readable(cluster.base / "sets")
    return directory


def program_rows(grouper_binary, tables, input, workdir, weights=None):
    """The program's result rows on `input`, each a dict of the TSV's columns (text read as Latin-1)."""
    results = Path(workdir) / (Path(input).stem + ".tsv")
    args = [grouper_binary, "--tables", tables, "--input", input, "--output", Path(workdir) / "lines.out",
            "--results", results]
    if weights:
        args += ["--weights", weights]
    done = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=TIMEOUT)
    assert done.returncode == 0, done.stdout + done.stderr
    rows = list(csv.DictReader(io.StringIO(results.read_bytes().decode("latin-1")), delimiter="\t",
                               quoting=csv.QUOTE_NONE))
    for row in rows:
        row["ccl"] = row["ccl_excl"][1:]
    return rows


def expected(rows):
    return [[row.get(c, "") for c in TSV_COLUMNS] for row in rows]


def result_columns(alias):
    return ", ".join(c.format(g=alias) for c in SQL_COLUMNS)


@pytest.fixture(scope="module")
def records(cluster, realistic, grouper_binary):
    """Table recs(n, raw bytea, line text) of the set's records and edge records, and the program's rows of them.

    The edge records: empty, blank, lower case, unknown codes, one with a Latin-1 byte (line NULL: as text a
    UTF-8 database would store it as two bytes; raw holds its byte), and a short one, whose line feed lies
    among its fields: a value groups as the same line of a file does."""
    lines = (realistic / "tamv30.in").read_bytes().splitlines()
    first = lines[0]
    edges = [b"", b" " * 300, lines[1].lower(), first[:33] + b"ZZ999QQ123" + first[43:],
             first[:33] + b"K\xe9358" + first[38:], first[:40]]
    latin1 = len(lines) + len(edges) - 1
    all_records = lines + edges
    path = cluster.base / "sets" / "records.in"
    path.write_bytes(b"".join(r + b"\n" for r in all_records))
    copy = cluster.base / "sets" / "records.copy"
    copy.write_text("".join(f"{n}\t\\\\x{r.hex()}\n" for n, r in enumerate(all_records, 1)))
    _readable(cluster.base / "sets")
    cluster.query(f"""
        CREATE TABLE recs (n int PRIMARY KEY, raw bytea);
        COPY recs FROM '{copy}';
        ALTER TABLE recs ADD COLUMN line text;
        UPDATE recs SET line = convert_from(raw, 'UTF8') WHERE n <> {latin1};
        VACUUM ANALYZE recs;""")
    rows = program_rows(grouper_binary, realistic, path, cluster.base / "sets", realistic / "weights.tsv")
    assert len(rows) == len(all_records)
    return rows, latin1


def test_records_group_and_explain_as_the_program_does(cluster, realistic, records, grouper_binary):
    rows, latin1 = records
    weights = realistic / "weights.tsv"
    # Text, with the table set as an argument; bytes, with the table set from the setting.
    as_text = cluster.query(f"""
        SET episode_grouper.weights = '{weights}';
        SELECT {result_columns('g')} FROM recs, LATERAL eg_group(line, '{realistic}') g
        WHERE line IS NOT NULL ORDER BY n;""")
    assert as_text == expected(r for n, r in enumerate(rows, 1) if n != latin1)
    as_bytes = cluster.query(f"""
        SET episode_grouper.tables = '{realistic}';
        SET episode_grouper.weights = '{weights}';
        SELECT {result_columns('g')} FROM recs, LATERAL eg_group(raw) g ORDER BY n;""")
    assert as_bytes == expected(rows)
    assert any(r["adrg"] == "" for r in rows) and any("dx_unknown" in r["findings"] for r in rows)

    # eg_explain: the JSON document of `grouper explain --format json`, for a realistic and an edge record.
    for n in (1, len(rows)):  # the last: the short record
        done = subprocess.run([grouper_binary, "explain", "--tables", realistic, "--input",
                               cluster.base / "sets" / "records.in", "--record", str(n), "--format", "json"],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=TIMEOUT)
        assert done.returncode == 0, done.stderr
        explained = cluster.query(f"SELECT eg_explain(line, '{realistic}') FROM recs WHERE n = {n};")
        assert json.loads(explained[0][0]) == json.loads(done.stdout)

    # eg_version: the grouper's version, the program's; the extension keeps its own SQL version.
    shown = subprocess.run([grouper_binary, "--version"], stdout=subprocess.PIPE, text=True, timeout=TIMEOUT)
    assert cluster.query("SELECT eg_version(), extversion FROM pg_extension WHERE extname = 'episode_grouper';") == [
        [os.environ["GROUPER_VERSION"], "1.0"]]
    assert shown.stdout == f"grouper {os.environ['GROUPER_VERSION']}\n"


def test_a_parallel_plan_gives_the_same_rows(cluster, realistic, records):
    rows, _ = records
    parallel = f"""
        SET episode_grouper.tables = '{realistic}';
        SET episode_grouper.weights = '{realistic / "weights.tsv"}';
        SET parallel_setup_cost = 0; SET parallel_tuple_cost = 0; SET min_parallel_table_scan_size = 0;
        SET max_parallel_workers_per_gather = 2;"""
    query = f"SELECT {result_columns('g')} FROM recs, LATERAL eg_group(raw) g ORDER BY n"
    plan = "\n".join(r[0] for r in cluster.query(f"{parallel} EXPLAIN (ANALYZE, COSTS OFF, TIMING OFF) {query};"))
    assert "Workers Planned: 2" in plan and "Workers Launched: 2" in plan, plan
    assert cluster.query(f"{parallel} {query};") == expected(rows)


def test_typed_episode_columns_group_as_the_programs_csv_input(cluster, realistic, grouper_binary):
    # The generated episodes, then ages in place of birth dates, codes with dots in lower case, and the
    # optional fields.
    generated = list(csv.DictReader(io.StringIO((realistic / "episodes.csv").read_text())))
    extra = [dict(id="AGE1", age_years="40", sex="f", record_date="2005-03-01", los="3", discharge="1",
                  principal="k35.8", secondary="i10|e11.9"),
             dict(id="DAYS1", age_days="12", sex="M", record_date="2005-03-01", los="0", discharge="4",
                  principal="P07.1", birth_weight="2400", vent_hours="30")]
    path = cluster.base / "sets" / "episodes.csv"
    with open(path, "w", newline="") as out:
        writer = csv.DictWriter(out, EPISODE_COLUMNS, lineterminator="\n")
        writer.writeheader()
        for e in generated + extra:
            writer.writerow({c: e.get(c) or "" for c in EPISODE_COLUMNS})
    _readable(cluster.base / "sets")
    rows = program_rows(grouper_binary, realistic, path, cluster.base / "sets")
    assert len(rows) == len(generated) + len(extra) and not any("input_invalid" in r["findings"] for r in rows)

    got = cluster.query(f"""
        CREATE TEMP TABLE raw ({", ".join(f"{c} text" for c in EPISODE_COLUMNS)});
        COPY raw FROM '{path}' WITH (FORMAT csv, HEADER true);
        CREATE TEMP TABLE episodes AS SELECT row_number() OVER () AS n, id,
            nullif(birth_date, '')::date AS birth_date, nullif(age_years, '')::int AS age_years,
            nullif(age_days, '')::int AS age_days, sex, record_date::date AS record_date, los::int AS los,
            discharge::int AS discharge, principal,
            string_to_array(nullif(secondary, ''), '|') AS secondary,
            string_to_array(nullif(procedures, ''), '|') AS procedures,
            nullif(birth_weight, '')::int AS birth_weight, nullif(vent_hours, '')::int AS vent_hours
        FROM raw;
        SELECT {result_columns('g')} FROM episodes e, LATERAL eg_group_episode(
            birth_date => e.birth_date, age_years => e.age_years, age_days => e.age_days, sex => e.sex,
            record_date => e.record_date, los => e.los, discharge => e.discharge, principal => e.principal,
            secondary => e.secondary, procedures => e.procedures, birth_weight => e.birth_weight,
            vent_hours => e.vent_hours, id => e.id, tables => '{realistic}') g
        ORDER BY n;""")
    assert got == expected(rows)


def test_errors_are_raised_the_session_goes_on_and_a_repaired_set_opens(cluster, realistic, records, grouper_binary, tmp_path):
    bad_set = cluster.base / "sets" / "bad-set"
    shutil.copytree(realistic, bad_set)
    (bad_set / "Tccl").write_bytes((realistic / "Tccl").read_bytes()[:1000])
    bad_weights = cluster.base / "sets" / "bad-weights.tsv"
    catalogue = (realistic / "weights.tsv").read_text().splitlines(keepends=True)
    catalogue[3] = catalogue[3].replace("\t", "\tx", 1)  # the first row's valid_from: not a date
    bad_weights.write_text("".join(catalogue))
    _readable(cluster.base / "sets")
    if cluster.user:
        shutil.chown(bad_set / "Tccl", cluster.user)  # psql repairs it
    episode = ("birth_date => '2005-03-02', sex => 'X', record_date => '2005-03-01', los => 1000, discharge => 1, "
               "principal => 'K35.8', secondary => ARRAY['A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J']")

    # The program's messages for the same set, catalogue and episode.
    def program_error(*args):
        done = subprocess.run([grouper_binary, *map(str, args), "--input", realistic / "tamv30.in", "--output",
                               tmp_path / "out"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                              timeout=TIMEOUT)
        assert done.returncode != 0
        return done.stderr.strip().splitlines()[0].split(": ", 1)[1]

    set_message = program_error("--tables", bad_set).split(": ", 1)[1]
    weights_message = program_error("--tables", realistic, "--weights", bad_weights).split(": ", 1)[1]
    (tmp_path / "bad.csv").write_text("birth_date,sex,record_date,los,discharge,principal,secondary\n"
                                      "2005-03-02,X,2005-03-01,1000,1,K35.8,A|B|C|D|E|F|G|H|I|J\n")
    invalid = program_rows(grouper_binary, realistic, tmp_path / "bad.csv", tmp_path)[0]["findings"]
    field_errors = [f.removeprefix("input_invalid@").replace(":", ": ", 1) for f in invalid.split(";")]
    assert len(field_errors) == 4

    ok = f"SELECT 'ok', (eg_group(line, '{realistic}')).drg FROM recs WHERE n = 1;"
    script = f"""\\set VERBOSITY verbose
        SELECT 'pid', pg_backend_pid();
        SELECT 'grouped', (eg_group(line, '{bad_set}')).drg FROM recs WHERE n = 1;
        {ok}
        SET episode_grouper.weights = '{bad_weights}';
        SELECT 'weighed', (eg_group(line, '{realistic}')).weight FROM recs WHERE n = 1;
        RESET episode_grouper.weights;
        {ok}
        SELECT 'grouped', eg_group_episode({episode}, tables => '{realistic}');
        {ok}
        SELECT 'errors', array_to_string(eg_validate_episode({episode}), ';');
        \\! cp {realistic / "Tccl"} {bad_set / "Tccl"}
        SELECT 'repaired', (eg_group(line, '{bad_set}')).drg FROM recs WHERE n = 1;
        SELECT 'pid', pg_backend_pid();"""
    status, out, err = cluster.psql(script, stop_on_error=False)
    errors = [line.split("ERROR:  ", 1)[1] for line in err.splitlines() if "ERROR:  " in line]
    assert len(errors) == 3, err
    assert str(bad_set) in errors[0] and set_message in errors[0], errors[0]
    assert str(bad_weights) in errors[1] and weights_message in errors[1], errors[1]
    assert errors[2].startswith("22023: ") and all(e in errors[2] for e in field_errors), errors[2]

    answers = [line.split("\0") for line in out.splitlines()]
    drg = records[0][0]["drg"]
    # The set repaired between two statements is opened again.
    assert [a for a in answers if a[0] not in ("pid", "errors")] == [["ok", drg]] * 3 + [["repaired", drg]], answers
    assert ["errors", ";".join(field_errors)] in answers
    pids = [a for a in answers if a[0] == "pid"]
    assert len(pids) == 2 and pids[0] == pids[1], answers


def test_a_long_query_is_cancelled_promptly(cluster, realistic, records):
    # About 1,500 records times 10,000: fifteen million groupings, far longer than the wait before the cancel.
    marker = "eg_cancel_me"
    query = (f"SELECT '{marker}', count((eg_group(r.line, '{realistic}')).adrg) "
             f"FROM recs r CROSS JOIN generate_series(1, 10000) g WHERE r.line IS NOT NULL;")
    running = subprocess.Popen(cluster.psql_command(), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True)
    outputs = {}
    reader = threading.Thread(target=lambda: outputs.update(zip(("out", "err"), running.communicate(query))))
    reader.start()
    try:
        find = (f"SELECT pid FROM pg_stat_activity WHERE state = 'active' AND query LIKE '%{marker}%' "
                f"AND pid <> pg_backend_pid();")
        deadline = time.monotonic() + 30
        while not (pids := cluster.query(find)):
            assert time.monotonic() < deadline and running.poll() is None, "the query did not start"
            time.sleep(0.1)
        time.sleep(1)  # well inside the grouping now
        assert running.poll() is None, "the query ended before the cancel"
        assert cluster.query(f"SELECT pg_cancel_backend({pids[0][0]});") == [["t"]]
        cancelled = time.monotonic()
        reader.join(timeout=30)
        ended = time.monotonic() - cancelled
    finally:
        if running.poll() is None:
            running.kill()
        reader.join(timeout=30)
    assert running.returncode != 0 and "canceling statement due to user request" in outputs["err"], outputs
    assert ended < 5, f"the query went on for {ended:.1f} s after the cancel"
    assert cluster.query(f"SELECT (eg_group(line, '{realistic}')).drg FROM recs WHERE n = 1;") == \
        [[records[0][0]["drg"]]]
