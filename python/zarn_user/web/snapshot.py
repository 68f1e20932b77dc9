"""One version of a role matrix, indexed for the questions the console and the assertions ask.

Built once per loaded version from the stored lists (`policies`, `groups`), so that a check
walks only the roles it reaches instead of the whole matrix. Answers read as the command
line's do: a granted "*" matches any object or any action (see holders.py).

The matrix a snapshot wraps may be shared between threads; a snapshot never changes it. The
module's own resolution (`get_implicit_permissions_for_roles`) makes every name it is asked
about a node of `dag`, so only stored roles are ever passed to it.
"""

from __future__ import annotations

import threading
from collections import deque
from typing import Any, Iterable

from ..core.holders import Holding, holdings, known_roles


class Snapshot:
    """Indexes of one loaded matrix: roles, direct grants, sub-roles and containers."""

    def __init__(self, matrix: Any) -> None:
        from zarn_engine.changes import settled

        # Of one version, also while a live document applies a change in another thread.
        settled(matrix, lambda: self._build(matrix))

    def _build(self, matrix: Any) -> None:
        self.matrix = matrix
        self.name: str = matrix.name
        self.version: int | None = matrix.version
        self.roles: list[str] = known_roles(matrix)
        self.role_set = set(self.roles)
        self.grants: dict[str, dict[tuple[str, str], None]] = {}  # ordered sets
        self.granted_to: dict[tuple[str, str], dict[str, None]] = {}
        for p in matrix.policies:
            pair = (p.obj, p.act)
            self.grants.setdefault(p.sub, {})[pair] = None
            self.granted_to.setdefault(pair, {})[p.sub] = None
        self.subs: dict[str, dict[str, None]] = {}
        self.containers: dict[str, dict[str, None]] = {}
        for g in matrix.groups:
            self.subs.setdefault(g.child, {})[g.parent] = None
            self.containers.setdefault(g.parent, {})[g.child] = None
        self.policy_count = len(matrix.policies)
        self.group_count = len(matrix.groups)
        self._sorted: list[str] | None = None
        self._module_lock = threading.Lock()

    # --- roles ---------------------------------------------------------------------------

    def unknown(self, roles: Iterable[str]) -> list[str]:
        return [r for r in dict.fromkeys(roles) if r not in self.role_set]

    def page(self, query: str, offset: int, limit: int) -> tuple[int, list[str]]:
        """Roles in name order whose name contains `query` (any case): (total, one page)."""
        if self._sorted is None:
            self._sorted = sorted(self.roles)
        q = query.lower()
        found = [r for r in self._sorted if q in r.lower()] if q else self._sorted
        return len(found), found[offset:offset + limit]

    def role(self, role: str) -> dict[str, Any]:
        """A role's direct grants, its sub-roles and the roles that contain it."""
        return {"name": role,
                "permissions": [{"obj": o, "act": a} for o, a in self.grants.get(role, {})],
                "sub_roles": list(self.subs.get(role, {})),
                "contained_by": list(self.containers.get(role, {}))}

    # --- questions -----------------------------------------------------------------------

    def holding(self, roles: list[str], obj: str, act: str) -> Holding | None:
        """How one of `roles` holds (obj, act), through the fewest sub-roles; None when none
        does. Roles not stored hold nothing. A search from both ends: down from the roles
        and up from those granted a covering pair, a level of the smaller side at a time, so
        that a deep hierarchy is not walked whole."""
        targets: dict[str, tuple[str, str]] = {}  # granted role -> the pair that covers
        for pair in ((obj, act), (obj, "*"), ("*", act), ("*", "*")):  # an exact grant explains best
            for role in self.granted_to.get(pair, ()):
                targets.setdefault(role, pair)
        sources = [r for r in dict.fromkeys(roles) if r in self.role_set]
        if not targets or not sources:
            return None
        for role in sources:
            if role in targets:
                return Holding(role, [role], targets[role])
        down: dict[str, str | None] = {r: None for r in sources}  # role -> the role containing it
        up: dict[str, str | None] = {r: None for r in targets}  # role -> its sub-role towards a grant
        depth_down = dict.fromkeys(sources, 0)
        depth_up = dict.fromkeys(targets, 0)
        front_down, front_up = list(sources), list(targets)
        while front_down and front_up:
            forward = len(front_down) <= len(front_up)
            seen, other = (down, up) if forward else (up, down)
            depth, other_depth = (depth_down, depth_up) if forward else (depth_up, depth_down)
            links = self.subs if forward else self.containers
            following: list[str] = []
            best: tuple[int, str] | None = None
            for node in front_down if forward else front_up:
                for near in links.get(node, ()):
                    if near in seen:
                        continue
                    seen[near] = node
                    depth[near] = depth[node] + 1
                    following.append(near)
                    if near in other and (best is None or other_depth[near] < best[0]):
                        best = (other_depth[near], near)
            if best is not None:
                meet = best[1]
                path = self._path(down, meet)
                step = up[meet]
                while step is not None:
                    path.append(step)
                    step = up[step]
                return Holding(path[0], path, targets[path[-1]])
            if forward:
                front_down = following
            else:
                front_up = following
        return None

    @staticmethod
    def _path(previous: dict[str, str | None], role: str) -> list[str]:
        path = [role]
        node = previous[role]
        while node is not None:
            path.append(node)
            node = previous[node]
        return path[::-1]

    def implicit(self, roles: list[str]) -> list[dict[str, Any]]:
        """Every permission the stored ones of `roles` hold, in the module's order, each with
        the shortest chain of roles it comes through."""
        known = [r for r in dict.fromkeys(roles) if r in self.role_set]
        if not known:
            return []
        with self._module_lock:
            resolved = self.matrix.get_implicit_permissions_for_roles(known).to_display()["permissions"]
        paths: dict[tuple[str, str], list[str]] = {}
        previous: dict[str, str | None] = {r: None for r in known}
        queue = deque(known)
        while queue:
            role = queue.popleft()
            for pair in self.grants.get(role, ()):
                if pair not in paths:
                    paths[pair] = self._path(previous, role)
            for sub in self.subs.get(role, ()):
                if sub not in previous:
                    previous[sub] = role
                    queue.append(sub)
        return [{"obj": p["obj"], "act": p["act"], "path": paths.get((p["obj"], p["act"]))} for p in resolved]

    def who(self, obj: str, act: str) -> list[Holding]:
        return list(holdings(self.matrix, obj, act).values())

    # --- neighbourhood -------------------------------------------------------------------

    def neighbourhood(self, role: str, depth: int, width: int, extra: Iterable[str] = ()) -> tuple[
            list[str], list[tuple[str, str]], dict[tuple[str, str], int]]:
        """The roles around `role`: its containers up to `depth` levels and its sub-roles
        down to `depth` levels, at most `width` of each role's neighbours, plus the roles of
        `extra` (a path to show). Returns (roles, edges container -> sub-role, hidden), where
        hidden counts the neighbours left out by (role, "up" or "down")."""
        nodes: dict[str, None] = {role: None}
        hidden: dict[tuple[str, str], int] = {}
        for direction, links in (("down", self.subs), ("up", self.containers)):
            frontier = [role]
            for _ in range(depth):
                following = []
                for node in frontier:
                    near = list(links.get(node, ()))
                    if len(near) > width:
                        hidden[(node, direction)] = len(near) - width
                        near = near[:width]
                    for other in near:
                        if other not in nodes:
                            nodes[other] = None
                            following.append(other)
                frontier = following
        for r in extra:
            if r in self.role_set:
                nodes.setdefault(r, None)
        edges = [(a, b) for a in nodes for b in self.subs.get(a, ()) if b in nodes]
        return list(nodes), edges, hidden
