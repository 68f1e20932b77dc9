"""The commands about users: assign, unassign, and the --user / --users forms of check, why,
who and show; the users of Casbin files (g lines whose subject is a user)."""

from __future__ import annotations

from . import commands
from .holders import known_roles
from .interchange import Entry, casbin_line
from .render import Output, pairs
from .store import BadInput, Refused, Store, check_role, check_value, role_error

# Written before the g lines that give users roles, so that users whose ids are also valid
# role names ("alice") come back as users; other tools read it as a comment.
USERS_MARKER = "# users: g lines below give users their roles"


def _user(user: str) -> str:
    from zarn_user.users import user_error

    error = user_error(user)
    if error:
        raise BadInput(error)
    return user


def _assignments(app: str):
    """The stored assignments of `app`, or a new empty document (not saved)."""
    from zarn_engine import DoesNotExist, LoadError

    from zarn_user.users import UserRoles

    try:
        return UserRoles.load(app)
    except DoesNotExist:
        return UserRoles(app=app)
    except LoadError as exc:
        raise BadInput(str(exc)) from None


def _load(args, store: Store):
    matrix = store.load(args.app)
    return matrix, _assignments(args.app)


def _save(doc) -> None:
    from zarn_fields import ValidationError

    try:
        doc.save()
    except ValidationError as exc:
        raise BadInput(str(exc)) from None


# --- assignments ----------------------------------------------------------------------------


def cmd_assign(args, store: Store, out: Output) -> None:
    matrix, doc = _load(args, store)
    user = _user(args.user)
    known = set(known_roles(matrix))
    for role in args.roles:
        check_role(role)
        if role not in known:
            raise BadInput(f"unknown role {role!r} in application {args.app!r}")
    roles = doc.assign(user, args.roles, matrix)
    out.emit({"user": user, "roles": roles}, f"{user}: {', '.join(roles)}")


def cmd_unassign(args, store: Store, out: Output) -> None:
    from zarn_user.users import users_holding

    matrix, doc = _load(args, store)
    user = _user(args.user)
    for role in args.roles:
        check_role(role)
    had = doc.roles_of(user)
    missing = [r for r in dict.fromkeys(args.roles) if r not in had]
    if len(missing) < len(set(args.roles)):
        roles = doc.unassign(user, args.roles)
        out.emit({"user": user, "roles": roles}, f"{user}: {', '.join(roles) or '(no roles)'}")
    if missing:
        known = set(known_roles(matrix))
        lines = []
        for role in missing:
            line = f"not unassigned: {user} does not have role {role} directly"
            chain = users_holding(matrix, doc, role).get(user) if role in known else None
            if chain:
                line += f"; it holds it through {' -> '.join([user, *chain])} (unassign {chain[0]})"
            lines.append(line)
        raise Refused("\n".join(lines))


# --- questions --------------------------------------------------------------------------------


def _role_or_user(args, command: str) -> bool:
    """True for the --user form; BadInput when both or neither are given."""
    if args.user is not None and args.role is not None:
        raise BadInput(f"{command} takes a ROLE or --user USER, not both")
    if args.user is None and args.role is None:
        raise BadInput(f"{command} needs a ROLE or --user USER (see: zarn-roles {command} --help)")
    return args.user is not None


def _user_holding(args, store: Store):
    from zarn_user.users import why

    matrix, doc = _load(args, store)
    user = _user(args.user)
    check_value("object", args.obj)
    check_value("action", args.act)
    return doc, why(matrix, doc, user, args.obj, args.act)


def _why_data(args, holding) -> dict:
    return {"user": args.user, "permission": {"obj": args.obj, "act": args.act}, "held": holding is not None,
            "path": holding.path if holding else None, "wildcard": bool(holding and holding.holding.wildcard)}


def _not_held(args, doc) -> str:
    text = f"{args.user} does not hold {args.obj}:{args.act}"
    return text if doc.roles_of(args.user) else text + f" ({args.user} has no roles)"


def cmd_check(args, store: Store, out: Output) -> None:
    if not _role_or_user(args, "check"):
        return commands.cmd_check(args, store, out)
    doc, holding = _user_holding(args, store)
    if holding is None:
        out.emit(_why_data(args, None), f"no: {_not_held(args, doc)}")
        raise Refused(None)
    text = (f"yes: {holding.explain(args.obj, args.act)}" if args.explain
            else f"yes: {args.user} holds {args.obj}:{args.act}")
    out.emit(_why_data(args, holding), text)


def cmd_why(args, store: Store, out: Output) -> None:
    if not _role_or_user(args, "why"):
        return commands.cmd_why(args, store, out)
    doc, holding = _user_holding(args, store)
    text = holding.explain(args.obj, args.act) if holding else _not_held(args, doc)
    out.emit(_why_data(args, holding), text)


