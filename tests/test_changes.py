"""Saves that write what changed: the change log of every store, snapshots, retention,
databases written before changes were logged, and holders brought up to date by changes."""

import json
import sqlite3
import threading
import time

import pytest
import zarn_engine
from hypothesis import given
from hypothesis import strategies as st
from zarn_engine import ConflictError, DoesNotExist, Live, changes
from zarn_engine import engine as engines
from zarn_engine import persist


def grant(role, obj="doc", act="read"):
    return [{"obj": obj, "act": act}]


def stored(doc):
    return {"policies": [p.to_display() for p in doc.policies], "groups": [g.to_display() for g in doc.groups]}


def built(doc):
    """The matrix as a load of its whole text builds it."""
    return type(doc)._from_stored(doc.key, json.dumps(doc.to_display()))


def as_sets(doc, roles):
    answer = doc.get_implicit_permissions_for_roles(roles)
    return {(a.obj, a.act) for a in answer.permissions}


# --- finding a change -------------------------------------------------------------------------

@given(st.lists(st.integers(0, 5), max_size=60), st.data())
def test_a_list_change_rebuilds_the_new_list(old, data):
    new = data.draw(st.one_of(
        # what the documents do: some removed, some appended
        st.builds(lambda keep, tail: [x for x, k in zip(old, keep) if k] + tail,
                  st.lists(st.booleans(), min_size=len(old), max_size=len(old)), st.lists(st.integers(0, 5))),
        st.permutations(old).map(list),
        st.lists(st.integers(0, 5), max_size=60)))
    found = changes.diff_list(old, new)
    if found is None:
        return  # written whole
    removed, appended = found
    assert removed == sorted(set(removed)) and all(0 <= p < len(old) for p in removed)
    kept = [x for i, x in enumerate(old) if i not in set(removed)]
    assert kept + appended == new


class Rec:
    """A record compared by value: two of them can be equal and not the same object."""

    def __init__(self, value):
        self.value = value

    def __eq__(self, other):
        return isinstance(other, Rec) and other.value == self.value

    __hash__ = None

    def __repr__(self):
        return f"Rec({self.value})"


@given(st.lists(st.integers(0, 30), max_size=80), st.data())
def test_a_copy_brought_on_equals_the_new_list_or_stays(picks, data):
    # A pool where some values repeat: records equal but not the same; picks may name one
    # object twice. The new list: what the documents do (some removed, from anywhere, some
    # appended, old ones among them), a reordering, or another list.
    pool = [Rec(v % 12) for v in range(31)]
    old = [pool[p] for p in picks]
    appended = st.lists(st.one_of(st.sampled_from(pool), st.builds(Rec, st.integers(0, 12))), max_size=6)
    new = data.draw(st.one_of(
        st.builds(lambda keep, tail: [x for x, k in zip(old, keep) if k] + tail,
                  st.lists(st.booleans(), min_size=len(old), max_size=len(old)), appended),
        st.builds(lambda a, b, tail: old[:a] + old[b:] + tail, st.integers(0, len(old)), st.integers(0, len(old)),
                  appended),
        st.permutations(old).map(list),
        # a record put in the place of another, or between two: what probes may step over
        st.builds(lambda k, x, drop: old[:k] + [x] + old[k + drop:], st.integers(0, len(old)),
                  st.sampled_from(pool), st.integers(0, 1)),
        st.lists(st.sampled_from(pool), max_size=40)))
    before = list(old)
    lists = {"x": old}
    moved = changes._follow(lists, "x", new)
    if moved is None:
        assert lists["x"] is old and [id(r) for r in old] == [id(r) for r in before]
        return
    assert lists["x"] == new
    removed = moved.removed()
    assert removed == sorted(set(removed)) and all(0 <= p < len(before) for p in removed)
    assert list(moved.records()) == [before[p] for p in removed]
    assert [x for i, x in enumerate(before) if i not in set(removed)] + moved.appended == new
    changes._undo_list(lists, "x", moved)  # a change not committed: the very objects as they were
    assert [id(r) for r in lists["x"]] == [id(r) for r in before]


