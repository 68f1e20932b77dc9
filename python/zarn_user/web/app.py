"""The HTTP layer: the page, the JSON API v1, server-sent events, and the guard in front of
them (Host check, body size limit, security headers). Handlers are thin: they read the
request, call the Console in a worker thread (stores block; checks on a lately confirmed
snapshot are answered on the event loop), and shape one JSON answer or one JSON error.
"""

from __future__ import annotations

import contextlib
import functools
import json
from pathlib import Path
from typing import Any, AsyncIterator, Callable, Iterable, Mapping

import anyio
from zarn_engine.changes import set_who
from starlette.applications import Starlette
from starlette.exceptions import HTTPException
from starlette.requests import Request
from starlette.responses import JSONResponse as _JSONResponse
from starlette.responses import Response
from starlette.routing import Mount, Route
from starlette.staticfiles import StaticFiles
from starlette.types import Message, Receive, Scope, Send

from . import events, explore, graph, history_routes, limits, openapi, paging, playground_routes, tokens, user_routes
from ..core.errors import (BadInput, Cycle, DoorError, LogGone, NotDirect, NotFound, VersionMismatch)
from .console import ApiError, Console, bad, etag, flag as _flag, flags as _flags, parse_if_match, role_name

class JSONResponse(_JSONResponse):
    """JSON as UTF-8; text stored before the text rule that UTF-8 cannot carry (a lone
    surrogate) goes out as a JSON escape rather than failing the answer."""

    def render(self, content: Any) -> bytes:
        try:
            return super().render(content)
        except UnicodeEncodeError:
            return json.dumps(content, ensure_ascii=True, allow_nan=False, separators=(",", ":")).encode("ascii")


def _utf8(text: str) -> bytes:
    """Text for an answer: what UTF-8 cannot carry (stored before the text rule) escaped."""
    return text.encode("utf-8", "backslashreplace")


STATIC = Path(__file__).parent / "static"
LOOPBACK = ("127.0.0.1", "localhost", "::1")
MAX_BODY = 16 << 20
REFRESH = 0.1  # seconds between updates of the snapshots in a worker thread
BODY_TIMEOUT = 30.0  # seconds a request's body may take to arrive, from the end of its head
CSP = ("default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self' data:; connect-src 'self'; "
       "object-src 'none'; base-uri 'none'; frame-ancestors 'none'; form-action 'self'")


def create_app(engine_or_url: Any, token: str | Mapping[str, str] | None = None, allow_hosts: Iterable[str] = LOOPBACK,
               max_body: int = MAX_BODY, use_dot: bool = True, playground: str | None = None,
               caps: limits.Caps | None = None, body_timeout: float = BODY_TIMEOUT,
               max_streams: int = events.MAX_STREAMS, version_wait: float | None = None) -> Guard:
    """The console for a store (an engine, or a URL as `zarn_engine.open_engine` takes): an
    ASGI application, the `Guard` in front of the Starlette application (`.app`), so that
    middleware added to the Starlette application runs behind the guard.

    `token`: writes need `Authorization: Bearer TOKEN`; several as {name: token}, each change
    logged under the name of the token it was made with (one alone: "web"); None: read-only.
    `allow_hosts`: the names and addresses requests may give as their Host ("*": any).
    `max_body`: the largest request body, in bytes. `use_dot`: draw with Graphviz if found.
    `playground`: a playground file the page reads and saves back.
    `caps`: the most one request may ask for (limits.Caps: checks in a batch, roles named,
    assertions, imported entries, and the read token heavy reads need besides the write tokens).
    `body_timeout`: seconds a request body may take to arrive (408 after). `max_streams`: the
    most event streams open at once (more are refused with 503); `.state.events.close()` ends
    them, before a graceful shutdown.
    `version_wait`: seconds a read asking `at_least` a version not held waits for it (the
    live documents' default when None).
    """
    import zarn_engine

    owned = not isinstance(engine_or_url, zarn_engine.Engine)
    engine = zarn_engine.open_engine(engine_or_url) if owned else engine_or_url
    console = Console(engine, token, version_wait)
    hub = events.Hub(engine, max_streams)
    page = (STATIC / "index.html").read_bytes()

    async def refresher() -> None:
        while True:
            await anyio.sleep(REFRESH)
            await anyio.to_thread.run_sync(console.refresh)

    @contextlib.asynccontextmanager
    async def lifespan(_app: Starlette) -> AsyncIterator[None]:
        hub.start()
        try:
            async with anyio.create_task_group() as tasks:
                tasks.start_soon(refresher)
                yield
                tasks.cancel_scope.cancel()
        finally:
            hub.cancel()
            console.close()
            if owned:
                engine.close()

    api = Api(console, use_dot)
    routes = [
        Route("/", lambda r: Response(page, media_type="text/html; charset=utf-8")),
        Route("/apps/{app}", lambda r: Response(page, media_type="text/html; charset=utf-8")),
        Mount("/static", app=StaticFiles(directory=STATIC), name="static"),
        Route("/openapi.json", lambda r: JSONResponse(openapi.schema())),
        *api.routes(),
        *explore.routes(console),
        *events.routes(hub),
        *history_routes.routes(console),
        *user_routes.routes(console, api._authorize),
        *playground_routes.routes(api._authorize, playground),
    ]
    from zarn_engine import LoadError, StorageError

    app = Starlette(routes=routes, lifespan=lifespan, exception_handlers={
        ApiError: _api_error, DoorError: _door_error, HTTPException: _http_error, StorageError: _storage_error,
        LoadError: _storage_error, BodyTooLarge: functools.partial(_too_large, max_body), BodyTimeout: _body_timeout})
    app.state.console = console
    app.state.caps = caps or limits.Caps()
    app.state.events = hub
    return Guard(app, allow_hosts, max_body, body_timeout)


