"""Overhead of the FastAPI guard: a guarded route against the same route unguarded, for a
role with one permission and for the top role of a layered hierarchy of 10^5 roles (it
reaches the whole matrix), in strict and notify mode on a SQLite store.

    python bench/guard.py [--roles 100000] [--requests 1000] [--rounds 11] [--uvicorn]

Requests are driven in-process through the application's ASGI interface on one event loop
(what a server does after parsing, without the socket): rounds of the routes interleaved,
the best round per route (on a shared machine other work only adds time). CPU time (all threads of the process) is shown beside
wall time: on a shared machine it moves less. With --uvicorn the same routes are also
served by uvicorn in a process of its own on 127.0.0.1 and asked over one kept-alive
connection. The module's answers for the roles asked are checked against the plain-Python
model's (exit status 2 on a difference), and the overhead target is marked met or missed
(bench/verdict.py). Prints a Markdown table and writes it into bench/RESULTS.md.
"""

from __future__ import annotations

import argparse
import asyncio
import os
import shutil
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
from fastapi import Depends, FastAPI, Request  # noqa: E402

from zarn_user.fastapi import RoleGuard  # noqa: E402



def layered(n: int):
    """The layered hierarchy of bench/run.py: "top" contains ten levels, each role reaching two
    of the next; every role granted three to five actions on an object of its own."""
    from run import make_graph

    _, groups, policies, _, _ = make_graph("layered", n)
    return groups, policies


def build(url: str, roles: int) -> tuple[int, float]:
    """The application "shop": clerk holds invoice:read, top reaches every role; the number of
    pairs top holds, and the seconds its first answer took (what every check cost before
    answers were cached)."""
    engine = zarn_engine.open_engine(url)
    groups, policies = layered(roles)
    policies.append(("clerk", "invoice", "read"))
    groups.append(("r9_0", "clerk"))
    m = rm.RoleMatrix(name="shop", policies=[rm.Policy(sub=s, obj=o, act=a) for s, o, a in policies],
                      groups=[rm.Group(child=c, parent=p) for c, p in groups])
    m.save(engine)
    b = model.RoleMatrix(name="shop", policies=[model.Policy(sub=s, obj=o, act=a) for s, o, a in policies],
                         groups=[model.Group(child=c, parent=p) for c, p in groups])
    for role in ("clerk", "top", "r0_0"):
        verdict.same(f"implicit permissions of {role}", m.get_implicit_permissions_for_roles([role]).to_display(),
                     b.get_implicit_permissions_for_roles([role]).to_display())
    times = []
    for _ in range(3):
        start = time.perf_counter()
        held = m.get_implicit_permissions_for_roles(["top"])
        times.append(time.perf_counter() - start)
    engine.close()
    return len(held.permissions), min(times)


def make_app(url: str, mode: str) -> tuple[FastAPI, RoleGuard]:
    async def roles(request: Request):  # as an app reads what its login middleware found
        found = request.headers.get("x-roles")
        return found.split(",") if found else None

    guard = RoleGuard("shop", roles=roles, engine=url, consistency=mode)
    app = FastAPI()

    @app.get("/plain")
    async def plain():
        return {"ok": True}

    @app.get("/identified", dependencies=[Depends(roles)])
    async def identified():
        return {"ok": True}

    @app.get("/guarded", dependencies=[Depends(guard.require("invoice", "read"))])
    async def guarded():
        return {"ok": True}

    return app, guard


def scope(path: str, role: str) -> dict:
    return {"type": "http", "asgi": {"version": "3.0"}, "http_version": "1.1", "method": "GET", "scheme": "http",
            "path": path, "raw_path": path.encode(), "query_string": b"", "root_path": "",
            "headers": [(b"host", b"127.0.0.1"), (b"x-roles", role.encode())],
            "client": ("127.0.0.1", 50000), "server": ("127.0.0.1", 80)}


async def drive(app, path: str, role: str, n: int) -> tuple[float, float]:
    """Seconds of wall and CPU time per request, for n requests one after the other."""
    sent: list[dict] = []

    async def receive():
        return {"type": "http.request", "body": b"", "more_body": False}

    async def send(message):
        sent.append(message)

    s = scope(path, role)
    wall, cpu = time.perf_counter(), time.process_time()
    for _ in range(n):
        sent.clear()
        await app(s, receive, send)
        if sent[0]["status"] != 200:
            raise AssertionError(f"{path} as {role}: {sent[0]['status']}")
    return (time.perf_counter() - wall) / n, (time.process_time() - cpu) / n


async def in_process(app, guard, role: str, requests: int, rounds: int) -> dict:
    while guard.live.consistency == "notify" and not guard.live.listening:
        await asyncio.sleep(0.01)
    await asyncio.to_thread(guard.live.get, "shop")  # the document loaded: not the guard's cost
    first = (await drive(app, "/guarded", role, 1))[0]  # the first answer of this version
    await drive(app, "/guarded", role, 50)  # warm-up
    results: dict[str, list[tuple[float, float]]] = {"/plain": [], "/identified": [], "/guarded": []}
    for _ in range(rounds):
        for path in results:
            results[path].append(await drive(app, path, role, requests))
    out = {path: (min(w for w, _ in r), min(c for _, c in r)) for path, r in results.items()}
    out["first"] = (first, 0.0)
    return out


