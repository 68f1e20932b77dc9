"""The PostgreSQL store: one database for the processes of many hosts.

Needs psycopg 3 (the postgresql extra: `pip install 'psycopg[binary]'`). Every save is one
transaction whose single compare-and-set statement checks the version; the commit sends a
notification on the channel `zarn_documents` ("collection/key" as JSON), which live
documents in notify mode listen to. Parameterised SQL only.

Connecting reads the schema's version (schema.py) and changes no table, except in a database
without any, which it creates where the user may. Reads take no lock that a writer, or a
session idle in its transaction, holds up.

A connection that breaks before a transaction is committed is replaced and the transaction
run again (nothing of it was stored); one that breaks while committing raises
ConnectionLost, since the outcome is not known.
"""

from __future__ import annotations

import json
import os
import time
from typing import TYPE_CHECKING, Any, Sequence, cast

from . import schema
from .changes import materialize
from .dump import Held, check, plan
from .engine import Engine, Write, chain_of, prune_below
from .errors import ConnectionLost, ReadOnlyError, SchemaTooOld, StorageError, check_key, conflict, safe_url
from .feed import HEARTBEAT
from .pgconnection import KEEPALIVES, Connections, abandon, shut_down

if TYPE_CHECKING:
    # Optional: without it this checks too, the driver's names then untyped.
    import psycopg  # type: ignore[import-not-found, unused-ignore]

    from .dump import Plan
    from .feed import Feed
    from .pgconnection import Cursor
else:
    try:
        import psycopg
    except ImportError:  # pragma: no cover - depends on the installation
        psycopg = None

CHANNEL = "zarn_documents"
# Held while the schema is created or migrated, so that processes doing it at once do not race.
_SCHEMA_LOCK = 0x7A61726E

_SCHEMA = (
    "CREATE TABLE IF NOT EXISTS zarn_documents ("
    " collection TEXT NOT NULL, key TEXT NOT NULL,"
    " version BIGINT NOT NULL, data TEXT NOT NULL,"
    " PRIMARY KEY (collection, key))",
    "CREATE TABLE IF NOT EXISTS zarn_retired ("
    " collection TEXT NOT NULL, key TEXT NOT NULL, version BIGINT NOT NULL,"
    " PRIMARY KEY (collection, key))",
    # `data` holds the snapshot, the document at version `base` (NULL: at `version`, as every
    # row written before changes were logged); the changes after it are in the log.
    "ALTER TABLE zarn_documents ADD COLUMN IF NOT EXISTS base BIGINT",
    # The change log: one row per committed version; change NULL for a whole-document write.
    "CREATE TABLE IF NOT EXISTS zarn_changes ("
    " collection TEXT NOT NULL, key TEXT NOT NULL, version BIGINT NOT NULL,"
    " time DOUBLE PRECISION NOT NULL, who TEXT, change TEXT,"
    " PRIMARY KEY (collection, key, version))",
    # The schema's version (see schema.py): one row.
    "CREATE TABLE IF NOT EXISTS zarn_schema ("
    " id INTEGER PRIMARY KEY CHECK (id = 1), version INTEGER NOT NULL, oldest INTEGER NOT NULL)",
)
TABLES = ("zarn_documents", "zarn_retired", "zarn_changes")
# The finished phase: a statement that writes to any table, from a session without this
# schema's mark, fails whole.
_GUARD = f"zarn_schema_{schema.SCHEMA}_writers"
_GUARDS = (
    f"CREATE OR REPLACE FUNCTION {_GUARD}() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN"
    f" IF coalesce(substring(current_setting('{schema.SETTING}', true) from '^[0-9]{{1,9}}$')::int, 0)"
    f" < {schema.SCHEMA} THEN RAISE EXCEPTION USING MESSAGE = '{schema.REFUSAL}', ERRCODE = '42501'; END IF;"
    " RETURN NULL; END $$",
) + tuple(f"CREATE OR REPLACE TRIGGER {_GUARD} BEFORE INSERT OR UPDATE OR DELETE ON {table}"
          f" FOR EACH STATEMENT EXECUTE FUNCTION {_GUARD}()" for table in TABLES)
# Log a version (with the time of the transaction) and notify, when the row before it was written.
_LOG = ("WITH ins AS (INSERT INTO zarn_changes (collection, key, version, time, who, change)"
        " SELECT %s, %s, %s, extract(epoch FROM now()), %s, %s"
        " ON CONFLICT (collection, key, version) DO UPDATE SET time = excluded.time, who = excluded.who,"
        " change = excluded.change RETURNING version)"
        " SELECT version, pg_notify(%s, %s) FROM ins")

