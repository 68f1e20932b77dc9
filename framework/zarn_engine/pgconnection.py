"""The connection source of the PostgreSQL store: a bounded pool of connections per store
and process, and transactions run on them with the driver's errors turned into the store's.

A connection is retried for `connect_timeout` seconds only while the server cannot be
reached, is starting or stopping (a restart) or has no connection slot left; any other
refusal (an unknown database or user, a wrong password, a bad option) is a
ConfigurationError at once. A connection that breaks before a transaction is committed is
replaced and the transaction run again (nothing of it was stored); one that breaks while
committing raises ConnectionLost, since the outcome is not known. No message shows a
password of the URL, wherever the driver put it.

The store's own URL parameters (taken out before the URL reaches libpq):
- `pool_size` (10): connections this process keeps to the store, beside one listener;
  `pool_timeout` (5 s): how long a thread waits for one of them before StoreBusy;
- `lock_timeout` (10 s), `statement_timeout` (60 s): how long a statement waits for a lock,
  or runs, before StoreLocked; `idle_in_transaction_session_timeout` (5 s): how long the
  server lets one of our sessions hold a transaction open while it sends nothing (a frozen
  process holding a row lock): the server ends the session, the lock is freed, and writers
  waiting for it go on (the shorter bound). Commits of changes take one round trip and hold
  nothing between two messages. A timeout that the role, the database or `options` set
  already is kept unless the URL names it;
- `replica=1`: read from a hot standby (else refused), never write (see postgresql.py).
"""

from __future__ import annotations

import os
import select
import socket
import threading
import time
import urllib.parse
from typing import TYPE_CHECKING, Any, Callable, TypeAlias, TypeVar

from .errors import (ConfigurationError, ConnectionLost, InvalidKey, ReadOnlyError, StorageError, StoreBusy,
                     StoreCorrupt, StoreFull, StoreLocked, passwords_in, safe_url, scrub)

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
# Connections inherited across fork(): kept, never used or closed, in the child.
inherited: list[Any] = []

# The store's URL parameters: name -> (default, lowest, highest); `replica` is 0 or 1. The
# server's timeouts have no 0: there it means "wait for ever".
SETTINGS: dict[str, tuple[float, float, float]] = {
    "pool_size": (10, 1, 1000), "pool_timeout": (5.0, 0.0, 3600.0), "lock_timeout": (10.0, 0.001, 86400.0),
    "statement_timeout": (60.0, 0.001, 86400.0), "idle_in_transaction_session_timeout": (5.0, 0.001, 86400.0),
    "replica": (0, 0, 1),
}
_TIMEOUTS = ("lock_timeout", "statement_timeout", "idle_in_transaction_session_timeout")
# Set on each new connection (seconds, as the server's milliseconds): where the URL names the
# timeout, or where nothing set it already (0, the server's default).
_SESSION = ("SELECT pg_is_in_recovery(), pg_postmaster_start_time()::text, inet_server_addr()::text,"
            " inet_server_port(),"
            + ",".join(f" CASE WHEN %({name})s::bool OR current_setting('{name}') = '0'"
                       f" THEN set_config('{name}', %({name}_ms)s, false) END, current_setting('{name}')"
                       for name in _TIMEOUTS))


def split_url(url: str) -> tuple[str, dict[str, float], set[str]]:
    """(the URL for libpq, the store's settings, the names of those the URL gave)."""
    base, mark, query = url.partition("?")
    settings = {name: default for name, (default, _, _) in SETTINGS.items()}
    given: set[str] = set()
    kept = []
    for pair in query.split("&") if mark else []:
        name, _, text = pair.partition("=")
        if name not in SETTINGS:
            kept.append(pair)
            continue
        value_text = urllib.parse.unquote_plus(text)
        _, low, high = SETTINGS[name]
        if name in given:
            raise ConfigurationError(f"parameter {name!r} given twice in {safe_url(url)}")
        try:
            value = float(value_text)
            if not low <= value <= high or (name in ("pool_size", "replica") and value != int(value)):
                raise ValueError
        except ValueError:
            kind = "0 or 1" if name == "replica" else (f"a whole number from {low:g} to {high:g}"
                                                       if name == "pool_size" else f"seconds, {low:g} to {high:g}")
            raise ConfigurationError(f"{name}={value_text} in {safe_url(url)}: {kind}") from None
        settings[name] = value
        given.add(name)
    return base + (mark + "&".join(kept) if kept else ""), settings, given


