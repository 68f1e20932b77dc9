"""Imports and exports for every door: a file is read whole and checked before anything is
written, and is imported all or nothing, its users' roles included.

Checked in this order, each stopping the import with every line it concerns, in file order:
bad lines, names and text (BadInput); Casbin patterns and conditions that would be stored as
literal text (Pattern, unless `literal`); roles named like the built-in superuser roles
(Builtin, unless `merge_builtin`); new paths to *:* for roles or users (Superuser, unless
`allow_superuser`); lines that would close a cycle (Cycle, unless `skip_refused` keeps the
rest). A dry run goes through the same steps and writes nothing.

The policies and the users' roles are two documents, saved in one transaction, each with its
version check: the import is stored whole or not at all. An import adds to what is stored, so on a
version conflict it is read again and retried (VersionMismatch at once with `expected`).
"""

from __future__ import annotations

import random
import time
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Callable

from zarn_engine import save_all

from . import interchange, privilege
from .errors import BadInput, Builtin, Contended, Cycle, NotFound, Pattern, VersionMismatch
from .holders import builtin, builtin_roles, has_builtin, known_roles, refusal
from .ops import RETRIES, load_matrix, load_users
from .text import check_app
from .users import Assignment, UserRoles

if TYPE_CHECKING:
    from zarn_engine import Engine

    from zarn_user.role_matrix import RoleMatrix


def export(matrix: RoleMatrix, users: UserRoles | None, fmt: str) -> str:
    """Everything stored of an application, its users' roles included: "json" or "casbin"."""
    if fmt == "casbin":
        return interchange.export_casbin(matrix, users)
    if fmt == "json":
        return interchange.export_json(matrix, users)
    raise BadInput(f"unknown export format {fmt!r}: json or casbin")


def export_app(app: str, fmt: str, engine: Engine | None = None) -> str:
    return export(load_matrix(app, engine), load_users(app, engine), fmt)


@dataclass
class Imported:
    """What an import did, or would do (`dry_run`)."""

    app: str
    entries: int  # policies and groups in the file
    added: list[interchange.Entry] = field(default_factory=list)
    refused: list[tuple[interchange.Entry, str]] = field(default_factory=list)  # with the reason
    notes: list[str] = field(default_factory=list)
    assigned: list[tuple[str, str]] = field(default_factory=list)  # new (user, role)
    user_lines: int = 0
    created: bool = False
    dry_run: bool = False
    version: int | None = None
    stored: bool = False
    settings: bool = False  # the file sets the application's settings

    @property
    def already(self) -> int:
        return self.entries - len(self.added) - len(self.refused)

    @property
    def users(self) -> int:
        return len({user for user, _ in self.assigned})

    @property
    def wildcards(self) -> int:
        return sum(1 for e in self.added if e.kind == "p" and "*" in e.fields[1:])


def _builtin_lines(matrix: Any, entries: list[interchange.Entry]) -> list[str]:
    """Why the entries that name a built-in role are refused, and the ways out. An entry
    the application holds already changes nothing (an export imported back)."""
    names = builtin_roles()
    stored = {("p", (p.sub, p.obj, p.act)) for p in matrix.policies} | {("g", (g.child, g.parent)) for g in matrix.groups}
    lines = []
    for entry in entries:
        if (entry.kind, entry.fields) in stored:
            continue
        named = [r for r in dict.fromkeys(entry.roles()) if r in names]
        if named:
            lines.append(f"{entry.where}: {entry.casbin()}: {', '.join(map(repr, named))} "
                         f"{'is a built-in role' if len(named) == 1 else 'are built-in roles'} of {matrix.name}")
    if not lines:
        return []
    policies, groups = builtin()
    meaning = "; ".join([f"{c} contains {p}" for c, p in sorted(groups)] +
                        [f"{s} holds {o}:{a}" for s, o, a in sorted(policies)])
    lines.append(f"refused: in {matrix.name}, {meaning}: whoever holds these roles would hold everything. "
                 f"Nothing written: import into a new application (import NEW-APP FILE creates it without the "
                 f"built-in roles), rename the roles in the file, or give --merge-builtin to merge on purpose")
    return lines


def _stored(app: str, engine: Engine | None) -> RoleMatrix | None:
    try:
        return load_matrix(app, engine)
    except NotFound:
        return None


def check_reading(reading: interchange.Reading, existing: set[str], *, literal: bool) -> None:
    """BadInput with every bad line, then Pattern with every pattern (unless `literal`)."""
    errors = reading.errors + interchange.name_errors(reading.entries, existing)
    if errors:
        lines = [message for _, message in sorted(errors, key=lambda e: e[0])]
        raise BadInput(lines, summary=f"{len(lines)} bad line(s): nothing was imported")
    if not literal:
        flagged = interchange.patterns(reading.entries)
        if flagged:
            raise Pattern([message for _, message in flagged] + [interchange.PATTERN_ADVICE])


