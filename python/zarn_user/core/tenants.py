"""Casbin files with domains (tenants), kept as one application per domain.

The model has no domains; one application per domain does the same job. The application of
domain DOMAIN imported under APP is named `APP-DOMAIN` (application names allow letters,
digits and single hyphens, no dots), so a domain must make a valid name that way: at most
19 characters in all, no underscores or dots. Each holds the domain's policies
(`p, sub, dom, obj, act` without the domain), role links (`g, role, subrole, dom`) and
users (`g, user, role, dom` with a user id as subject, or after the users marker), as the
plain import reads them.

An import of a file writes new applications only, all or none: every check (lines, names,
patterns, cycles, users' roles, that no `APP-DOMAIN` exists) passes before the first one is
written, and all are written in one transaction: when the store fails, nothing is.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any

from zarn_engine import DoesNotExist, save_all

import zarn_user.core.interchange as interchange
import zarn_user.role_matrix as rm
from zarn_user.core import privilege
from zarn_user.core.errors import BadInput, Pattern, Refused
from zarn_user.core.holders import known_roles, refusal
from zarn_user.core.interchange import USERS_MARKER, Entry, casbin_line
from zarn_user.core.text import APP_RULE, app_pattern, nfc, value_error
from zarn_user.core.users import Assignment, UserRoles

__all__ = ["SEPARATOR", "app_name", "Split", "Tenant", "read", "plan", "write", "join", "domains_of"]

SEPARATOR = "-"


def app_name(app: str, domain: str) -> str:
    return f"{app}{SEPARATOR}{domain}"


@dataclass
class Split:
    """A file's entries by domain (in order of first appearance), notes and errors."""

    path: str = ""
    domains: dict[str, list[Entry]] = field(default_factory=dict)
    notes: list[str] = field(default_factory=list)
    errors: list[tuple[int, str]] = field(default_factory=list)

    def error_lines(self) -> list[str]:
        return [message for _, message in sorted(self.errors, key=lambda e: e[0])]


def _domain_at(kind: str, fields: list[str]) -> int | None:
    """Where a line's domain is, or None when it has none."""
    if kind == "g":
        return 2 if len(fields) == 3 else None
    if kind != "p":
        return None
    effect = len(fields) > 4 and fields[-1].lower() in ("allow", "deny")
    body = fields[:-1] if effect else fields
    if effect and len(body) == 5 and body[0].lstrip("-").isdigit():
        return 2  # p, priority, sub, dom, obj, act, eft
    return 1 if len(body) == 4 else None


def read(path: str, text: str, app: str) -> Split:
    """The lines of a Casbin file with domains, by domain; every bad line named."""
    split = Split(path)
    named: set[str] = set()  # domains already checked as part of an application name
    for row in interchange.casbin_rows(path, text, split.notes, split.errors):
        line, where, kind, fields = row.line, row.where, row.kind, row.fields
        at = _domain_at(kind, fields)
        if at is None:
            error = None
            if kind in ("p", "g") and len(fields) in ((3, 2) if kind == "p" else (2,)):
                shape = "p, sub, domain, obj, act" if kind == "p" else "g, user, role, domain"
                error = f"a {kind} line without a domain: a file split by domains has {shape} lines"
            error = error or interchange._casbin_row(kind, fields)[0] or "malformed line"
            split.errors.append((line, f"{where}: {error}"))
            continue
        fields = [nfc(f) for f in fields]  # text in NFC form, as every door stores it
        domain = fields[at]
        rest = fields[:at] + fields[at + 1:]
        error, note, rest = interchange._casbin_row(kind, rest)
        if error:
            split.errors.append((line, f"{where}: {error}"))
            continue
        if note:
            split.notes.append(f"{where}: {note}")
        if any(not f for f in rest) or not domain:
            split.errors.append((line, f"{where}: an empty field"))
            continue
        if domain not in named:
            named.add(domain)
            if not app_pattern().fullmatch(app_name(app, domain)):
                split.errors.append((line, f"{where}: domain {domain!r} makes no application name: "
                                           f"{app_name(app, domain)!r} breaks the rule, {APP_RULE}"))
        if kind == "p":
            split.errors += [(line, f"{where}: {e}") for e in (value_error("object", rest[1]),
                                                               value_error("action", rest[2])) if e]
        if kind == "g" and interchange._user_subject(rest[0], row.users):
            kind = "u"
        split.domains.setdefault(domain, []).append(Entry(where, kind, tuple(rest), line))
    return split


def assignments(app: str) -> UserRoles:
    """The stored assignments of `app`, or a new empty document (not saved)."""
    try:
        return UserRoles.load(app)
    except DoesNotExist:
        return UserRoles(app=app)


def split_users(entries: list[Entry]) -> tuple[list[Entry], list[Entry]]:
    """(policies and groups, users' roles)."""
    return [e for e in entries if e.kind != "u"], [e for e in entries if e.kind == "u"]


