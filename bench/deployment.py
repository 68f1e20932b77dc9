"""Deployment scenario: worker processes answer queries from live documents while a writer
changes the document ten times a second. Measures queries per second per worker and how
long after a commit workers still answered with older data (staleness), on SQLite and
PostgreSQL, in strict and notify mode, beside the cost of a plain in-memory query.

    python bench/deployment.py [--seconds 5] [--workers 4] [--postgres URL]

Without --postgres (or $ZARN_TEST_POSTGRES_URL) a private cluster is started for the run.
Prints a Markdown table and writes it into bench/RESULTS.md.
"""

from __future__ import annotations

import argparse
import multiprocessing as mp
import os
import shutil
import statistics
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))
sys.path.insert(0, HERE)

import verdict  # noqa: E402
import zarn_engine  # noqa: E402
import zarn_user.role_matrix as rm  # noqa: E402

ROLES = 1000  # a layered hierarchy; the queried role "r8_0" reaches "probe"


def build(url: str) -> None:
    engine = zarn_engine.connect(url)
    per = ROLES // 10
    groups = [rm.Group(child="top", parent=f"r0_{i}") for i in range(per)]
    for level in range(9):
        for i in range(per):
            for j in {(2 * i) % per, (2 * i + 1) % per}:
                groups.append(rm.Group(child=f"r{level}_{i}", parent=f"r{level + 1}_{j}"))
    groups.append(rm.Group(child="r9_0", parent="probe"))
    policies = [rm.Policy(sub=f"r{lv}_{i}", obj=f"o{lv}_{i}", act=a)
                for lv in range(10) for i in range(per) for a in ("read", "write")]
    policies.append(rm.Policy(sub="probe", obj="gen", act="0"))
    rm.RoleMatrix.delete("app")
    rm.RoleMatrix(name="app", policies=policies, groups=groups).save()
    engine.close()


def generation(content) -> int:
    for p in content.permissions:
        if p.obj == "gen":
            return int(p.act)
    raise AssertionError("no generation")


def worker(url, mode, until, results):
    zarn_engine.connect(url)
    live = zarn_engine.Live(rm.RoleMatrix, consistency=mode)
    while mode == "notify" and not live.listening:
        time.sleep(0.01)
    seen = []
    while (start := time.time()) < until:
        seen.append((start, generation(live.get("app").get_implicit_permissions_for_roles(["r8_0"]))))
    live.close()
    results.put(seen)


def writer(url, until, results):
    zarn_engine.connect(url)
    m = rm.RoleMatrix.load("app")
    commits, n = [], 0
    next_at = time.time() + 0.5
    while next_at < until - 0.5:
        time.sleep(max(0.0, next_at - time.time()))
        n += 1
        m.set_role_permissions("probe", [{"obj": "gen", "act": str(n)}])
        commits.append((n, time.time()))
        next_at += 0.1
    results.put(commits)


def scenario(url: str, mode: str, seconds: float, workers: int) -> dict:
    build(url)
    ctx = mp.get_context("fork")
    results = ctx.Queue()
    until = time.time() + seconds + 1.0  # a second to start up
    procs = [ctx.Process(target=worker, args=(url, mode, until, results)) for _ in range(workers)]
    procs.append(ctx.Process(target=writer, args=(url, until, results)))
    for p in procs:
        p.start()
    outputs = [results.get() for _ in procs]
    for p in procs:
        p.join()
    commits = next(o for o in outputs if o and len(o[0]) == 2 and isinstance(o[0][0], int))
    answers = [o for o in outputs if o is not commits]
    stale_for, stale_answers, rates = [], 0, []
    for seen in answers:
        measured = [s for s in seen if s[0] >= until - seconds]
        rates.append(len(measured) / seconds)
        for gen, at in commits:
            # the last query begun after this commit that still answered an older generation
            late = [start for start, g in seen if start > at and g < gen]
            stale_answers += len(late)
            stale_for.append(max(late) - at if late else 0.0)
    stale_for.sort()
    return {"qps": statistics.mean(rates), "stale": stale_answers, "commits": len(commits),
            "p50": stale_for[len(stale_for) // 2], "p99": stale_for[int(len(stale_for) * 0.99)],
            "max": stale_for[-1]}


def in_memory_cost() -> float:
    zarn_engine.use_engine(zarn_engine.MemoryEngine())
    build("memory:")
    m = rm.RoleMatrix.load("app")
    n, start = 0, time.perf_counter()
    while time.perf_counter() - start < 1.0:
        m.get_implicit_permissions_for_roles(["r8_0"])
        n += 1
    return (time.perf_counter() - start) / n


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--seconds", type=float, default=5.0)
    ap.add_argument("--workers", type=int, default=4)
    ap.add_argument("--postgres", default=os.environ.get("ZARN_TEST_POSTGRES_URL"))
    args = ap.parse_args()
    cluster = None
    if not args.postgres:
        from pgcluster import Cluster

        cluster = Cluster(tempfile.mkdtemp(prefix="zarn-bench-pg-"))
        cluster.init()
        cluster.start()
        args.postgres = cluster.url
    tmp = tempfile.mkdtemp(prefix="zarn-bench-")
    lines = []

    def out(line: str) -> None:
        print(line, flush=True)
        lines.append(line)

    try:
        cost = in_memory_cost()
        out("## Deployment: live documents under a writer\n")
        out(f"`bench/deployment.py`: {args.workers} worker processes call "
            f"`live.get(app).get_implicit_permissions_for_roles(...)` in a loop for {args.seconds:g} s on a "
            f"{ROLES}-role matrix while one writer commits a change 10 times a second; 2 cores for workers, "
            "writer and server. Staleness: per commit and worker, how long after the commit the worker "
            "still began queries that answered with older data.\n")
        out(f"Plain in-memory query, for comparison: {cost * 1e6:.0f} µs ({1 / cost:,.0f} per second on one core).\n")
        out("| store | mode | queries/s per worker | commits | stale answers | staleness p50 | p99 | max |")
        out("|---|---|---:|---:|---:|---:|---:|---:|")
        figures = []
        for store, url in (("SQLite", os.path.join(tmp, "bench.sqlite3")), ("PostgreSQL", args.postgres)):
            for mode in ("strict", "notify"):
                r = scenario(url, mode, args.seconds, args.workers)
                out(f"| {store} | {mode} | {r['qps']:,.0f} | {r['commits']} | {r['stale']} | "
                    f"{r['p50'] * 1000:.1f} ms | {r['p99'] * 1000:.1f} ms | {r['max'] * 1000:.1f} ms |")
                # strict reflects every commit made before a call began; notify within a second.
                if mode == "strict":
                    figures.append((verdict.Target(f"deployment/{store} strict", f"stale answers, {store}, strict, "
                                                   "under a writer", "≤", 0, ""), r["stale"]))
                else:
                    figures.append((verdict.Target(f"deployment/{store} notify", f"longest staleness, {store}, "
                                                   "notify, under a writer", "≤", 1.0, "s"), r["max"]))
        verdict.report("deployment.py", figures, note=f"{args.workers} workers, {args.seconds:g} s")
        import sections

        sections.write("deployment", "\n".join(lines))
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
        if cluster is not None:
            cluster.stop("immediate")
            shutil.rmtree(cluster.folder, ignore_errors=True)


if __name__ == "__main__":
    main()
