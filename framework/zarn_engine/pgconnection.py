"""The connection source of the PostgreSQL store: one connection per thread, made with
retries while a server restarts, and transactions run on it with the driver's errors turned
into the store's.
"""

from __future__ import annotations

import threading
import time
from typing import Any, Callable

from .errors import ConnectionLost, StorageError

try:
    import psycopg
except ImportError:  # pragma: no cover - depends on the installation
    psycopg = None


class Connections:
    """The per-thread connections to the database at `url`, and transactions on them."""

    def __init__(self, url: str, connect_timeout: float = 10.0) -> None:
        if psycopg is None:
            raise StorageError("the PostgreSQL engine needs psycopg 3: pip install 'zarn-framework[postgresql]'")
        self.url = url
        self.connect_timeout = connect_timeout
        self._local = threading.local()

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

    def close(self):
        conn = getattr(self._local, "conn", None)
        if conn is not None:
            conn.close()
            self._local.conn = None


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
