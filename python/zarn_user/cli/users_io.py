"""The users of an application where files and applications come and go: their g lines in
a Casbin export, their roles in an import, and their assignments when the application is
deleted."""

from __future__ import annotations

from .errors import BadInput
from ..core.holders import known_roles
from ..core.interchange import USERS_MARKER, Entry, casbin_line

TYPE_CHECKING = False  # the typing module is not imported at start-up
if TYPE_CHECKING:
    from zarn_user.role_matrix import RoleMatrix
    from zarn_user.core.users import UserRoles


def assignments(app: str) -> UserRoles:
    """The stored assignments of `app`, or a new empty document (not saved)."""
    from zarn_engine import DoesNotExist

    from zarn_user.core.users import UserRoles

    try:
        return UserRoles.load(app)
    except DoesNotExist:
        return UserRoles(app=app)


def forget(app: str) -> None:
    """Delete the assignments of a deleted application, so that a new one of the same name
    starts without users."""
    from zarn_user.core.users import UserRoles

    UserRoles.delete(app)


def casbin_lines(app: str) -> str:
    """The g lines giving users their roles, under the users marker ("" without users)."""
    doc = assignments(app)
    if not doc.assignments:
        return ""
    lines = [USERS_MARKER] + [casbin_line("g", (a.user, a.role)) for a in doc.assignments]
    return "".join(line + "\n" for line in lines)


def split_users(entries: list[Entry]) -> tuple[list[Entry], list[Entry]]:
    """(policies and groups, users' roles)."""
    return [e for e in entries if e.kind != "u"], [e for e in entries if e.kind == "u"]


class ImportedUsers:
    """The users' roles of an import, checked against the matrix as the import leaves it
    (BadInput listing every unknown role, before anything is written)."""

    def __init__(self, app: str, matrix: RoleMatrix, entries: list[Entry], stored: bool) -> None:
        from zarn_user.core.users import Assignment, UserRoles

        self.entries = entries
        self.doc = (assignments(app) if stored else UserRoles(app=app)) if entries else None
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
            self.doc.save()
        except StorageError as exc:
            raise type(exc)(f"the policies were imported, the users' roles were not: {exc}") from None

    def to_json(self) -> dict[str, int]:
        return {"users_assigned": self.users} if self.entries else {}

    def summary(self) -> str:
        if not self.entries:
            return ""
        return f"; {self.users} user{'' if self.users == 1 else 's'} assigned"
