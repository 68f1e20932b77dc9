"""Benchmarks the role matrix module (A) against the same class in plain Python (B), PyCasbin (C)
and the interpreter's floor for producing an answer (F), in one process and one run.

    python bench/run.py [--quick]

Writes bench/RESULTS.md and the plots beside it.
"""

from __future__ import annotations

import argparse
import contextlib
import datetime
import gc
import os
import platform
import signal
import statistics
import sys
import time
import tracemalloc

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))
sys.setrecursionlimit(1_000_000)  # the plain-Python search recurses once per chain link

import model  # noqa: E402
import verdict  # noqa: E402
import zarn_engine  # noqa: E402
import zarn_user.role_matrix as rm  # noqa: E402

ACTS = ["read", "write", "delete", "list", "admin"]
SHAPES = ["layered", "chain", "flat"]


# --- graphs ---------------------------------------------------------------------------------


def make_graph(shape: str, n: int):
    """Roles, (child, parent) containment edges, (sub, obj, act) policies, a top and a leaf role."""
    if shape == "layered":
        per = max((n - 1) // 10, 1)
        levels = [[f"r{lv}_{i}" for i in range(per)] for lv in range(10)]
        roles = ["top"] + [r for level in levels for r in level]
        groups = [("top", r) for r in levels[0]]
        for lv in range(9):
            for i, r in enumerate(levels[lv]):
                for j in {(2 * i) % per, (2 * i + 1) % per}:
                    groups.append((r, levels[lv + 1][j]))
        top, leaf = "top", levels[8][0]
    elif shape in ("cross", "random"):
        import random

        rng = random.Random(17)
        roles = ["top"] + [f"r{i}" for i in range(1, n)]
        if shape == "cross":
            # The layered hierarchy, and for every role one more link to a role two to
            # five levels further down.
            per = max((n - 1) // 10, 1)
            levels = [roles[1 + lv * per:1 + (lv + 1) * per] for lv in range(10)]
            groups = [("top", r) for r in levels[0]]
            for lv in range(9):
                for i, r in enumerate(levels[lv]):
                    for j in {(2 * i) % per, (2 * i + 1) % per}:
                        groups.append((r, levels[lv + 1][j]))
                    if lv + 2 < 10:
                        far = rng.randint(lv + 2, min(lv + 5, 9))
                        groups.append((r, levels[far][rng.randrange(per)]))
            top, leaf = "top", levels[8][0]
        else:
            # Each role contains one to three roles named after it, at random: no levels.
            groups = [("top", "r1")]
            for i in range(1, n - 1):
                for j in {rng.randint(i + 1, min(n - 1, i + 1 + rng.randint(1, 40))) for _ in range(rng.randint(1, 3))}:
                    groups.append((roles[i], roles[j]))
            top, leaf = "top", roles[n - 3]
    elif shape == "chain":
        roles = [f"r{i}" for i in range(n)]
        groups = [(a, b) for a, b in zip(roles, roles[1:])]
        top, leaf = roles[0], roles[-3]
    else:
        roles = ["top"] + [f"r{i}" for i in range(1, n)]
        groups = [("top", r) for r in roles[1:]]
        top, leaf = "top", roles[1]
    policies = [(r, f"o{i}", act) for i, r in enumerate(roles) for act in ACTS[:3 + i % 3]]
    return roles, groups, policies, top, leaf


# --- frameworks -----------------------------------------------------------------------------


class AcceptingEngine(zarn_engine.Engine):
    """Stores nothing: the stand-in framework's save still validates and serialises."""

    def save(self, collection, key, data, expected):
        return 1


class NullContent:
    """A RoleContent that converts nothing."""

    def __init__(self, **values):
        self.__dict__.update(values)

    @classmethod
    def from_display(cls, **values):
        return cls(**values)


class NullAclItem(NullContent):
    pass


def null_save(self):
    return None


@contextlib.contextmanager
def null_framework():
    """from_display and save that do almost nothing, for both implementations."""
    saved = [(ns, name, getattr(ns, name)) for ns in (rm, model) for name in ("RoleContent", "AclItem")]
    for ns in (rm, model):
        ns.RoleContent, ns.AclItem = NullContent, NullAclItem
    try:
        yield
    finally:
        for ns, name, value in saved:
            setattr(ns, name, value)


def classes(null: bool):
    """The A and B classes; with the null framework, save does nothing."""
    if not null:
        return rm.RoleMatrix, model.RoleMatrix
    return (type("RoleMatrix", (rm.RoleMatrix,), {"save": null_save}),
            type("RoleMatrix", (model.RoleMatrix,), {"save": null_save}))


def stored(ns, groups, policies):
    return ([ns.Policy(sub=s, obj=o, act=a) for s, o, a in policies],
            [ns.Group(child=c, parent=p) for c, p in groups])


# --- timing ---------------------------------------------------------------------------------


class TooSlow(Exception):
    pass


def measure(fn, repeat=7, warmup=1):
    """Median and spread (min, max) in seconds of one `fn()` over `repeat` samples after a
    warm-up; short calls are looped so that a sample lasts about 20 ms."""
    for _ in range(warmup):
        fn()
    t = time.perf_counter()
    fn()
    once = time.perf_counter() - t
    number = max(1, int(0.02 / max(once, 1e-9)))
    times = []
    for _ in range(repeat):
        gc.collect()
        t = time.perf_counter()
        for _ in range(number):
            fn()
        times.append((time.perf_counter() - t) / number)
    return statistics.median(times), min(times), max(times)


def with_limit(fn, seconds):
    """Runs fn once under a time limit; TooSlow when it is exceeded."""
    def alarm(signum, frame):
        raise TooSlow()

    old = signal.signal(signal.SIGALRM, alarm)
    signal.setitimer(signal.ITIMER_REAL, seconds)
    try:
        t = time.perf_counter()
        fn()
        return time.perf_counter() - t
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)


def casbin_enforcer(groups, policies):
    import casbin
    from casbin.rbac.default_role_manager import RoleManager

    import tempfile

    conf = os.path.join(HERE, "casbin_rbac.conf")
    # Loaded from a policy file, as deployments do (adding rules one by one checks each
    # against all others).
    with tempfile.NamedTemporaryFile("w", suffix=".csv", delete=False) as f:
        f.writelines(f"p, {s}, {o}, {a}\n" for s, o, a in policies)
        f.writelines(f"g, {c}, {p}\n" for c, p in groups)
    try:
        e = casbin.Enforcer(conf, f.name)
        e.rm_map["g"] = RoleManager(max_hierarchy_level=10**9)
        e.build_role_links()
    finally:
        os.unlink(f.name)
    return e


def shown(answer):
    """An answer as plain data, whether the framework or the null framework made it."""
    return answer.to_display() if hasattr(answer, "to_display") else dict(vars(answer))


def floor(dag, reached):
    """The interpreter's own cost of the answer, given the reached pairs."""
    return [{"obj": k[0], "act": k[1]} for k in dag if k in reached]


# --- the run --------------------------------------------------------------------------------


def fmt(t):
    if t is None:
        return "—"
    for unit, scale in (("s", 1), ("ms", 1e3), ("µs", 1e6)):
        if t * scale >= 1:
            return f"{t * scale:.3g} {unit}"
    return f"{t * 1e9:.3g} ns"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="smaller sizes, fewer repeats")
    parser.add_argument("--out", default=HERE)
    args = parser.parse_args()
    sizes = [100, 1000, 10000] if args.quick else [100, 1000, 10000, 100000]
    zarn_engine.use_engine(AcceptingEngine())
    rows = []  # (op, shape, size, framework, impl, median, lo, hi)
    notes = []

    def record(op, shape, n, fw, impl, result):
        rows.append((op, shape, n, fw, impl) + tuple(result))
        print(f"{op:28} {shape:8} {n:>7} {fw:8} {impl}  {fmt(result[0])}", flush=True)

    notes.append("The flat shape stops at 10,000 roles: its top role has every other role as a direct "
                 "sub-role, and the plain-Python class tests each new edge for membership in that list, "
                 "so loading 100,000 of them is quadratic for B (this module keeps a side index during "
                 "the load: see the machinery targets for one role with 100,000 sub-roles).")
    for shape in SHAPES:
        for n in sizes:
            if shape == "flat" and n > 10000:
                continue
            roles, groups, policies, top, leaf = make_graph(shape, n)
            repeat = 5 if n <= 10000 else 3
            for null in (True, False):
                fw = "null" if null else "stand-in"
                ctx = null_framework() if null else contextlib.nullcontext()
                with ctx:
                    A, B = classes(null)
                    built = {}
                    for impl, cls, ns in (("A", A, rm), ("B", B, model)):
                        ps, gs = stored(ns, groups, policies)
                        load = lambda: cls(name="bench", policies=list(ps), groups=list(gs))  # noqa: E731
                        record("load", shape, n, fw, impl, measure(load, repeat=repeat if n < 100000 else 1))
                        m = built[impl] = load()
                        for label, role in (("implicit top", top), ("implicit leaf", leaf)):
                            record(label, shape, n, fw, impl,
                                   measure(lambda: m.get_implicit_permissions_for_roles([role]), repeat=repeat))
                        record("get_role_contents", shape, n, fw, impl,
                               measure(lambda: m.get_role_contents(leaf), repeat=repeat))
                    for role in (top, leaf):
                        verdict.same(f"implicit permissions of {role}, {shape}, {n} roles, {fw}",
                                     shown(built["A"].get_implicit_permissions_for_roles([role])),
                                     shown(built["B"].get_implicit_permissions_for_roles([role])))
                    verdict.same(f"contents of {leaf}, {shape}, {n} roles, {fw}",
                                 shown(built["A"].get_role_contents(leaf)), shown(built["B"].get_role_contents(leaf)))
                    if null:
                        for label, role in (("implicit top", top), ("implicit leaf", leaf)):
                            d = built["A"].get_implicit_permissions_for_roles([role])
                            reached = {(p["obj"], p["act"]) for p in d.permissions}
                            dag = built["A"].dag
                            record(label, shape, n, fw, "F", measure(lambda: floor(dag, reached), repeat=repeat))
                    if shape == "layered" and n == sizes[-1] and null:
                        # The guard alone, for a parent that reaches ten nodes.
                        for impl, ns in (("A", rm), ("B", model)):
                            m = built[impl]
                            parent = roles[-1]  # a leaf role: itself and its pairs
                            g = ns.Group(child="newcomer", parent=parent)
                            record("guard alone", shape, n, fw, impl, measure(lambda: m._check_new_group(g)))
                        for impl in ("A", "B"):
                            gc.collect()
                            ps, gs = stored(rm if impl == "A" else model, groups, policies)
                            cls = A if impl == "A" else B
                            cls(name="bench", policies=ps[:10], groups=gs[:10])  # first-use caches
                            gc.collect()
                            tracemalloc.start()
                            before = tracemalloc.get_traced_memory()[0]
                            keep = cls(name="bench", policies=ps, groups=gs)
                            size = tracemalloc.get_traced_memory()[0] - before
                            tracemalloc.stop()
                            del keep
                            rows.append(("memory", shape, n, fw, impl, size, size, size))
                            print(f"memory {impl}: {size / 1e6:.1f} MB")
                    del built
            # C: PyCasbin, end to end on its own (no framework).
            skip_c = all(any(r[0] == label and r[1] == shape and r[4] == "C" and r[5] is None for r in rows)
                         for label in ("implicit top", "implicit leaf"))
            if not skip_c:
                try:
                    e = casbin_enforcer(groups, policies)
                except ImportError:
                    notes.append("PyCasbin is not installed: C skipped.")
                    e = None
                if e is not None:
                    for label, role in (("implicit top", top), ("implicit leaf", leaf)):
                        skipped = any(r[0] == label and r[1] == shape and r[4] == "C" and r[5] is None for r in rows)
                        if skipped:
                            rows.append((label, shape, n, "casbin", "C", None, None, None))
                            continue
                        try:
                            first = with_limit(lambda: e.get_implicit_permissions_for_user(role), 10.0)
                            result = (first, first, first) if first > 1 else measure(
                                lambda: e.get_implicit_permissions_for_user(role), repeat=3, warmup=0)
                            record(label, shape, n, "casbin", "C", result)
                        except TooSlow:
                            rows.append((label, shape, n, "casbin", "C", None, None, None))
                            notes.append(f"C {label}, {shape}, {n} roles: one query took over 10 s; skipped.")
            # Building through the update operations.
            build_n = n if n <= 1000 else None
            if n == 10000 and shape == "layered":
                build_n = n
            if build_n is not None:
                with null_framework():
                    A, B = classes(True)
                    for impl, cls in (("A", A), ("B", B)):
                        record("build", shape, n, "null", impl, measure(lambda: build(cls, roles, groups, policies, n),
                                                                        repeat=3 if n < 10000 else 1, warmup=0))
    write_results(rows, notes, args.out, sizes)


