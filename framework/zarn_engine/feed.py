"""The change feed of one store in one process, shared by every live document on it.

A feed runs one listener thread (PostgreSQL LISTEN, polling elsewhere: see
`Engine.listen`) and passes what it hears to the live documents that joined it. It starts
with the first of them and stops, closing its connection, when the last one leaves or is
dropped. A live document trusts the feed only while the feed has proved within the last
`BOUND` seconds that it hears every commit: a listener that died, hangs on a stopped server
or lost its connection is noticed within that time, and the documents then ask the store.

After `fork()` the child inherits no listener thread, only the parent's connection: the feed
lets go of that connection without a word on it (the parent keeps using it) and starts a
listener of its own on first use.
"""

from __future__ import annotations

import json
import os
import threading
import time
import weakref
TYPE_CHECKING = False  # typing is imported by type checkers only: start-up time
if TYPE_CHECKING:
    import logging
    from typing import Any, Callable, Protocol

    class Store(Protocol):
        """What a feed listens to: a store (engine.py says what its `listen` does)."""

        def listen(self, feed: Feed) -> None: ...

    class Member(Protocol):
        """What joins a feed: told of every change (None: anything may have changed)."""

        def _changed(self, collection: str | None, key: str | None) -> None: ...



def _log() -> logging.Logger:
    import logging  # on first use: start-up time

    return logging.getLogger("zarn_engine.live")

BOUND = 1.0  # seconds a proof of hearing every commit is trusted
HEARTBEAT = 0.25  # seconds between proofs while nothing is heard
KICK = 2.5  # seconds without a proof after which a hanging connection is shut down

_feeds: dict[int, "Feed"] = {}
_feeds_lock = threading.RLock()  # reentrant: a dropped member's callback may run inside it


def _name(engine: Any) -> str:
    """The store as a log line names it: its file, or its URL without passwords."""
    return getattr(engine, "_where", None) or getattr(engine, "path", None) or type(engine).__name__


def _jitter() -> float:
    import random  # on first use: start-up time

    return random.uniform(0.5, 1.5)


def parse(payload: str) -> tuple[str | None, str | None]:
    """(collection, key) of a notification we sent; (None, None), meaning "anything may
    have changed", for any other payload: a forged one must never stop a listener."""
    try:
        value = json.loads(payload)
    except Exception:  # not JSON, nested too deep, ...
        return None, None
    if type(value) is list and len(value) == 2 and all(type(part) is str for part in value):
        return value[0], value[1]
    return None, None


