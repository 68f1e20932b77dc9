"""PostgreSQL connections: a bounded pool per store and process, bounded waits on locks, a
frozen writer that holds nothing for long, standbys read only on request, failover."""

import os
import signal
import subprocess
import sys
import threading
import time

import pytest

import zarn_engine
from zarn_engine import ConfigurationError, Live, StoreBusy, StoreLocked

psycopg = pytest.importorskip("psycopg")

ENV = {**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)}


@pytest.fixture
def pg_url(request):
    """An empty schema of its own on the test server (see conftest.py)."""
    from conftest import _postgres_schema_url

    return _postgres_schema_url(request)


def with_params(url, **params):
    return url + ("&" if "?" in url else "?") + "&".join(f"{k}={v}" for k, v in params.items())


def backends(url, application):
    with psycopg.connect(url, autocommit=True) as conn:
        return conn.execute("SELECT count(*) FROM pg_stat_activity WHERE application_name = %s",
                            (application,)).fetchone()[0]


def test_store_parameters_of_the_url(pg_url):
    engine = zarn_engine.open_engine(with_params(pg_url, pool_size=3, pool_timeout=0.5, lock_timeout=0.25,
                                                 statement_timeout=20, idle_in_transaction_session_timeout=2))
    engine.save("c", "k", "one", None)  # the store's parameters never reach libpq
    assert engine.pool_size == 3 and engine.timeouts == {
        "lock_timeout": "250ms", "statement_timeout": "20s", "idle_in_transaction_session_timeout": "2s"}
    engine.close()
    for params, message in (({"pool_size": 0}, r"pool_size=0 in .*: a whole number from 1 to 1000"),
                            ({"pool_size": 2.5}, r"pool_size=2.5"), ({"lock_timeout": "soon"}, r"lock_timeout=soon"),
                            ({"replica": 2}, r"replica=2 .*: 0 or 1"), ({"pool_timeout": -1}, r"pool_timeout=-1"),
                            ({"lock_timeout": 0}, r"lock_timeout=0 .*: seconds, 0.001 to 86400")):
        with pytest.raises(ConfigurationError, match=message):
            zarn_engine.open_engine(with_params(pg_url, **params))
    with pytest.raises(ConfigurationError, match=r"'pool_size' given twice"):
        zarn_engine.open_engine(with_params(pg_url, pool_size=1) + "&pool_size=2")


def test_a_bounded_pool_per_store_and_process(pg_url, rm):
    url = with_params(pg_url, pool_size=2, pool_timeout=10, application_name="zarn-budget")
    engine = zarn_engine.open_engine(url)
    rm.RoleMatrix(name="app").save(engine=engine)
    live = Live(rm.RoleMatrix, engine=engine)
    errors, most = [], [0]

    def work(n):
        try:
            for k in range(15):
                live.update("app", lambda m: m.add_role_permissions(f"r{n}", [{"obj": f"o{k}", "act": "r"}]))
                live.get("app")
        except Exception as exc:  # pragma: no cover - reported below
            errors.append(exc)

    threads = [threading.Thread(target=work, args=(n,)) for n in range(8)]
    for t in threads:
        t.start()
    while any(t.is_alive() for t in threads):
        most[0] = max(most[0], backends(pg_url, "zarn-budget"))
        time.sleep(0.02)
    assert errors == [] and 1 <= most[0] <= 2  # 8 threads, never more than the pool's 2 connections
    assert len([p for p in live.get("app").policies if p.sub != "root"]) == 8 * 15
    engine.close()  # the owner closes the pool: no connection stays open
    assert backends(pg_url, "zarn-budget") == 0
    assert rm.RoleMatrix.load("app", engine=engine).version == live.get("app").version  # usable again
    engine.close()


