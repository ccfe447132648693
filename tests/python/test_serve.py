"""grouper serve: the service answers the batch run's bytes, explain's trace,
JSON episodes as their records, a JSON error with its status for every bad
request (a 422 with every field error of every episode), enforces its token,
describes exactly its routes, drains on SIGTERM and swaps table sets whole.

Every server is started on a free port of the loopback (port 0, read back
from its first line), and stopped by its fixture also when a test fails."""
import decimal
import json
import os
import re
import select
import shutil
import signal
import socket
import subprocess
import threading
import time
from pathlib import Path

import pytest
import requests

from conftest import TIMEOUT, odd_input, split_records

HTTP_TIMEOUT = 60  # seconds for any one request


class Server:
    """A `grouper serve` process on 127.0.0.1, port 0."""

    def __init__(self, binary, args, log_path, prefix=()):
        """`prefix`: the command that runs the program (another user's, say)."""
        self.log_path = log_path
        self.log = open(log_path, "wb")
        self.proc = subprocess.Popen([*prefix, binary, "serve", "--listen", "127.0.0.1:0", *map(str, args)],
                                     stdout=subprocess.PIPE, stderr=self.log)
        try:
            line = self._first_line(30)
            match = re.fullmatch(rb"listening on http://127\.0\.0\.1:(\d+)\n", line)
            assert match, line
            self.port = int(match.group(1))
            self.url = f"http://127.0.0.1:{self.port}"
            self.http = requests.Session()
            self._wait_ready(30)
        except BaseException:
            self.stop()
            raise

    def _first_line(self, seconds):
        line = b""
        deadline = time.monotonic() + seconds
        fd = self.proc.stdout.fileno()
        while not line.endswith(b"\n"):
            left = deadline - time.monotonic()
            assert left > 0, f"no listening line in {seconds} s: {line!r} {self.log_text()}"
            ready, _, _ = select.select([fd], [], [], left)
            if ready:
                chunk = os.read(fd, 1)
                assert chunk, f"the server ended: {self.log_text()}"
                line += chunk
        return line

    def _wait_ready(self, seconds):
        deadline = time.monotonic() + seconds
        while requests.get(self.url + "/readyz", timeout=HTTP_TIMEOUT).status_code != 200:
            assert time.monotonic() < deadline, "not ready"
            time.sleep(0.05)

    def post(self, path, data, **kw):
        return self.http.post(self.url + path, data=data, timeout=HTTP_TIMEOUT, **kw)

    def get(self, path, **kw):
        return self.http.get(self.url + path, timeout=HTTP_TIMEOUT, **kw)

    def log_text(self):
        if not self.log.closed:
            self.log.flush()
        return Path(self.log_path).read_text(errors="replace")

    def stop(self):
        """SIGTERM, then SIGKILL after 20 s; returns the exit status."""
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(20)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(20)
        self.proc.stdout.close()
        self.log.close()
        return self.proc.returncode


@pytest.fixture
def serve(grouper_binary, tmp_path):
    """serve(*args) -> a started Server; all are stopped at the end of the test."""
    started = []

    def start(*args):
        server = Server(grouper_binary, args, tmp_path / f"serve-{len(started)}.log")
        started.append(server)
        return server

    yield start
    for server in started:
        server.stop()


@pytest.fixture(scope="session")
def other_set(generate):
    return generate("serve-other", "small", 300, 11)


def program_lines(grouper_binary, tables, data):
    done = subprocess.run([grouper_binary, "--tables", str(tables), "--input", "-", "--output", "-"], input=data,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=TIMEOUT, check=True)
    return done.stdout


def program_rows(grouper_binary, tables, data, workdir):
    (workdir / "in").write_bytes(data)
    subprocess.run([grouper_binary, "--tables", str(tables), "--input", str(workdir / "in"), "--output",
                    str(workdir / "out"), "--results", str(workdir / "rows.jsonl")],
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=TIMEOUT, check=True)
    return (workdir / "rows.jsonl").read_bytes()


def explain_command(grouper_binary, tables, record, fmt):
    done = subprocess.run([grouper_binary, "explain", "--tables", str(tables), "--format", fmt, "--line",
                           record.decode("latin-1")], stdout=subprocess.PIPE, timeout=TIMEOUT, check=True)
    return done.stdout


