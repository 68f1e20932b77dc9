"""The SQLite store: one database file, for every process of one host.

WAL mode, `synchronous=FULL` (a commit is on disk before save returns) and every write one
`BEGIN IMMEDIATE` transaction under the busy timeout. Every error of the driver leaves as a
StorageError: StoreLocked when the busy timeout ran out, StoreFull, StoreCorrupt,
ReadOnlyError; a transaction that fails is rolled back, and a failing rollback never hides
why it failed.

Connecting reads the schema's version (schema.py) and changes no table, except in a database
without any, which it creates. Reads run in WAL read transactions: no writer blocks them,
and they never write (the writers compact the change log).

Readers that cannot write. A database that this user cannot write (a read-only file,
folder or file system) opens for reading, and a write raises ReadOnlyError. A WAL database
is read through its `-shm` index, which is also how a reader learns of other connections'
commits: SQLite reads it when the `-shm` and `-wal` files exist (while any connection has
the database open) or when it can create them. When neither is possible, the reader is
refused at connect with a StorageError that says why: the only other way SQLite offers,
`immutable=1`, reads a snapshot and never sees a later commit, which is wrong for a
database that others write. A file that nobody changes (a copy on read-only media) can be
opened that way on purpose, with `sqlite:///path?immutable=1`.
"""

from __future__ import annotations

import contextlib
import itertools
import os
import sqlite3
import threading
import time
import urllib.parse
from types import TracebackType
from typing import TYPE_CHECKING, Any, Iterator, Literal, Sequence

from . import engine as _engines_module
from . import schema
from .dump import Held, check, plan
from .engine import Engine, Write, chain_of, prune_below
from .errors import (ReadOnlyError, StorageError, StoreCorrupt, StoreFull, StoreLocked, check_key,
                     conflict)

if TYPE_CHECKING:
    from .dump import Plan

_SCHEMA = (
    "CREATE TABLE IF NOT EXISTS documents ("
    " collection TEXT NOT NULL, key TEXT NOT NULL,"
    " version INTEGER NOT NULL, data TEXT NOT NULL,"
    " PRIMARY KEY (collection, key))",
    # The last version of every deleted key, so that a new document under it goes on from there.
    "CREATE TABLE IF NOT EXISTS retired ("
    " collection TEXT NOT NULL, key TEXT NOT NULL, version INTEGER NOT NULL,"
    " PRIMARY KEY (collection, key))",
    # The change log: one row per committed version; change NULL for a whole-document write.
    "CREATE TABLE IF NOT EXISTS changes ("
    " collection TEXT NOT NULL, key TEXT NOT NULL, version INTEGER NOT NULL,"
    " time REAL NOT NULL, who TEXT, change TEXT,"
    " PRIMARY KEY (collection, key, version)) WITHOUT ROWID",
    # The current version of a document that changes were committed to since its snapshot.
    "CREATE TABLE IF NOT EXISTS heads ("
    " collection TEXT NOT NULL, key TEXT NOT NULL, version INTEGER NOT NULL,"
    " PRIMARY KEY (collection, key)) WITHOUT ROWID",
    # The schema's version (see schema.py): one row.
    "CREATE TABLE IF NOT EXISTS zarn_schema ("
    " id INTEGER PRIMARY KEY CHECK (id = 1), version INTEGER NOT NULL, oldest INTEGER NOT NULL)",
)
_TABLES = ("documents", "retired", "changes", "heads")
# The finished phase: a write to any table by a connection without this schema's mark fails.
_GUARDS = tuple(f'CREATE TRIGGER IF NOT EXISTS "zarn_schema_{schema.SCHEMA}_{table}_{op.lower()}" BEFORE {op}'
                f' ON {table} BEGIN SELECT "{schema.SQLITE_MARK}"(); END'
                for table in _TABLES for op in ("INSERT", "UPDATE", "DELETE"))
# A row of `documents` is the snapshot: the whole document at its `version`. The current
# version is in `heads` when changes came after it (the change log has them), else the
# snapshot's: a commit writes small rows only, never the snapshot's text again (SQLite
# rewrites a whole row to change one column of it). Rows of earlier releases have no head.
_HEAD = (" FROM documents d LEFT JOIN heads h ON h.collection = d.collection AND h.key = d.key"
         " WHERE d.collection = ? AND d.key = ?")