# --- errors -------------------------------------------------------------------------------


def _error(status: int, message: str, headers: Mapping[str, str] | None = None, **extra: Any) -> JSONResponse:
    return JSONResponse({"error": message, **extra}, status_code=status, headers=headers)


async def _api_error(request: Request, exc: Exception) -> Response:
    assert isinstance(exc, ApiError)
    headers = dict(exc.headers)
    if "etag" in exc.extra:
        headers["ETag"] = exc.extra.pop("etag")
    return _error(exc.status, exc.message, headers, **exc.extra)


def door_status(exc: DoorError) -> int:
    """The HTTP status of an outcome of the core, from its class."""
    if isinstance(exc, (NotFound, NotDirect)):
        return 404
    if isinstance(exc, LogGone):
        return 410
    if isinstance(exc, BadInput):
        return 400
    if isinstance(exc, VersionMismatch):
        return 412
    return 409  # refused by a rule: a cycle, a path to *:*, a pattern, other writers


async def _door_error(request: Request, exc: Exception) -> Response:
    assert isinstance(exc, DoorError)
    status = door_status(exc)
    headers = {}
    if isinstance(exc, VersionMismatch) and exc.found is not None:
        headers["ETag"] = etag(exc.found)
    fields = {k: v for k, v in exc.fields.items() if k not in ("expected", "content", "summary")}
    extra: dict[str, Any] = {"code": exc.code, **fields}
    message = exc.fields.get("summary") or exc.message  # a list of bad lines: said in one line, listed apart
    if len(exc.lines) > 1 or "summary" in exc.fields:
        extra["lines"] = exc.lines
    if isinstance(exc, Cycle) and exc.fields.get("refused"):
        first = exc.fields["refused"][0]
        extra["path"] = first.get("path") or []
    return _error(status, message, headers, **extra)


async def _http_error(request: Request, exc: Exception) -> Response:
    assert isinstance(exc, HTTPException)
    message = {404: "no such page or API path", 405: "method not allowed here"}.get(exc.status_code, str(exc.detail))
    return _error(exc.status_code, message, exc.headers)


def _body_cap(limit: int, given: int | None = None) -> str:
    return (f"a request body takes at most {limit} bytes (zarn-roles serve --max-body MIB)"
            f"; this one has {given if given is not None else 'more'}")


async def _too_large(limit: int, request: Request, exc: Exception) -> Response:
    return _error(413, _body_cap(limit), code="too_large")


