"""The machinery targets, measured in one run: this module (A) against the plain-Python class
(B, tests/model.py) and the interpreter's floor (F) on a layered hierarchy of 10,000 roles
with the null framework, and loading wide roles against loading as many layered roles.

    python bench/targets.py [--roles 10000]

Checks every answer of the module against the model's (exit status 2 on a difference), marks
each target met or missed (bench/verdict.py), and writes its section of bench/RESULTS.md.
"""

from __future__ import annotations

import argparse
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "tests"))

import model  # noqa: E402
import run  # noqa: E402  (the shared graphs, frameworks and timing)
import verdict  # noqa: E402
import zarn_engine  # noqa: E402
import zarn_user.role_matrix as rm  # noqa: E402


def wide(n: int):
    """One role with n direct sub-roles and n direct permissions."""
    groups = [("top", f"s{i}") for i in range(n)]
    policies = [("top", f"o{i}", "read") for i in range(n)]
    return groups, policies


TARGETS = {
    "leaf": verdict.Target("targets/1 leaf", "implicit permissions of a leaf role, B / A", "≥", 20),
    "top": verdict.Target("targets/2 top", "implicit permissions of the top role, B / A", "≥", 2.5),
    "floor": verdict.Target("targets/3 floor", "implicit permissions of the top role, F / A (faster than the floor)",
                            ">", 1),
    "contents": verdict.Target("targets/4 contents", "get_role_contents, B / A", "≥", 1.5),
    "load": verdict.Target("targets/5 load", "load, B / A", "≥", 2),
    "wide": verdict.Target("targets/6 wide", "load of one wide role / as many layered roles", "≤", 2),
}


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--roles", type=int, default=10000)
    ap.add_argument("--wide", type=int, default=100000)
    args = ap.parse_args()
    zarn_engine.use_engine(run.AcceptingEngine())
    roles, groups, policies, top, leaf = run.make_graph("layered", args.roles)
    results = {}
    with run.null_framework():
        A, B = run.classes(True)
        built = {}
        for impl, cls, ns in (("A", A, rm), ("B", B, model)):
            ps, gs = run.stored(ns, groups, policies)
            load = lambda: cls(name="bench", policies=list(ps), groups=list(gs))  # noqa: E731
            results[("load", impl)] = run.measure(load, repeat=5)[0]
            m = built[impl] = load()
            results[("top", impl)] = run.measure(lambda: m.get_implicit_permissions_for_roles([top]))[0]
            results[("leaf", impl)] = run.measure(lambda: m.get_implicit_permissions_for_roles([leaf]))[0]
            results[("contents", impl)] = run.measure(lambda: m.get_role_contents(leaf))[0]
            parent = roles[-1]
            g = ns.Group(child="newcomer", parent=parent)
            results[("guard", impl)] = run.measure(lambda: m._check_new_group(g))[0]
        a, b = built["A"], built["B"]
        verdict.same("dag after the load", {k: list(v) for k, v in a.dag.items()},
                     {k: list(v) for k, v in b.dag.items()})
        for role in (top, leaf):
            verdict.same(f"implicit permissions of {role}", run.shown(a.get_implicit_permissions_for_roles([role])),
                         run.shown(b.get_implicit_permissions_for_roles([role])))
        verdict.same(f"contents of {leaf}", run.shown(a.get_role_contents(leaf)), run.shown(b.get_role_contents(leaf)))
        verdict.same("guard for a leaf parent", a._check_new_group(rm.Group(child="newcomer", parent=roles[-1])),
                     b._check_new_group(model.Group(child="newcomer", parent=roles[-1])))
        d = a.get_implicit_permissions_for_roles([top])
        reached = {(p["obj"], p["act"]) for p in d.permissions}
        dag = a.dag
        results[("top", "F")] = run.measure(lambda: run.floor(dag, reached))[0]
        # Wide roles against as many layered roles, A only.
        wg, wp = wide(args.wide)
        lr, lg, lp, _, _ = run.make_graph("layered", args.wide)
        for label, (gr, po) in (("wide", (wg, wp)), ("layered", (lg, lp))):
            ps, gs = run.stored(rm, gr, po)
            results[("load " + label, "A")] = run.measure(
                lambda: A(name="bench", policies=list(ps), groups=list(gs)), repeat=3, warmup=1)[0]
    r = results
    figures = [
        (TARGETS["leaf"], r["leaf", "B"] / r["leaf", "A"]),
        (TARGETS["top"], r["top", "B"] / r["top", "A"]),
        (TARGETS["floor"], r["top", "F"] / r["top", "A"]),
        (TARGETS["contents"], r["contents", "B"] / r["contents", "A"]),
        (TARGETS["load"], r["load", "B"] / r["load", "A"]),
        (TARGETS["wide"], r["load wide", "A"] / r["load layered", "A"]),
    ]
    verdict.report("targets.py", figures, note=f"{args.roles:,} roles, wide {args.wide:,}")
    rows = [(t.what, value, t.goal_text(), "met" if t.met(value) else "missed") for t, value in figures]
    rows.append(("guard for a leaf parent, B / A", r["guard", "B"] / r["guard", "A"], "cost of what it reaches", ""))
    lines = ["## Machinery targets", "",
             f"`bench/targets.py`: layered hierarchy of {args.roles:,} roles, null framework, one run. "
             "A: this module; B: the plain-Python class; F: the interpreter's floor for the top answer. "
             "On a shared machine these wall-clock ratios swing between runs; `bench/instructions.py` "
             "gives the repeatable instruction counts.", "",
             "| target | ratio | goal | status |", "|---|---:|---|---|"]
    lines += [f"| {name} | {ratio:.2f}× | {goal} | {status} |" for name, ratio, goal, status in rows]
    lines += ["", "| measurement | A | B | F |", "|---|---:|---:|---:|"]
    for op in ("load", "top", "leaf", "contents", "guard"):
        lines.append(f"| {op} | {run.fmt(r[op, 'A'])} | {run.fmt(r[op, 'B'])} | "
                     f"{run.fmt(r.get((op, 'F')))} |")
    lines.append(f"| load wide / layered ({args.wide:,}) | {run.fmt(r['load wide', 'A'])} | "
                 f"{run.fmt(r['load layered', 'A'])} | |")
    print("\n".join(lines))
    import sections

    sections.write("targets", "\n".join(lines))


if __name__ == "__main__":
    main()
