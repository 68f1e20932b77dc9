"""Who holds what, and through which sub-roles: answers of the matrix's query index.

The module resolves permissions; this file only explains them. A granted "*" matches any
object or any action here (the convention of the root policy, `*:*`); the module itself
gives "*" no meaning. The searches run in the query index (zarn_user.query).
"""

from __future__ import annotations

from dataclasses import dataclass
from functools import cache
from typing import TYPE_CHECKING, Any

from zarn_user import query

if TYPE_CHECKING:
    from zarn_user.role_matrix import RoleMatrix


def known_roles(matrix: RoleMatrix) -> list[str]:
    """Every role named in the stored lists, in order of first appearance, and "public"."""
    seen: dict[str, None] = {}
    for g in matrix.groups:
        seen.setdefault(g.child, None)
        seen.setdefault(g.parent, None)
    for p in matrix.policies:
        seen.setdefault(p.sub, None)
    seen.setdefault("public", None)
    return list(seen)


def is_known(matrix: RoleMatrix, role: str) -> bool:
    """Whether `role` is one of `known_roles(matrix)`, asked of the matrix's query index
    instead of a walk of its lists."""
    return role == "public" or query.index(matrix).has(role)


@cache
def builtin() -> tuple[frozenset[tuple[str, str, str]], frozenset[tuple[str, str]]]:
    """The policies and groups that a new application starts with (the root policy and the
    admin group), as the module makes them."""
    import zarn_user.role_matrix as rm

    fresh = rm.RoleMatrix(name="ab")
    return (frozenset((p.sub, p.obj, p.act) for p in fresh.policies),
            frozenset((g.child, g.parent) for g in fresh.groups))


def builtin_roles() -> frozenset[str]:
    """The roles that the built-in policies and groups name (root, admin)."""
    policies, groups = builtin()
    return frozenset(p[0] for p in policies) | frozenset(role for g in groups for role in g)


def has_builtin(matrix: RoleMatrix) -> bool:
    """Whether the application holds any of the built-in policies or groups."""
    policies, groups = builtin()
    return (any((p.sub, p.obj, p.act) in policies for p in matrix.policies)
            or any((g.child, g.parent) in groups for g in matrix.groups))


def sub_roles(matrix: RoleMatrix) -> dict[str, list[str]]:
    out: dict[str, list[str]] = {}
    for g in matrix.groups:
        out.setdefault(g.child, []).append(g.parent)
    return out


def containment_path(matrix: RoleMatrix, start: str, goal: str) -> list[str] | None:
    """The shortest chain of contained roles from `start` to `goal`, or None."""
    if start == goal:
        return [start]
    return query.index(matrix).path(start, goal)


def refusal(matrix: RoleMatrix, role: str, sub: str) -> str:
    """Why `sub` cannot become a sub-role of `role`."""
    if sub == role:
        return f"refused: {role} cannot contain itself"
    path = containment_path(matrix, sub, role)
    chain = " contains ".join(path) if path else sub
    return f"refused: {sub} cannot become a sub-role of {role}, since {chain} already (a cycle)"


def matches(granted_obj: str, granted_act: str, obj: str, act: str) -> bool:
    """Whether a granted pair covers (obj, act): equal, or "*" in its place."""
    return (granted_obj == obj or granted_obj == "*") and (granted_act == act or granted_act == "*")


@dataclass
class Holding:
    """How one role holds a permission: the chain of roles down to the one it is granted
    to, and the granted pair (a wildcard one when `wildcard`)."""

    role: str
    path: list[str]
    granted: tuple[str, str]

    @property
    def wildcard(self) -> bool:
        return "*" in self.granted

    def explain(self, obj: str, act: str) -> str:
        perm = f"{obj}:{act}"
        holder = self.path[-1]
        grant = f"{self.granted[0]}:{self.granted[1]}"
        if len(self.path) == 1:
            return (f"{self.role} holds {perm} directly" +
                    (f" ({self.role} is granted {grant})" if self.wildcard else ""))
        reason = f"{holder} is granted {grant}" if self.wildcard else f"granted to {holder}"
        return f"{self.role} holds {perm} through {' -> '.join(self.path)} ({reason})"

    def to_json(self) -> dict[str, Any]:
        return {"role": self.role, "path": self.path, "granted": {"obj": self.granted[0], "act": self.granted[1]},
                "wildcard": self.wildcard}


def holdings(matrix: RoleMatrix, obj: str, act: str) -> dict[str, Holding]:
    """Every role that holds (obj, act), directly or through sub-roles, with a shortest path,
    in the order the matrix's index met the roles (that of `known_roles` for a matrix as
    loaded). The granted pair explaining each is the one closest to (obj, act): the exact
    pair, then (obj, "*"), ("*", act), ("*", "*")."""
    found, _, _ = query.index(matrix).who(obj, act)
    return {role: Holding(role, path, (o, a)) for role, path, o, a in found}


def holdings_page(matrix: RoleMatrix, obj: str, act: str, limit: int | None,
                  cursor: int | None = None) -> tuple[list[Holding], int | None, int]:
    """One page of `holdings`: at most `limit` holders from `cursor` (the one the previous
    page gave) on; (the page, the cursor of the next page or None, how many hold it)."""
    found, following, total = query.index(matrix).who(obj, act, limit, cursor)
    return [Holding(role, path, (o, a)) for role, path, o, a in found], following, total