def serve(url: str, mode: str) -> None:
    """Child process: the app on uvicorn, on a free port of 127.0.0.1 that it prints."""
    import socket

    import uvicorn

    app, _ = make_app(url, mode)
    with socket.socket() as probe:  # a free port (uvicorn's own socket sets TCP_NODELAY)
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    print(port, flush=True)
    uvicorn.run(app, host="127.0.0.1", port=port, log_level="warning", access_log=False)


def over_uvicorn(url: str, mode: str, role: str, requests: int, rounds: int) -> dict:
    """The routes served by uvicorn in a process of its own, asked over one kept-alive
    connection from this one."""
    import subprocess

    import httpx

    server = subprocess.Popen([sys.executable, __file__, "--serve", url, mode], stdout=subprocess.PIPE, text=True)
    try:
        port = int(server.stdout.readline())
        with httpx.Client(base_url=f"http://127.0.0.1:{port}", headers={"x-roles": role}, timeout=300) as client:
            for _ in range(200):
                try:
                    client.get("/plain")
                    break
                except httpx.TransportError:
                    time.sleep(0.05)
            for _ in range(50):
                client.get("/guarded").raise_for_status()
            results: dict[str, list[float]] = {"/plain": [], "/guarded": []}
            for _ in range(rounds):
                for path in results:
                    start = time.perf_counter()
                    for _ in range(requests):
                        client.get(path).raise_for_status()
                    results[path].append((time.perf_counter() - start) / requests)
        return {path: min(r) for path, r in results.items()}
    finally:
        server.terminate()
        server.wait(timeout=30)


def us(seconds: float) -> str:
    return f"{seconds * 1e6:.0f} µs"


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--roles", type=int, default=100_000)
    ap.add_argument("--requests", type=int, default=1000)
    ap.add_argument("--rounds", type=int, default=11)
    ap.add_argument("--uvicorn", action="store_true")
    ap.add_argument("--serve", nargs=2, metavar=("URL", "MODE"), help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.serve:
        return serve(*args.serve)
    tmp = tempfile.mkdtemp(prefix="zarn-bench-guard-")
    lines: list[str] = []

    def out(line: str) -> None:
        print(line, flush=True)
        lines.append(line)

    try:
        url = os.path.join(tmp, "roles.sqlite3")
        pairs, first = build(url, args.roles)
        out("## Guard overhead (FastAPI)\n")
        out(f"`bench/guard.py`: a FastAPI route guarded by `Depends(guard.require(\"invoice\", \"read\"))`, "
            "the caller's roles from a dependency reading a request header, against the same route without guard (no "
            "dependency at all) and with that dependency alone (\"identified\": what reading the "
            f"caller costs without any check), on a SQLite store holding a layered hierarchy of {args.roles:,} roles. "
            f"\"top\" reaches the whole matrix ({pairs:,} permissions): the module's answer for it takes "
            f"{first * 1000:.0f} ms, which every check paid before answers were cached; now the first "
            "request for a role set after each change of the matrix pays it, in the thread pool (column "
            "\"first request\", with the document already loaded; for the first role of a version it holds "
            "the guard's set-up of the version too: the roles the matrix holds). Requests through the ASGI interface on one event loop, "
            f"{args.rounds} interleaved rounds of {args.requests:,} requests per route, the best round per "
            "route (other work on a shared machine only adds time); CPU: process time of all threads per "
            "request. Target: overhead ≤ 100 µs.\n")
        out("| mode | role | unguarded | identified | guarded | overhead (wall) | overhead (CPU) "
            "| the check alone (CPU) | first request |")
        out("|---|---|---:|---:|---:|---:|---:|---:|---:|")
        apps = {}
        figures = []
        for mode in ("notify", "strict"):
            app, guard = apps[mode] = make_app(url, mode)
            for role in ("clerk", "top"):
                r = asyncio.run(in_process(app, guard, role, args.requests, args.rounds))
                (pw, pc), (iw, ic), (gw, gc) = r["/plain"], r["/identified"], r["/guarded"]
                out(f"| {mode} | {role} | {us(pw)} | {us(iw)} | {us(gw)} | {us(gw - pw)} | {us(gc - pc)} "
                    f"| {us(gc - ic)} | {r['first'][0] * 1000:.1f} ms |")
                figures.append((verdict.Target(f"guard/{mode} {role}", f"FastAPI guard overhead (CPU), {mode}, {role}",
                                               "≤", 100e-6, "s"), gc - pc))
        out("\nOverhead: guarded less unguarded; the check alone: guarded less identified. notify: the answer is given on the event loop (no store read, cached); strict: one store "
            "check per request, in the thread pool, so the overhead is mostly the hand-over to a "
            "worker thread and back.")
        if args.uvicorn:
            out("\nThe same served by uvicorn in a process of its own on 127.0.0.1, asked over one kept-alive "
                "httpx connection (the client's time included):\n")
            out("| mode | role | unguarded | guarded | overhead |")
            out("|---|---|---:|---:|---:|")
            for mode in apps:
                for role in ("clerk", "top"):
                    r = over_uvicorn(url, mode, role, max(args.requests // 2, 100), args.rounds)
                    out(f"| {mode} | {role} | {us(r['/plain'])} | {us(r['/guarded'])} | "
                        f"{us(r['/guarded'] - r['/plain'])} |")
        for _, guard in apps.values():
            guard.close()
        verdict.report("guard.py", figures, note=f"{args.roles:,} roles")
        import sections

        sections.write("guard", "\n".join(lines))
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