def build(cls, roles, groups, policies, n):
    """The hierarchy through the update operations. At 10,000 roles and more, the first 99%
    are loaded and only the last 1% of roles go through the operations (the per-role cost at
    that size), since every add scans the stored lists."""
    cut = int(len(roles) * 0.99) if n >= 10000 else 0
    keep = set(roles[:cut])
    m = cls(name="bench", policies=[], groups=[])
    if cut:
        ns = rm if cls.__mro__[1] is rm.RoleMatrix else model
        ps = [ns.Policy(sub=s, obj=o, act=a) for s, o, a in policies if s in keep]
        gs = [ns.Group(child=c, parent=p) for c, p in groups if c in keep and p in keep]
        m = cls(name="bench", policies=ps, groups=gs)
    by_role = {}
    for s, o, a in policies:
        if s not in keep:
            by_role.setdefault(s, []).append({"obj": o, "act": a})
    for role, items in by_role.items():
        m.add_role_permissions(role, items)
    subs = {}
    for c, p in groups:
        if not (c in keep and p in keep):
            subs.setdefault(c, []).append(p)
    for child, parents in subs.items():
        m.add_role_sub_roles(child, parents)
    return m


def write_results(rows, notes, out, sizes):
    import casbin  # noqa: F401  (version below)

    def get(op, shape, n, fw, impl):
        for r in rows:
            if r[:5] == (op, shape, n, fw, impl):
                return r[5]
        return None

    def ratio(a, b):
        return None if a is None or b is None or a == 0 else b / a

    lines = ["# Benchmark results", "",
             f"Written by `bench/run.py` on {datetime.datetime.now().isoformat(timespec='seconds')}.", "",
             f"- machine: {platform.machine()}, {os.cpu_count()} cores, {platform.platform()}",
             f"- Python {platform.python_version()}, PyCasbin {pkg_version('pycasbin')}",
             "- A: this module; B: the same class in plain Python (`tests/model.py`); C: PyCasbin "
             "`get_implicit_permissions_for_user`; F: the interpreter's floor (one pass over `dag` and "
             "the result dicts, given the reached pairs).",
             "- null: `save` and `from_display` do almost nothing; stand-in: the framework of this "
             "repository (save validates and serialises the whole document, to a store that keeps nothing).",
             "- Each figure: median of repeated runs after a warm-up, with (min–max).", ""]
    t = 10000
    big = sizes[-1]
    figures = []
    for n in sizes:
        for label in ("implicit top", "implicit leaf"):
            c = get(label, "layered", n, "casbin", "C")
            if c is not None:
                figures.append((verdict.Target(f"run/{label} C-A {n:>6}", f"{label}, C / A end to end, {n:,} roles",
                                               "≥", 100), ratio(get(label, "layered", n, "stand-in", "A"), c)))
    figures.append((verdict.Target("run/build", f"build through the update operations, {t:,} roles, B / A", "≥", 30),
                    ratio(get("build", "layered", t, "null", "A"), get("build", "layered", t, "null", "B"))))
    figures.append((verdict.Target("run/guard", f"guard alone at {big:,} roles, B / A", "≥", 100),
                    ratio(get("guard alone", "layered", big, "null", "A"), get("guard alone", "layered", big, "null", "B"))))
    ma, mb = get("memory", "layered", big, "null", "A"), get("memory", "layered", big, "null", "B")
    figures.append((verdict.Target("run/memory", f"memory of one role matrix of {big:,} roles, A / B", "≤", 1),
                    None if ma is None or not mb else ma / mb))
    verdict.report("run.py", figures)
    lines += ["The targets of this script (end to end against PyCasbin, the build, the guard alone and "
              "memory) are in the table of targets above; those of the machinery (leaf, top, floor, "
              "contents, load) are `bench/targets.py`'s.", ""]
    lines += ["", "## All figures", "", "| operation | shape | roles | framework | impl | median | min–max |",
              "|---|---|---|---|---|---|---|"]
    for r in rows:
        if r[0] == "memory":
            continue
        lines.append(f"| {r[0]} | {r[1]} | {r[2]} | {r[3]} | {r[4]} | {fmt(r[5])} | "
                     f"{fmt(r[6])}–{fmt(r[7])} |" if r[5] is not None else
                     f"| {r[0]} | {r[1]} | {r[2]} | {r[3]} | {r[4]} | skipped (> 10 s) | |")
    if notes:
        lines += ["", "## Notes", ""] + [f"- {n}" for n in notes]
    lines += ["", "![query time](query.png)", "", "![build time](build.png)", ""]
    import sections

    others = sections.kept(os.path.join(out, "RESULTS.md"))  # written by the other bench scripts
    with open(os.path.join(out, "RESULTS.md"), "w") as f:
        f.write("\n".join(lines) + ("\n" + others if others else ""))
    import results_table

    results_table.write(os.path.join(out, "RESULTS.md"))  # the table of targets back at the top
    plot(rows, out)


