"""The changes to a role matrix and to its users, for every door.

Each operation checks its input (text.py, the name rules, Casbin patterns, paths to *:*),
then reads the application from the store and decides on that copy: whether the change is
allowed, whether it is already there, what it refuses. The change is saved with the version
check of the copy it was decided on, so that its answer ("changed", "already there", "not
granted directly") and the If-Match check (`expected`) hold for the version it replaced. A
change on top of the current state is retried on a version conflict, up to RETRIES times
(VersionMismatch at once when the caller named the version it expects); Contended says when
other writers kept coming first.

`Written.result` is what the operation answers (a role's contents, a user's roles);
`refusals` the parts refused while the rest was done (a revoke of a pair held only through a
sub-role, an inclusion that would close a cycle).
"""

from __future__ import annotations

import random
import time
from typing import TYPE_CHECKING, Any, Callable, Iterable

from zarn_user import query

from . import privilege
from .errors import BadInput, Contended, Cycle, Exists, NotDirect, NotFound, Pattern, VersionMismatch
from .holders import containment_path, holdings, is_known, refusal
from .interchange import PATTERN_ADVICE, pattern_error
from .text import check_app, check_role, check_text, nfc, problems, repaired, role_error
from .users import Assignment, UnknownRole, UserRoles, check_user, users_holding

if TYPE_CHECKING:
    from zarn_engine import Engine, Live

    from zarn_user.role_matrix import RoleMatrix

RETRIES = 12
Pairs = list[tuple[str, str]]


class Written:
    """The outcome of a change: its answer, the version stored after it, whether it changed
    anything, and what it refused while doing the rest."""

    __slots__ = ("result", "version", "changed", "refusals")

    def __init__(self, result: Any, version: int, changed: bool, refusals: list[str] | None = None) -> None:
        self.result = result
        self.version = version
        self.changed = changed
        self.refusals = refusals or []

    def __repr__(self) -> str:
        return f"Written(version={self.version}, changed={self.changed}, refusals={len(self.refusals)})"


class _Unchanged(Exception):
    """Raised inside a change that has nothing to write: the update ends without a save."""

    def __init__(self, result: Any, refusals: list[str] | None = None) -> None:
        super().__init__("unchanged")
        self.result = result
        self.refusals = refusals or []


# --- reading from the store ---------------------------------------------------------------


def load_matrix(app: str, engine: Engine | None = None) -> RoleMatrix:
    """The stored matrix of `app`; NotFound when there is none."""
    from zarn_engine import DoesNotExist

    import zarn_user.role_matrix as rm

    try:
        return rm.RoleMatrix.load(app, engine=engine)
    except DoesNotExist:
        raise NotFound(f"unknown application {app!r}", what="application", name=app) from None


def load_users(app: str, engine: Engine | None = None) -> UserRoles:
    """The stored assignments of `app`, or a new empty document (not saved)."""
    from zarn_engine import DoesNotExist

    try:
        return UserRoles.load(app, engine=engine)
    except DoesNotExist:
        return UserRoles(app=app)


def _stored_version(doc: Any) -> int | None:
    engine = doc.engine
    if engine is None or doc.key is None:
        return None
    try:
        found: int | None = engine.version(type(doc)._collection(), doc.key)
        return found
    except Exception:  # noqa: BLE001 - only for the message of a refusal
        return None


def _mismatch(app: str, expected: set[int], found: int | None) -> VersionMismatch:
    return VersionMismatch(f"{app} is at version {found} now, not the one given in If-Match: look at it again",
                           expected=expected, found=found)


def commit(app: str, load: Callable[[], Any], change: Callable[[Any], tuple[Any, list[str]]], *,
           expected: set[int] | None = None, retries: int = RETRIES, live: Live[Any] | None = None,
           engine: Engine | None = None) -> Written:
    """Run `change(doc)` on a copy read by `load()` (or by `live.update`) and save it as one
    commit with the copy's version check; again on a fresh copy when another writer came
    first. `change` returns (answer, refusals), or raises _Unchanged to end without a save."""
    from zarn_engine import ConflictError, DoesNotExist

    def guarded(doc: Any) -> tuple[Any, list[str]]:
        if expected is not None and doc.version not in expected:
            raise _mismatch(app, expected, doc.version)
        return change(doc)

    if live is not None:
        done: list[Any] = []

        def run(doc: Any) -> tuple[Any, list[str]]:
            done[:] = [doc]
            return guarded(doc)

        try:
            result, refusals = live.update(app, run)
        except _Unchanged as same:
            return Written(same.result, (done[0].version if done else None) or 0, False, same.refusals)
        except DoesNotExist:
            raise NotFound(f"unknown application {app!r}", what="application", name=app) from None
        except ConflictError:
            found = _stored_version(done[0]) if done else None
            if expected is not None:
                raise _mismatch(app, expected, found) from None
            raise Contended(f"not saved: other writers kept changing {app} ({live.retries} tries); nothing "
                            "written, run it again", tries=live.retries, found=found) from None
        return Written(result, done[0].version or 0, True, refusals)

    doc: Any = None
    for attempt in range(retries):
        doc = load()
        try:
            with doc.batch() as batch:
                result, refusals = guarded(doc)
                doc.save(engine)  # a document new to the store goes to `engine`
        except _Unchanged as same:
            return Written(same.result, doc.version or 0, False, same.refusals)
        except ConflictError:
            if expected is not None:
                raise _mismatch(app, expected, _stored_version(doc)) from None
            time.sleep(random.uniform(0, 0.002 * 2 ** min(attempt, 6)))  # colliding writers spread out
            continue
        return Written(result, batch.version or doc.version or 0, True, refusals)
    raise Contended(f"not saved: other writers kept changing {app} ({retries} tries); nothing written, run it again",
                    tries=retries, found=_stored_version(doc) if doc is not None else None)