_CURRENT = "SELECT COALESCE(h.version, d.version)" + _HEAD
_VERSIONS = "SELECT d.version, COALESCE(h.version, d.version)" + _HEAD  # (snapshot's, current)
_SNAPSHOT = "SELECT d.data, d.version, COALESCE(h.version, d.version)" + _HEAD
_CHANGES_AFTER = ("SELECT version, change FROM changes WHERE collection = ? AND key = ? AND version > ?"
                  " ORDER BY version")

# Primary result codes (the low byte of an extended code).
_PERM, _BUSY, _LOCKED, _READONLY, _IOERR, _CORRUPT, _FULL, _CANTOPEN, _NOTADB = 3, 5, 6, 8, 10, 11, 13, 14, 26
MODES = ("ro", "rw", "rwc")
# Numbers of the connections this process opened: a change token names the connection it was
# read on, since data_version counts from the same value again on every new connection.
_serials = itertools.count(1)


def _code(exc: BaseException) -> int:
    return (getattr(exc, "sqlite_errorcode", None) or 0) & 0xFF


def _is_wal(path: str) -> bool:
    """Whether the file's header says WAL mode (read and write format versions 2)."""
    try:
        with open(path, "rb") as f:
            header = f.read(20)
    except OSError:
        return False
    return len(header) == 20 and header[18] == 2 and header[19] == 2


