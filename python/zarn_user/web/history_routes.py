"""The history over HTTP: `/log`, a page of an application's change log, and `/diff`, what
changed between two versions. Both read the log in a worker thread through the core
(core/history.py) and carry the application's current version (`version`, ETag)."""

from __future__ import annotations

import json
from typing import Any

import anyio
from starlette.requests import Request
from starlette.responses import Response
from starlette.routing import Route

from ..core import history
from ..core.text import app_error
from . import limits, paging
from .console import ApiError, Console, bad, etag



def _json(body: dict[str, Any], version: int) -> Response:
    # ASCII JSON: text stored before the text rule (a lone surrogate) travels escaped.
    return Response(json.dumps(body, separators=(",", ":")), media_type="application/json",
                    headers={"ETag": etag(version)})


def _app(request: Request) -> str:
    app: str = request.path_params["app"]
    if app_error(app):
        raise ApiError(404, f"unknown application {app!r}")
    return app


def routes(console: Console) -> list[Route]:
    engine = console.engine

    async def log(request: Request) -> Response:
        app = _app(request)
        q = request.query_params
        text = q.get("limit", str(paging.DEFAULT_LIMIT))
        if not paging.NUMBER.fullmatch(text) or not 1 <= int(text) <= paging.MAX_LIMIT:
            raise bad(f"limit is a number from 1 to {paging.MAX_LIMIT}, not {text[:40]!r}")
        limit = int(text)
        before, since = paging.number(q.get("before"), "before"), paging.number(q.get("since"), "since")
        found = await anyio.to_thread.run_sync(
            lambda: history.page(engine, app, limit, before=before, since=since, max_change=history.MAX_CHANGE))
        return _json({**found, "limit": limit}, found["version"])

    async def diff(request: Request) -> Response:
        app = _app(request)
        first, last = paging.number(request.query_params.get("from"), "from"), paging.number(
            request.query_params.get("to"), "to")
        if first is None or last is None:
            raise bad("from and to are the two versions to compare")

        def read() -> tuple[dict[str, Any], int]:
            version = history.current(engine, app)
            # The changes read are those between the two, up to the current version (a
            # version beyond it is answered 404, not counted as work).
            low, high = sorted((first, last))
            limits.admit(request, "diff", max(0, min(high, version) - low))
            return history.diff(engine, app, first, last), version

        found, version = await anyio.to_thread.run_sync(read)
        return _json({**found, "version": version}, version)

    p = "/api/v1/apps/{app}"
    return [Route(f"{p}/log", log, methods=["GET"]), Route(f"{p}/diff", diff, methods=["GET"])]