def test_removals_found_where_they_are():
    records = [Rec(i) for i in range(5000)]
    a, b = Rec("a"), Rec("b")
    cases = {
        "first": (records[1:] + [a], [0]),
        "last": (records[:-1] + [a, b], [4999]),
        "three adjacent": (records[:7] + records[10:] + [a], [7, 8, 9]),
        "runs apart": (records[:2] + records[3:4000] + records[4010:] + [a], [2] + list(range(4000, 4010))),
        "many runs": ([r for i, r in enumerate(records) if i % 97] + [a], list(range(0, 5000, 97))),
        "the tail and more": (records[:4990] + [records[4995], a], list(range(4990, 4995)) + list(range(4996, 5000))),
        "only appended": (records + [a, records[0]], []),
        # the document made a copy of a record it kept: matched by equality, where it stands
        "a copy kept, the next removed": (records[:4998] + [Rec(4998)], [4999]),
        "a copy kept after a removal": (records[:100] + [Rec(101)] + records[102:], [100]),
    }
    for name, (new, removed) in cases.items():
        lists = {"x": list(records)}
        moved = changes._follow(lists, "x", new)
        assert moved is not None and moved.removed() == removed, name
        assert lists["x"] == new, name
    # Equal records that are other objects, and one object twice: still small and exact.
    twice = records[:100] + records[:100]
    lists = {"x": list(twice)}
    moved = changes._follow(lists, "x", twice[:50] + twice[51:] + [a])
    assert moved.removed() == [50] and lists["x"] == twice[:50] + twice[51:] + [a]
    copies = [Rec(r.value) for r in records]
    lists = {"x": list(records)}
    moved = changes._follow(lists, "x", copies[:10] + copies[11:])
    assert moved.removed() == [10] and not moved.appended and lists["x"] == copies[:10] + copies[11:]
    # Written whole when that is shorter.
    lists = {"x": list(records)}
    assert changes._follow(lists, "x", [a, b]) is None and lists["x"] == records


def test_the_snapshot_follows_each_save(rm, memory_engine):
    """Every save writes exactly what changed since the one before, wherever the lists
    changed; the stored document is always the one in memory."""
    doc = rm.RoleMatrix(name="app", policies=[rm.Policy(sub=f"r{i}", obj="o", act="a") for i in range(300)],
                        groups=[rm.Group(child=f"r{i}", parent=f"r{i + 1}") for i in range(299)])
    doc.save()
    doc = rm.RoleMatrix.load("app")
    steps = [
        lambda: doc.set_role_permissions("r0", []),  # the first record
        lambda: doc.set_role_permissions("r299", [{"obj": "n", "act": "a"}]),  # the last, one appended
        lambda: doc.set_role_sub_roles("r5", []),
        lambda: doc.set_role_sub_roles("r6", []),  # next to the last removal
        lambda: doc.add_role_permissions("r1", [{"obj": "p", "act": "b"}]),
        lambda: doc.set_role_permissions("r1", [{"obj": "o", "act": "a"}]),  # the same record again
        lambda: doc.set_role_sub_roles("r7", ["r8"]),  # replaced by an equal one, at the end
    ]
    for n, step in enumerate(steps, 2):
        step()
        assert doc.version == n
        entry = memory_engine.history("RoleMatrix", "app")[-1]
        assert entry["change"] is not None and len(entry["change"]) < 400, entry
        assert stored(rm.RoleMatrix.load("app")) == stored(doc)
    change = json.loads(memory_engine.history("RoleMatrix", "app")[-1]["change"])
    assert change["lists"]["groups"]["remove"] == [5]  # r7 -> r8, after the two removed before it
    # Nothing changed: a change that changes nothing.
    doc.save()
    assert json.loads(memory_engine.history("RoleMatrix", "app")[-1]["change"]) == {}