def test_no_free_connection_is_store_busy(pg_url, rm):
    """A thread that cannot get a connection in time is told so, as is one refused by a server
    without slots; neither is taken for bad input."""
    from zarn_user.cli.errors import STORE_FAILED, outcome

    engine = zarn_engine.open_engine(with_params(pg_url, pool_size=1, pool_timeout=0.3, lock_timeout=1.2))
    engine.save("c", "k", "one", None)
    failed = []

    def save():
        try:
            engine.save("c", "k", "two", 1)
        except StoreLocked as exc:
            failed.append(exc)

    with psycopg.connect(pg_url) as holder:
        holder.execute("SELECT 1 FROM zarn_documents WHERE key = 'k' FOR UPDATE")
        waiting = threading.Thread(target=save)
        waiting.start()  # holds the only connection while it waits for the row
        time.sleep(0.3)
        start = time.monotonic()
        with pytest.raises(StoreBusy, match=r"no connection to .* was free within 0.3 s: all 1 of this "
                                            r"process's connections \(pool_size\) are in use") as caught:
            engine.load("c", "k")
        assert time.monotonic() - start < 1.5
        assert outcome(caught.value, False)[0] == STORE_FAILED
        waiting.join()
        assert len(failed) == 1
    assert engine.load("c", "k") == ("one", 1)
    engine.close()
    # A role at its connection limit: SQLSTATE 53300, retried for the connect timeout, then busy.
    with psycopg.connect(pg_url, autocommit=True) as admin:
        admin.execute("DROP ROLE IF EXISTS zarn_limited")
        admin.execute("CREATE ROLE zarn_limited LOGIN CONNECTION LIMIT 1")
    limited = pg_url.replace("postgresql://postgres@", "postgresql://zarn_limited@")
    try:
        with psycopg.connect(limited):
            from zarn_engine.postgresql import PostgreSQLEngine

            start = time.monotonic()
            with pytest.raises(StoreBusy, match=r"no connection slot left \(.*too many connections") as caught:
                PostgreSQLEngine(limited, connect_timeout=0.5)
            assert 0.5 <= time.monotonic() - start < 5
            assert outcome(caught.value, False)[0] == STORE_FAILED
    finally:
        with psycopg.connect(pg_url, autocommit=True) as admin:
            admin.execute("DROP ROLE zarn_limited")


def test_a_lock_held_by_another_session_is_waited_for_a_bounded_time(pg_url, rm):
    url = with_params(pg_url, lock_timeout=0.3)
    engine = zarn_engine.open_engine(url)
    rm.RoleMatrix(name="app").save(engine=engine)
    live = Live(rm.RoleMatrix, consistency="notify", engine=engine)
    deadline = time.monotonic() + 10
    while not live.listening and time.monotonic() < deadline:
        time.sleep(0.01)
    held = live.get("app")
    writer = zarn_engine.open_engine(url)
    with psycopg.connect(pg_url) as session:  # left idle in a transaction, as a psql session would
        session.execute("SELECT 1 FROM zarn_documents FOR UPDATE")
        grant = [{"obj": "o", "act": "r"}]
        for change in (lambda: rm.RoleMatrix.load("app", engine=writer).add_role_permissions("a", grant),
                       lambda: writer.save(held._collection(), "app", "{}", held.version)):
            start = time.monotonic()
            with pytest.raises(StoreLocked, match=r"is locked: a write waited longer than lock_timeout \(300ms\) "
                                                  r"for a lock another session holds .*; nothing was written"):
                change()
            assert time.monotonic() - start < 2
        assert live.get("app") is held  # notify readers answer from memory meanwhile
        session.rollback()
        session.execute("LOCK TABLE zarn_documents IN ACCESS EXCLUSIVE MODE")  # as a migration would
        with pytest.raises(StoreLocked, match=r"a read waited longer than lock_timeout") as caught:
            writer.load(held._collection(), "app")
        assert "nothing was written" not in str(caught.value)  # a read says nothing of writes
    live.close()
    writer.close()
    engine.close()


FROZEN = """
import os, signal, sys, zarn_engine
engine = zarn_engine.open_engine(sys.argv[1])
run = engine._run

def frozen(work, **options):  # stops this process once the statements ran, before anything else is sent
    def stopping(cur):
        result = work(cur)
        os.kill(os.getpid(), signal.SIGSTOP)
        return result
    return run(stopping, **options)

engine._run = frozen
print("go", flush=True)
if sys.argv[2] == "commit":
    engine.commit("c", "k", '{"x": 1}', engine.version("c", "k"))
else:
    engine.save("c", "k", "frozen", engine.version("c", "k"))
"""


