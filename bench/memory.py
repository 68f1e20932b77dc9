"""Memory and cold load of a large matrix: bytes a stored record holds once loaded, the time
of a cold load split between the framework (reading the stored text, building and checking
the records) and the module (building its index), and the speed of the module's field reads.

    python bench/memory.py [ROLES] [--before DIR] [--no-write]     # 100000 roles

The matrix: ROLES roles in ten layers, each role a sub-role of two in the layer below
(~2 sub-role links a role), three grants a role over 5,000 objects and five actions (so equal
object and action strings recur, as in real matrices). It is saved to a SQLite file and loaded
in fresh processes: five timed, one under tracemalloc (Python objects only: the module's own
index is C++ memory, counted by the resident-set figure).

`--before DIR`: also measure an older version in the same run, its packages (zarn_engine,
zarn_fields, zarn_user with its built module) copied into DIR; it runs as `python -S` with DIR
as its only path, and saves its own file in its own format.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ACTS = ["read", "write", "delete", "list", "admin"]


def matrix_lists(n: int) -> tuple[list[tuple[str, str]], list[tuple[str, str, str]]]:
    per = max(n // 10, 1)
    levels = [[f"r{lv}_{i}" for i in range(per)] for lv in range(10)]
    groups = [(r, levels[lv + 1][j]) for lv in range(9) for i, r in enumerate(levels[lv])
              for j in sorted({(2 * i) % per, (2 * i + 1) % per})]
    roles = [r for level in levels for r in level]
    policies = [(r, f"obj{(7 * i + k) % 5000}", ACTS[(i + k) % 5]) for i, r in enumerate(roles) for k in range(3)]
    return groups, policies


def rss() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def child_save(path: str, n: int) -> dict[str, float]:
    import zarn_engine
    import zarn_user.role_matrix as rm

    groups, policies = matrix_lists(n)
    engine = zarn_engine.open_engine(path)
    m = rm.RoleMatrix(name="bench", policies=[rm.Policy(sub=s, obj=o, act=a) for s, o, a in policies],
                      groups=[rm.Group(child=c, parent=p) for c, p in groups])
    start = time.perf_counter()
    m.save(engine)
    return {"save": time.perf_counter() - start, "records": len(policies) + len(groups)}


def child_load(path: str, traced: bool) -> dict[str, float]:
    import zarn_engine
    import zarn_user.role_matrix as rm

    engine = zarn_engine.open_engine(path)
    collection = rm.RoleMatrix._collection()
    gc.collect()
    if traced:
        import tracemalloc

        tracemalloc.start()
    before = rss()
    start, cpu_start = time.perf_counter(), time.process_time()
    text, _ = engine.load(collection, "bench")
    fetched, cpu_fetched = time.perf_counter(), time.process_time()
    m = rm.RoleMatrix._from_stored("bench", text)
    loaded, cpu_loaded = time.perf_counter(), time.process_time()
    del text
    gc.collect()
    out = {"rss": rss() - before, "fetch": fetched - start, "total": loaded - start,
           "cpu fetch": cpu_fetched - cpu_start, "cpu total": cpu_loaded - cpu_start,
           "records": len(m.policies) + len(m.groups)}
    if traced:
        out["traced"] = tracemalloc.get_traced_memory()[0]
        return out
    # The module's part of a load: its index built from the stored lists, field reads of
    # every record included (best of five).
    builds, cpu = [], []
    for _ in range(5):
        m.dag = {}
        t, c = time.perf_counter(), time.process_time()
        m._dag_generate()
        builds.append(time.perf_counter() - t)
        cpu.append(time.process_time() - c)
    out["module"] = min(builds)
    out["cpu module"] = min(cpu)
    return out


def run_child(python: list[str], env: dict[str, str], *args: str) -> dict[str, float]:
    out = subprocess.run([*python, os.path.abspath(__file__), "--child", *args], env=env, check=True,
                         stdout=subprocess.PIPE, text=True)
    return json.loads(out.stdout)


def measure(label: str, python: list[str], env: dict[str, str], n: int, tmp: str) -> dict[str, float]:
    path = os.path.join(tmp, f"{label}.sqlite")
    saved = run_child(python, env, "save", path, str(n))
    timed = [run_child(python, env, "load", path) for _ in range(5)]
    traced = run_child(python, env, "traced", path)
    best = min(timed, key=lambda r: r["total"])
    cpu = min(timed, key=lambda r: r["cpu total"])
    records = best["records"]
    return {
        "records": records, "save": saved["save"], "stored bytes": os.path.getsize(path),
        "load": best["total"], "fetch": best["fetch"], "module": best["module"],
        "framework": best["total"] - best["fetch"] - best["module"],
        "cpu load": cpu["cpu total"], "cpu module": cpu["cpu module"],
        "cpu framework": cpu["cpu total"] - cpu["cpu fetch"] - cpu["cpu module"],
        "traced per record": traced["traced"] / records, "rss per record": best["rss"] / records,
        "module read per record (ns)": cpu["cpu module"] / records * 1e9,
    }


def main() -> None:
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        mode, path = sys.argv[2], sys.argv[3]
        result = (child_save(path, int(sys.argv[4])) if mode == "save"
                  else child_load(path, traced=mode == "traced"))
        print(json.dumps(result))
        return
    parser = argparse.ArgumentParser()
    parser.add_argument("roles", nargs="?", type=int, default=100_000)
    parser.add_argument("--before", help="a directory holding an older version's packages")
    parser.add_argument("--no-write", action="store_true")
    args = parser.parse_args()
    results = {}
    with tempfile.TemporaryDirectory() as tmp:
        if args.before:
            env = {**os.environ, "PYTHONPATH": os.path.abspath(args.before)}
            results["before"] = measure("before", [sys.executable, "-S"], env, args.roles, tmp)
        results["now"] = measure("now", [sys.executable], dict(os.environ), args.roles, tmp)
    rows = [
        ("records loaded (grants + sub-role links)", "records", "{:,.0f}"),
        ("bytes a record, Python objects (tracemalloc)", "traced per record", "{:.0f}"),
        ("bytes a record, resident set (index included)", "rss per record", "{:.0f}"),
        ("stored text, bytes", "stored bytes", "{:,.0f}"),
        ("cold load, s", "load", "{:.3f}"),
        ("  reading the stored text, s", "fetch", "{:.3f}"),
        ("  framework: decoding, records, checks, s", "framework", "{:.3f}"),
        ("  module: index from the stored lists, s", "module", "{:.3f}"),
        ("cold load, CPU s", "cpu load", "{:.3f}"),
        ("  framework, CPU s", "cpu framework", "{:.3f}"),
        ("  module, CPU s", "cpu module", "{:.3f}"),
        ("module's index build per record, ns (field reads)", "module read per record (ns)", "{:.0f}"),
        ("first save, s", "save", "{:.3f}"),
    ]
    labels = list(results)
    lines = [f"| {args.roles:,} roles | " + " | ".join(labels) + " |", "|---|" + "---|" * len(labels)]
    for title, key, fmt in rows:
        lines.append(f"| {title} | " + " | ".join(fmt.format(results[label][key]) for label in labels) + " |")
    table = "\n".join(lines)
    print(table)
    sys.path.insert(0, HERE)
    import verdict

    now = results["now"]
    verdict.report("memory.py", [
        (verdict.Target(f"memory/bytes {args.roles:>7}", f"bytes a loaded record (Python objects), {args.roles:,} roles",
                        "≤", 150, "B"), now["traced per record"]),
        (verdict.Target(f"memory/load {args.roles:>7}", f"cold load in a fresh process, SQLite, {args.roles:,} roles",
                        "≤", 0.5, "s"), now["load"]),
    ], path=None if args.no_write else verdict.FIGURES)
    if not args.no_write:
        import sections

        sections.write("memory", "## Memory and cold load\n\n`python bench/memory.py"
                       + (" --before DIR" if args.before else "") + f"` ({time.strftime('%Y-%m-%d')}): "
                       "best of five cold loads, each in a fresh process (wall clock, and CPU time, which a busy "
                       "machine disturbs less)."
                       + (" `before`: the previous version's packages, measured in the same run." if args.before else "")
                       + " Bytes a record: the Python objects a loaded matrix holds (its records, their strings, "
                       "the lists and the module's `dag`) over the number of stored records; the resident set adds "
                       "the module's C++ index. The framework's part of a load: decoding the stored text, building "
                       "and checking the records; the module's: its index built from the stored lists.\n\n"
                       + table + "\n")


if __name__ == "__main__":
    main()
