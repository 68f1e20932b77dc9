"""The query index (zarn_user.query): what its answers cost at scale, and what it holds.

    python bench/query_engine.py [--roles 100000] [--no-write]

- Matrices in turn: queries alternating between two matrices of 20,000 roles against the
  same queries on one of them (the module's own resolution of a mid-level role, and the
  index's check and permissions), per query.
- Who holds, at ROLES roles: the first page (50 holders) of a permission most roles hold.
- The first guarded request after a change: a `Directory` on a SQLite store, a change to the
  matrix committed by another writer, then the caller's `holds` (which brings the live
  matrix and its index up to date and asks it); also the first request after start-up.
- Memory: the index's bytes per stored record in the memory bench's matrix (bench/memory.py),
  and the resident set the process gains when it builds the index.

Prints a Markdown section and writes it into bench/RESULTS.md.
"""

from __future__ import annotations

import argparse
import gc
import os
import statistics
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import memory  # noqa: E402
import run  # noqa: E402
import verdict  # noqa: E402
import zarn_engine  # noqa: E402
import zarn_user.role_matrix as rm  # noqa: E402

from zarn_user import query  # noqa: E402
from zarn_user.core.users import UserRoles  # noqa: E402
from zarn_user.directory import Directory  # noqa: E402


def per_call(fn, least=0.2):
    """Seconds of one fn(), over calls lasting `least` in all (CPU time)."""
    gc.collect()
    number, start = 0, time.process_time()
    while time.process_time() - start < least:
        fn()
        number += 1
    return (time.process_time() - start) / number


def wall(fn):
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def both(fn):
    """Wall and CPU seconds (all threads of the process) of one fn()."""
    start, cpu = time.perf_counter(), time.process_time()
    fn()
    return time.perf_counter() - start, time.process_time() - cpu


def layered(n, name="bench"):
    _, groups, policies, _, _ = run.make_graph("layered", n)
    ps, gs = run.stored(rm, groups, policies)
    return rm.RoleMatrix(name=name, policies=ps, groups=gs)


def alternating(rounds):
    mats = [layered(20_000, "one"), layered(20_000, "two")]
    mid = "r4_0"  # a role five levels down: some hundreds of roles below it
    results = {}
    asks = {
        "module: implicit permissions of a mid-level role": lambda m: m.get_implicit_permissions_for_roles([mid]),
        "index: check (a pair held deep below)": lambda m: query.index(m).check([mid], "o9000", "read"),
        "index: permissions of a mid-level role": lambda m: query.index(m).permissions([mid]),
    }
    for label, ask in asks.items():
        for m in mats:
            ask(m)
        one, two = [], []
        for _ in range(rounds):
            one.append(per_call(lambda: ask(mats[0])))
            two.append(per_call(lambda: (ask(mats[0]), ask(mats[1]))) / 2)
        results[label] = (statistics.median(one), statistics.median(two))
    return results


def who_page(n):
    m = layered(n)
    # A pair granted to every role of the last level: nearly every role holds it.
    last = [g.parent for g in m.groups if g.parent.startswith("r9_")]
    m.policies.extend(rm.Policy(sub=r, obj="shared", act="read") for r in dict.fromkeys(last))
    ix = query.index(m)
    obj, act, holder = "shared", "read", "every role of the last level"
    total = ix.who(obj, act, 1)[2]
    # The answer in plain Python: the granted roles and every role containing one of them.
    containers: dict[str, list[str]] = {}
    for g in m.groups:
        containers.setdefault(g.parent, []).append(g.child)
    holding = set(dict.fromkeys(last))
    frontier = list(holding)
    while frontier:
        frontier = [c for r in frontier for c in containers.get(r, ()) if c not in holding]
        holding.update(frontier)
    page = ix.who(obj, act, 50)[0]
    verdict.same("who holds: how many", total, len(holding))
    verdict.same("who holds: the first page", all(role in holding and path[0] == role and path[-1] in last
                                                  for role, path, _, _ in page) and len(page) == 50, True)
    first = per_call(lambda: ix.who(obj, act, 50), least=0.5)
    whole = per_call(lambda: ix.who(obj, act), least=0.5)
    return holder, total, first, whole


def guarded(n, rounds, starts=5):
    """The cold load and the first guarded request after start-up (each a new `Directory`,
    whose first request loads the matrix and builds its index), measured in turns `starts`
    times: (wall, CPU) seconds of each; then, wall seconds, the first request after a change
    (median and worst of `rounds`) and one with nothing changed."""
    with tempfile.TemporaryDirectory() as tmp:
        url = f"sqlite:///{tmp}/bench.db"
        engine = zarn_engine.open_engine(url)
        zarn_engine.use_engine(engine)
        layered(n, "shop").save()
        rm.RoleMatrix.load("shop")  # the first load writes a snapshot: the cold loads after it
        UserRoles.load_or_create("shop", engine=engine)  # stored on first use: not the request's cost
        colds, firsts = [], []
        for _ in range(starts):
            gc.collect()
            colds.append(both(lambda: rm.RoleMatrix.load("shop")))
            gc.collect()
            fresh = Directory("shop", engine=engine)
            firsts.append(both(lambda: fresh.holds("o1", "read", roles=["top"])))  # loads the matrix, builds the index
            fresh.close()
            del fresh
        d = Directory("shop", engine=engine)
        d.holds("o1", "read", roles=["top"])
        writer = zarn_engine.Live(rm.RoleMatrix, engine=engine)
        after, checks = [], []
        for k in range(rounds):
            writer.update("shop", lambda doc: doc.add_role_permissions(f"r9_{k}", [{"obj": f"new{k}", "act": "read"}]))
            after.append(wall(lambda: d.holds(f"new{k}", "read", roles=["top"])))
            checks.append(wall(lambda: d.holds(f"new{k}", "read", roles=["top"])))
        assert d.holds(f"new{rounds - 1}", "read", roles=["top"])
        writer.close()
        d.close()
        return colds, firsts, statistics.median(after), max(after), statistics.median(checks)