def metric(text, sample):
    """The value of the sample named `sample` (labels included) in a Prometheus text."""
    values = [float(line[len(sample) + 1:]) for line in text.splitlines() if line.startswith(sample + " ")]
    assert len(values) == 1, sample
    return values[0]


def test_group_answers_the_bytes_and_rows_of_the_program(serve, small_set, other_set, grouper_binary, tmp_path):
    episodes = (small_set / "tamv30.in").read_bytes()
    # Carriage returns, a NUL, lines of 4094..9000 bytes and a last line without a line feed.
    data = episodes + odd_input(episodes)
    server = serve("--tables", small_set, "--tables", f"other={other_set}", "--threads", 2)

    answer = server.post("/v1/group", data, headers={"Content-Type": "text/plain"})
    assert answer.status_code == 200, answer.text
    assert answer.content == program_lines(grouper_binary, small_set, data)
    records = len(split_records(data))
    assert int(answer.headers["X-Records"]) == records

    rows = program_rows(grouper_binary, small_set, data, tmp_path)
    assert server.post("/v1/group?format=jsonl", data).content == rows
    by_accept = server.post("/v1/group", data, headers={"Accept": "application/x-ndjson"})
    assert by_accept.headers["Content-Type"] == "application/x-ndjson"
    assert by_accept.content == rows

    other = (other_set / "tamv30.in").read_bytes()
    assert server.post("/v1/group?tables=other", other).content == program_lines(grouper_binary, other_set, other)
    # The sets differ, so the name chose the set.
    assert server.post("/v1/group", other).content != program_lines(grouper_binary, other_set, other)

    metrics = server.get("/metrics").text
    assert metric(metrics, "grouper_records_grouped_total") == 3 * records + 2 * len(split_records(other))
    assert metric(metrics, 'grouper_requests_total{route="/v1/group",status="200"}') == 5

    tables = server.get("/v1/tables").json()["tables"]
    assert [(t["name"], t["directory"], t["default"]) for t in tables] == [
        ("default", str(small_set), True), ("other", str(other_set), False)]
    assert tables[0]["checksum"] != tables[1]["checksum"]


def test_explain_answers_the_trace_of_grouper_explain(serve, small_set, grouper_binary):
    server = serve("--tables", small_set)
    for record in (small_set / "tamv30.in").read_bytes().split(b"\n")[:3]:
        expected = explain_command(grouper_binary, small_set, record, "json")
        as_text = server.post("/v1/explain", record, headers={"Content-Type": "text/plain"})
        assert as_text.status_code == 200 and as_text.content == expected
        as_json = server.post("/v1/explain", json.dumps({"record": record.decode("latin-1")}),
                              headers={"Content-Type": "application/json"})
        assert as_json.content == expected
        words = server.post("/v1/explain?format=text", record)
        assert words.content == explain_command(grouper_binary, small_set, record, "text")


def test_weights_join_the_rows_and_the_explanation(serve, small_set, grouper_binary, tmp_path):
    data = b"".join((small_set / "tamv30.in").read_bytes().splitlines(keepends=True)[:200])
    weights = small_set / "weights.tsv"
    server = serve("--tables", small_set, "--weights", weights)
    (tmp_path / "in").write_bytes(data)
    subprocess.run([grouper_binary, "--tables", str(small_set), "--input", str(tmp_path / "in"), "--output",
                    str(tmp_path / "out"), "--weights", str(weights), "--results", str(tmp_path / "rows.jsonl")],
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=TIMEOUT, check=True)
    rows = (tmp_path / "rows.jsonl").read_bytes()
    assert server.post("/v1/group?format=jsonl", data).content == rows
    record = data.split(b"\n")[0]
    row = json.loads(rows.split(b"\n")[0], parse_float=decimal.Decimal)
    trace = json.loads(server.post("/v1/explain", record).content, parse_float=decimal.Decimal)
    assert row["weight"] is not None
    assert [trace[k] for k in ("weight", "effective_weight", "los_class")] == [
        row[k] for k in ("weight", "effective_weight", "los_class")]
    assert f"effective weight {row['effective_weight']}".encode() in server.post("/v1/explain?format=text", record).content
    # impact=true ends the trace with the record's impact, weighed: the list of grouper explain --impact.
    for record in data.split(b"\n")[:20]:
        done = subprocess.run([grouper_binary, "explain", "--tables", str(small_set), "--format", "json", "--impact",
                               "--weights", str(weights), "--line", record.decode("latin-1")],
                              capture_output=True, timeout=TIMEOUT, check=True)
        expected = json.loads(done.stdout, parse_float=decimal.Decimal)["impact"]
        trace = json.loads(server.post("/v1/explain?impact=true", record).content, parse_float=decimal.Decimal)
        assert trace["impact"] == expected
    assert any(json.loads(server.post("/v1/explain?impact=true", r).content)["impact"] for r in data.split(b"\n")[:20])
    assert b'"impact"' not in server.post("/v1/explain", record).content


