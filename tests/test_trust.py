"""A revoked grant is never served: versions, stores and live documents under races and faults."""

import contextlib
import os
import signal
import subprocess
import sys
import threading
import time

import pytest

import zarn_engine
from zarn_engine import ConflictError, Live, StorageError

ENV = {**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)}

CLERK = [{"obj": "doc", "act": "read"}]


def held(doc) -> bool:
    return bool(doc.get_role_contents("clerk").permissions)


def wait_for(condition, seconds=5.0):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.005)
    return True


def new_app(rm, engine=None):
    m = rm.RoleMatrix(name="app")
    if engine is not None:
        m.save(engine)  # from here on it saves there
    m.add_role_sub_roles("clerk", ["public"])  # "clerk" is a stored role from here on
    return m


# --- versions and stores ---------------------------------------------------------------

RECREATE = """
import sys, zarn_engine, zarn_user.role_matrix as rm
from zarn_engine import ConflictError, StorageError
engine = zarn_engine.connect(sys.argv[1])
for k in range(int(sys.argv[3])):
    rm.RoleMatrix.delete("app")
    m = rm.RoleMatrix(name="app", callback_urls=[f"{sys.argv[2]}-{k}"])
    try:
        m.save()
    except ConflictError:
        continue
    print(m.version, m.callback_urls[0], flush=True)
"""


def test_delete_and_create_never_reuse_a_version(rm, shared_url):
    """Racing deletes and creates: every version is handed to one document only."""
    zarn_engine.connect(shared_url)
    rm.RoleMatrix(name="app").save()
    procs = [subprocess.Popen([sys.executable, "-c", RECREATE, shared_url, f"p{n}", "60"],
                              stdout=subprocess.PIPE, text=True, env=ENV) for n in range(3)]
    owners: dict[int, list[str]] = {}
    for p in procs:
        out, _ = p.communicate(timeout=120)
        assert p.returncode == 0
        for line in out.splitlines():
            version, tag = line.split()
            owners.setdefault(int(version), []).append(tag)
    shared = {v: tags for v, tags in owners.items() if len(tags) > 1}
    assert owners and not shared


def test_a_document_saves_to_the_store_it_came_from(rm, tmp_path):
    default = zarn_engine.MemoryEngine()
    other = zarn_engine.open_engine(str(tmp_path / "b.sqlite3"))
    zarn_engine.use_engine(default)
    new_app(rm, default)
    new_app(rm, other)  # the same key and version in both stores
    m = rm.RoleMatrix.load("app", engine=other)
    m.add_role_permissions("clerk", CLERK)  # saves with no engine named
    assert held(rm.RoleMatrix.load("app", engine=other))
    assert not held(rm.RoleMatrix.load("app", engine=default))
    live = Live(rm.RoleMatrix, engine=other)
    live.update("app", lambda doc: doc.set_role_permissions("clerk", []))
    assert not held(rm.RoleMatrix.load("app", engine=other)) and not held(live.get("app"))
    assert m.engine is other and rm.RoleMatrix(name="x").engine is None


def test_batch_is_one_save_or_none(rm):
    m = new_app(rm)
    before = m.version
    with m.batch() as batch:
        m.add_role_permissions("clerk", CLERK)
        m.add_role_sub_roles("admin", ["clerk"])
        assert rm.RoleMatrix.load("app").version == before  # held back
    assert m.version == before + 1 == batch.version and held(rm.RoleMatrix.load("app"))
    with pytest.raises(RuntimeError), m.batch():
        m.set_role_permissions("clerk", [])
        raise RuntimeError("changed my mind")
    assert held(rm.RoleMatrix.load("app")) and rm.RoleMatrix.load("app").version == before + 1


def test_update_is_all_or_nothing(rm):
    new_app(rm)
    live = Live(rm.RoleMatrix)
    start = live.get("app").version
    rival = rm.RoleMatrix.load("app")
    calls = []

    def change(doc):
        calls.append(doc.version)
        doc.add_role_permissions("clerk", CLERK)
        doc.add_role_sub_roles("admin", ["clerk"])
        if len(calls) < 3:  # another writer comes first, twice
            rival.add_role_permissions(f"r{len(calls)}", CLERK)

    live.update("app", change)
    # Two rival commits and one of ours: the lost attempts stored nothing.
    assert rm.RoleMatrix.load("app").version == start + 3 and len(calls) == 3

    def fails(doc):
        doc.set_role_permissions("clerk", [])
        raise ValueError("after a revoke")

    with pytest.raises(ValueError):
        live.update("app", fails)
    assert held(rm.RoleMatrix.load("app")) and rm.RoleMatrix.load("app").version == start + 3
    with pytest.raises(ValueError, match="cannot change the key"):
        live.update("app", lambda doc: setattr(doc, "name", "other"))
    assert rm.RoleMatrix.keys() == ["app"] and live.get("app").name == "app"
    with pytest.raises(ValueError):
        Live(rm.RoleMatrix, retries=0)


