"""The memory store: documents in a dict, for tests and tools."""

from __future__ import annotations

import threading
import time
from typing import TYPE_CHECKING, Any, Sequence

from .dump import Held, check, plan
from .engine import Engine, Write, chain_of, prune_below
from .errors import check_key, conflict

if TYPE_CHECKING:
    from .dump import Plan


class MemoryEngine(Engine):
    """Keeps documents in a dict, shared by the threads of one process; every call holds
    the lock, so that a read never meets a dict that another thread is changing."""

    def __init__(self, keep_changes: int | None = None, keep_days: float | None = None) -> None:
        self._retain(keep_changes, keep_days)
        # (collection, key) -> [snapshot text, its version, current version]
        self._docs: dict[tuple[str, str], list[Any]] = {}
        # (collection, key) -> change log: [version, time, who, change text or None]
        self._log: dict[tuple[str, str], list[list[Any]]] = {}
        # Last version of every key ever stored, deleted ones included: versions never restart.
        self._last: dict[tuple[str, str], int] = {}
        self._lock = threading.Lock()
        self._writes = 0

    def load(self, collection: str, key: str) -> tuple[str, int] | None:
        return self._whole(self.read(collection, key))

    def read(self, collection: str, key: str) -> tuple[str, int, int, list[tuple[int, str]]] | None:
        check_key(collection, key)
        with self._lock:
            found = self._docs.get((collection, key))
            if found is None:
                return None
            text, base, current = found
            rows = [(entry[0], entry[3]) for entry in self._log.get((collection, key), ()) if entry[0] > base]
        return text, base, current, rows

    def _log_entry(self, where: tuple[str, str], version: int, who: str | None, change: str | None) -> None:
        log = self._log.setdefault(where, [])
        log.append([version, time.time(), who, change])
        if len(log) > self.keep_changes + 64 or version % 64 == 0:
            self._prune(where)

    def _prune(self, where: tuple[str, str]) -> None:
        text, base, current = self._docs[where]
        below, before = prune_below(base, current, self.keep_changes, self.keep_days, time.time())
        self._log[where] = [e for e in self._log[where] if e[0] > base or (e[0] > below and e[1] >= before)]

    def save(self, collection: str, key: str, data: str, expected: int | None, who: str | None = None) -> int:
        check_key(collection, key)
        with self._lock:
            new = self._put(Write(collection, key, data, expected, who))
            self._writes += 1
            return new

    def commit(self, collection: str, key: str, change: str, expected: int, who: str | None = None) -> int:
        check_key(collection, key)
        with self._lock:
            new = self._put(Write(collection, key, change, expected, who, change=True))
            self._writes += 1
            return new

    def save_many(self, writes: Sequence[Write]) -> list[int]:
        for w in writes:
            check_key(w.collection, w.key)
        with self._lock:
            # What the writes touch, as it was: put back when one of them fails.
            wheres = {(w.collection, w.key) for w in writes}
            before = [(where, self._docs.get(where), self._log.get(where), self._last.get(where)) for where in wheres]
            saved = [(where, None if doc is None else list(doc), None if log is None else list(log), last)
                     for where, doc, log, last in before]
            try:
                versions = [self._put(w) for w in writes]
            except BaseException:
                for where, doc, log, last in saved:
                    self._docs.pop(where, None)
                    self._log.pop(where, None)
                    self._last.pop(where, None)
                    if doc is not None:
                        self._docs[where] = doc
                    if log is not None:
                        self._log[where] = log
                    if last is not None:
                        self._last[where] = last
                raise
            self._writes += 1
            return versions

    def _put(self, w: Write) -> int:
        """One write, under the lock: the version check, the document, its log entry."""
        where = (w.collection, w.key)
        found = self._docs.get(where)
        version = None if found is None else found[2]
        if version != w.expected or (w.change and found is None):
            raise conflict(w.collection, w.key, w.expected, version)
        if w.change:
            assert found is not None and w.expected is not None
            new = found[2] = w.expected + 1
        else:
            new = self._last.get(where, 0) + 1
            self._docs[where] = [w.data, new, new]
        self._last[where] = new
        self._log_entry(where, new, w.who, w.data if w.change else None)
        return new

    def rebase(self, collection: str, key: str, data: str, version: int) -> bool:
        check_key(collection, key)
        with self._lock:
            found = self._docs.get((collection, key))
            if found is None or found[1] >= version or found[2] < version:
                return False
            found[0], found[1] = data, version
            self._prune((collection, key))
            return True

    def changes_since(self, collection: str, key: str, version: int) -> list[tuple[int, str]] | None:
        check_key(collection, key)
        with self._lock:
            found = self._docs.get((collection, key))
            if found is None or found[2] < version:
                return None
            return chain_of([(e[0], e[3]) for e in self._log.get((collection, key), ())], version, found[2])

    def history(self, collection: str, key: str, since_version: int | None = None,
                since_time: float | None = None) -> list[dict[str, Any]]:
        check_key(collection, key)
        with self._lock:
            log = list(self._log.get((collection, key), ()))
        return [{"version": v, "time": t, "who": w, "change": c} for v, t, w, c in log
                if (since_version is None or v > since_version) and (since_time is None or t >= since_time)]

    def delete(self, collection: str, key: str, expected: int | None = None) -> bool:
        check_key(collection, key)
        with self._lock:
            found = self._docs.get((collection, key))
            if found is None:
                return False
            if expected is not None and found[2] != expected:
                raise conflict(collection, key, expected, found[2])
            del self._docs[(collection, key)]
            self._log.pop((collection, key), None)
            self._writes += 1
            return True

    def keys(self, collection: str) -> list[str]:
        check_key(collection, "")
        with self._lock:
            found = [k for c, k in self._docs if c == collection]
        return sorted(found)

    def version(self, collection: str, key: str) -> int | None:
        check_key(collection, key)
        with self._lock:
            found = self._docs.get((collection, key))
        return None if found is None else found[2]

    def dump(self) -> dict[str, Any]:
        with self._lock:
            docs = [{"collection": c, "key": k, "version": current, "base": base, "data": text,
                     "log": [list(entry) for entry in self._log.get((c, k), ())]}
                    for (c, k), (text, base, current) in sorted(self._docs.items())]
            retired = [[c, k, v] for (c, k), v in sorted(self._last.items()) if (c, k) not in self._docs]
        return {"documents": docs, "retired": retired}

    def restore(self, dump: dict[str, Any], who: str | None = None) -> Plan:
        check(dump)
        with self._lock:
            held = {where: Held(current, base, text, [e[3] for e in self._log.get(where, ()) if base < e[0] <= current])
                    for where, (text, base, current) in self._docs.items()}
            retired = {where: v for where, v in self._last.items() if where not in self._docs}
            todo = plan(dump, held, retired, {where for where, log in self._log.items() if log})
            for doc in todo.exact:
                where = (doc["collection"], doc["key"])
                self._docs[where] = [doc["data"], doc["base"], doc["version"]]
                self._log[where] = [list(row) for row in doc["log"]]
                self._last[where] = max(self._last.get(where, 0), doc["version"])
            for doc, version, text in todo.rewrite:
                where = (doc["collection"], doc["key"])
                self._docs[where] = [text, version, version]
                self._last[where] = version
                self._log_entry(where, version, who, None)
            for collection, key, version in todo.remove:
                del self._docs[(collection, key)]
                self._log.pop((collection, key), None)
            for collection, key, version in todo.retired:
                self._last[(collection, key)] = max(self._last.get((collection, key), 0), version)
            self._writes += 1
        return todo

    def change_token(self) -> int:
        return self._writes
