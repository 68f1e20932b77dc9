"""Start-up time: a bare interpreter against `import zarn_user.role_matrix` and
`zarn-roles --version`, each run many times in turns (so that a busy moment of the machine
falls on all three alike); medians and minimums of the wall clock, the median CPU time
(user + system, which a busy machine disturbs much less), and the cost above the bare
interpreter.

    python bench/startup.py [RUNS] [--before PYTHON [--before-note TEXT]] [--no-write]   # 40 runs

Measure an installed wheel, not an editable install: an editable install adds its own
import hooks to every interpreter start. `--before PYTHON`: the interpreter of another
environment (an older version installed) measured in the same turns, for a comparison.
"""

from __future__ import annotations

import os
import resource
import statistics
import subprocess
import sys
import time

def cases(python: str) -> dict[str, list[str]]:
    return {
        "bare interpreter (`python -c pass`)": [python, "-c", "pass"],
        "`import zarn_engine` (the framework alone)": [python, "-c", "import zarn_engine"],
        "`import zarn_user.role_matrix`": [python, "-c", "import zarn_user.role_matrix"],
        "`zarn-roles --version`": [os.path.join(os.path.dirname(python), "zarn-roles"), "--version"],
    }


def _cpu() -> float:
    used = resource.getrusage(resource.RUSAGE_CHILDREN)
    return used.ru_utime + used.ru_stime


def measure(runs: int, pythons: dict[str, str]) -> dict[tuple[str, str], list[tuple[float, float]]]:
    """(wall, cpu) milliseconds of each run, by (label, case)."""
    times: dict[tuple[str, str], list[tuple[float, float]]] = {}
    for _ in range(runs):
        for label, python in pythons.items():
            for name, argv in cases(python).items():
                cpu, start = _cpu(), time.perf_counter()
                subprocess.run(argv, check=True, stdout=subprocess.DEVNULL)
                wall = time.perf_counter() - start
                times.setdefault((label, name), []).append((wall * 1000, (_cpu() - cpu) * 1000))
    return times


def main(runs: int, before: str | None, note: str | None, write: bool) -> None:
    pythons = {"this version": sys.executable, **({"before": before} if before else {})}
    load = os.getloadavg()[0]
    times = measure(runs, pythons)
    lines = ["## Start-up time", "",
             f"`bench/startup.py`: {runs} runs of each, in turns, from an installed wheel; milliseconds; "
             f"load average {load:.1f} at the start. `import zarn_engine` is the framework's share of the "
             "module's import." + (f" `before`: {note}." if note else ""), "",
             "| installed | command | wall median | wall minimum | above bare | CPU median | above bare |",
             "|---|---|---:|---:|---:|---:|---:|"]
    for label in pythons:
        first = next(iter(cases("")))
        bare_wall = statistics.median(w for w, _ in times[(label, first)])
        bare_cpu = statistics.median(c for _, c in times[(label, first)])
        for name in cases(""):
            walls = [w for w, _ in times[(label, name)]]
            cpu = statistics.median(c for _, c in times[(label, name)])
            wall = statistics.median(walls)
            lines.append(f"| {label} | {name} | {wall:.1f} | {min(walls):.1f} | {wall - bare_wall:+.1f} | "
                         f"{cpu:.1f} | {cpu - bare_cpu:+.1f} |")
    print("\n".join(lines))
    if write:
        sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
        import sections

        sections.write("startup", "\n".join(lines))


if __name__ == "__main__":
    args = [a for a in sys.argv[1:] if a != "--no-write"]
    options: dict[str, str] = {}
    for name in ("--before", "--before-note"):
        if name in args:
            at = args.index(name)
            options[name] = args[at + 1]
            del args[at:at + 2]
    main(int(args[0]) if args else 40, options.get("--before"), options.get("--before-note"),
         "--no-write" not in sys.argv)