@pytest.mark.parametrize("how", ["commit", "save"])
def test_a_frozen_writer_holds_the_lock_a_bounded_time(pg_url, how):
    url = with_params(pg_url, lock_timeout=4, idle_in_transaction_session_timeout=0.5)
    engine = zarn_engine.open_engine(url)
    engine.save("c", "k", "{}", None)
    child = subprocess.Popen([sys.executable, "-c", FROZEN, url, how], stdout=subprocess.PIPE, env=ENV, text=True)
    try:
        assert child.stdout.readline() == "go\n"
        deadline = time.monotonic() + 20
        while open(f"/proc/{child.pid}/stat").read().split(")")[1].split()[0] != "T":
            assert time.monotonic() < deadline
            time.sleep(0.01)
        start = time.monotonic()
        version = engine.version("c", "k")
        assert engine.save("c", "k", "after", version) == version + 1
        assert time.monotonic() - start < 2.5  # the bound, not the frozen writer, decides
    finally:
        child.send_signal(signal.SIGCONT)
        child.kill()
        child.wait()
        engine.close()


# --- a primary with a streaming standby of its own, on loopback ---------------------------

@pytest.fixture(scope="module")
def pair():
    import shutil
    import tempfile

    from pgcluster import Cluster, bindir

    if bindir() is None:
        pytest.skip("PostgreSQL is not installed")
    folder = tempfile.mkdtemp(prefix="zarn-pair-")
    os.chmod(folder, 0o755)  # the server's user must reach it
    primary = Cluster(os.path.join(folder, "primary"))
    primary.init()
    primary.start()
    standby = None
    try:
        standby = primary.standby(os.path.join(folder, "standby"))
        yield primary, standby
    finally:
        for cluster in (standby, primary):
            if cluster is not None:
                try:
                    cluster.stop("immediate")
                except Exception:
                    pass
        shutil.rmtree(folder, ignore_errors=True)


def replayed(standby, version, key="app"):
    """Wait until the standby shows `key` at `version` or later."""
    deadline = time.monotonic() + 20
    with psycopg.connect(standby.url, autocommit=True) as conn:
        while True:
            try:
                row = conn.execute("SELECT version FROM zarn_documents WHERE key = %s", (key,)).fetchone()
            except psycopg.errors.UndefinedTable:
                row = None  # the table not replayed yet
            if row is not None and row[0] >= version:
                return
            assert time.monotonic() < deadline, "the standby did not replay in time"
            time.sleep(0.02)


def grants(doc):
    return sorted(p.obj for p in doc.get_implicit_permissions_for_roles(["clerk"]).permissions)


def test_a_standby_is_read_only_on_request_and_never_strict(pair, rm):
    primary, standby = pair
    writer = zarn_engine.open_engine(primary.url)
    rm.RoleMatrix(name="app").save(engine=writer)
    doc = rm.RoleMatrix.load("app", engine=writer)
    doc.add_role_permissions("clerk", [{"obj": "doc", "act": "read"}])
    replayed(standby, doc.version)
    with pytest.raises(ConfigurationError, match=r"is a standby \(in recovery\).*add replica=1"):
        zarn_engine.open_engine(standby.url)
    replica = zarn_engine.open_engine(with_params(standby.url, replica=1))
    with pytest.raises(ConfigurationError, match=r"strict reads need the primary"):
        Live(rm.RoleMatrix, engine=replica)
    with pytest.raises(zarn_engine.ReadOnlyError, match=r"opened as a replica"):
        rm.RoleMatrix.load("app", engine=replica).add_role_permissions("x", [{"obj": "o", "act": "r"}])
    live = Live(rm.RoleMatrix, consistency="notify", engine=replica, version_wait=0.5)
    assert not live.listening and grants(live.get("app")) == ["doc"]  # no feed: LISTEN never works there
    with psycopg.connect(standby.url, autocommit=True) as conn:
        conn.execute("SELECT pg_wal_replay_pause()")
        try:
            doc.set_role_permissions("clerk", [])  # the revoke, not yet replayed
            with pytest.raises(zarn_engine.VersionNotReached, match=rf"at version {doc.version - 1} in the store, "
                                                                    rf"not yet at version {doc.version}"):
                live.get("app", at_least=doc.version)
        finally:
            conn.execute("SELECT pg_wal_replay_resume()")
    assert grants(live.get("app", at_least=doc.version)) == []  # waits for the replay, then answers
    live.close()
    for engine in (replica, writer):
        engine.close()


