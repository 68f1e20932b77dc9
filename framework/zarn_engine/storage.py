"""Storage engines: SQLite (the default) and memory, behind one small interface.

Documents are stored as JSON text under (collection, key) with a version number; a save
names the version it expects to replace, so that concurrent writers never silently
overwrite each other's changes.
"""

from __future__ import annotations

import os
import sqlite3
import threading

DEFAULT_PATH = "zarn.sqlite3"


class Engine:
    """What documents need of a store."""

    def load(self, collection: str, key: str) -> tuple[str, int] | None:
        raise NotImplementedError

    def save(self, collection: str, key: str, data: str, expected: int | None) -> int:
        """Write `data`; `expected` is the stored version being replaced (None: a new one)."""
        raise NotImplementedError

    def delete(self, collection: str, key: str) -> bool:
        raise NotImplementedError

    def keys(self, collection: str) -> list[str]:
        raise NotImplementedError


def _conflict(collection, key, expected, found):
    from .document import ConflictError

    if expected is None:
        return ConflictError(f"{collection} {key!r} exists already (version {found})")
    if found is None:
        return ConflictError(f"{collection} {key!r} was deleted since version {expected}")
    return ConflictError(f"{collection} {key!r} changed: expected version {expected}, found {found}")


class MemoryEngine(Engine):
    """Keeps documents in a dict; for tests and tools."""

    def __init__(self):
        self._docs: dict[tuple[str, str], tuple[str, int]] = {}
        self._lock = threading.Lock()

    def load(self, collection, key):
        return self._docs.get((collection, key))

    def save(self, collection, key, data, expected):
        with self._lock:
            found = self._docs.get((collection, key))
            version = None if found is None else found[1]
            if version != expected:
                raise _conflict(collection, key, expected, version)
            new = (version or 0) + 1
            self._docs[(collection, key)] = (data, new)
            return new

    def delete(self, collection, key):
        with self._lock:
            return self._docs.pop((collection, key), None) is not None

    def keys(self, collection):
        return sorted(k for c, k in self._docs if c == collection)


class SQLiteEngine(Engine):
    """One SQLite database file, in WAL mode; every write is one immediate transaction."""

    def __init__(self, path: str | os.PathLike, timeout: float = 30.0):
        self.path = os.fspath(path)
        self.timeout = timeout
        self._local = threading.local()
        with self._write() as conn:
            conn.execute("CREATE TABLE IF NOT EXISTS documents ("
                         " collection TEXT NOT NULL, key TEXT NOT NULL,"
                         " version INTEGER NOT NULL, data TEXT NOT NULL,"
                         " PRIMARY KEY (collection, key))")

    def _conn(self) -> sqlite3.Connection:
        """This thread's connection."""
        conn = getattr(self._local, "conn", None)
        if conn is None:
            # Autocommit mode: transactions are begun explicitly, IMMEDIATE for writes, so
            # that a writer waits on the busy timeout instead of failing on upgrade.
            conn = sqlite3.connect(self.path, timeout=self.timeout, isolation_level=None)
            conn.execute(f"PRAGMA busy_timeout = {int(self.timeout * 1000)}")
            conn.execute("PRAGMA journal_mode = WAL")
            # FULL: a commit is on disk before save() returns, power loss included.
            conn.execute("PRAGMA synchronous = FULL")
            self._local.conn = conn
        return conn

    def _write(self) -> "_Transaction":
        return _Transaction(self._conn())

    def load(self, collection, key):
        conn = self._conn()
        row = conn.execute("SELECT data, version FROM documents WHERE collection = ? AND key = ?",
                           (collection, key)).fetchone()
        return None if row is None else (row[0], row[1])

    def save(self, collection, key, data, expected):
        with self._write() as conn:
            row = conn.execute("SELECT version FROM documents WHERE collection = ? AND key = ?",
                               (collection, key)).fetchone()
            version = None if row is None else row[0]
            if version != expected:
                raise _conflict(collection, key, expected, version)
            new = (version or 0) + 1
            conn.execute("INSERT INTO documents (collection, key, version, data) VALUES (?, ?, ?, ?)"
                         " ON CONFLICT (collection, key) DO UPDATE"
                         " SET version = excluded.version, data = excluded.data",
                         (collection, key, new, data))
            return new

    def delete(self, collection, key):
        with self._write() as conn:
            cur = conn.execute("DELETE FROM documents WHERE collection = ? AND key = ?",
                               (collection, key))
            return cur.rowcount > 0

    def keys(self, collection):
        conn = self._conn()
        rows = conn.execute("SELECT key FROM documents WHERE collection = ? ORDER BY key",
                            (collection,)).fetchall()
        return [row[0] for row in rows]

    def close(self):
        conn = getattr(self._local, "conn", None)
        if conn is not None:
            conn.close()
            self._local.conn = None


class _Transaction:
    """BEGIN IMMEDIATE on entry; COMMIT on success, ROLLBACK on any exception."""

    def __init__(self, conn: sqlite3.Connection):
        self.conn = conn

    def __enter__(self):
        self.conn.execute("BEGIN IMMEDIATE")
        return self.conn

    def __exit__(self, exc_type, exc, tb):
        self.conn.execute("COMMIT" if exc_type is None else "ROLLBACK")
        return False


_engine: Engine | None = None


def use_engine(engine: Engine | None) -> Engine | None:
    """Make `engine` the default for documents; returns the previous one."""
    global _engine
    previous, _engine = _engine, engine
    return previous


def connect(path: str | os.PathLike) -> SQLiteEngine:
    """Open (or create) a SQLite database and make it the default engine."""
    engine = SQLiteEngine(path)
    use_engine(engine)
    return engine


def get_engine() -> Engine:
    """The default engine; a SQLite file in the working directory unless one was set."""
    global _engine
    if _engine is None:
        _engine = SQLiteEngine(os.environ.get("ZARN_DB", DEFAULT_PATH))
    return _engine
