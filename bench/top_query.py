"""The top query against the interpreter's floor at 10,000 and 100,000 roles: this module (A),
the plain-Python class (B, tests/model.py) and F1, one Python pass over `dag` building the
answer's dicts from the reached set (the floor of bench/targets.py). CPU time; the three are
measured in turn within each round, and the ratios are taken round by round, so that the
load of a shared machine falls on all three alike.

    python bench/top_query.py [--rounds 5] [--shapes layered,cross,random] [--sizes 10000,100000]

Shapes (bench/run.py): "layered", ten levels, each role containing two of the next; "cross",
the same with one more link from each role to a role two to five levels further down; and
"random", roles containing one to three roles at random further on, with no levels (a shape
the module was not tuned for).

Checks the module's answers against the model's (exit status 2 on a difference), marks each
target met or missed (bench/verdict.py), prints a Markdown table and writes it into
bench/RESULTS.md.
"""

from __future__ import annotations

import argparse
import gc
import os
import statistics
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "tests"))

import model  # noqa: E402
import run  # noqa: E402
import verdict  # noqa: E402
import zarn_engine  # noqa: E402
import zarn_user.role_matrix as rm  # noqa: E402


def cpu(fn, least=0.05):
    """CPU seconds of one fn(), looped until a sample lasts `least`."""
    number, spent = 0, 0.0
    gc.collect()
    start = time.process_time()
    while spent < least:
        fn()
        number += 1
        spent = time.process_time() - start
    return spent / number


def spread(values, fmt):
    return " / ".join(fmt(v) for v in (min(values), statistics.median(values), max(values)))


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--shapes", default="layered,cross,random")
    ap.add_argument("--sizes", default="10000,100000")
    ap.add_argument("--no-write", action="store_true")
    args = ap.parse_args()
    zarn_engine.use_engine(run.AcceptingEngine())
    rows, medians, figures = [], {}, []
    with run.null_framework():
        A, B = run.classes(True)
        for shape, n in [(shape, int(n)) for shape in args.shapes.split(",") for n in args.sizes.split(",")]:
            roles, groups, policies, top, leaf = run.make_graph(shape, n)
            ps, gs = run.stored(rm, groups, policies)
            a = A(name="bench", policies=ps, groups=gs)
            ps2, gs2 = run.stored(model, groups, policies)
            b = B(name="bench", policies=ps2, groups=gs2)
            reached = {(p["obj"], p["act"]) for p in a.get_implicit_permissions_for_roles([top]).permissions}
            guard = rm.Group(child="newcomer", parent=roles[-1])
            for role in (top, leaf):
                verdict.same(f"implicit permissions of {role}, {n:,} roles",
                             run.shown(a.get_implicit_permissions_for_roles([role])),
                             run.shown(b.get_implicit_permissions_for_roles([role])))
            verdict.same("guard for a leaf parent", a._check_new_group(guard),
                         b._check_new_group(model.Group(child="newcomer", parent=roles[-1])))
            added = iter(range(10**9))

            def after_change():  # a new role under the leaf, through our own index operation
                a._dag_add_group(rm.Group(child=f"new{next(added)}", parent=leaf))
                a.get_implicit_permissions_for_roles([top])

            t = {k: [] for k in ("A", "B", "F1", "leaf", "guard", "changed")}
            for _ in range(args.rounds):
                t["A"].append(cpu(lambda: a.get_implicit_permissions_for_roles([top])))
                t["F1"].append(cpu(lambda: run.floor(a.dag, reached)))
                t["B"].append(cpu(lambda: b.get_implicit_permissions_for_roles([top]), least=0.2))
                t["leaf"].append(cpu(lambda: a.get_implicit_permissions_for_roles([leaf])))
                t["guard"].append(cpu(lambda: a._check_new_group(guard)))
                t["changed"].append(cpu(after_change))
            af = [x / y for x, y in zip(t["A"], t["F1"])]
            ba = [x / y for x, y in zip(t["B"], t["A"])]
            medians[shape, n] = {k: statistics.median(v) for k, v in t.items()}
            figures += [(verdict.Target(f"top-query/A-F1 {shape} {n:>6}", f"top query, A / F1, {shape}, {n:,} roles",
                                        "≤", 0.6), statistics.median(af)),
                        (verdict.Target(f"top-query/B-A {shape} {n:>6}", f"top query, B / A, {shape}, {n:,} roles",
                                        "≥", 5), statistics.median(ba))]
            ms = lambda x: f"{x * 1e3:.1f} ms"  # noqa: E731
            m = medians[shape, n]
            rows.append(f"| {shape} | {n:,} | {ms(m['A'])} | {ms(m['F1'])} | {spread(af, '{:.2f}'.format)} | "
                        f"{spread(ba, '{:.1f}'.format)} | {m['leaf'] * 1e6:.1f} µs | "
                        f"{m['guard'] * 1e6:.2f} µs | {ms(m['changed'])} |")
            print(rows[-1], flush=True)
    lines = ["## Top query against the floor", "",
             "`bench/top_query.py`: three shapes (layered; cross: layered with links across levels; "
             "random: no levels), null framework, CPU time, "
             f"{args.rounds} rounds, medians; ratios taken round by round (min / median / max). "
             "A: this module; B: the plain-Python class; F1: one Python pass over `dag` building "
             "the answer's dicts from the reached set. A after a change: a new role added under the "
             "leaf by `_dag_add_group`, then the top query (the search's rows follow the index "
             "operations' own changes; any other change of `dag` makes them anew).", "",
             "| shape | roles | A | F1 | A / F1 | B / A | leaf (A) | guard (A) | A after a change |",
             "|---|---:|---:|---:|---:|---:|---:|---:|---:|", *rows]
    for shape in args.shapes.split(","):
        if (shape, 10_000) in medians and (shape, 100_000) in medians:
            growth = {k: medians[shape, 100_000][k] / medians[shape, 10_000][k] for k in ("A", "F1")}
            lines.append(f"\nGrowth from 10,000 to 100,000 roles, {shape}: A ×{growth['A']:.1f}, "
                         f"F1 ×{growth['F1']:.1f}.")
    print("\n".join(lines))
    if not args.no_write:
        verdict.report("top_query.py", figures, note=f"{args.rounds} rounds, CPU time")
        import sections

        sections.write("top-query", "\n".join(lines))


if __name__ == "__main__":
    main()
