"""Assertions about role matrices, kept as TOML files that the console runs on its page and
`zarn-roles test` runs in CI:

    app = "shop"
    [[check]]
    role = "manager"        # or roles = ["a", "b"]: held when any of them holds it
    obj = "order"
    act = "read"
    expect = true
    [[who]]
    obj = "order"
    act = "read"
    expect = ["admin", "clerk", "manager", "root"]   # every holder, in any order

A table may name its own `app`. Unknown keys, wrong types and a missing application make
the file bad (nothing is run); a role that is not in the matrix makes its check fail.
"""

from __future__ import annotations

import json
import re
import tomllib
from dataclasses import dataclass, field
from typing import Any, Callable

from ..core.text import APP_RULE, app_pattern, role_error, value_error

KINDS = ("check", "who")
_HEADER = re.compile(r"^\s*\[\[\s*(check|who)\s*\]\]\s*(#.*)?$")
_KEYS = {"check": {"app", "role", "roles", "obj", "act", "expect"}, "who": {"app", "obj", "act", "expect"}}


class BadFile(Exception):
    """The file cannot be run: its lines are the reasons, each `FILE:LINE: reason`."""

    @property
    def lines(self) -> list[str]:
        return list(self.args[0])


@dataclass
class Assertion:
    kind: str
    line: int
    app: str
    obj: str
    act: str
    expect: Any  # bool for a check, a sorted list of roles for who
    roles: list[str] = field(default_factory=list)

    def describe(self) -> str:
        if self.kind == "check":
            return f"check {' '.join(self.roles)} {self.obj}:{self.act}"
        return f"who {self.obj}:{self.act}"


@dataclass
class Outcome:
    assertion: Assertion
    holds: bool
    got: Any
    detail: str  # what was found, in the command line's words

    def message(self, name: str) -> str:
        a = self.assertion
        return f"{name}:{a.line}: expected {_show(a.expect)}, got {_show(self.got)} ({a.describe()})"

    def to_json(self) -> dict[str, Any]:
        a = self.assertion
        return {"line": a.line, "kind": a.kind, "app": a.app, "roles": a.roles if a.kind == "check" else None,
                "obj": a.obj, "act": a.act, "expected": a.expect, "got": self.got, "holds": self.holds,
                "detail": self.detail}


def _show(value: Any) -> str:
    return json.dumps(value) if not isinstance(value, str) else value


def _header_lines(text: str) -> dict[str, list[int]]:
    """The line of each [[check]] and [[who]] header, in order (tomllib keeps no positions)."""
    found: dict[str, list[int]] = {kind: [] for kind in KINDS}
    for number, line in enumerate(text.splitlines(), 1):
        m = _HEADER.match(line)
        if m:
            found[m.group(1)].append(number)
    return found


def parse(text: str, name: str, app: str | None = None) -> list[Assertion]:
    """The assertions of a file's text, in file order; BadFile with every reason. `app`
    stands for a file that names no application."""
    try:
        data = tomllib.loads(text)
    except tomllib.TOMLDecodeError as exc:
        raise BadFile([f"{name}: not valid TOML ({exc})"]) from None
    errors: list[str] = []
    for key in data:
        if key not in ("app", *KINDS):
            errors.append(f"{name}: unknown key {key!r}: expected app, [[check]] and [[who]] tables")
    default_app = data.get("app", app)
    if default_app is not None and not isinstance(default_app, str):
        errors.append(f"{name}: app must be a string")
        default_app = None
    lines = _header_lines(text)
    out: list[Assertion] = []
    for kind in KINDS:
        tables = data.get(kind, [])
        if not isinstance(tables, list):
            errors.append(f"{name}: {kind} must be tables, written [[{kind}]]")
            continue
        for n, table in enumerate(tables):
            line = lines[kind][n] if n < len(lines[kind]) else 0
            where = f"{name}:{line}" if line else f"{name}: {kind} {n + 1}"
            if not isinstance(table, dict):
                errors.append(f"{where}: expected a table")
                continue
            assertion, problems = _assertion(kind, line, table, default_app)
            errors += [f"{where}: {p}" for p in problems]
            if assertion is not None:
                out.append(assertion)
    if not errors and not out:
        errors.append(f"{name}: no assertions: expected [[check]] or [[who]] tables")
    if errors:
        raise BadFile(errors)
    out.sort(key=lambda a: a.line)
    return out


