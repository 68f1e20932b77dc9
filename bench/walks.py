"""The module's part of one change on a large matrix: one grant, revoke and include (each
answered with the role's contents, as the update operations answer) and the contents query
alone, with saving and the framework's conversions stubbed out, at 10^5 and 10^6 roles.

    python bench/walks.py [--sizes 100000,1000000] [--runs 15] [--other PATH [--other-label L]]
                          [--no-write | --results PATH]

The matrix has the shape of bench/scale.py (ten levels, 3 grants and 2 sub-roles a role).
Two layouts of the same lists: "made in order" (records allocated in list order, as a load
makes them) and "scattered" (records allocated in a shuffled order, as after many changes,
so that consecutive records share no cache line). --other names another build of the
module (a role_matrix shared library) measured in the same run, in its own processes,
for a before/after comparison. Each (build, size, layout) runs in a fresh process.

Writes the section "walks" of bench/RESULTS.md (unless --no-write).
"""

from __future__ import annotations

import argparse
import datetime
import gc
import importlib.machinery
import importlib.util
import json
import os
import platform
import random
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
OPS = ("contents", "grant", "revoke", "include")


def load_module(path: str | None):
    """The module, from the installed package or from the shared library at `path`."""
    if path is None:
        import zarn_user.role_matrix as rm
        return rm
    import zarn_user
    name = "zarn_user.role_matrix"
    loader = importlib.machinery.ExtensionFileLoader(name, path)
    spec = importlib.util.spec_from_file_location(name, path, loader=loader)
    module = importlib.util.module_from_spec(spec)
    sys.modules[name] = module
    loader.exec_module(module)
    zarn_user.role_matrix = module
    return module


def child(n: int, layout: str, runs: int, path: str | None) -> dict[str, list[float]]:
    """One process: build the matrix, time each operation `runs` times (ms)."""
    rm = load_module(path)
    sys.path.insert(0, os.path.join(HERE, "..", "tests"))
    sys.path.insert(0, HERE)
    import run
    import scale

    per = scale.per_level(n)
    with run.null_framework():
        matrix_class = run.classes(True)[0]
        policies, groups = scale.records(n) if layout == "in order" else scattered(rm, scale, n)
        m = matrix_class(name="walks", policies=policies, groups=groups)
        del policies, groups
        gc.collect()
        gc.freeze()  # the timed calls pay no pass of the collector over the matrix
        gc.disable()
        rng = random.Random(7)
        times: dict[str, list[float]] = {op: [] for op in OPS}
        for i in range(runs):
            role = f"r5_{rng.randrange(per)}"
            before = [dict(p) for p in m.get_role_contents(role).permissions]
            steps = {
                "contents": lambda: m.get_role_contents(role),
                "grant": lambda: m.add_role_permissions(f"r3_{i}", [{"obj": f"added{i}", "act": "read"}]),
                "revoke": lambda: m.set_role_permissions(role, before[1:]),
                "include": lambda: m.add_role_sub_roles(f"r2_{rng.randrange(per)}", [f"r4_{rng.randrange(per)}"]),
            }
            for op in OPS:
                fn = steps[op]
                start = time.perf_counter()
                fn()
                times[op].append((time.perf_counter() - start) * 1e3)
            m.set_role_permissions(role, before)  # the revoked grant back, untimed
    return times


def scattered(rm, scale, n: int):
    """The lists of scale.records(n), their records allocated in a shuffled order."""
    policies, groups = scale.records(n)
    shapes = ([("p", i, p.sub, p.obj, p.act) for i, p in enumerate(policies)]
              + [("g", i, g.child, g.parent) for i, g in enumerate(groups)])
    del policies, groups
    random.Random(11).shuffle(shapes)
    npol = sum(1 for s in shapes if s[0] == "p")
    ps: list = [None] * npol
    gs: list = [None] * (len(shapes) - npol)
    for s in shapes:
        if s[0] == "p":
            # new str objects, allocated beside their record
            ps[s[1]] = rm.Policy(sub="".join(s[2]), obj="".join(s[3]), act="".join(s[4]))
        else:
            gs[s[1]] = rm.Group(child="".join(s[2]), parent="".join(s[3]))
    return ps, gs


def measure(n: int, layout: str, runs: int, path: str | None) -> dict[str, list[float]]:
    out = subprocess.run([sys.executable, __file__, "--child", str(n), layout, str(runs), path or ""],
                         check=True, capture_output=True, text=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def fmt(ms: float) -> str:
    return f"{ms:.2f}" if ms < 10 else f"{ms:.1f}"


def main() -> None:
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        n, layout, runs, path = int(sys.argv[2]), sys.argv[3], int(sys.argv[4]), sys.argv[5] or None
        print(json.dumps(child(n, layout, runs, path)))
        return
    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes", default="100000,1000000")
    parser.add_argument("--runs", type=int, default=15)
    parser.add_argument("--other", help="another build of the module to compare with")
    parser.add_argument("--other-label", default="before")
    parser.add_argument("--label", default="this build")
    parser.add_argument("--no-write", action="store_true")
    parser.add_argument("--results", default=os.path.join(HERE, "RESULTS.md"))
    args = parser.parse_args()
    builds = ([(args.other_label, args.other)] if args.other else []) + [(args.label, None)]
    rows = []
    for n in [int(s) for s in args.sizes.split(",")]:
        for layout in ("in order", "scattered"):
            medians = {}
            for label, path in builds:
                times = measure(n, layout, args.runs, path)
                medians[label] = {op: statistics.median(times[op]) for op in OPS}
                print(n, layout, label, {op: round(v, 2) for op, v in medians[label].items()}, flush=True)
            rows.append((n, layout, medians))
    labels = [label for label, _ in builds]
    lines = ["| roles, layout | build | " + " | ".join(OPS) + " |", "|---|---|" + "---:|" * len(OPS)]
    for n, layout, medians in rows:
        for label in labels:
            lines.append(f"| 10^{len(str(n)) - 1}, {layout} | {label} | "
                         + " | ".join(fmt(medians[label][op]) for op in OPS) + " |")
    table = "\n".join(lines)
    print(table)
    if args.no_write:
        return
    load = os.getloadavg()[0]
    body = (f"## The module's walks of the stored lists\n\n"
            f"Written by `bench/walks.py` on {datetime.datetime.now().isoformat(timespec='seconds')}: "
            f"{platform.machine()}, {os.cpu_count()} cores, Python {platform.python_version()}, load average "
            f"{load:.1f} at the start. The module's part of one change, in ms (median of {args.runs}): saving "
            "and the framework's conversions stubbed out (`bench/run.py`'s null framework), each update "
            "answered with the role's contents as the operations answer; the collector off during the "
            "calls. Shape of `bench/scale.py`: 3 grants and 2 sub-roles a role (10^6 roles: 3,000,001 "
            "policies and 2,000,001 groups).\n\n" + table + "\n")
    write_section(args.results, "walks", body)


def write_section(path: str, name: str, body: str) -> None:
    begin, end = f"<!-- begin {name} -->", f"<!-- end {name} -->"
    text = open(path).read() if os.path.exists(path) else ""
    block = f"{begin}\n{body}{end}\n"
    if begin in text and end in text:
        text = text[:text.index(begin)] + block + text[text.index(end) + len(end) + 1:]
    else:
        text = text.rstrip("\n") + "\n\n" + block
    with open(path, "w") as f:
        f.write(text)


if __name__ == "__main__":
    main()