# --- checks that need no store ----------------------------------------------------------


def permissions(obj: str, acts: Iterable[str], literal: bool = False) -> Pairs:
    """The (obj, act) pairs to store, each part checked by the text rule and, unless
    `literal`, refused when Casbin would evaluate it (a pattern or a condition)."""
    acts = list(acts)
    if not acts:
        raise BadInput(f"no action given for {obj}: a permission is an object and an action")
    return checked_pairs([(obj, act) for act in acts], literal)


def checked_pairs(pairs: Iterable[tuple[str, str]], literal: bool = False) -> Pairs:
    out = []
    errors = []
    for obj, act in pairs:
        obj, act = check_text("object", obj), check_text("action", act)
        if not literal:
            errors += [e for e in (pattern_error("object", obj), pattern_error("action", act)) if e]
        out.append((obj, act))
    if errors:
        raise Pattern(list(dict.fromkeys(errors)) + [PATTERN_ADVICE])
    return list(dict.fromkeys(out))


def _role_to_change(matrix: Any, role: str) -> str:
    """A role a change names: any the application holds, or a new one that follows the rule."""
    return role if is_known(matrix, role) else check_role(role)


def _known(matrix: Any, roles: Iterable[str]) -> None:
    for role in roles:
        if not isinstance(role, str) or not is_known(matrix, role):
            error = role_error(role) if not isinstance(role, str) else None
            if error:
                raise BadInput(error)
            raise UnknownRole(f"unknown role {role!r} in application {matrix.name!r}", role)


def _content(matrix: Any, role: str) -> dict[str, Any]:
    data: dict[str, Any] = matrix.get_role_contents(role).to_display()
    return data


# --- applications ------------------------------------------------------------------------


def create(app: str, engine: Engine | None = None) -> int:
    """A new application with the root policy and the admin group; its version."""
    from zarn_engine import ConflictError

    import zarn_user.role_matrix as rm

    matrix = rm.RoleMatrix(name=check_app(app))
    try:
        matrix.save(engine=engine)
    except ConflictError:
        raise Exists(f"not created: application {app!r} exists already", name=app) from None
    return matrix.version or 0


# --- permissions -------------------------------------------------------------------------


def grant(app: str, role: str, pairs: Pairs, *, engine: Engine | None = None, allow_superuser: bool = False,
          literal: bool = False, expected: set[int] | None = None, live: Live[Any] | None = None) -> Written:
    """Give `role` the permissions (a new role when it follows the role-name rule)."""
    pairs = checked_pairs(pairs, literal)

    def change(doc: Any) -> tuple[Any, list[str]]:
        _role_to_change(doc, role)
        own = set(query.index(doc).grants(role))
        if all(pair in own for pair in pairs):
            raise _Unchanged(_content(doc, role))
        privilege.check_grant(role, pairs, doc, allow_superuser)
        content = doc.add_role_permissions(role, [{"obj": o, "act": a} for o, a in pairs])
        return content.to_display(), []

    return commit(app, lambda: load_matrix(app, engine), change, expected=expected, live=live)


def set_permissions(app: str, role: str, pairs: Pairs, *, engine: Engine | None = None,
                    allow_superuser: bool = False, literal: bool = False, expected: set[int] | None = None,
                    live: Live[Any] | None = None) -> Written:
    """Replace the role's direct permissions with `pairs`."""
    pairs = checked_pairs(pairs, literal)

    def change(doc: Any) -> tuple[Any, list[str]]:
        _role_to_change(doc, role)
        privilege.check_grant(role, pairs, doc, allow_superuser)
        doc.get_implicit_permissions_for_roles([role])  # a new role becomes a node first
        return doc.set_role_permissions(role, [{"obj": o, "act": a} for o, a in pairs]).to_display(), []

    return commit(app, lambda: load_matrix(app, engine), change, expected=expected, live=live)


