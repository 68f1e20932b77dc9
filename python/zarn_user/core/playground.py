"""Playground files: one TOML file that holds an application (its roles, their grants and
sub-roles, its users) and assertions about it, run with no store at all, or against a stored
application of the same name.

    app = "shop"

    [roles.clerk]
    grants = { order = ["read"], "/reports" = ["read"] }   # object = [actions]

    [roles.manager]
    grants = { order = ["write"] }
    sub_roles = ["clerk"]

    [users]
    "alice@example.com" = ["manager"]

    [[check]]
    role = "manager"          # or roles = ["a", "b"] (held when any holds it), or user = "ID"
    obj = "order"
    act = "read"
    expect = true

    [[why]]
    user = "alice@example.com"    # or role = "NAME"
    obj = "order"
    act = "read"
    expect = ["manager", "clerk"]  # the chain of roles it comes through; or true / false

    [[who]]
    obj = "order"
    act = "read"
    users = true              # the users holding it; without: the roles
    expect = ["alice@example.com"]

Objects, actions and user ids follow the text rule of every door (put in NFC form first); a
Casbin pattern or condition as an object or action is refused, as an import refuses it,
unless the file says `literal = true` at its top (then it is compared as literal text).

A file without `roles` and `users` is an assertions file: it runs against a store only. An
assertion may name its own `app` (against a store); unknown keys, wrong types, bad names,
sub-roles that no role of the file defines, a cycle and a user given a role the file lacks
make the file bad, each reason as `FILE:LINE: reason`, and nothing is run.
"""

from __future__ import annotations

import json
import re
from dataclasses import dataclass
from typing import Any, Callable, Iterable, cast

import zarn_user.role_matrix as rm
from zarn_user.core import assertions
from zarn_user.core.assertions import BadFile, Outcome, strings as _strings
from zarn_user.core.holders import Holding, holdings, known_roles, refusal
from zarn_user.core.interchange import Entry, apply, pattern_error
from zarn_user.core.text import APP_RULE, app_pattern, nfc, role_error, value_error
from zarn_user.core.users import Assignment, UserRoles, user_error, user_holdings, why

__all__ = ["BadFile", "Assertion", "Outcome", "Playground", "Subject", "parse", "run", "write"]

KINDS = ("check", "why", "who")
_TOP = ("app", "literal", "roles", "users")
_KEYS = {"check": assertions.KEYS["check"] | {"user"},
         "why": {"app", "role", "user", "obj", "act", "expect"},
         "who": assertions.KEYS["who"] | {"users"}}
_ROLE_KEYS = ("grants", "sub_roles")
_ROLE_HEADER = re.compile(r'^\s*\[\s*roles\s*\.\s*("(?:[^"\\]|\\.)*"|[A-Za-z0-9_-]+)\s*\]\s*(#.*)?$')
_TABLE = re.compile(r"^\s*\[")
_USERS_HEADER = re.compile(r"^\s*\[\s*users\s*\]\s*(#.*)?$")
_KEY_LINE = re.compile(r'^\s*("(?:[^"\\]|\\.)*"|[A-Za-z0-9_-]+)\s*=')


@dataclass
class Assertion(assertions.Assertion):
    """An assertion of a playground file: also why, a check or why on a user, and who on users."""

    # kind: check, why or who; expect: check: bool; why: bool or a list of roles; who: a
    # sorted list of names. roles: for check and why on roles.
    user: str | None = None  # check and why on a user
    users: bool = False  # who: the users holding it, not the roles

    def describe(self) -> str:
        if self.kind == "who":
            return super().describe() + (" --users" if self.users else "")
        if self.user is not None:
            return f"{self.kind} --user {self.user} {self.obj}:{self.act}"
        return super().describe()

    def fields(self) -> dict[str, Any]:
        said = super().fields()
        return {**{k: said[k] for k in ("line", "kind", "app", "roles")}, "user": self.user,
                "users": self.users if self.kind == "who" else None,
                **{k: said[k] for k in ("obj", "act", "expected")}}


@dataclass
class Playground:
    """What a file holds: the application (None for an assertions file) and the assertions."""

    app: str | None
    matrix: rm.RoleMatrix | None
    users: UserRoles | None
    declared: frozenset[str]  # roles the file defines, those holding nothing included
    assertions: list[Assertion]

    def subject(self) -> Subject:
        if self.matrix is None:
            raise ValueError("the file holds no application")
        return Subject(self.matrix, self.users, self.declared)


# --- where things are in the text (tomllib keeps no positions) ------------------------------


def _key(token: str) -> str:
    return str(json.loads(token)) if token.startswith('"') else token