class ImportedUsers:
    """The users' roles of one domain's application, checked against its matrix (BadInput
    listing every unknown role, before anything is written)."""

    def __init__(self, app: str, matrix: rm.RoleMatrix, entries: list[Entry]) -> None:
        self.entries = entries
        self.doc = UserRoles(app=app) if entries else None
        known = set(known_roles(matrix)) if entries else set()
        errors = [f"{e.where}: role {e.fields[1]!r} of user {e.fields[0]!r} is no role of {app}: the file or "
                  f"the application must define it" for e in entries if e.fields[1] not in known]
        if errors:
            raise BadInput("\n".join(errors))
        have: set[tuple[str, str]] = set()
        self.new: list[Assignment] = []
        for e in entries:
            pair = (e.fields[0], e.fields[1])
            if pair not in have:
                have.add(pair)
                self.new.append(Assignment(user=pair[0], role=pair[1]))
        self.users = len({a.user for a in self.new})

    def to_json(self) -> dict[str, int]:
        return {"users_assigned": self.users} if self.entries else {}

    def summary(self) -> str:
        if not self.entries:
            return ""
        return f"; {self.users} user{'' if self.users == 1 else 's'} assigned"


@dataclass
class Tenant:
    """The application of one domain, made in memory, and its users' roles."""

    name: str
    matrix: rm.RoleMatrix
    users: ImportedUsers

    def summary(self) -> str:
        return (f"{self.name}: {len(self.matrix.policies)} policies, {len(self.matrix.groups)} groups"
                + self.users.summary().replace(";", ","))

    def to_json(self) -> dict[str, Any]:
        return {"name": self.name, "policies": len(self.matrix.policies), "groups": len(self.matrix.groups),
                **self.users.to_json()}


def plan(app: str, split: Split, existing: set[str], literal: bool, allow_superuser: bool = False) -> list[Tenant]:
    """The applications a split file makes, built in memory and checked: BadInput for bad
    lines and names, Refused for patterns (unless `literal`), applications that exist
    already (`existing`) and lines that would close a cycle; every line in question named.
    Superuser when a role or user of a domain would hold *:* (the built-in root's grant),
    unless `allow_superuser`."""
    for entries in split.domains.values():
        split.errors += interchange.name_errors(entries, set())
    if split.errors:
        raise BadInput("\n".join(split.error_lines()))
    if not split.domains:
        raise BadInput(f"{split.path}: no lines with a domain")
    if not literal:
        flagged = interchange.patterns([e for entries in split.domains.values() for e in entries])
        if flagged:
            raise Pattern([message for _, message in sorted(flagged)] + [interchange.PATTERN_ADVICE])
    taken = [n for n in (app_name(app, d) for d in split.domains) if n in existing]
    if taken:
        raise Refused(f"refused: {', '.join(taken)} exist{'s' if len(taken) == 1 else ''} already; an import "
                      "split by domains makes new applications only. Nothing written: delete them first, or "
                      "import under another APP")
    tenants: list[Tenant] = []
    refusals: list[tuple[int, str]] = []
    for domain, entries in split.domains.items():
        name = app_name(app, domain)
        matrix = rm.RoleMatrix(name=name, policies=[], groups=[])
        before = privilege.superusers(matrix)
        policies, user_entries = split_users(entries)
        _, refused = interchange.apply(matrix, policies)
        refusals += [(e.order, f"{e.where}: {refusal(matrix, *e.fields)}") for e in refused]
        users = ImportedUsers(name, matrix, user_entries)
        after = privilege.superusers(matrix)
        privilege.check_roles(before, after, allow_superuser, [f"{name}:"] if after.keys() - before.keys() else None)
        privilege.check_users([(a.user, a.role) for a in users.new], {}, after, allow_superuser)
        tenants.append(Tenant(name, matrix, users))
    if refusals:
        raise Refused("\n".join([m for _, m in sorted(refusals)]
                                + [f"refused: {len(refusals)} line(s) would close a cycle. Nothing written"]))
    return tenants


def write(tenants: list[Tenant]) -> None:
    """Store the applications and their users in one transaction: all or none."""
    docs: list[Any] = []
    for t in tenants:
        docs.append(t.matrix)
        doc = t.users.doc
        if doc is not None and t.users.new:
            doc.assignments.extend(t.users.new)
            docs.append(doc)
    save_all(docs)


def domains_of(app: str) -> dict[str, str]:
    """domain -> application, for the applications named APP-DOMAIN in the store."""
    prefix = app + SEPARATOR
    return {name[len(prefix):]: name for name in rm.RoleMatrix.keys() if name.startswith(prefix)}


def join(app: str) -> str:
    """The applications APP-DOMAIN as one Casbin file with domains: policies and role links
    first, then the users under the users marker."""
    found = domains_of(app)
    if not found:
        raise BadInput(f"no applications named {app}{SEPARATOR}DOMAIN to join (see: zarn-roles list)")
    lines: list[str] = []
    user_lines: list[str] = []
    for domain, name in found.items():
        matrix = rm.RoleMatrix.load(name)
        lines += [casbin_line("p", (p.sub, domain, p.obj, p.act)) for p in matrix.policies]
        lines += [casbin_line("g", (g.child, g.parent, domain)) for g in matrix.groups]
        user_lines += [casbin_line("g", (a.user, a.role, domain)) for a in assignments(name).assignments]
    if user_lines:
        lines += [USERS_MARKER, *user_lines]
    return "".join(line + "\n" for line in lines)