def cmd_who(args, store: Store, out: Output) -> None:
    from zarn_user.users import user_holdings

    if not args.users:
        return commands.cmd_who(args, store, out)
    matrix, doc = _load(args, store)
    check_value("object", args.obj)
    check_value("action", args.act)
    found = user_holdings(matrix, doc, args.obj, args.act)
    text = "\n".join(h.explain(args.obj, args.act) for h in found.values())
    out.emit([h.to_json() for h in found.values()], text or f"no user holds {args.obj}:{args.act}")


def cmd_show(args, store: Store, out: Output) -> None:
    from zarn_user.users import permissions_of

    if args.user is None:
        return commands.cmd_show(args, store, out)
    if args.role is not None:
        raise BadInput("show takes a ROLE or --user USER, not both")
    matrix, doc = _load(args, store)
    user = _user(args.user)
    roles = doc.roles_of(user)
    known = set(known_roles(matrix))
    held = [{"obj": o, "act": a} for o, a in sorted(permissions_of(matrix, roles))]
    gone = [r for r in roles if r not in known]
    text = [f"user {user}", f"  roles:       {', '.join(roles) or '-'}"]
    if gone:
        text.append(f"  (no longer in {args.app}, holding nothing: {', '.join(gone)})")
    text.append(f"  permissions: {pairs(held)}")
    out.emit({"user": user, "roles": roles, "permissions": held}, "\n".join(text))


# --- applications and files -------------------------------------------------------------------


def forget(app: str) -> None:
    """Delete the assignments of a deleted application, so that a new one of the same name
    starts without users."""
    from zarn_user.users import UserRoles

    UserRoles.delete(app)


def casbin_lines(app: str) -> str:
    """The g lines giving users their roles, under the users marker ("" without users)."""
    doc = _assignments(app)
    if not doc.assignments:
        return ""
    lines = [USERS_MARKER] + [casbin_line("g", (a.user, a.role)) for a in doc.assignments]
    return "".join(line + "\n" for line in lines)


def is_users_marker(row: list[str]) -> bool:
    return bool(row) and ",".join(row).strip() == USERS_MARKER


def user_entry_errors(entry: Entry) -> list[str]:
    """Why a g line read as a user's role is bad."""
    from zarn_user.users import user_error

    return [f"{entry.where}: {error}" for error in (user_error(entry.fields[0]), role_error(entry.fields[1]))
            if error]


def as_user(entry: Entry) -> bool:
    """Whether a g line gives a user a role: its subject is no valid role name but a valid user
    id (or the line follows the users marker, already read as kind "u")."""
    from zarn_user.users import user_error

    if entry.kind == "g" and role_error(entry.fields[0]) and user_error(entry.fields[0]) is None:
        entry.kind = "u"
    return entry.kind == "u"


def split_users(entries: list[Entry]) -> tuple[list[Entry], list[Entry]]:
    """(policies and groups, users' roles)."""
    return [e for e in entries if e.kind != "u"], [e for e in entries if e.kind == "u"]


class ImportedUsers:
    """The users' roles of an import, checked against the matrix as the import leaves it
    (BadInput listing every unknown role, before anything is written)."""

    def __init__(self, app: str, matrix, entries: list[Entry], stored: bool) -> None:
        from zarn_user.users import Assignment, UserRoles

        self.entries = entries
        self.doc = (_assignments(app) if stored else UserRoles(app=app)) if entries else None
        known = set(known_roles(matrix)) if entries else set()
        errors = [f"{e.where}: role {e.fields[1]!r} of user {e.fields[0]!r} is no role of {app}: the file or "
                  f"the application must define it" for e in entries if e.fields[1] not in known]
        if errors:
            raise BadInput("\n".join(errors))
        have = {(a.user, a.role) for a in self.doc.assignments} if self.doc is not None else set()
        self.new = []
        for e in entries:
            pair = (e.fields[0], e.fields[1])
            if pair not in have:
                have.add(pair)
                self.new.append(Assignment(user=pair[0], role=pair[1]))
        self.users = len({a.user for a in self.new})

    def preview(self) -> list[str]:
        return [f"would assign: {a.user}: {a.role}" for a in self.new]

    def save(self) -> None:
        from zarn_engine import StorageError

        if not self.new or self.doc is None:
            return
        self.doc.assignments.extend(self.new)
        try:
            _save(self.doc)
        except StorageError as exc:
            raise StorageError(f"the policies were imported, the users' roles were not: {exc}") from None

    def to_json(self) -> dict:
        return {"users_assigned": self.users} if self.entries else {}

    def summary(self) -> str:
        if not self.entries:
            return ""
        return f"; {self.users} user{'' if self.users == 1 else 's'} assigned"