def _positions(text: str) -> tuple[dict[str, int], dict[str, int]]:
    """The line of each [roles.NAME] header, and of each user's key inside the [users] table."""
    roles: dict[str, int] = {}
    users: dict[str, int] = {}
    in_users = False
    for number, line in enumerate(text.splitlines(), 1):
        role = _ROLE_HEADER.match(line)
        if role:
            try:
                roles.setdefault(_key(role.group(1)), number)
            except ValueError:
                pass
        if _TABLE.match(line):
            in_users = bool(_USERS_HEADER.match(line))
        elif in_users:
            key = _KEY_LINE.match(line)
            if key:
                try:
                    users.setdefault(_key(key.group(1)), number)
                except ValueError:
                    pass
    return roles, users


# --- reading --------------------------------------------------------------------------------


def parse(text: str, name: str, app: str | None = None) -> Playground:
    """The application and assertions of a file's text; BadFile with every reason. `app`
    stands for a file that names no application."""
    data = assertions.load(text, name)
    errors: list[str] = []
    default_app = assertions.top(data, name, app, errors, _TOP, KINDS)
    literal = data.get("literal", False)
    if not isinstance(literal, bool):
        errors.append(f"{name}: literal must be true or false")
    role_lines, user_lines = _positions(text)
    holds_app = "roles" in data or "users" in data
    matrix = users = None
    declared: frozenset[str] = frozenset()
    if holds_app:
        if default_app is None:
            errors.append(f"{name}: no app: a file with roles names its application, app = \"NAME\"")
        elif not app_pattern().fullmatch(default_app):
            errors.append(f"{name}: invalid application name {default_app!r}: {APP_RULE}")
        else:
            matrix, users, declared = _application(data, default_app, name, role_lines, user_lines, errors,
                                                   literal is True)

    def read(kind: str, line: int, table: dict[str, Any]) -> tuple[Assertion | None, list[str]]:
        assertion, problems = _assertion(kind, line, table, default_app)
        if assertion is not None and holds_app and assertion.app != default_app:
            problems = [f"unknown application {assertion.app!r}: this file holds {default_app!r}"]
        return assertion, problems

    out = assertions.tables(data, text, name, errors, read, KINDS)
    if errors:
        raise BadFile(errors)
    return Playground(default_app if holds_app else None, matrix, users, declared, cast(list[Assertion], out))


def _text(value: Any) -> Any:
    """A string in NFC form, as every door takes text; anything else as it is, for the check."""
    return nfc(value) if isinstance(value, str) else value


def _application(data: dict[str, Any], app: str, name: str, role_lines: dict[str, int],
                 user_lines: dict[str, int], errors: list[str], literal: bool = False) -> tuple[
                     rm.RoleMatrix | None, UserRoles | None, frozenset[str]]:
    """The application the file defines, built in memory; reasons added to `errors`."""
    found = len(errors)
    roles = data.get("roles", {})
    if not isinstance(roles, dict):
        errors.append(f"{name}: roles must be tables, written [roles.NAME]")
        roles = {}
    declared = set(roles) | {"public"}
    entries: list[Entry] = []
    groups: list[Entry] = []
    flagged: list[str] = []
    for role, table in roles.items():
        line = role_lines.get(role, 0)
        where = f"{name}:{line}" if line else f"{name}: role {role!r}"
        problem = role_error(role)
        if problem:
            errors.append(f"{where}: {problem}")
            continue
        if not isinstance(table, dict):
            errors.append(f"{where}: role {role!r} must be a table with grants and sub_roles")
            continue
        errors += [f"{where}: unknown key {k!r} (a role has grants and sub_roles)" for k in table if k not in _ROLE_KEYS]
        grants = table.get("grants", {})
        if not isinstance(grants, dict):
            errors.append(f"{where}: grants must be a table of objects, each with a list of actions: "
                          "grants = { order = [\"read\"] }")
            grants = {}
        for obj, acts in grants.items():
            obj = nfc(obj)
            problem = value_error("object", obj)
            if problem:
                errors.append(f"{where}: {problem}")
            elif not literal and (problem := pattern_error("object", obj)):
                flagged.append(f"{where}: {problem}")
            if not _strings(acts) or not acts:
                errors.append(f"{where}: the actions on {obj!r} must be a non-empty list of strings")
                continue
            for act in map(nfc, acts):
                problem = value_error("action", act)
                if problem:
                    errors.append(f"{where}: {problem}")
                    continue
                if not literal and (problem := pattern_error("action", act)):
                    flagged.append(f"{where}: {problem}")
                entries.append(Entry(where, "p", (role, obj, act), line))
        subs = table.get("sub_roles", [])
        if not _strings(subs):
            errors.append(f"{where}: sub_roles must be a list of role names")
            continue
        for sub in subs:
            if sub not in declared:
                errors.append(f"{where}: sub-role {sub!r} is no role of this file: define it as [roles.{sub}]")
            else:
                groups.append(Entry(where, "g", (role, sub), line))
    assigned: list[tuple[str, str]] = []
    given = data.get("users", {})
    if not isinstance(given, dict):
        errors.append(f"{name}: users must be a table of user ids, each with a list of roles")
        given = {}
    for user, user_roles in given.items():
        line = user_lines.get(user, 0)
        where = f"{name}:{line}" if line else f"{name}: user {user!r}"
        user = nfc(user)
        problem = user_error(user)
        if problem:
            errors.append(f"{where}: {problem}")
        elif not _strings(user_roles):
            errors.append(f"{where}: the roles of user {user!r} must be a list of role names")
        else:
            for role in dict.fromkeys(user_roles):
                if role not in declared:
                    errors.append(f"{where}: role {role!r} of user {user!r} is no role of this file")
                else:
                    assigned.append((user, role))
    if flagged:
        errors += list(dict.fromkeys(flagged)) + [
            f"{name}: refused: Casbin evaluates these (patterns, conditions); here they would be compared as text. "
            "Write literal = true at the top of the file to keep them as literal text"]
    if len(errors) > found:
        return None, None, frozenset()
    matrix = rm.RoleMatrix(name=app, policies=[], groups=[])
    _, refused = apply(matrix, entries + groups)
    errors += [f"{e.where}: {refusal(matrix, *e.fields)}" for e in refused]
    doc = UserRoles(app=app, assignments=[Assignment(user=u, role=r) for u, r in assigned])
    return matrix, doc, frozenset(declared)