@pytest.mark.parametrize("failure", ["conflict", "invalid", "store"])
def test_a_change_not_committed_leaves_the_snapshot(rm, memory_engine, monkeypatch, failure):
    doc = rm.RoleMatrix(name="app", policies=[rm.Policy(sub=f"r{i}", obj="o", act="a") for i in range(200)])
    doc.save()
    doc = rm.RoleMatrix.load("app")
    doc.set_role_permissions("r3", [])
    version = doc.version
    doc.policies = [p for p in doc.policies if p.sub not in ("r10", "r11")] + [rm.Policy(sub="n", obj="o", act="a")]
    if failure == "conflict":
        other = rm.RoleMatrix.load("app")
        other.policies.append(rm.Policy(sub="z", obj="o", act="a"))
        other.save()
        with pytest.raises(ConflictError):
            doc.save()
        snap = doc.__dict__["_changes_base"][3]
        assert [p.sub for p in snap[1]["policies"]] == [f"r{i}" for i in range(200) if i != 3]
        return
    if failure == "invalid":
        doc.policies.append(rm.Policy.__new__(rm.Policy))
        with pytest.raises(zarn_engine.ValidationError):
            doc.save()
        doc.policies.pop()
    else:
        real = type(memory_engine).commit
        monkeypatch.setattr(type(memory_engine), "commit",
                            lambda *a, **k: (_ for _ in ()).throw(zarn_engine.StorageError("down")))
        with pytest.raises(zarn_engine.StorageError):
            doc.save()
        monkeypatch.setattr(type(memory_engine), "commit", real)
    assert doc.version == version
    doc.save()  # the same change again, over the version the snapshot still holds
    change = json.loads(memory_engine.history("RoleMatrix", "app")[-1]["change"])
    assert change["lists"]["policies"]["remove"] == [9, 10]
    assert stored(rm.RoleMatrix.load("app")) == stored(doc)


def test_set_operations_come_out_small(rm, memory_engine):
    doc = rm.RoleMatrix(name="app", policies=[rm.Policy(sub=f"r{i}", obj="o", act="a") for i in range(5000)])
    doc.save()
    doc = rm.RoleMatrix.load("app")
    doc.set_role_permissions("r10", [{"obj": "x", "act": "y"}])  # rewrites the list, minus one, plus one
    entry = memory_engine.history("RoleMatrix", "app")[-1]
    change = json.loads(entry["change"])
    assert change["lists"]["policies"]["remove"] == [10]
    assert change["lists"]["policies"]["append"] == [{"sub": "r10", "obj": "x", "act": "y"}]
    assert change["was"]["lists"]["policies"] == [{"sub": "r10", "obj": "o", "act": "a"}]
    assert len(entry["change"]) < 300


def test_a_record_changed_in_place_is_written_whole(rm, memory_engine):
    doc = rm.RoleMatrix(name="app")
    doc.save()
    doc = rm.RoleMatrix.load("app")
    doc.policies[0].act = "write"  # the list still holds the same record: no delta sees it
    doc.save()
    assert memory_engine.history("RoleMatrix", "app")[-1]["change"] is None
    assert rm.RoleMatrix.load("app").policies[0].act == "write"


def test_a_delta_save_validates_what_it_brings(rm, memory_engine):
    doc = rm.RoleMatrix(name="app")
    doc.save()
    doc = rm.RoleMatrix.load("app")
    doc.groups.append(rm.Group.__new__(rm.Group))  # a record without its fields
    with pytest.raises(zarn_engine.ValidationError):
        doc.save()
    assert memory_engine.version("RoleMatrix", "app") == 1


# --- the stores ---------------------------------------------------------------------------------

def test_the_change_log_of_every_store(engine, rm):
    doc = rm.RoleMatrix(name="app")
    with changes.acting_as("ann"):
        assert doc.save() == 1
    doc.add_role_permissions("clerk", grant("clerk"))
    with changes.acting_as("bob"):
        doc.add_role_sub_roles("clerk", ["admin"])
    assert doc.version == 3
    log = engine.history("RoleMatrix", "app")
    assert [(e["version"], e["who"]) for e in log] == [(1, "ann"), (2, None), (3, "bob")]
    assert log[0]["change"] is None and log[0]["time"] <= log[2]["time"]
    assert [e["version"] for e in engine.history("RoleMatrix", "app", since_version=1)] == [2, 3]
    assert engine.history("RoleMatrix", "app", since_time=log[2]["time"] + 1) == []
    # The snapshot stays at version 1; loads apply the changes after it.
    assert engine.read("RoleMatrix", "app")[1:3] == (1, 3)
    assert engine.load("RoleMatrix", "app")[1] == 3
    assert json.loads(engine.load("RoleMatrix", "app")[0]) == doc.to_display()
    assert [v for v, _ in engine.changes_since("RoleMatrix", "app", 1)] == [2, 3]
    assert engine.changes_since("RoleMatrix", "app", 3) == []
    assert engine.changes_since("RoleMatrix", "app", 0) is None  # a whole write: not a change
    assert engine.changes_since("RoleMatrix", "other", 0) is None
    # The version check, and nothing written when it fails.
    with pytest.raises(ConflictError):
        engine.commit("RoleMatrix", "app", "{}", 2)
    with pytest.raises(ConflictError):
        engine.commit("RoleMatrix", "nothing", "{}", 1)
    assert engine.version("RoleMatrix", "app") == 3
    # A newer snapshot, never an older one; the current version stays.
    assert not engine.rebase("RoleMatrix", "app", "{}", 1)
    assert engine.rebase("RoleMatrix", "app", json.dumps(doc.to_display()), 3)
    assert engine.read("RoleMatrix", "app")[1:] == (3, 3, [])
    assert stored(rm.RoleMatrix.load("app")) == stored(doc)
    doc.set_role_permissions("clerk", [])
    fresh = rm.RoleMatrix.load("app")  # changes applied at load: the graph a whole load builds
    assert stored(fresh) == stored(doc) and fresh.dag == built(doc).dag
    # Delete and create again: the log does not bridge them.
    rm.RoleMatrix.delete("app")
    assert engine.history("RoleMatrix", "app") == []
    again = rm.RoleMatrix(name="app")
    assert again.save() == 5
    assert engine.changes_since("RoleMatrix", "app", 4) is None