def test_every_bad_request_gets_its_status_and_a_json_error(serve, small_set):
    server = serve("--tables", small_set, "--max-body", 5000)
    record = (small_set / "tamv30.in").read_bytes().split(b"\n")[0]
    text = {"Content-Type": "text/plain"}
    as_json = {"Content-Type": "application/json"}
    cases = [
        (400, "POST", "/v1/group?format=xml", record, text),
        (400, "POST", "/v1/group?colour=red", record, text),
        (400, "POST", "/v1/group?format=text&format=jsonl", record, text),
        (400, "POST", "/v1/explain", b"{not json", as_json),
        (400, "POST", "/v1/explain", b"[1, 2", as_json),
        (400, "POST", "/v1/group", b'{"los": 5,}', as_json),
        (400, "POST", "/v1/group", b'"an episode"', as_json),
        (400, "POST", "/v1/explain", json.dumps({"record": "x", "tables": "../etc"}), as_json),
        (400, "POST", "/v1/explain", json.dumps({"record": "\u20ac" + record.decode()}), as_json),
        (400, "POST", "/v1/explain", record + b"\n" + record, text),
        (400, "POST", "/v1/explain", b"", text),
        (400, "GET", "/v1/tables?x=1", None, {}),
        (404, "GET", "/v1/nothing", None, {}),
        (404, "GET", "/../etc/passwd", None, {}),
        (404, "POST", "/v1/group?tables=missing", record, text),
        (405, "GET", "/v1/group", None, {}),
        (405, "DELETE", "/v1/tables", None, {}),
        (413, "POST", "/v1/group", record * 20, text),
        # Sent in chunks (no Content-Length); the connection stays in step for the next case.
        (413, "POST", "/v1/group", iter([record * 10, record * 10]), text),
        (415, "POST", "/v1/group", record, {"Content-Type": "application/xml"}),
        (415, "POST", "/v1/explain", record, {"Content-Type": "image/png"}),
    ]
    for status, method, path, body, headers in cases:
        answer = server.http.request(method, server.url + path, data=body, headers=headers, timeout=HTTP_TIMEOUT)
        assert answer.status_code == status, (method, path, answer.text)
        error = answer.json()
        assert set(error) == {"error", "message"} and error["error"] and error["message"], error
    # Bytes the server never expects do not end it.
    with socket.create_connection(("127.0.0.1", server.port), timeout=HTTP_TIMEOUT) as raw:
        raw.sendall(b"\x00\xff GARBAGE \r\n\r\n")
        raw.recv(4096)
    assert server.get("/healthz").status_code == 200


def test_the_token_guards_every_route_but_health(serve, small_set, tmp_path):
    (tmp_path / "token").write_text("s3cret-token\n")
    server = serve("--tables", small_set, "--token-file", tmp_path / "token")
    record = (small_set / "tamv30.in").read_bytes().split(b"\n")[0]
    good = {"Authorization": "Bearer s3cret-token"}
    for headers in ({}, {"Authorization": "Bearer s3cret-tokem"}, {"Authorization": "Bearer s3cret-token2"},
                    {"Authorization": "s3cret-token"}):
        assert server.post("/v1/group", record, headers=headers).status_code == 401
        assert server.get("/metrics", headers=headers).status_code == 401
        assert server.post("/v1/admin/reload", b"", headers=headers).status_code == 401
    assert server.post("/v1/group", record, headers=good).status_code == 200
    assert server.get("/metrics", headers=good).status_code == 200
    assert server.get("/healthz").status_code == 200
    assert server.get("/readyz").status_code == 200
    # The version is open to all, and every answer, refusals included, names it.
    version = server.get("/v1/version")
    assert version.status_code == 200 and version.json() == {"version": os.environ["GROUPER_VERSION"]}
    refused = server.get("/metrics")
    assert refused.status_code == 401 and refused.headers["X-Grouper-Version"] == os.environ["GROUPER_VERSION"]
    assert server.get("/nowhere").headers["X-Grouper-Version"] == os.environ["GROUPER_VERSION"]