# The lowest version a write may take on this server: versions are (timeline - 1) << 32 and up,
# the timeline read from the name of the current WAL file. A standby promoted by a failover
# starts a new timeline; commits that the old primary acknowledged and never sent to it are
# missing there, and the versions they took are never handed out again for other content:
# the first write of each document on the new timeline jumps above every earlier one.
_FLOOR = ("((('x' || substr(pg_walfile_name(pg_current_wal_lsn()), 1, 8))::bit(32)::bigint - 1) << 32)")

# A change committed by one statement: the version check and the new head, the log entry,
# the notification (at commit). No row when the version was another: nothing written. The
# pruning form also drops log entries up to the snapshot by age and count (see prune_below).
_COMMIT_HEAD = (
    "WITH up AS (UPDATE zarn_documents SET base = COALESCE(base, version), version = version + 1"
    " WHERE collection = %(collection)s AND key = %(key)s AND version = %(expected)s"
    " AND version >= " + _FLOOR + " RETURNING base, version),"
    " ins AS (INSERT INTO zarn_changes (collection, key, version, time, who, change)"
    " SELECT %(collection)s, %(key)s, version, extract(epoch FROM now()), %(who)s, %(change)s FROM up"
    " ON CONFLICT (collection, key, version) DO UPDATE SET time = excluded.time, who = excluded.who,"
    " change = excluded.change RETURNING version)")
_COMMIT_TAIL = " SELECT version, pg_notify(%(channel)s, %(note)s) FROM ins"
_COMMIT = _COMMIT_HEAD + _COMMIT_TAIL
_COMMIT_PRUNING = (
    _COMMIT_HEAD + ", pruned AS (DELETE FROM zarn_changes c USING up WHERE c.collection = %(collection)s"
    " AND c.key = %(key)s AND c.version <= up.base"
    " AND (c.version <= LEAST(up.base, up.version - %(keep)s) OR c.time < %(before)s))" + _COMMIT_TAIL)


def grants(role: str, read_only: bool = False, schema_name: str = "public") -> list[str]:
    """The statements that let `role` use the store's tables in `schema_name`: read and write
    them (the runtime role: rows only, never the tables themselves), or, `read_only`, read
    them. LISTEN, which notify mode uses, needs no grant; creating and migrating the tables
    is the owner's."""

    def ident(name: str) -> str:
        return '"' + name.replace('"', '""') + '"'

    who, where = ident(role), ident(schema_name)
    tables = ", ".join(f"{where}.{table}" for table in TABLES)
    if read_only:
        return [f"GRANT USAGE ON SCHEMA {where} TO {who};",
                f"GRANT SELECT ON {tables}, {where}.zarn_schema TO {who};"]
    return [f"GRANT USAGE ON SCHEMA {where} TO {who};",
            f"GRANT SELECT, INSERT, UPDATE, DELETE ON {tables} TO {who};",
            f"GRANT SELECT ON {where}.zarn_schema TO {who};"]