class Feed:
    """The listener of one engine, shared by the live documents that joined it."""

    def __init__(self, engine: Store) -> None:
        self.engine = engine
        self._members: dict[int, weakref.ref[Member]] = {}
        self._reset()

    def _reset(self) -> None:
        self._lock = threading.Lock()
        self._stop = threading.Event()
        self._thread: threading.Thread | None = None
        self._connected = False
        self._alive_at = float("-inf")
        self._kick: Callable[[], None] | None = None
        self._abandon: Callable[[], None] | None = None
        self._failures = 0
        self._warned = False

    # --- membership ----------------------------------------------------------------------

    @staticmethod
    def join(engine: Store, member: Member) -> "Feed":
        """The feed of `engine`, with `member` (which has `_changed(collection, key)`)
        told of every change from now on."""
        with _feeds_lock:
            feed = _feeds.get(id(engine))
            if feed is None or feed.engine is not engine:
                feed = _feeds[id(engine)] = Feed(engine)
            feed._members[id(member)] = weakref.ref(member, feed._gone)
            feed._start()
        return feed

    def leave(self, member: Member) -> None:
        with _feeds_lock:
            self._members.pop(id(member), None)
            unused = self._unused()
        if unused:
            self.stop()

    def _gone(self, ref: weakref.ref[Member]) -> None:
        # A member dropped without leaving (this may run inside any code, as the collector
        # does): forget it, and when it was the last one let the thread end by itself.
        with _feeds_lock:
            for ident, other in list(self._members.items()):
                if other is ref:
                    del self._members[ident]
            unused = self._unused()
        if unused:
            self._stop.set()
            self.kick()

    def _unused(self) -> bool:  # under _feeds_lock
        if self._members:
            return False
        if _feeds.get(id(self.engine)) is self:
            del _feeds[id(self.engine)]
        return True

    def _start(self) -> None:
        with self._lock:
            if self._thread is None and not self._stop.is_set():
                self._thread = threading.Thread(target=self._run, name="zarn-live-feed", daemon=True)
                self._thread.start()

    def stop(self) -> None:
        """Stop the listener and close its connection (waits for it, at most a few seconds)."""
        self._stop.set()
        self.kick()
        thread = self._thread
        if thread is not None and thread is not threading.current_thread():
            thread.join(timeout=5)

    # --- what the live documents ask -----------------------------------------------------

    def fresh(self) -> bool:
        """True while every commit up to less than BOUND seconds ago has been passed on."""
        if self._connected:
            age = time.monotonic() - self._alive_at
            if age < BOUND:
                return True
            if age > KICK:
                self.kick()  # a connection that hangs (a stopped server): make it fail
        elif self._thread is None and self._members:
            self._start()  # the first use after fork()
        return False

    # --- what the listener reports (engines' `listen` call these) ------------------------

    @property
    def stopping(self) -> bool:
        return self._stop.is_set()

    def wait(self, seconds: float) -> bool:
        """Sleep; True when the feed is stopping."""
        return self._stop.wait(seconds)

    def attach(self, kick: Callable[[], None], abandon: Callable[[], None]) -> None:
        """The listener's connection: `kick` makes a call blocked on it fail at once; `abandon`
        lets it go in a child after fork() without a word to the server."""
        with self._lock:
            self._kick, self._abandon = kick, abandon
        if self._stop.is_set():
            kick()

    def detach(self) -> None:
        with self._lock:
            self._kick = self._abandon = None

    def up(self, since: float) -> None:
        """Listening from now on: whatever changed while nobody listened is reported as a
        change of everything; `since` is when the listener started to hear commits."""
        self.changed(None, None)
        self._connected = True
        self._alive_at = since
        if self._warned:
            _log().warning("change feed of %s is back", _name(self.engine))
        self._failures = 0
        self._warned = False

    def alive(self, since: float) -> None:
        """Every commit made before `since` (a monotonic time) has been passed on."""
        self._alive_at = since

    def down(self) -> None:
        self._connected = False

    def note(self, payload: str) -> None:
        self.changed(*parse(payload))

    def changed(self, collection: str | None, key: str | None) -> None:
        for ref in list(self._members.values()):
            member = ref()
            if member is not None:
                try:
                    member._changed(collection, key)
                except Exception:  # a member's fault must not silence the others
                    _log().exception("live document failed to take a change")

    def kick(self) -> None:
        with self._lock:
            kick = self._kick
        if kick is not None:
            try:
                kick()
            except Exception:
                pass

    # --- the listener thread -------------------------------------------------------------

    def _run(self) -> None:
        while not self._stop.is_set():
            try:
                self.engine.listen(self)
                self._stop.wait(HEARTBEAT)  # returned without stopping: never a busy loop
            except Exception as exc:
                self._connected = False
                if not self._warned:
                    self._warned = True
                    _log().warning("change feed of %s failed (%s: %s); live documents ask the store "
                                "until it is back", _name(self.engine), type(exc).__name__, exc)
                # Back off with jitter, so that the workers of a host do not reconnect at once.
                self._failures += 1
                delay = min(5.0, 0.05 * 2 ** min(self._failures, 7)) * _jitter()
                self._stop.wait(delay)
            finally:
                self._connected = False
        with self._lock:
            if self._thread is threading.current_thread():
                self._thread = None

    def _after_fork(self) -> None:
        abandon = self._abandon
        if abandon is not None:
            try:
                abandon()
            except Exception:
                pass
        self._reset()


def _after_fork_in_child() -> None:
    global _feeds_lock
    _feeds_lock = threading.RLock()
    for feed in list(_feeds.values()):
        feed._after_fork()


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_after_fork_in_child)