def revoke(app: str, role: str, pairs: Pairs, *, engine: Engine | None = None, expected: set[int] | None = None,
           live: Live[Any] | None = None) -> Written:
    """Take direct permissions from `role`; those it holds only through a sub-role, or not at
    all, are refused (NotDirect when nothing was revoked)."""

    def change(doc: Any) -> tuple[Any, list[str]]:
        _known(doc, [role])
        own = _content(doc, role)["permissions"]
        held = {(p["obj"], p["act"]) for p in own}
        # What the role holds as given, else as every door stores it: in NFC form.
        asked = [pair if pair in held else (nfc(pair[0]), nfc(pair[1])) for pair in pairs]
        missing = [pair for pair in dict.fromkeys(asked) if pair not in held]
        lines = []
        for obj, act in missing:
            holding = holdings(doc, obj, act).get(role)
            line = f"not revoked: {role} is not granted {obj}:{act} directly"
            if holding is not None:
                line += (f"; it holds it through {' -> '.join(holding.path)} (revoke it there, or exclude "
                         f"{holding.path[1]})")
            lines.append(line)
        if len(missing) == len(set(asked)):
            raise NotDirect(lines, role=role, missing=[list(p) for p in missing])
        gone = set(asked)
        content = doc.set_role_permissions(role, [p for p in own if (p["obj"], p["act"]) not in gone])
        return content.to_display(), lines

    return commit(app, lambda: load_matrix(app, engine), change, expected=expected, live=live)


# --- sub-roles ---------------------------------------------------------------------------


def include(app: str, role: str, subs: list[str], *, engine: Engine | None = None, allow_superuser: bool = False,
            expected: set[int] | None = None, live: Live[Any] | None = None) -> Written:
    """Make `subs` sub-roles of `role`. Those that would close a cycle are refused (Cycle when
    none is left to add); a path to *:* is refused unless `allow_superuser`."""
    subs = list(dict.fromkeys(subs))

    def change(doc: Any) -> tuple[Any, list[str]]:
        _role_to_change(doc, role)
        _known(doc, subs)
        current = set(doc.get_role_contents(role).roles) if is_known(doc, role) else set()
        cycles = [s for s in subs if s == role or containment_path(doc, s, role)]
        lines = [refusal(doc, role, s) for s in cycles]
        wanted = [s for s in subs if s not in cycles and s not in current]
        if not wanted:
            if cycles:
                raise Cycle(lines, role=role, refused=[{"role": s, "path": [role] if s == role else
                                                        containment_path(doc, s, role)} for s in cycles],
                            content=_content(doc, role) if is_known(doc, role) else None)
            raise _Unchanged(_content(doc, role))
        privilege.check_include(role, wanted, privilege.superusers(doc), allow_superuser)
        content = doc.add_role_sub_roles(role, wanted)
        lost = [s for s in wanted if s not in content.roles]  # refused by the module's own guard
        return content.to_display(), lines + [refusal(doc, role, s) for s in lost]

    return commit(app, lambda: load_matrix(app, engine), change, expected=expected, live=live)


def set_sub_roles(app: str, role: str, subs: list[str], *, engine: Engine | None = None,
                  allow_superuser: bool = False, expected: set[int] | None = None,
                  live: Live[Any] | None = None) -> Written:
    """Replace the role's sub-roles, as a whole or not at all."""
    subs = list(dict.fromkeys(subs))

    def change(doc: Any) -> tuple[Any, list[str]]:
        _role_to_change(doc, role)
        _known(doc, subs)
        cycles = [s for s in subs if s == role or containment_path(doc, s, role)]
        if cycles:
            raise Cycle([refusal(doc, role, s) for s in cycles], role=role,
                        refused=[{"role": s, "path": [role] if s == role else containment_path(doc, s, role)}
                                 for s in cycles])
        privilege.check_include(role, subs, privilege.superusers(doc), allow_superuser)
        doc.get_implicit_permissions_for_roles([role])  # a new role becomes a node first
        content = doc.set_role_sub_roles(role, subs)
        if list(content.roles) != subs:
            raise Cycle("refused: the new sub-roles would close a cycle", role=role, refused=[])
        return content.to_display(), []

    return commit(app, lambda: load_matrix(app, engine), change, expected=expected, live=live)


