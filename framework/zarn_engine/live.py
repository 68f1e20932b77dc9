"""Live documents: one instance per key, kept as fresh as the store.

`Live(RoleMatrix).get("shop")` answers with an instance that reflects every change committed
before the call began, from any process of any host, and keeps answering with the same
instance while nothing changed, so that queries keep their in-memory speed.

Two modes:
- "strict": every `get` asks the store whether the document changed: one read of the
  changes since the version held (none when it is current), or none at all where the store can tell that nothing was committed since (SQLite's
  `data_version`, the memory store's write count).
- "notify": `get` reads nothing while the store's change feed (feed.py: PostgreSQL
  LISTEN/NOTIFY, polling elsewhere) has proved within the last second that it hears every
  commit, and brings the documents it reported changed up to date. Without such a proof (no
  connection, a listener that hangs on a stopped server) `get` behaves as strict.

Freshness is kept by numbers, not flags: every change the feed reports takes the next
number, an entry remembers the number of the last change reported for it (`marked`) and the
number current just before the read that confirmed it (`seen`). An entry is trusted only
while nothing was reported for it after that read; a reload that fails leaves it untrusted,
so the next `get` tries again instead of serving the old instance.

A held instance is brought up to date by applying the changes committed since its version
(changes.py; each class's applier keeps what it derives from its fields in step), in place:
readers in other threads see each field wholly before or wholly after a change. It is
loaded again only when the change log does not reach back to its version.

`update` changes a private instance of its own, never the shared one: loaded by the first
update of a key, brought up to date from the log before each later one, and dropped when a
change fails (it may hold part of it). A change therefore costs what it changes, not a load.

An instance that changes for good may hold more than a fresh load of the same version would
(a class whose derived state keeps what its fields lost measures it, see
`changes.held_size`). Past GROWTH times its measure at its last load, plus SLACK, it is loaded
afresh: the shared instance by a thread in the background, which installs the new one only
at a version at least the held one's, in one step under the lock (a reader gets the old
instance or the new one, each whole); `update`'s copy by the next update, which loads it
instead of bringing it on.
"""

from __future__ import annotations

import os
import threading
import time

from . import persist
from .changes import advance, held_size, settled
from .changes import register_applier as register_applier
from .engine import Engine, get_engine
from .errors import ConfigurationError, ConflictError, DoesNotExist, StorageError, VersionNotReached
from .feed import Feed

TYPE_CHECKING = False  # typing is imported by type checkers only: start-up time
if TYPE_CHECKING:
    from typing import Any, Callable, Generic, TypeVar

    from .document import Document
else:
    class Generic:
        """Stands for typing.Generic at run time: `Live[RoleMatrix]` is `Live`."""

        def __class_getitem__(cls, item: object) -> type:
            return cls

    def TypeVar(name: str, bound: object = None) -> str:
        return name

D = TypeVar("D", bound="Document")
R = TypeVar("R")

MODES = ("strict", "notify")
VERSION_WAIT = 2.0  # seconds `get(at_least=...)` waits for a version the store has not reached
# A held instance is loaded afresh once its measure exceeds GROWTH times a fresh load's plus
# SLACK: a held instance stays within about GROWTH times the size of what it holds, and a
# document that only grows is loaded again once per doubling (each load amortised over as
# many changes as it held).
GROWTH = 2.0
SLACK = 64
_NEVER: tuple[Any, float] = (None, -1.0)  # no confirmation: no token, at no time


class _Entry(Generic[D]):
    __slots__ = ("doc", "version", "seen", "marked", "epoch")

    def __init__(self, doc: D, version: int, seen: int, epoch: int) -> None:
        self.doc = doc
        self.version = version
        self.seen = seen
        self.marked = 0
        self.epoch = epoch  # the engine's epoch before the read that loaded it


