#!/usr/bin/python3
"""A soak of grouper serve (not part of CI): mixed good and bad requests for
SECONDS (default 600) from 4 client threads against one server, with the
server's resident memory sampled every second.

Good requests (batches of 1 to 500 lines, JSON Lines, explain, tables,
metrics) must answer exactly what the program answers for them; bad ones
(unknown routes, wrong methods and content types, malformed JSON, bodies
over --max-body, garbage bytes on a raw socket) must get their status.  A
SIGHUP reload runs every 30 seconds.  It passes when the server never ends,
no good request fails, and memory stays flat: the peak resident size of the
second half exceeds the peak of its first quarter by at most 16 MiB.  Run it
against the sanitizer build:

    cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DGROUPER_SANITIZE=ON \\
          -DGROUPER_TESTS=OFF -DGROUPER_PYTHON=OFF
    cmake --build build-asan --target grouper grouper-tables
    nice -n 19 /usr/bin/python3 scripts/serve_soak.py --build build-asan --seconds 600
"""
import argparse
import os
import random
import re
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

import requests
import urllib3


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default="build")
    parser.add_argument("--seconds", type=float, default=600)
    parser.add_argument("--connections", type=int, default=64,
                        help="the server's connection workers (under the sanitizer each holds its own allocator cache)")
    args = parser.parse_args()
    grouper = os.path.join(args.build, "src", "grouper")
    tables_tool = os.path.join(args.build, "tools", "grouper-tables")
    base = "/dev/shm" if os.access("/dev/shm", os.W_OK) else None
    with tempfile.TemporaryDirectory(dir=base) as work:
        subprocess.run([tables_tool, "generate", "--seed", "5", "--profile", "realistic", "--episodes", "5000",
                        f"{work}/set"], check=True, stdout=subprocess.DEVNULL)
        lines = open(f"{work}/set/tamv30.in", "rb").read().splitlines(keepends=True)
        batches = []
        for size in (1, 2, 10, 100, 500):
            body = b"".join(random.Random(size).sample(lines, size))
            expected = subprocess.run([grouper, "--tables", f"{work}/set", "--input", "-", "--output", "-"],
                                      input=body, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                      check=True).stdout
            batches.append((body, expected))
        log = open(f"{work}/serve.log", "wb")
        # Under AddressSanitizer a small quarantine, so that freed memory held
        # back for checks does not read as growth; leaks end the run non-zero.
        env = dict(os.environ)
        env.setdefault("ASAN_OPTIONS", "quarantine_size_mb=16:detect_leaks=1")
        server = subprocess.Popen([grouper, "serve", "--tables", f"{work}/set", "--listen", "127.0.0.1:0",
                                   "--threads", "4", "--max-body", "200000",
                                   "--connections", str(args.connections)], stdout=subprocess.PIPE, stderr=log, env=env)
        try:
            port = int(re.match(rb"listening on http://127\.0\.0\.1:(\d+)", server.stdout.readline()).group(1))
            url = f"http://127.0.0.1:{port}"
            counts = {"good": 0, "bad": 0, "failed": 0}
            lock = threading.Lock()
            stop = time.monotonic() + args.seconds
            failures = []

            def expect(ok, what):
                with lock:
                    counts["good" if ok is None else ("bad" if ok else "failed")] += 1
                    if ok is False:
                        failures.append(what)

            def client(seed):
                rng = random.Random(seed)
                http = requests.Session()
                # A connection the server closes for idleness just as a request
                # goes out on it is dropped by the client, not answered: retry
                # such a request once on a new connection, as clients do.
                retry = requests.adapters.HTTPAdapter(max_retries=urllib3.util.Retry(
                    total=1, connect=1, read=1, status=0, allowed_methods=None, raise_on_redirect=False))
                http.mount("http://", retry)
                while time.monotonic() < stop:
                    kind = rng.randrange(10)
                    try:
                        if kind < 4:
                            body, expected = rng.choice(batches)
                            a = http.post(url + "/v1/group", data=body, timeout=60)
                            expect(None if a.status_code == 200 and a.content == expected else False, "group")
                        elif kind == 4:
                            a = http.post(url + "/v1/group?format=jsonl", data=batches[2][0], timeout=60)
                            expect(None if a.status_code == 200 and a.content.count(b"\n") == 10 else False, "jsonl")
                        elif kind == 5:
                            a = http.post(url + "/v1/explain", data=batches[0][0], timeout=60)
                            expect(None if a.status_code == 200 and a.json()["result"] else False, "explain")
                        elif kind == 6:
                            for path in ("/v1/tables", "/metrics", "/healthz", "/readyz", "/openapi.json", "/"):
                                a = http.get(url + path, timeout=60)
                                expect(None if a.status_code == 200 else False, path)
                        elif kind == 7:
                            checks = [(http.get, "/v1/nothing", None, {}, 404), (http.get, "/v1/group", None, {}, 405),
                                      (http.post, "/v1/group", b"x", {"Content-Type": "image/png"}, 415),
                                      (http.post, "/v1/explain", b"{", {"Content-Type": "application/json"}, 400),
                                      (http.post, "/v1/group?format=bad", b"x", {}, 400),
                                      (http.post, "/v1/group", b"x" * 200001, {}, 413)]
                            call, path, body, headers, status = rng.choice(checks)
                            a = call(url + path, data=body, headers=headers, timeout=60) if body is not None else \
                                call(url + path, timeout=60)
                            expect(a.status_code == status, f"{path} {a.status_code} != {status}")
                        else:
                            with socket.create_connection(("127.0.0.1", port), timeout=30) as raw:
                                raw.sendall(bytes(rng.randrange(256) for _ in range(rng.randrange(1, 300))) +
                                            b"\r\n\r\n")
                                while raw.recv(4096):
                                    pass
                            expect(True, "garbage")
                    except (requests.RequestException, OSError) as e:
                        expect(False, f"{kind}: {e}")
                        http = requests.Session()

            threads = [threading.Thread(target=client, args=(i,)) for i in range(4)]
            for t in threads:
                t.start()
            samples = []
            started = time.monotonic()
            last_reload = started
            while any(t.is_alive() for t in threads):
                if server.poll() is not None:
                    break
                samples.append((time.monotonic() - started, rss_kib(server.pid)))
                if time.monotonic() - last_reload > 30:
                    server.send_signal(signal.SIGHUP)
                    last_reload = time.monotonic()
                time.sleep(1)
            for t in threads:
                t.join(120)
        finally:
            alive = server.poll() is None
            if alive:
                server.send_signal(signal.SIGTERM)
            status = server.wait(60)
            log.close()
        duration = args.seconds
        first = max((kib for t, kib in samples if t <= duration / 4), default=0)
        second = max((kib for t, kib in samples if t >= duration / 2), default=0)
        print(f"soak: {duration:.0f} s, {counts['good']} good and {counts['bad']} bad requests answered as they "
              f"should be, {counts['failed']} not; server alive to the end: {alive}, exit status {status}")
        print(f"soak: peak RSS first quarter {first} KiB, second half {second} KiB, growth {second - first} KiB")
        timeline = [kib for _, kib in samples[:: max(1, len(samples) // 10)]]
        print("soak: RSS KiB every tenth of the run:", " ".join(map(str, timeline)))
        for what in failures[:10]:
            print("soak: failed:", what)
        ok = alive and status == 0 and counts["failed"] == 0 and second - first <= 16 * 1024
        if not ok:
            print("soak: FAILED; the last lines of the server log:")
            print(open(f"{work}/serve.log", errors="replace").read()[-3000:])
        return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
