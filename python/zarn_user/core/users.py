"""Users and the roles they hold in an application.

A user id is free text (an email, "user:42") and is never a role: role names follow the role
name rule, user ids only the text rule of every stored string (text.py). The assignments of one application are one document, `UserRoles`
(key: the application name), kept in the same store as the application's role matrix with
the same guarantees: whole saves, versions, conflicts; `Live(UserRoles)` keeps it current in
servers as `Live(RoleMatrix)` keeps the matrix.

The questions go to the matrix's query index (zarn_user.query), which answers for its stored
lists: a name the matrix does not hold holds nothing, and asking about it changes nothing. A
granted "*" matches any object or any action, as on the command line.
"""

from __future__ import annotations

from typing import Any, Container, Iterable

from zarn_engine import Document, EmbeddedDocument, EmbeddedDocumentField, ListField, ValidationError
from zarn_fields import StringField

import zarn_user.role_matrix as rm
from zarn_user import query
from . import privilege
from .errors import NotFound
from .holders import Holding
from .text import user_error as _text_user_error

__all__ = ["Assignment", "UserRoles", "check_user", "user_error", "stored_roles", "holds_pair",
           "permissions_of", "holds", "why", "containers_of", "users_holding", "user_holdings",
           "UserHolding", "UnknownRole"]

MAX_USER = 256
# The names the module's records accept, read from their declarations.
ROLE_PATTERN: str = getattr(rm.Group, "_fields")["child"].regex
APP_PATTERN: str = getattr(rm.RoleMatrix, "_fields")["name"].regex


def user_error(user: object) -> str | None:
    """Why `user` is no valid user id, or None (the text rule of text.py)."""
    return _text_user_error(user)


def check_user(user: object) -> str:
    """`user` when it is a valid user id; ValueError saying why not otherwise."""
    error = user_error(user)
    if error:
        raise ValueError(error)
    return user  # type: ignore[return-value]


class UnknownRole(NotFound):
    """A role name the matrix does not hold (a KeyError, as a missing key is)."""

    def __init__(self, message: str, name: str = "") -> None:
        super().__init__(message, what="role", name=name)


class UserIdField(StringField):
    """A user id: see `user_error`."""

    def check_value(self, value: Any, document: str, path: str, deep: bool = True, patterns: bool = True) -> None:
        super().check_value(value, document, path, deep, patterns)
        error = user_error(value)
        if error:
            raise ValidationError(document, path, value, error)


class Assignment(EmbeddedDocument):
    """One role of one user."""

    user: str = UserIdField(required=True)  # type: ignore[assignment]
    role: str = StringField(required=True, regex=ROLE_PATTERN)  # type: ignore[assignment]


def stored_roles(matrix: rm.RoleMatrix) -> frozenset[str]:
    """The roles the matrix holds: those named in its stored lists, and "public". (`name in
    matrix.dag` is no such test: a query about any name makes it a node.)"""
    return frozenset(query.index(matrix).roles())


class UserRoles(Document):
    """The assignments of one application, in the order they were made.

    `assign` and `unassign` save, as the matrix's update operations do (inside `batch()`,
    and so inside `Live.update`, the save is held back until the batch ends).
    """

    _key_fields = ["app"]

    app: str = StringField(required=True, regex=APP_PATTERN)  # type: ignore[assignment]
    assignments: list[Assignment] = ListField(EmbeddedDocumentField(Assignment), default=[])  # type: ignore[assignment]

    def roles_of(self, user: str) -> list[str]:
        """The roles assigned to `user` directly, in the order they were assigned."""
        return [a.role for a in self.assignments if a.user == user]

    def users(self) -> list[str]:
        """Every user with a role, in order of first assignment."""
        return list(dict.fromkeys(a.user for a in self.assignments))

    def users_with(self, role: str) -> list[str]:
        """The users the role is assigned to directly."""
        return [a.user for a in self.assignments if a.role == role]

    def index(self) -> dict[str, tuple[str, ...]]:
        """user -> assigned roles, for many lookups on an instance that is not changed."""
        out: dict[str, list[str]] = {}
        for a in self.assignments:
            out.setdefault(a.user, []).append(a.role)
        return {user: tuple(roles) for user, roles in out.items()}

    def assign(self, user: str, roles: Iterable[str], matrix: rm.RoleMatrix,
               allow_superuser: bool = False) -> list[str]:
        """Give `user` the roles (those it has already stay once) and save; the user's roles.
        Every role must be one the matrix holds (KeyError naming the first that is not); a
        role that gives the user *:* where none of its roles did is refused (Superuser)
        unless `allow_superuser`. Nothing changes when one is refused."""
        check_user(user)
        if isinstance(roles, str):
            raise TypeError("roles is a list of role names, not one string")
        roles = list(dict.fromkeys(roles))
        if matrix.name != self.app:
            raise ValueError(f"the matrix of {matrix.name!r} gives no roles in {self.app!r}")
        index = query.index(matrix)
        for role in roles:
            if not index.has(role):
                raise UnknownRole(f"unknown role {role!r} in application {self.app!r}")
        have = set(self.roles_of(user))
        privilege.check_users([(user, r) for r in roles if r not in have], {user: list(have)},
                              privilege.superusers(matrix), allow_superuser)
        new = [Assignment(user=user, role=role) for role in roles if role not in have]
        if new or self.version is None:
            self.assignments.extend(new)
            self.save()
        return self.roles_of(user)

    def unassign(self, user: str, roles: Iterable[str]) -> list[str]:
        """Take the roles from `user` (roles it does not have are left alone) and save; the
        user's roles left."""
        if isinstance(roles, str):
            raise TypeError("roles is a list of role names, not one string")
        gone = set(roles)
        kept = [a for a in self.assignments if not (a.user == user and a.role in gone)]
        if len(kept) != len(self.assignments):
            self.assignments = kept
            self.save()
        return self.roles_of(user)

    def remove_user(self, user: str) -> list[str]:
        """Take every role from `user` and save; the roles it had."""
        had = self.roles_of(user)
        self.unassign(user, had)
        return had


