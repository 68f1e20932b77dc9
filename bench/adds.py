"""Cost of the module's adds on a large matrix: `_add_groups` (what `add_role_sub_roles` runs
before its save) with many new sub-roles, `_add_permissions` with many new grants, and one
add of each, on a matrix of N stored groups and N stored policies.

    python bench/adds.py [--stored 100000] [--adds 20000,100000] [--rounds 3] [--no-write]

Each figure is the best of `--rounds` runs, each on a fresh matrix (the adds change it).
Prints a Markdown table and writes it into bench/RESULTS.md.
"""

from __future__ import annotations

import argparse
import gc
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import sections  # noqa: E402
import zarn_user.role_matrix as rm  # noqa: E402


# The build before the stored lists' membership tests were indexed, same machine (shared, under
# load), one run each: every new record was compared with every stored one by its `__eq__`.
BEFORE = ("Before (each new record compared with every stored one by the records' `__eq__`, one run "
          "each at 100,000 stored): 2,000 new sub-roles 91.5 s, 2,000 new grants 105.7 s, one new "
          "sub-role 92.7 ms, one new grant 45.0 ms. Now a call of k new records costs the stored "
          "list once (a scan for the first test, a hash set of the plain records' values from the "
          "second on) plus k constant-time tests; most of what remains is the framework building "
          "the records and the cycle guard.")


def matrix(stored: int) -> rm.RoleMatrix:
    """Users u0..u{N-1}, each contained in one of 1000 roles and granted one permission."""
    groups = [rm.Group(child=f"r{i % 1000}", parent=f"u{i}") for i in range(stored)]
    policies = [rm.Policy(sub=f"u{i}", obj=f"o{i % 1000}", act="read") for i in range(stored)]
    return rm.RoleMatrix(name="bench", groups=groups, policies=policies)


def best(rounds: int, stored: int, run) -> float:
    times = []
    for _ in range(rounds):
        m = matrix(stored)
        gc.collect()  # the matrix's own garbage is not the add's
        start = time.process_time()
        run(m)
        times.append(time.process_time() - start)
    return min(times)


def timed(run) -> float:
    gc.collect()
    start = time.process_time()
    run()
    return time.process_time() - start


def shown(seconds: float) -> str:
    return f"{seconds * 1e3:.1f} ms" if seconds < 1 else f"{seconds:.2f} s"


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--stored", type=int, default=100_000)
    ap.add_argument("--adds", default="20000,100000")
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--no-write", action="store_true", help="print only; leave RESULTS.md alone")
    args = ap.parse_args()
    n = args.stored
    rows = []
    for k in (int(x) for x in args.adds.split(",")):
        parents = [f"u{i}" for i in range(min(k, n))]
        rows.append((f"`_add_groups`: {len(parents):,} new sub-roles of a new role",
                     best(args.rounds, n, lambda m: m._add_groups("boss", parents))))
        grants = [rm.AclItem.from_display(obj=f"x{i}", act="write") for i in range(k)]
        rows.append((f"`_add_permissions`: {k:,} new grants of a new role",
                     best(args.rounds, n, lambda m: m._add_permissions("boss", grants))))
        floor = min(timed(lambda: [rm.Group(child="boss", parent=p) for p in parents]) for _ in range(args.rounds))
        rows.append((f"floor: building the {len(parents):,} `Group` records alone (the framework)", floor))
    one = [rm.AclItem.from_display(obj="x", act="write")]
    rows.append(("`_add_groups`: one new sub-role", best(args.rounds, n, lambda m: m._add_groups("boss", ["u1"]))))
    rows.append(("`_add_permissions`: one new grant",
                 best(args.rounds, n, lambda m: m._add_permissions("boss", one))))
    rows.append(("`_add_groups`: one sub-role already stored",
                 best(args.rounds, n, lambda m: m._add_groups("r1", ["u1"]))))
    table = [f"## Adds on a large matrix ({n:,} stored groups and {n:,} stored policies)", "",
             "Written by `bench/adds.py`; best of "
             f"{args.rounds} runs, each on a fresh matrix, CPU time; the module's part of an add (no save).", "",
             "| operation | time |", "|---|---|"]
    table += [f"| {what} | {shown(t)} |" for what, t in rows]
    table += ["", BEFORE]
    text = "\n".join(table) + "\n"
    print(text)
    if not args.no_write:
        sections.write("adds", text)


if __name__ == "__main__":
    main()
