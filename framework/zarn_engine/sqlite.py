"""The SQLite store: one database file, for every process of one host.

WAL mode, `synchronous=FULL` (a commit is on disk before save returns) and every write one
`BEGIN IMMEDIATE` transaction under the busy timeout. A database that cannot be written (a
read-only file or file system) opens for reading; a write then raises ReadOnlyError.
"""

from __future__ import annotations

import os
import sqlite3
import threading

from . import engine as _engines_module
from .engine import Engine
from .errors import ReadOnlyError, StorageError, conflict

_SCHEMA = (
    "CREATE TABLE IF NOT EXISTS documents ("
    " collection TEXT NOT NULL, key TEXT NOT NULL,"
    " version INTEGER NOT NULL, data TEXT NOT NULL,"
    " PRIMARY KEY (collection, key))",
    # The last version of every deleted key, so that a new document under it goes on from there.
    "CREATE TABLE IF NOT EXISTS retired ("
    " collection TEXT NOT NULL, key TEXT NOT NULL, version INTEGER NOT NULL,"
    " PRIMARY KEY (collection, key))",
)


def _read_only(exc: sqlite3.Error) -> bool:
    text = str(exc).lower()
    return "readonly" in text or "read-only" in text or "unable to open" in text


class SQLiteEngine(Engine):
    """One SQLite database file; one connection per thread."""

    def __init__(self, path: str | os.PathLike, timeout: float = 30.0) -> None:
        self.path = os.fspath(path)
        self.timeout = timeout
        self.read_only = False
        self._local = threading.local()
        self._writes = 0  # commits made through this engine, by any of its threads
        conn = self._conn()
        tables = {row[0] for row in conn.execute("SELECT name FROM sqlite_master WHERE type = 'table'")}
        if not {"documents", "retired"} <= tables:
            try:
                with self._write() as c:
                    for statement in _SCHEMA:
                        c.execute(statement)
            except ReadOnlyError:
                if "documents" not in tables:
                    raise ReadOnlyError(f"{self.path}: a read-only database without documents") from None

    def _conn(self) -> sqlite3.Connection:
        """This thread's connection."""
        conn = getattr(self._local, "conn", None)
        if conn is None:
            if os.path.isdir(self.path):
                raise StorageError(f"{self.path} is a directory, not a database")
            folder = os.path.dirname(os.path.abspath(self.path))
            if not os.path.isdir(folder):
                raise StorageError(f"cannot open database {self.path}: folder {folder} does not exist")
            try:
                conn = self._open()
            except sqlite3.DatabaseError as exc:
                raise StorageError(f"cannot open database {self.path}: {exc}") from None
            self._local.conn = conn
        return conn

    def _open(self) -> sqlite3.Connection:
        # Autocommit mode: transactions are begun explicitly, IMMEDIATE for writes, so that a
        # writer waits on the busy timeout instead of failing on upgrade.
        try:
            conn = sqlite3.connect(self.path, timeout=self.timeout, isolation_level=None,
                                   check_same_thread=False)
            conn.execute(f"PRAGMA busy_timeout = {int(self.timeout * 1000)}")
            mode = conn.execute("PRAGMA journal_mode").fetchone()[0]
            if mode != "wal":
                conn.execute("PRAGMA journal_mode = WAL")
            # FULL: a commit is on disk before save() returns, power loss included.
            conn.execute("PRAGMA synchronous = FULL")
            conn.execute("SELECT count(*) FROM sqlite_master").fetchone()
            return conn
        except sqlite3.OperationalError as exc:
            if not os.path.exists(self.path) or not _read_only(exc):
                raise
        # A file we cannot write, or a folder where the WAL index cannot be made: read it as
        # it stands (immutable: nobody can be writing a file on a read-only file system).
        self.read_only = True
        uri = "file:" + os.path.abspath(self.path).replace("?", "%3f").replace("#", "%23")
        for mode in ("mode=ro", "immutable=1"):
            try:
                conn = sqlite3.connect(f"{uri}?{mode}", uri=True, timeout=self.timeout,
                                       isolation_level=None, check_same_thread=False)
                conn.execute("SELECT count(*) FROM sqlite_master").fetchone()
                return conn
            except sqlite3.OperationalError:
                continue
        raise StorageError(f"cannot open database {self.path} for reading")

    def _write(self) -> "_Transaction":
        if self.read_only:
            raise ReadOnlyError(f"database {self.path} is read-only: nothing was written")
        return _Transaction(self)

    def load(self, collection, key):
        row = self._conn().execute("SELECT data, version FROM documents WHERE collection = ? AND key = ?",
                                   (collection, key)).fetchone()
        return None if row is None else (row[0], row[1])

    def version(self, collection, key):
        row = self._conn().execute("SELECT version FROM documents WHERE collection = ? AND key = ?",
                                   (collection, key)).fetchone()
        return None if row is None else row[0]

    def save(self, collection, key, data, expected):
        with self._write() as conn:
            row = conn.execute("SELECT version FROM documents WHERE collection = ? AND key = ?",
                               (collection, key)).fetchone()
            version = None if row is None else row[0]
            if version != expected:
                raise conflict(collection, key, expected, version)
            if version is None:
                retired = conn.execute("SELECT version FROM retired WHERE collection = ? AND key = ?",
                                       (collection, key)).fetchone()
                version = 0 if retired is None else retired[0]
            new = version + 1
            conn.execute("INSERT INTO documents (collection, key, version, data) VALUES (?, ?, ?, ?)"
                         " ON CONFLICT (collection, key) DO UPDATE"
                         " SET version = excluded.version, data = excluded.data",
                         (collection, key, new, data))
            return new

    def delete(self, collection, key, expected=None):
        with self._write() as conn:
            row = conn.execute("SELECT version FROM documents WHERE collection = ? AND key = ?",
                               (collection, key)).fetchone()
            if row is None:
                return False
            if expected is not None and row[0] != expected:
                raise conflict(collection, key, expected, row[0])
            conn.execute("DELETE FROM documents WHERE collection = ? AND key = ?", (collection, key))
            conn.execute("INSERT INTO retired (collection, key, version) VALUES (?, ?, ?)"
                         " ON CONFLICT (collection, key) DO UPDATE SET version = excluded.version",
                         (collection, key, row[0]))
            return True

    def keys(self, collection):
        rows = self._conn().execute("SELECT key FROM documents WHERE collection = ? ORDER BY key",
                                    (collection,)).fetchall()
        return [row[0] for row in rows]

    def change_token(self):
        # data_version moves when another connection commits; our own commits are counted.
        return (self._conn().execute("PRAGMA data_version").fetchone()[0], self._writes)

    def _after_fork(self):
        # A connection must not be used, nor closed, in a child: closing it could drop
        # locks the child's own connections hold on the file.
        conn = getattr(self._local, "conn", None)
        if conn is not None:
            _engines_module._inherited.append(conn)
        self._local = threading.local()

    def close(self):
        conn = getattr(self._local, "conn", None)
        if conn is not None:
            conn.close()
            self._local.conn = None


class _Transaction:
    """BEGIN IMMEDIATE on entry; COMMIT on success, ROLLBACK on any exception."""

    def __init__(self, engine: SQLiteEngine) -> None:
        self.engine = engine
        self.conn = engine._conn()

    def __enter__(self) -> sqlite3.Connection:
        try:
            self.conn.execute("BEGIN IMMEDIATE")
        except sqlite3.OperationalError as exc:
            if _read_only(exc):
                raise ReadOnlyError(f"database {self.engine.path} is read-only: nothing was written") from None
            raise
        return self.conn

    def __exit__(self, exc_type, exc, tb):
        if exc_type is not None:
            self.conn.execute("ROLLBACK")
            if isinstance(exc, sqlite3.OperationalError) and _read_only(exc):
                raise ReadOnlyError(f"database {self.engine.path} is read-only: nothing was written") from None
            return False
        try:
            self.conn.execute("COMMIT")
        except sqlite3.OperationalError as exc:
            self.conn.execute("ROLLBACK")
            if _read_only(exc):
                raise ReadOnlyError(f"database {self.engine.path} is read-only: nothing was written") from None
            raise
        self.engine._writes += 1
        return False
