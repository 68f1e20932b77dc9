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

from .engine import Engine
from .errors import ReadOnlyError, check_key, conflict
from .pgconnection import Connections

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

    def save(self, collection, key, data, expected):
        check_key(collection, key)
        note = json.dumps([collection, key])

        def work(cur):
            if expected is None:
                cur.execute(
                    "INSERT INTO zarn_documents (collection, key, version, data)"
                    " VALUES (%s, %s, COALESCE((SELECT version FROM zarn_retired"
                    "  WHERE collection = %s AND key = %s), 0) + 1, %s)"
                    " ON CONFLICT (collection, key) DO NOTHING RETURNING version",
                    (collection, key, collection, key, data))
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
            cur.execute("SELECT version FROM zarn_documents WHERE collection = %s AND key = %s FOR UPDATE",
                        (collection, key))
            row = cur.fetchone()
            if row is None:
                return False
            if expected is not None and row[0] != expected:
                raise conflict(collection, key, expected, row[0])
            cur.execute("DELETE FROM zarn_documents WHERE collection = %s AND key = %s", (collection, key))
            cur.execute("INSERT INTO zarn_retired (collection, key, version) VALUES (%s, %s, %s)"
                        " ON CONFLICT (collection, key) DO UPDATE"
                        " SET version = GREATEST(zarn_retired.version, excluded.version)",
                        (collection, key, row[0]))
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

    def listen(self, on_change, on_state, stop):
        """LISTEN on a connection of its own; after a lost connection, reconnects and reports
        everything as changed, since notifications sent meanwhile are lost."""
        while not stop.is_set():
            try:
                conn = psycopg.connect(self.url, autocommit=True, connect_timeout=5)
            except psycopg.OperationalError:
                stop.wait(0.2)
                continue
            try:
                conn.execute(f"LISTEN {CHANNEL}")
                on_change(None, None)
                on_state(True)
                while not stop.is_set():
                    for note in conn.notifies(timeout=0.2):
                        try:
                            collection, key = json.loads(note.payload)
                        except (ValueError, TypeError):
                            collection = key = None
                        on_change(collection, key)
            except psycopg.Error:
                pass
            finally:
                on_state(False)
                conn.close()
