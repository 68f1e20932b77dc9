"""The PostgreSQL store: one database for the processes of many hosts.

Needs psycopg 3 (`pip install 'zarn-framework[postgresql]'`). Every save is one
transaction whose single compare-and-set statement checks the version; the commit sends a
notification on the channel `zarn_documents` ("collection/key" as JSON), which live
documents in notify mode listen to. Parameterised SQL only.

A connection that breaks before a transaction is committed is replaced and the transaction
run again (nothing of it was stored); one that breaks while committing raises
ConnectionLost, since the outcome is not known.
"""

from __future__ import annotations

import json
import os
import socket
import threading
import time
from typing import Any, Callable

from .engine import Engine
from .errors import ConnectionLost, StorageError, conflict
from .feed import HEARTBEAT

try:
    import psycopg
except ImportError:  # pragma: no cover - depends on the installation
    psycopg = None

CHANNEL = "zarn_documents"
# Held while the schema is created, so that processes connecting at once do not race.
_SCHEMA_LOCK = 0x7A61726E

_SCHEMA = (
    "CREATE TABLE IF NOT EXISTS zarn_documents ("
    " collection TEXT NOT NULL, key TEXT NOT NULL,"
    " version BIGINT NOT NULL, data TEXT NOT NULL,"
    " PRIMARY KEY (collection, key))",
    "CREATE TABLE IF NOT EXISTS zarn_retired ("
    " collection TEXT NOT NULL, key TEXT NOT NULL, version BIGINT NOT NULL,"
    " PRIMARY KEY (collection, key))",
)