def test_update_changes_a_private_copy_loaded_once(rm, engine, monkeypatch):
    """Updates work on a copy of their own, loaded by the first and brought on from the log
    (other writers' changes included) for the next; a change that fails leaves nothing in
    it, and the shared instance is never that copy but follows every saved version."""
    new_app(rm, engine)
    live = Live(rm.RoleMatrix, engine=engine)
    shared = live.get("app")
    inside, loads = [], []
    load = rm.RoleMatrix.load.__func__
    monkeypatch.setattr(rm.RoleMatrix, "load",
                        classmethod(lambda cls, *a, **k: (inside and loads.append(1), load(cls, *a, **k))[1]))

    def update(change):
        inside.append(1)
        try:
            return live.update("app", change)
        finally:
            inside.pop()

    for n in range(3):
        update(lambda doc: doc.add_role_permissions(f"w{n}", CLERK))
        rm.RoleMatrix.load("app", engine=engine).add_role_permissions(f"r{n}", CLERK)  # another writer

    def fails(doc):
        doc.add_role_permissions("x", CLERK)
        raise RuntimeError("after a grant")

    with pytest.raises(RuntimeError):
        update(fails)
    update(lambda doc: doc.add_role_permissions("y", CLERK))
    assert len(loads) == 2  # the first update's copy, and one after the failure
    stored = rm.RoleMatrix.load("app", engine=engine)
    subs = {p.sub for p in stored.policies}
    assert {"w0", "w1", "w2", "r0", "r1", "r2", "y"} <= subs and "x" not in subs
    assert live.get("app") is shared and shared.version == stored.version
    assert [p.to_display() for p in shared.policies] == [p.to_display() for p in stored.policies]
    assert shared.get_implicit_permissions_for_roles(["x"]).permissions == []


def test_an_update_committed_is_reported_so_when_the_store_goes_away(rm, engine):
    """The store unreachable right after the commit: the update returns (its change is
    stored) and the saved instance is served, though the held one could not be brought on."""
    new_app(rm, engine)
    live = Live(rm.RoleMatrix, engine=engine)
    live.get("app")
    rm.RoleMatrix.load("app", engine=engine).add_role_permissions("other", CLERK)  # the held one falls behind

    def unreachable(*args):
        raise StorageError("the server went away")

    try:
        with after_commit(engine, lambda collection, key: setattr(engine, "changes_since", unreachable)):
            live.update("app", lambda doc: doc.add_role_permissions("clerk", CLERK))
    finally:
        engine.__dict__.pop("changes_since", None)
    assert held(live.get("app")) and live.get("app").get_role_contents("other").permissions


# --- live documents never stale --------------------------------------------------------


@contextlib.contextmanager
def after_commit(engine, then):
    """The engine's next commit calls `then(collection, key)` once it is committed."""
    commit = engine.commit

    def committing(collection, key, change, expected, who=None):
        version = commit(collection, key, change, expected, who)
        del engine.commit
        then(collection, key)
        return version

    engine.commit = committing
    try:
        yield
    finally:
        engine.__dict__.pop("commit", None)


def notify_live(rm, engine):
    live = Live(rm.RoleMatrix, consistency="notify", engine=engine)
    assert wait_for(lambda: live.listening)
    return live