def test_a_config_file_gives_the_options_the_command_line_leaves_out(serve, small_set, grouper_binary, tmp_path):
    (tmp_path / "token").write_text("from-the-file\n")
    config = tmp_path / "serve.conf"
    # The listen address of the file loses to the fixture's --listen 127.0.0.1:0.
    config.write_text(f'# the service\ntables = ["{small_set}", "again={small_set}"]\n'
                      f'listen = "127.0.0.1:1"\ntoken-file = "{tmp_path / "token"}"\nthreads = 2\n')
    server = serve("--config", config)
    assert server.get("/v1/tables").status_code == 401
    tables = server.get("/v1/tables", headers={"Authorization": "Bearer from-the-file"})
    assert tables.status_code == 200
    assert [t["name"] for t in tables.json()["tables"]] == ["default", "again"]

    for text, message in (('tabels = "/srv"\n', "'tabels' is not an option of grouper serve"),
                          ("threads = 0\n", "--threads"), ("[serve]\nthreads = 2\n", "section [serve]")):
        config.write_text(text)
        run = subprocess.run([grouper_binary, "serve", "--config", config], capture_output=True, timeout=TIMEOUT)
        assert run.returncode == 2 and message in run.stderr.decode(), run.stderr


def test_openapi_lists_exactly_the_routes_served(serve, small_set):
    server = serve("--tables", small_set)
    document = server.get("/openapi.json").json()
    assert document["openapi"].startswith("3.")
    assert document["info"]["version"] == os.environ["GROUPER_VERSION"]
    listed = {(method.upper(), path) for path, item in document["paths"].items() for method in item}
    # The routes the service is asked for, all listed.
    assert {("POST", "/v1/group"), ("POST", "/v1/explain"), ("GET", "/v1/tables"), ("GET", "/healthz"),
            ("GET", "/readyz"), ("GET", "/metrics"), ("GET", "/openapi.json"), ("GET", "/"),
            ("POST", "/v1/admin/reload"), ("GET", "/v1/version")} <= listed
    # Each listed route is served with its method and no other.
    for method, path in listed:
        answer = server.http.request(method, server.url + path, timeout=HTTP_TIMEOUT)
        assert answer.status_code not in (404, 405), (method, path)
        other = "PUT" if method != "PUT" else "GET"
        assert server.http.request(other, server.url + path, timeout=HTTP_TIMEOUT).status_code == 405
    paths = {path for _, path in listed}
    for path in ("/v2/group", "/v1", "/index.html", "/v1/admin"):
        assert path not in paths and server.get(path).status_code == 404


def read_answer(raw):
    """One HTTP answer from a socket: (head, body), the body by its Content-Length."""
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = raw.recv(1 << 16)
        assert chunk, data
        data += chunk
    head, _, body = data.partition(b"\r\n\r\n")
    length = int(re.search(rb"\r\nContent-Length: (\d+)", head, re.I).group(1))
    while len(body) < length:
        chunk = raw.recv(1 << 16)
        assert chunk
        body += chunk
    return head, body


def test_sigterm_lets_the_request_in_flight_finish_and_ends_with_status_0(serve, small_set, grouper_binary):
    server = serve("--tables", small_set)
    data = (small_set / "tamv30.in").read_bytes()
    post = b"POST /v1/group HTTP/1.1\r\nHost: x\r\nContent-Type: text/plain\r\nContent-Length: %d\r\n\r\n"
    with socket.create_connection(("127.0.0.1", server.port), timeout=HTTP_TIMEOUT) as raw:
        # A first request on the connection: once answered, a worker holds the connection.
        raw.sendall(post % 1 + b"x")
        assert read_answer(raw)[0].startswith(b"HTTP/1.1 200")
        # The worker logs the first request after answering it, then waits for
        # the next; a stop before it waits again closes the connection idle,
        # as HTTP allows.  Give it that moment on a loaded machine.
        time.sleep(0.3)
        # The second one is in flight, half sent, when SIGTERM comes.
        raw.sendall(post % len(data) + data[:1000])
        time.sleep(0.3)
        server.proc.send_signal(signal.SIGTERM)
        deadline = time.monotonic() + 20
        while True:  # no new connection is taken
            try:
                socket.create_connection(("127.0.0.1", server.port), timeout=1).close()
            except OSError:
                break
            assert time.monotonic() < deadline, "still accepting after SIGTERM"
            time.sleep(0.05)
        raw.sendall(data[1000:])
        head, body = read_answer(raw)
    assert head.startswith(b"HTTP/1.1 200"), head
    assert body == program_lines(grouper_binary, small_set, data)
    assert server.proc.wait(20) == 0
    log = server.log_text()
    assert "SIGTERM" in log and re.search(r" POST /v1/group 200 records=\d+ us=\d+", log)