class PostgreSQLEngine(Connections, Engine):
    """A PostgreSQL database reached by URL; one connection per thread."""

    def __init__(self, url: str, connect_timeout: float = 10.0, keep_changes: int | None = None,
                 keep_days: float | None = None, check_schema: bool = True) -> None:
        # Every connection carries the mark of this schema's software (see schema.py).
        Connections.__init__(self, schema.mark_url(url), connect_timeout)
        self._where = f"PostgreSQL database {safe_url(url)}"
        self._retain(keep_changes, keep_days)
        if check_schema:
            self._check_schema()

    # --- the schema (see schema.py) --------------------------------------------------------

    def _check_schema(self) -> None:
        """One read of the schema's row; a database without tables is created, where this
        user may."""

        def probe(cur: Cursor) -> tuple[Any, ...] | None:
            try:
                cur.execute("SELECT version, oldest FROM zarn_schema")
            except psycopg.errors.UndefinedTable:
                return None  # the transaction is rolled back by its commit
            row: tuple[Any, ...] = cur.fetchone() or (schema.FIRST, schema.FIRST)
            return row

        row = self._run(probe)
        if row is not None:
            schema.check(row[0], row[1], self._where)
            return
        if self._row("SELECT to_regclass('zarn_documents')", ()) != (None,):
            raise schema.too_old(self._where)
        try:
            self.migrate()
        except ReadOnlyError:
            # A standby, or a read-only transaction default.
            raise ReadOnlyError(f"{self._where}: a read-only database without documents") from None
        except StorageError as exc:
            if "permission denied" not in str(exc):
                raise
            raise SchemaTooOld(f"{self._where} has no tables and this user cannot create them ({exc}): run "
                               "`zarn-roles migrate --db URL` as the database's owner", 0, schema.SCHEMA) from None

    def migrate(self, finish: bool = False) -> tuple[int, int]:
        """Bring the database to this software's schema, or create it: see schema.py.
        `finish`: the second phase, once no older software uses the database. Returns the
        schema's (version, oldest) afterwards."""

        def work(cur: Cursor) -> tuple[int, int]:
            # The triggers of the finish wait for the transactions on the tables: for a while.
            cur.execute("SET LOCAL lock_timeout = '30s'")
            cur.execute("SELECT pg_advisory_xact_lock(%s)", (_SCHEMA_LOCK,))
            cur.execute("SELECT to_regclass('zarn_schema') IS NOT NULL, to_regclass('zarn_documents') IS NOT NULL")
            has_schema, has_documents = cast("tuple[bool, bool]", cur.fetchone())
            row = None
            if has_schema:
                cur.execute("SELECT version, oldest FROM zarn_schema")
                row = cur.fetchone()
            created = row is None
            if row is not None:
                schema.refuse_migration(self._where, row[0])
                oldest: int = row[1]
            else:
                for statement in _SCHEMA:
                    cur.execute(statement)
                # Tables of an earlier release: its software may go on writing until the finish.
                oldest = schema.FIRST if has_documents else schema.SCHEMA
                cur.execute("INSERT INTO zarn_schema (id, version, oldest) VALUES (1, %s, %s)",
                            (schema.SCHEMA, oldest))
            if (finish and oldest < schema.SCHEMA) or (created and oldest == schema.SCHEMA):
                for statement in _GUARDS:
                    cur.execute(statement)
                cur.execute("UPDATE zarn_schema SET oldest = %s", (schema.SCHEMA,))
                oldest = schema.SCHEMA
            return schema.SCHEMA, oldest

        return self._run(work)

    def _writable(self) -> None:
        if self.replica:
            raise ReadOnlyError(f"{self._where} is opened as a replica (replica=1): it is read, never "
                                "written; nothing was written")

    # --- the store -------------------------------------------------------------------------

    def _row(self, sql: str, params: tuple[Any, ...]) -> tuple[Any, ...] | None:
        """The first row of one query that writes nothing."""

        def work(cur: Cursor) -> tuple[Any, ...] | None:
            cur.execute(sql, params)
            row: tuple[Any, ...] | None = cur.fetchone()  # typed also where psycopg is not installed
            return row

        return self._run(work, read=True)

    def load(self, collection: str, key: str) -> tuple[str, int] | None:
        return self._whole(self.read(collection, key))

    def read(self, collection: str, key: str) -> tuple[str, int, int, list[tuple[int, str]]] | None:
        check_key(collection, key)
        return self._run(lambda cur: self._read_in(cur, collection, key), read=True)

    @staticmethod
    def _read_in(cur: Cursor, collection: str, key: str) -> tuple[str, int, int, list[tuple[int, str]]] | None:
        cur.execute("SELECT data, COALESCE(base, version), version FROM zarn_documents"
                    " WHERE collection = %s AND key = %s", (collection, key))
        row = cur.fetchone()
        if row is None:
            return None
        rows: list[tuple[int, str]] = []
        if row[1] != row[2]:
            cur.execute("SELECT version, change FROM zarn_changes WHERE collection = %s AND key = %s"
                        " AND version > %s AND version <= %s ORDER BY version", (collection, key, row[1], row[2]))
            rows = cur.fetchall()
        return row[0], row[1], row[2], rows

    def commit(self, collection: str, key: str, change: str, expected: int, who: str | None = None) -> int:
        check_key(collection, key)
        self._writable()
        committed = self._run(lambda cur: self._commit_in(cur, collection, key, change, expected, who), single=True)
        if committed is not None:
            return committed
        # After a failover: the document written whole, at a version above every earlier timeline's.
        whole = self._whole(self.read(collection, key))
        if whole is None or whole[1] != expected:
            raise conflict(collection, key, expected, None if whole is None else whole[1])
        return self.save(collection, key, materialize(whole[0], [(expected + 1, change)]), expected, who)

    def _commit_in(self, cur: Cursor, collection: str, key: str, change: str, expected: int,
                   who: str | None) -> int | None:
        """Log `change` after `expected` by one statement; None when the document is at that
        version but of an earlier timeline (see _FLOOR): then it is written whole."""
        version = expected + 1
        params: dict[str, Any] = {"collection": collection, "key": key, "expected": expected, "who": who,
                                  "change": change, "channel": CHANNEL, "note": json.dumps([collection, key])}
        sql = _COMMIT
        if version % 64 == 0:
            sql = _COMMIT_PRUNING
            params["keep"] = self.keep_changes  # the bounds of prune_below, reckoned by the statement
            params["before"] = time.time() - self.keep_days * 86400.0
        cur.execute(sql, params)
        if cur.fetchone() is None:
            cur.execute("SELECT version FROM zarn_documents WHERE collection = %s AND key = %s",
                        (collection, key))
            found = cur.fetchone()
            if found is not None and found[0] == expected:
                return None  # a version of an earlier timeline (see _FLOOR)
            raise conflict(collection, key, expected, None if found is None else found[0])
        return version

    def save_many(self, writes: Sequence[Write]) -> list[int]:
        for w in writes:
            check_key(w.collection, w.key)
        # Rows are locked in the order of their keys, whatever the order given: two of these
        # transactions over the same documents never wait for each other in a circle.
        order = sorted(range(len(writes)), key=lambda i: (writes[i].collection, writes[i].key))

        def work(cur: Cursor) -> list[int]:
            versions = [0] * len(writes)
            for i in order:
                versions[i] = self._put(cur, writes[i])
            return versions

        self._writable()
        return self._run(work)

    def _put(self, cur: Cursor, w: Write) -> int:
        """One write inside the open transaction, with its version check, log entry and notification."""
        if not w.change:
            return self._save_in(cur, w.collection, w.key, w.data, w.expected, w.who)
        assert w.expected is not None
        committed = self._commit_in(cur, w.collection, w.key, w.data, w.expected, w.who)
        if committed is not None:
            return committed
        whole = self._whole(self._read_in(cur, w.collection, w.key))  # after a failover, as commit does
        if whole is None or whole[1] != w.expected:
            raise conflict(w.collection, w.key, w.expected, None if whole is None else whole[1])
        return self._save_in(cur, w.collection, w.key, materialize(whole[0], [(w.expected + 1, w.data)]),
                             w.expected, w.who)

    def _log(self, cur: Cursor, collection: str, key: str, version: int, who: str | None, change: str | None,
             note: str) -> None:
        cur.execute(_LOG, (collection, key, version, who, change, CHANNEL, note))
        if version % 64 == 0:
            self._prune(cur, collection, key)

    def _prune(self, cur: Cursor, collection: str, key: str) -> None:
        cur.execute("SELECT COALESCE(base, version), version FROM zarn_documents WHERE collection = %s AND key = %s",
                    (collection, key))
        row = cur.fetchone()
        if row is None:
            return
        below, before = prune_below(row[0], row[1], self.keep_changes, self.keep_days, time.time())
        cur.execute("DELETE FROM zarn_changes WHERE collection = %s AND key = %s AND version <= %s"
                    " AND (version <= %s OR time < %s)", (collection, key, row[0], below, before))

    def rebase(self, collection: str, key: str, data: str, version: int) -> bool:
        check_key(collection, key)

        def work(cur: Cursor) -> bool:
            cur.execute("UPDATE zarn_documents SET data = %s, base = %s WHERE collection = %s AND key = %s"
                        " AND COALESCE(base, version) < %s AND version >= %s",
                        (data, version, collection, key, version, version))
            if cur.rowcount != 1:
                return False
            self._prune(cur, collection, key)
            return True

        if self.replica:
            return False  # a reader of a replica leaves snapshots to the primary
        return self._run(work)

    def changes_since(self, collection: str, key: str, version: int) -> list[tuple[int, str]] | None:
        check_key(collection, key)

        def work(cur: Cursor) -> list[tuple[Any, ...]]:
            # One statement: the current version and the changes after `version`, one snapshot.
            cur.execute("SELECT d.version, c.version, c.change FROM zarn_documents d"
                        " LEFT JOIN zarn_changes c ON c.collection = d.collection AND c.key = d.key"
                        " AND c.version > %s AND c.version <= d.version"
                        " WHERE d.collection = %s AND d.key = %s ORDER BY c.version", (version, collection, key))
            return cur.fetchall()

        rows = self._run(work, read=True)
        if not rows or rows[0][0] < version:
            return None
        return chain_of([(r[1], r[2]) for r in rows if r[1] is not None], version, rows[0][0])

    def history(self, collection: str, key: str, since_version: int | None = None,
                since_time: float | None = None) -> list[dict[str, Any]]:
        check_key(collection, key)

        def work(cur: Cursor) -> list[tuple[Any, ...]]:
            cur.execute("SELECT version, time, who, change FROM zarn_changes WHERE collection = %s AND key = %s"
                        " AND version > %s AND time >= %s ORDER BY version",
                        (collection, key, -1 if since_version is None else since_version,
                         float("-inf") if since_time is None else since_time))
            return cur.fetchall()

        return [{"version": v, "time": t, "who": w, "change": c} for v, t, w, c in self._run(work, read=True)]

    def version(self, collection: str, key: str) -> int | None:
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

    def save(self, collection: str, key: str, data: str, expected: int | None, who: str | None = None) -> int:
        check_key(collection, key)
        self._writable()
        return self._run(lambda cur: self._save_in(cur, collection, key, data, expected, who))

    def _save_in(self, cur: Cursor, collection: str, key: str, data: str, expected: int | None,
                 who: str | None) -> int:
        note = json.dumps([collection, key])
        if expected is None:
            cur.execute(self._LOCK_KEY, (collection, key))
            cur.execute(self._READ_KEY, (collection, key))
            retired = cast("tuple[int]", cur.fetchone())[0]  # the row is there: made or locked above
            cur.execute(
                "INSERT INTO zarn_documents (collection, key, version, data, base) SELECT %s, %s, v, %s, v"
                " FROM (SELECT GREATEST(%s, " + _FLOOR + ") AS v) AS new"
                " ON CONFLICT (collection, key) DO NOTHING RETURNING version",
                (collection, key, data, retired + 1))
        else:
            cur.execute("UPDATE zarn_documents SET version = GREATEST(version + 1, " + _FLOOR + "),"
                        " base = GREATEST(version + 1, " + _FLOOR + "), data = %s"
                        " WHERE collection = %s AND key = %s AND version = %s RETURNING version",
                        (data, collection, key, expected))
        row: tuple[int] | None = cur.fetchone()
        if row is None:
            cur.execute("SELECT version FROM zarn_documents WHERE collection = %s AND key = %s",
                        (collection, key))
            found = cur.fetchone()
            raise conflict(collection, key, expected, None if found is None else found[0])
        self._log(cur, collection, key, row[0], who, None, note)
        return row[0]

    def delete(self, collection: str, key: str, expected: int | None = None) -> bool:
        check_key(collection, key)
        note = json.dumps([collection, key])

        def work(cur: Cursor) -> bool:
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
            cur.execute("DELETE FROM zarn_changes WHERE collection = %s AND key = %s", (collection, key))
            cur.execute("UPDATE zarn_retired SET version = GREATEST(version, %s)"
                        " WHERE collection = %s AND key = %s", (row[0], collection, key))
            cur.execute("SELECT pg_notify(%s, %s)", (CHANNEL, note))
            return True

        self._writable()
        return self._run(work)

    def keys(self, collection: str) -> list[str]:
        check_key(collection, "")

        def work(cur: Cursor) -> list[str]:
            cur.execute("SELECT key FROM zarn_documents WHERE collection = %s ORDER BY key COLLATE \"C\"",
                        (collection,))
            return [row[0] for row in cur.fetchall()]

        return self._run(work, read=True)

    # --- dumps and restores (dump.py) ---------------------------------------------------

    def dump(self) -> dict[str, Any]:
        def work(cur: Cursor) -> dict[str, Any]:
            # One snapshot of the three tables.
            cur.execute("SET TRANSACTION ISOLATION LEVEL REPEATABLE READ, READ ONLY")
            cur.execute("SELECT collection, key, version, COALESCE(base, version), data FROM zarn_documents"
                        " ORDER BY collection COLLATE \"C\", key COLLATE \"C\"")
            docs = cur.fetchall()
            log: dict[tuple[str, str], list[list[Any]]] = {}
            cur.execute("SELECT collection, key, version, time, who, change FROM zarn_changes"
                        " ORDER BY collection, key, version")
            for c, k, v, t, w, change in cur.fetchall():
                log.setdefault((c, k), []).append([v, t, w, change])
            cur.execute("SELECT collection, key, version FROM zarn_retired WHERE version > 0"
                        " ORDER BY collection COLLATE \"C\", key COLLATE \"C\"")
            retired = [list(row) for row in cur.fetchall()]
            return {"documents": [{"collection": c, "key": k, "version": v, "base": b, "data": data,
                                   "log": log.get((c, k), [])} for c, k, v, b, data in docs],
                    "retired": retired}

        return self._run(work)

    def restore(self, dump: dict[str, Any], who: str | None = None) -> Plan:
        check(dump)

        def work(cur: Cursor) -> Plan:
            # Writers wait until the restore is committed; readers read on (the lock conflicts
            # with writes only).
            cur.execute("LOCK TABLE zarn_documents, zarn_retired, zarn_changes IN SHARE ROW EXCLUSIVE MODE")
            cur.execute("SELECT collection, key, version, COALESCE(base, version), data FROM zarn_documents")
            rows = cur.fetchall()
            cur.execute("SELECT c.collection, c.key, c.change FROM zarn_changes c JOIN zarn_documents d"
                        " ON d.collection = c.collection AND d.key = c.key"
                        " WHERE c.version > COALESCE(d.base, d.version) AND c.version <= d.version"
                        " ORDER BY c.collection, c.key, c.version")
            after: dict[tuple[str, str], list[str]] = {}
            for c, k, change in cur.fetchall():
                after.setdefault((c, k), []).append(change)
            held = {(c, k): Held(v, b, data, after.get((c, k), [])) for c, k, v, b, data in rows}
            cur.execute("SELECT collection, key, version FROM zarn_retired")
            retired = {(c, k): v for c, k, v in cur.fetchall()}
            cur.execute("SELECT DISTINCT collection, key FROM zarn_changes")
            logged = {(c, k) for c, k in cur.fetchall()}
            todo = plan(dump, held, retired, logged)
            for doc in todo.exact:
                where = (doc["collection"], doc["key"])
                cur.execute("INSERT INTO zarn_documents (collection, key, version, data, base)"
                            " VALUES (%s, %s, %s, %s, %s)", (*where, doc["version"], doc["data"], doc["base"]))
                if doc["log"]:
                    cur.executemany("INSERT INTO zarn_changes (collection, key, version, time, who, change)"
                                    " VALUES (%s, %s, %s, %s, %s, %s)", [(*where, *row) for row in doc["log"]])
            for doc, version, text in todo.rewrite:
                where = (doc["collection"], doc["key"])
                cur.execute("INSERT INTO zarn_documents (collection, key, version, data, base)"
                            " VALUES (%s, %s, %s, %s, %s) ON CONFLICT (collection, key) DO UPDATE"
                            " SET version = excluded.version, data = excluded.data, base = excluded.base",
                            (*where, version, text, version))
                self._log(cur, *where, version, who, None, json.dumps(list(where)))
            for collection, key, version in todo.remove:
                cur.execute("DELETE FROM zarn_documents WHERE collection = %s AND key = %s", (collection, key))
                cur.execute("DELETE FROM zarn_changes WHERE collection = %s AND key = %s", (collection, key))
            for collection, key, version in todo.remove + todo.retired:
                cur.execute("INSERT INTO zarn_retired (collection, key, version) VALUES (%s, %s, %s)"
                            " ON CONFLICT (collection, key) DO UPDATE"
                            " SET version = GREATEST(zarn_retired.version, excluded.version)",
                            (collection, key, version))
            for doc in todo.exact:
                cur.execute("SELECT pg_notify(%s, %s)", (CHANNEL, json.dumps([doc["collection"], doc["key"]])))
            for collection, key, _version in todo.remove:
                cur.execute("SELECT pg_notify(%s, %s)", (CHANNEL, json.dumps([collection, key])))
            return todo

        return self._run(work)

    def listen(self, feed: Feed) -> None:
        """LISTEN on a connection of its own. Every HEARTBEAT seconds without a notification,
        a round trip proves the connection alive: the server sends every notification of a
        commit made before the query ahead of its answer. A connection that hangs (a stopped
        server) is shut down by the feed when proofs stop coming."""
        if self.replica:
            # A standby runs no LISTEN: readers of a replica ask it (see Live), never a feed.
            raise ConnectionLost(f"{self._where} is a replica: no change feed there")
        try:
            conn = psycopg.connect(self._dsn, autocommit=True, connect_timeout=5,
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
