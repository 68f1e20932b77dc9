"""Cold loads of the matrix of bench/scale.py (ten layers, 3 grants and 2 sub-roles a role, every
grant its own object) from SQLite, each in a fresh process: CPU and wall time of
`RoleMatrix.load` with its graph, and the collector's share of it; beside them the floor of
this design, the same records and graph built from columns already decoded.

    python bench/cold_load.py [--sizes 100000,1000000] [--runs 5] [--before DIR] [--no-write]

`--before DIR`: also load with an older version's packages copied into DIR (zarn_engine,
zarn_fields, zarn_user with its built module), run as `python -S` with DIR as its only path,
in turns with this version, each loading the file it saved. Writes the section "cold-load" of
bench/RESULTS.md (unless --no-write).
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def child_save(path: str, n: int) -> None:
    sys.path.insert(0, HERE)
    import scale
    import zarn_engine
    import zarn_user.role_matrix as rm

    zarn_engine.connect(path)
    policies, groups = scale.records(n)
    rm.RoleMatrix(name=scale.KEY, policies=policies, groups=groups).save()


def timed(fn) -> dict[str, float]:
    """fn()'s CPU and wall time, and the collector's CPU time inside it."""
    import gc

    spent = [0.0, 0]

    def collector(phase: str, info: dict) -> None:
        if phase == "start":
            spent[1] = time.process_time_ns()
        else:
            spent[0] += (time.process_time_ns() - spent[1]) / 1e9

    gc.collect()
    gc.callbacks.append(collector)
    wall, cpu = time.perf_counter(), time.process_time()
    records = fn()
    cpu, wall = time.process_time() - cpu, time.perf_counter() - wall
    gc.callbacks.remove(collector)
    return {"cpu": cpu, "wall": wall, "collector": spent[0], "records": records}


def child_load(path: str) -> dict[str, float]:
    import zarn_engine
    import zarn_user.role_matrix as rm

    zarn_engine.connect(path)
    rm.RoleMatrix(name="warm")  # first-use costs: compiled patterns, the module's own checks

    def load() -> int:
        m = rm.RoleMatrix.load("scale")
        len(m.dag)
        return len(m.policies) + len(m.groups)
    return timed(load)


def child_floor(path: str) -> dict[str, float]:
    """What no load of this design goes below: the stored columns given decoded, the records
    built as a load builds them and the module's graph made from them, nothing checked."""
    import json as json_
    import sqlite3

    import zarn_user.role_matrix as rm
    from zarn_engine import codec

    warm = rm.RoleMatrix(name="warm")
    with sqlite3.connect(path) as db:
        (text,), = db.execute("SELECT data FROM documents WHERE key = 'scale'")
    data = json_.loads(text)
    strings = tuple(data["strings"])
    columns = {name: {field: codec.decode(column) for field, column in fields.items()}
               for name, fields in data["lists"].items()}
    del data, text

    def build() -> int:
        warm.policies = codec.read_records(rm.Policy, columns["policies"], strings, None, set())
        warm.groups = codec.read_records(rm.Group, columns["groups"], strings, None, set())
        warm.dag = {}
        warm._dag_generate()
        return len(warm.policies) + len(warm.groups)
    return timed(build)


def run_child(python: list[str], env: dict[str, str], *args: str) -> dict[str, float]:
    out = subprocess.run([*python, os.path.abspath(__file__), "--child", *args], env=env, check=True,
                         stdout=subprocess.PIPE, text=True)
    return json.loads(out.stdout) if out.stdout.strip() else {}


def main() -> None:
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        if sys.argv[2] == "save":
            child_save(sys.argv[3], int(sys.argv[4]))
        elif sys.argv[2] == "floor":
            print(json.dumps(child_floor(sys.argv[3])))
        else:
            print(json.dumps(child_load(sys.argv[3])))
        return
    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes", default="100000,1000000")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--before", help="a directory holding an older version's packages")
    parser.add_argument("--no-write", action="store_true")
    args = parser.parse_args()
    versions = {"now": ([sys.executable], dict(os.environ))}
    if args.before:
        versions = {"before": ([sys.executable, "-S"], {**os.environ, "PYTHONPATH": os.path.abspath(args.before)}),
                    **versions}
    sizes = [int(s) for s in args.sizes.split(",")]
    results: dict[tuple[int, str], list[dict[str, float]]] = {}
    with tempfile.TemporaryDirectory() as tmp:
        for n in sizes:
            # Each version loads what it saved itself: their stored formats may differ.
            paths = {label: os.path.join(tmp, f"scale-{n}-{label}.sqlite3") for label in versions}
            for label, (python, env) in versions.items():
                run_child(python, env, "save", paths[label], str(n))
            for _ in range(args.runs):  # in turns, so that the machine's load falls on both
                for label, (python, env) in versions.items():
                    results.setdefault((n, label), []).append(run_child(python, env, "load", paths[label]))
                python, env = versions["now"]
                results.setdefault((n, "floor"), []).append(run_child(python, env, "floor", paths["now"]))
            for path in paths.values():
                os.unlink(path)

    def cell(runs: list[dict[str, float]], key: str) -> str:
        values = sorted(r[key] for r in runs)
        return f"{statistics.median(values):.3f} ({values[0]:.3f})"

    labels = [*versions, "floor"]
    lines = ["| roles | version | records | CPU s | wall s | collector CPU s |", "|---:|---|---:|---:|---:|---:|"]
    for n in sizes:
        for label in labels:
            runs = results[n, label]
            lines.append(f"| {n:,} | {label} | {int(runs[0]['records']):,} | {cell(runs, 'cpu')} | "
                         f"{cell(runs, 'wall')} | {cell(runs, 'collector')} |")
    table = "\n".join(lines)
    print(table)
    sys.path.insert(0, HERE)
    import verdict

    limits = {100_000: 0.5, 1_000_000: 6.0}  # those of bench/scale.py's cold load
    verdict.report("cold_load.py", [
        (verdict.Target(f"cold-load/{n:>7}", f"cold load in a fresh process, SQLite, {n:,} roles (wall, median)",
                        "≤", limits[n], "s"), statistics.median(r["wall"] for r in results[n, "now"]))
        for n in sizes if n in limits], note=f"{args.runs} runs", path=None if args.no_write else verdict.FIGURES)
    if not args.no_write:
        import sections

        sections.write("cold-load", "## Cold load of the scale matrix\n\n`python bench/cold_load.py"
                       + (" --before DIR" if args.before else "") + f"` ({time.strftime('%Y-%m-%d')}, load average "
                       f"{os.getloadavg()[0]:.1f} at the end): `RoleMatrix.load` of the matrix of `bench/scale.py` "
                       "from SQLite, graph included, each in a fresh process; median of "
                       f"{args.runs} (fastest in brackets)"
                       + (", the two versions in turns, each loading the matrix as it saved it" if args.before else "")
                       + ". Collector: CPU time inside the collector's passes during the load. `floor`: what no load "
                       "of this design goes below, in the same turns: the stored columns given decoded, the records "
                       "built as a load builds them and the module's graph made from them, nothing read or "
                       "checked.\n\n" + table + "\n")


if __name__ == "__main__":
    main()