def test_a_refused_commit_writes_nothing_and_the_store_goes_on(shared_url):
    engine = zarn_engine.open_engine(shared_url)
    try:
        version = engine.save("RoleMatrix", "app", "{}", None)
        with pytest.raises(zarn_engine.StorageError):  # text the store cannot hold
            engine.commit("RoleMatrix", "app", '{"x": "\ud800"}', version)
        with pytest.raises(ConflictError):
            engine.commit("RoleMatrix", "app", "{}", version + 1)
        assert engine.version("RoleMatrix", "app") == version and len(engine.history("RoleMatrix", "app")) == 1
        # On the same connection: a commit, a whole write, a read.
        assert engine.commit("RoleMatrix", "app", '{"fields": {}}', version) == version + 1
        assert engine.save("RoleMatrix", "app", "{}", version + 1) == version + 2
        assert [e["change"] for e in engine.history("RoleMatrix", "app")][1:] == ['{"fields": {}}', None]
        assert engine.changes_since("RoleMatrix", "app", version + 2) == []
    finally:
        engine.close()


def test_many_changes_make_a_new_snapshot(engine, rm, monkeypatch):
    monkeypatch.setattr(engines, "REBASE_COUNT", 5)
    doc = rm.RoleMatrix(name="app", policies=[rm.Policy(sub="r", obj=f"o{i}", act="a") for i in range(200)])
    doc.save()
    for i in range(5):
        doc.add_role_permissions("clerk", grant("clerk", obj=f"x{i}"))
    assert engine.read("RoleMatrix", "app")[1:3] == (1, 6)
    loaded = rm.RoleMatrix.load("app")  # applies 5, writes nothing
    assert engine.read("RoleMatrix", "app")[1:3] == (1, 6)
    loaded.add_role_permissions("clerk", grant("clerk", obj="x5"))  # the sixth: its writer writes the snapshot
    assert engine.read("RoleMatrix", "app")[1:] == (7, 7, [])
    doc = rm.RoleMatrix.load("app")
    doc.add_role_permissions("clerk", grant("clerk", obj="x6"))
    assert engine.read("RoleMatrix", "app")[1:3] == (7, 8)
    assert stored(loaded) != stored(doc) == stored(rm.RoleMatrix.load("app"))
    # Small changes to a small document: a snapshot after REBASE_LEAST of them, whatever their count.
    monkeypatch.setattr(engines, "REBASE_COUNT", 10**6)
    for i in range(engines.REBASE_LEAST - 2):  # with x6: one fewer than REBASE_LEAST
        doc.add_role_permissions("clerk", grant("clerk", obj=f"y{i}" + "-" * 100))
    assert engine.read("RoleMatrix", "app")[1] == 7
    doc.add_role_permissions("clerk", grant("clerk", obj="z" + "-" * 100))
    assert engine.read("RoleMatrix", "app")[1:3] == (7 + engines.REBASE_LEAST,) * 2


