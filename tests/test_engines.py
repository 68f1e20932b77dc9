"""What every store promises, run against each one; live documents on each store."""

import pickle
import threading
import time

import pytest

import zarn_engine
from zarn_engine import ConflictError, DoesNotExist, Live, StorageError


def second(engine, store_url):
    """Another client of the same store, as another process would be."""
    return engine if store_url == "memory:" else zarn_engine.open_engine(store_url)


def test_versions_conflicts_and_deletes(engine, store_url):
    assert engine.load("c", "k") is None and engine.version("c", "k") is None
    assert engine.save("c", "k", "one", None) == 1
    with pytest.raises(ConflictError, match="exists already"):
        engine.save("c", "k", "again", None)
    assert engine.save("c", "k", "two", 1) == 2
    with pytest.raises(ConflictError, match="expected version 1, found 2") as caught:
        engine.save("c", "k", "stale", 1)
    # What a caller needs is in fields, also after a trip through pickle (another process).
    again = pickle.loads(pickle.dumps(caught.value))
    for error in (caught.value, again):
        assert (error.collection, error.key, error.expected, error.found) == ("c", "k", 1, 2)
    assert engine.load("c", "k") == ("two", 2) and engine.version("c", "k") == 2
    engine.save("c", "a,b", "x", None)
    engine.save("other", "z", "x", None)
    assert engine.keys("c") == ["a,b", "k"]
    with pytest.raises(ConflictError):
        engine.delete("c", "k", 1)  # a delete names the version it read
    assert engine.load("c", "k") == ("two", 2)
    assert engine.delete("c", "k", 2) and not engine.delete("c", "k")
    # A new document under the key goes on from the last version: an old holder conflicts.
    other = second(engine, store_url)
    assert other.save("c", "k", "new", None) == 3
    with pytest.raises(ConflictError):
        engine.save("c", "k", "overwrite", 2)
    assert engine.load("c", "k") == ("new", 3)


def test_documents_on_every_store(engine, rm):
    m = rm.RoleMatrix.load_or_create("shop")
    m.add_role_permissions("clerk", [{"obj": "order", "act": "read"}])
    again = rm.RoleMatrix.load_or_create("shop", policies=[])  # exists: loaded, fields unused
    assert again.get_role_contents("clerk").permissions[0].obj == "order" and again.version == m.version
    m.set_role_sub_roles("admin", [])
    assert rm.RoleMatrix.load("shop").groups == []
    assert rm.RoleMatrix.delete("shop", version=m.version)
    with pytest.raises(ConflictError):  # deleted meanwhile: the change is not written back
        again.add_role_permissions("clerk", [{"obj": "order", "act": "write"}])


def test_live_strict_sees_every_commit(engine, store_url, rm):
    rm.RoleMatrix(name="shop").save()
    live = Live(rm.RoleMatrix, engine=engine)
    first = live.get("shop")
    assert live.get("shop") is first  # unchanged: the same instance
    writer = rm.RoleMatrix.load("shop", engine=second(engine, store_url))
    for n in range(20):
        writer.add_role_permissions("clerk", [{"obj": f"o{n}", "act": "read"}])
        assert live.get("shop").get_role_contents("clerk").permissions[-1].obj == f"o{n}"
    with pytest.raises(DoesNotExist):
        live.get("nothing")


def test_live_update(engine, store_url, rm):
    rm.RoleMatrix(name="shop").save()
    live = Live(rm.RoleMatrix, engine=engine)
    held = live.get("shop")
    other = rm.RoleMatrix.load("shop", engine=second(engine, store_url))
    calls = []

    def change(m):
        calls.append(m.version)
        if len(calls) == 1:
            other.add_role_permissions("bb", [{"obj": "o", "act": "r"}])  # a writer comes first
        return m.add_role_permissions("aa", [{"obj": "o", "act": "r"}])

    assert live.update("shop", change).name == "aa" and len(calls) == 2
    current = live.get("shop")  # the held instance, brought on in place
    assert current is held and {p.sub for p in current.policies} >= {"aa", "bb"}

    def broken(m):
        m.add_role_permissions("cc", [{"obj": "o", "act": "r"}])
        m._add_permissions("dd", [{"obj": "o"}])  # fails after an in-memory change

    with pytest.raises(AttributeError):
        live.update("shop", broken)
    # All or nothing: the grant made before the failure is not stored either.
    assert live.get("shop") is current
    assert not {"cc", "dd"} & {p.sub for p in rm.RoleMatrix.load("shop").policies}
    live.update("shop", lambda m: setattr(m, "callback_urls", ["https://x"]))  # saved for it
    assert rm.RoleMatrix.load("shop").callback_urls == ["https://x"]