def exclude(app: str, role: str, subs: list[str], *, engine: Engine | None = None,
            expected: set[int] | None = None, live: Live[Any] | None = None) -> Written:
    """Take direct sub-roles away; others are refused (NotDirect when none was excluded)."""
    subs = list(dict.fromkeys(subs))

    def change(doc: Any) -> tuple[Any, list[str]]:
        _known(doc, [role, *subs])
        current = doc.get_role_contents(role).roles
        missing = [s for s in subs if s not in current]
        lines = []
        for sub in missing:
            line = f"not excluded: {sub} is no direct sub-role of {role}"
            path = containment_path(doc, role, sub) if sub != role else None
            if path:
                line += (f"; {role} contains it through {' -> '.join(path)} (exclude {path[1]}, or {sub} from "
                         f"{path[-2]})")
            lines.append(line)
        if len(missing) == len(subs):
            raise NotDirect(lines, role=role, missing=missing)
        content = doc.set_role_sub_roles(role, [r for r in dict.fromkeys(current) if r not in set(subs)])
        return content.to_display(), lines

    return commit(app, lambda: load_matrix(app, engine), change, expected=expected, live=live)


# --- users -------------------------------------------------------------------------------


def assign(app: str, user: str, roles: list[str], *, engine: Engine | None = None, allow_superuser: bool = False,
           expected: set[int] | None = None, live: Live[Any] | None = None,
           matrix: Callable[[], Any] | None = None) -> Written:
    """Give `user` roles the matrix holds; the user's roles. A role that holds *:* is refused
    unless `allow_superuser`. `matrix` reads the current matrix (default: from the store)."""
    user = check_user(check_text("user id", user))
    if isinstance(roles, str):
        raise BadInput("roles is a list of role names, not one string")
    roles = list(dict.fromkeys(roles))
    read = matrix or (lambda: load_matrix(app, engine))

    def change(doc: Any) -> tuple[Any, list[str]]:
        current = read()
        _known(current, roles)
        had = doc.roles_of(user)
        new = [r for r in roles if r not in had]
        if not new:
            raise _Unchanged(had)
        privilege.check_users([(user, r) for r in new], {user: had}, privilege.superusers(current), allow_superuser)
        return doc.assign(user, new, current, allow_superuser=True), []

    return commit(app, lambda: load_users(app, engine), change, expected=expected, live=live, engine=engine)


def unassign(app: str, user: str, roles: list[str], *, engine: Engine | None = None,
             expected: set[int] | None = None, live: Live[Any] | None = None) -> Written:
    """Take roles from `user`; roles it does not have directly are refused (NotDirect when it
    has none of them)."""
    roles = list(dict.fromkeys(roles))

    def change(doc: Any) -> tuple[Any, list[str]]:
        had = doc.roles_of(user)
        missing = [r for r in roles if r not in had]
        lines = []
        if missing:
            current = load_matrix(app, engine)
            for role in missing:
                line = f"not unassigned: {user} does not have role {role} directly"
                chain = users_holding(current, doc, role).get(user) if is_known(current, role) else None
                if chain:
                    line += f"; it holds it through {' -> '.join([user, *chain])} (unassign {chain[0]})"
                lines.append(line)
        if len(missing) == len(roles):
            raise NotDirect(lines, user=user, missing=missing)
        return doc.unassign(user, roles), lines

    return commit(app, lambda: load_users(app, engine), change, expected=expected, live=live, engine=engine)


# --- text stored before the text rule ------------------------------------------------------


def text_problems(app: str, engine: Engine | None = None) -> list[dict[str, Any]]:
    """Every stored string of `app` (its users' ids included) that breaks the text rule."""
    return problems(load_matrix(app, engine), load_users(app, engine))


def repair_text(app: str, engine: Engine | None = None) -> tuple[int, int]:
    """Rewrite what breaks the text rule as `text.repaired` says: a permission whose object or
    action comes out empty, or equal to one the role holds already, is dropped, and so is an
    assignment whose user id does; (permissions changed, assignments changed)."""

    def fix_matrix(doc: Any) -> tuple[Any, list[str]]:
        changed = 0
        by_role: dict[str, list[tuple[str, str]]] = {}
        touched: set[str] = set()
        for p in doc.policies:
            pair = (repaired(p.obj), repaired(p.act))
            if pair != (p.obj, p.act):
                changed += 1
                touched.add(p.sub)
            by_role.setdefault(p.sub, []).append(pair)
        if not changed:
            raise _Unchanged(0)
        for role in touched:
            pairs = [pair for pair in dict.fromkeys(by_role[role]) if pair[0] and pair[1]]
            doc.set_role_permissions(role, [{"obj": o, "act": a} for o, a in pairs])
        return changed, []

    def fix_users(doc: Any) -> tuple[Any, list[str]]:
        kept: dict[tuple[str, str], None] = {}
        changed = 0
        for a in doc.assignments:
            user = repaired(a.user)
            changed += user != a.user
            if user:
                kept.setdefault((user, a.role), None)
        if not changed:
            raise _Unchanged(0)
        doc.assignments = [Assignment(user=u, role=r) for u, r in kept]
        return changed, []

    policies = commit(app, lambda: load_matrix(app, engine), fix_matrix).result
    users = commit(app, lambda: load_users(app, engine), fix_users, engine=engine).result
    return policies, users