def test_retention_keeps_the_changes_after_the_snapshot(rm, store_url, monkeypatch):
    engine = zarn_engine.open_engine(store_url)
    engine.keep_changes, engine.keep_days = 10, 365
    doc = rm.RoleMatrix(name="app")
    doc.save(engine)
    monkeypatch.setattr(engines, "REBASE_COUNT", 10**6)
    monkeypatch.setattr(engines, "REBASE_SHARE", 0)
    for i in range(140):
        doc.add_role_permissions("clerk", grant("clerk", obj=f"o{i}"))
    # No snapshot written since version 1: every change after it is still there.
    assert [e["version"] for e in engine.history("RoleMatrix", "app")] == list(range(2, 142))
    monkeypatch.undo()
    for i in range(64):  # the first writes a new snapshot at 142
        doc = rm.RoleMatrix.load("app", engine=engine)
        doc.add_role_permissions("clerk", grant("clerk", obj=f"p{i}"))
    versions = [e["version"] for e in engine.history("RoleMatrix", "app")]
    assert versions[0] > 100 and versions[-1] == 205
    assert versions == list(range(versions[0], 206))
    assert stored(rm.RoleMatrix.load("app", engine=engine)) == stored(doc)


def test_retention_from_the_environment(monkeypatch, tmp_path):
    monkeypatch.setenv("ZARN_KEEP_CHANGES", "5")
    monkeypatch.setenv("ZARN_KEEP_DAYS", "0.5")
    engine = zarn_engine.MemoryEngine()
    assert (engine.keep_changes, engine.keep_days) == (5, 0.5)
    monkeypatch.setenv("ZARN_KEEP_DAYS", "soon")
    with pytest.raises(zarn_engine.ConfigurationError, match="ZARN_KEEP_DAYS"):
        zarn_engine.MemoryEngine()


def test_a_postgresql_database_of_an_earlier_release_converts(rm, request):
    from conftest import _postgres_schema_url

    import psycopg

    url = _postgres_schema_url(request, owner=True)
    with psycopg.connect(url, autocommit=True) as conn:
        conn.execute("CREATE TABLE zarn_documents (collection TEXT NOT NULL, key TEXT NOT NULL,"
                     " version BIGINT NOT NULL, data TEXT NOT NULL, PRIMARY KEY (collection, key))")
        conn.execute("CREATE TABLE zarn_retired (collection TEXT NOT NULL, key TEXT NOT NULL,"
                     " version BIGINT NOT NULL, PRIMARY KEY (collection, key))")
        conn.execute("INSERT INTO zarn_documents VALUES ('RoleMatrix', 'app', 7, %s)",
                     (json.dumps(rm.RoleMatrix(name="app").to_display()),))
    with pytest.raises(zarn_engine.SchemaTooOld, match="zarn-roles migrate"):
        zarn_engine.open_engine(url)
    assert zarn_engine.migrate(url) == (2, 1)
    engine = zarn_engine.open_engine(url)
    try:
        doc = rm.RoleMatrix.load("app", engine=engine)
        assert doc.version == 7
        doc.add_role_permissions("clerk", grant("clerk"))
        assert engine.read("RoleMatrix", "app")[1:3] == (7, 8)
        assert stored(rm.RoleMatrix.load("app", engine=engine)) == stored(doc)
        assert [v for v, _ in engine.changes_since("RoleMatrix", "app", 7)] == [8]
    finally:
        engine.close()


def test_a_database_of_an_earlier_release_loads_and_converts(rm, tmp_path):
    path = tmp_path / "old.sqlite3"
    with sqlite3.connect(path) as conn:
        conn.execute("CREATE TABLE documents (collection TEXT NOT NULL, key TEXT NOT NULL,"
                     " version INTEGER NOT NULL, data TEXT NOT NULL, PRIMARY KEY (collection, key))")
        conn.execute("CREATE TABLE retired (collection TEXT NOT NULL, key TEXT NOT NULL,"
                     " version INTEGER NOT NULL, PRIMARY KEY (collection, key))")
        conn.execute("INSERT INTO documents VALUES ('RoleMatrix', 'app', 7, ?)",
                     (json.dumps(rm.RoleMatrix(name="app").to_display()),))
    with pytest.raises(zarn_engine.SchemaTooOld, match="zarn-roles migrate"):
        zarn_engine.SQLiteEngine(path)
    assert zarn_engine.migrate(path) == (2, 1)
    engine = zarn_engine.SQLiteEngine(path)
    doc = rm.RoleMatrix.load("app", engine=engine)
    assert doc.version == 7 and engine.history("RoleMatrix", "app") == []
    doc.add_role_permissions("clerk", grant("clerk"))
    assert engine.read("RoleMatrix", "app")[1:3] == (7, 8)
    assert stored(rm.RoleMatrix.load("app", engine=engine)) == stored(doc)