class Pool:
    """At most `size` connections made by `connect`, lent to one thread at a time; a thread
    waits `timeout` seconds for one, then StoreBusy. The most recently returned is lent
    first: the connections a light load needs stay warm, the others idle."""

    def __init__(self, connect: Callable[[], Connection], size: int, timeout: float, where: str) -> None:
        self._make = connect
        self.size = size
        self.timeout = timeout
        self._where = where
        self._reset()

    def _reset(self) -> None:
        self._pid = os.getpid()
        self._cond = threading.Condition(threading.Lock())
        self._idle: list[Connection] = []
        self._open = 0  # made and not yet dropped: idle and lent
        self._made: dict[Connection, int] = {}  # every open connection -> the generation it was made in
        self._generation = 0  # moved by close(): connections of earlier ones are closed when returned

    def get(self) -> Connection:
        if self._pid != os.getpid():  # forked without the interpreter's hooks (see after_fork)
            inherited.extend(self.after_fork())
        deadline = None
        with self._cond:
            while True:
                while self._idle:
                    conn = self._idle.pop()
                    if _usable(conn):
                        return conn
                    self._drop(conn)
                    _close(conn)
                if self._open < self.size:
                    self._open += 1
                    break
                if deadline is None:
                    deadline = time.monotonic() + self.timeout
                left = deadline - time.monotonic()
                if left <= 0:
                    raise StoreBusy(f"no connection to {self._where} was free within {self.timeout:g} s: all "
                                    f"{self.size} of this process's connections (pool_size) are in use")
                self._cond.wait(left)
        try:
            conn = self._make()
        except BaseException:
            with self._cond:
                self._open -= 1
                self._cond.notify()
            raise
        with self._cond:
            self._made[conn] = self._generation
        return conn

    def put(self, conn: Connection) -> None:
        """Give `conn` back: kept for the next thread when it is sound and idle, else closed."""
        with self._cond:
            if conn not in self._made:
                return  # made before a fork, or given back twice
            keep = (self._made[conn] == self._generation and not conn.closed and not conn.broken
                    and conn.info.transaction_status == psycopg.pq.TransactionStatus.IDLE)
            if keep:
                self._idle.append(conn)
            else:
                self._drop(conn)
            self._cond.notify()
        if not keep:
            _close(conn)

    def _drop(self, conn: Connection) -> None:  # under _cond: a connection that is not kept
        del self._made[conn]
        self._open -= 1

    def close(self) -> None:
        """Close the idle connections now, those lent out when they come back."""
        with self._cond:
            idle, self._idle = self._idle, []
            for conn in idle:
                self._made.pop(conn, None)
                self._open -= 1
            self._generation += 1
            self._cond.notify_all()
        for conn in idle:
            _close(conn)

    def after_fork(self) -> list[Connection]:
        """In a child after fork(): every connection inherited from the parent let go without
        a word to the server (the parent goes on using them); returned to be kept alive."""
        inherited = list(self._made)
        for conn in inherited:
            if not conn.closed:
                try:
                    abandon(conn)
                except Exception:
                    pass
        self._reset()
        return inherited


def _usable(conn: Connection) -> bool:
    """Whether an idle connection is still sound: open, and with nothing sent to it by the
    server while idle (what an idle session receives is its termination: a restart, an
    administrator, a timeout)."""
    if conn.closed or conn.broken:
        return False
    try:
        readable, _, _ = select.select([conn.pgconn.socket], [], [], 0)
    except (OSError, ValueError, psycopg.Error):
        return False
    return not readable


def _close(conn: Connection) -> None:
    try:
        conn.close()
    except Exception:
        pass