class PostgreSQLEngine(Engine):
    """A PostgreSQL database reached by URL; one connection per thread."""

    def __init__(self, url: str, connect_timeout: float = 10.0) -> None:
        if psycopg is None:
            raise StorageError("the PostgreSQL engine needs psycopg 3: pip install 'zarn-framework[postgresql]'")
        self.url = url
        self.connect_timeout = connect_timeout
        self._local = threading.local()
        self._run(self._create_schema)

    # --- connections ---------------------------------------------------------------------

    def _connect(self, autocommit: bool = False) -> "psycopg.Connection":
        """A new connection, trying again for `connect_timeout` seconds (a server restarting)."""
        deadline = time.monotonic() + self.connect_timeout
        while True:
            try:
                return psycopg.connect(self.url, autocommit=autocommit, connect_timeout=5)
            except psycopg.OperationalError as exc:
                if time.monotonic() >= deadline:
                    raise ConnectionLost(f"cannot connect to {_safe(self.url)}: {_first_line(exc)}") from None
                time.sleep(0.2)

    def _conn(self) -> "psycopg.Connection":
        conn = getattr(self._local, "conn", None)
        if conn is None or conn.closed or conn.broken:
            conn = self._local.conn = self._connect()
        return conn

    def _run(self, work: Callable[[Any], Any]) -> Any:
        """`work(cursor)` in one transaction, committed. A connection broken before the commit
        is replaced and the work run again; one broken during the commit raises."""
        for attempt in range(3):
            conn = self._conn()
            committing = False
            try:
                with conn.cursor() as cur:
                    result = work(cur)
                committing = True
                conn.commit()
                return result
            except psycopg.OperationalError as exc:
                if not conn.broken:
                    _rollback(conn)
                    raise StorageError(_first_line(exc)) from None
                self._local.conn = None
                if committing:
                    raise ConnectionLost("the connection broke while committing: the change may or may "
                                         "not have been stored") from None
                if attempt == 2:
                    raise ConnectionLost(f"lost the connection to {_safe(self.url)}: {_first_line(exc)}") from None
            except BaseException:
                _rollback(conn)
                raise
        raise AssertionError("unreachable")

    @staticmethod
    def _create_schema(cur) -> None:
        cur.execute("SELECT pg_advisory_xact_lock(%s)", (_SCHEMA_LOCK,))
        for statement in _SCHEMA:
            cur.execute(statement)

    # --- the store -------------------------------------------------------------------------

    def _row(self, sql: str, params: tuple) -> tuple | None:
        """The first row of one query, in a transaction of its own."""

        def work(cur):
            cur.execute(sql, params)
            return cur.fetchone()

        return self._run(work)

    def load(self, collection, key):
        row = self._row("SELECT data, version FROM zarn_documents WHERE collection = %s AND key = %s",
                        (collection, key))
        return None if row is None else (row[0], row[1])

    def version(self, collection, key):
        row = self._row("SELECT version FROM zarn_documents WHERE collection = %s AND key = %s", (collection, key))
        return None if row is None else row[0]

    # Versions come from one row per key in zarn_retired that outlives the document (its
    # last version, 0 for a key never deleted). A create and a delete lock that row first,
    # in that order, so that a create racing a delete waits for it and goes on from the
    # version the delete retired: a version is never handed to two documents.

    _LOCK_KEY = ("INSERT INTO zarn_retired (collection, key, version) VALUES (%s, %s, 0)"
                 " ON CONFLICT (collection, key) DO NOTHING")
    _READ_KEY = "SELECT version FROM zarn_retired WHERE collection = %s AND key = %s FOR UPDATE"

    def save(self, collection, key, data, expected):
        note = json.dumps([collection, key])

        def work(cur):
            if expected is None:
                cur.execute(self._LOCK_KEY, (collection, key))
                cur.execute(self._READ_KEY, (collection, key))
                retired = cur.fetchone()[0]
                cur.execute(
                    "INSERT INTO zarn_documents (collection, key, version, data) VALUES (%s, %s, %s, %s)"
                    " ON CONFLICT (collection, key) DO NOTHING RETURNING version",
                    (collection, key, retired + 1, data))
            else:
                cur.execute("UPDATE zarn_documents SET version = version + 1, data = %s"
                            " WHERE collection = %s AND key = %s AND version = %s RETURNING version",
                            (data, collection, key, expected))
            row = cur.fetchone()
            if row is None:
                cur.execute("SELECT version FROM zarn_documents WHERE collection = %s AND key = %s",
                            (collection, key))
                found = cur.fetchone()
                raise conflict(collection, key, expected, None if found is None else found[0])
            cur.execute("SELECT pg_notify(%s, %s)", (CHANNEL, note))
            return row[0]

        return self._run(work)

    def delete(self, collection, key, expected=None):
        note = json.dumps([collection, key])

        def work(cur):
            cur.execute(self._LOCK_KEY, (collection, key))
            cur.execute(self._READ_KEY, (collection, key))
            cur.execute("SELECT version FROM zarn_documents WHERE collection = %s AND key = %s FOR UPDATE",
                        (collection, key))
            row = cur.fetchone()
            if row is None:
                return False
            if expected is not None and row[0] != expected:
                raise conflict(collection, key, expected, row[0])
            cur.execute("DELETE FROM zarn_documents WHERE collection = %s AND key = %s", (collection, key))
            cur.execute("UPDATE zarn_retired SET version = GREATEST(version, %s)"
                        " WHERE collection = %s AND key = %s", (row[0], collection, key))
            cur.execute("SELECT pg_notify(%s, %s)", (CHANNEL, note))
            return True

        return self._run(work)

    def keys(self, collection):
        def work(cur):
            cur.execute("SELECT key FROM zarn_documents WHERE collection = %s ORDER BY key COLLATE \"C\"",
                        (collection,))
            return [row[0] for row in cur.fetchall()]

        return self._run(work)

    def listen(self, feed):
        """LISTEN on a connection of its own. Every HEARTBEAT seconds without a notification,
        a round trip proves the connection alive: the server sends every notification of a
        commit made before the query ahead of its answer. A connection that hangs (a stopped
        server) is shut down by the feed when proofs stop coming."""
        try:
            conn = psycopg.connect(self.url, autocommit=True, connect_timeout=5,
                                   application_name=f"zarn-listener {os.getpid()}", **_KEEPALIVES)
        except psycopg.Error as exc:
            raise ConnectionLost(f"cannot listen on {_safe(self.url)}: {_first_line(exc)}") from None
        try:
            feed.attach(lambda: _shut_down(conn), lambda: _abandon(conn))
            since = time.monotonic()
            conn.execute(f"LISTEN {CHANNEL}")
            feed.up(since)
            while not feed.stopping:
                for note in conn.notifies(timeout=HEARTBEAT):
                    feed.note(note.payload)
                since = time.monotonic()
                conn.execute("SELECT 1")
                for note in conn.notifies(timeout=0):  # those that came with the answer
                    feed.note(note.payload)
                feed.alive(since)
        except psycopg.Error as exc:
            if not feed.stopping:
                raise ConnectionLost(f"listener lost {_safe(self.url)}: {_first_line(exc)}") from None
        finally:
            feed.detach()
            feed.down()
            conn.close()

    def _after_fork(self):
        conn = getattr(self._local, "conn", None)
        if conn is not None and not conn.closed:
            _abandon(conn)
        self._local = threading.local()

    def close(self):
        conn = getattr(self._local, "conn", None)
        if conn is not None:
            conn.close()
            self._local.conn = None


# Keepalives find a peer that is gone (a host down, a cable pulled) within seconds.
_KEEPALIVES = {"keepalives": 1, "keepalives_idle": 5, "keepalives_interval": 2, "keepalives_count": 3}


def _shut_down(conn) -> None:
    """Make a call blocked on `conn` in another thread fail now."""
    fd = conn.pgconn.socket
    with socket.socket(fileno=os.dup(fd)) as sock:
        sock.shutdown(socket.SHUT_RDWR)


def _abandon(conn) -> None:
    """In a child after fork(): point the inherited descriptor elsewhere, so that whatever the
    child does with the connection object (closing it, or its finaliser) never writes on the
    socket the parent still uses."""
    fd = conn.pgconn.socket
    spare, other = socket.socketpair()
    try:
        os.dup2(spare.fileno(), fd)
    finally:
        spare.close()
        other.close()


def _rollback(conn) -> None:
    try:
        if not conn.closed and not conn.broken:
            conn.rollback()
    except psycopg.Error:
        pass


def _first_line(exc: BaseException) -> str:
    return (str(exc).strip().splitlines() or [type(exc).__name__])[0]


def _safe(url: str) -> str:
    """The URL without its password."""
    if "@" in url and "://" in url:
        scheme, rest = url.split("://", 1)
        credentials, host = rest.rsplit("@", 1)
        return f"{scheme}://{credentials.split(':', 1)[0]}@{host}"
    return url
