"""Assertions about role matrices, kept as TOML files that the console runs on its page:

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

The reading is shared with playground files (playground.py), which add kinds, keys and
tables of their own: each step below takes the kinds and keys of its format.
"""

from __future__ import annotations

import json
import re
import tomllib
from dataclasses import dataclass, field
from typing import Any, Callable, Mapping, Sequence, TypeGuard

from .text import APP_RULE, app_pattern, role_error, value_error

__all__ = ["BadFile", "Assertion", "Outcome", "parse", "run", "missing_apps"]

KINDS = ("check", "who")
KEYS = {"check": {"app", "role", "roles", "obj", "act", "expect"}, "who": {"app", "obj", "act", "expect"}}
# How a check names whom it asks about, in the words of the reasons.
SUBJECTS = {"role": 'role = "NAME"', "roles": 'roles = ["NAME", ...]', "user": 'user = "ID"'}


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
        if self.kind == "who":
            return f"who {self.obj}:{self.act}"
        return f"{self.kind} {' '.join(self.roles)} {self.obj}:{self.act}"

    def fields(self) -> dict[str, Any]:
        """What the assertion says, for JSON."""
        return {"line": self.line, "kind": self.kind, "app": self.app,
                "roles": self.roles if self.kind != "who" else None, "obj": self.obj, "act": self.act,
                "expected": self.expect}


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
        return {**self.assertion.fields(), "got": self.got, "holds": self.holds, "detail": self.detail}


def _show(value: Any) -> str:
    return json.dumps(value) if not isinstance(value, str) else value


def _either(words: list[str], last: str) -> str:
    return ", ".join(words[:-1]) + f" {last} " + words[-1] if len(words) > 1 else words[0]


def strings(value: Any) -> TypeGuard[list[str]]:
    return isinstance(value, list) and all(isinstance(v, str) for v in value)


# --- reading --------------------------------------------------------------------------------


def load(text: str, name: str) -> dict[str, Any]:
    """The TOML of a file's text; BadFile when it is not TOML."""
    try:
        return tomllib.loads(text)
    except tomllib.TOMLDecodeError as exc:
        raise BadFile([f"{name}: not valid TOML ({exc})"]) from None


def top(data: dict[str, Any], name: str, app: str | None, errors: list[str],
        keys: tuple[str, ...] = ("app",), kinds: tuple[str, ...] = KINDS) -> str | None:
    """The file's application (`app` for a file that names none); a reason added to `errors`
    for each top-level key that is not one of `keys` or `kinds`, and for an app not a string."""
    expected = _either([*keys, *(f"[[{k}]]" for k in kinds)], "and")
    errors += [f"{name}: unknown key {key!r}: expected {expected} tables" for key in data if key not in (*keys, *kinds)]
    default_app = data.get("app", app)
    if default_app is not None and not isinstance(default_app, str):
        errors.append(f"{name}: app must be a string")
        return None
    return default_app


def header_lines(text: str, kinds: tuple[str, ...] = KINDS) -> dict[str, list[int]]:
    """The line of each [[KIND]] header, by kind in order (tomllib keeps no positions)."""
    header = re.compile(rf"^\s*\[\[\s*({'|'.join(kinds)})\s*\]\]\s*(#.*)?$")
    found: dict[str, list[int]] = {kind: [] for kind in kinds}
    for number, line in enumerate(text.splitlines(), 1):
        m = header.match(line)
        if m:
            found[m.group(1)].append(number)
    return found


Reader = Callable[[str, int, dict[str, Any]], tuple["Assertion | None", list[str]]]


def tables(data: dict[str, Any], text: str, name: str, errors: list[str], read: Reader,
           kinds: tuple[str, ...] = KINDS) -> list[Assertion]:
    """The assertions of every [[KIND]] table, in file order, each read by `read(kind, line,
    table)`; the reasons added to `errors` in file order, then one if there is no assertion."""
    lines = header_lines(text, kinds)
    out: list[Assertion] = []
    found: list[tuple[int, str]] = []  # (line, reason): in file order whatever the kind
    for kind in kinds:
        given = data.get(kind, [])
        if not isinstance(given, list):
            found.append((0, f"{name}: {kind} must be tables, written [[{kind}]]"))
            continue
        for n, table in enumerate(given):
            line = lines[kind][n] if n < len(lines[kind]) else 0
            where = f"{name}:{line}" if line else f"{name}: {kind} {n + 1}"
            if not isinstance(table, dict):
                found.append((line, f"{where}: expected a table"))
                continue
            assertion, problems = read(kind, line, table)
            found += [(line, f"{where}: {p}") for p in problems]
            if assertion is not None:
                out.append(assertion)
    errors += [reason for _, reason in sorted(found, key=lambda f: f[0])]
    if not errors and not out:
        errors.append(f"{name}: no assertions: expected {_either([f'[[{k}]]' for k in kinds], 'or')} tables")
    out.sort(key=lambda a: a.line)
    return out


