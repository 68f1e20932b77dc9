"""Latency of a check over HTTP: `zarn-roles serve` in its own process on 127.0.0.1, one
client on a keep-alive connection (http.client) sending POST .../check one after another.
Beside it, the same check in process (what the server computes per request) and a batch of
checks in one request.

    python bench/http_check.py [--roles 1000] [--requests 3000]

Every answer the server gave for a check is compared with the plain-Python model's (exit
status 2 on a difference), and the latency targets are marked met or missed
(bench/verdict.py). Prints a Markdown table and writes it into bench/RESULTS.md.
"""

from __future__ import annotations

import argparse
import http.client
import json
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "tests"))

import model  # noqa: E402
import verdict  # noqa: E402
import zarn_engine  # noqa: E402
import zarn_user.role_matrix as rm  # noqa: E402

from zarn_user.web.console import Console  # noqa: E402

import sections  # noqa: E402


def build(path: str, roles: int) -> None:
    """A layered hierarchy of `roles` roles, 10 levels; top contains level 0, each role two
    of the next level; two permissions a role."""
    engine = zarn_engine.open_engine(path)
    per = roles // 10
    groups = [rm.Group(child="top", parent=f"r0_{i}") for i in range(per)]
    for level in range(9):
        for i in range(per):
            for j in dict.fromkeys(((2 * i) % per, (2 * i + 1) % per)):
                groups.append(rm.Group(child=f"r{level}_{i}", parent=f"r{level + 1}_{j}"))
    policies = [rm.Policy(sub=f"r{lv}_{i}", obj=f"o{lv}_{i}", act=a)
                for lv in range(10) for i in range(per) for a in ("read", "write")]
    rm.RoleMatrix(name="bench", policies=policies, groups=groups).save(engine=engine)
    engine.close()


def model_answers(path: str, checks: dict) -> dict[str, bool]:
    """Whether each check's roles hold its permission, by the plain-Python model of the
    stored matrix."""
    engine = zarn_engine.open_engine(path)
    stored = rm.RoleMatrix.load("bench", engine=engine)
    engine.close()
    b = model.RoleMatrix(name="bench", policies=[model.Policy(**p.to_display()) for p in stored.policies],
                         groups=[model.Group(**g.to_display()) for g in stored.groups])
    held = {}
    for name, (roles, obj, act) in checks.items():
        pairs = {(p["obj"], p["act"]) for p in b.get_implicit_permissions_for_roles(roles).to_display()["permissions"]}
        held[name] = (obj, act) in pairs
    return held


def percentile(values: list[float], p: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(p / 100 * len(ordered)))]


