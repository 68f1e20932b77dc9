"""Writes the one table of targets into bench/RESULTS.md, between `<!-- begin targets-table -->`
and `<!-- end targets-table -->`, from the figures the bench scripts recorded in
bench/targets.json (each script records the targets it measured when it runs).

    python bench/results_table.py [--check]

--check: exit status 1 when the table in RESULTS.md is not the one the figures give.
"""

from __future__ import annotations

import argparse
import os
import re
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import verdict  # noqa: E402

RESULTS = os.path.join(HERE, "RESULTS.md")
BEGIN, END = "<!-- begin targets-table -->", "<!-- end targets-table -->"


def table(recorded: dict) -> str:
    lines = ["## Targets", "",
             "Every target of the bench scripts, with the figure of the script's latest run "
             "(`bench/targets.json`, written by `bench/verdict.py`; this table by "
             "`bench/results_table.py`). Wall-clock figures come from a shared machine and swing "
             "between runs; the sections below give each run's conditions.", "",
             "| target | figure | goal | status | bench, run |", "|---|---:|---|---|---|"]
    for key, r in recorded.items():
        status = "met" if r["met"] else "**missed**"
        lines.append(f"| {r['what']} | {r['figure']} | {r['goal']} | {status} | "
                     f"`bench/{r['bench']}`, {r['when'][:10]} |")
    met = sum(r["met"] for r in recorded.values())
    lines += ["", f"{met} of {len(recorded)} targets met."]
    return "\n".join(lines)


def written(text: str, block: str) -> str:
    """The text with the table right after its title (moved there if it was elsewhere)."""
    section = f"{BEGIN}\n{block}\n{END}"
    pattern = re.compile(re.escape(BEGIN) + ".*?" + re.escape(END) + "\n*", re.S)
    text = pattern.sub("", text)
    title, _, rest = text.partition("\n\n")
    return f"{title}\n\n{section}\n\n{rest}"


def write(results: str = RESULTS) -> None:
    figures = os.path.join(os.path.dirname(results), "targets.json")
    with open(results, encoding="utf-8") as f:
        text = f.read()
    with open(results, "w", encoding="utf-8") as f:
        f.write(written(text, table(verdict.load(figures))))


def main() -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("--check", action="store_true")
    args = ap.parse_args()
    with open(RESULTS, encoding="utf-8") as f:
        text = f.read()
    new = written(text, table(verdict.load()))
    if args.check:
        if new != text:
            print("bench/RESULTS.md: the table of targets is not the one bench/targets.json gives; "
                  "run python bench/results_table.py")
            return 1
        return 0
    write()
    return 0


if __name__ == "__main__":
    sys.exit(main())