def build_edited_set(tables_binary, source, target, workdir, adrg_from, adrg_to):
    """A copy of `source` whose ADRG code `adrg_from` reads `adrg_to`, through dump, edit and build."""
    text = workdir / "text"
    subprocess.run([tables_binary, "dump", str(source), str(text)], check=True, stdout=subprocess.DEVNULL,
                   timeout=TIMEOUT)
    index = text / "Tadrg.idx.tsv"
    lines = index.read_text(encoding="latin-1").split("\n")
    edited = [re.sub(rf"^(\d+)\t{adrg_from}$", rf"\g<1>\t{adrg_to}", line) for line in lines]
    assert sum(a != b for a, b in zip(lines, edited)) == 1
    index.write_text("\n".join(edited), encoding="latin-1")
    subprocess.run([tables_binary, "build", str(text), str(target)], check=True, stdout=subprocess.DEVNULL,
                   timeout=TIMEOUT)


def point(link, target):
    """Points the symbolic link `link` at `target` in one step."""
    staged = link.with_name(link.name + ".new")
    staged.unlink(missing_ok=True)
    staged.symlink_to(target)
    os.replace(staged, link)


def test_reload_swaps_a_set_whole_while_requests_run(serve, small_set, tables_binary, grouper_binary, tmp_path):
    data = b"".join((small_set / "tamv30.in").read_bytes().splitlines(keepends=True)[:200])
    old_lines = program_lines(grouper_binary, small_set, data)
    adrgs = re.findall(rb"^.{277}([A-Z]\d{3})       20050515", old_lines, re.M)
    adrg = max(set(adrgs), key=adrgs.count).decode()
    edited = tmp_path / "edited"
    build_edited_set(tables_binary, small_set, edited, tmp_path, adrg, "Z999")
    new_lines = program_lines(grouper_binary, edited, data)
    assert new_lines != old_lines
    broken = tmp_path / "broken"
    shutil.copytree(edited, broken)
    (broken / "Tccl").write_bytes(b"short")

    live = tmp_path / "live"
    point(live, small_set)
    server = serve("--tables", live, "--threads", 2)
    failures, answers = [], []
    stop = threading.Event()
    done = 'grouper_reloads_total{tables="default",result="done"}'

    def client():
        with requests.Session() as http:
            for _ in range(5000):  # until stopped, within bounds
                if stop.is_set():
                    return
                answer = http.post(server.url + "/v1/group", data=data, timeout=HTTP_TIMEOUT)
                if answer.status_code != 200:
                    failures.append(answer.status_code)
                answers.append(answer.content)

    clients = [threading.Thread(target=client) for _ in range(3)]
    for thread in clients:
        thread.start()
    try:
        for round in range(6):
            point(live, edited if round % 2 == 0 else small_set)
            seen = len(answers)
            if round in (1, 3):
                server.proc.send_signal(signal.SIGHUP)
                deadline = time.monotonic() + 20
                while metric(server.get("/metrics").text, done) != round + 1:
                    assert time.monotonic() < deadline, "SIGHUP did not reload"
                    time.sleep(0.02)
            else:
                assert server.post("/v1/admin/reload", b"").status_code == 200
            # The clients meet the set just loaded, however slow the machine.
            expected = new_lines if round % 2 == 0 else old_lines
            deadline = time.monotonic() + 20
            while expected not in answers[seen:]:
                assert time.monotonic() < deadline and not failures, "no answer from the set just loaded"
                time.sleep(0.02)
        point(live, broken)
        failed = server.post("/v1/admin/reload", b"")
        assert failed.status_code == 500 and "Tccl" in failed.json()["reloaded"][0]["message"]
        assert failed.json()["reloaded"][0]["error"] == "file_failed"
    finally:
        stop.set()
        for thread in clients:
            thread.join(TIMEOUT)
    assert failures == []
    assert answers and all(a in (old_lines, new_lines) for a in answers)
    assert old_lines in answers and new_lines in answers
    # The set of the last good load (the original) serves on after the failed one.
    assert server.post("/v1/group", data).content == old_lines
    metrics = server.get("/metrics").text
    assert metric(metrics, 'grouper_reloads_total{tables="default",result="failed"}') == 1
    assert re.search(r'grouper_reload_last_failure\{tables="default",message=".*Tccl.*"\} 1', metrics)
    deadline = time.monotonic() + 10
    while "failed, the old set keeps serving" not in server.log_text():
        assert time.monotonic() < deadline
        time.sleep(0.05)