def timed(conn: http.client.HTTPConnection, path: str, body: bytes | None, count: int) -> list[float]:
    headers = {"Content-Type": "application/json"} if body is not None else {}
    out = []
    for _ in range(count):
        start = time.perf_counter()
        conn.request("POST" if body is not None else "GET", path, body, headers)
        response = conn.getresponse()
        data = response.read()
        out.append(time.perf_counter() - start)
        assert response.status == 200, data
    return out


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--roles", type=int, default=1000)
    parser.add_argument("--requests", type=int, default=3000)
    parser.add_argument("--no-write", action="store_true", help="print only, leave RESULTS.md alone")
    args = parser.parse_args()
    checks = {  # name: (roles, obj, act), each allowed
        "leaf": (["r8_0"], "o9_0", "read"),
        "top, deep": (["top"], "o9_1", "write"),
    }
    rows = []
    with tempfile.TemporaryDirectory() as tmp:
        db = os.path.join(tmp, "bench.sqlite3")
        build(db, args.roles)
        expected = model_answers(db, checks)

        # In process: what one request computes, without HTTP.
        console = Console(zarn_engine.open_engine(db), None)
        snap = console.snapshot("bench")
        inproc = {}
        for name, (roles, obj, act) in checks.items():
            data = {"roles": roles, "obj": obj, "act": act}
            verdict.same(f"check {name} in process", console.check(snap, data)["allowed"], expected[name])
            n = 20000
            start = time.perf_counter()
            for _ in range(n):
                console.check(snap, data)
            inproc[name] = (time.perf_counter() - start) / n
        console.close()

        server = subprocess.Popen([sys.executable, "-m", "zarn_user.cli", "--db", db, "serve", "--port", "0"],
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        try:
            line = server.stdout.readline()
            address = line.split("http://", 1)[1].split("/", 1)[0]
            host, port = address.rsplit(":", 1)
            conn = http.client.HTTPConnection(host, int(port), timeout=10)
            timed(conn, "/api/v1", None, 300)
            lat = timed(conn, "/api/v1", None, args.requests)
            rows.append(("GET /api/v1 (the smallest answer: the HTTP floor)", statistics.median(lat),
                         percentile(lat, 99), None))
            for name, (roles, obj, act) in checks.items():
                body = json.dumps({"roles": roles, "obj": obj, "act": act}).encode()
                conn.request("POST", "/api/v1/apps/bench/check", body, {"Content-Type": "application/json"})
                verdict.same(f"check {name} over HTTP", json.loads(conn.getresponse().read())["allowed"],
                             expected[name])
                timed(conn, "/api/v1/apps/bench/check", body, 300)  # warm-up
                lat = timed(conn, "/api/v1/apps/bench/check", body, args.requests)
                rows.append((f"check, {name}", statistics.median(lat), percentile(lat, 99), inproc[name]))
            batch = json.dumps({"checks": [{"roles": r, "obj": o, "act": a} for r, o, a in checks.values()] * 50})
            timed(conn, "/api/v1/apps/bench/check-batch", batch.encode(), 50)
            lat = timed(conn, "/api/v1/apps/bench/check-batch", batch.encode(), max(100, args.requests // 10))
            rows.append(("check-batch of 100, per check", statistics.median(lat) / 100, percentile(lat, 99) / 100,
                         None))
            conn.close()
        finally:
            server.terminate()
            server.wait(10)

    import uvicorn

    def installed(name: str) -> bool:
        try:
            __import__(name)
            return True
        except ImportError:
            return False

    parser_name = "httptools" if installed("httptools") else "h11"
    loop_name = "uvloop" if installed("uvloop") else "asyncio"
    table = ["| request | p50 | p99 | in process |", "|---|---:|---:|---:|"]
    for name, p50, p99, inside in rows:
        table.append(f"| {name} | {p50 * 1e6:.0f} µs | {p99 * 1e6:.0f} µs | "
                     f"{'-' if inside is None else f'{inside * 1e6:.1f} µs'} |")
    text = "\n".join([
        "## HTTP API: check latency",
        "",
        f"`bench/http_check.py`: `zarn-roles serve` (uvicorn {uvicorn.__version__}, {loop_name}, {parser_name}) in its "
        f"own process on 127.0.0.1, one client on a keep-alive connection (`http.client`) sending "
        f"`POST /api/v1/apps/bench/check` one after another, {args.requests} timed requests after a warm-up; "
        f"a layered matrix of {args.roles} roles on SQLite. \"In process\": the same check without HTTP "
        f"on the indexed matrix (what the server computes for it). {platform.machine()}, {os.cpu_count()} cores "
        f"shared with other work (load average {os.getloadavg()[0]:.1f} at the end of the run).",
        "",
        *table,
    ])
    print(text)
    figures = []
    for name, p50, p99, _ in rows:
        if name.startswith("check, "):
            what = f"HTTP {name} on {args.roles:,} roles, nothing writing"
            figures += [(verdict.Target(f"http/{name} p50", f"{what}, p50", "≤", 1e-3, "s"), p50),
                        (verdict.Target(f"http/{name} p99", f"{what}, p99", "≤", 10e-3, "s"), p99)]
    verdict.report("http_check.py", figures, path=None if args.no_write else verdict.FIGURES)
    if not args.no_write:
        sections.write("http-check", text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
