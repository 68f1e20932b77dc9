"""Server-sent events of the applications' changes, for any number of clients.

One watcher per application and process, whatever the number of its open streams: it wakes
when the store's change feed reports a commit (where the feed cannot vouch for the store, a
replica or a feed that lost its connection, it looks once a second instead), reads the
version and the change log once, formats the event once, and hands the same bytes to every
stream of the application. An idle stream costs nothing but its connection: one timer gives
every stream its keep-alive.

Events, each with `id:` the version it brings the client to:
- `version`: {app, version, etag, changes}, `changes` the log's records of the changes
  since the previous event (as the log route gives them); at the start, the changes since
  the client's `Last-Event-ID` when it reconnects, none when it comes new;
- `reload`: {app, version, etag, reason}: the changes cannot be told (the log no longer
  reaches back that far, an unknown version, a stream that fell behind): read anew;
- `deleted`: {app}: the application went away; the stream ends.
"""

from __future__ import annotations

import asyncio
import collections
import json
from typing import Any

import anyio
from starlette.requests import Request
from starlette.responses import Response
from starlette.routing import Route
from starlette.types import Receive, Scope, Send

from ..core import history
from ..core.text import app_error
from . import paging
from .console import ApiError, etag

MAX_STREAMS = 4096  # open streams per process, all applications together
KEEPALIVE = 15.0  # seconds between keep-alive comments
POLL = 1.0  # seconds between looks at the store when the feed cannot vouch for it
READY = 10.0  # seconds a new stream waits for its application's first read
MAX_PENDING = 256  # events held for a stream that does not read; more and it gets a reload
MAX_REPLAY = 1000  # changes replayed to a client that reconnects; more and it gets a reload
RETRY = b"retry: 2000\n\n"
KEEPALIVE_LINE = b": keep-alive\n\n"


def _event(kind: str, version: int | None, data: dict[str, Any]) -> bytes:
    head = "" if version is None else f"id: {version}\n"
    # ASCII JSON: text stored before the text rule (a lone surrogate) travels escaped.
    return f"{head}event: {kind}\ndata: {json.dumps(data, separators=(',', ':'))}\n\n".encode("ascii")


def version_event(app: str, version: int, changes: list[dict[str, Any]]) -> bytes:
    return _event("version", version, {"app": app, "version": version, "etag": etag(version), "changes": changes})


def reload_event(app: str, version: int, reason: str) -> bytes:
    return _event("reload", version, {"app": app, "version": version, "etag": etag(version), "reason": reason})


def deleted_event(app: str) -> bytes:
    return _event("deleted", None, {"app": app})


class Stream:
    """One client's queue of formatted events: (the version it brings, None for a keep-alive
    or `deleted`; its bytes)."""

    __slots__ = ("app", "pending", "wake", "closed", "counted")

    def __init__(self, app: str) -> None:
        self.app = app
        self.counted = True  # among the hub's open streams
        self.pending: collections.deque[tuple[int | None, bytes]] = collections.deque()
        self.wake = asyncio.Event()
        self.closed = False

    def put(self, version: int | None, chunk: bytes, keepalive: bool = False) -> None:
        if keepalive and self.pending:
            return  # a keep-alive behind an event says nothing more
        if len(self.pending) >= MAX_PENDING and version is not None:
            # A client that does not read: what it missed becomes one reload.
            self.pending.clear()
            chunk = reload_event(self.app, version, "the stream fell behind")
        self.pending.append((version, chunk))
        self.wake.set()

    def end(self, drop: bool = False) -> None:
        if drop:
            self.pending.clear()
        self.closed = True
        self.wake.set()

    async def next(self) -> tuple[int | None, bytes] | None:
        """The next event; None once the stream ended and what it holds was taken."""
        while not self.pending:
            if self.closed:
                return None
            self.wake.clear()
            await self.wake.wait()
        return self.pending.popleft()


class Watcher:
    """The one reader of an application's changes in this process, while it has streams."""

    def __init__(self, hub: Hub, app: str) -> None:
        self.hub = hub
        self.app = app
        self.streams: set[Stream] = set()
        self.version: int | None = None
        self.gone = False  # found deleted: its streams were told and ended
        self.ready = asyncio.Event()  # set once the first read answered
        self.wake = asyncio.Event()
        self.task: asyncio.Task[None] | None = None

    async def run(self) -> None:
        due = True  # a look is owed: the first, or one that failed
        try:
            while self.streams and not self.gone:
                if not due:
                    called = True
                    try:
                        await asyncio.wait_for(self.wake.wait(), self.hub.poll)
                    except TimeoutError:
                        called = False
                    self.wake.clear()  # before the read: a change reported during it wakes again
                    if not self.streams:
                        break
                    if not called and self.hub.feed_fresh():
                        continue  # the feed vouches that nothing was committed
                due = False
                try:
                    await self.look()
                except Exception:  # noqa: BLE001 - the store away for a moment: say nothing, look again
                    due = True
                    await asyncio.sleep(self.hub.poll)
        finally:
            self.ready.set()
            self.hub._watcher_done(self)

    async def look(self) -> None:
        last = self.version
        version, records = await anyio.to_thread.run_sync(self.hub.read, self.app, last)
        if version is None:
            self.gone = True
            chunk = deleted_event(self.app)
            for stream in self.streams:
                stream.put(None, chunk)
                stream.end()
        elif last is None or version != last:
            self.version = version
            if last is not None:
                chunk = (version_event(self.app, version, records) if records is not None
                         else reload_event(self.app, version, "the change log no longer reaches back"))
                for stream in self.streams:
                    stream.put(version, chunk)
        self.ready.set()