# --- holders brought up to date ------------------------------------------------------------------

@pytest.mark.parametrize("mode", ["strict", "notify"])
def test_live_applies_changes_instead_of_loading(engine, rm, mode, monkeypatch):
    rm.RoleMatrix(name="app").save()
    with Live(rm.RoleMatrix, consistency=mode) as live:
        held = live.get("app")
        loads = []
        real = rm.RoleMatrix.load.__func__
        monkeypatch.setattr(rm.RoleMatrix, "load", classmethod(lambda cls, *a, **k: loads.append(1) or real(cls, *a, **k)))
        writer = real(rm.RoleMatrix, "app")
        writer.add_role_permissions("clerk", grant("clerk"))
        writer.add_role_sub_roles("boss", ["clerk"])
        version = writer.set_role_permissions("clerk", grant("clerk", act="write")) and writer.version
        doc = live.get("app", at_least=version)
        assert doc is held and doc.version == version and not loads
        assert stored(doc) == stored(writer)
        assert as_sets(doc, ["boss"]) == {("doc", "write")}
        rm.RoleMatrix.delete("app")
        time.sleep(0.3)  # heard by the feed
        with pytest.raises(DoesNotExist):
            live.get("app")
        rm.RoleMatrix(name="app").save()
        time.sleep(0.3)
        assert live.get("app").version == version + 1 and loads  # created again: loaded


@pytest.mark.parametrize("meanwhile", [1, 2])
def test_changes_another_thread_applied_meanwhile_are_skipped_not_loaded(engine, rm, monkeypatch, meanwhile):
    """A reader reads the changes since the held version while another thread (a writer
    bringing the held instance to its own save) applies the first of them, or all: it applies
    the rest, and loads nothing (a load of a large matrix takes seconds)."""
    rm.RoleMatrix(name="app").save()
    with Live(rm.RoleMatrix) as live:
        held = live.get("app")
        writer = rm.RoleMatrix.load("app")
        writer.add_role_permissions("clerk", grant("clerk"))
        writer.add_role_sub_roles("boss", ["clerk"])
        real_since = live.engine.changes_since

        def since(collection, key, version):
            found = real_since(collection, key, version)
            entry = live._entries[key]
            if found and entry.version == version:  # the other thread comes first
                changes.advance(entry.doc, found[:meanwhile])
                entry.version = found[meanwhile - 1][0]
            return found

        monkeypatch.setattr(live.engine, "changes_since", since)
        monkeypatch.setattr(live, "_load", lambda key: pytest.fail("loaded instead of brought on"))
        doc = live.get("app")
        assert doc is held and doc.version == writer.version
        assert stored(doc) == stored(writer) and as_sets(doc, ["boss"]) == {("doc", "read")}


def test_an_update_leaves_the_new_snapshot_to_a_thread_of_its_own(engine, rm, monkeypatch):
    """Past the bound of changes after the snapshot, the save of an update writes its change
    only; the live document writes its shared instance, as of one version, as the snapshot
    (writing a large matrix whole takes seconds), and loads read it with the changes after."""
    monkeypatch.setattr(engines, "REBASE_COUNT", 3)
    rm.RoleMatrix(name="app").save()
    whole = []
    real = persist.stored_text
    monkeypatch.setattr(persist, "stored_text", lambda doc: whole.append(doc) or real(doc))
    with Live(rm.RoleMatrix) as live:
        live.get("app")
        for n in range(9):
            live.update("app", lambda m: m.add_role_permissions("clerk", grant("clerk", obj=f"o{n}")))
            if n % 2:
                live.update("app", lambda m: m.set_role_permissions("clerk", grant("clerk", obj=f"o{n}")))
            if live._compactor is not None:
                live._compactor.join(10)
        _, snapshot, current, after = engine.read("RoleMatrix", "app")
        assert not whole and 1 < snapshot <= current and len(after) == current - snapshot
        writer = live._writers["app"][0]
        assert stored(rm.RoleMatrix.load("app")) == stored(writer) == stored(live.get("app"))


