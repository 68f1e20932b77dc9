"""How `zarn-roles log` words a change: in the command line's verbs (grant, revoke,
include, exclude, assign, unassign), a change of many records as one line of counts."""

from __future__ import annotations

import json
from collections import Counter
from typing import Any

BULK = 5  # a change of more records than this is one line of counts (an import)

# (list, added or removed) -> the verb, and how a record reads after it
_VERBS = {("policies", "+"): "grant", ("policies", "-"): "revoke", ("groups", "+"): "include",
          ("groups", "-"): "exclude", ("assignments", "+"): "assign", ("assignments", "-"): "unassign"}


def _record(name: str, record: Any) -> str:
    if name == "policies" and isinstance(record, dict):
        return f"{record.get('sub')} {record.get('obj')}:{record.get('act')}"
    if isinstance(record, dict):
        return " ".join(str(value) for value in record.values())
    return str(record)


def describe(change: dict[str, Any] | None) -> list[str]:
    """One line per thing the change did, or for a change of many records one line counting
    them by verb."""
    from zarn_engine.changes import describe as records

    if change is None:
        return records(None)
    done: list[tuple[str, str]] = []  # (verb, record)
    # A list rewritten (a role's permissions replaced) removes records and appends them
    # again: only what the change did on the whole is told.
    again: Counter[tuple[str, str]] = Counter()
    for name, listed in change.get("lists", {}).items():
        again.update((name, json.dumps(r, sort_keys=True)) for r in listed.get("append", ()))
    kept: Counter[tuple[str, str]] = Counter()
    for name, removed in change.get("was", {}).get("lists", {}).items():
        for r in removed:
            key = (name, json.dumps(r, sort_keys=True))
            if again[key] > kept[key]:
                kept[key] += 1
            else:
                done.append((_VERBS.get((name, "-"), f"- {name}"), _record(name, r)))
    for name, listed in change.get("lists", {}).items():
        for r in listed.get("append", ()):
            key = (name, json.dumps(r, sort_keys=True))
            if kept[key]:
                kept[key] -= 1
            else:
                done.append((_VERBS.get((name, "+"), f"+ {name}"), _record(name, r)))
    rest = records({key: value for key, value in change.items() if key not in ("was", "lists")})
    rest = [] if rest == ["no change"] else rest
    if len(done) > BULK:
        counts: dict[str, int] = {}
        for verb, _ in done:
            counts[verb] = counts.get(verb, 0) + 1
        return [f"{len(done)} changes at once: " + ", ".join(f"{verb} \u00d7{n}" for verb, n in counts.items())] + rest
    return [f"{verb} {record}" for verb, record in done] + rest or ["no change"]
