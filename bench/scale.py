"""What a change costs on a large matrix, stored in SQLite and PostgreSQL: the first save, one
grant, revoke and include committed, workers in other processes serving committed changes,
a cold load and the memory of a loaded matrix, at 10^4, 10^5 and 10^6 roles.

    python bench/scale.py [--sizes 10000,100000,1000000] [--stores sqlite,postgresql]
                          [--quick] [--workers 4] [--seconds 5] [--wait 30] [--postgres URL]
                          [--no-write | --results PATH] [--json PATH]

--quick is a smoke run (10^3 and 10^4 roles, fewer runs, live runs of 1 s). The live figures
are compared with the same run at 10^3 roles, the size of bench/deployment.py, made first
when --sizes does not include it.

The matrix is a layered hierarchy of ten levels: every role holds 3 grants and includes 2
roles of the next level (so about 5 records a role); the role "probe", included by the last
level, holds the grant that the writer of the live scenario rewrites. Without --postgres (or
$ZARN_TEST_POSTGRES_URL) a private PostgreSQL cluster is started for the run; on a given
server the run works in a schema of its own, dropped at the end.

Writes the section "scale" of bench/RESULTS.md (unless --no-write).
"""

from __future__ import annotations

import argparse
import datetime
import gc
import json
import math
import multiprocessing as mp
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import uuid

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))
sys.path.insert(0, HERE)

import verdict  # noqa: E402
import zarn_engine  # noqa: E402
import zarn_user.role_matrix as rm  # noqa: E402

MEASURED: list[verdict.Figure] = []  # the targets of the report, as it decided them

KEY = "scale"
LEVELS = 10
ACTS = ("read", "write", "list")
QUERIED = "r8_0"  # the deployment bench's query: reaches r9_0, r9_1 and, through r9_0, "probe"
PROBE = "probe"
WRITER_RATE = 8.0  # commits a second below which the writer did not keep its 10 a second
REFERENCE = 1000  # the deployment bench's matrix size, which the live figures are compared with

# Measured before changes were kept instead of documents: 10^5 roles (300,000 grants, ~200,000
# sub-role links), quiet machine, 2 cores.
BEFORE = """| before, 10^5 roles | SQLite | PostgreSQL |
|---|---|---|
| first save | 1.9 s | 2.0 s |
| one `add_role_permissions` (saved) | 1.7 s | 2.1 s |
| another process's `Live` (notify) serving that change | 1.6 s | 1.5 s |
| cold load | 1.2 s | 1.4 s |"""


# --- the matrix -----------------------------------------------------------------------------


