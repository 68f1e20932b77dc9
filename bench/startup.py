"""Start-up time: a bare interpreter against `import zarn_user.role_matrix` and
`zarn-roles --version`, each run many times in turns (so that a busy moment of the machine
falls on all three alike); medians and minimums, and the cost above the bare interpreter.

    python bench/startup.py [RUNS] [--no-write]     # default: 40 runs of each

Measure an installed wheel, not an editable install: an editable install adds its own
import hooks to every interpreter start.
"""

from __future__ import annotations

import os
import statistics
import subprocess
import sys
import time

CASES = {
    "bare interpreter (`python -c pass`)": [sys.executable, "-c", "pass"],
    "`import zarn_user.role_matrix`": [sys.executable, "-c", "import zarn_user.role_matrix"],
    "`zarn-roles --version`": [os.path.join(os.path.dirname(sys.executable), "zarn-roles"), "--version"],
}


def measure(runs: int) -> dict[str, list[float]]:
    times: dict[str, list[float]] = {name: [] for name in CASES}
    for _ in range(runs):
        for name, argv in CASES.items():
            start = time.perf_counter()
            subprocess.run(argv, check=True, stdout=subprocess.DEVNULL)
            times[name].append((time.perf_counter() - start) * 1000)
    return times


def main(runs: int, write: bool) -> None:
    times = measure(runs)
    bare = statistics.median(times[next(iter(CASES))])
    lines = ["## Start-up time", "",
             f"`bench/startup.py`: {runs} runs of each, in turns, from an installed wheel; milliseconds.", "",
             "| command | median | minimum | median above bare |", "|---|---:|---:|---:|"]
    for name, values in times.items():
        median = statistics.median(values)
        lines.append(f"| {name} | {median:.1f} | {min(values):.1f} | {median - bare:+.1f} |")
    print("\n".join(lines))
    if write:
        sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
        import sections

        sections.write("startup", "\n".join(lines))


if __name__ == "__main__":
    args = [a for a in sys.argv[1:] if a != "--no-write"]
    main(int(args[0]) if args else 40, "--no-write" not in sys.argv)
