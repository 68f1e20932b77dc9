"""A role's surroundings by depth, for the page's graph explorer: the roles containing it up
to `up` levels and the roles it contains down to `down` levels, each level at its shortest
distance from the role, a page of at most `limit` roles per level and the count of the
rest, so that a role reaching 10^4 roles draws as a few readable rows with "+N more" at
their ends. The page lays it out, zooms and pans it, and adds a role's neighbours when it is
expanded (the same question about that role, one level each way).
"""

from __future__ import annotations

import re
from typing import Any, Iterable

import anyio
from starlette.requests import Request
from starlette.responses import JSONResponse, Response
from starlette.routing import Route

from . import limits, paging
from .console import bad
from .snapshot import Snapshot

MAX_DEPTH = 8
MAX_LIMIT = 200
GRANTS_SHOWN = 3
_NUMBER = re.compile("[0-9]{1,9}")  # ASCII digits only: int() takes others, and "+" and "_"


def _levels(links: Any, role: str, depth: int) -> list[list[str]]:
    """The roles at distance 1, 2, ... `depth` through `links`, each in breadth-first order
    (so a level's first roles are those reached from the first of the level before)."""
    seen = {role}
    levels: list[list[str]] = []
    frontier = [role]
    for _ in range(depth):
        following = []
        for node in frontier:
            for near in links.get(node, ()):
                if near not in seen:
                    seen.add(near)
                    following.append(near)
        if not following:
            break
        levels.append(following)
        frontier = following
    return levels


def explore(snap: Snapshot, role: str, up: int = 1, down: int = 1, limit: int = 24,
            pages: dict[int, int] | None = None, path: Iterable[str] = ()) -> dict[str, Any]:
    """The roles around `role` by level (negative: containers, positive: sub-roles), the
    links between those shown, and for each level its total and the page shown. `pages`:
    level -> offset of the page to show. The roles of `path` (a check's, from `role` down)
    are shown and marked whatever the page."""
    pages = pages or {}
    marked = [r for r in path if r in snap.role_set]
    shown: dict[str, int] = {role: 0}
    levels: list[dict[str, Any]] = []
    for sign, links, depth in ((-1, snap.containers, up), (1, snap.subs, down)):
        for k, members in enumerate(_levels(links, role, depth), 1):
            level = sign * k
            offset = max(0, min(pages.get(level, 0), len(members) - 1))
            offset -= offset % limit
            for r in members[offset:offset + limit]:
                shown.setdefault(r, level)
            levels.append({"level": level, "total": len(members), "offset": offset,
                           "shown": len(members[offset:offset + limit])})
    for k, r in enumerate(marked):
        shown.setdefault(r, k)
    nodes = [_node(snap, r, level, r in marked) for r, level in shown.items()]
    edges = [[a, b] for a in shown for b in snap.subs.get(a, ()) if b in shown]
    levels.sort(key=lambda x: x["level"])
    return {"role": role, "up": up, "down": down, "limit": limit, "nodes": nodes, "edges": edges,
            "levels": levels, "path": marked}


def _node(snap: Snapshot, role: str, level: int, marked: bool) -> dict[str, Any]:
    grants = snap.grants.get(role, {})
    first = [f"{o}:{a}" for (o, a), _ in zip(grants, range(GRANTS_SHOWN))]
    return {"role": role, "level": level, "grants": first, "grant_count": len(grants),
            "sub_count": len(snap.subs.get(role, ())), "container_count": len(snap.containers.get(role, ())),
            "marked": marked}


def parse_pages(text: str) -> dict[int, int]:
    """`LEVEL:OFFSET,...` (as the page sends it) as a dict; ValueError when malformed."""
    out: dict[int, int] = {}
    for part in filter(None, text.split(",")):
        level, sep, offset = part.partition(":")
        if not (sep and _NUMBER.fullmatch(level.removeprefix("-")) and _NUMBER.fullmatch(offset)):
            raise ValueError(part)
        out[int(level)] = int(offset)
    return out


def routes(console: Any) -> list[Route]:
    """`GET /api/v1/apps/{app}/roles/{role}/explore?up=&down=&limit=&pages=&path=&at_least=`."""
    async def handler(request: Request) -> Response:
        q = request.query_params
        try:
            up = min(MAX_DEPTH, max(0, int(q.get("up", 1))))
            down = min(MAX_DEPTH, max(0, int(q.get("down", 1))))
            limit = min(MAX_LIMIT, max(1, int(q.get("limit", 24))))
            pages = parse_pages(q.get("pages", ""))
        except ValueError:
            raise bad("up, down and limit are numbers; pages is LEVEL:OFFSET,...") from None
        path = [s for s in q.get("path", "").split(",") if s]
        limits.admit(request, "explore", (up + down) * limit)
        snap = await paging.snapshot(console, request.path_params["app"], paging.at_least(q))

        def read() -> dict[str, Any]:
            role = console.known_role(snap, request.path_params["role"])
            return explore(snap, role, up, down, limit, pages, path)

        body, headers = paging.versioned(*await anyio.to_thread.run_sync(paging.computed, snap, read))
        return JSONResponse(body, headers=headers)

    return [Route("/api/v1/apps/{app}/roles/{role}/explore", handler, methods=["GET"])]
