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
import time

from .engine import Engine
from .errors import ConnectionLost, ReadOnlyError, check_key, conflict
from .feed import HEARTBEAT
from .pgconnection import KEEPALIVES, Connections, abandon, shut_down

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


class PostgreSQLEngine(Connections, Engine):
    """A PostgreSQL database reached by URL; one connection per thread."""

    def __init__(self, url: str, connect_timeout: float = 10.0) -> None:
        Connections.__init__(self, url, connect_timeout)
        try:
            self._run(self._create_schema)
        except ReadOnlyError:
            # A standby, or a read-only transaction default: readable once the tables are there.
            if self._row("SELECT to_regclass('zarn_documents')", ()) == (None,):
                raise ReadOnlyError(f"{self._where}: a read-only database without documents") from None

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
        check_key(collection, key)
        row = self._row("SELECT data, version FROM zarn_documents WHERE collection = %s AND key = %s",
                        (collection, key))
        return None if row is None else (row[0], row[1])

    def version(self, collection, key):
        check_key(collection, key)
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
        check_key(collection, key)
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
        check_key(collection, key)
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
        check_key(collection, "")

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
                                   application_name=f"zarn-listener {os.getpid()}", **KEEPALIVES)
        except psycopg.Error as exc:
            raise ConnectionLost(f"cannot listen on {self._where}: {self._line(exc)}") from None
        try:
            feed.attach(lambda: shut_down(conn), lambda: abandon(conn))
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
                raise ConnectionLost(f"listener lost {self._where}: {self._line(exc)}") from None
        finally:
            feed.detach()
            feed.down()
            conn.close()
