"""HTTP checks under writers: `zarn-roles serve` in its own process on 127.0.0.1 with a token,
a matrix of ROLES roles, and three kinds of clients:

- a check client: one keep-alive connection (http.client), POST .../check one after
  another (a closed loop), latency of each and checks per second;
- a writer: grants and revokes through the HTTP API at RATE changes a second (an open loop:
  each write is sent at its time, or at once when the one before ended late), latency of
  each and the rate reached;
- STREAMS event-stream clients (GET .../events), each reading and discarding what comes.

Phase 1: the check client alone (the figure with nothing writing). Phase 2: the writer and
the streams beside the check client, for as long. Writer and streams run in a process of
their own; client and server share the machine's cores (the load average is reported).

    python bench/http_writers.py [--roles 100000] [--seconds 20] [--shapes layered,cross]
                                 [--stores sqlite,postgresql] [--postgres URL] [--no-write]

Shapes (bench/run.py): "layered", ten levels, each role containing two of the next; "cross",
the same with one more link from every role to a role two to five levels further down (not
tuned for). Answers: every check's answer is compared with the plain-Python model's
(tests/model.py) of the stored matrix. The writer toggles one pair on a sub-role of the
checked leaf; the checks that ask for it are verified against the state of the version
the answer reports (asked only when answers carry their version); every other check asks
for pairs no write touches. Exit status 2 on a wrong answer. The targets are marked met or
missed (bench/verdict.py); a Markdown section goes into bench/RESULTS.md.
"""

from __future__ import annotations

import argparse
import http.client
import json
import multiprocessing
import os
import selectors
import socket
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "tests"))

import model  # noqa: E402
import run  # noqa: E402
import sections  # noqa: E402
import verdict  # noqa: E402
import zarn_engine  # noqa: E402
import zarn_user.role_matrix as rm  # noqa: E402

TOKEN = "bench-token"
APP = "bench"
LIVE = ("live", "read")  # the pair the writer grants and revokes
JSON = {"Content-Type": "application/json"}


# --- the matrix and its expected answers ----------------------------------------------------


def build(url: str, shape: str, n: int) -> dict:
    """Stores the matrix; returns the checks {name: (roles, obj, act)}, each answer the
    model's, and the role the writer changes."""
    _, groups, policies, top, leaf = run.make_graph(shape, n)
    engine = zarn_engine.open_engine(url)
    ps, gs = run.stored(rm, groups, policies)
    rm.RoleMatrix(name=APP, policies=ps, groups=gs).save(engine=engine)
    engine.close()
    subs = [c for p, c in groups if p == leaf]
    grants: dict[str, list[tuple[str, str]]] = {}
    for s, o, a in policies:
        grants.setdefault(s, []).append((o, a))
    deepest = policies[-1]
    first_level = [c for p, c in groups if p == top][0]
    checks = {
        "leaf, held": ([leaf], *grants[subs[-1]][0]),
        "top, held deep": ([top], deepest[1], deepest[2]),
        "mid-level, not held": ([first_level], grants[top][0][0], "nothing"),
        "leaf, not held": ([leaf], grants[first_level][0][0], grants[first_level][0][1]),
    }
    b = model.RoleMatrix(name=APP, policies=[model.Policy(sub=s, obj=o, act=a) for s, o, a in policies],
                         groups=[model.Group(child=c, parent=p) for c, p in groups])
    expected = {}
    for name, (roles, obj, act) in checks.items():
        held = {(p["obj"], p["act"]) for p in b.get_implicit_permissions_for_roles(roles).to_display()["permissions"]}
        expected[name] = (obj, act) in held
    live_held = {(p["obj"], p["act"]) for p in b.get_implicit_permissions_for_roles([leaf]).to_display()["permissions"]}
    assert LIVE not in live_held
    return {"checks": checks, "expected": expected, "writer_role": subs[0], "leaf": leaf}


# --- the server ---------------------------------------------------------------------------


