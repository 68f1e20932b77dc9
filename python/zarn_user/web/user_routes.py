"""Users in the HTTP API: their list, a user's roles and permissions, assign and unassign,
check (with the path, as why explains it) and who holds a permission, paged. Thin: each
route calls what `zarn-roles assign`, `unassign`, `check --user`, `who --users` and `show
--user` call: the reading ones zarn_user.users on the application's current matrix and its
`UserRoles` document in the console's store, the changes the core's operations (core/ops.py:
the text rule, paths to *:* refused unless asked for, If-Match, retries), logged under the
token's name; the answers and refusals are worded as there.

    GET  /api/v1/apps/{app}/users?q=&offset=&limit=      users with their roles, by id
    GET  /api/v1/apps/{app}/users/show?user=ID           roles and permissions of a user
    POST /api/v1/apps/{app}/users/assign   {"user", "roles", "allow_superuser"}   (the token)
    POST /api/v1/apps/{app}/users/unassign {"user", "roles"}   (the token)
    POST /api/v1/apps/{app}/users/check    {"user", "obj", "act"}
    GET  /api/v1/apps/{app}/users/who?obj=&act=&offset=&limit=
"""

from __future__ import annotations

from typing import Any, Callable

import anyio
from starlette.requests import Request
from starlette.responses import JSONResponse, Response
from starlette.routing import Route

from .. import users
from ..core import ops
from ..core.text import app_error, nfc
from ..users import UserRoles
from .console import ApiError, Json, as_object, bad, etag, flags, parse_if_match, role_list, text_field
from .snapshot import Snapshot

MAX_LIMIT = 500
Names = list[str]  # (the class below has a method named list)


def _user(value: Any) -> str:
    error = users.user_error(value) if value is not None else "missing 'user'"
    if error:
        raise bad(error)
    return nfc(str(value))  # as every door takes text


def _page(request: Request, default: int = 50) -> tuple[int, int]:
    q = request.query_params
    try:
        return max(0, int(q.get("offset", 0))), min(MAX_LIMIT, max(1, int(q.get("limit", default))))
    except ValueError:
        raise bad("offset and limit are numbers") from None


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

    def _read(self, app: str) -> tuple[Snapshot, UserRoles]:
        """The application's snapshot (404 when there is none) and its stored assignments."""
        from zarn_engine import DoesNotExist

        snap: Snapshot = self.console.snapshot(app)
        try:
            doc = UserRoles.load(app, engine=self.console.engine)
        except DoesNotExist:
            doc = UserRoles(app=app)
        return snap, doc

    @staticmethod
    async def _body(request: Request) -> Json:
        import json

        raw = await request.body()
        try:
            return as_object(json.loads(raw) if raw.strip() else {})
        except (ValueError, UnicodeDecodeError) as exc:
            raise bad(f"the body is not JSON ({exc})") from None

    @staticmethod
    def _settled(snap: Snapshot, read: Callable[[], Any]) -> Any:
        """`read()` of the live matrix, of one version (a change may be installed meanwhile)."""
        from zarn_engine.changes import settled

        return settled(snap.matrix, read)

    # --- reading ---------------------------------------------------------------------------

    async def list(self, request: Request) -> Response:
        offset, limit = _page(request)
        query = request.query_params.get("q", "").lower()

        def read() -> Json:
            _, doc = self._read(request.path_params["app"])
            index = doc.index()
            found = sorted(u for u in index if query in u.lower())
            return {"total": len(found), "offset": offset, "limit": limit,
                    "users": [{"user": u, "roles": list(index[u])} for u in found[offset:offset + limit]]}

        return JSONResponse(await anyio.to_thread.run_sync(read))

    async def show(self, request: Request) -> Response:
        user = _user(request.query_params.get("user"))

        def read() -> Json:
            snap, doc = self._read(request.path_params["app"])
            roles = doc.roles_of(user)
            return {"user": user, "roles": roles, "permissions": snap.implicit(roles),
                    "gone": [r for r in roles if r not in snap.role_set]}

        return JSONResponse(await anyio.to_thread.run_sync(read))

    async def check(self, request: Request) -> Response:
        data = await self._body(request)
        user = _user(data.get("user"))
        obj, act = text_field(data, "obj", "object"), text_field(data, "act", "action")

        def read() -> Json:
            snap, doc = self._read(request.path_params["app"])
            held = self._settled(snap, lambda: users.why(snap.matrix, doc, user, obj, act))
            if held is None:
                text = f"{user} does not hold {obj}:{act}" + ("" if doc.roles_of(user) else f" ({user} has no roles)")
                return {"user": user, "allowed": False, "path": [], "wildcard": False, "explanation": text}
            return {"user": user, "allowed": True, "path": held.path, "wildcard": held.holding.wildcard,
                    "explanation": held.explain(obj, act)}

        return JSONResponse(await anyio.to_thread.run_sync(read))

    async def who(self, request: Request) -> Response:
        q = request.query_params
        obj = text_field({k: q[k] for k in ("obj",) if k in q}, "obj", "object")
        act = text_field({k: q[k] for k in ("act",) if k in q}, "act", "action")
        offset, limit = _page(request)

        def read() -> Json:
            snap, doc = self._read(request.path_params["app"])
            found = list(self._settled(snap, lambda: users.user_holdings(snap.matrix, doc, obj, act)).values())
            return {"total": len(found), "offset": offset, "limit": limit,
                    "holders": [{**h.to_json(), "explanation": h.explain(obj, act)}
                                for h in found[offset:offset + limit]]}

        return JSONResponse(await anyio.to_thread.run_sync(read))

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