def test_holders_apply_removals_appends_and_rewrites(rm, memory_engine):
    """A list that loses records is a new list (a reader walking the old one sees it whole),
    one that only grows grows in place, one rewritten whole brings a new graph; each time
    the held matrix answers as a fresh load."""
    roles = [f"r{i}" for i in range(120)]
    doc = rm.RoleMatrix(name="app", policies=[rm.Policy(sub=r, obj="o", act=r) for r in roles],
                        groups=[rm.Group(child=r, parent=s) for r, s in zip(roles, roles[1:])])
    doc.save()
    live = Live(rm.RoleMatrix)
    held = live.get("app")
    walking = held.policies
    writer = rm.RoleMatrix.load("app")
    writer.set_role_permissions("r0", [{"obj": "x", "act": "y"}])  # the first one, and one appended
    assert live.get("app") is held and held.policies is not walking
    assert [p.act for p in walking] == roles  # the list a reader held: as it was
    grown = held.groups
    writer.add_role_sub_roles("r0", ["r5"])
    assert live.get("app") is held and held.groups is grown and held.groups[-1].parent == "r5"
    same_answers(held, built(writer))
    with writer.batch():  # most of both lists rewritten: written whole
        writer.set_role_sub_roles("r0", [])
        for r in roles[1:100]:
            writer.set_role_sub_roles(r, ["r0"])
            writer.set_role_permissions(r, [{"obj": "n", "act": r}])
    change = json.loads(memory_engine.history("RoleMatrix", "app")[-1]["change"])
    assert set(change["replace"]) == {"policies", "groups"}
    assert live.get("app") is held and held.version == writer.version
    same_answers(held, rm.RoleMatrix.load("app"))
    assert as_sets(held, ["r50"]) == {("n", "r50")} | as_sets(held, ["r0"])


def test_a_load_applies_the_changes_after_the_snapshot_in_place(rm, memory_engine, monkeypatch):
    monkeypatch.setattr(changes, "_IN_PLACE_RUNS", 2)  # both ways of cutting a list
    roles = [f"r{i}" for i in range(100)]
    doc = rm.RoleMatrix(name="app", policies=[rm.Policy(sub=r, obj="o", act=r) for r in roles])
    doc.save()
    doc = rm.RoleMatrix.load("app")
    for i in range(0, 40, 7):
        doc.set_role_permissions(f"r{i}", [])
    for step in (9, 20):  # five runs removed, then two
        with doc.batch():
            for i in range(50, 90, step):
                doc.set_role_permissions(f"r{i}", [{"obj": "p", "act": f"q{i}"}])
    assert engines.REBASE_COUNT > 10 and memory_engine.read("RoleMatrix", "app")[1] == 1
    graphs = []
    generate = rm.RoleMatrix._dag_generate
    monkeypatch.setattr(rm.RoleMatrix, "_dag_generate", lambda self: (graphs.append(self), generate(self)))
    fresh = rm.RoleMatrix.load("app")
    assert len(graphs) == 1 and graphs[0] is fresh  # one graph, made from the lists as changed
    same_answers(fresh, built(doc))
    text, version = memory_engine.load("RoleMatrix", "app")  # the store's own reading of the log
    assert version == doc.version and stored(rm.RoleMatrix._from_stored("app", text)) == stored(doc)


def test_a_snapshot_without_some_fields_takes_the_changes_after_it_as_built(rm, memory_engine):
    """A stored text that lacks a field (written by hand) is built first, the class filling
    the field in its own way, and the changes after it apply to that."""
    doc = rm.RoleMatrix(name="app")
    doc.save()
    doc.add_role_permissions("clerk", [{"obj": "o", "act": "r"}])
    entry = memory_engine._docs[("RoleMatrix", "app")]
    entry[0] = json.dumps({"name": "app"})  # the default grant and link are the class's to fill in
    loaded = rm.RoleMatrix.load("app")
    assert stored(loaded) == stored(doc)
    same_answers(loaded, built(doc))