def start_server(url: str) -> tuple[subprocess.Popen, str, int]:
    server = subprocess.Popen([sys.executable, "-m", "zarn_user.cli", "--db", url, "serve", "--port", "0",
                               "--token", TOKEN], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    line = server.stdout.readline()
    if "http://" not in line:
        server.kill()
        raise RuntimeError(f"the server did not start: {line}{server.stderr.read()[-2000:]}")
    host, port = line.split("http://", 1)[1].split("/", 1)[0].rsplit(":", 1)
    return server, host, int(port)


def cpu_seconds(pid: int) -> float:
    """User and system CPU time of a process and its threads so far."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def percentile(values: list[float], p: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(p / 100 * len(ordered)))] if ordered else float("nan")


# --- clients ------------------------------------------------------------------------------


def check_loop(host: str, port: int, asks: list[tuple[str, bytes]], seconds: float,
               expected: dict[str, bool]) -> tuple[list[float], list[tuple[int, bool]]]:
    """Checks one after another for `seconds`: the latencies, and (version, answer) of the
    checks of the changing pair (verified later against the writer's record)."""
    conn = http.client.HTTPConnection(host, port, timeout=30)
    path = f"/api/v1/apps/{APP}/check"
    latencies: list[float] = []
    changing: list[tuple[int, bool]] = []
    end = time.monotonic() + seconds
    i = 0
    while True:
        name, body = asks[i % len(asks)]
        i += 1
        start = time.perf_counter()
        conn.request("POST", path, body, JSON)
        response = conn.getresponse()
        data = response.read()
        latencies.append(time.perf_counter() - start)
        if response.status != 200:
            verdict.same(f"check {name}: HTTP status", response.status, 200)
        answer = json.loads(data)
        if name == "live":
            changing.append((answer["version"], answer["allowed"]))
        else:
            verdict.same(f"check {name}", answer["allowed"], expected[name])
        if time.monotonic() >= end:
            break
    conn.close()
    return latencies, changing


def open_streams(host: str, port: int, count: int) -> list[socket.socket]:
    streams = []
    for _ in range(count):
        s = socket.create_connection((host, port), timeout=30)
        s.sendall(f"GET /api/v1/apps/{APP}/events HTTP/1.1\r\nHost: {host}\r\nAccept: text/event-stream\r\n\r\n"
                  .encode())
        streams.append(s)
    return streams


def consume(streams: list[socket.socket], stop: float, counts: list[int], first: bool = False) -> None:
    """Reads every stream until `stop` (monotonic), counting the version events; `first`:
    return once every stream gave one."""
    sel = selectors.DefaultSelector()
    tails = [b""] * len(streams)
    for n, s in enumerate(streams):
        s.setblocking(False)
        sel.register(s, selectors.EVENT_READ, n)
    try:
        while time.monotonic() < stop:
            if first and all(counts):
                return
            for key, _ in sel.select(timeout=0.05):
                n = key.data
                try:
                    chunk = key.fileobj.recv(65536)
                except BlockingIOError:
                    continue
                if not chunk:
                    raise RuntimeError("an event stream was closed by the server")
                text = tails[n] + chunk
                counts[n] += text.count(b"event: version")
                tails[n] = text[-20:]
    finally:
        sel.close()


def writer_process(host: str, port: int, streams: int, rate: float, seconds: float, role: str,
                   ready: multiprocessing.Event, go: multiprocessing.Event, out: multiprocessing.Queue) -> None:
    """The writer and the event streams: opens the streams, waits for their first event,
    says ready, writes at `rate` from `go` for `seconds`, then reports."""
    import threading

    socks = open_streams(host, port, streams)
    counts = [0] * streams
    consume(socks, time.monotonic() + 60, counts, first=True)
    if not all(counts):
        raise RuntimeError("an event stream gave no first event within 60 s")
    counts = [0] * streams
    reader = threading.Thread(target=consume, args=(socks, time.monotonic() + seconds + 40, counts), daemon=True)
    reader.start()
    ready.set()
    go.wait()
    conn = http.client.HTTPConnection(host, port, timeout=30)
    path = f"/api/v1/apps/{APP}/roles/{role}/grants"
    headers = {**JSON, "Authorization": f"Bearer {TOKEN}"}
    body = json.dumps({"obj": LIVE[0], "act": LIVE[1]}).encode()
    writes: list[tuple[float, float, int, bool]] = []  # (sent, latency, version, granted after)
    start = time.monotonic()
    k = 0
    while True:
        due = start + k / rate
        now = time.monotonic()
        if due >= start + seconds:
            break
        if due > now:
            time.sleep(due - now)
        grant = k % 2 == 0
        sent = time.perf_counter()
        conn.request("POST" if grant else "DELETE", path, body, headers)
        response = conn.getresponse()
        data = response.read()
        latency = time.perf_counter() - sent
        if response.status != 200:
            raise RuntimeError(f"write {k} answered {response.status}: {data[:300]!r}")
        writes.append((time.monotonic() - start, latency, json.loads(data)["version"], grant))
        k += 1
    elapsed = time.monotonic() - start
    conn.close()
    time.sleep(1.0)  # the last change's events
    out.put({"writes": writes, "elapsed": elapsed, "events": list(counts)})
    for s in socks:
        s.close()


# --- one run ------------------------------------------------------------------------------


def run_store(url: str, store: str, shape: str, n: int, seconds: float, rate: float, streams: int,
              profile: str | None = None, profile_mode: str = "gil") -> dict:
    print(f"-- {store}, {shape}, {n:,} roles: building", flush=True)
    t = time.perf_counter()
    setup = build(url, shape, n)
    print(f"   built and modelled in {time.perf_counter() - t:.1f} s", flush=True)
    server, host, port = start_server(url)
    try:
        conn = http.client.HTTPConnection(host, port, timeout=120)
        asks = []
        for name, (roles, obj, act) in setup["checks"].items():
            asks.append((name, json.dumps({"roles": roles, "obj": obj, "act": act}).encode()))
        conn.request("POST", f"/api/v1/apps/{APP}/check", asks[0][1], JSON)  # loads the matrix
        first = json.loads(conn.getresponse().read())
        versioned = "version" in first
        if versioned:
            asks.append(("live", json.dumps({"roles": [setup["leaf"]], "obj": LIVE[0], "act": LIVE[1]}).encode()))
        # One grant and its revoke: the server's writer copy is loaded before the timing.
        path = f"/api/v1/apps/{APP}/roles/{setup['writer_role']}/grants"
        headers = {**JSON, "Authorization": f"Bearer {TOKEN}"}
        body = json.dumps({"obj": LIVE[0], "act": LIVE[1]}).encode()
        for method in ("POST", "DELETE"):
            conn.request(method, path, body, headers)
            response = conn.getresponse()
            answer = json.loads(response.read())
            assert response.status == 200, answer
        base_version = answer["version"]
        conn.close()
        check_loop(host, port, asks, 2.0, setup["expected"])  # warm-up
        time.sleep(1.0)

        cpu0, load0 = cpu_seconds(server.pid), os.getloadavg()[0]
        lat1, changing1 = check_loop(host, port, asks, seconds, setup["expected"])
        cpu1, load1 = cpu_seconds(server.pid), os.getloadavg()[0]
        verify(changing1, [], base_version)
        print(f"   phase 1: {len(lat1) / seconds:.0f} checks/s, p50 {percentile(lat1, 50) * 1e3:.3f} ms, "
              f"p99 {percentile(lat1, 99) * 1e3:.2f} ms, server {(cpu1 - cpu0) / seconds:.2f} cores, load {load1:.1f}",
              flush=True)

        ctx = multiprocessing.get_context("fork")
        ready, go, out = ctx.Event(), ctx.Event(), ctx.Queue()
        proc = ctx.Process(target=writer_process, args=(host, port, streams, rate, seconds, setup["writer_role"],
                                                        ready, go, out))
        proc.start()
        if not ready.wait(120):
            proc.kill()
            raise RuntimeError("the event streams did not open")
        cpu2 = cpu_seconds(server.pid)
        spy = None
        if profile:  # samples of the server's threads during phase 2 (py-spy: the thread holding the interpreter
            # lock, or every thread, waiting ones included)
            spy = subprocess.Popen(["py-spy", "record", "-p", str(server.pid), "-d", str(int(seconds)), "-r", "200",
                                    "--threads", "--gil" if profile_mode == "gil" else "--idle", "-f", "raw",
                                    "-o", f"{profile}-{store}-{shape}.txt"], stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)
        go.set()
        lat2, changing2 = check_loop(host, port, asks, seconds, setup["expected"])
        load2 = os.getloadavg()[0]
        result = out.get(timeout=seconds + 120)
        if spy is not None:
            spy.wait(60)
        proc.join(30)
        cpu3 = cpu_seconds(server.pid)
        writes = result["writes"]
        verify(changing2, writes, base_version)
        wlat = [w[1] for w in writes]
        print(f"   phase 2: {len(lat2) / seconds:.0f} checks/s, p50 {percentile(lat2, 50) * 1e3:.3f} ms, "
              f"p99 {percentile(lat2, 99) * 1e3:.2f} ms; writes {len(writes) / result['elapsed']:.1f}/s, "
              f"p50 {percentile(wlat, 50) * 1e3:.1f} ms, p99 {percentile(wlat, 99) * 1e3:.1f} ms; "
              f"events per stream {min(result['events'])}-{max(result['events'])}; "
              f"server {(cpu3 - cpu2) / seconds:.2f} cores, load {load2:.1f}", flush=True)
    finally:
        server.terminate()
        try:
            server.wait(10)
        except subprocess.TimeoutExpired:
            server.kill()
    return {
        "store": store, "shape": shape, "roles": n, "seconds": seconds, "versioned": versioned,
        "idle": {"rate": len(lat1) / seconds, "p50": percentile(lat1, 50), "p99": percentile(lat1, 99),
                 "cpu": (cpu1 - cpu0) / seconds, "load": (load0 + load1) / 2},
        "busy": {"rate": len(lat2) / seconds, "p50": percentile(lat2, 50), "p99": percentile(lat2, 99),
                 "cpu": (cpu3 - cpu2) / seconds, "load": load2,
                 "writes": len(writes), "write_rate": len(writes) / result["elapsed"],
                 "w50": percentile(wlat, 50), "w99": percentile(wlat, 99), "wmax": max(wlat),
                 "events": result["events"], "changing": len(changing2)},
    }


def verify(changing: list[tuple[int, bool]], writes: list[tuple[float, float, int, bool]], base: int) -> None:
    """Each answer about the changing pair against the state of the version it reports:
    granted after the writer's grants, not after its revokes and before any."""
    states = sorted([(base, False)] + [(w[2], w[3]) for w in writes])
    import bisect

    versions = [v for v, _ in states]
    for version, allowed in changing:
        at = bisect.bisect_right(versions, version) - 1
        verdict.same(f"check of the changing pair at version {version}", allowed,
                     states[at][1] if at >= 0 else False)


# --- the report ---------------------------------------------------------------------------


def earlier_rows() -> list[str]:
    """The table rows of this bench's section in bench/RESULTS.md as they stand."""
    if not os.path.exists(sections.RESULTS):
        return []
    text = open(sections.RESULTS, encoding="utf-8").read()
    begin, end = "<!-- begin http-writers -->", "<!-- end http-writers -->"
    if begin not in text:
        return []
    section = text.split(begin, 1)[1].split(end, 1)[0]
    return [line for line in section.splitlines() if line.startswith(("| SQLite,", "| PostgreSQL,"))]


def ms(t: float) -> str:
    return f"{t * 1e3:.2f} ms" if t < 0.1 else f"{t * 1e3:.0f} ms"


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--roles", type=int, default=100_000)
    ap.add_argument("--seconds", type=float, default=20.0, help="length of each phase")
    ap.add_argument("--rate", type=float, default=10.0, help="writes a second in phase 2")
    ap.add_argument("--streams", type=int, default=10)
    ap.add_argument("--shapes", default="layered,cross")
    ap.add_argument("--stores", default="sqlite,postgresql")
    ap.add_argument("--postgres", default=os.environ.get("ZARN_TEST_POSTGRES_URL"))
    ap.add_argument("--profile", metavar="PREFIX", help="sample the server in phase 2 with py-spy into PREFIX-*.txt")
    ap.add_argument("--profile-mode", choices=("gil", "wall"), default="gil",
                    help="gil: samples of the thread holding the interpreter lock; wall: of every thread")
    ap.add_argument("--no-write", action="store_true", help="print only, leave RESULTS.md and targets.json alone")
    args = ap.parse_args()
    results = []
    schemas = []
    tmp = tempfile.mkdtemp(prefix="zarn-writers-")
    try:
        for store in args.stores.split(","):
            for shape in args.shapes.split(","):
                if store == "sqlite":
                    url = os.path.join(tmp, f"{shape}.sqlite3")
                elif not args.postgres:
                    print("-- PostgreSQL skipped: no --postgres URL nor $ZARN_TEST_POSTGRES_URL", flush=True)
                    continue
                else:
                    import change_parts

                    schema = f"writers_{os.getpid()}_{shape}"
                    url = change_parts.postgres_url(args.postgres, schema)
                    schemas.append(schema)
                results.append(run_store(url, store, shape, args.roles, args.seconds, args.rate, args.streams,
                                       args.profile, args.profile_mode))
    finally:
        import shutil

        shutil.rmtree(tmp, ignore_errors=True)
        change_parts.drop_schemas(args.postgres, schemas)
    names = {"sqlite": "SQLite", "postgresql": "PostgreSQL"}
    table = ["| store, shape | phase | checks/s | check p50 | check p99 | writes/s | write p50 | write p99 (max) "
             "| server CPU | load average |", "|---|---|---:|---:|---:|---:|---:|---:|---:|---:|"]
    figures: list[verdict.Figure] = []
    for r in results:
        i, b = r["idle"], r["busy"]
        label = f"{names[r['store']]}, {r['shape']}"
        table.append(f"| {label} | nothing writing | {i['rate']:,.0f} | {ms(i['p50'])} | {ms(i['p99'])} | - | - | - "
                     f"| {i['cpu']:.2f} | {i['load']:.1f} |")
        table.append(f"| {label} | {args.rate:g} writes/s, {args.streams} streams | {b['rate']:,.0f} | {ms(b['p50'])} "
                     f"| {ms(b['p99'])} | {b['write_rate']:.1f} | {ms(b['w50'])} | {ms(b['w99'])} ({ms(b['wmax'])}) "
                     f"| {b['cpu']:.2f} | {b['load']:.1f} |")
        what = f"HTTP under writers, {names[r['store']]}, {r['shape']}, {r['roles']:,} roles"
        key = f"http-writers/{r['store']} {r['shape']} {r['roles']}"
        figures += [
            verdict.Figure(verdict.Target(f"{key} check p50", f"{what}: check p50", "≤", 1e-3, "s"), b["p50"]),
            verdict.Figure(verdict.Target(f"{key} check p99", f"{what}: check p99", "≤", 10e-3, "s"), b["p99"]),
            verdict.Figure(verdict.Target(f"{key} checks/s", f"{what}: checks/s against nothing writing", "≥", 0.5,
                                          "×"), b["rate"] / i["rate"]),
            verdict.Figure(verdict.Target(f"{key} write p99", f"{what}: write p99", "≤", 50e-3, "s"), b["w99"]),
            verdict.Figure(verdict.Target(f"{key} write rate", f"{what}: writes a second sustained", "≥",
                                          0.95 * args.rate, "/s", goal_shown=f"{args.rate:g}/s"), b["write_rate"],
                           shown=f"{b['write_rate']:.1f}/s"),
        ]
    # Rows of stores and shapes not measured in this run stay as the last run left them.
    measured = {f"| {names[r['store']]}, {r['shape']} |" for r in results}
    kept = [line for line in earlier_rows() if not any(line.startswith(m) for m in measured)]
    table[2:2] = kept
    checked = ", ".join(f"{r['busy']['changing']:,}" for r in results)
    text = "\n".join([
        "## HTTP under writers",
        "",
        f"`bench/http_writers.py`: `zarn-roles serve` in its own process on 127.0.0.1 with a token, a matrix of "
        f"{args.roles:,} roles (bench/run.py's shapes: layered, and with links across levels). One check client "
        f"on a keep-alive connection in a closed loop (four checks in turn, {{leaf, top}} × {{held, not held}}"
        + (", and a fifth of the pair the writer changes, verified against the version each answer reports"
           f" ({checked} such answers)" if results and all(r["versioned"] for r in results) else "")
        + f"); phase 1 with nothing else, phase 2 with a writer granting and revoking through the API at "
        f"{args.rate:g} changes/s and {args.streams} open event streams read by a client, {args.seconds:g} s each. "
        f"Server CPU: cores the server process used during the phase. Every answer is the model's. "
        f"{os.cpu_count()} cores shared by client, server and other work (the load average of the phase).",
        "",
        *table,
    ])
    print(text)
    verdict.report("http_writers.py", figures, path=None if args.no_write else verdict.FIGURES)
    if not args.no_write:
        sections.write("http-writers", text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