def common(kind: str, table: Mapping[str, Any], default_app: str | None,
           keys: Mapping[str, set[str]] = KEYS) -> tuple[str | None, list[str]]:
    """The application of one table and the reasons against its keys, app, obj and act."""
    problems = [f"unknown key {k!r} (a {kind} has {', '.join(sorted(keys[kind]))})"
                for k in table if k not in keys[kind]]
    app = table.get("app", default_app)
    if app is None:
        problems.append("no app: give app = \"NAME\" at the top of the file or in the table")
    elif not isinstance(app, str) or not app_pattern().fullmatch(app):
        problems.append(f"invalid application name {app!r}: {APP_RULE}")
    for key in ("obj", "act"):
        value = table.get(key)
        if value is None:
            problems.append(f"missing {key}")
        elif not isinstance(value, str):
            problems.append(f"{key} must be a string")
        else:
            problem = value_error("object" if key == "obj" else "action", value)
            if problem:
                problems.append(problem)
    return (app if isinstance(app, str) else None), problems


def subject(kind: str, table: Mapping[str, Any], keys: Mapping[str, set[str]], problems: list[str]) -> str | None:
    """Which subject key the table of a check gives (role, roles or user, those its format
    has), a reason added to `problems` unless exactly one. A key the format has but not this
    kind still counts (its unknown key is a reason already)."""
    allowed = [k for k in SUBJECTS if k in keys[kind]]
    given = [k for k in SUBJECTS if k in table and any(k in kept for kept in keys.values())]
    if len(given) != 1:
        problems.append(f"give either {_either([SUBJECTS[k] for k in allowed], 'or')}")
        return None
    return given[0]


def roles_of(table: Mapping[str, Any], problems: list[str]) -> list[str]:
    """The roles of a table that gives role or roles; reasons added to `problems`."""
    given = [table["role"]] if "role" in table else table["roles"]
    if not strings(given) or not given:
        problems.append("roles must be a non-empty list of names")
        return []
    problems += [e for e in map(role_error, given) if e]
    return given


def holders(expect: Any, problems: list[str], check: Callable[[str], str | None] = role_error,
            what: str = "role names") -> Any:
    """The expected holders of a who, sorted without repeats; reasons added to `problems`."""
    if not strings(expect):
        problems.append(f"expect must be a list of {what}")
        return expect
    problems += [e for e in map(check, expect) if e]
    return sorted(set(expect))


def _assertion(kind: str, line: int, table: dict[str, Any],
               default_app: str | None) -> tuple[Assertion | None, list[str]]:
    app, problems = common(kind, table, default_app)
    roles: list[str] = []
    expect = table.get("expect")
    if kind == "check":
        if subject(kind, table, KEYS, problems) is not None:
            roles = roles_of(table, problems)
        if not isinstance(expect, bool):
            problems.append("expect must be true or false")
    else:
        expect = holders(expect, problems)
    if problems or app is None:
        return None, problems
    return Assertion(kind, line, app, table["obj"], table["act"], expect, roles), []


def parse(text: str, name: str, app: str | None = None) -> list[Assertion]:
    """The assertions of a file's text, in file order; BadFile with every reason. `app`
    stands for a file that names no application."""
    data = load(text, name)
    errors: list[str] = []
    default_app = top(data, name, app, errors)
    out = tables(data, text, name, errors, lambda kind, line, table: _assertion(kind, line, table, default_app))
    if errors:
        raise BadFile(errors)
    return out


# --- running --------------------------------------------------------------------------------


def run(assertions: list[Assertion], snapshot_of: Callable[[str], Any]) -> list[Outcome]:
    """Each assertion's outcome, in order. `snapshot_of(app)` gives the application's
    Snapshot (the console's indexes) and raises KeyError for an application that does not
    exist."""
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


def missing_apps(assertions: Sequence[Assertion], exists: Callable[[str], bool], name: str) -> None:
    """BadFile naming every assertion whose application does not exist."""
    errors = [f"{name}:{a.line}: unknown application {a.app!r}" for a in assertions if not exists(a.app)]
    if errors:
        raise BadFile(errors)