def test_a_stalled_client_is_cut_off_and_does_not_hold_the_only_worker(serve, small_set):
    server = serve("--tables", small_set, "--connections", 1, "--timeout", 1)
    record = (small_set / "tamv30.in").read_bytes().split(b"\n")[0] + b"\n"
    with socket.create_connection(("127.0.0.1", server.port), timeout=HTTP_TIMEOUT) as stalled:
        stalled.sendall(b"POST /v1/group HTTP/1.1\r\nHost: x\r\nContent-Length: 100\r\n\r\nonly part")
        # The only connection's worker is taken by the stalled request until its read times out.
        assert server.post("/v1/group", record).status_code == 200
        stalled.settimeout(HTTP_TIMEOUT)
        answer = b""
        while chunk := stalled.recv(4096):  # cut off: closed, at most with a 400
            answer += chunk
        assert answer == b"" or answer.startswith(b"HTTP/1.1 400")


def coder_fields(line):
    """The fields of a generated episode line as a coder enters them, and the
    record the service must build from them (unused columns blank, codes packed)."""
    text = line.decode("latin-1")
    indicator = text[14]
    century = {"1": "19", "2": "19", "3": "20", "4": "20"}[indicator]
    slots = [text[33 + 5 * i:38 + 5 * i].strip() for i in range(46)]
    dx = [c for c in slots[:10] if c]
    proc = [c for c in slots[10:] if c]
    fields = {"id": text[:8].strip(), "record_date": text[21:29], "birth_date": century + text[8:14],
              "sex": "M" if int(indicator) % 2 else "F", "los": text[29:32].strip(), "discharge": text[32].strip(),
              "birth_weight": text[263:268].strip(), "vent_hours": text[268:273].strip(), "principal": dx[0],
              "secondary": " ".join(dx[1:]), "procedures": " ".join(proc)}
    record = list(" " * 300)
    record[:8] = text[:8].strip().ljust(8)
    record[8:15] = text[8:15]
    record[21:33] = text[21:33]
    for at in (263, 268):  # right-aligned numbers
        number = text[at:at + 5].strip()
        record[at:at + 5] = (str(int(number)) if number else "").rjust(5)
    for i, code in enumerate(dx + [""] * (10 - len(dx)) + proc):
        record[33 + 5 * i:38 + 5 * i] = code.ljust(5)
    return fields, "".join(record)


def coder_lines(small_set, count):
    """`count` generated lines whose fields a coder can enter (born 1900 to 2099, readable numbers)."""
    lines = [l for l in (small_set / "tamv30.in").read_bytes().split(b"\n")[:400]
             if len(l) >= 273 and l[14:15] in b"1234" and re.fullmatch(rb"[0-9 ]*", l[263:273])]
    assert len(lines) >= count
    return lines[:count]


def as_episode(fields):
    """A coder's fields as a JSON episode: empty fields left out, code lists as arrays."""
    episode = {k: v for k, v in fields.items() if v != ""}
    for name in ("secondary", "procedures"):
        if name in episode:
            episode[name] = episode[name].split()
    return episode