def _assertion(kind: str, line: int, table: dict[str, Any],
               default_app: str | None) -> tuple[Assertion | None, list[str]]:
    table = {k: _text(v) if k in ("obj", "act", "user") else v for k, v in table.items()}
    if table.get("users") is True and isinstance(table.get("expect"), list):
        table["expect"] = [_text(v) for v in table["expect"]]
    app, problems = assertions.common(kind, table, default_app, _KEYS)
    roles: list[str] = []
    user: str | None = None
    expect = table.get("expect")
    if kind in ("check", "why"):
        given = assertions.subject(kind, table, _KEYS, problems)
        if given == "user":
            user = table["user"]
            problem = user_error(user)
            if problem:
                problems.append(problem)
        elif given is not None:
            roles = assertions.roles_of(table, problems)
        if kind == "check" and not isinstance(expect, bool):
            problems.append("expect must be true or false")
        if kind == "why":
            if not isinstance(expect, bool) and not (_strings(expect) and expect):
                problems.append("expect must be true, false, or the chain of roles it comes through")
            elif isinstance(expect, list):
                problems += [e for e in map(role_error, expect) if e]
    else:
        listed = table.get("users", False)
        if not isinstance(listed, bool):
            problems.append("users must be true or false")
        expect = (assertions.holders(expect, problems, user_error, "user ids") if listed is True
                  else assertions.holders(expect, problems))
    if problems or app is None:
        return None, problems
    return Assertion(kind, line, app, table["obj"], table["act"], expect, roles, user,
                     table.get("users", False) is True), []


# --- running --------------------------------------------------------------------------------


class Subject:
    """One application the assertions ask about: its matrix and users, and the roles known
    beyond the stored lists (a file's roles that hold nothing). Answers are those of the
    command line: a granted "*" matches anything."""

    def __init__(self, matrix: rm.RoleMatrix, users: UserRoles | None, declared: Iterable[str] = ()) -> None:
        self.matrix = matrix
        self.users = users
        self.known = set(known_roles(matrix)) | set(declared)
        self._found: dict[tuple[str, str], dict[str, Holding]] = {}

    def holdings(self, obj: str, act: str) -> dict[str, Holding]:
        pair = (obj, act)
        if pair not in self._found:
            self._found[pair] = holdings(self.matrix, obj, act)
        return self._found[pair]

    def holding(self, roles: list[str], obj: str, act: str) -> Holding | None:
        found = self.holdings(obj, act)
        best = None
        for role in roles:
            h = found.get(role)
            if h is not None and (best is None or len(h.path) < len(best.path)):
                best = h
        return best


def run(assertions: list[Assertion], subject_of: Callable[[str], Subject]) -> list[Outcome]:
    """Each assertion's outcome, in order; `subject_of(app)` gives the application asked about."""
    subjects: dict[str, Subject] = {}
    outcomes = []
    for a in assertions:
        if a.app not in subjects:
            subjects[a.app] = subject_of(a.app)
        outcomes.append(_outcome(a, subjects[a.app]))
    return outcomes