def _assertion(kind: str, line: int, table: dict[str, Any],
               default_app: str | None) -> tuple[Assertion | None, list[str]]:
    problems = [f"unknown key {k!r} (a {kind} has {', '.join(sorted(_KEYS[kind]))})"
                for k in table if k not in _KEYS[kind]]
    app = table.get("app", default_app)
    if app is None:
        problems.append("no app: give app = \"NAME\" at the top of the file or in the table")
    elif not isinstance(app, str) or not app_pattern().search(app):
        problems.append(f"invalid application name {app!r}: {APP_RULE}")
    for key in ("obj", "act"):
        value = table.get(key)
        if value is None:
            problems.append(f"missing {key}")
        elif not isinstance(value, str):
            problems.append(f"{key} must be a string")
        else:
            error = value_error("object" if key == "obj" else "action", value)
            if error:
                problems.append(error)
    roles: list[str] = []
    expect = table.get("expect")
    if kind == "check":
        if ("role" in table) == ("roles" in table):
            problems.append("give either role = \"NAME\" or roles = [\"NAME\", ...]")
        else:
            given = [table["role"]] if "role" in table else table["roles"]
            if not isinstance(given, list) or not given or not all(isinstance(r, str) for r in given):
                problems.append("roles must be a non-empty list of names")
            else:
                roles = given
                problems += [e for e in map(role_error, roles) if e]
        if not isinstance(expect, bool):
            problems.append("expect must be true or false")
    else:
        if not isinstance(expect, list) or not all(isinstance(r, str) for r in expect):
            problems.append("expect must be a list of role names")
        else:
            problems += [e for e in map(role_error, expect) if e]
            expect = sorted(set(expect))
    if problems or not isinstance(app, str):
        return None, problems
    return Assertion(kind, line, app, table["obj"], table["act"], expect, roles), []


def run(assertions: list[Assertion], snapshot_of: Callable[[str], Any]) -> list[Outcome]:
    """Each assertion's outcome, in order. `snapshot_of(app)` gives the application's
    Snapshot and raises KeyError for an application that does not exist."""
    snapshots: dict[str, Any] = {}
    outcomes = []
    for a in assertions:
        if a.app not in snapshots:
            snapshots[a.app] = snapshot_of(a.app)
        snap = snapshots[a.app]
        if a.kind == "check":
            unknown = snap.unknown(a.roles)
            if unknown:
                got: Any = f"unknown role {unknown[0]!r}"
                outcomes.append(Outcome(a, False, got, f"{got} in application {a.app!r}"))
                continue
            held = snap.holding(a.roles, a.obj, a.act)
            detail = (held.explain(a.obj, a.act) if held
                      else f"{' '.join(a.roles)} does not hold {a.obj}:{a.act}")
            outcomes.append(Outcome(a, (held is not None) == a.expect, held is not None, detail))
        else:
            found = snap.who(a.obj, a.act)
            got = sorted(h.role for h in found)
            detail = "; ".join(h.explain(a.obj, a.act) for h in found) or f"no role holds {a.obj}:{a.act}"
            outcomes.append(Outcome(a, got == a.expect, got, detail))
    return outcomes


def missing_apps(assertions: list[Assertion], exists: Callable[[str], bool], name: str) -> None:
    """BadFile naming every assertion whose application does not exist."""
    errors = [f"{name}:{a.line}: unknown application {a.app!r}" for a in assertions if not exists(a.app)]
    if errors:
        raise BadFile(errors)