def test_json_episodes_group_and_explain_as_their_records(serve, small_set, grouper_binary):
    server = serve("--tables", small_set)
    lines = coder_lines(small_set, 30)
    cases = [coder_fields(line) for line in lines]
    episodes = [as_episode(fields) for fields, _ in cases]
    as_json = {"Content-Type": "application/json"}

    answer = server.post("/v1/group", json.dumps(episodes), headers=as_json)
    assert answer.status_code == 200, answer.text
    assert answer.headers["Content-Type"] == "application/json" and int(answer.headers["X-Records"]) == len(lines)
    results = answer.json()
    assert [r["built_record"] for r in results] == [record for _, record in cases]
    assert [r["id"] for r in results] == [fields["id"] for fields, _ in cases]
    # The same records posted the old way give the same rows.
    records = "".join(record + "\n" for _, record in cases).encode("latin-1")
    rows = [json.loads(row) for row in server.post("/v1/group?format=jsonl", records).content.splitlines()]
    assert [{k: v for k, v in r.items() if k not in ("id", "built_record")} for r in results] == rows
    assert any(row["drg"] for row in rows) and len({row["drg"] for row in rows}) > 1

    # One object answers one object; the episode's fields in their text forms, as strings.
    texts = {k: "|".join(v) if isinstance(v, list) else v for k, v in episodes[3].items()}
    single = server.post("/v1/group", json.dumps(texts), headers=as_json).json()
    assert single == dict(results[3], record=1)

    trace = server.post("/v1/explain", json.dumps(episodes[0]), headers=as_json).json()
    assert trace.pop("id") == cases[0][0]["id"] and trace.pop("built_record") == cases[0][1]
    assert trace == json.loads(explain_command(grouper_binary, small_set, cases[0][1].encode("latin-1"), "json"))
    traces = server.post("/v1/explain", json.dumps(episodes[:2]), headers=as_json).json()
    assert [t["built_record"] for t in traces] == [cases[0][1], cases[1][1]]
    text = server.post("/v1/explain?format=text", json.dumps(episodes[1]), headers=as_json)
    assert text.status_code == 200 and cases[1][1].encode("latin-1") in text.content


def test_an_invalid_episode_refuses_the_request_with_every_error(serve, small_set):
    server = serve("--tables", small_set)
    good = as_episode(coder_fields(coder_lines(small_set, 1)[0])[0])
    bad = dict(good, birth_date="2005-02-30", los=1200, secondary=[f"A{i:02}" for i in range(10)])
    worse = {"sex": "X", "record_date": "20050301", "los": "5", "discharge": 1, "principal": "K35.8",
             "age_years": 40, "age_days": 12, "colour": "red"}
    as_json = {"Content-Type": "application/json"}
    for path in ("/v1/group", "/v1/explain"):
        answer = server.post(path, json.dumps([good, bad, good, worse, "no object"]), headers=as_json)
        assert answer.status_code == 422, answer.text
        body = answer.json()
        assert body["error"] == "invalid_episode" and body["message"]
        assert {(e["index"], e["field"], e["message"]) for e in body["errors"]} == {
            (1, "birth_date", "2005-02-30 is not a calendar date"),
            (1, "los", "1200 is not from 0 to 999"),
            (1, "secondary", "10 codes, at most 9"),
            (3, "colour", "is no episode field"),
            (3, "sex", "X is not M or F"),
            (3, "age_days", "give only one of birth_date, age_years and age_days"),
            (4, "row", "not a JSON object")}
        assert len(body["errors"]) == 7
    single = server.post("/v1/group", json.dumps(bad), headers=as_json)
    assert single.status_code == 422 and {e["index"] for e in single.json()["errors"]} == {0}
    malformed = server.post("/v1/group", b'[{"los": 5}', headers=as_json)
    assert malformed.status_code == 400 and malformed.json()["error"] == "bad_json"
    assert "not JSON" in malformed.json()["message"]