class Live(Generic[D]):
    """Current instances of one document class, by key; safe to share between threads.

    The instances it hands out are shared: read them, and change them only through
    `update`, which works on a private copy and so never disturbs a reader.
    """

    def __init__(self, document_class: type[D], consistency: str = "strict",
                 engine: Engine | None = None, retries: int = 20, version_wait: float = VERSION_WAIT) -> None:
        if consistency not in MODES:
            raise ValueError(f"consistency is one of {', '.join(MODES)}, not {consistency!r}")
        if type(retries) is not int or retries < 1:
            raise ValueError(f"retries is a number of attempts, at least 1, not {retries!r}")
        if type(version_wait) not in (int, float) or not 0 <= version_wait <= 3600:
            raise ValueError(f"version_wait is a number of seconds from 0 to 3600, not {version_wait!r}")
        self.document_class = document_class
        self.consistency = consistency
        self.engine = engine or get_engine()
        if self.engine.replica and consistency == "strict":
            raise ConfigurationError(
                "a replica lags its primary: strict reads need the primary; read a replica with "
                "consistency='notify', and pass at_least=version to read a version known to be committed")
        self.retries = retries
        self.version_wait = float(version_wait)
        self._collection = document_class._collection()
        self._entries: dict[str, _Entry[D]] = {}
        # By key: the private instance that `update` changes, and the engine's epoch it was read in.
        self._writers: dict[str, tuple[D, int]] = {}
        self._lock = threading.RLock()
        self._local = threading.local()  # per thread: see _checked
        self._seq = 0  # changes reported by the feed so far (written by its thread only)
        self._feed: Feed | None = None
        if consistency == "notify" and not self.engine.replica:  # a standby runs no LISTEN: every get asks it
            self._feed = Feed.join(self.engine, self)
        # Whether the feed polls the store's token (the default listener), which readers then
        # read too when they have not for a polling interval.
        self._polling = (self._feed is not None and type(self.engine).listen is Engine.listen
                         and type(self.engine).change_token is not Engine.change_token)
        # Keys whose shared instance a background load replaces, with the process that runs it
        # (a child after fork() has no such thread).
        self._refreshing: dict[str, int] = {}
        self._refresher: threading.Thread | None = None
        self._refresh_inline = False  # load afresh in the reader's call instead (tests)
        # Keys whose snapshot a background thread makes (see `_compact_later`), with its process.
        self._compacting: dict[str, int] = {}
        self._compactor: threading.Thread | None = None

    @property
    def listening(self) -> bool:
        """True while `get` may answer without asking the store (notify mode, feed proven)."""
        return self._feed is not None and self._feed.fresh()

    # --- reading -------------------------------------------------------------------------

    def get(self, key: str, at_least: int | None = None) -> D:
        """The current instance of `key`; DoesNotExist when there is none.

        `at_least`: a version the caller knows was committed (what `save` returned, here or
        in another service): in notify mode, the held instance is returned without a read
        once it is that version or newer; otherwise the store is asked, again and again
        for up to `version_wait` seconds while it is behind that version (a replica that
        has not replayed it yet), and VersionNotReached when it stays behind."""
        if at_least is None:
            return self._get(key, None).doc
        if type(at_least) is not int:
            raise TypeError(f"at_least is a version number, an int, not {type(at_least).__name__}")
        if at_least < 0:
            raise ValueError(f"at_least is a version number, 0 or more, not {at_least}")
        entry = self._get(key, at_least)
        if entry.version >= at_least:
            return entry.doc
        deadline = time.monotonic() + self.version_wait
        delay = 0.002
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                raise VersionNotReached(
                    f"{self.document_class.__name__} {key!r} is at version {entry.version} in the store, "
                    f"not yet at version {at_least}, still after {self.version_wait:g} s: that version "
                    "was never committed there, or this store (a replica) has not received it yet")
            time.sleep(min(delay, left))
            delay = min(delay * 2, 0.05)
            entry = self._get(key, at_least)
            if entry.version >= at_least:
                return entry.doc

    def _get(self, key: str, at_least: int | None) -> _Entry[D]:
        for _ in range(3):
            entry = self._get_once(key, at_least)
            if entry.epoch == self.engine.epoch:
                return entry
            # The store was found to be another one (a failover, a file replaced) by a read
            # made for this entry: it may be of the old one, read again.
        raise StorageError(f"the store of {self.document_class.__name__} {key!r} kept changing under the read "
                           "(failovers or replaced files): try again")

    def _get_once(self, key: str, at_least: int | None) -> _Entry[D]:
        feed = self._feed
        engine = self.engine
        # The feed's proof first, then the marks: a proof covers the marks made before it.
        fresh = feed is not None and feed.fresh()
        entry = self._entries.get(key)
        if (fresh and entry is not None and entry.marked <= entry.seen and entry.epoch == engine.epoch
                and (at_least is None or entry.version >= at_least)):
            # A polling feed's thread waits for the interpreter lock behind busy readers, up
            # to a switch interval for each read it makes: a reader that has not read the
            # store's token itself for a polling interval does, which costs it microseconds.
            if not self._polling or time.monotonic() - self._checked().get(key, _NEVER)[1] < engine.POLL:
                return entry
        checked = self._checked()
        now = time.monotonic() if self._polling else 0.0
        seq = self._seq  # before any read: what is reported later may not be in it
        token = engine.change_token()
        epoch = engine.epoch  # after the token's read, which notices a store replaced; before the others
        if entry is not None and entry.epoch != epoch:
            entry = None  # read from another store (a replaced file, a failover): load again
        elif entry is not None and token is not None and checked.get(key, _NEVER)[0] == token:
            # Nothing committed since this thread last confirmed the entry.
            if entry.seen < seq:
                entry.seen = seq
            checked[key] = (token, now)
            return entry
        if entry is not None and self._catch_up(key, entry, seq):
            if token is not None:
                checked[key] = (token, now)
            return entry
        version = engine.version(self._collection, key)
        if version is None:
            self._drop(key)
            raise DoesNotExist(f"{self.document_class.__name__} {key!r} does not exist")
        with self._lock:
            entry = self._entries.get(key)
            if entry is None or entry.version != version or entry.epoch != epoch:
                doc = self._load(key)
                entry = self._install(key, doc, seq, epoch)
            elif entry.seen < seq:
                entry.seen = seq
        if token is not None:
            checked[key] = (token, now)
        return entry

    def _catch_up(self, key: str, entry: _Entry[D], seq: int) -> bool:
        """Bring the held instance up to the stored version by applying the changes since its
        own (one read); False when that cannot be done (the log does not reach back, the
        document was deleted or written whole, a change does not apply), for a reload."""
        found = self.engine.changes_since(self._collection, key, entry.version)
        if found is None:
            return False
        with self._lock:
            if self._entries.get(key) is not entry:
                return False  # replaced meanwhile: decide again
            # Another thread (a writer bringing it to its own save, a reader) may have applied
            # some of them meanwhile: the rest, or none when it is as new as what was read.
            found = [change for change in found if change[0] > entry.version]
            if found and entry.version == found[0][0] - 1:
                try:
                    advance(entry.doc, found)
                except Exception:
                    # Applied up to a change that does not apply: the instance is consistent at
                    # the version it reached, and a reload replaces it.
                    entry.version = entry.doc.version  # type: ignore[assignment]  # stored: never None
                    return False
                entry.version = found[-1][0]
            elif found:
                return False
            if entry.seen < seq:
                entry.seen = seq
        if found and self._grown(entry.doc):
            self._refresh(key)
        return True

    # --- size ----------------------------------------------------------------------------

    def _load(self, key: str) -> D:
        """The stored document, loaded afresh, with its measure noted (see `_grown`)."""
        doc = self.document_class.load(key, engine=self.engine)
        size = held_size(doc)
        if size is not None:
            doc.__dict__["_held_fresh"] = size
        return doc

    def _grown(self, doc: D) -> bool:
        """Whether changes applied made the instance hold too much more than a fresh load."""
        size = held_size(doc)
        if size is None:
            return False
        fresh: int = doc.__dict__.setdefault("_held_fresh", size)
        return size > fresh * GROWTH + SLACK

    def _refresh(self, key: str) -> None:
        """Replace the shared instance of `key` by a fresh load, in the background (one
        thread at a time per live document)."""
        pid = os.getpid()
        with self._lock:
            if self._refreshing.get(key) == pid:
                return
            self._refreshing[key] = pid
        if self._refresh_inline:
            self._replace(key)
            return
        thread = threading.Thread(target=self._replace, args=(key, True), name="zarn-live-refresh", daemon=True)
        self._refresher = thread
        thread.start()

    def _replace(self, key: str, background: bool = False) -> None:
        """Load `key` afresh and install it in one step, at a version no older than the
        held instance's; anything that fails leaves the held instance as it is (the next
        change applied tries again). `background`: on a thread of its own, whose connection
        ends with it."""
        try:
            epoch = self.engine.epoch  # before the load: a store replaced meanwhile is not installed
            doc = self._load(key)
            for _ in range(5):
                with self._lock:
                    entry = self._entries.get(key)
                    if entry is None or entry.epoch != epoch or self.engine.epoch != epoch:
                        return  # dropped or from another store meanwhile: the next get loads it
                    if doc.version >= entry.version:  # type: ignore[operator]  # loaded: never None
                        fresh = _Entry(doc, doc.version, entry.seen, epoch)  # type: ignore[arg-type]
                        fresh.marked = entry.marked  # what was reported for the held one stands
                        doc.__dict__.pop("_changes_base", None)
                        self._entries[key] = fresh
                        return
                found = self.engine.changes_since(self._collection, key, doc.version)  # type: ignore[arg-type]
                if not found or found[0][0] != doc.version + 1:  # type: ignore[operator]
                    return
                advance(doc, found)
        except Exception:
            pass  # kept as it is: correct, only larger
        finally:
            with self._lock:
                self._refreshing.pop(key, None)
            if background:
                self.engine.close()

    def _compact_later(self, collection: str, key: str, version: int) -> bool:
        """Called by the save of an update when the changes after the stored snapshot call
        for a new one (persist.py): made from the shared instance by a thread of its own (one
        at a time per key and process), not in the save, where writing the whole document
        would hold up the writer and everyone waiting for it. True when taken."""
        if collection != self._collection:
            return False
        pid = os.getpid()
        with self._lock:
            if self._compacting.get(key) == pid:
                return True  # one is on its way: it makes the snapshot as new as it finds
            self._compacting[key] = pid
        if self._refresh_inline:
            self._compact(key, version)
            return True
        thread = threading.Thread(target=self._compact, args=(key, version, True), name="zarn-live-compact",
                                  daemon=True)
        self._compactor = thread
        thread.start()
        return True

    def _compact(self, key: str, version: int, background: bool = False) -> None:
        """Write the shared instance of `key` as the stored snapshot, once it reached `version`
        (the writer brings it there after its save) or after a second. Its lists are copied
        as of one version, then written: the shared instance's records are never changed in
        place. A failure leaves the store as it is: a later writer asks again."""
        try:
            deadline = time.monotonic() + 1.0
            while True:
                entry = self._entries.get(key)
                if entry is None or entry.version >= version or time.monotonic() > deadline:
                    break
                time.sleep(0.005)
            if entry is None:
                return
            doc = entry.doc
            at, values = settled(doc, lambda: (doc.version, [v[:] if type(v) is list else v for v in doc._values()]))
            if at is None:
                return
            self.engine.rebase(self._collection, key, doc._to_stored(values), at)
        except Exception:
            pass  # the changes stay in the log: loads apply them, a later writer asks again
        finally:
            with self._lock:
                self._compacting.pop(key, None)
            if background:
                self.engine.close()

    def peek(self, key: str) -> D | None:
        """The instance `get` would answer with without asking the store, or None when `get`
        would ask it (strict mode, a change reported, a feed without a recent proof, a key
        never read). Never reads anything: for callers that must not block, such as an
        event loop, which then call `get` elsewhere."""
        feed = self._feed
        fresh = feed is not None and feed.fresh()  # the proof first: it covers the marks before it
        entry = self._entries.get(key)
        if fresh and entry is not None and entry.marked <= entry.seen and entry.epoch == self.engine.epoch:
            return entry.doc
        return None

    def _install(self, key: str, doc: D, seq: int, epoch: int) -> _Entry[D]:
        """Make `doc`, read after change number `seq` in the engine's `epoch`, the current
        instance (under _lock)."""
        entry = _Entry(doc, doc.version, seq, epoch)  # type: ignore[arg-type]  # loaded or saved: never None
        doc.__dict__.pop("_changes_base", None)  # held, never saved: no snapshot for a save to diff
        self._entries[key] = entry
        if self._seq != seq:
            # Reported while reading, perhaps to the entry this one replaces: check again.
            entry.marked = self._seq
        return entry

    def _checked(self) -> dict[str, tuple[Any, float]]:
        """Per thread: key -> (the store's token when this thread last confirmed the entry,
        when that was; 0.0 unless the feed polls)."""
        checked = getattr(self._local, "checked", None)
        if checked is None:
            checked = self._local.checked = {}
        return checked

    def _drop(self, key: str) -> None:
        with self._lock:
            self._entries.pop(key, None)
            self._writers.pop(key, None)

    # --- writing -------------------------------------------------------------------------

    def update(self, key: str, change: Callable[[D], R]) -> R:
        """Run `change(instance)` on a private copy of the current document, commit it as one
        save (the saves it makes itself are held back until it returns) and bring the current
        instance up to the version saved. All or nothing: when `change` raises, nothing of it
        is stored. On ConflictError (another writer came first) `change` runs again on the
        document as it is then, up to `retries` times. The instance `change` gets is the
        update's own, kept for the next update: keep no reference to it."""
        for attempt in range(self.retries):
            seq = self._seq  # before the commit: a change reported from here on may be newer
            epoch = self.engine.epoch
            doc = self._writer(key, epoch)
            doc.__dict__["_compact_later"] = self._compact_later
            try:
                with doc.batch():
                    result = change(doc)
                    if doc.key != key:  # it would be stored as another document, held as this one
                        raise ValueError(f"a change made in update() cannot change the key {key!r}"
                                         f" (to {doc.key!r}): nothing was saved")
                    doc.save()  # a change that saved nothing is saved too
            except ConflictError:
                if attempt == self.retries - 1:
                    raise
                # Another writer came first: wait a little, longer each time, so that
                # writers that keep colliding spread out.
                import random  # on first conflict: start-up time

                time.sleep(random.uniform(0, 0.001 * 2 ** min(attempt, 7)))
                continue
            self._saved(key, doc, seq, epoch)
            return result
        raise ConflictError(f"{self.document_class.__name__} {key!r} kept changing")  # retries >= 1

    def _writer(self, key: str, epoch: int) -> D:
        """A private instance of `key` at the stored version, for one update: the one kept
        from the last update (read in this `epoch` of the engine) brought up to date from the
        log, else one loaded. Nobody else holds it until it is given back (`_saved`); an
        update running meanwhile loads its own."""
        with self._lock:
            kept = self._writers.pop(key, None)
        doc = kept[0] if kept is not None and kept[1] == epoch else None
        if doc is not None and not self._grown(doc):
            version = doc.version
            found = self.engine.changes_since(self._collection, key, version) if version is not None else None
            if found is not None and (not found or found[0][0] == version + 1):  # type: ignore[operator]
                try:
                    if found:
                        advance(doc, found)
                        persist.remember(doc, key, found[-1][0], self.engine)
                    return doc
                except Exception:
                    pass  # a change that does not apply: a load makes the copy anew
        return self._load(key)

    def _saved(self, key: str, doc: D, seq: int, epoch: int) -> None:
        """After `doc` was saved by an update that began after change number `seq` in the
        engine's `epoch`: the current instance brought up to its version (or `doc` made the
        current instance, where none is held or the log cannot bring it on), and `doc` kept
        for the next update when it is not the current instance."""
        version: int = doc.version  # type: ignore[assignment]  # saved: never None
        if epoch != self.engine.epoch:
            return  # the store changed under the update: the next read loads what is there
        entry = self._entries.get(key)
        if entry is not None and entry.epoch != epoch:
            entry = None
        if entry is not None and entry.version < version:
            try:
                if self._catch_up(key, entry, seq):
                    entry = self._entries.get(key)
            except StorageError:
                pass  # the change is committed all the same: `doc` becomes the current instance
        with self._lock:
            if entry is None or entry is not self._entries.get(key) or entry.version < version:
                current = self._entries.get(key)
                if current is None or current.version < version or current.epoch != epoch:
                    self._install(key, doc, seq, epoch)
                    return
            kept = self._writers.get(key)
            if kept is None or kept[1] != epoch or (kept[0].version or 0) < version:
                self._writers[key] = (doc, epoch)

    # --- notifications -------------------------------------------------------------------

    def _changed(self, collection: str | None, key: str | None) -> None:
        """Called by the feed's thread for every change it hears (None: anything)."""
        if collection is not None and collection != self._collection:
            return
        self._seq += 1
        seq = self._seq
        entry: _Entry[D] | None
        if collection is None or type(key) is not str:
            for entry in list(self._entries.values()):
                entry.marked = seq
        else:
            entry = self._entries.get(key)
            if entry is not None:
                entry.marked = seq

    def close(self) -> None:
        """Leave the change feed (its listener stops with the last live document on the
        store); the instances already handed out stay usable."""
        feed, self._feed = self._feed, None
        with self._lock:
            self._writers.clear()
        if feed is not None:
            feed.leave(self)

    def __enter__(self) -> "Live[D]":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()
