"""Users in the HTTP API: their list, a user's roles and permissions, assign and unassign,
check (with the path, as why explains it) and who holds a permission, paged. Thin: each
route calls what `zarn-roles assign`, `unassign`, `check --user`, `who --users` and `show
--user` call: the reading ones zarn_user.users on the application's current matrix and its
`UserRoles` document in the console's store, the changes the core's operations (core/ops.py:
the text rule, paths to *:* refused unless asked for, If-Match, retries), logged under the
token's name; the answers and refusals are worded as there.

    GET  /api/v1/apps/{app}/users?q=&limit=&cursor=      users with their roles, by id
    GET  /api/v1/apps/{app}/users/show?user=ID           roles and permissions of a user
    POST /api/v1/apps/{app}/users/assign   {"user", "roles", "allow_superuser"}   (the token)
    POST /api/v1/apps/{app}/users/unassign {"user", "roles"}   (the token)
    POST /api/v1/apps/{app}/users/check    {"user", "obj", "act"}
    GET  /api/v1/apps/{app}/users/who?obj=&act=&limit=&cursor=

Each read answers `version`, that of the application's assignments (its ETag, as the
changes answer it), and where the matrix was asked too `matrix_version`; `?at_least=` and
`?matrix_at_least=` ask for answers computed from those versions or newer ones.
"""

from __future__ import annotations

import time
from typing import Any, Callable

import anyio
from starlette.requests import Request
from starlette.responses import JSONResponse, Response
from starlette.routing import Route

from .. import users
from ..core import ops
from ..core.text import app_error, nfc
from ..users import UserRoles
from . import paging
from .console import (ApiError, Json, as_object, bad, etag, flags, not_reached, parse_if_match, role_list,
                      text_field)
from .snapshot import Snapshot

Names = list[str]  # (the class below has a method named list)


def _user(value: Any) -> str:
    error = users.user_error(value) if value is not None else "missing 'user'"
    if error:
        raise bad(error)
    return nfc(str(value))  # as every door takes text