def test_the_page_groups_a_case_entered_in_its_fields(serve, small_set, grouper_binary, tmp_path):
    chromium = shutil.which("chromium")
    if not chromium:
        pytest.skip("no chromium")
    server = serve("--tables", small_set)
    page = server.get("/")
    assert page.headers["Content-Security-Policy"] == "default-src 'self'"
    assert not re.search(r"(src|href)=\"(https?:)?//", page.text)
    for line in coder_lines(small_set, 3):
        fields, record = coder_fields(line)
        query = "&".join(f"{k}={requests.utils.quote(v)}" for k, v in fields.items())
        done = subprocess.run([chromium, "--headless", "--no-sandbox", "--disable-gpu", f"--user-data-dir={tmp_path}/chromium",
                               "--enable-logging=stderr", "--v=0", "--dump-dom", "--virtual-time-budget=10000",
                               f"{server.url}/?{query}&submit=1"], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              timeout=TIMEOUT)
        dom = done.stdout.decode()
        shown = re.search(r'<pre id="record">([^<]*)</pre>', dom).group(1)
        assert shown == record
        trace = json.loads(explain_command(grouper_binary, small_set, record.encode("latin-1"), "json"))
        assert re.search(r'<td id="drg">([^<]*)</td>', dom).group(1) == trace["result"]["drg"]
        assert re.search(r'<td id="mdc">([^<]*)</td>', dom).group(1) == trace["result"]["mdc"]
        assert re.search(r'<td id="pccl">([^<]*)</td>', dom).group(1) == str(trace["result"]["pccl"])
        assert dom.count("<details") >= 8
        console = [l for l in done.stderr.decode(errors="replace").splitlines()
                   if ":CONSOLE" in l and '"[DOM]' not in l]
        assert console == []


NGINX_CONF = """
daemon off;
master_process off;
worker_processes 1;
pid {dir}/nginx.pid;
error_log {dir}/error.log;
events {{ worker_connections 64; }}
http {{
  access_log {dir}/access.log;
  client_body_temp_path {dir}/body;
  proxy_temp_path {dir}/proxy;
  fastcgi_temp_path {dir}/fastcgi;
  uwsgi_temp_path {dir}/uwsgi;
  scgi_temp_path {dir}/scgi;
  upstream grouper {{
    server 127.0.0.1:{first} max_fails=1 fail_timeout=30s;
    server 127.0.0.1:{second} max_fails=1 fail_timeout=30s;
    keepalive 4;
  }}
  server {{
    listen 127.0.0.1:{port};
    client_max_body_size 64m;
    location / {{
      proxy_pass http://grouper;
      proxy_http_version 1.1;
      proxy_set_header Connection "";
      proxy_next_upstream error timeout http_502 http_503 non_idempotent;
      proxy_read_timeout 60s;
    }}
  }}
}}
"""


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def test_two_instances_behind_nginx_keep_answering_when_one_stops(serve, small_set, grouper_binary, tmp_path):
    nginx = shutil.which("nginx") or "/usr/sbin/nginx"
    if not os.access(nginx, os.X_OK):
        pytest.skip("no nginx")
    first, second = serve("--tables", small_set), serve("--tables", small_set)
    conf_dir = tmp_path / "nginx"
    conf_dir.mkdir()
    port = free_port()
    (conf_dir / "nginx.conf").write_text(NGINX_CONF.format(dir=conf_dir, first=first.port, second=second.port,
                                                           port=port))
    proxy = subprocess.Popen([nginx, "-p", str(conf_dir), "-c", str(conf_dir / "nginx.conf"), "-e",
                              str(conf_dir / "error.log")], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        url = f"http://127.0.0.1:{port}"
        deadline = time.monotonic() + 20
        while True:
            try:
                if requests.get(url + "/readyz", timeout=HTTP_TIMEOUT).status_code == 200:
                    break
            except requests.ConnectionError:
                pass
            assert proxy.poll() is None and time.monotonic() < deadline, (conf_dir / "error.log").read_text()
            time.sleep(0.05)
        data = b"".join((small_set / "tamv30.in").read_bytes().splitlines(keepends=True)[:50])
        expected = program_lines(grouper_binary, small_set, data)
        with requests.Session() as http:
            def check(count):
                for _ in range(count):
                    answer = http.post(url + "/v1/group", data=data, timeout=HTTP_TIMEOUT)
                    assert answer.status_code == 200 and answer.content == expected

            check(20)
            assert "POST /v1/group 200" in first.log_text() and "POST /v1/group 200" in second.log_text()
            assert first.stop() == 0
            check(20)
        assert second.log_text().count("POST /v1/group 200") > first.log_text().count("POST /v1/group 200")
    finally:
        proxy.terminate()
        try:
            proxy.wait(20)
        except subprocess.TimeoutExpired:
            proxy.kill()
            proxy.wait(20)