def footprint(n):
    groups, policies = memory.matrix_lists(n)
    m = rm.RoleMatrix(name="bench", policies=[rm.Policy(sub=s, obj=o, act=a) for s, o, a in policies],
                      groups=[rm.Group(child=c, parent=p) for c, p in groups])
    records = len(groups) + len(policies)
    gc.collect()
    before = memory.rss()
    ix = query.index(m)
    ix.who("obj1", "read", 1)  # its walk's marks made too
    grown = memory.rss() - before
    # The module's own search rows, made by a query reaching every role (the answer freed).
    first_level = sorted({c for c, _ in groups if c.startswith("r0_")})
    before = memory.rss()
    m.get_implicit_permissions_for_roles(first_level)
    gc.collect()
    rows = memory.rss() - before
    return records, ix.bytes() / records, grown / records, rows / records


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--roles", type=int, default=100_000)
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--no-write", action="store_true")
    args = ap.parse_args()
    n = args.roles
    ms = lambda x: f"{x * 1e3:.2f} ms"  # noqa: E731
    us = lambda x: f"{x * 1e6:.1f} µs"  # noqa: E731
    records, index_bytes, rss_bytes, rows_bytes = footprint(n)
    print("memory", records, index_bytes, rss_bytes, rows_bytes, flush=True)
    alt = alternating(args.rounds)
    print("alternating", alt, flush=True)
    holder, total, first, whole = who_page(n)
    print("who", holder, total, first, whole, flush=True)
    starts = 9
    colds, firsts, after, worst, check = guarded(n, args.rounds * 4, starts)
    print("guarded", colds, firsts, after, worst, check, flush=True)
    med = lambda values, i: statistics.median(v[i] for v in values)  # noqa: E731
    ratios = [f[1] / c[1] for f, c in zip(firsts, colds)]  # CPU time: what a busy machine disturbs least
    wall_ratios = [f[0] / c[0] for f, c in zip(firsts, colds)]
    load = os.getloadavg()[0]
    lines = ["## Query index: answers at scale", "",
             "`bench/query_engine.py`: one query index per matrix (zarn_user.query), kept current by "
             "the changes the matrix goes through; CPU time per query unless said, medians of "
             f"{args.rounds} rounds.", "",
             "| queries in turn on two matrices of 20,000 roles | one matrix | two in turn | ratio |",
             "|---|---:|---:|---:|"]
    for label, (one, two) in alt.items():
        lines.append(f"| {label} | {us(one)} | {us(two)} | {two / one:.2f} |")
    lines += ["", f"| at {n:,} roles | figure |", "|---|---:|",
              f"| who holds a pair granted to {holder} ({total:,} roles hold it): first page of 50 | {ms(first)} |",
              f"| the same, every holder with its chain | {ms(whole)} |",
              f"| first guarded request after a change (`Directory`, SQLite, wall clock), median / worst of "
              f"{args.rounds * 4} | {ms(after)} / {ms(worst)} |",
              f"| a guarded request with nothing changed | {ms(check)} |",
              f"| first guarded request after start-up (a new `Directory`: load and index), CPU / wall, median of "
              f"{starts} | {ms(med(firsts, 1))} / {ms(med(firsts, 0))} |",
              f"| the cold load alone (`RoleMatrix.load`), CPU / wall, median of {starts}, in turns with the above | "
              f"{ms(med(colds, 1))} / {ms(med(colds, 0))} |",
              f"| first guarded request / cold load, turn by turn, CPU (min / median / max; load average {load:.1f}) | "
              f"{min(ratios):.2f} / {statistics.median(ratios):.2f} / {max(ratios):.2f} |",
              f"| the same by wall clock | {min(wall_ratios):.2f} / {statistics.median(wall_ratios):.2f} / "
              f"{max(wall_ratios):.2f} |",
              f"| index memory per stored record ({records:,} records, bench/memory.py's matrix) | "
              f"{index_bytes:.0f} bytes |",
              f"| resident set gained building it, per record | {rss_bytes:.0f} bytes |",
              f"| resident set gained by the module's own search rows (a query reaching every role), "
              f"per record | {rows_bytes:.0f} bytes |"]
    print("\n".join(lines))

    verdict.report("query_engine.py", [
        (verdict.Target(f"query-engine/first guarded request after a change {n}",
                        f"first guarded request after a change (`Directory`, SQLite), {n:,} roles, worst of "
                        f"{args.rounds * 4}", "≤", 5e-3, "s"), worst),
        (verdict.Target(f"query-engine/who holds first page {n}",
                        f"who holds a pair {total:,} roles hold, {n:,} roles: the first page of 50 (CPU)", "≤", 5e-3,
                        "s"), first),
    ], path=None if args.no_write else verdict.FIGURES)
    if not args.no_write:
        import sections

        verdict.report("query_engine.py", [(verdict.Target(
            "query-engine/first-after-start", f"first guarded request after start-up / cold load (CPU), {n:,} roles",
            "≤", 1.0), statistics.median(ratios))], note=f"CPU time, median of {starts} turns, load average {load:.1f}")
        sections.write("query-engine", "\n".join(lines))


if __name__ == "__main__":
    main()
