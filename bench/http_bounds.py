"""Bounded work over HTTP: small checks while checks naming 10^5 roles run, and how long a
half-sent request holds its connection.

    python bench/http_bounds.py [--roles 100000] [--big 5]

`zarn-roles serve` in its own process on 127.0.0.1, on a layered matrix (bench/http_check.py's
shape). One client sends checks naming every role (the heaviest a check can be under the
default caps), one after another; another sends small checks meanwhile on its own connection,
timed. Twice: as served (large checks in a worker thread), and with every check answered on
the event loop (the server's threshold raised in the served process), for comparison. Then a
client sends half a request head and nothing more, and the time until the server answers 408
and closes is taken, with --header-timeout 2. Prints a Markdown table and writes it into
bench/RESULTS.md.
"""

from __future__ import annotations

import argparse
import http.client
import json
import os
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import http_check  # noqa: E402
import sections  # noqa: E402

TOKEN = "bench"
SERVE = ("import sys; from zarn_user.web import limits; limits.INLINE_WORK = int(sys.argv[1]); "
         "from zarn_user.cli import main; sys.exit(main(sys.argv[2:]))")


def serve(db: str, inline: int, *flags: str) -> tuple[subprocess.Popen[str], int]:
    server = subprocess.Popen([sys.executable, "-c", SERVE, str(inline), "--db", db, "serve", "--port", "0",
                               "--token", TOKEN, *flags], stdout=subprocess.PIPE, text=True)
    assert server.stdout is not None
    line = server.stdout.readline()
    port = int(line.split("http://127.0.0.1:")[1].split("/")[0])
    return server, port


def post(conn: http.client.HTTPConnection, body: bytes) -> tuple[int, bytes]:
    conn.request("POST", "/api/v1/apps/bench/check", body, {"Content-Type": "application/json",
                                                            "Authorization": f"Bearer {TOKEN}"})
    response = conn.getresponse()
    return response.status, response.read()


def alongside(port: int, big: bytes, count: int) -> tuple[list[float], list[float]]:
    """(seconds of each big check, seconds of each small check sent while they ran)."""
    small = json.dumps({"roles": ["r8_0"], "obj": "o9_0", "act": "read"}).encode()
    conn = http.client.HTTPConnection("127.0.0.1", port)
    for _ in range(200):
        post(conn, small)
    bigs: list[float] = []
    done = threading.Event()

    def heavy() -> None:
        other = http.client.HTTPConnection("127.0.0.1", port)
        post(other, big)  # warm-up
        for _ in range(count):
            start = time.perf_counter()
            status, data = post(other, big)
            bigs.append(time.perf_counter() - start)
            assert status == 200, data
        done.set()

    thread = threading.Thread(target=heavy)
    thread.start()
    smalls = []
    while not done.is_set():
        start = time.perf_counter()
        status, data = post(conn, small)
        smalls.append(time.perf_counter() - start)
        assert status == 200, data
    thread.join()
    return bigs, smalls


def half_sent(port: int) -> tuple[float, bytes]:
    with socket.create_connection(("127.0.0.1", port), timeout=60) as s:
        start = time.perf_counter()
        s.sendall(b"POST /api/v1/apps/bench/check HTTP/1.1\r\nHost: 127.0.0.1\r\n")
        answer = b""
        while chunk := s.recv(4096):
            answer += chunk
        return time.perf_counter() - start, answer.split(b"\r\n", 1)[0]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--roles", type=int, default=100_000)
    parser.add_argument("--big", type=int, default=5, help="checks naming every role, one after another")
    parser.add_argument("--no-write", action="store_true", help="print only, leave RESULTS.md alone")
    args = parser.parse_args()
    per = args.roles // 10
    names = ["top"] + [f"r{level}_{i}" for level in range(10) for i in range(per)]
    big = json.dumps({"roles": names[:100_000], "obj": "nothing", "act": "held"}).encode()
    rows = []
    with tempfile.TemporaryDirectory() as tmp:
        db = os.path.join(tmp, "bench.sqlite3")
        http_check.build(db, args.roles)
        for label, inline in (("served: large checks in a worker thread", 256),
                              ("every check on the event loop", 1 << 40)):
            server, port = serve(db, inline)
            try:
                bigs, smalls = alongside(port, big, args.big)
            finally:
                server.terminate()
                server.wait(10)
            rows.append(f"| {label} | {statistics.median(bigs) * 1e3:.0f} ms | {len(smalls)} | "
                        f"{statistics.median(smalls) * 1e3:.1f} ms | {http_check.percentile(smalls, 99) * 1e3:.0f} ms | "
                        f"{max(smalls) * 1e3:.0f} ms |")
        server, port = serve(db, 256, "--header-timeout", "2")
        try:
            held, answer = half_sent(port)
        finally:
            server.terminate()
            server.wait(10)
    text = "\n".join([
        "## HTTP API: bounded work",
        "",
        f"`bench/http_bounds.py`: `zarn-roles serve` in its own process on 127.0.0.1, a layered matrix of "
        f"{args.roles:,} roles on SQLite. One client sends {args.big} checks naming {len(names[:100_000]):,} roles "
        "each (the most the default cap takes; the body is 1.4 MB), one after another; a second client sends "
        "checks of one role on its own keep-alive connection meanwhile. The JSON parser and the index's "
        "walk hold the interpreter while they run, so a small check can still wait for a slice of them. "
        f"{os.cpu_count()} cores shared with other work (load average {os.getloadavg()[0]:.1f} at the end).",
        "",
        "| server | check naming 10^5 roles, p50 | small checks meanwhile | p50 | p99 | max |",
        "|---|---:|---:|---:|---:|---:|",
        *rows,
        "",
        f"Half a request head, then nothing (`--header-timeout 2`): answered `{answer.decode()}` and closed "
        f"after {held:.2f} s (before the head timeout, such a connection stayed open for as long as the client "
        "liked).",
    ])
    print(text)
    if not args.no_write:
        sections.write("http-bounds", text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