def test_failover_never_serves_a_lost_version_as_current(pair, rm):
    """The standby is cut off, the primary acknowledges more commits, then dies; the standby
    is promoted while a writer runs. Readers must answer what the new primary holds, and no
    version number may stand for two contents."""
    primary, standby = pair
    url = (f"postgresql://postgres@127.0.0.1:{primary.port},127.0.0.1:{standby.port}/postgres"
           "?target_session_attrs=read-write")
    writer = zarn_engine.open_engine(url)
    doc = rm.RoleMatrix.load("app", engine=writer)  # saved by the test above
    doc.add_role_permissions("clerk", [{"obj": "doc", "act": "read"}])
    replayed(standby, doc.version)
    with psycopg.connect(standby.url, autocommit=True) as conn:  # cut off: it hears nothing more
        conn.execute("ALTER SYSTEM SET primary_conninfo = ''")
        conn.execute("SELECT pg_reload_conf()")
        deadline = time.monotonic() + 20
        while conn.execute("SELECT count(*) FROM pg_stat_wal_receiver").fetchone()[0]:
            assert time.monotonic() < deadline
            time.sleep(0.05)
    strict = Live(rm.RoleMatrix, engine=zarn_engine.open_engine(url))
    notify = Live(rm.RoleMatrix, consistency="notify", engine=zarn_engine.open_engine(url))
    contents = {}  # version -> every content answered or written at it

    def note(d):
        contents.setdefault(d.version, set()).add(tuple(sorted((p.sub, p.obj, p.act) for p in d.policies)))

    doc.set_role_permissions("clerk", [])  # acknowledged by the primary only: lost in the failover
    doc.add_role_permissions("clerk", [{"obj": "lost", "act": "read"}])
    lost = doc.version
    for live in (strict, notify):
        deadline = time.monotonic() + 5
        while live.get("app").version != lost:
            assert time.monotonic() < deadline
            time.sleep(0.01)
        note(live.get("app"))
    note(doc)

    stop = threading.Event()
    written, errors = [], []

    def write():
        live = Live(rm.RoleMatrix, engine=writer)
        k = 0
        while not stop.is_set():
            try:
                live.update("app", lambda m: m.add_role_permissions("w", [{"obj": f"o{k}", "act": "r"}]))
                written.append(live.get("app").version)
                note(live.get("app"))
                k += 1
            except zarn_engine.StorageError as exc:
                errors.append(type(exc).__name__)
                time.sleep(0.05)

    thread = threading.Thread(target=write)
    thread.start()
    try:
        time.sleep(0.2)
        primary.stop("immediate")
        standby.promote()
        before = len(written)
        deadline = time.monotonic() + 30
        while len(written) < before + 3:  # written on the new primary
            assert time.monotonic() < deadline, errors
            time.sleep(0.05)
    finally:
        stop.set()
        thread.join()
    current = rm.RoleMatrix.load("app", engine=writer)
    assert current.version > lost and "lost" not in grants(current)  # what the new primary holds
    assert grants(strict.get("app")) == grants(current)
    deadline = time.monotonic() + 1.2
    while grants(notify.get("app")) != grants(current) or notify.get("app").version < current.version:
        assert time.monotonic() < deadline
        time.sleep(0.01)
    for live in (strict, notify):
        note(live.get("app"))
        assert live.get("app").version >= current.version
    # A revoke on the new primary: strict readers never serve the grant again, notify ones
    # within their bound.
    current.set_role_permissions("clerk", [])
    assert grants(strict.get("app")) == []
    deadline = time.monotonic() + 1.2
    while grants(notify.get("app")) != []:
        assert time.monotonic() < deadline
        time.sleep(0.01)
    note(current)
    for live in (strict, notify):
        note(live.get("app"))
    assert all(len(seen) == 1 for seen in contents.values()), contents  # one content per version
    for live in (strict, notify):
        live.close()
        live.engine.close()
    writer.close()

