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

Stores also keep changes: `commit` writes what changed since version `expected` (one
transaction with the version check, plus an entry in the change log), never the whole
document. A store then holds the latest snapshot of each document (whole text, at its
version: what `load` returns) and the changes after it; `read` returns both (`load` the two made one), and a writer
that committed many changes since the snapshot writes a newer one with `rebase`: reads never write. The change log also serves
`changes_since` (live documents catching up) and `history`; entries up to the snapshot are
pruned by age and count (`keep_changes`, `keep_days`; the environment variables
ZARN_KEEP_CHANGES and ZARN_KEEP_DAYS set them for every store), never those after it.

`version` and `change_token` serve the live documents (see live.py): the first is one cheap
read, the second tells without a query that nothing changed since the last call on this
thread (None where the store cannot tell).
"""

from __future__ import annotations

import os
import time
import weakref

from .changes import materialize
from .errors import ConfigurationError, StorageError
from .schema import SCHEMA

TYPE_CHECKING = False  # typing is imported by type checkers only: start-up time
if TYPE_CHECKING:
    from typing import Any, Callable, Sequence

    from .dump import Plan
    from .feed import Feed

DEFAULT_PATH = "zarn.sqlite3"


# How many changes, and how many days of them, a store keeps at least for its history; and when
# a writer makes its document the new snapshot: more changes after the old one than
# REBASE_COUNT, or at least REBASE_LEAST whose size is more than the snapshot's / REBASE_SHARE.
KEEP_CHANGES = 10_000
KEEP_DAYS = 90.0
REBASE_COUNT = 200
REBASE_SHARE = 8
REBASE_LEAST = 16


def _retention(name: str, default: float) -> float:
    text = os.environ.get(name)
    if not text:
        return default
    try:
        value = float(text)
    except ValueError:
        value = -1.0
    if not value >= 0:
        raise ConfigurationError(f"{name}={text}: a number, 0 or more")
    return value


class Write:
    """One write of `Engine.save_many`: the arguments of a `save` (`data` the whole text), or of
    a `commit` when `change` (`data` the change's text)."""

    __slots__ = ("collection", "key", "data", "expected", "who", "change")

    def __init__(self, collection: str, key: str, data: str, expected: int | None, who: str | None = None,
                 change: bool = False) -> None:
        if change and expected is None:
            raise ValueError("a change is written over a stored version: expected is None")
        self.collection, self.key, self.data = collection, key, data
        self.expected, self.who, self.change = expected, who, change

    def __repr__(self) -> str:
        return (f"Write({self.collection!r}, {self.key!r}, {'change' if self.change else 'whole'},"
                f" expected={self.expected})")


class Engine:
    """Base of the stores; each store overrides every method."""

    keep_changes: int = KEEP_CHANGES
    keep_days: float = KEEP_DAYS
    # Moves whenever what the engine reads may no longer be the store it read before (a
    # database file replaced or removed, a server that failed over): versions read before
    # then say nothing about the content now, and live documents load again.
    epoch: int = 0
    # True for a store read from a replica, which lags its primary: never written, never
    # read in strict mode, and without a change feed (live.py).
    replica: bool = False

    def _retain(self, keep_changes: int | None = None, keep_days: float | None = None) -> None:
        """Set how long the change log keeps changes up to the snapshot (see the notes above)."""
        self.keep_changes = int(_retention("ZARN_KEEP_CHANGES", KEEP_CHANGES)) if keep_changes is None else keep_changes
        self.keep_days = _retention("ZARN_KEEP_DAYS", KEEP_DAYS) if keep_days is None else keep_days

    def __new__(cls, *args: Any, **kwargs: Any) -> "Engine":
        engine = super().__new__(cls)
        _engines.add(engine)  # told of fork(): see _after_fork
        return engine

    def _after_fork(self) -> None:
        """In a child after fork(): let go of the connections inherited from the parent,
        without a word on them (the parent goes on using them), and open new ones on use."""

    def migrate(self, finish: bool = False) -> tuple[int, int]:
        """Bring the store's tables to this software's schema (see schema.py); `finish`: the
        second phase. The schema's (version, oldest) afterwards; a store without tables of
        its own has nothing to migrate."""
        return SCHEMA, SCHEMA

    def load(self, collection: str, key: str) -> tuple[str, int] | None:
        """The stored (data, version), or None."""
        raise NotImplementedError

    def _whole(self, found: tuple[str, int, int, list[tuple[int, str]]] | None) -> tuple[str, int] | None:
        """`load`'s answer out of `read`'s: the snapshot with the changes after it applied."""
        if found is None:
            return None
        text, base, current, rows = found
        if base == current:
            return text, current
        chain = chain_of(rows, base, current)
        if chain is None:
            raise StorageError(f"the changes after the stored snapshot are missing (version {current})")
        return materialize(text, chain), current

    def save(self, collection: str, key: str, data: str, expected: int | None, who: str | None = None) -> int:
        """Write `data` over version `expected` (None: a new document); the new version. The
        change log notes it as a whole-document write by `who`."""
        raise NotImplementedError

    def commit(self, collection: str, key: str, change: str, expected: int, who: str | None = None) -> int:
        """Log `change` (changes.py) as the version after `expected`, with the version check;
        the new version. The snapshot is left as it is."""
        raise NotImplementedError

    def save_many(self, writes: Sequence[Write]) -> list[int]:
        """Make every write, each a `save` (whole text) or a `commit` (a change) with its own
        version check, in one transaction: all or none. The new versions, in order; a
        ConflictError on any check writes nothing. Each is logged and heard as its own."""
        raise NotImplementedError

    def read(self, collection: str, key: str) -> tuple[str, int, int, list[tuple[int, str]]] | None:
        """(snapshot text, its version, the current version, the changes after the snapshot
        in order), or None when there is no such document."""
        found = self.load(collection, key)
        return None if found is None else (found[0], found[1], found[1], [])

    def rebase(self, collection: str, key: str, data: str, version: int) -> bool:
        """Make `data`, the document at `version`, the snapshot, unless the stored one is as
        new; True when written. Never changes the current version."""
        return False

    def changes_since(self, collection: str, key: str, version: int) -> list[tuple[int, str]] | None:
        """The changes that lead from `version` to the current version, in order ([] when it
        is current); None when the log does not reach back that far, a whole document was
        written since, or there is no such document."""
        return None

    def history(self, collection: str, key: str, since_version: int | None = None,
                since_time: float | None = None) -> list[dict[str, Any]]:
        """The change log of a document, oldest first: dicts of version, time (seconds since
        the epoch), who, change (its text, None for a whole-document write)."""
        return []

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

    # Seconds between two reads of `change_token` while listening: a commit is served within
    # about this much (a token read costs microseconds).
    POLL = 0.005

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
            while not feed.wait(self.POLL):
                since = time.monotonic()
                token = self.change_token()
                if token is None or token != last:
                    feed.changed(None, None)
                last = token
                feed.alive(since)
        finally:
            self.close()  # this thread's connection

    def dump(self) -> dict[str, Any]:
        """Everything the store holds, as of one moment, as plain data (see dump.py): every
        document with its snapshot and change log, and the last versions of deleted keys."""
        raise StorageError(f"{type(self).__name__} cannot be dumped")

    def restore(self, dump: dict[str, Any], who: str | None = None) -> Plan:
        """Make the store hold what `dump` holds, in one transaction under its write lock,
        without handing out a version number again (see dump.py); what was written."""
        raise StorageError(f"{type(self).__name__} cannot be restored")

    def __copy__(self) -> "Engine":  # a store is one thing: copies of documents share it
        return self

    def __deepcopy__(self, memo: dict[int, Any]) -> "Engine":
        return self

    def close(self) -> None:
        """Release connections: this thread's (SQLite), or the pool's (PostgreSQL: those in
        use once they are given back). The store opens new ones on its next use."""


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


def chain_of(rows: Sequence[tuple[int, str | None]], start: int, end: int) -> list[tuple[int, str]] | None:
    """The changes start+1 .. end out of log rows (version, change) in ascending order; None
    unless every one is there and none is a whole-document write."""
    out: list[tuple[int, str]] = []
    expected = start + 1
    for version, change in rows:
        if version <= start:
            continue
        if version > end:
            break
        if version != expected or change is None:
            return None
        out.append((version, change))
        expected += 1
    return out if expected == end + 1 else None


def prune_below(base: int, current: int, keep_changes: int, keep_days: float, now: float) -> tuple[int, float]:
    """(version, time): log entries at or before `base` are dropped when their version is at
    most the first or their time before the second."""
    return min(base, current - keep_changes), now - keep_days * 86400.0