class SQLiteEngine(Engine):
    """One SQLite database file; one connection per thread.

    `mode`: "rwc" opens or creates the file, "rw" opens an existing one, "ro" opens it for
    reading only. `immutable`: read a file that nobody changes, without locks, and never
    see a change (see the module's notes). `timeout`: seconds a read or write waits for a
    lock another connection holds before StoreLocked (SQLite's busy timeout). `check_schema`:
    refuse a database whose schema is not this software's (False: only for `migrate`).
    """

    def __init__(self, path: str | os.PathLike[str], timeout: float = 10.0, *, mode: str = "rwc",
                 immutable: bool = False, keep_changes: int | None = None, keep_days: float | None = None,
                 check_schema: bool = True) -> None:
        if mode not in MODES:
            raise ValueError(f"a SQLite mode is one of {', '.join(MODES)}, not {mode!r}")
        self.path = os.fspath(path)
        self._abspath = os.path.abspath(self.path)  # the file, whatever the working folder is later
        self.timeout = timeout
        self.mode = mode
        self.immutable = immutable
        self.read_only = immutable or mode == "ro"
        self._local = threading.local()
        self._writes = 0  # commits made through this engine, by any of its threads
        self._opened = False  # True once the file is there: only the first open may create it
        self._file: tuple[int, int] | None = None  # (device, inode) of the file last opened
        self._retain(keep_changes, keep_days)
        self._conn()  # the first open, the only one that may create the file
        self._opened = True
        if check_schema:
            try:
                self._check_schema()
            except BaseException:
                self.close()
                raise

    # --- the schema (see schema.py) --------------------------------------------------------

    def _check_schema(self) -> None:
        """One read of the schema's row; a database without tables is created."""
        where = f"database {self.path}"
        try:
            row = self._conn().execute("SELECT version, oldest FROM zarn_schema").fetchone()
        except sqlite3.OperationalError as exc:
            if not str(exc).startswith("no such table"):
                raise self._error(exc, "cannot open") from None
            if self._query("SELECT 1 FROM sqlite_master WHERE name = 'documents'", ()):
                raise schema.too_old(where) from None
            try:
                self.migrate()
            except ReadOnlyError:
                raise ReadOnlyError(f"{self.path}: a read-only database without documents") from None
            return
        except sqlite3.Error as exc:
            raise self._error(exc, "cannot open") from None
        if row is None:
            raise schema.too_old(where)
        schema.check(row[0], row[1], where)

    def migrate(self, finish: bool = False) -> tuple[int, int]:
        """Bring the database to this software's schema, or create it: see schema.py.
        `finish`: the second phase, once no older software uses the database. Returns the
        schema's (version, oldest) afterwards."""
        where = f"database {self.path}"
        with self._write() as conn:
            tables = {row[0] for row in conn.execute("SELECT name FROM sqlite_master WHERE type = 'table'")}
            row = conn.execute("SELECT version, oldest FROM zarn_schema").fetchone() if "zarn_schema" in tables \
                else None
            created = row is None
            if row is not None:
                schema.refuse_migration(where, row[0])
                oldest = row[1]
            else:
                for statement in _SCHEMA:
                    conn.execute(statement)
                # Tables of an earlier release: its software may go on writing until the finish.
                oldest = schema.FIRST if "documents" in tables else schema.SCHEMA
                conn.execute("INSERT INTO zarn_schema (id, version, oldest) VALUES (1, ?, ?)",
                             (schema.SCHEMA, oldest))
            if (finish and oldest < schema.SCHEMA) or (created and oldest == schema.SCHEMA):
                for statement in _GUARDS:
                    conn.execute(statement)
                conn.execute("UPDATE zarn_schema SET oldest = ?", (schema.SCHEMA,))
                oldest = schema.SCHEMA
            return schema.SCHEMA, oldest

    # --- connections -----------------------------------------------------------------------

    def _conn(self) -> sqlite3.Connection:
        """This thread's connection, to the file that is at the path now: a connection to a
        file that was replaced (a copy renamed over it) is closed and another opened; a file
        that was removed fails, never read through the connection still open on it."""
        local = self._local
        conn: sqlite3.Connection | None = getattr(local, "conn", None)
        if conn is not None:
            try:
                st = os.stat(self._abspath)
            except OSError:
                self.close()
                self.epoch += 1
                raise StorageError(f"database {self.path} was removed (or cannot be reached) since it was "
                                   "opened: nothing is read from the removed file") from None
            if (st.st_dev, st.st_ino) == local.file:
                return conn
            self.close()  # another file at the path (a restore): read the new one
        if os.path.isdir(self.path):
            raise StorageError(f"{self.path} is a directory, not a database")
        folder = os.path.dirname(self._abspath)
        if not os.path.isdir(folder):
            raise StorageError(f"cannot open database {self.path}: folder {folder} does not exist")
        # The file is looked at before it is opened: one replaced in between is opened new and
        # taken for the old one, so that the next call looks again (never the other way round).
        try:
            st = os.stat(self._abspath)
        except OSError:
            if self.mode != "rwc" or self._opened:
                raise StorageError(f"cannot open database {self.path}: it does not exist"
                                   + (" (it was removed since the store was opened)" if self._opened else "")) from None
            conn = self._open()  # created by this first open
            try:
                st = os.stat(self._abspath)
            except OSError:
                conn.close()
                raise StorageError(f"database {self.path} was removed while it was opened") from None
        else:
            conn = self._open()
        local.file = (st.st_dev, st.st_ino)
        if local.file != self._file:
            if self._file is not None:
                self.epoch += 1  # another file than the one read so far: what is held is not of it
            self._file = local.file
        local.serial = next(_serials)
        local.conn = conn
        return conn

    def _connect(self, mode: str) -> sqlite3.Connection:
        """A connection in one of SQLite's open modes, checked by a first read."""
        uri = "file:" + urllib.parse.quote(self._abspath) + "?" + mode
        conn = sqlite3.connect(uri, uri=True, timeout=self.timeout, isolation_level=None,
                               check_same_thread=False)
        try:
            conn.execute(f"PRAGMA busy_timeout = {int(self.timeout * 1000)}")
            conn.create_function(schema.SQLITE_MARK, 0, _marked, deterministic=True)
            conn.execute("SELECT count(*) FROM sqlite_master").fetchone()
        except BaseException:
            conn.close()
            raise
        return conn

    def _open(self) -> sqlite3.Connection:
        if self.immutable:
            return self._open_read_only("immutable=1")
        if self.mode == "ro":
            return self._open_read_only("mode=ro")
        # Autocommit mode: transactions are begun explicitly, IMMEDIATE for writes, so that a
        # writer waits on the busy timeout instead of failing on upgrade.
        conn = None
        try:
            conn = self._connect(f"mode={self.mode}")
            if conn.execute("PRAGMA journal_mode").fetchone()[0] != "wal":
                conn.execute("PRAGMA journal_mode = WAL")
            # FULL: a commit is on disk before save() returns, power loss included.
            conn.execute("PRAGMA synchronous = FULL")
            return conn
        except sqlite3.Error as exc:
            if conn is not None:
                conn.close()
            if not (os.path.exists(self.path) and _code(exc) in (_READONLY, _CANTOPEN, _PERM)):
                raise self._error(exc, "cannot open") from None
        # A file or folder that this user cannot write: read it, as another user's writes go on.
        conn = self._open_read_only("mode=ro")
        self.read_only = True
        return conn

    def _open_read_only(self, mode: str) -> sqlite3.Connection:
        try:
            return self._connect(mode)
        except sqlite3.Error as exc:
            if _code(exc) in (_READONLY, _CANTOPEN) and os.path.exists(self.path) and _is_wal(self.path):
                folder = os.path.dirname(self._abspath)
                raise StorageError(
                    f"cannot read database {self.path} and see other users' changes: no {self.path}-shm "
                    f"file is there and this user cannot create one in {folder}; let this user write "
                    f"there, or keep the database open in a writer, or for a file that nobody changes "
                    f"open sqlite:///{self.path}?immutable=1") from None
            raise self._error(exc, "cannot open") from None

    def _error(self, exc: Exception, doing: str) -> StorageError:
        """The store's error for a driver error met while `doing` ("cannot open", "cannot
        read from" or "cannot write to")."""
        code, text = _code(exc), str(exc)
        where = f"database {self.path}"
        unwritten = "; nothing was written" if doing == "cannot write to" else ""
        if doing == "cannot open" and not os.path.exists(self.path) and code == _CANTOPEN:
            return StorageError(f"cannot open {where}: it does not exist or cannot be created ({text})")
        if isinstance(exc, UnicodeEncodeError):
            return StorageError(f"{doing} {where}: text with a lone surrogate cannot be stored")
        if code in (_BUSY, _LOCKED):
            return StoreLocked(f"{doing} {where}: it is locked by another connection, still after "
                               f"{self.timeout:g} s (busy_timeout){unwritten}")
        if code == _FULL:
            return StoreFull(f"{doing} {where}: the disk or the database's size limit is full{unwritten}")
        if code in (_CORRUPT, _NOTADB):
            return StoreCorrupt(f"{doing} {where}: {text}; restore it from a backup")
        if code == _READONLY:
            return ReadOnlyError(f"{where} is read-only: nothing was written")
        return StorageError(f"{doing} {where}: {text}")

    def _write(self) -> "_Transaction":
        if self.read_only:
            raise ReadOnlyError(f"database {self.path} is read-only: nothing was written")
        return _Transaction(self)

    def _query(self, sql: str, params: tuple[Any, ...]) -> list[Any]:
        for _ in range(3):
            try:
                rows = self._conn().execute(sql, params).fetchall()
            except sqlite3.Error as exc:
                raise self._error(exc, "cannot read from") from None
            if self._read_from_path():
                return rows
        raise _kept_replacing(self.path)

    def _read_from_path(self) -> bool:
        """Whether the file this thread's connection read is still the one at the path. A
        connection to a file replaced under it shares the -wal and -shm files, named after the
        path, with the connections to the new file: what it read meanwhile may mix the two,
        and is read again from the new file."""
        try:
            st = os.stat(self._abspath)
        except OSError:
            return False  # removed: the next _conn() says so
        return (st.st_dev, st.st_ino) == getattr(self._local, "file", None)

    # --- the store -------------------------------------------------------------------------

    def load(self, collection: str, key: str) -> tuple[str, int] | None:
        return self._whole(self.read(collection, key))

    def version(self, collection: str, key: str) -> int | None:
        check_key(collection, key)
        rows = self._query(_CURRENT, (collection, key))
        return rows[0][0] if rows else None

    def read(self, collection: str, key: str) -> tuple[str, int, int, list[tuple[int, str]]] | None:
        check_key(collection, key)
        for _ in range(3):
            with self._reading() as conn:
                row = conn.execute(_SNAPSHOT, (collection, key)).fetchone()
                rows = [] if row is None or row[1] == row[2] else \
                    conn.execute(_CHANGES_AFTER, (collection, key, row[1])).fetchall()
            if self._read_from_path():
                return None if row is None else (row[0], row[1], row[2], rows)
        raise _kept_replacing(self.path)

    @contextlib.contextmanager
    def _reading(self) -> Iterator[sqlite3.Connection]:
        """This thread's connection inside one read transaction, so that its reads see one
        state of the file; a driver error becomes a StorageError."""
        conn = self._conn()
        try:
            conn.execute("BEGIN")
            try:
                yield conn
            finally:
                conn.execute("COMMIT")
        except sqlite3.Error as exc:
            raise self._error(exc, "cannot read from") from None

    def _log(self, conn: sqlite3.Connection, collection: str, key: str, version: int, who: str | None,
             change: str | None) -> None:
        conn.execute("INSERT OR REPLACE INTO changes (collection, key, version, time, who, change)"
                     " VALUES (?, ?, ?, ?, ?, ?)", (collection, key, version, time.time(), who, change))
        if version % 64 == 0:
            self._prune(conn, collection, key)

    def _prune(self, conn: sqlite3.Connection, collection: str, key: str) -> None:
        row = conn.execute(_VERSIONS, (collection, key)).fetchone()
        if row is None:
            return
        below, before = prune_below(row[0], row[1], self.keep_changes, self.keep_days, time.time())
        conn.execute("DELETE FROM changes WHERE collection = ? AND key = ? AND version <= ?"
                     " AND (version <= ? OR time < ?)", (collection, key, row[0], below, before))

    def commit(self, collection: str, key: str, change: str, expected: int, who: str | None = None) -> int:
        check_key(collection, key)
        with self._write() as conn:
            return self._put(conn, Write(collection, key, change, expected, who, change=True))

    def rebase(self, collection: str, key: str, data: str, version: int) -> bool:
        check_key(collection, key)
        if self.read_only:
            return False
        with self._write() as conn:
            cursor = conn.execute("UPDATE documents SET data = ?, version = ? WHERE collection = ? AND key = ?"
                                  " AND version < ? AND ? <= COALESCE((SELECT version FROM heads"
                                  " WHERE collection = ? AND key = ?), version)",
                                  (data, version, collection, key, version, version, collection, key))
            if cursor.rowcount != 1:
                return False
            conn.execute("DELETE FROM heads WHERE collection = ? AND key = ? AND version = ?",
                         (collection, key, version))
            self._prune(conn, collection, key)
            return True

    def changes_since(self, collection: str, key: str, version: int) -> list[tuple[int, str]] | None:
        check_key(collection, key)
        with self._reading() as conn:
            row = conn.execute(_CURRENT, (collection, key)).fetchone()
            rows = [] if row is None or row[0] <= version else \
                conn.execute(_CHANGES_AFTER, (collection, key, version)).fetchall()
        if row is None or row[0] < version:
            return None
        return chain_of(rows, version, row[0])

    def history(self, collection: str, key: str, since_version: int | None = None,
                since_time: float | None = None) -> list[dict[str, Any]]:
        check_key(collection, key)
        rows = self._query("SELECT version, time, who, change FROM changes WHERE collection = ? AND key = ?"
                           " AND version > ? AND time >= ? ORDER BY version",
                           (collection, key, -1 if since_version is None else since_version,
                            float("-inf") if since_time is None else since_time))
        return [{"version": v, "time": t, "who": w, "change": c} for v, t, w, c in rows]

    def save(self, collection: str, key: str, data: str, expected: int | None, who: str | None = None) -> int:
        check_key(collection, key)
        with self._write() as conn:
            return self._put(conn, Write(collection, key, data, expected, who))

    def save_many(self, writes: Sequence[Write]) -> list[int]:
        for w in writes:
            check_key(w.collection, w.key)
        with self._write() as conn:
            return [self._put(conn, w) for w in writes]

    def _put(self, conn: sqlite3.Connection, w: Write) -> int:
        """One write inside the open transaction: the version check, the document, its log entry."""
        collection, key, expected = w.collection, w.key, w.expected
        row = conn.execute(_CURRENT, (collection, key)).fetchone()
        version: int | None = None if row is None else row[0]
        if version != expected or (w.change and version is None):
            raise conflict(collection, key, expected, version)
        if w.change:
            assert version is not None
            new: int = version + 1
            conn.execute("INSERT INTO heads (collection, key, version) VALUES (?, ?, ?)"
                         " ON CONFLICT (collection, key) DO UPDATE SET version = excluded.version",
                         (collection, key, new))
            self._log(conn, collection, key, new, w.who, w.data)
            return new
        if version is None:
            retired = conn.execute("SELECT version FROM retired WHERE collection = ? AND key = ?",
                                   (collection, key)).fetchone()
            version = 0 if retired is None else retired[0]
        new = version + 1
        conn.execute("INSERT INTO documents (collection, key, version, data) VALUES (?, ?, ?, ?)"
                     " ON CONFLICT (collection, key) DO UPDATE"
                     " SET version = excluded.version, data = excluded.data",
                     (collection, key, new, w.data))
        conn.execute("DELETE FROM heads WHERE collection = ? AND key = ?", (collection, key))
        self._log(conn, collection, key, new, w.who, None)
        return new

    def delete(self, collection: str, key: str, expected: int | None = None) -> bool:
        check_key(collection, key)
        with self._write() as conn:
            row = conn.execute(_CURRENT, (collection, key)).fetchone()
            if row is None:
                return False
            if expected is not None and row[0] != expected:
                raise conflict(collection, key, expected, row[0])
            conn.execute("DELETE FROM documents WHERE collection = ? AND key = ?", (collection, key))
            conn.execute("DELETE FROM changes WHERE collection = ? AND key = ?", (collection, key))
            conn.execute("DELETE FROM heads WHERE collection = ? AND key = ?", (collection, key))
            conn.execute("INSERT INTO retired (collection, key, version) VALUES (?, ?, ?)"
                         " ON CONFLICT (collection, key) DO UPDATE SET version = excluded.version",
                         (collection, key, row[0]))
            return True

    def keys(self, collection: str) -> list[str]:
        check_key(collection, "")
        return [row[0] for row in self._query("SELECT key FROM documents WHERE collection = ? ORDER BY key",
                                              (collection,))]

    # --- dumps and restores (dump.py) ---------------------------------------------------

    def dump(self) -> dict[str, Any]:
        with self._reading() as conn:
            docs = conn.execute("SELECT d.collection, d.key, COALESCE(h.version, d.version), d.version, d.data"
                                " FROM documents d LEFT JOIN heads h ON h.collection = d.collection"
                                " AND h.key = d.key ORDER BY d.collection, d.key").fetchall()
            log: dict[tuple[str, str], list[list[Any]]] = {}
            for c, k, v, t, w, change in conn.execute("SELECT collection, key, version, time, who, change"
                                                      " FROM changes ORDER BY collection, key, version"):
                log.setdefault((c, k), []).append([v, t, w, change])
            retired = [list(row) for row in conn.execute("SELECT collection, key, version FROM retired"
                                                         " ORDER BY collection, key")]
        return {"documents": [{"collection": c, "key": k, "version": v, "base": b, "data": data,
                               "log": log.get((c, k), [])} for c, k, v, b, data in docs],
                "retired": retired}

    def restore(self, dump: dict[str, Any], who: str | None = None) -> Plan:
        check(dump)
        with self._write() as conn:
            held: dict[tuple[str, str], Held] = {}
            for c, k, v, b, data in conn.execute(
                    "SELECT d.collection, d.key, COALESCE(h.version, d.version), d.version, d.data FROM documents d"
                    " LEFT JOIN heads h ON h.collection = d.collection AND h.key = d.key").fetchall():
                after = [row[1] for row in conn.execute(_CHANGES_AFTER, (c, k, b)).fetchall() if row[0] <= v]
                held[(c, k)] = Held(v, b, data, after)
            retired = {(c, k): v for c, k, v in conn.execute("SELECT collection, key, version FROM retired")}
            logged = {(c, k) for c, k in conn.execute("SELECT DISTINCT collection, key FROM changes")}
            todo = plan(dump, held, retired, logged)
            for doc in todo.exact:
                where = (doc["collection"], doc["key"])
                conn.execute("INSERT INTO documents (collection, key, version, data) VALUES (?, ?, ?, ?)",
                             (*where, doc["base"], doc["data"]))
                if doc["version"] != doc["base"]:
                    conn.execute("INSERT INTO heads (collection, key, version) VALUES (?, ?, ?)",
                                 (*where, doc["version"]))
                conn.executemany("INSERT INTO changes (collection, key, version, time, who, change)"
                                 " VALUES (?, ?, ?, ?, ?, ?)", [(*where, *row) for row in doc["log"]])
            for doc, version, text in todo.rewrite:
                where = (doc["collection"], doc["key"])
                conn.execute("INSERT INTO documents (collection, key, version, data) VALUES (?, ?, ?, ?)"
                             " ON CONFLICT (collection, key) DO UPDATE"
                             " SET version = excluded.version, data = excluded.data", (*where, version, text))
                conn.execute("DELETE FROM heads WHERE collection = ? AND key = ?", where)
                self._log(conn, *where, version, who, None)
            for collection, key, version in todo.remove:
                for table in ("documents", "changes", "heads"):
                    conn.execute(f"DELETE FROM {table} WHERE collection = ? AND key = ?", (collection, key))
            for collection, key, version in todo.remove + todo.retired:
                conn.execute("INSERT INTO retired (collection, key, version) VALUES (?, ?, ?)"
                             " ON CONFLICT (collection, key) DO UPDATE SET version = max(version, excluded.version)",
                             (collection, key, version))
        return todo

    def backup(self, path: str) -> None:
        """Copy the database, as of one moment, into a new file at `path` (SQLite's online
        backup, in one step: one read transaction, so writers go on meanwhile). The copy
        keeps no write-ahead log: it is one file."""
        try:
            target = sqlite3.connect(path, isolation_level=None)
        except sqlite3.Error as exc:
            raise StorageError(f"cannot write the backup {path}: {exc}") from None
        # The driver retries a step that meets a lock for as long as the lock is held: the
        # busy timeout bounds it here, as it bounds every other read.
        deadline = time.monotonic() + self.timeout

        def waited(status: int, remaining: int, total: int) -> None:
            if status in (sqlite3.SQLITE_BUSY, sqlite3.SQLITE_LOCKED) and time.monotonic() > deadline:
                raise _Waited

        try:
            try:
                self._conn().backup(target, progress=waited)
            except sqlite3.Error as exc:
                raise self._error(exc, "cannot read from") from None
            except _Waited:
                raise StoreLocked(f"cannot read from database {self.path}: it is locked by another connection, "
                                  f"still after {self.timeout:g} s (busy_timeout); the backup was not taken") from None
            try:
                target.execute("PRAGMA journal_mode = DELETE")
            except sqlite3.Error as exc:
                raise StorageError(f"cannot write the backup {path}: {exc}") from None
        finally:
            target.close()

    def change_token(self) -> tuple[int, int, int]:
        # data_version moves when another connection commits; our own commits are counted. It
        # means something on the connection that read it only: the connection's number is in
        # the token, so that a token read after a reconnect, a fork or a replaced file never
        # matches one read before.
        version = self._query("PRAGMA data_version", ())[0][0]
        return (self._local.serial, version, self._writes)

    def _after_fork(self) -> None:
        # A connection must not be used, nor closed, in a child: closing it could drop
        # locks the child's own connections hold on the file.
        conn = getattr(self._local, "conn", None)
        if conn is not None:
            _engines_module._inherited.append(conn)
        self._local = threading.local()

    def close(self) -> None:
        conn = getattr(self._local, "conn", None)
        if conn is not None:
            self._local.conn = None
            conn.close()