def _timed_out(seconds: float) -> JSONResponse:
    return _error(408, f"the request body did not arrive within {seconds:g} s", {"Connection": "close"},
                  code="timeout")


async def _body_timeout(request: Request, exc: Exception) -> Response:
    assert isinstance(exc, BodyTimeout)
    return _timed_out(exc.seconds)


async def _storage_error(request: Request, exc: Exception) -> Response:
    from zarn_engine import ConflictError, StorageError

    if isinstance(exc, ConflictError):
        return _error(409, f"{exc} (other writers kept coming first; try again)")
    if isinstance(exc, StorageError):
        return _error(503, f"storage: {exc}")
    return _error(500, f"stored data: {exc}")


# --- the guard ----------------------------------------------------------------------------


class BodyTooLarge(Exception):
    pass


class BodyTimeout(Exception):
    def __init__(self, seconds: float) -> None:
        super().__init__(f"the request body did not arrive within {seconds:g} s")
        self.seconds = seconds


def _host_name(value: str) -> str | None:
    value = value.strip().lower()
    if value.startswith("["):
        end = value.find("]")
        return value[1:end] if end > 0 else None
    name, _, port = value.partition(":")
    return None if ":" in port else name


class Guard:
    """Refuses requests whose Host is not one of the server's names (a page of another
    site that resolves its own name to this address, DNS rebinding, must not read or
    write here), bodies over the limit, and bodies that take longer than `body_timeout`
    seconds to arrive (408, the connection closed); adds security headers to every answer."""

    def __init__(self, app: Starlette, hosts: Iterable[str], max_body: int,
                 body_timeout: float = BODY_TIMEOUT) -> None:
        self.app = app
        self.any_host = "*" in hosts
        self.hosts = {h.strip().lower().strip("[]") for h in hosts}
        self.max_body = max_body
        self.body_timeout = body_timeout
        self.state = app.state

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        headers = dict(scope["headers"])
        host = headers.get(b"host", b"").decode("latin-1")
        if not self.any_host and _host_name(host) not in self.hosts:
            shown = host or "(none)"
            await _error(400, f"refused: Host {shown!r} is not a name of this server; "
                              f"start it with --allow-host NAME to allow one")(scope, receive, send)
            return
        length = headers.get(b"content-length")
        if length is not None and (not length.isdigit() or int(length) > self.max_body):
            await self._too_large(scope, receive, send, int(length) if length.isdigit() else None)
            return
        received = 0
        started = False
        whole = False  # the body has arrived: what follows is the wait for a disconnect
        deadline = anyio.current_time() + self.body_timeout

        async def counted_receive() -> Message:
            nonlocal received, whole
            if whole:
                return await receive()
            with anyio.move_on_after(deadline - anyio.current_time()):
                message = await receive()
                if message["type"] == "http.request":
                    received += len(message.get("body", b""))
                    if received > self.max_body:
                        raise BodyTooLarge()
                    whole = not message.get("more_body", False)
                else:
                    whole = True
                return message
            raise BodyTimeout(self.body_timeout)

        async def guarded_send(message: Message) -> None:
            nonlocal started
            if message["type"] == "http.response.start":
                started = True
                extra = [(b"x-content-type-options", b"nosniff"), (b"referrer-policy", b"no-referrer"),
                         (b"x-frame-options", b"DENY"), (b"content-security-policy", CSP.encode())]
                message = {**message, "headers": [*message.get("headers", []), *extra]}
            await send(message)

        try:
            await self.app(scope, counted_receive, guarded_send)
        except BodyTooLarge:
            if not started:
                await self._too_large(scope, receive, guarded_send)
        except BodyTimeout:
            if not started:
                await _timed_out(self.body_timeout)(scope, receive, guarded_send)

    async def _too_large(self, scope: Scope, receive: Receive, send: Send, given: int | None = None) -> None:
        await _error(413, _body_cap(self.max_body, given), code="too_large")(scope, receive, send)


# --- the API ------------------------------------------------------------------------------