class Hub:
    """The event streams of one server process, and their watchers; a member of the store's
    change feed. Lives on the server's event loop; the feed calls `_changed` from its thread."""

    def __init__(self, engine: Any, max_streams: int = MAX_STREAMS, keepalive: float = KEEPALIVE,
                 poll: float = POLL) -> None:
        if type(max_streams) is not int or max_streams < 0:
            raise ValueError(f"max_streams is a number of streams, 0 or more, not {max_streams!r}")
        self.engine = engine
        self.max_streams = max_streams
        self.keepalive = keepalive
        self.poll = poll
        self.collection = history.roles_collection()
        self.watchers: dict[str, Watcher] = {}
        self.open_streams = 0
        self.reads = 0  # reads of the change log, for the watchers (tests count them)
        self.closing = False
        self._loop: asyncio.AbstractEventLoop | None = None
        self._feed: Any = None
        self._ticker: asyncio.Task[None] | None = None

    # --- the feed (its thread) ------------------------------------------------------------

    def _changed(self, collection: str | None, key: str | None) -> None:
        if collection is not None and collection != self.collection:
            return
        loop = self._loop
        if loop is None:
            return
        try:
            loop.call_soon_threadsafe(self._wake, key)
        except RuntimeError:
            pass  # the loop has closed: nobody listens

    def _wake(self, key: str | None) -> None:
        found = self.watchers.values() if key is None else filter(None, [self.watchers.get(key)])
        for watcher in found:
            watcher.wake.set()

    def feed_fresh(self) -> bool:
        return self._feed is not None and bool(self._feed.fresh())

    # --- reading (worker threads) -----------------------------------------------------------

    def read(self, app: str, last: int | None) -> tuple[int | None, list[dict[str, Any]] | None]:
        """(the stored version, the records of the changes after `last`); None for the
        records when the log does not hold them all."""
        version = self.engine.version(self.collection, app)
        if version is None or last is None or version == last:
            return version, []
        self.reads += 1
        if version < last:
            return version, None
        return version, history.after(self.engine, app, last, version, history.MAX_CHANGE)

    # --- streams (the event loop) --------------------------------------------------------

    def open(self, app: str) -> tuple[Stream, Watcher]:
        if self.closing:
            raise ApiError(503, "the server is stopping", headers={"Retry-After": "5"})
        if self.open_streams >= self.max_streams:
            raise ApiError(503, f"too many open event streams: this server holds at most {self.max_streams} "
                                f"(zarn-roles serve --max-streams); try again later",
                           headers={"Retry-After": "30"}, cap=self.max_streams)
        loop = asyncio.get_running_loop()
        if loop is not self._loop:
            # The first stream, or a server that runs on another loop than before (a test
            # client that starts one per request): what the old loop held went with it.
            self._loop, self.watchers, self.open_streams, self._ticker = loop, {}, 0, None
        if self._feed is None and not self.engine.replica:  # a replica has no feed: watchers look every `poll`
            from zarn_engine.feed import Feed

            self._feed = Feed.join(self.engine, self)
        watcher = self.watchers.get(app)
        if watcher is None:
            watcher = self.watchers[app] = Watcher(self, app)
        stream = Stream(app)
        watcher.streams.add(stream)
        self.open_streams += 1
        if watcher.task is None:
            watcher.task = asyncio.ensure_future(watcher.run())
        if self._ticker is None:
            self._ticker = asyncio.ensure_future(self._tick())
        return stream, watcher

    def close_stream(self, stream: Stream) -> None:
        if not stream.counted:
            return
        stream.counted = False
        watcher = self.watchers.get(stream.app)
        if watcher is not None and stream in watcher.streams:
            watcher.streams.discard(stream)
            if not watcher.streams:
                watcher.wake.set()  # its loop ends
        self.open_streams -= 1
        stream.end(drop=True)

    def _watcher_done(self, watcher: Watcher) -> None:
        if self.watchers.get(watcher.app) is watcher:
            del self.watchers[watcher.app]
        for stream in watcher.streams:
            stream.end()  # a watcher that stopped (cancelled, deleted) ends its streams

    async def _tick(self) -> None:
        """The one keep-alive timer of every stream."""
        try:
            while self.open_streams > 0:
                await asyncio.sleep(self.keepalive)
                for watcher in list(self.watchers.values()):
                    for stream in watcher.streams:
                        stream.put(None, KEEPALIVE_LINE, keepalive=True)
        finally:
            self._ticker = None

    async def first_event(self, app: str, current: int, last_id: str | None) -> bytes:
        """What a stream starts with: the current version, or for a client coming back with
        `Last-Event-ID` the changes it missed (read here: once per reconnection)."""
        if last_id is None:
            return version_event(app, current, [])
        text = last_id.strip()
        if not paging.NUMBER.fullmatch(text):  # ASCII digits: int() fails on others isdigit() takes
            return reload_event(app, current, f"Last-Event-ID {text[:40]!r} is not a version of {app}")
        since = int(text)
        if since > current:
            return reload_event(app, current, f"version {since} is ahead of {app}'s, {current}")
        if current - since > MAX_REPLAY:
            return reload_event(app, current, f"{current - since} changes missed: more than {MAX_REPLAY}")
        records = await anyio.to_thread.run_sync(history.after, self.engine, app, since, current, history.MAX_CHANGE)
        if records is None:
            return reload_event(app, current, f"the change log no longer reaches back to version {since}")
        return version_event(app, current, records)

    def start(self) -> None:
        """Take streams (again, for a server started anew)."""
        self.closing = False

    def close(self) -> None:
        """End every stream (each sends what it holds and finishes its answer), stop the
        watchers and the timer, and leave the feed: for a server that stops."""
        self.closing = True
        for watcher in list(self.watchers.values()):
            for stream in watcher.streams:
                stream.end()
            if watcher.task is not None:
                watcher.wake.set()
        if self._ticker is not None:
            self._ticker.cancel()
        feed, self._feed = self._feed, None
        if feed is not None:
            feed.leave(self)

    def cancel(self) -> None:
        """Stop what is left (the server's loop ends): watchers still running are cancelled."""
        self.close()
        for watcher in list(self.watchers.values()):
            if watcher.task is not None:
                watcher.task.cancel()