def _outcome(a: Assertion, s: Subject) -> Outcome:
    perm = f"{a.obj}:{a.act}"
    if a.kind == "who":
        if a.users:
            users = user_holdings(s.matrix, s.users, a.obj, a.act)
            got: Any = sorted(users)
            detail = "; ".join(h.explain(a.obj, a.act) for h in users.values()) or f"no user holds {perm}"
        else:
            found = s.holdings(a.obj, a.act)
            got = sorted(found)
            detail = "; ".join(h.explain(a.obj, a.act) for h in found.values()) or f"no role holds {perm}"
        return Outcome(a, got == a.expect, got, detail)
    if a.user is not None:
        held = why(s.matrix, s.users, a.user, a.obj, a.act)
        path = held.path if held is not None else None
        roles = s.users.roles_of(a.user) if s.users is not None else []
        detail = (held.explain(a.obj, a.act) if held is not None
                  else f"{a.user} does not hold {perm}" + ("" if roles else f" ({a.user} has no roles)"))
    else:
        unknown = [r for r in dict.fromkeys(a.roles) if r not in s.known]
        if unknown:
            got = f"unknown role {unknown[0]!r}"
            return Outcome(a, False, got, f"{got} in application {a.app!r}")
        holding = s.holding(a.roles, a.obj, a.act)
        path = holding.path if holding is not None else None
        detail = (holding.explain(a.obj, a.act) if holding is not None
                  else f"{' '.join(a.roles)} does not hold {perm}")
    if a.kind == "why" and isinstance(a.expect, list):
        got = path if path is not None else False
        return Outcome(a, path == a.expect, got, detail)
    return Outcome(a, (path is not None) == a.expect, path is not None, detail)


# --- writing ----------------------------------------------------------------------------------

# The assertions `write` adds: who holds each granted permission (roles, then users), for at
# most this many permissions, so that a file of a large application stays readable.
WRITTEN_PERMISSIONS = 200
_BARE = re.compile(r"^[A-Za-z0-9_-]+$")


def _toml_key(key: str) -> str:
    return key if _BARE.match(key) else json.dumps(key, ensure_ascii=False)


def _toml_list(values: Iterable[str]) -> str:
    return "[" + ", ".join(json.dumps(v, ensure_ascii=False) for v in values) + "]"


def write(matrix: rm.RoleMatrix, users: UserRoles | None, permissions: int = WRITTEN_PERMISSIONS) -> str:
    """A playground file of the application: its roles, grants, sub-roles and users, and
    assertions of who holds each granted permission (the first `permissions` of them), which
    the file passes as written."""
    grants: dict[str, dict[str, list[str]]] = {}
    for p in matrix.policies:
        acts = grants.setdefault(p.sub, {}).setdefault(p.obj, [])
        if p.act not in acts:
            acts.append(p.act)
    subs: dict[str, list[str]] = {}
    for g in matrix.groups:
        subs.setdefault(g.child, []).append(g.parent)
    out = [f"app = {json.dumps(matrix.name)}"]
    if any(pattern_error("object", p.obj) or pattern_error("action", p.act) for p in matrix.policies):
        out.append("literal = true  # patterns and conditions below are compared as literal text")
    out.append("")
    for role in known_roles(matrix):
        if role == "public" and role not in grants and role not in subs:
            continue
        out.append(f"[roles.{_toml_key(role)}]")
        if role in grants:
            table = ", ".join(f"{_toml_key(obj)} = {_toml_list(acts)}" for obj, acts in grants[role].items())
            out.append(f"grants = {{ {table} }}")
        if role in subs:
            out.append(f"sub_roles = {_toml_list(subs[role])}")
        out.append("")
    known = set(known_roles(matrix))
    index = {user: kept for user, roles in (users.index() if users is not None else {}).items()
             if (kept := [r for r in roles if r in known])}  # a role since removed holds nothing
    if index:
        out.append("[users]")
        out += [f"{_toml_key(user)} = {_toml_list(roles)}" for user, roles in index.items()]
        out.append("")
    subject = Subject(matrix, users)
    pairs = list(dict.fromkeys((p.obj, p.act) for p in matrix.policies))[:permissions]
    for obj, act in pairs:
        found = sorted(subject.holdings(obj, act))
        out += ["[[who]]", f"obj = {json.dumps(obj, ensure_ascii=False)}",
                f"act = {json.dumps(act, ensure_ascii=False)}", f"expect = {_toml_list(found)}", ""]
        if index:
            held = sorted(user_holdings(matrix, users, obj, act))
            out += ["[[who]]", f"obj = {json.dumps(obj, ensure_ascii=False)}",
                    f"act = {json.dumps(act, ensure_ascii=False)}", "users = true",
                    f"expect = {_toml_list(held)}", ""]
    if not pairs:  # no grants: the file still asserts something
        out += ["[[who]]", 'obj = "*"', 'act = "*"', "expect = []", ""]
    return "\n".join(out)
