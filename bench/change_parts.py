"""Where a committed change goes on a large matrix: the framework's part of one grant, revoke
and include (finding the change, checking it, the store's commit, the snapshot brought on),
the store's commit alone, and what a worker holding the matrix pays to serve the change
(a strict `Live` document: the read of the changes and their application).

    python bench/change_parts.py [--sizes 100000,1000000] [--stores sqlite,postgresql]
                                 [--repeat 9] [--before DIR] [--postgres URL] [--no-write]

The matrix is bench/scale.py's (ten levels, 3 grants and 2 sub-roles a role). Each version
runs in a process of its own on the same stores: `--before DIR` also measures an older
version, its packages (zarn_engine, zarn_fields, zarn_user with its built module) copied into
DIR, run with DIR first on its path. Medians of `--repeat` runs, each on other roles.

Writes the section "change-parts" of bench/RESULTS.md (unless --no-write).
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
OPS = ("grant", "revoke", "include")


def child(url: str, n: int, repeat: int) -> dict:
    sys.path.insert(0, HERE)
    import scale
    import zarn_engine
    import zarn_user.role_matrix as rm
    from zarn_engine import persist

    engine = zarn_engine.connect(url)
    try:
        m = rm.RoleMatrix.load(scale.KEY)
    except zarn_engine.DoesNotExist:
        policies, groups = scale.records(n)
        rm.RoleMatrix(name=scale.KEY, policies=policies, groups=groups).save()
        m = rm.RoleMatrix.load(scale.KEY)
    live = zarn_engine.Live(rm.RoleMatrix, consistency="strict")
    held = live.get(scale.KEY)
    gc.collect()
    gc.freeze()  # the matrices' objects stay out of the collector's passes: each run pays its own

    spent: dict[str, float] = {}

    def timing(owner, name: str, label: str) -> None:
        inner = getattr(owner, name)

        def timed(*args, **kwargs):
            start = time.perf_counter()
            try:
                return inner(*args, **kwargs)
            finally:
                spent[label] = spent.get(label, 0.0) + time.perf_counter() - start

        setattr(owner, name, timed)

    timing(persist, "save", "framework")
    timing(type(engine), "commit", "commit")
    per = scale.per_level(n)
    salt = int(time.time())

    def op(kind: str, i: int):
        if kind == "grant":
            role = f"r3_{(13 * i + salt) % per}"
            return lambda: m.add_role_permissions(role, [{"obj": f"part{salt}_{i}", "act": "read"}])
        if kind == "revoke":
            role = f"r5_{(13 * i + salt) % per}"
            kept = [{"obj": p.obj, "act": p.act} for p in m.get_role_contents(role).permissions][1:]
            return lambda: m.set_role_permissions(role, kept)
        return lambda: m.add_role_sub_roles(f"r2_{(13 * i + salt) % per}", [f"r4_{(7 * i + salt) % per}"])

    out: dict = {}
    for kind in OPS:
        rows = []
        for i in range(repeat):
            fn = op(kind, i)
            spent.clear()
            gc.collect()
            start = time.perf_counter()
            fn()
            total = time.perf_counter() - start
            gc.collect()
            start = time.perf_counter()
            doc = live.get(scale.KEY)
            served = time.perf_counter() - start
            if doc is not held or doc.version != m.version:
                raise AssertionError("the worker did not apply the change to the instance it holds")
            framework, commit = spent.get("framework", 0.0), spent.get("commit", 0.0)
            rows.append((total, framework, commit, framework - commit, served))
        out[kind] = {key: statistics.median(col) for key, col in zip(("total", "framework", "commit", "own", "served"),
                                                                       zip(*rows))}
    fresh = rm.RoleMatrix.load(scale.KEY)
    for name in ("policies", "groups"):
        shown = [r.to_display() for r in getattr(fresh, name)]
        if shown != [r.to_display() for r in getattr(m, name)] or shown != [r.to_display() for r in getattr(held, name)]:
            raise AssertionError(f"the stored {name} differ from those of the writer or the worker")
    live.close()
    engine.close()
    return out


def measure(label: str, argv: list[str], env: dict, url: str, n: int, repeat: int) -> dict:
    print(f"-- {label}: {url if '://' in url else os.path.basename(url)}, {n:,} roles", flush=True)
    done = subprocess.run(argv + [os.path.abspath(__file__), "--child", url, str(n), str(repeat)], env=env,
                          capture_output=True, text=True)
    if done.returncode != 0:
        raise RuntimeError(f"{label} failed:\n{done.stderr[-3000:]}")
    result = json.loads(done.stdout.strip().splitlines()[-1])
    for kind in OPS:
        r = result[kind]
        print(f"   {kind}: operation {r['total'] * 1e3:.2f} ms, framework {r['framework'] * 1e3:.2f} ms "
              f"(commit {r['commit'] * 1e3:.2f} ms, the rest {r['own'] * 1e3:.2f} ms), served by a worker {r['served'] * 1e3:.2f} ms", flush=True)
    return result


def postgres_url(base: str, schema: str) -> str:
    import psycopg

    with psycopg.connect(base, autocommit=True) as conn:
        conn.execute(f"CREATE SCHEMA {schema}")
    sep = "&" if "?" in base else "?"
    return f"{base}{sep}options=-csearch_path%3D{schema}"


def drop_schemas(base: str, schemas: list[str]) -> None:
    """Drops the schemas postgres_url made (none: nothing to do)."""
    if not schemas:
        return
    import psycopg

    with psycopg.connect(base, autocommit=True) as conn:
        for schema in schemas:
            conn.execute(f"DROP SCHEMA {schema} CASCADE")


def main() -> None:
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        print(json.dumps(child(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]))))
        return
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--sizes", default="100000,1000000")
    ap.add_argument("--stores", default="sqlite,postgresql")
    ap.add_argument("--pg-sizes", default="100000", help="sizes measured on PostgreSQL")
    ap.add_argument("--repeat", type=int, default=9)
    ap.add_argument("--before", help="a directory holding an older version's packages")
    ap.add_argument("--postgres", default=os.environ.get("ZARN_TEST_POSTGRES_URL"))
    ap.add_argument("--no-write", action="store_true")
    args = ap.parse_args()
    versions = []
    if args.before:
        site = [p for p in sys.path if p.endswith("site-packages")]  # the driver, for PostgreSQL
        env = {**os.environ, "PYTHONPATH": os.pathsep.join([os.path.abspath(args.before)] + site)}
        versions.append(("before", [sys.executable, "-S"], env))
    versions.append(("now", [sys.executable], dict(os.environ)))
    runs = []
    schemas = []
    tmp = tempfile.mkdtemp(prefix="zarn-parts-")
    load = os.getloadavg()[0]
    try:
        for store in args.stores.split(","):
            sizes = args.sizes if store == "sqlite" else args.pg_sizes
            for n in [int(s) for s in sizes.split(",") if s]:
                if store == "sqlite":
                    url = os.path.join(tmp, f"parts-{n}.sqlite3")
                else:
                    if not args.postgres:
                        print("-- PostgreSQL skipped: no --postgres URL", flush=True)
                        continue
                    schema = f"parts_{os.getpid()}_{n}"
                    url = postgres_url(args.postgres, schema)
                    schemas.append(schema)
                results = {}
                # The newest version first: it makes the store the others read.
                for label, argv, env in reversed(versions):
                    results[label] = measure(label, argv, env, url, n, args.repeat)
                runs.append((store, n, results))
    finally:
        import shutil

        shutil.rmtree(tmp, ignore_errors=True)
        drop_schemas(args.postgres, schemas)
    labels = [label for label, _, _ in versions]
    names = {"sqlite": "SQLite", "postgresql": "PostgreSQL"}
    head = "| | " + " | ".join(f"{names[s]} {n:,} {label}" for s, n, _ in runs for label in labels) + " |"
    lines = [head, "|---|" + "---:|" * (len(runs) * len(labels))]
    rows = [("framework's part", "framework"), ("  of which the store's commit", "commit"),
            ("  the rest: finding the change, the snapshot", "own"),
            ("whole operation (module included)", "total"), ("served by a strict worker (read + apply)", "served")]
    for kind in OPS:
        for title, key in rows:
            cells = [f"{results[label][kind][key] * 1e3:.2f}" for _, _, results in runs for label in labels]
            lines.append(f"| {kind}: {title} | " + " | ".join(cells) + " |")
    table = "\n".join(lines)
    print(table)
    sys.path.insert(0, HERE)
    import verdict

    limits = {100_000: 0.010, 1_000_000: 0.020}  # bench/scale.py's: one change committed
    verdict.report("change_parts.py", [
        (verdict.Target(f"change-parts/{store} {n:>7} {kind}", f"one {kind} committed, whole operation, "
                        f"{names[store]}, {n:,} roles", "≤", limits[n], "s"), results["now"][kind]["total"])
        for store, n, results in runs for kind in OPS if n in limits],
        note=f"median of {args.repeat}", path=None if args.no_write else verdict.FIGURES)
    if not args.no_write:
        import sections

        sections.write("change-parts", "## Where a committed change goes, before and after\n\n"
                       f"`python bench/change_parts.py{' --before DIR' if args.before else ''}` "
                       f"({time.strftime('%Y-%m-%d')}, load average {load:.1f} at the start; 2 cores shared): "
                       "bench/scale.py's matrix, in process; ms, median of "
                       f"{args.repeat} runs each on other roles. The framework's part is all of the save "
                       "(finding the change, checking it, the store's commit, the snapshot brought on); "
                       "a strict worker holding the matrix serves the change by reading it and applying it "
                       "to its instance."
                       + (" `before`: the previous version's packages, measured in the same run." if args.before else "")
                       + "\n\n" + table + "\n")


if __name__ == "__main__":
    main()
