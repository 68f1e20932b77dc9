"""Targets and answers of the benchmarks.

Each bench script compares what the module answered with what the plain-Python model
(tests/model.py) answered for the same question, and stops with exit status 2 at the first
difference: a figure for a wrong answer means nothing. It then hands the figures it measured
to `report`, which compares each with its goal, prints it as met or missed, and records it
in bench/targets.json; bench/results_table.py writes the one table of targets in
bench/RESULTS.md from that file.
"""

from __future__ import annotations

import datetime
import json
import operator
import os
import sys
from dataclasses import dataclass
from typing import Any, Callable

HERE = os.path.dirname(os.path.abspath(__file__))
FIGURES = os.path.join(HERE, "targets.json")

_OPS: dict[str, Callable[[float, float], bool]] = {
    "≥": operator.ge, "≤": operator.le, ">": operator.gt, "<": operator.lt}


@dataclass(frozen=True)
class Target:
    key: str  # unique across the benches: the row of the table
    what: str
    op: str  # one of ≥ ≤ > <
    goal: float
    unit: str = "×"  # how figure and goal are shown: "×" ratio, "s" seconds, "B" bytes, "" plain
    goal_shown: str = ""  # the goal in words, for a target the script decides itself (Figure.met)

    def met(self, figure: float) -> bool:
        return _OPS[self.op](figure, self.goal)

    def show(self, value: float) -> str:
        if self.unit == "s":
            return _seconds(value)
        if self.unit == "×":
            return f"{value:.2f}×"
        if self.unit == "B":
            return f"{value:.0f} B"
        return f"{value:,.0f}{self.unit}" if abs(value) >= 1000 else f"{value:.3g}{self.unit}"

    def goal_text(self) -> str:
        if self.goal_shown:
            return self.goal_shown
        if self.unit == "×":
            return f"{self.op} {self.goal:g}×"
        return f"{self.op} {self.show(self.goal)}"


def _seconds(t: float) -> str:
    for scale, unit in ((1, "s"), (1e-3, "ms"), (1e-6, "µs"), (1e-9, "ns")):
        if abs(t) >= scale or unit == "ns":
            return f"{t / scale:.3g} {unit}"
    return f"{t} s"


def same(what: str, got: Any, expected: Any) -> None:
    """Stops the run (exit status 2) when the module's answer `got` is not the model's."""
    if got != expected:
        shown = lambda v: (repr(v)[:300] + "…") if len(repr(v)) > 300 else repr(v)  # noqa: E731
        print(f"wrong answer: {what}\n  module: {shown(got)}\n  model:  {shown(expected)}", file=sys.stderr)
        sys.exit(2)


@dataclass
class Figure:
    """A measured figure for a target; `met` and `shown` when the script decides them itself
    (a target that holds only under conditions of the run, such as a writer at its rate)."""

    target: Target
    value: float | None
    met: bool | None = None
    shown: str | None = None


def report(bench: str, figures: list[Figure | tuple[Target, float | None]], note: str = "",
           path: str | None = FIGURES) -> bool:
    """Prints each target as met or missed and records the figures in `path` (None: print
    only); True when all are met. A figure of None (not measured in this run) is printed as
    such and leaves the recorded one in place."""
    recorded = load(path) if path else {}
    when = datetime.datetime.now().isoformat(timespec="seconds")
    all_met = True
    for item in figures:
        f = item if isinstance(item, Figure) else Figure(*item)
        target, value = f.target, f.value
        if value is None:
            print(f"not measured: {target.what} (goal {target.goal_text()})")
            continue
        met = target.met(value) if f.met is None else f.met
        shown = f.shown or target.show(value)
        all_met &= met
        print(f"{'met' if met else 'missed'}: {target.what}: {shown} (goal {target.goal_text()})")
        recorded[target.key] = {"bench": bench, "what": target.what, "figure": shown, "value": value,
                                "goal": target.goal_text(), "met": met, "when": when,
                                **({"note": note} if note else {})}
    if path:
        with open(path, "w", encoding="utf-8") as out:
            json.dump(dict(sorted(recorded.items())), out, indent=1, ensure_ascii=False)
            out.write("\n")
    return all_met


def load(path: str = FIGURES) -> dict[str, dict[str, Any]]:
    if not os.path.exists(path):
        return {}
    with open(path, encoding="utf-8") as f:
        return json.load(f)
