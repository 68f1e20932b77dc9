"""Instruction counts under callgrind for the machinery targets: repeatable on a shared,
noisy machine, where wall-clock ratios of short operations swing by a third.

    python bench/instructions.py        # about 20 minutes

Each figure is (instructions of a run doing N operations - instructions of the same run
doing none) / N, so the setup cancels out. Writes a section of bench/RESULTS.md.
"""

from __future__ import annotations

import os
import re
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))

SCRIPT = r"""
import sys
sys.path.insert(0, {bench!r}); sys.path.insert(0, {tests!r})
import run, zarn_engine, model
import zarn_user.role_matrix as rm
zarn_engine.use_engine(run.AcceptingEngine())
roles, groups, policies, top, leaf = run.make_graph("layered", 10000)
which, n = sys.argv[1], int(sys.argv[2])
with run.null_framework():
    A, B = run.classes(True)
    ps, gs = run.stored(rm, groups, policies)
    m = A(name="bench", policies=ps, groups=gs)
    ps2, gs2 = run.stored(model, groups, policies)
    b = B(name="bench", policies=ps2, groups=gs2)
    d = m.get_implicit_permissions_for_roles([top])
    reached = {{(p["obj"], p["act"]) for p in d.permissions}}
    ops = {{
        "top A": lambda: m.get_implicit_permissions_for_roles([top]),
        "top B": lambda: b.get_implicit_permissions_for_roles([top]),
        "top F": lambda: run.floor(m.dag, reached),
        "leaf A": lambda: m.get_implicit_permissions_for_roles([leaf]),
        "leaf B": lambda: b.get_implicit_permissions_for_roles([leaf]),
        "contents A": lambda: m.get_role_contents(leaf),
        "contents B": lambda: b.get_role_contents(leaf),
        "load A": lambda: A(name="bench", policies=list(ps), groups=list(gs)),
        "load B": lambda: B(name="bench", policies=list(ps2), groups=list(gs2)),
    }}
    for _ in range(n):
        ops[which]()
"""

# A load alone, at a given size: instructions per role of one load (the graph built from the
# stored records, the collector's share included).
LOAD_SCRIPT = r"""
import sys
sys.path.insert(0, {bench!r})
import run, zarn_engine
import zarn_user.role_matrix as rm
zarn_engine.use_engine(run.AcceptingEngine())
which, n = sys.argv[1], int(sys.argv[2])
roles, groups, policies, top, leaf = run.make_graph("layered", int(which))
with run.null_framework():
    A, B = run.classes(True)
    ps, gs = run.stored(rm, groups, policies)
    for _ in range(n):
        A(name="bench", policies=list(ps), groups=list(gs))
"""
LOAD_SIZES = (1_000, 10_000, 100_000)

# Operations per run: enough that the operation outweighs the noise of the setup's count.
RUNS = {"top": 10, "leaf": 50, "contents": 50, "load": 3}
RUNS_A = {"leaf": 2000}  # the module's leaf query is a few microseconds


def instructions(script: str, which: str, n: int) -> int:
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "cg.out")
        # A fixed hash seed: the same dict layouts, hence the same counts, in every run.
        env = {**os.environ, "PYTHONHASHSEED": "0"}
        r = subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", sys.executable,
                            script, which, str(n)], capture_output=True, text=True, check=True, env=env)
    return int(re.search(r"refs:\s+([\d,]+)", r.stderr).group(1).replace(",", ""))


def main() -> None:
    with tempfile.NamedTemporaryFile("w", suffix=".py", delete=False) as f:
        f.write(SCRIPT.format(bench=HERE, tests=os.path.join(HERE, "..", "tests")))
    base = instructions(f.name, "top A", 0)
    per = {}
    for op, n in RUNS.items():
        for impl in ("A", "B", "F") if op == "top" else ("A", "B"):
            k = RUNS_A.get(op, n) if impl == "A" else n
            per[op, impl] = (instructions(f.name, f"{op} {impl}", k) - base) / k
            print(f"{op} {impl}: {per[op, impl]:,.0f} instructions", flush=True)
    os.unlink(f.name)
    with tempfile.NamedTemporaryFile("w", suffix=".py", delete=False) as f:
        f.write(LOAD_SCRIPT.format(bench=HERE))
    per_role = {}
    for size in LOAD_SIZES:
        per_role[size] = (instructions(f.name, str(size), 1) - instructions(f.name, str(size), 0)) / size
        print(f"load of {size:,} roles: {per_role[size]:,.0f} instructions a role", flush=True)
    os.unlink(f.name)
    fmt = lambda x: f"{x / 1e6:.2f} M" if x >= 1e6 else f"{x / 1e3:.1f} k"  # noqa: E731
    lines = ["## Instruction counts", "",
             "`bench/instructions.py`: callgrind, layered hierarchy of 10,000 roles, null framework; "
             "instructions per operation (setup subtracted). Repeatable where wall-clock ratios are not.", "",
             "| operation | A | B | F | B / A |", "|---|---:|---:|---:|---:|"]
    for op in RUNS:
        f_ = per.get((op, "F"))
        lines.append(f"| {op} | {fmt(per[op, 'A'])} | {fmt(per[op, 'B'])} | {'' if f_ is None else fmt(f_)} | "
                     f"{per[op, 'B'] / per[op, 'A']:.2f}× |")
    lines += ["", "Load (A) per role, one load of the layered hierarchy, the collector included: " +
              ", ".join(f"{size:,} roles {per_role[size] / 1e3:.1f} k" for size in LOAD_SIZES) + "."]
    print("\n".join(lines))
    sys.path.insert(0, HERE)
    import verdict

    goals = {"leaf": 20, "top": 2.5, "contents": 1.5, "load": 2}  # those of bench/targets.py, by instructions
    figures = [(verdict.Target(f"instructions/{op}", f"{op}, B / A by instructions, 10,000 roles", "≥", goal),
                per[op, "B"] / per[op, "A"]) for op, goal in goals.items()]
    figures.append((verdict.Target("instructions/load a role", "load, instructions a role, 100,000 roles", "≤", 12e3, ""),
                    per_role[100_000]))
    verdict.report("instructions.py", figures)
    import sections

    sections.write("instructions", "\n".join(lines))


if __name__ == "__main__":
    main()