def _kept_replacing(path: str) -> StorageError:
    return StorageError(f"database {path} was replaced again and again during a read: try again")


class _Waited(Exception):
    """A backup step met a lock past the busy timeout."""


def _marked() -> int:
    return 1


class _Transaction:
    """BEGIN IMMEDIATE on entry; COMMIT on success, ROLLBACK on any exception. Driver errors
    leave as the store's errors, the one that stopped the transaction and never the
    rollback's."""

    def __init__(self, engine: SQLiteEngine) -> None:
        self.engine = engine
        self.conn = engine._conn()

    def __enter__(self) -> sqlite3.Connection:
        try:
            self.conn.execute("BEGIN IMMEDIATE")
        except sqlite3.Error as exc:
            self._rollback()
            raise self.engine._error(exc, "cannot write to") from None
        return self.conn

    def __exit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                 tb: TracebackType | None) -> Literal[False]:
        if exc_type is None:
            try:
                self.conn.execute("COMMIT")
            except sqlite3.Error as failed:
                exc = failed
            else:
                self.engine._writes += 1
                return False
        self._rollback()
        if isinstance(exc, (sqlite3.Error, UnicodeEncodeError)):
            raise self.engine._error(exc, "cannot write to") from None
        return False  # the error raised inside, after the rollback

    def _rollback(self) -> None:
        """Roll back what is open; SQLite may have done so itself (a full disk). A rollback
        that fails leaves the connection in doubt: it is closed, the next call opens another."""
        try:
            if self.conn.in_transaction:
                self.conn.execute("ROLLBACK")
        except sqlite3.Error:
            if getattr(self.engine._local, "conn", None) is self.conn:
                self.engine._local.conn = None
            try:
                self.conn.close()
            except sqlite3.Error:
                pass
