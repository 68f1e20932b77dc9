"""What a store must do for documents, and the default store of the process.

A store keeps documents as JSON text under (collection, key), each with a version number.
Every store keeps these promises:

- a save writes a whole document or nothing;
- a save names the version it replaces (None for a new document) and raises ConflictError,
  writing nothing, when the stored version is another one;
- versions of a key only grow, also across a delete and a new document under the same key,
  so that a holder of an old version can never overwrite a newer document;
- a delete may name the version it removes, with the same check;
- every failure leaves as a StorageError (errors.py) that says what happened, whatever the
  driver raised; collections and keys are strings without NUL characters or lone
  surrogates, on every store alike (InvalidKey).

`version` and `change_token` serve the live documents (see live.py): the first is one cheap
read, the second tells without a query that nothing changed since the last call on this
thread (None where the store cannot tell).
"""

from __future__ import annotations

import os
import time
import weakref
TYPE_CHECKING = False  # typing is imported by type checkers only: start-up time
if TYPE_CHECKING:
    from typing import Any, Callable

    from .feed import Feed

DEFAULT_PATH = "zarn.sqlite3"


class Engine:
    """Base of the stores; each store overrides every method."""

    def __new__(cls, *args: Any, **kwargs: Any) -> "Engine":
        engine = super().__new__(cls)
        _engines.add(engine)  # told of fork(): see _after_fork
        return engine

    def _after_fork(self) -> None:
        """In a child after fork(): let go of the connections inherited from the parent,
        without a word on them (the parent goes on using them), and open new ones on use."""

    def load(self, collection: str, key: str) -> tuple[str, int] | None:
        """The stored (data, version), or None."""
        raise NotImplementedError

    def save(self, collection: str, key: str, data: str, expected: int | None) -> int:
        """Write `data` over version `expected` (None: a new document); the new version."""
        raise NotImplementedError

    def delete(self, collection: str, key: str, expected: int | None = None) -> bool:
        """Remove the document (only version `expected`, when given); True when there was one."""
        raise NotImplementedError

    def keys(self, collection: str) -> list[str]:
        """The keys of the collection's documents, sorted."""
        raise NotImplementedError

    def version(self, collection: str, key: str) -> int | None:
        """The stored version, or None when there is no such document."""
        found = self.load(collection, key)
        return None if found is None else found[1]

    def change_token(self) -> Any:
        """A value that differs from the previous call's on this thread whenever anything may
        have been committed since; None when the store cannot tell."""
        return None

    def listen(self, feed: Feed) -> None:
        """Hear commits until `feed.stopping`, reporting them to the feed: `feed.up(t)` once
        listening, `feed.note(payload)` or `feed.changed(collection, key)` for each commit
        (None, None: anything may have changed), `feed.alive(t)` whenever every commit made
        before monotonic time `t` has been reported. Raise on any failure: the feed backs
        off and calls again. The default polls `change_token` on the feed's thread."""
        try:
            since = time.monotonic()
            last = self.change_token()  # read before reporting up: no commit falls between
            feed.up(since)
            while not feed.wait(0.05):
                since = time.monotonic()
                token = self.change_token()
                if token is None or token != last:
                    feed.changed(None, None)
                last = token
                feed.alive(since)
        finally:
            self.close()  # this thread's connection

    def __copy__(self) -> "Engine":  # a store is one thing: copies of documents share it
        return self

    def __deepcopy__(self, memo: dict[int, Any]) -> "Engine":
        return self

    def close(self) -> None:
        """Release this thread's connections."""


_engine: Engine | None = None
_engines: "weakref.WeakSet[Engine]" = weakref.WeakSet()
# Connections inherited across fork(): kept, never used or closed, in the child.
_inherited: list[Any] = []


def _after_fork_in_child() -> None:
    for engine in list(_engines):
        try:
            engine._after_fork()
        except Exception:  # a child must start whatever one store left behind
            pass


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_after_fork_in_child)
# How get_engine opens the default store: the URL factory (urls.py) registers itself here, so
# that this module, which every store imports, imports none of them.
_opener: Callable[[str], Engine] | None = None


def use_engine(engine: Engine | None) -> Engine | None:
    """Make `engine` the default for documents; returns the previous one."""
    global _engine
    previous, _engine = _engine, engine
    return previous


def get_engine() -> Engine:
    """The default engine; the store named by ZARN_DB, or a SQLite file in the working
    directory, unless one was set."""
    global _engine
    if _engine is None:
        if _opener is None:
            raise RuntimeError("no store factory registered: import zarn_engine")
        _engine = _opener(os.environ.get("ZARN_DB", DEFAULT_PATH))
    return _engine
