"""One role matrix as the console and the assertions ask it: a view over its query index.

Every question goes to the matrix's query index (zarn_user.query), which is kept current by
the changes the matrix goes through: making a snapshot builds nothing, whatever the size of
the matrix. Answers read as the command line's do: a granted "*" matches any object or any
action (see holders.py).

`version` is the matrix's version when the snapshot was made; each answer is of one whole
version of the matrix, that one or a newer one (a change applied meanwhile by a live
document). The matrix a snapshot wraps may be shared between threads; a snapshot never
changes it, and never asks the module about a name (which would make it a node of `dag`).
"""

from __future__ import annotations

from typing import Any, Iterable, Iterator

from zarn_engine.changes import settled

from zarn_user import query

from ..core.holders import Holding


class _ByRole:
    """A role's direct neighbours in the index (sub-roles, containers or grants), read like
    the dict of ordered sets it stands for: `role in view`, `view.get(role, {})`, `view[role]`."""

    __slots__ = ("_index", "_read")

    def __init__(self, index: query.Index, read: str) -> None:
        self._index = index
        self._read = read

    def _of(self, role: str) -> list[Any]:
        found: list[Any] = getattr(self._index, self._read)(role)
        return found

    def get(self, role: str, default: Any = None) -> Any:
        found = self._of(role)
        return dict.fromkeys(found) if found else default

    def __getitem__(self, role: str) -> dict[Any, None]:
        found = self._of(role)
        if not found:
            raise KeyError(role)
        return dict.fromkeys(found)

    def __contains__(self, role: object) -> bool:
        return isinstance(role, str) and bool(self._of(role))


class _RoleSet:
    """The stored roles, for membership tests."""

    __slots__ = ("_index",)

    def __init__(self, index: query.Index) -> None:
        self._index = index

    def __contains__(self, role: object) -> bool:
        return self._index.has(role)

    def __iter__(self) -> Iterator[str]:
        return iter(self._index.roles())

    def __len__(self) -> int:
        return self._index.counts()[2]


class Snapshot:
    """The questions the console asks of one loaded matrix: roles, grants, sub-roles,
    containers, who holds what and how."""

    def __init__(self, matrix: Any) -> None:
        # The name, the version and the index of one state, also while a live document
        # applies a change in another thread.
        self.matrix = matrix
        self.name, self.version, (self.index, self.serial) = settled(
            matrix, lambda: (matrix.name, matrix.version, query.indexed(matrix)))
        self.role_set = _RoleSet(self.index)
        self.grants = _ByRole(self.index, "grants")
        self.subs = _ByRole(self.index, "sub_roles")
        self.containers = _ByRole(self.index, "contained_by")
        self._roles: list[str] | None = None
        self._sorted: tuple[int | None, list[str]] | None = None

    @property
    def roles(self) -> list[str]:
        if self._roles is None:
            self._roles = self.index.roles()
        return self._roles

    @property
    def policy_count(self) -> int:
        return self.index.counts()[0]

    @property
    def group_count(self) -> int:
        return self.index.counts()[1]

    # --- roles ---------------------------------------------------------------------------

    def unknown(self, roles: Iterable[str]) -> list[str]:
        return [r for r in dict.fromkeys(roles) if not self.index.has(r)]

    def sorted_roles(self, query: str = "") -> list[str]:
        """Roles in name order whose name contains `query` (any case), of the version the
        matrix is at (a change applied in place since the snapshot was made included)."""
        version = self.matrix.version
        if self._sorted is None or self._sorted[0] != version:
            self._sorted = (version, sorted(self.index.roles()))
        found = self._sorted[1]
        q = query.lower()
        return [r for r in found if q in r.lower()] if q else found

    def role(self, role: str) -> dict[str, Any]:
        """A role's direct grants, its sub-roles and the roles that contain it."""
        return {"name": role,
                "permissions": [{"obj": o, "act": a} for o, a in self.index.grants(role)],
                "sub_roles": self.index.sub_roles(role),
                "contained_by": self.index.contained_by(role)}

    # --- questions -----------------------------------------------------------------------

    def holding(self, roles: list[str], obj: str, act: str) -> Holding | None:
        """How one of `roles` holds (obj, act), through the fewest sub-roles; None when none
        does. Roles not stored hold nothing."""
        found = self.index.why(roles, obj, act)
        if found is None:
            return None
        path, o, a = found
        return Holding(path[0], path, (o, a))

    def implicit(self, roles: list[str]) -> list[dict[str, Any]]:
        """Every permission the stored ones of `roles` hold, in the order the pairs were first
        granted, each with the shortest chain of roles it comes through."""
        return [{"obj": o, "act": a, "path": path} for o, a, path in self.index.permission_paths(roles)]

    def who(self, obj: str, act: str) -> list[Holding]:
        found, _, _ = self.index.who(obj, act)
        return [Holding(role, path, (o, a)) for role, path, o, a in found]

    def who_page(self, obj: str, act: str, limit: int | None,
                 cursor: int | None = None) -> tuple[list[Holding], int | None, int]:
        """At most `limit` holders from `cursor` on: (the page, the next cursor or None, how
        many roles hold it)."""
        found, following, total = self.index.who(obj, act, limit, cursor)
        return [Holding(role, path, (o, a)) for role, path, o, a in found], following, total

    # --- neighbourhood -------------------------------------------------------------------

    def neighbourhood(self, role: str, depth: int, width: int, extra: Iterable[str] = ()) -> tuple[
            list[str], list[tuple[str, str]], dict[tuple[str, str], int]]:
        """The roles around `role`: its containers up to `depth` levels and its sub-roles
        down to `depth` levels, at most `width` of each role's neighbours, plus the roles of
        `extra` (a path to show). Returns (roles, edges container -> sub-role, hidden), where
        hidden counts the neighbours left out by (role, "up" or "down")."""
        nodes: dict[str, None] = {role: None}
        hidden: dict[tuple[str, str], int] = {}
        for direction, links in (("down", self.index.sub_roles), ("up", self.index.contained_by)):
            frontier = [role]
            for _ in range(depth):
                following = []
                for node in frontier:
                    near = links(node)
                    if len(near) > width:
                        hidden[(node, direction)] = len(near) - width
                        near = near[:width]
                    for other in near:
                        if other not in nodes:
                            nodes[other] = None
                            following.append(other)
                frontier = following
        for r in extra:
            if self.index.has(r):
                nodes.setdefault(r, None)
        edges = [(a, b) for a in nodes for b in self.index.sub_roles(a) if b in nodes]
        return list(nodes), edges, hidden