def test_readers_see_a_change_wholly_or_not_at_all(rm, memory_engine):
    roles = [f"r{i}" for i in range(300)]
    doc = rm.RoleMatrix(name="app", policies=[rm.Policy(sub=r, obj="o", act=r) for r in roles],
                        groups=[rm.Group(child="top", parent=r) for r in roles])
    doc.save()
    live = Live(rm.RoleMatrix)
    held = live.get("app")
    before = as_sets(held, ["top"])
    after = before - {("o", "r7"), ("o", "r8")} | {("x", "y")}
    seen, stop, count = set(), threading.Event(), [0]

    def reader():
        while not stop.is_set():
            seen.add(frozenset(as_sets(held, ["top"])))
            count[0] += 1

    threads = [threading.Thread(target=reader) for _ in range(2)]
    for t in threads:
        t.start()
    try:
        for _ in range(20):
            writer = rm.RoleMatrix.load("app")
            with writer.batch():
                writer.add_role_permissions("z1", [{"obj": "x", "act": "y"}])
                writer.set_role_sub_roles("top", [r for r in roles if r not in ("r7", "r8")] + ["z1"])
            assert live.get("app") is held and as_sets(held, ["top"]) == after
            writer = rm.RoleMatrix.load("app")
            with writer.batch():
                writer.set_role_sub_roles("top", roles)
                writer.set_role_permissions("z1", [])
            assert live.get("app") is held and as_sets(held, ["top"]) == before
    finally:
        stop.set()
        for t in threads:
            t.join()
    assert count[0] > 10 and seen <= {frozenset(before), frozenset(after)}


# --- the same answers as a fresh load --------------------------------------------------------------

ROLES = ["aa", "bb", "cc", "dd", "admin", "root"]
PERMS = st.lists(st.builds(lambda o, a: {"obj": o, "act": a}, st.sampled_from("xyz"), st.sampled_from("rw")),
                 max_size=3)
STEP = st.one_of(
    st.tuples(st.just("add_role_permissions"), st.sampled_from(ROLES), PERMS),
    st.tuples(st.just("set_role_permissions"), st.sampled_from(ROLES), PERMS),
    st.tuples(st.just("add_role_sub_roles"), st.sampled_from(ROLES), st.lists(st.sampled_from(ROLES), max_size=3)),
    st.tuples(st.just("set_role_sub_roles"), st.sampled_from(ROLES), st.lists(st.sampled_from(ROLES), max_size=3)),
)


def same_answers(held, fresh):
    assert stored(held) == stored(fresh)  # the stored lists exactly, in order
    for key, row in held.dag.items():  # the graph as sets; keys it no longer needs have no edges
        assert set(row) == set(fresh.dag[key]) if key in fresh.dag else row == [], key
    assert set(fresh.dag) <= set(held.dag)
    for role in ROLES:
        assert as_sets(held, [role]) == as_sets(fresh, [role])


@given(st.lists(st.lists(STEP, min_size=1, max_size=3), max_size=12))
def test_changes_applied_answer_as_a_fresh_load(rm, batches):
    engine = zarn_engine.MemoryEngine()
    rm.RoleMatrix(name="app").save(engine)
    live = Live(rm.RoleMatrix, engine=engine)
    held = live.get("app")
    for batch in batches:
        writer = rm.RoleMatrix.load("app", engine=engine)
        try:
            with writer.batch():
                for name, role, arg in batch:
                    getattr(writer, name)(role, arg)
        except KeyError:
            continue  # refused by the matrix (an unknown role): nothing saved
        assert live.get("app") is held and held.version == writer.version
        same_answers(held, rm.RoleMatrix.load("app", engine=engine))
        same_answers(held, built(writer))


def test_readers_of_several_fields_read_one_version(rm, memory_engine):
    """The query index the console and the directory ask follows both lists of a change in
    one step: never half a change."""
    from zarn_user.web.snapshot import Snapshot

    rm.RoleMatrix(name="app").save()
    live = Live(rm.RoleMatrix)
    held = live.get("app")
    states, stop = set(), threading.Event()

    def reader():
        while not stop.is_set():
            snap = Snapshot(held)
            states.add(snap.index.counts()[:2])  # (policies, groups), in one answer

    thread = threading.Thread(target=reader)
    thread.start()
    try:
        for n in range(200):
            writer = rm.RoleMatrix.load("app")
            with writer.batch():  # one change, to both lists
                if n % 2 == 0:
                    writer.add_role_permissions("xx", [{"obj": "o", "act": "r"}])
                    writer.add_role_sub_roles("boss", ["xx"])
                else:
                    writer.set_role_sub_roles("boss", [])
                    writer.set_role_permissions("xx", [])
            live.get("app")
    finally:
        stop.set()
        thread.join()
    assert states <= {(1, 1), (2, 2)}, states  # neither of the change's records, or both
