"""Times `zarn-roles import` of Casbin files of growing size (a layered hierarchy: policies
and containment edges), each into a new application of a fresh SQLite database.

    python bench/cli_import.py [LINES ...]     # default: 5000 10000 20000 40000 200000
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


def main(sizes: list[int]) -> None:
    lines = ["## Command line: Casbin import", "",
             "`bench/cli_import.py`: `zarn-roles import` of a layered Casbin file (3 permissions and 2 "
             "sub-roles a role) into a new SQLite database, the whole command timed; load average "
             f"{os.getloadavg()[0]:.1f} at the start (the machine is shared: compare rows of one run).", "",
             "| lines | seconds | lines per second |", "|---:|---:|---:|"]
    print("\n".join(lines))
    for count in sizes:
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "policy.csv")
            with open(path, "w") as f:
                f.write(casbin_file(count))
            db = os.path.join(tmp, "bench.sqlite3")
            start = time.perf_counter()
            subprocess.run([sys.executable, "-m", "zarn_user.cli", "--db", db, "import", "app", path],
                           check=True, stdout=subprocess.DEVNULL)
            seconds = time.perf_counter() - start
        lines.append(f"| {count:,} | {seconds:.2f} | {count / seconds:,.0f} |")
        print(lines[-1], flush=True)
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    import sections

    sections.write("cli-import", "\n".join(lines))


if __name__ == "__main__":
    main([int(a) for a in sys.argv[1:]] or [5000, 10000, 20000, 40000, 200000])