async def _json_body(request: Request) -> Any:
    raw = await request.body()
    if not raw.strip():
        return {}
    try:
        if len(raw) > limits.INLINE_BYTES:  # a large body is parsed off the event loop
            return await anyio.to_thread.run_sync(json.loads, raw)
        return json.loads(raw)
    except (ValueError, UnicodeDecodeError) as exc:
        raise bad(f"the body is not JSON ({exc})") from None
    except RecursionError:
        raise bad("the body is not JSON this API takes: nested too deeply") from None


async def _text_body(request: Request) -> str:
    raw = await request.body()
    try:
        return raw.decode("utf-8")
    except UnicodeDecodeError:
        raise bad("the body is not UTF-8 text") from None


class Api:
    def __init__(self, console: Console, use_dot: bool) -> None:
        self.console = console
        self.use_dot = use_dot

    async def _run(self, fn: Callable[..., Any], *args: Any) -> Any:
        return await anyio.to_thread.run_sync(functools.partial(fn, *args))

    async def _answer(self, fn: Callable[..., Any], *args: Any, headers: Mapping[str, str] | None = None) -> Response:
        """fn(*args) as a JSON answer, computed and rendered in a worker thread (a long
        answer takes as long to render as to find)."""
        return await self._run(lambda: JSONResponse(fn(*args), headers=headers))  # type: ignore[no-any-return]

    async def _snapshot(self, request: Request) -> Any:
        """The snapshot of the request's application, of the version `?at_least=` asks or
        newer: on the event loop when one was confirmed lately (no thread switch, no read of
        the store), else read in a worker thread."""
        return await paging.snapshot(self.console, request.path_params["app"], paging.at_least(request.query_params))

    async def _read(self, snap: Any, read: Callable[[], dict[str, Any]], inline: bool = False) -> Response:
        """A read answer: `read()` of one version of the snapshot's matrix, with that version
        in the body and as ETag; found and rendered on the event loop when `inline`, else in
        a worker thread (a long answer takes as long to render as to find)."""

        def answer() -> Response:
            content, headers = paging.versioned(*paging.computed(snap, read))
            return JSONResponse(content, headers=headers)

        return answer() if inline else await self._run(answer)

    def _authorize(self, request: Request) -> None:
        token = self.console.token
        if token is None:
            raise ApiError(403, "read-only: this server was started without a token "
                                "(zarn-roles serve --token TOKEN, or $ZARN_ROLES_TOKEN)")
        given = tokens.bearer(request.headers.get("authorization", ""))
        name = tokens.name_of(tokens.named(token), given) if given is not None else None
        if name is None:
            raise ApiError(401, "writes need the token: Authorization: Bearer TOKEN",
                           headers={"WWW-Authenticate": 'Bearer realm="zarn-roles"'})
        set_who(name)  # the changes of this request are logged under the token's name

    def routes(self) -> list[Route]:
        p = "/api/v1/apps/{app}"
        r = f"{p}/roles/{{role}}"
        return [
            Route("/api/v1", self.info),
            Route("/api/v1/apps", self.apps_or_create, methods=["GET", "POST"]),
            Route(p, self.app, methods=["GET"]),
            Route(f"{p}/roles", self.roles, methods=["GET"]),
            Route(r, self.role, methods=["GET"]),
            Route(f"{r}/graph", self.graph, methods=["GET"]),
            Route(f"{r}/grants", self.grants, methods=["POST", "PUT", "DELETE"]),
            Route(f"{r}/sub-roles", self.sub_roles, methods=["POST", "PUT", "DELETE"]),
            Route(f"{p}/check", self.check, methods=["POST"]),
            Route(f"{p}/check-batch", self.check_batch, methods=["POST"]),
            Route(f"{p}/permissions", self.permissions, methods=["POST"]),
            Route(f"{p}/who", self.who, methods=["GET"]),
            Route(f"{p}/holders", self.who, methods=["GET"]),
            Route(f"{p}/export", self.export, methods=["GET"]),
            Route(f"{p}/import", self.import_, methods=["POST"]),
            Route("/api/v1/assertions", self.assertions, methods=["POST"]),
        ]

    # --- reading ---------------------------------------------------------------------

    async def info(self, request: Request) -> Response:
        from zarn_user import __version__

        authorized = False
        if self.console.token is not None and request.headers.get("authorization"):
            try:
                self._authorize(request)
                authorized = True
            except ApiError:
                pass
        return JSONResponse({"api": "v1", "version": __version__, "writable": self.console.token is not None,
                             "authorized": authorized})

    async def apps_or_create(self, request: Request) -> Response:
        return await (self.create(request) if request.method == "POST" else self.apps(request))

    async def apps(self, request: Request) -> Response:
        return JSONResponse({"apps": await self._run(self.console.apps)})

    async def create(self, request: Request) -> Response:
        self._authorize(request)
        data = await _json_body(request)
        name = data.get("name") if isinstance(data, dict) else None
        if not isinstance(name, str):
            raise bad("'name' must be the new application's name")
        version = await self._run(self.console.create, name)
        return JSONResponse({"created": name}, status_code=201, headers={"ETag": etag(version)})

    async def app(self, request: Request) -> Response:
        snap = await self._snapshot(request)
        def read() -> dict[str, Any]:
            policies, groups, roles = snap.index.counts()
            return {"name": snap.name, "roles": roles, "policies": policies, "groups": groups}

        return await self._read(snap, read)

    async def roles(self, request: Request) -> Response:
        q = request.query_params
        query = q.get("q", "")
        page = paging.Page(q, f"roles\0{request.path_params['app']}\0{query}")
        snap = await self._snapshot(request)
        return await self._read(snap, lambda: paging.roles(snap, query, page))

    async def role(self, request: Request) -> Response:
        snap = await self._snapshot(request)

        def read() -> dict[str, Any]:
            role = self.console.known_role(snap, request.path_params["role"])
            return {**snap.role(role), "implicit": snap.implicit([role])}

        return await self._read(snap, read)

    async def graph(self, request: Request) -> Response:
        q = request.query_params
        try:
            depth = min(3, max(1, int(q.get("depth", 1))))
        except ValueError:
            raise bad("depth is a number") from None
        path = [s for s in q.get("path", "").split(",") if s]
        limits.admit(request, "graph")
        snap = await self._snapshot(request)

        def draw() -> tuple[str, str]:
            role = self.console.known_role(snap, request.path_params["role"])
            return graph.render(snap, role, depth, path, use_dot=self.use_dot)

        (svg, renderer), version = await self._run(paging.computed, snap, draw)
        return Response(_utf8(svg), media_type="image/svg+xml",
                        headers={"X-Graph-Renderer": renderer, "ETag": etag(version)})

    async def check(self, request: Request) -> Response:
        data = await _json_body(request)
        paging.no_body_at_least(data)
        size = limits.check_size(request, data)
        snap = await self._snapshot(request)
        return await self._read(snap, lambda: self.console.check(snap, data), inline=limits.inline(size))

    async def check_batch(self, request: Request) -> Response:
        data = await _json_body(request)
        paging.no_body_at_least(data)
        checks = data.get("checks") if isinstance(data, dict) else None
        if not isinstance(checks, list):
            raise bad("'checks' must be a list of checks")
        size = limits.batch_size(request, checks)
        snap = await self._snapshot(request)

        def answer() -> dict[str, Any]:
            results = []
            for n, item in enumerate(checks):
                try:
                    results.append(self.console.check(snap, item))
                except ApiError as exc:
                    raise bad(f"checks[{n}]: {exc.message}") from None
            return {"results": results}

        return await self._read(snap, answer, inline=limits.inline(size))

    async def permissions(self, request: Request) -> Response:
        data = await _json_body(request)
        if not isinstance(data, dict):
            raise bad("the body must be a JSON object")
        paging.no_body_at_least(data)
        given = data.get("roles")
        if not isinstance(given, list) or not given:
            raise bad("'roles' must be a non-empty list of role names")
        limits.cap(len(given), limits.caps_of(request).roles, "permissions", "roles")
        limits.admit(request, "permissions", len(given))
        app = request.path_params["app"]
        snap = await self._snapshot(request)

        def answer() -> dict[str, Any]:
            roles = [role_name(r, "roles") for r in given]  # 10^5 names are checked here, off the loop
            page = paging.Page(request.query_params, "permissions\0" + app + "\0" + "\0".join(sorted(set(roles))),
                               offset_allowed=False)
            out: dict[str, Any] = {"roles": roles, **paging.permissions(snap, roles, page)}
            unknown = snap.unknown(roles)
            if unknown:
                out["unknown"] = unknown
            return out

        return await self._read(snap, answer)

    async def who(self, request: Request) -> Response:
        """`.../who`, and `.../holders`, its name for the page."""
        return await paging.who_answer(self.console, request, JSONResponse)

    async def export(self, request: Request) -> Response:
        fmt = request.query_params.get("format", "json")
        app = request.path_params["app"]
        limits.admit(request, "export")
        snap = await self._snapshot(request)
        text, version = await self._run(paging.computed, snap, lambda: _utf8(self.console.export(snap, fmt)))
        kind, ext = ("text/csv", "csv") if fmt == "casbin" else ("application/json", "json")
        return Response(text, media_type=f"{kind}; charset=utf-8", headers={
            "ETag": etag(version), "Content-Disposition": f'attachment; filename="{app}.{ext}"'})

    async def assertions(self, request: Request) -> Response:
        """The results, with `versions`: the version of each application they read."""
        limits.admit(request, "assertions")
        limits.check_assertion_text(request, await request.body())
        text = await _text_body(request)
        name = request.query_params.get("name", "assertions.toml")[:200]
        app = request.query_params.get("app")
        at_least = paging.at_least(request.query_params)
        if at_least is not None and app is None:
            raise bad("at_least names a version of the application given as ?app=")
        most = limits.caps_of(request).assertions
        return await self._answer(self.console.run_assertions, text, name, app, at_least, most)

    # --- writing ---------------------------------------------------------------------

    def _written(self, body: dict[str, Any], version: int, changed: bool = True) -> Response:
        return JSONResponse({**body, "changed": changed, "version": version}, headers={"ETag": etag(version)})

    async def _write_request(self, request: Request) -> tuple[str, str, Any, set[int] | None]:
        self._authorize(request)
        expected = parse_if_match(request.headers.get("if-match"))
        data = await _json_body(request)
        if request.method == "DELETE" and not data:
            data = dict(request.query_params)  # DELETE bodies are dropped by some clients
        if not isinstance(data, dict):
            raise bad("the body must be a JSON object")
        return request.path_params["app"], request.path_params["role"], data, expected

    async def grants(self, request: Request) -> Response:
        app, role, data, expected = await self._write_request(request)
        c = self.console
        allow, literal = _flags(request, data, "allow_superuser"), _flags(request, data, "literal")
        if request.method == "POST":
            content, version, changed = await self._run(c.grant, app, role, data, expected, allow, literal)
            return self._written(content, version, changed)
        if request.method == "DELETE":
            content, version = await self._run(c.revoke, app, role, data, expected)
        else:
            content, version = await self._run(c.set_grants, app, role, data, expected, allow, literal)
        return self._written(content, version)

    async def sub_roles(self, request: Request) -> Response:
        app, role, data, expected = await self._write_request(request)
        c = self.console
        allow = _flags(request, data, "allow_superuser")
        if request.method == "POST":
            content, version, changed = await self._run(c.include, app, role, data, expected, allow)
            return self._written(content, version, changed)
        if request.method == "DELETE":
            content, version = await self._run(c.exclude, app, role, data, expected)
        else:
            content, version = await self._run(c.set_sub_roles, app, role, data, expected, allow)
        return self._written(content, version)

    async def import_(self, request: Request) -> Response:
        q = request.query_params
        dry_run = _flag(q.get("dry_run"), "dry_run")
        if not dry_run:
            self._authorize(request)
        else:
            limits.admit(request, "import-dry-run")
        expected = parse_if_match(request.headers.get("if-match"))
        text = await _text_body(request)
        name = q.get("name", "upload")[:200]
        options = [_flag(q.get(name), name) for name in ("skip_refused", "literal", "merge_builtin", "allow_superuser")]

        def run() -> Response:
            limits.check_import(request, text)
            result = self.console.import_text(request.path_params["app"], text, name, q.get("format", "auto"),
                                              dry_run, expected, *options)
            return JSONResponse(result, headers={} if dry_run else {"ETag": etag(result["version"])})

        return await self._run(run)  # type: ignore[no-any-return]