# --- questions ------------------------------------------------------------------------------


def holds_pair(pairs: Container[tuple[str, str]], obj: str, act: str) -> bool:
    """Whether a set of granted (obj, act) pairs covers (obj, act): equal, or "*" in place
    of the object, the action or both."""
    return ((obj, act) in pairs or ("*", act) in pairs or (obj, "*") in pairs or ("*", "*") in pairs)


def permissions_of(matrix: rm.RoleMatrix, roles: Iterable[str]) -> frozenset[tuple[str, str]]:
    """Every (obj, act) the roles hold through containment at any depth; names the matrix
    does not hold are left out (never asked about)."""
    if isinstance(roles, str):
        roles = [roles]
    return frozenset(query.index(matrix).permissions(list(roles)))


def holds(matrix: rm.RoleMatrix, assignments: UserRoles | None, user: str, obj: str, act: str) -> bool:
    """Whether `user` holds (obj, act) through its roles; False for a user without roles."""
    roles = assignments.roles_of(user) if assignments is not None else []
    return bool(roles) and query.index(matrix).check(roles, obj, act)


class UserHolding:
    """How a user holds a permission: through one of its roles (`holding`)."""

    def __init__(self, user: str, holding: Holding) -> None:
        self.user = user
        self.holding = holding

    @property
    def path(self) -> list[str]:
        """The roles from the assigned one down to the one the permission is granted to."""
        return self.holding.path

    def explain(self, obj: str, act: str) -> str:
        h = self.holding
        holder, grant = h.path[-1], f"{h.granted[0]}:{h.granted[1]}"
        reason = f"{holder} is granted {grant}" if h.wildcard else f"granted to {holder}"
        return f"{self.user} holds {obj}:{act} through {' -> '.join([self.user, *h.path])} ({reason})"

    def to_json(self) -> dict[str, Any]:
        return {"user": self.user, **self.holding.to_json()}


def _best(user: str, roles: Iterable[str], found: dict[str, Holding]) -> UserHolding | None:
    best = None
    for role in roles:
        h = found.get(role)
        if h is not None and (best is None or len(h.path) < len(best.path)):
            best = h
    return None if best is None else UserHolding(user, best)


def why(matrix: rm.RoleMatrix, assignments: UserRoles | None, user: str, obj: str, act: str) -> UserHolding | None:
    """How `user` holds (obj, act), through the shortest chain of roles; None when it does not."""
    roles = assignments.roles_of(user) if assignments is not None else []
    found = query.index(matrix).why(roles, obj, act) if roles else None
    if found is None:
        return None
    path, o, a = found
    return UserHolding(user, Holding(path[0], path, (o, a)))


def user_holdings(matrix: rm.RoleMatrix, assignments: UserRoles | None, obj: str,
                  act: str) -> dict[str, UserHolding]:
    """Every user that holds (obj, act), each with its shortest chain, in order of first
    assignment."""
    if assignments is None:
        return {}
    holders, _, _ = query.index(matrix).who(obj, act)
    found = {role: Holding(role, path, (o, a)) for role, path, o, a in holders}
    out: dict[str, UserHolding] = {}
    for user, roles in assignments.index().items():
        best = _best(user, roles, found)
        if best is not None:
            out[user] = best
    return out


def containers_of(matrix: rm.RoleMatrix, role: str) -> dict[str, list[str]]:
    """Every role that contains `role` at any depth, itself included, each with its shortest
    chain down to `role`. KeyError when the matrix does not hold `role`."""
    found = query.index(matrix).containing(role)
    if found is None:
        raise UnknownRole(f"unknown role {role!r} in application {matrix.name!r}")
    return dict(found)


def users_holding(matrix: rm.RoleMatrix, assignments: UserRoles | None, role: str) -> dict[str, list[str]]:
    """Every user that holds `role`, directly or through one of its roles that contains it at
    any depth, each with the shortest chain of roles from its assigned one to `role`."""
    chains = containers_of(matrix, role)
    out: dict[str, list[str]] = {}
    if assignments is None:
        return out
    for user, roles in assignments.index().items():
        for r in roles:
            chain = chains.get(r)
            if chain is not None and (user not in out or len(chain) < len(out[user])):
                out[user] = chain
    return out
