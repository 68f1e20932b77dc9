"""Start-up time: a bare interpreter against `import zarn_user.role_matrix` and
`zarn-roles --version`, each run many times in turns (so that a busy moment of the machine
falls on all three alike); medians and minimums, and the cost above the bare interpreter.

    python bench/startup.py [RUNS] [--before PYTHON] [--no-write]     # default: 40 runs

Measure an installed wheel, not an editable install: an editable install adds its own
import hooks to every interpreter start. `--before PYTHON`: the interpreter of another
environment (an older version installed) measured in the same turns, for a comparison.
"""

from __future__ import annotations

import os
import statistics
import subprocess
import sys
import time

def cases(python: str) -> dict[str, list[str]]:
    return {
        "bare interpreter (`python -c pass`)": [python, "-c", "pass"],
        "`import zarn_user.role_matrix`": [python, "-c", "import zarn_user.role_matrix"],
        "`zarn-roles --version`": [os.path.join(os.path.dirname(python), "zarn-roles"), "--version"],
    }


def measure(runs: int, pythons: dict[str, str]) -> dict[tuple[str, str], list[float]]:
    times: dict[tuple[str, str], list[float]] = {}
    for _ in range(runs):
        for label, python in pythons.items():
            for name, argv in cases(python).items():
                start = time.perf_counter()
                subprocess.run(argv, check=True, stdout=subprocess.DEVNULL)
                times.setdefault((label, name), []).append((time.perf_counter() - start) * 1000)
    return times


def main(runs: int, before: str | None, write: bool) -> None:
    pythons = {"this version": sys.executable, **({"before": before} if before else {})}
    times = measure(runs, pythons)
    lines = ["## Start-up time", "",
             f"`bench/startup.py`: {runs} runs of each, in turns, from an installed wheel; milliseconds.", "",
             "| installed | command | median | minimum | median above bare |", "|---|---|---:|---:|---:|"]
    for label in pythons:
        bare = statistics.median(times[(label, next(iter(cases(""))))])
        for name in cases(""):
            values = times[(label, name)]
            median = statistics.median(values)
            lines.append(f"| {label} | {name} | {median:.1f} | {min(values):.1f} | {median - bare:+.1f} |")
    print("\n".join(lines))
    if write:
        sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
        import sections

        sections.write("startup", "\n".join(lines))


if __name__ == "__main__":
    args = [a for a in sys.argv[1:] if a != "--no-write"]
    before = None
    if "--before" in args:
        at = args.index("--before")
        before = args[at + 1]
        del args[at:at + 2]
    main(int(args[0]) if args else 40, before, "--no-write" not in sys.argv)