class EventResponse(Response):
    """A stream's answer: its first event, then what its watcher hands it, until the client
    goes, the application is deleted or the server stops."""

    media_type = "text/event-stream"

    def __init__(self, hub: Hub, stream: Stream, after: int, first: bytes) -> None:
        self.status_code = 200
        self.background = None
        self.raw_headers = [(b"content-type", b"text/event-stream; charset=utf-8"), (b"cache-control", b"no-cache"),
                            (b"x-accel-buffering", b"no")]
        self.hub, self.stream, self.after, self.first = hub, stream, after, first

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        stream = self.stream

        async def gone() -> None:
            while (await receive())["type"] != "http.disconnect":
                pass
            stream.end(drop=True)

        try:
            async with anyio.create_task_group() as tasks:
                tasks.start_soon(gone)
                try:
                    await send({"type": "http.response.start", "status": 200, "headers": self.raw_headers})
                    await send({"type": "http.response.body", "body": RETRY + self.first, "more_body": True})
                    while (item := await stream.next()) is not None:
                        if item[0] is not None and item[0] <= self.after:
                            continue  # handed over before the first event, which holds it
                        await send({"type": "http.response.body", "body": item[1], "more_body": True})
                    await send({"type": "http.response.body", "body": b"", "more_body": False})
                except OSError:
                    pass  # the client went away while we wrote
                finally:
                    tasks.cancel_scope.cancel()
        finally:
            self.hub.close_stream(stream)


def routes(hub: Hub) -> list[Route]:
    async def events(request: Request) -> Response:
        app = request.path_params["app"]
        if app_error(app):
            raise ApiError(404, f"unknown application {app!r}")
        stream, watcher = hub.open(app)
        try:
            with anyio.fail_after(READY):
                await watcher.ready.wait()
            if watcher.version is None or (watcher.gone and not stream.pending):
                raise ApiError(404, f"unknown application {app!r}")
            current = watcher.version
            first = await hub.first_event(app, current, request.headers.get("last-event-id"))
        except TimeoutError:
            hub.close_stream(stream)
            raise ApiError(503, "storage: the application could not be read in time; try again",
                           headers={"Retry-After": "5"}) from None
        except BaseException:
            hub.close_stream(stream)
            raise
        return EventResponse(hub, stream, current, first)

    return [Route("/api/v1/apps/{app}/events", events, methods=["GET"])]
