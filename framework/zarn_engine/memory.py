"""The memory store: documents in a dict, for tests and tools."""

from __future__ import annotations

import threading

from .engine import Engine
from .errors import check_key, conflict


class MemoryEngine(Engine):
    """Keeps documents in a dict, shared by the threads of one process; every call holds
    the lock, so that a read never meets a dict that another thread is changing."""

    def __init__(self) -> None:
        self._docs: dict[tuple[str, str], tuple[str, int]] = {}
        # Last version of every key ever stored, deleted ones included: versions never restart.
        self._last: dict[tuple[str, str], int] = {}
        self._lock = threading.Lock()
        self._writes = 0

    def load(self, collection, key):
        check_key(collection, key)
        with self._lock:
            return self._docs.get((collection, key))

    def save(self, collection, key, data, expected):
        check_key(collection, key)
        with self._lock:
            found = self._docs.get((collection, key))
            version = None if found is None else found[1]
            if version != expected:
                raise conflict(collection, key, expected, version)
            new = self._last.get((collection, key), 0) + 1
            self._docs[(collection, key)] = (data, new)
            self._last[(collection, key)] = new
            self._writes += 1
            return new

    def delete(self, collection, key, expected=None):
        check_key(collection, key)
        with self._lock:
            found = self._docs.get((collection, key))
            if found is None:
                return False
            if expected is not None and found[1] != expected:
                raise conflict(collection, key, expected, found[1])
            del self._docs[(collection, key)]
            self._writes += 1
            return True

    def keys(self, collection):
        check_key(collection, "")
        with self._lock:
            found = [k for c, k in self._docs if c == collection]
        return sorted(found)

    def version(self, collection, key):
        check_key(collection, key)
        with self._lock:
            found = self._docs.get((collection, key))
        return None if found is None else found[1]

    def change_token(self):
        return self._writes
