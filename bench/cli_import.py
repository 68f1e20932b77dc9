"""Times `zarn-roles import` of Casbin files of growing size, each into a new application of
a fresh SQLite database: a layered hierarchy (policies and containment edges), and a deep
one (a chain of up to 5,000 roles built from the bottom, so that each new link's parent
already holds the chain below it, then users, each given one role of the chain).

    python bench/cli_import.py [--shape layered|deep] [LINES ...]
    # default: both shapes, 5000 10000 20000 40000 200000 lines
"""

from __future__ import annotations

import os
import subprocess
import sys
import tempfile
import time


def casbin_file(lines: int) -> str:
    """About `lines` lines: 10 levels of roles, each role 3 permissions and 2 sub-roles."""
    roles = max(lines // 5, 10)
    per = roles // 10
    out = []
    for level in range(10):
        for i in range(per):
            role = f"r{level}_{i}"
            out += [f"p, {role}, o{level}_{i}, {act}" for act in ("read", "write", "list")]
            if level < 9:
                out += [f"g, {role}, r{level + 1}_{(2 * i + k) % per}" for k in (0, 1)]
    return "\n".join(out[:lines]) + "\n"


def deep_file(lines: int) -> str:
    """About `lines` lines: a chain of min(lines // 8, 5000) roles, each holding the next and 3
    permissions, listed from the bottom up; then users u<i>, each in a role of the chain."""
    chain = max(min(lines // 8, 5000), 2)
    out = []
    for level in reversed(range(chain)):
        role = f"c{level}"
        out += [f"p, {role}, o{level}, {act}" for act in ("read", "write", "list")]
        if level + 1 < chain:
            out.append(f"g, {role}, c{level + 1}")
    user = 0
    while len(out) < lines:
        out.append(f"g, u{user}, c{(user * 7919) % chain}")
        user += 1
    return "\n".join(out[:lines]) + "\n"


SHAPES = {"layered": casbin_file, "deep": deep_file}


def main(sizes: list[int], shapes: list[str]) -> None:
    lines = ["## Command line: Casbin import", "",
             "`bench/cli_import.py`: `zarn-roles import` into a new SQLite database, the whole command "
             "timed. Layered: 3 permissions and 2 sub-roles a role, 10 levels. Deep: a chain of up to "
             "5,000 roles (3 permissions each) listed from the bottom up, so that each link's parent holds "
             "the chain below it, then users, each in one role of the chain (a user's link is checked "
             "against all its role reaches). Load average "
             f"{os.getloadavg()[0]:.1f} at the start (the machine is shared: compare rows of one run).", "",
             "| shape | lines | seconds | lines per second |", "|---|---:|---:|---:|"]
    print("\n".join(lines))
    for shape, count in ((shape, count) for shape in shapes for count in sizes):
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "policy.csv")
            with open(path, "w") as f:
                f.write(SHAPES[shape](count))
            db = os.path.join(tmp, "bench.sqlite3")
            start = time.perf_counter()
            subprocess.run([sys.executable, "-m", "zarn_user.cli", "--db", db, "import", "app", path],
                           check=True, stdout=subprocess.DEVNULL)
            seconds = time.perf_counter() - start
        lines.append(f"| {shape} | {count:,} | {seconds:.2f} | {count / seconds:,.0f} |")
        print(lines[-1], flush=True)
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    import sections

    sections.write("cli-import", "\n".join(lines))


if __name__ == "__main__":
    args = sys.argv[1:]
    chosen = list(SHAPES)
    if len(args) >= 2 and args[0] == "--shape":
        chosen, args = [args[1]], args[2:]
    main([int(a) for a in args] or [5000, 10000, 20000, 40000, 200000], chosen)