class Connections:
    """The pooled connections to the database at `url`, and transactions on them."""

    epoch: int  # Engine's: moved when the server answering is another one (a failover)

    def __init__(self, url: str, connect_timeout: float = 10.0) -> None:
        if psycopg is None:
            raise StorageError("the PostgreSQL engine needs psycopg 3 (the postgresql extra): pip install 'psycopg[binary]'")
        self.url = url
        self.connect_timeout = connect_timeout
        self._where = f"PostgreSQL database {safe_url(url)}"
        self._secrets = passwords_in(url)
        self._dsn, settings, given = split_url(url)
        self.replica = bool(settings["replica"])
        self.pool_size = int(settings["pool_size"])
        self._session: dict[str, Any] = {}
        # The timeouts as the server shows them, for messages: those of the last connection made.
        self.timeouts: dict[str, str] = {}
        for name in _TIMEOUTS:
            self._session[name] = name in given
            self._session[f"{name}_ms"] = f"{int(settings[name] * 1000)}ms"
            self.timeouts[name] = f"{settings[name]:g}s"
        self._server: tuple[Any, ...] | None = None  # the identity of the server last connected to
        self._pool = Pool(self._connect, self.pool_size, settings["pool_timeout"], self._where)

    def _connect(self) -> Connection:
        """A new connection, set up for the store; retried for `connect_timeout` seconds while
        the server is out of reach, restarting or out of connection slots; ConfigurationError
        at once when it refuses us or is a standby that the URL does not ask to read."""
        deadline = time.monotonic() + self.connect_timeout
        while True:
            try:
                conn = psycopg.connect(self._dsn, autocommit=True, connect_timeout=5, **KEEPALIVES)
                break
            except psycopg.Error as exc:
                if not (isinstance(exc, psycopg.OperationalError) and _transient(str(exc))):
                    raise ConfigurationError(f"cannot connect to {self._where}: {self._line(exc)}") from None
                if time.monotonic() >= deadline:
                    if _no_slot(str(exc)):
                        raise StoreBusy(f"cannot connect to {self._where}: the server has no connection slot "
                                        f"left ({self._line(exc)}); nothing was done, try again later") from None
                    raise ConnectionLost(f"cannot connect to {self._where}: {self._line(exc)}") from None
                time.sleep(0.2)
        try:
            row = conn.execute(_SESSION, self._session).fetchone()
        except psycopg.Error as exc:
            _close(conn)
            raise ConnectionLost(f"cannot set up a connection to {self._where}: {self._line(exc)}") from None
        assert row is not None
        if row[0] and not self.replica:
            _close(conn)
            raise ConfigurationError(f"{self._where} is a standby (in recovery): a store reads and writes the "
                                     "primary; add replica=1 to the URL to read from a standby")
        for n, name in enumerate(_TIMEOUTS):
            self.timeouts[name] = row[4 + 2 * n] or row[5 + 2 * n]
        server = tuple(row[1:4])
        if server != self._server:
            if self._server is not None:
                self.epoch += 1  # another server (a failover) or a restart: what is held is read again
            self._server = server
        return conn

    def _line(self, exc: BaseException) -> str:
        """The first line of the driver's message, without the URL's passwords."""
        return scrub(_first_line(exc), self._secrets)

    def _error(self, exc: Exception, writing: bool = True) -> StorageError:
        """The store's error for a driver error raised in a transaction that was not committed
        (a read when not `writing`)."""
        unwritten = "; nothing was written" if writing else ""
        if isinstance(exc, UnicodeEncodeError):
            return InvalidKey(f"text with a lone surrogate cannot be stored{unwritten}")
        line, state = self._line(exc), getattr(exc, "sqlstate", None) or ""
        what = "a write" if writing else "a read"
        if isinstance(exc, psycopg.DataError) and "NUL" in line:
            return InvalidKey(f"text with a NUL character cannot be stored{unwritten}")
        if state == "53100":
            return StoreFull(f"{self._where} is full ({line}){unwritten}")
        if state == "55P03":
            return StoreLocked(f"{self._where} is locked: {what} waited longer than lock_timeout "
                               f"({self.timeouts['lock_timeout']}) for a lock another session holds "
                               f"({line}){unwritten}")
        if state == "57014":
            return StoreLocked(f"{self._where}: {what} ran longer than statement_timeout "
                               f"({self.timeouts['statement_timeout']}), waiting for another session or the "
                               f"server ({line}){unwritten}")
        if state == "40P01":
            return StoreLocked(f"{self._where} is locked: {what} was chosen to end a deadlock ({line}){unwritten}")
        if state in ("XX001", "XX002"):
            return StoreCorrupt(f"{self._where} is damaged ({line}); restore it from a backup")
        if state == "25006":
            return ReadOnlyError(f"{self._where} is read-only ({line}); nothing was written")
        if state == "53300":
            return StoreBusy(f"{self._where} has no connection slot left ({line}){unwritten}")
        return StorageError(f"{self._where}: {line}")

    def _run(self, work: Callable[[Cursor], R], *, read: bool = False, single: bool = False) -> R:
        """`work(cursor)` on a connection of the pool: in one transaction, committed; `read`:
        statements that write nothing, each on its own (no transaction kept open between
        them); `single`: one statement that commits by itself, in one round trip, so that
        no lock is held while this process is between two messages. A connection broken
        before the commit is replaced and the work run again; one broken during the commit
        raises."""
        for attempt in range(3):
            conn = self._pool.get()
            committing = single
            try:
                with conn.cursor() as cur:
                    if read or single:
                        result = work(cur)
                    else:
                        cur.execute("BEGIN")
                        result = work(cur)
                        committing = True
                        cur.execute("COMMIT")
                self._pool.put(conn)
                return result
            except psycopg.OperationalError as exc:
                if not conn.broken:
                    _rollback(conn)
                    self._pool.put(conn)
                    raise self._error(exc, not read) from None
                self._pool.put(conn)
                if committing:
                    raise ConnectionLost("the connection broke while committing: the change may or may "
                                         "not have been stored") from None
                if attempt == 2:
                    raise ConnectionLost(f"lost the connection to {self._where}: {self._line(exc)}") from None
            except (psycopg.Error, UnicodeEncodeError) as exc:
                _rollback(conn)
                self._pool.put(conn)
                raise self._error(exc, not read) from None
            except BaseException:
                _rollback(conn)
                self._pool.put(conn)
                raise
        raise AssertionError("unreachable")

    def _after_fork(self) -> None:
        inherited.extend(self._pool.after_fork())

    def close(self) -> None:
        """Close this process's connections to the store (those in use when they are given
        back); the store opens new ones on its next use."""
        self._pool.close()


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