def test_a_failed_reload_is_tried_again(rm, engine):
    new_app(rm).add_role_permissions("clerk", CLERK)
    for mode in ("strict", "notify"):
        live = Live(rm.RoleMatrix, consistency=mode, engine=engine)
        assert wait_for(lambda: mode == "strict" or live.listening)
        assert held(live.get("app"))
        writer = rm.RoleMatrix.load("app")
        writer.set_role_permissions("clerk", [])  # the revoke
        load = rm.RoleMatrix.load
        changes_since = engine.changes_since
        failures = []

        def failing_once(read):
            def broken(*args, **kwargs):
                if not failures:
                    failures.append(1)
                    raise StorageError("the store failed once")
                return read(*args, **kwargs)
            return broken

        # The next read that would bring it up to date fails: a load or the changes since.
        rm.RoleMatrix.load = failing_once(load)
        engine.changes_since = failing_once(changes_since)
        try:
            deadline = time.monotonic() + 2
            while not failures and time.monotonic() < deadline:
                try:
                    live.get("app")  # notify: once the feed has told it
                except StorageError:
                    break
            assert failures
            assert not held(live.get("app"))  # never the old instance after a failed reload
        finally:
            del rm.RoleMatrix.load
            del engine.changes_since
        writer.add_role_permissions("clerk", CLERK)
        live.close()


def test_update_keeps_a_change_reported_while_it_commits(rm, engine):
    new_app(rm).add_role_permissions("clerk", CLERK)
    live = notify_live(rm, engine)

    def racing(collection, key):
        rival = rm.RoleMatrix.load("app", engine=engine)
        rival.set_role_permissions("clerk", [])  # a revoke right after our commit...
        live._changed(collection, key)  # ...reported before update installs its result

    with after_commit(engine, racing):
        live.update("app", lambda doc: doc.add_role_permissions("other", CLERK))
    assert not held(live.get("app"))
    live.close()


def listener_backends(url):
    import psycopg

    with psycopg.connect(url, autocommit=True) as conn:
        rows = conn.execute("SELECT pid FROM pg_stat_activity WHERE application_name = %s",
                            (f"zarn-listener {os.getpid()}",)).fetchall()
    return [row[0] for row in rows]


def feed_threads():
    return [t for t in threading.enumerate() if t.name == "zarn-live-feed"]


def postgres_engine(store_url):
    if not store_url.startswith("postgresql:"):
        pytest.skip("PostgreSQL only: the feed listens on a server connection")
    return zarn_engine.open_engine(store_url)


@pytest.mark.parametrize("store_url", ["postgresql"], indirect=True)
def test_a_paused_listener_is_noticed(rm, store_url):
    engine = postgres_engine(store_url)
    writer = new_app(rm, engine)
    live = notify_live(rm, engine)
    assert not held(live.get("app"))
    pids = listener_backends(store_url)
    assert pids
    for pid in pids:
        os.kill(pid, signal.SIGSTOP)  # the listener's server process stops answering
    try:
        writer.add_role_permissions("clerk", CLERK)
        start = time.monotonic()
        assert wait_for(lambda: held(live.get("app")), 5.0)
        assert time.monotonic() - start < 1.5
    finally:
        for pid in pids:
            os.kill(pid, signal.SIGCONT)
    assert wait_for(lambda: live.listening, 15.0)  # and the feed comes back
    writer.set_role_permissions("clerk", [])
    assert wait_for(lambda: not held(live.get("app")), 1.0)
    live.close()
    engine.close()


@pytest.mark.parametrize("store_url", ["postgresql"], indirect=True)
def test_forged_notifications_never_stop_the_listener(rm, store_url):
    import psycopg

    engine = postgres_engine(store_url)
    writer = new_app(rm, engine)
    live = notify_live(rm, engine)
    held(live.get("app"))
    with psycopg.connect(store_url, autocommit=True) as conn:
        for payload in ['["RoleMatrix", {"x": 1}]', "x", "[" * 3000 + "]" * 3000, '["RoleMatrix"]',
                        '[null, "app"]', "{}", ""]:
            conn.execute("SELECT pg_notify('zarn_documents', %s)", (payload,))
    time.sleep(0.3)
    assert live.listening and len(feed_threads()) >= 1
    writer.add_role_permissions("clerk", CLERK)
    assert wait_for(lambda: held(live.get("app")), 1.0)
    live.close()
    engine.close()