class UserApi:
    """The routes, over the console (its store and snapshots) and the API's token check."""

    def __init__(self, console: Any, authorize: Callable[[Request], None]) -> None:
        self.console = console
        self.authorize = authorize

    def routes(self) -> list[Route]:
        p = "/api/v1/apps/{app}/users"
        return [Route(p, self.list, methods=["GET"]), Route(f"{p}/show", self.show, methods=["GET"]),
                Route(f"{p}/assign", self.assign, methods=["POST"]),
                Route(f"{p}/unassign", self.unassign, methods=["POST"]),
                Route(f"{p}/check", self.check, methods=["POST"]), Route(f"{p}/who", self.who, methods=["GET"])]

    def _read(self, request: Request) -> tuple[Snapshot, UserRoles]:
        """The application's snapshot (404 when there is none) and its stored assignments,
        of the versions `?matrix_at_least=` and `?at_least=` ask or newer."""
        from zarn_engine import DoesNotExist

        app = request.path_params["app"]
        q = request.query_params
        wanted = paging.at_least(q) or 0
        snap: Snapshot = self.console.snapshot(app, paging.number(q.get("matrix_at_least"), "matrix_at_least"))
        wait = self.console.live.version_wait
        deadline = time.monotonic() + wait
        delay = 0.005
        while True:
            try:
                doc = UserRoles.load(app, engine=self.console.engine)
            except DoesNotExist:
                doc = UserRoles(app=app)
            if (doc.version or 0) >= wanted:
                return snap, doc
            if time.monotonic() >= deadline:
                raise not_reached(f"the assignments of application {app!r}", wanted, wait)
            time.sleep(delay)
            delay = min(delay * 2, 0.05)

    @staticmethod
    def _versioned(body: Json, doc: UserRoles, matrix_version: int | None = None) -> Response:
        """A read answer: the assignments' version (the ETag) and the matrix's."""
        content, headers = paging.versioned(body, doc.version)
        if matrix_version is not None:
            content["matrix_version"] = matrix_version
        return JSONResponse(content, headers=headers)

    @staticmethod
    async def _body(request: Request) -> Json:
        import json

        raw = await request.body()
        try:
            return as_object(json.loads(raw) if raw.strip() else {})
        except (ValueError, UnicodeDecodeError) as exc:
            raise bad(f"the body is not JSON ({exc})") from None

    # --- reading ---------------------------------------------------------------------------

    async def list(self, request: Request) -> Response:
        query = request.query_params.get("q", "").lower()
        page = paging.Page(request.query_params, f"users\0{request.path_params['app']}\0{query}")

        def read() -> Response:
            _, doc = self._read(request)
            index = doc.index()
            found = sorted(u for u in index if query in u.lower())
            shown, following = page.of_sorted(found, keys=found)
            return self._versioned({**page.answer(following, len(found)),
                                    "users": [{"user": u, "roles": list(index[u])} for u in shown]}, doc)

        return await anyio.to_thread.run_sync(read)

    async def show(self, request: Request) -> Response:
        user = _user(request.query_params.get("user"))

        def read() -> Response:
            snap, doc = self._read(request)
            roles = doc.roles_of(user)
            body, version = paging.computed(snap, lambda: {
                "user": user, "roles": roles, "permissions": snap.implicit(roles),
                "gone": [r for r in roles if r not in snap.role_set]})
            return self._versioned(body, doc, version)

        return await anyio.to_thread.run_sync(read)

    async def check(self, request: Request) -> Response:
        data = await self._body(request)
        paging.no_body_at_least(data)
        user = _user(data.get("user"))
        obj, act = text_field(data, "obj", "object"), text_field(data, "act", "action")

        def read() -> Response:
            snap, doc = self._read(request)
            held, version = paging.computed(snap, lambda: users.why(snap.matrix, doc, user, obj, act))
            if held is None:
                text = f"{user} does not hold {obj}:{act}" + ("" if doc.roles_of(user) else f" ({user} has no roles)")
                body = {"user": user, "allowed": False, "path": [], "wildcard": False, "explanation": text}
            else:
                body = {"user": user, "allowed": True, "path": held.path, "wildcard": held.holding.wildcard,
                        "explanation": held.explain(obj, act)}
            return self._versioned(body, doc, version)

        return await anyio.to_thread.run_sync(read)

    async def who(self, request: Request) -> Response:
        """Users by id; the answer is of the matrix's version named (`matrix_version`)."""
        q = request.query_params
        obj = text_field({k: q[k] for k in ("obj",) if k in q}, "obj", "object")
        act = text_field({k: q[k] for k in ("act",) if k in q}, "act", "action")
        page = paging.Page(q, f"users-who\0{request.path_params['app']}\0{obj}\0{act}")

        def read() -> Response:
            snap, doc = self._read(request)
            held, version = paging.computed(snap, lambda: users.user_holdings(snap.matrix, doc, obj, act))
            found = sorted(held)
            shown, following = page.of_sorted(found, keys=found)
            return self._versioned({**page.answer(following, len(found)), "holders": [
                {**held[u].to_json(), "explanation": held[u].explain(obj, act)} for u in shown]}, doc, version)

        return await anyio.to_thread.run_sync(read)

    # --- changes -----------------------------------------------------------------------------

    async def _change(self, request: Request) -> tuple[str, str, Names, set[int] | None, Json]:
        """The token checked, then the application, the user, the roles, If-Match, the body."""
        self.authorize(request)
        expected = parse_if_match(request.headers.get("if-match"))
        data = await self._body(request)
        return request.path_params["app"], _user(data.get("user")), role_list(data), expected, data

    async def assign(self, request: Request) -> Response:
        """Through ops.assign, as `zarn-roles assign`: a role holding *:* only with allow_superuser."""
        app, user, roles, expected, data = await self._change(request)
        allow = flags(request, data, "allow_superuser")

        def write() -> ops.Written:
            if app_error(app):
                raise ApiError(404, f"unknown application {app!r}")
            return ops.assign(app, user, roles, engine=self.console.engine, allow_superuser=allow, expected=expected)

        written = await anyio.to_thread.run_sync(write)
        return JSONResponse({"user": user, "roles": written.result, "changed": written.changed,
                             "version": written.version}, headers={"ETag": etag(written.version)})

    async def unassign(self, request: Request) -> Response:
        """Through ops.unassign, as `zarn-roles unassign`: the roles the user has directly are taken,
        the others listed in 'refused' with the way it holds them; 404 when it has none directly."""
        app, user, roles, expected, _ = await self._change(request)

        def write() -> ops.Written:
            if app_error(app):
                raise ApiError(404, f"unknown application {app!r}")
            ops.load_matrix(app, self.console.engine)  # 404 for an application that is not stored
            return ops.unassign(app, user, roles, engine=self.console.engine, expected=expected)

        written = await anyio.to_thread.run_sync(write)
        return JSONResponse({"user": user, "roles": written.result, "refused": written.refusals,
                             "changed": written.changed, "version": written.version},
                            headers={"ETag": etag(written.version)})


def routes(console: Any, authorize: Callable[[Request], None]) -> list[Route]:
    return UserApi(console, authorize).routes()