def test_live_notify(engine, store_url, rm):
    rm.RoleMatrix(name="shop").save()
    with Live(rm.RoleMatrix, consistency="notify", engine=engine) as live:
        deadline = time.monotonic() + 10
        while not live.listening and time.monotonic() < deadline:
            time.sleep(0.01)
        held = live.get("shop")
        assert live.get("shop") is held
        writer = rm.RoleMatrix.load("shop", engine=second(engine, store_url))
        writer.add_role_permissions("clerk", [{"obj": "o", "act": "r"}])
        start = time.monotonic()
        while not live.get("shop").get_role_contents("clerk").permissions:
            assert time.monotonic() - start < 1.0
            time.sleep(0.005)
        assert live.get("shop") is held  # brought up to date in place
        # The listener gone: get behaves as strict until it is back.
        live._feed.down()
        writer.set_role_permissions("clerk", [])
        assert live.get("shop").get_role_contents("clerk").permissions == []


def test_live_from_threads(engine, rm):
    rm.RoleMatrix(name="shop").save()
    live = Live(rm.RoleMatrix, engine=engine)
    errors = []

    def work(n):
        try:
            for k in range(10):
                live.update("shop", lambda m: m.add_role_permissions(f"r{n}", [{"obj": f"o{k}", "act": "r"}]))
                live.get("shop")
        except Exception as exc:  # pragma: no cover - reported below
            errors.append(exc)

    threads = [threading.Thread(target=work, args=(n,)) for n in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    final = rm.RoleMatrix.load("shop")
    assert sorted((p.sub, p.obj) for p in final.policies if p.sub != "root") == \
        sorted((f"r{n}", f"o{k}") for n in range(4) for k in range(10))


def test_bad_urls(tmp_path):
    with pytest.raises(StorageError, match="does not exist"):
        zarn_engine.open_engine(str(tmp_path / "missing" / "db.sqlite3")).keys("c")
    (tmp_path / "junk").write_bytes(b"not a database at all, just some bytes" * 100)
    with pytest.raises(StorageError, match="cannot open"):
        zarn_engine.open_engine(str(tmp_path / "junk"))
    with pytest.raises(ValueError):
        zarn_engine.open_engine("sqlite:/nope")
    assert isinstance(zarn_engine.open_engine(f"sqlite:///{tmp_path}/u.sqlite3"), zarn_engine.SQLiteEngine)


@pytest.mark.parametrize("mode", ["strict", "notify"])
def test_live_at_least(engine, store_url, rm, mode):
    rm.RoleMatrix(name="shop").save()
    with Live(rm.RoleMatrix, consistency=mode, engine=engine, version_wait=0.3) as live:
        held = live.get("shop")
        for bad, error in (("3", TypeError), (True, TypeError), (2.0, TypeError), (-1, ValueError)):
            with pytest.raises(error, match="at_least is a version number"):
                live.get("shop", at_least=bad)
        assert live.get("shop", at_least=held.version) is held
        start = time.monotonic()
        with pytest.raises(zarn_engine.VersionNotReached, match=r"'shop' is at version 1 in the store, not yet at "
                                                                r"version 5, still after 0.3 s"):
            live.get("shop", at_least=5)  # never committed: said so, never the older version silently
        assert 0.3 <= time.monotonic() - start < 2
        # A version committed while the reader waits for it is what it answers with.
        writer = rm.RoleMatrix.load("shop", engine=second(engine, store_url))
        timer = threading.Timer(0.1, lambda: writer.add_role_permissions("clerk", [{"obj": "o", "act": "r"}]))
        timer.start()
        assert live.get("shop", at_least=2).get_role_contents("clerk").permissions[0].obj == "o"
        timer.join()
    with pytest.raises(ValueError, match="version_wait"):
        Live(rm.RoleMatrix, engine=engine, version_wait=-1)
