"""Live documents: one instance per key, kept as fresh as the store.

`Live(RoleMatrix).get("shop")` answers with an instance that reflects every change committed
before the call began, from any process of any host, and keeps answering with the same
instance while nothing changed, so that queries keep their in-memory speed.

Two modes:
- "strict": every `get` asks the store whether the document changed: one version read, or
  none at all where the store can tell that nothing was committed since (SQLite's
  `data_version`, the memory store's write count).
- "notify": `get` reads nothing; a listener thread marks the documents that changed
  (PostgreSQL LISTEN/NOTIFY; polling elsewhere) and `get` reloads those. While the listener
  has no connection, `get` behaves as strict, and every held document is checked again
  once the listener is back.
"""

from __future__ import annotations

import random
import threading
import time
from typing import Any, Callable, Generic, TypeVar

from .engine import Engine, get_engine
from .errors import ConflictError, DoesNotExist

D = TypeVar("D")

MODES = ("strict", "notify")


class _Entry:
    __slots__ = ("doc", "version", "dirty")

    def __init__(self, doc: Any, version: int) -> None:
        self.doc = doc
        self.version = version
        self.dirty = False


class Live(Generic[D]):
    """Current instances of one document class, by key; safe to share between threads.

    The instances it hands out are shared: read them, and change them only through
    `update`, which works on a fresh copy and so never disturbs a reader.
    """

    def __init__(self, document_class: type[D], consistency: str = "strict",
                 engine: Engine | None = None, retries: int = 20) -> None:
        if consistency not in MODES:
            raise ValueError(f"consistency is one of {', '.join(MODES)}, not {consistency!r}")
        self.document_class = document_class
        self.consistency = consistency
        self.engine = engine or get_engine()
        self.retries = retries
        self._collection = document_class._collection()  # type: ignore[attr-defined]
        self._entries: dict[str, _Entry] = {}
        self._lock = threading.RLock()
        self._local = threading.local()  # per thread: key -> change token it was checked at
        self._listening = False
        self._notified = 0  # changes reported by the listener so far
        self._stop = threading.Event()
        self._listener: threading.Thread | None = None
        if consistency == "notify":
            self._listener = threading.Thread(target=self._listen, name="zarn-live-listener", daemon=True)
            self._listener.start()

    # --- reading -------------------------------------------------------------------------

    def get(self, key: str) -> D:
        """The current instance of `key`; DoesNotExist when there is none."""
        entry = self._entries.get(key)
        if entry is not None and self.consistency == "notify" and self._listening and not entry.dirty:
            return entry.doc
        token = self.engine.change_token()
        checked = self._checked()
        if entry is not None and token is not None and checked.get(key) == token and not entry.dirty:
            return entry.doc
        if entry is not None:
            entry.dirty = False  # a notification arriving from here on marks it again
        version = self.engine.version(self._collection, key)
        if version is None:
            self._drop(key)
            raise DoesNotExist(f"{self.document_class.__name__} {key!r} does not exist")
        with self._lock:
            entry = self._entries.get(key)
            if entry is None or entry.version != version:
                entry = self._load(key)
        if token is not None:
            checked[key] = token
        return entry.doc

    def _load(self, key: str) -> _Entry:
        notified = self._notified
        doc = self.document_class.load(key, engine=self.engine)  # type: ignore[attr-defined]
        entry = _Entry(doc, doc.__dict__["_stored"][1])
        self._entries[key] = entry
        if self._notified != notified:
            entry.dirty = True  # a change reported while loading may not be in what was read
        return entry

    def _checked(self) -> dict[str, Any]:
        checked = getattr(self._local, "checked", None)
        if checked is None:
            checked = self._local.checked = {}
        return checked

    def _drop(self, key: str) -> None:
        with self._lock:
            self._entries.pop(key, None)

    # --- writing -------------------------------------------------------------------------

    def update(self, key: str, change: Callable[[D], Any]) -> Any:
        """Run `change(instance)` on a fresh copy of the current document and keep its result
        as the current instance. A change that does not save is saved here. On ConflictError
        (another writer came first) the document is loaded again and `change` run again, up
        to `retries` times; any other exception drops the copy and propagates."""
        for attempt in range(self.retries):
            doc = self.document_class.load(key, engine=self.engine)  # type: ignore[attr-defined]
            loaded = doc.__dict__["_stored"][1]
            try:
                result = change(doc)
                if doc.__dict__["_stored"][1] == loaded:
                    doc.save(engine=self.engine)  # type: ignore[attr-defined]
            except ConflictError:
                if attempt == self.retries - 1:
                    raise
                # Another writer came first: wait a little, longer each time, so that
                # writers that keep colliding spread out.
                time.sleep(random.uniform(0, 0.001 * 2 ** min(attempt, 7)))
                continue
            except BaseException:
                self._drop(key)
                raise
            with self._lock:
                current = self._entries.get(key)
                version = doc.__dict__["_stored"][1]
                if current is None or current.version < version:
                    self._entries[key] = _Entry(doc, version)
            return result
        raise AssertionError("unreachable")

    # --- notifications -------------------------------------------------------------------

    def _listen(self) -> None:
        try:
            self.engine.listen(self._changed, self._state, self._stop)
        finally:
            self._listening = False

    def _changed(self, collection: str | None, key: str | None) -> None:
        self._notified += 1
        if collection is None:
            for entry in list(self._entries.values()):
                entry.dirty = True
        elif collection == self._collection:
            entry = self._entries.get(key)  # type: ignore[arg-type]
            if entry is not None:
                entry.dirty = True

    def _state(self, connected: bool) -> None:
        if connected:
            # Whatever changed while nobody listened: check every held document again.
            self._changed(None, None)
        self._listening = connected

    def close(self) -> None:
        """Stop the listener; the instances already handed out stay usable."""
        self._stop.set()
        if self._listener is not None:
            self._listener.join(timeout=5)

    def __enter__(self) -> "Live[D]":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()