FORKED = """
import os, sys, time, zarn_engine, zarn_user.role_matrix as rm
engine = zarn_engine.connect(sys.argv[1])
live = zarn_engine.Live(rm.RoleMatrix, consistency="notify")
while not live.listening:
    time.sleep(0.01)
held = lambda: bool(live.get("app").get_role_contents("clerk").permissions)
assert not held()
pid = os.fork()
if pid == 0:  # the child answers from the inherited live documents, while the parent writes
    deadline = time.monotonic() + 3
    while not held() and time.monotonic() < deadline:
        time.sleep(0.01)
    if sys.argv[2] == "exit":
        os._exit(0 if held() else 1)
    sys.exit(0 if held() else 1)  # finalisers run on the inherited connections
for k in range(20):  # the parent keeps using its connections meanwhile
    m = rm.RoleMatrix.load("app")
    m.add_role_permissions("clerk", [{"obj": "doc", "act": str(k)}])
_, status = os.waitpid(pid, 0)
assert os.waitstatus_to_exitcode(status) == 0, "the child served a stale document"
# The parent's own connections survived whatever the child did with its copies.
m.set_role_permissions("clerk", [])
deadline = time.monotonic() + 2
while held() and time.monotonic() < deadline:
    time.sleep(0.01)
assert not held() and live.listening
print("ok")
"""


@pytest.mark.parametrize("how", ["exit", "finalise"])
def test_a_forked_child_listens_for_itself(rm, shared_url, how):
    engine = zarn_engine.open_engine(shared_url)
    new_app(rm, engine)
    engine.close()
    out = subprocess.run([sys.executable, "-c", FORKED, shared_url, how], capture_output=True, text=True,
                         env=ENV, timeout=60)
    assert out.returncode == 0 and out.stdout.strip() == "ok", out.stderr[-2000:]


def test_dropped_live_documents_leave_no_thread(rm, shared_url):
    store_url = shared_url
    engine = zarn_engine.open_engine(store_url)
    new_app(rm, engine)
    before = len(feed_threads())
    lives = [Live(rm.RoleMatrix, consistency="notify", engine=engine) for _ in range(10)]
    assert len(feed_threads()) == before + 1  # one feed for every live document of the store
    assert wait_for(lambda: all(live.listening for live in lives))
    if store_url.startswith("postgresql:"):
        assert len(listener_backends(store_url)) == 1
    del lives
    assert wait_for(lambda: len(feed_threads()) == before, 10)
    if store_url.startswith("postgresql:"):
        assert wait_for(lambda: not listener_backends(store_url), 10)
    engine.close()


def test_stale_conflict_never_overwrites(rm):
    """A holder of an old version cannot overwrite the document created after a delete."""
    old = new_app(rm)
    assert rm.RoleMatrix.delete("app")
    new_app(rm)
    with pytest.raises(ConflictError):
        old.add_role_permissions("clerk", CLERK)


def test_a_failing_listener_backs_off_and_says_so_once(rm, caplog):
    class Failing(zarn_engine.MemoryEngine):
        calls = 0

        def listen(self, feed):
            Failing.calls += 1
            raise zarn_engine.ConnectionLost("no server")

    engine = Failing()
    new_app(rm, engine)
    with caplog.at_level("WARNING", logger="zarn_engine.live"):
        live = Live(rm.RoleMatrix, consistency="notify", engine=engine)
        time.sleep(1.0)
        assert not live.listening and held(live.get("app")) is False  # strict meanwhile
        live.close()
    assert 2 <= Failing.calls <= 12  # backing off, never a busy loop
    assert len([r for r in caplog.records if "failed" in r.getMessage()]) == 1


def test_read_your_own_write_in_notify_mode(rm, engine):
    new_app(rm)
    live = notify_live(rm, engine)
    held(live.get("app"))
    writer = rm.RoleMatrix.load("app", engine=engine)
    writer.add_role_permissions("clerk", CLERK)
    assert held(live.get("app", at_least=writer.version))  # at once, not within a second
    live.close()


def test_readers_of_a_polling_store_read_its_token_when_its_feed_falls_behind(rm, tmp_path, monkeypatch):
    """The feed's thread of a polling store may wait for the interpreter lock behind busy
    readers: a reader that has not read the store's token for a polling interval reads it,
    and serves a commit that the feed has not reported (here: never reports)."""
    engine = zarn_engine.open_engine(str(tmp_path / "store.sqlite3"))
    new_app(rm, engine)
    live = notify_live(rm, engine)
    assert not held(live.get("app"))
    monkeypatch.setattr(live, "_changed", lambda collection, key: None)  # the feed stays up, silent

    def grant():
        rm.RoleMatrix.load("app", engine=engine).add_role_permissions("clerk", CLERK)

    writer = threading.Thread(target=grant)  # another thread: another connection
    writer.start()
    writer.join()
    assert live.listening
    assert wait_for(lambda: held(live.get("app")), seconds=2.0)
    live.close()
    engine.close()
