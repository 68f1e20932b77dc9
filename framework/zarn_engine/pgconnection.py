"""The connection source of the PostgreSQL store: one connection per thread, and
transactions run on it with the driver's errors turned into the store's.

A connection is retried for `connect_timeout` seconds only while the server cannot be
reached or is starting or stopping (a restart); any other refusal (an unknown database or
user, a wrong password, a bad option) is a ConfigurationError at once. A connection that
breaks before a transaction is committed is replaced and the transaction run again
(nothing of it was stored); one that breaks while committing raises ConnectionLost, since
the outcome is not known. No message shows a password of the URL, wherever the driver put it.
"""

from __future__ import annotations

import os
import socket
import threading
import time
from typing import TYPE_CHECKING, Any, Callable, TypeAlias, TypeVar

from .errors import (ConfigurationError, ConnectionLost, InvalidKey, ReadOnlyError, StorageError, StoreCorrupt,
                     StoreFull, StoreLocked, passwords_in, safe_url, scrub)

if TYPE_CHECKING:
    # Optional: without it this checks too, the driver's names then untyped.
    import psycopg  # type: ignore[import-not-found, unused-ignore]

    Connection: TypeAlias = psycopg.Connection[tuple[Any, ...]]
    Cursor: TypeAlias = psycopg.Cursor[tuple[Any, ...]]
else:
    try:
        import psycopg
    except ImportError:  # pragma: no cover - depends on the installation
        psycopg = None

R = TypeVar("R")


class Connections:
    """The per-thread connections to the database at `url`, and transactions on them."""

    def __init__(self, url: str, connect_timeout: float = 10.0) -> None:
        if psycopg is None:
            raise StorageError("the PostgreSQL engine needs psycopg 3: pip install 'zarn-framework[postgresql]'")
        self.url = url
        self.connect_timeout = connect_timeout
        self._local = threading.local()
        self._where = f"PostgreSQL database {safe_url(url)}"
        self._secrets = passwords_in(url)

    def _connect(self, autocommit: bool = False) -> Connection:
        """A new connection, trying again for `connect_timeout` seconds while the server is
        out of reach or restarting; ConfigurationError at once when it refuses us."""
        deadline = time.monotonic() + self.connect_timeout
        while True:
            try:
                return psycopg.connect(self.url, autocommit=autocommit, connect_timeout=5)
            except psycopg.Error as exc:
                if not (isinstance(exc, psycopg.OperationalError) and _transient(str(exc))):
                    raise ConfigurationError(f"cannot connect to {self._where}: {self._line(exc)}") from None
                if time.monotonic() >= deadline:
                    raise ConnectionLost(f"cannot connect to {self._where}: {self._line(exc)}") from None
                time.sleep(0.2)

    def _line(self, exc: BaseException) -> str:
        """The first line of the driver's message, without the URL's passwords."""
        return scrub(_first_line(exc), self._secrets)

    def _error(self, exc: Exception) -> StorageError:
        """The store's error for a driver error raised in a transaction that was not committed."""
        if isinstance(exc, UnicodeEncodeError):
            return InvalidKey("text with a lone surrogate cannot be stored: nothing was written")
        line, state = self._line(exc), getattr(exc, "sqlstate", None) or ""
        if isinstance(exc, psycopg.DataError) and "NUL" in line:
            return InvalidKey("text with a NUL character cannot be stored: nothing was written")
        if state == "53100":
            return StoreFull(f"{self._where} is full ({line}); nothing was written")
        if state in ("55P03", "40P01"):
            return StoreLocked(f"{self._where} is locked ({line}); nothing was written")
        if state in ("XX001", "XX002"):
            return StoreCorrupt(f"{self._where} is damaged ({line}); restore it from a backup")
        if state == "25006":
            return ReadOnlyError(f"{self._where} is read-only ({line}); nothing was written")
        return StorageError(f"{self._where}: {line}")

    def _conn(self) -> Connection:
        conn = getattr(self._local, "conn", None)
        if conn is None or conn.closed or conn.broken:
            conn = self._local.conn = self._connect()
        return conn

    def _run(self, work: Callable[[Cursor], R], short: bool = False) -> R:
        """`work(cursor)` in one transaction, committed. A connection broken before the commit
        is replaced and the work run again; one broken during the commit raises. `short`: in
        two round trips, for a few statements whose results come at the end: BEGIN travels
        with the statements, COMMIT alone."""
        restore = False if short else None  # autocommit after a rollback
        for attempt in range(3):
            conn = self._conn()
            committing = False
            try:
                if short:
                    conn.autocommit = True  # the transaction is begun with the statements, not before
                    with conn.pipeline(), conn.cursor() as cur:
                        cur.execute("BEGIN")
                        result = work(cur)
                        committing = True
                        cur.execute("COMMIT")
                    conn.autocommit = False
                else:
                    with conn.cursor() as cur:
                        result = work(cur)
                    committing = True
                    conn.commit()
                return result
            except psycopg.OperationalError as exc:
                if not conn.broken:
                    _rollback(conn, restore)
                    raise self._error(exc) from None
                self._local.conn = None
                if committing:
                    raise ConnectionLost("the connection broke while committing: the change may or may "
                                         "not have been stored") from None
                if attempt == 2:
                    raise ConnectionLost(f"lost the connection to {self._where}: {self._line(exc)}") from None
            except (psycopg.Error, UnicodeEncodeError) as exc:
                _rollback(conn, restore)
                raise self._error(exc) from None
            except BaseException:
                _rollback(conn, restore)
                raise
        raise AssertionError("unreachable")

    def _after_fork(self) -> None:
        conn = getattr(self._local, "conn", None)
        if conn is not None and not conn.closed:
            abandon(conn)
        self._local = threading.local()

    def close(self) -> None:
        conn = getattr(self._local, "conn", None)
        if conn is not None:
            conn.close()
            self._local.conn = None


# Keepalives find a peer that is gone (a host down, a cable pulled) within seconds.
KEEPALIVES: dict[str, Any] = {"keepalives": 1, "keepalives_idle": 5, "keepalives_interval": 2,
                              "keepalives_count": 3}


def shut_down(conn: Connection) -> None:
    """Make a call blocked on `conn` in another thread fail now."""
    fd = conn.pgconn.socket
    with socket.socket(fileno=os.dup(fd)) as sock:
        sock.shutdown(socket.SHUT_RDWR)


def abandon(conn: Connection) -> None:
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


def _rollback(conn: Connection, autocommit: bool | None = None) -> None:
    """Roll back, never raising over the error that led here, then set `autocommit` when
    given; a connection whose rollback failed is closed, so that the next transaction gets a
    new one."""
    try:
        if not conn.closed and not conn.broken:
            conn.rollback()
            if autocommit is not None:
                conn.autocommit = autocommit
    except psycopg.Error:
        conn.close()


def _first_line(exc: BaseException) -> str:
    return (str(exc).strip().splitlines() or [type(exc).__name__])[0]


# What a server that is restarting, or out of reach for now, answers to a new connection.
_TRANSIENT = ("connection refused", "timeout expired", "timed out", "the database system is starting up",
              "the database system is shutting down", "the database system is in recovery mode",
              "the database system is not yet accepting connections", "server closed the connection",
              "connection reset", "could not receive data", "could not send data", "no such file or directory",
              "too many clients", "ssl syscall error", "terminating connection", "broken pipe")


def _transient(message: str) -> bool:
    text = message.lower()
    return any(sign in text for sign in _TRANSIENT)