def _plan(app: str, reading: interchange.Reading, matrix: Any, users: UserRoles, *, literal: bool,
          merge_builtin: bool, allow_superuser: bool, step: Callable[[], None]) -> Imported:
    """Apply the file to `matrix` and `users` in memory, after every check."""
    import zarn_user.role_matrix as rm

    new = matrix is None
    existing = set(known_roles(matrix)) if matrix is not None else set()
    check_reading(reading, existing, literal=literal)
    entries = [e for e in reading.entries if e.kind != "u"]
    user_entries = [e for e in reading.entries if e.kind == "u"]
    builtin_lines = _builtin_lines(matrix, entries) if matrix is not None and has_builtin(matrix) else []
    if matrix is None:
        matrix = rm.RoleMatrix(name=app, policies=[], groups=[])
    before = privilege.superusers(matrix)
    for key, value in reading.settings.items():
        setattr(matrix, key, value)
    added, refused = interchange.apply(matrix, entries, step)
    after = privilege.superusers(matrix)
    # The built-in roles as a new application has them (root granted *:*, admin containing
    # root) are what an export of any application carries: no new path to *:*.
    names = builtin_roles()
    before.update({r: p for r, p in after.items() if r in names and set(p) <= names})
    if builtin_lines and not merge_builtin:
        # Lines naming the built-in roles: a path to *:* they open is refused with them.
        privilege.check_roles(before, after, allow_superuser, builtin_lines)
        raise Builtin(builtin_lines)
    privilege.check_roles(before, after, allow_superuser or merge_builtin)
    out = Imported(app, len(entries), added, [(e, refusal(matrix, *e.fields)) for e in refused],
                   list(reading.notes), created=new, user_lines=len(user_entries), settings=bool(reading.settings))
    if user_entries:
        known = set(known_roles(matrix))
        errors = [f"{e.where}: role {e.fields[1]!r} of user {e.fields[0]!r} is no role of {app}: the file or "
                  f"the application must define it" for e in user_entries if e.fields[1] not in known]
        if errors:
            raise BadInput(errors)
        have = {(a.user, a.role) for a in users.assignments}
        for e in user_entries:
            pair = (e.fields[0], e.fields[1])
            if pair not in have:
                have.add(pair)
                out.assigned.append(pair)
        privilege.check_users(out.assigned, {u: list(r) for u, r in users.index().items()}, after,
                              allow_superuser)
    out.__dict__["matrix"] = matrix
    return out


def import_text(app: str, text: str, name: str, fmt: str = "auto", *, engine: Engine | None = None,
                dry_run: bool = False, skip_refused: bool = False, literal: bool = False,
                merge_builtin: bool = False, allow_superuser: bool = False, expected: set[int] | None = None,
                step: Callable[[], None] = lambda: None, writing: Callable[[], Engine | None] = lambda: None,
                retries: int = RETRIES) -> Imported:
    """Import a file's text into `app` (created, without the built-in roles, when it does not
    exist). `writing()` is called just before the first save, and may open the store then
    (return its engine): with no `engine` before, the application does not exist yet."""
    from zarn_engine import ConflictError

    if fmt not in ("auto", "json", "casbin"):
        raise BadInput(f"unknown import format {fmt!r}: auto, json or casbin")
    reading = interchange.parse(text, name, fmt)
    for attempt in range(retries):
        matrix = _stored(app, engine) if engine is not None else None
        if matrix is None:
            check_app(app)
            if expected is not None:
                raise VersionMismatch(f"{app} does not exist, but If-Match names a version of it",
                                      expected=expected, found=None)
        elif expected is not None and matrix.version not in expected:
            raise VersionMismatch(f"{app} is at version {matrix.version} now, not the one given in If-Match: "
                                  "look at it again", expected=expected, found=matrix.version)
        users = load_users(app, engine) if matrix is not None and engine is not None else UserRoles(app=app)
        plan = _plan(app, reading, matrix, users, literal=literal, merge_builtin=merge_builtin,
                     allow_superuser=allow_superuser, step=step)
        plan.dry_run = dry_run
        if plan.refused and not skip_refused and not dry_run:
            raise Cycle([f"{e.where}: {reason}" for e, reason in plan.refused] + [
                f"refused: {len(plan.refused)} line(s) would close a cycle. Nothing written: give --skip-refused "
                "(skip_refused in the APIs) to import the rest"],
                refused=[{"where": e.where, "line": e.casbin(), "reason": reason} for e, reason in plan.refused])
        if dry_run:
            return plan
        try:
            _save(app, plan, users, engine, writing)
        except ConflictError:
            if expected is not None:
                raise VersionMismatch(f"{app} changed meanwhile, not at the version given in If-Match: look at "
                                      "it again", expected=expected, found=None) from None
            time.sleep(random.uniform(0, 0.002 * 2 ** min(attempt, 6)))
            continue
        return plan
    raise Contended(f"not imported: other writers kept changing {app} ({retries} tries); nothing written, run it "
                    "again", tries=retries, found=None)


def _save(app: str, plan: Imported, users: UserRoles, engine: Engine | None,
          writing: Callable[[], Engine | None]) -> None:
    """The policies and the users' roles that changed, in one transaction."""
    matrix: Any = plan.__dict__["matrix"]
    docs: list[Any] = []
    if plan.created or plan.added or plan.settings:
        docs.append(matrix)
    if plan.assigned:
        users.assignments.extend(Assignment(user=u, role=r) for u, r in plan.assigned)
        docs.append(users)
    if docs:
        save_all(docs, writing() or engine)
        plan.stored = True
    plan.version = matrix.version