def pkg_version(name):
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version(name)
    except PackageNotFoundError:
        return "not installed"


def loglog(ax, xlabel, ylabel):
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_xlabel(xlabel)
    ax.set_ylabel(ylabel)
    ax.legend()


def plot(rows, out):
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib is not installed: no plots")
        return
    fig, axes = plt.subplots(1, 2, figsize=(11, 4.5))
    for ax, label in zip(axes, ("implicit top", "implicit leaf")):
        for impl, fw, style in (("A", "stand-in", "o-"), ("B", "stand-in", "s-"), ("C", "casbin", "^-")):
            pts = [(r[2], r[5]) for r in rows if r[0] == label and r[1] == "layered" and r[4] == impl
                   and r[3] == fw and r[5] is not None]
            if pts:
                ax.plot(*zip(*pts), style, label=f"{impl} ({fw})")
        loglog(ax, "roles (layered hierarchy)", "seconds per query")
        ax.set_title(label)
    fig.tight_layout()
    fig.savefig(os.path.join(out, "query.png"), dpi=100)
    fig, ax = plt.subplots(figsize=(6, 4.5))
    for impl, style in (("A", "o-"), ("B", "s-")):
        for shape in SHAPES:
            pts = [(r[2], r[5]) for r in rows if r[0] == "build" and r[1] == shape and r[4] == impl]
            if pts:
                ax.plot(*zip(*pts), style, label=f"{impl}, {shape}")
    loglog(ax, "roles", "seconds to build (null framework)")
    fig.tight_layout()
    fig.savefig(os.path.join(out, "build.png"), dpi=100)


if __name__ == "__main__":
    main()