def _rollback(conn: Connection) -> None:
    """Roll back what is open, never raising over the error that led here; a connection whose
    rollback failed is closed, so that the pool drops it."""
    try:
        if not conn.closed and not conn.broken and \
                conn.info.transaction_status != psycopg.pq.TransactionStatus.IDLE:
            conn.execute("ROLLBACK")
    except psycopg.Error:
        _close(conn)


def _first_line(exc: BaseException) -> str:
    return (str(exc).strip().splitlines() or [type(exc).__name__])[0]


# What a server without a free connection slot (SQLSTATE 53300) answers to a new connection.
_NO_SLOT = ("too many clients", "remaining connection slots are reserved", "too many connections")


def _no_slot(message: str) -> bool:
    text = message.lower()
    return any(sign in text for sign in _NO_SLOT)


# What a server that is restarting, or out of reach for now, answers to a new connection.
_TRANSIENT = ("connection refused", "timeout expired", "timed out", "the database system is starting up",
              "the database system is shutting down", "the database system is in recovery mode",
              "the database system is not yet accepting connections", "server closed the connection",
              "connection reset", "could not receive data", "could not send data", "no such file or directory",
              "ssl syscall error", "terminating connection", "broken pipe",
              # target_session_attrs=read-write finding standbys only: a failover under way
              "session is read-only", "is in hot standby mode", "server is in recovery") + _NO_SLOT


def _transient(message: str) -> bool:
    text = message.lower()
    return any(sign in text for sign in _TRANSIENT)
