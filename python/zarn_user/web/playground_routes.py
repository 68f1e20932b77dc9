"""Playground files on the page: run in memory, whatever the store holds, and, when the server
was started with one (`zarn-roles serve FILE`), read and saved back.

    POST /api/v1/playground?name=FILE     the file's text: each assertion's result (no store)
    GET  /api/v1/playground/file          {"name", "text"} of the file served (404 without)
    PUT  /api/v1/playground/file          the edited text: checked, saved (the token), run
"""

from __future__ import annotations

import os
import tempfile
from typing import Any, Callable

import anyio
from starlette.requests import Request
from starlette.responses import JSONResponse, Response
from starlette.routing import Route

from ..core import playground
from . import limits
from .console import ApiError, Json, bad


def run_text(text: str, name: str) -> Json:
    """The outcome of a playground or assertions file run on its own application, in memory:
    400 listing every reason for a bad file, or one for a file without an application."""
    try:
        found = playground.parse(text, name)
    except playground.BadFile as exc:
        raise bad(f"{len(exc.lines)} problem(s) in {name}: nothing was run", lines=exc.lines) from None
    if found.matrix is None:
        raise bad(f"{name} holds no application (roles and users): run its assertions against the store "
                  "with the assertions panel of an application")
    subject = found.subject()
    outcomes = playground.run(found.assertions, lambda app: subject)
    failed = sum(1 for o in outcomes if not o.holds)
    return {"app": found.app, "failed": failed,
            "results": [{**o.to_json(), "message": o.message(name)} for o in outcomes]}


def _write(path: str, text: str) -> None:
    """The whole text or nothing: written beside the file, then put in its place."""
    folder = os.path.dirname(os.path.abspath(path))
    fd, temporary = tempfile.mkstemp(prefix=".playground-", dir=folder)
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as f:
            f.write(text)
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise


def routes(authorize: Callable[[Request], None], path: str | None) -> list[Route]:
    """The routes; `path`: the file served, None for none."""
    name = os.path.basename(path) if path else None

    async def text_of(request: Request) -> str:
        raw = await request.body()
        try:
            return raw.decode("utf-8-sig")
        except UnicodeDecodeError:
            raise bad("the body is not UTF-8 text") from None

    async def run(request: Request) -> Response:
        given = request.query_params.get("name", "playground.toml")[:200]
        limits.admit(request, "playground", len(await request.body()))
        text = await text_of(request)
        return JSONResponse(await anyio.to_thread.run_sync(run_text, text, given))

    async def read(request: Request) -> Response:
        if path is None:
            raise ApiError(404, "no playground file is served (zarn-roles serve FILE serves one)")

        def load() -> str:
            with open(path, encoding="utf-8-sig") as f:
                return f.read()

        try:
            text = await anyio.to_thread.run_sync(load)
        except (OSError, UnicodeDecodeError) as exc:
            raise ApiError(503, f"cannot read {name}: {getattr(exc, 'strerror', None) or exc}") from None
        return JSONResponse({"name": name, "text": text})

    async def save(request: Request) -> Response:
        authorize(request)
        if path is None:
            raise ApiError(404, "no playground file is served (zarn-roles serve FILE serves one)")
        text = await text_of(request)

        def check_and_write() -> Json:
            result: dict[str, Any] = run_text(text, str(name))  # a bad file is refused, never saved
            try:
                _write(path, text)
            except OSError as exc:
                raise ApiError(503, f"cannot save {name}: {exc.strerror or exc}; the file is as it was") from None
            return {**result, "saved": name}

        return JSONResponse(await anyio.to_thread.run_sync(check_and_write))

    return [Route("/api/v1/playground", run, methods=["POST"]),
            Route("/api/v1/playground/file", read, methods=["GET"]),
            Route("/api/v1/playground/file", save, methods=["PUT"])]