def per_level(n: int) -> int:
    return max(n // LEVELS, 2)


def records(n: int) -> tuple[list[rm.Policy], list[rm.Group]]:
    """The stored lists of the n-role matrix (plus "probe")."""
    per = per_level(n)
    policies = [rm.Policy(sub=f"r{lv}_{i}", obj=f"o{lv}_{i}", act=act)
                for lv in range(LEVELS) for i in range(per) for act in ACTS]
    policies.append(rm.Policy(sub=PROBE, obj="gen", act="0"))
    groups = [rm.Group(child=f"r{lv}_{i}", parent=f"r{lv + 1}_{j}")
              for lv in range(LEVELS - 1) for i in range(per) for j in sorted({(2 * i) % per, (2 * i + 1) % per})]
    groups.append(rm.Group(child=f"r{LEVELS - 1}_0", parent=PROBE))
    return policies, groups


def generation(content: rm.RoleContent) -> int:
    """The probe's generation in an answer that reaches it."""
    for p in content.permissions:
        if p.obj == "gen":
            return int(p.act)
    raise AssertionError("the answer does not reach the probe role")


# --- timing ---------------------------------------------------------------------------------


def p99(ordered: list[float]) -> float:
    """The 99th percentile of sorted values (nearest rank)."""
    return ordered[math.ceil(0.99 * len(ordered)) - 1]


def summary(times: list[float]) -> dict:
    times = sorted(times)
    return {"median": statistics.median(times), "min": times[0], "max": times[-1], "p99": p99(times),
            "runs": len(times)}


BUDGET = 20.0  # seconds of runs of one measurement, beyond the first 3


def runs(fn, repeat: int) -> list[float]:
    """Times of up to `repeat` calls of fn(i), fewer when they take long."""
    times: list[float] = []
    for i in range(repeat):
        if len(times) >= 3 and sum(times) > BUDGET:
            break
        times.append(fn(i))
    return times


def timed(fn) -> float:
    gc.collect()
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def first_saves(n: int, repeat: int) -> dict:
    """Saves of a new n-role matrix into a store without it; the first under KEY stays."""
    policies, groups = records(n)

    def save(i: int) -> float:
        m = rm.RoleMatrix(name=KEY if i == 0 else f"first-{i}", policies=list(policies), groups=list(groups))
        return timed(m.save)

    times = runs(save, repeat)
    for i in range(1, len(times)):
        rm.RoleMatrix.delete(f"first-{i}")
    return summary(times)


def changes(n: int, repeat: int) -> dict:
    """One grant, one revoke and one include, each committed (the operations save), on the
    stored matrix held by this process; each run on other roles."""
    m = rm.RoleMatrix.load(KEY)
    per = per_level(n)

    def grant(i: int) -> float:
        role = f"r3_{i % per}"
        return timed(lambda: m.add_role_permissions(role, [{"obj": f"added{i}", "act": "read"}]))

    def revoke(i: int) -> float:
        role = f"r5_{i % per}"
        kept = [{"obj": p.obj, "act": p.act} for p in m.get_role_contents(role).permissions][1:]
        return timed(lambda: m.set_role_permissions(role, kept))

    def include(i: int) -> float:
        # two levels down: a new link, never a cycle
        return timed(lambda: m.add_role_sub_roles(f"r2_{i % per}", [f"r4_{(7 * i) % per}"]))

    out = {"grant": summary(runs(grant, repeat)), "revoke": summary(runs(revoke, repeat)),
           "include": summary(runs(include, repeat))}
    # What was timed must be what the store holds: a change that was not committed, or
    # committed otherwise than it stands in memory, is no figure.
    same_as_stored(m)
    # A grant through a live document's update, as the web console makes it: after the first
    # (which loads the update's own copy), the copy is brought on from the log.
    live = zarn_engine.Live(rm.RoleMatrix, engine=m.engine)
    live.get(KEY)

    def update(i: int) -> float:
        role = f"r6_{i % per}"
        return timed(lambda: live.update(KEY, lambda doc: doc.add_role_permissions(role, [{"obj": f"u{i}", "act": "r"}])))

    update(-1)
    out["update"] = summary(runs(update, repeat))
    same_as_stored(live.get(KEY))
    live.close()
    return out


def same_as_stored(m) -> None:
    stored = rm.RoleMatrix.load(KEY)
    for name in ("policies", "groups"):
        if [r.to_display() for r in getattr(stored, name)] != [r.to_display() for r in getattr(m, name)]:
            raise AssertionError(f"the stored {name} differ from those of the matrix that changed them")


def answers_match_model(n: int) -> None:
    """The stored matrix, loaded after the changes, answers as the plain-Python model built
    from the same stored lists (exit status 2 otherwise)."""
    import model

    stored = rm.RoleMatrix.load(KEY)
    b = model.RoleMatrix(name=KEY, policies=[model.Policy(**p.to_display()) for p in stored.policies],
                         groups=[model.Group(**g.to_display()) for g in stored.groups])
    for role in (PROBE, f"r{LEVELS - 1}_0", f"r{LEVELS // 2}_0", "r0_0"):
        verdict.same(f"implicit permissions of {role} at {n:,} roles",
                     stored.get_implicit_permissions_for_roles([role]).to_display(),
                     b.get_implicit_permissions_for_roles([role]).to_display())


def cold_loads(repeat: int) -> dict:
    """Loads in this process, which made the first save and the changes (their log after
    the snapshot included)."""
    def load():
        m = rm.RoleMatrix.load(KEY)
        len(m.dag)  # the graph is part of a load
    return summary(runs(lambda i: timed(load), repeat))


def load_probe(url: str) -> float:
    """In this fresh process: one load, as a worker that starts makes it."""
    zarn_engine.connect(url)
    len(rm.RoleMatrix.load("warm").dag)  # first-use costs: classes, compiled patterns, the driver
    gc.collect()
    start = time.perf_counter()
    len(rm.RoleMatrix.load(KEY).dag)
    return time.perf_counter() - start


def fresh_loads(url: str, repeat: int) -> dict:
    """Loads each in a fresh process: a worker's cold start."""
    def load(i: int) -> float:
        out = subprocess.run([sys.executable, os.path.abspath(__file__), "--load-of", url],
                             check=True, capture_output=True, text=True)
        return float(out.stdout.strip().splitlines()[-1])
    store_warm()
    try:
        return summary(runs(load, repeat))
    finally:
        rm.RoleMatrix.delete("warm")


def resident() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def memory_probe(url: str) -> dict:
    """In this fresh process: what one loaded matrix holds, as the growth of the resident
    set and as the allocations tracemalloc sees (a second load, traced)."""
    import tracemalloc

    zarn_engine.connect(url)
    warm = rm.RoleMatrix.load("warm")  # first-use costs: classes, compiled patterns, the driver
    len(warm.dag)
    gc.collect()
    before = resident()
    kept = rm.RoleMatrix.load(KEY)
    gc.collect()
    rss = resident() - before
    count = len(kept.policies) + len(kept.groups)
    tracemalloc.start()
    base = tracemalloc.get_traced_memory()[0]
    traced_doc = rm.RoleMatrix.load(KEY)
    gc.collect()
    traced = tracemalloc.get_traced_memory()[0] - base
    tracemalloc.stop()
    del traced_doc
    return {"records": count, "rss": rss, "traced": traced}


def store_warm() -> None:
    """A small matrix "warm" beside the large one, which probes load first (the caller
    deletes it)."""
    small = rm.RoleMatrix(name="warm", policies=[rm.Policy(sub="wa", obj="wb", act="read")],
                          groups=[rm.Group(child="wa", parent="wc")])
    rm.RoleMatrix.delete("warm")
    small.save()


def memory(url: str) -> dict:
    store_warm()
    try:
        out = subprocess.run([sys.executable, os.path.abspath(__file__), "--memory-of", url],
                             check=True, capture_output=True, text=True)
    finally:
        rm.RoleMatrix.delete("warm")
    return json.loads(out.stdout.strip().splitlines()[-1])


# --- live documents in other processes ------------------------------------------------------

# The shared window of a live run (monotonic clock, which all processes share): start and end
# of the writer's commits, the time workers stop at the latest, the last generation committed.
START, END, STOP, FINAL = range(4)
FOREVER = 1e18


def count_loads(engine) -> list[int]:
    """Counts the whole-document reads of `engine` from now on (the reloads of the live
    documents that use it)."""
    counter = [0]
    inner = engine.load

    def load(collection, key):
        counter[0] += 1
        return inner(collection, key)

    engine.load = load
    return counter


def worker(url: str, mode: str, window, ready, results) -> None:
    zarn_engine.connect(url)
    live = zarn_engine.Live(rm.RoleMatrix, consistency=mode)
    while mode == "notify" and not live.listening:
        time.sleep(0.01)
    generation(live.get(KEY).get_implicit_permissions_for_roles([QUERIED]))  # the first load
    loads = count_loads(live.engine)
    ready.put(1)
    seen: list[tuple[float, int]] = []  # (time an answer came, generation) whenever it changed
    last, queries = -1, 0
    while True:
        began = time.monotonic()
        if began >= window[STOP] or (last >= window[FINAL] and began >= window[END]):
            break
        gen = generation(live.get(KEY).get_implicit_permissions_for_roles([QUERIED]))
        if window[START] <= began < window[END]:
            queries += 1
        if gen != last:
            seen.append((time.monotonic(), gen))
            last = gen
    live.close()
    results.put({"seen": seen, "queries": queries, "reloads": loads[0]})


def writer(url: str, window, ready, results) -> None:
    """Rewrites the probe's grant 10 times a second (as fast as it can when a commit takes
    longer) from the start to the end of the window."""
    zarn_engine.connect(url)
    m = rm.RoleMatrix.load(KEY)
    start = generation(m.get_role_contents(PROBE))
    ready.put(1)
    while window[START] == FOREVER:
        time.sleep(0.005)
    commits, gen = [], start
    next_at = window[START]
    while next_at < window[END] and time.monotonic() < window[END]:
        time.sleep(max(0.0, next_at - time.monotonic()))
        gen += 1
        m.set_role_permissions(PROBE, [{"obj": "gen", "act": str(gen)}])
        commits.append((gen, time.monotonic()))
        next_at += 0.1
    window[FINAL] = gen
    results.put({"commits": commits})


def gather(queue, procs) -> list:
    """One message from each process; RuntimeError as soon as one of them died without
    sending its own (rather than waiting for it)."""
    import queue as queues

    out: list = []
    while len(out) < len(procs):
        try:
            out.append(queue.get(timeout=1.0))
        except queues.Empty:
            failed = [p.exitcode for p in procs if p.exitcode not in (None, 0)]
            if failed:
                raise RuntimeError(f"a process of the live run failed (exit status {failed[0]})") from None
    return out


def live_run(url: str, mode: str, workers: int, seconds: float, wait: float) -> dict:
    """`workers` processes query live documents of mode `mode` in a loop while a writer
    commits: queries per second per worker, and how long after each commit each worker first
    answered with it."""
    ctx = mp.get_context("spawn")  # children that do not inherit this process's big lists
    window = ctx.Array("d", [FOREVER, FOREVER, FOREVER, FOREVER], lock=False)
    ready, results = ctx.Queue(), ctx.Queue()
    procs = [ctx.Process(target=worker, args=(url, mode, window, ready, results)) for _ in range(workers)]
    procs.append(ctx.Process(target=writer, args=(url, window, ready, results)))
    for p in procs:
        p.start()
    try:
        gather(ready, procs)
        window[START] = time.monotonic() + 0.2
        window[END] = window[START] + seconds
        window[STOP] = window[END] + wait  # a worker that has not seen the last commit by then
        outputs = gather(results, procs)
    finally:
        for p in procs:
            p.join(timeout=60)
            if p.is_alive():
                p.kill()
    commits = next(o["commits"] for o in outputs if "commits" in o)
    answers = [o for o in outputs if "seen" in o]
    latencies, unserved = served(commits, [a["seen"] for a in answers])
    span = window[END] - window[START]
    out = {"mode": mode, "workers": workers, "commits": len(commits), "commit_rate": len(commits) / span,
           "qps": statistics.mean(a["queries"] / span for a in answers), "unserved": unserved,
           "reloads": sum(a["reloads"] for a in answers) / len(answers)}
    if latencies:
        out.update(p50=statistics.median(latencies), p99=p99(latencies), max=latencies[-1])
    return out


def served(commits: list[tuple[int, float]], workers: list[list[tuple[float, int]]]) -> tuple[list[float], int]:
    """For every commit (generation, time it returned) and every worker (its answers: time,
    generation, whenever the generation changed), how long after the commit the worker first
    answered with it or a later one (0 when that came before the commit returned), sorted;
    and the number of (commit, worker) pairs never served."""
    latencies, unserved = [], 0
    for seen in workers:
        for gen, at in commits:
            first = next((t for t, g in seen if g >= gen), None)
            if first is None:
                unserved += 1
            else:
                latencies.append(max(0.0, first - at))
    return sorted(latencies), unserved


# --- stores ---------------------------------------------------------------------------------


class Stores:
    """The URLs of the stores of one run, made and removed with it."""

    def __init__(self, postgres: str | None) -> None:
        self.tmp = tempfile.mkdtemp(prefix="zarn-scale-")
        self.postgres = postgres
        self.cluster = None
        self.schema: str | None = None

    def url(self, store: str, n: int) -> str:
        if store == "sqlite":
            return os.path.join(self.tmp, f"scale-{n}.sqlite3")
        if self.postgres is None:
            from pgcluster import Cluster

            self.cluster = Cluster(tempfile.mkdtemp(prefix="zarn-scale-pg-"))  # the server's user owns it
            self.cluster.init()
            self.cluster.start()
            self.postgres = self.cluster.url
        import psycopg

        if self.schema is not None:
            self.drop_schema()
        self.schema = f"scale_{uuid.uuid4().hex[:12]}"
        with psycopg.connect(self.postgres, autocommit=True) as conn:
            conn.execute(f"CREATE SCHEMA {self.schema}")
        sep = "&" if "?" in self.postgres else "?"
        return f"{self.postgres}{sep}options=-csearch_path%3D{self.schema}"

    def drop_schema(self) -> None:
        import psycopg

        with psycopg.connect(self.postgres, autocommit=True) as conn:
            conn.execute(f"DROP SCHEMA {self.schema} CASCADE")
        self.schema = None

    def close(self) -> None:
        if self.schema is not None:
            self.drop_schema()
        if self.cluster is not None:
            self.cluster.stop("immediate")
            shutil.rmtree(self.cluster.folder, ignore_errors=True)
        shutil.rmtree(self.tmp, ignore_errors=True)


# --- the run --------------------------------------------------------------------------------


STORE_NAMES = {"sqlite": "SQLite", "postgresql": "PostgreSQL"}


def run_size(stores: Stores, store: str, n: int, args) -> dict:
    url = stores.url(store, n)
    engine = zarn_engine.connect(url)
    repeat = 1 if n >= 1_000_000 else args.repeat
    print(f"-- {STORE_NAMES[store]}, {n:,} roles", flush=True)
    r: dict = {"store": store, "roles": n}
    r["first_save"] = first_saves(n, repeat)
    show("first save", r["first_save"])
    r.update(changes(n, args.changes))
    for what in ("grant", "revoke", "include"):
        show(f"one {what} committed", r[what])
    show("one grant by Live.update", r["update"])
    r["cold_load"] = cold_loads(repeat)
    show("load in this process", r["cold_load"])
    answers_match_model(n)
    r["fresh_load"] = fresh_loads(url, repeat)
    show("cold load, a fresh process", r["fresh_load"])
    r["memory"] = memory(url)
    print(f"   memory: {r['memory']['traced'] / r['memory']['records']:.0f} B a record traced, "
          f"{r['memory']['rss'] / r['memory']['records']:.0f} B resident", flush=True)
    engine.close()
    for mode in ("notify", "strict"):
        r[mode] = live_run(url, mode, args.workers, args.seconds, args.wait)
        show_live(r[mode])
    return r


def show(what: str, s: dict) -> None:
    print(f"   {what}: {fmt(s['median'])} (min {fmt(s['min'])}, max {fmt(s['max'])})", flush=True)


def show_live(r: dict) -> None:
    lat = f", served p50 {fmt(r['p50'])} p99 {fmt(r['p99'])}" if "p50" in r else ""
    print(f"   {r['mode']}: {r['qps']:,.0f} queries/s a worker, {r['commits']} commits, {r['unserved']} unserved"
          f"{lat}, {r['reloads']:.1f} reloads a worker", flush=True)


def fmt(t: float | None) -> str:
    if t is None:
        return "—"
    if t >= 1:
        return f"{t:.2f} s"
    if t >= 1e-3:
        return f"{t * 1e3:.3g} ms"
    return f"{t * 1e6:.3g} µs"


def label(n: int) -> str:
    exp = len(str(n)) - 1
    return f"10^{exp}" if n == 10 ** exp else f"{n:,}"


def report(results: list[dict], references: dict, args, load: float, when: str) -> str:
    cols = [r for r in results]
    head = "| | " + " | ".join(f"{STORE_NAMES[r['store']]} {label(r['roles'])}" for r in cols) + " |"
    lines = ["## Scale: what a change costs on a large matrix", "",
             f"Written by `bench/scale.py` on {when}: "
             f"{platform.machine()}, {os.cpu_count()} cores, Python {platform.python_version()}, load average "
             f"{load:.1f} at the start (the machine is shared: compare figures of one run). A layered hierarchy "
             "of ten levels, 3 grants and 2 sub-roles a role. Times: median of up to "
             f"{args.repeat} runs (one at 10^6) for saves and loads, of up to {args.changes} for the changes "
             f"(each committed: the operation saves; at least 3 runs, fewer than the most when they took over "
             f"{BUDGET:g} s), with the slowest in brackets. Live: "
             f"{args.workers} worker processes query `live.get(...).get_implicit_permissions_for_roles(['{QUERIED}'])` "
             f"in a loop for {args.seconds:g} s while a writer process rewrites a grant that the answer reaches, "
             "10 times a second (or back to back when a commit takes longer); \"served\": per commit and worker, "
             "from the commit's return in the writer to the worker's first answer with it. Memory: a load in a "
             "fresh process, whole matrix (records, `dag`, strings) divided by its stored records, as traced by "
             "tracemalloc and as growth of the resident set. Cold load: `RoleMatrix.load` with its graph, in a fresh "
             "process each (a worker that starts), against the target; beside it, loads in the bench's own "
             "process, which made the saves and changes before (the log after the snapshot applied).", "",
             BEFORE, "", head, "|---|" + "---|" * len(cols)]

    def row(name, cell):
        lines.append(f"| {name} | " + " | ".join(cell(r) for r in cols) + " |")

    def timing(s):
        return f"{fmt(s['median'])} ({fmt(s['max'])})"

    row("first save", lambda r: timing(r["first_save"]))
    row("one grant committed", lambda r: timing(r["grant"]))
    row("one revoke committed", lambda r: timing(r["revoke"]))
    row("one include committed", lambda r: timing(r["include"]))
    row("one grant by `Live.update`, after its first", lambda r: timing(r["update"]) if "update" in r else "—")
    for mode in ("notify", "strict"):
        row(f"{mode}: served p50 / p99", lambda r: f"{fmt(r[mode].get('p50'))} / {fmt(r[mode].get('p99'))}"
            + (f", {r[mode]['unserved']} unserved" if r[mode]["unserved"] else ""))
        row(f"{mode}: queries/s a worker (10^3: ×1)",
            lambda r: f"{r[mode]['qps']:,.0f} (×{ratio(r, mode, references):.2f})")
        row(f"{mode}: writer's commits a second / reloads a worker",
            lambda r: f"{r[mode]['commit_rate']:.1f} / {r[mode]['reloads']:.1f}")
    row("cold load: in a fresh process", lambda r: timing(r["fresh_load"]) if "fresh_load" in r else "—")
    row("load in the bench's process, after the changes", lambda r: timing(r["cold_load"]))
    row("memory: bytes a record, traced / resident",
        lambda r: f"{r['memory']['traced'] / r['memory']['records']:.0f} / {r['memory']['rss'] / r['memory']['records']:.0f}")
    lines += ["", "| target | figure | goal |", "|---|---|---|"]

    def target(name, value, shown, ok, goal):
        met = value is not None and bool(ok(value))
        lines.append(f"| {name} | {shown} | {goal} {'✓' if met else '✗'} |")
        MEASURED.append(verdict.Figure(verdict.Target("scale/" + name, name, "≤", 0, "", goal), value, met, shown))

    limits = {100_000: (0.010, 0.5), 1_000_000: (0.020, 6.0)}
    for r in cols:
        where = f"{STORE_NAMES[r['store']]}, {label(r['roles'])}"
        if r["roles"] in limits:
            change, load_limit = limits[r["roles"]]
            for what in ("grant", "revoke", "include"):
                v = r[what]["median"]
                target(f"one {what} committed, {where}", v, fmt(v), lambda v: v <= change, f"≤ {fmt(change)}")
            v = r["fresh_load"]["median"]
            target(f"cold load, {where}", v, fmt(v), lambda v: v <= load_limit, f"≤ {fmt(load_limit)}")
        if r["roles"] == 100_000:
            # The live targets hold with a writer at 10 changes a second: a writer that could
            # not keep that rate left the workers less to serve, and fails them.
            paced = {mode: r[mode]["commit_rate"] >= WRITER_RATE for mode in ("notify", "strict")}
            slow = {mode: "" if paced[mode] else f" (writer: {r[mode]['commit_rate']:.1f} commits a second)"
                    for mode in paced}
            v = r["notify"].get("p99")
            ok = v is not None and r["notify"]["unserved"] == 0 and paced["notify"]
            target(f"notify: served p99, {where}", v, fmt(v) + slow["notify"], lambda v: ok and v <= 0.050, "≤ 50 ms")
            v = r["strict"]["reloads"]
            target(f"strict: reloads a worker, {where}", v, f"{v:.1f}" + slow["strict"],
                   lambda v: paced["strict"] and v == 0, "none")
            for mode in ("notify", "strict"):
                v = ratio(r, mode, references)
                target(f"{mode}: queries/s a worker vs 10^3, {where}", v, f"×{v:.2f}" + slow[mode],
                       lambda v: paced[mode] and v >= 0.5, "≥ ×0.5")
        if r["roles"] >= 100_000:
            v = r["memory"]["traced"] / r["memory"]["records"]
            target(f"memory, {where}", v, f"{v:.0f} B a record", lambda v: v <= 150, "≤ 150 B")
    return "\n".join(lines) + "\n"


def ratio(r: dict, mode: str, references: dict) -> float:
    ref = references.get(r["store"], {}).get(mode)
    return r[mode]["qps"] / ref["qps"] if ref and ref["qps"] else float("nan")


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--sizes", default="10000,100000,1000000", help="numbers of roles, comma-separated")
    ap.add_argument("--stores", default="sqlite,postgresql")
    ap.add_argument("--quick", action="store_true", help="a smoke run: 10^3 and 10^4 roles, fewer runs, short live runs")
    ap.add_argument("--workers", type=int, default=4)
    ap.add_argument("--seconds", type=float, default=None, help="length of a live run (default 5, quick 1)")
    ap.add_argument("--wait", type=float, default=30.0, help="how long workers may take to serve the last commit")
    ap.add_argument("--postgres", default=os.environ.get("ZARN_TEST_POSTGRES_URL"))
    ap.add_argument("--no-write", action="store_true", help="print only; leave RESULTS.md alone")
    ap.add_argument("--results", default=None, help="the RESULTS.md file to write into (default: bench/RESULTS.md)")
    ap.add_argument("--json", help="also write the figures to this file")
    ap.add_argument("--memory-of", help=argparse.SUPPRESS)
    ap.add_argument("--load-of", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.memory_of:
        print(json.dumps(memory_probe(args.memory_of)))
        return
    if args.load_of:
        print(load_probe(args.load_of))
        return
    if args.quick and "--sizes" not in " ".join(sys.argv):
        args.sizes = "1000,10000"
    try:
        sizes = [int(s) for s in args.sizes.split(",")]
    except ValueError:
        ap.error(f"--sizes is numbers of roles separated by commas, not {args.sizes!r}")
    if args.workers < 1 or (args.seconds is not None and args.seconds <= 0) or args.wait < 0:
        ap.error("--workers is at least 1, --seconds more than 0, --wait at least 0")
    store_list = args.stores.split(",")
    for s in store_list:
        if s not in STORE_NAMES:
            ap.error(f"unknown store {s!r}: the stores are {', '.join(STORE_NAMES)}")
    if any(n < 10 for n in sizes):
        ap.error("a matrix has at least 10 roles")
    args.repeat = 2 if args.quick else 5
    args.changes = 3 if args.quick else 15
    args.seconds = args.seconds if args.seconds is not None else (1.0 if args.quick else 5.0)
    load = os.getloadavg()[0]
    when = datetime.datetime.now().isoformat(timespec="seconds")
    stores = Stores(args.postgres)
    results, references = [], {}
    try:
        for store in store_list:
            if REFERENCE not in sizes:
                url = stores.url(store, REFERENCE)
                engine = zarn_engine.connect(url)
                rm.RoleMatrix(name=KEY, policies=records(REFERENCE)[0], groups=records(REFERENCE)[1]).save()
                engine.close()
                print(f"-- {STORE_NAMES[store]}, {REFERENCE:,} roles (live reference)", flush=True)
                references[store] = {mode: live_run(url, mode, args.workers, args.seconds, args.wait)
                                     for mode in ("notify", "strict")}
                for mode in ("notify", "strict"):
                    show_live(references[store][mode])
            for n in sizes:
                r = run_size(stores, store, n, args)
                results.append(r)
                if n == REFERENCE:
                    references[store] = {mode: r[mode] for mode in ("notify", "strict")}
    finally:
        stores.close()
    text = report(results, references, args, load, when)
    print(text)
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"results": results, "references": references, "load": load, "when": when}, f, indent=1)
    figures = None if args.no_write else os.path.join(os.path.dirname(args.results or verdict.FIGURES), "targets.json")
    verdict.report("scale.py", MEASURED, note=f"sizes {args.sizes}", path=figures)
    if not args.no_write:
        import sections

        sections.write("scale", text, *([args.results] if args.results else []))


if __name__ == "__main__":
    main()
