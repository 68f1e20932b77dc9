"""Several documents in one transaction (save_all, Engine.save_many) on every store: all
committed or none, each with its own version check, log entry and notification."""

import pytest
import zarn_engine
from zarn_engine import ConflictError, Live, StorageError, Write, save_all
from zarn_user.users import Assignment, UserRoles


def users(app, *pairs):
    return UserRoles(app=app, assignments=[Assignment(user=u, role=r) for u, r in pairs])


def stored_pairs(app, engine):
    return [(a.user, a.role) for a in UserRoles.load(app, engine=engine).assignments]


def test_documents_commit_together_each_logged_as_its_own(engine, rm):
    first = users("one", ("ann", "clerk"))
    first.save()
    assert save_all([]) == []
    first.assignments.append(Assignment(user="bob", role="boss"))  # a change over version 1
    second = users("two", ("cy", "clerk"))  # new: written whole
    matrix = rm.RoleMatrix(name="one")
    v1, v2, v3 = save_all([first, second, matrix])
    assert (first.version, second.version, matrix.version) == (v1, v2, v3)
    assert stored_pairs("one", engine) == [("ann", "clerk"), ("bob", "boss")]
    assert stored_pairs("two", engine) == [("cy", "clerk")]
    assert [e["change"] is None for e in engine.history("UserRoles", "one")] == [True, False]
    assert [e["change"] is None for e in engine.history("UserRoles", "two")] == [True]
    # The instances build on what they committed: the next saves are changes again.
    first.assignments.append(Assignment(user="dee", role="clerk"))
    second.assignments.append(Assignment(user="eve", role="boss"))
    save_all([second, first])
    assert stored_pairs("one", engine)[-1] == ("dee", "clerk") and stored_pairs("two", engine)[-1] == ("eve", "boss")
    assert engine.history("UserRoles", "two")[-1]["change"] is not None
    # Written by the store as given: a change needs a version to follow.
    with pytest.raises(ValueError):
        Write("UserRoles", "one", "[]", None, change=True)
    with pytest.raises(ValueError):
        save_all([first, first])


def test_a_failed_check_or_write_leaves_nothing_and_the_instances_as_they_were(engine, monkeypatch):
    first = users("one", ("ann", "clerk"))
    first.save()
    before = engine.version("UserRoles", "one")
    first.assignments.append(Assignment(user="bob", role="boss"))
    stale = users("two")
    stale.save()
    UserRoles.load("two", engine=engine).save()  # another writer moved it on
    stale.assignments.append(Assignment(user="cy", role="clerk"))
    new = users("three", ("dee", "clerk"))
    with pytest.raises(ConflictError):
        save_all([first, new, stale])
    assert engine.version("UserRoles", "one") == before and engine.version("UserRoles", "three") is None
    assert stored_pairs("one", engine) == [("ann", "clerk")]

    # A store failure on the second write: the first one is not kept either.
    real, calls = type(engine)._put, []

    def failing(self, *args):
        calls.append(1)
        if len(calls) == 2:
            raise StorageError("the disk went away")
        return real(self, *args)

    monkeypatch.setattr(type(engine), "_put", failing)
    with pytest.raises(StorageError):
        save_all([first, new])
    monkeypatch.undo()
    assert engine.version("UserRoles", "one") == before and engine.version("UserRoles", "three") is None
    assert engine.keys("UserRoles") == ["one", "two"]
    assert len(engine.history("UserRoles", "one")) == 1
    # Nothing was taken as written: the same instances save what they hold.
    save_all([first, new])
    assert stored_pairs("one", engine) == [("ann", "clerk"), ("bob", "boss")]
    assert stored_pairs("three", engine) == [("dee", "clerk")]
    assert engine.version("UserRoles", "one") == before + 1


def test_store_writes_in_one_transaction_keep_versions_growing(engine):
    engine.save("Doc", "a", '{"x": 1}', None)
    engine.save("Doc", "b", '{"x": 1}', None)
    assert engine.delete("Doc", "b")
    va, vb = engine.save_many([Write("Doc", "a", '{"x": 2}', 1, "ann"), Write("Doc", "b", '{"x": 3}', None)])
    assert va == 2 and vb >= 2  # a key deleted and written again goes on from its last version
    assert engine.history("Doc", "a")[-1]["who"] == "ann"
    with pytest.raises(ConflictError):  # the same key twice: the second names the first's version
        engine.save_many([Write("Doc", "c", "{}", None), Write("Doc", "c", "{}", None)])
    assert engine.version("Doc", "c") is None
    assert engine.save_many([Write("Doc", "c", "{}", None), Write("Doc", "c", '{"y": 1}', 1)])[1] == 2
    assert engine.load("Doc", "c") == ('{"y": 1}', 2)


@pytest.mark.parametrize("mode", ["strict", "notify"])
def test_holders_see_every_document_of_the_transaction(engine, mode):
    one, two = users("one"), users("two")
    save_all([one, two])
    with Live(UserRoles, consistency=mode) as live:
        assert live.get("one").assignments == [] and live.get("two").assignments == []
        one.assignments.append(Assignment(user="ann", role="clerk"))
        two.assignments.append(Assignment(user="bob", role="boss"))
        v1, v2 = save_all([one, two])
        got = live.get("one", at_least=v1), live.get("two", at_least=v2)
        assert [d.version for d in got] == [v1, v2]
        assert [(a.user, a.role) for d in got for a in d.assignments] == [("ann", "clerk"), ("bob", "boss")]


def test_save_all_uses_the_store_it_is_given(tmp_path):
    memory = zarn_engine.MemoryEngine()
    doc = users("one", ("ann", "clerk"))
    save_all([doc], memory)
    assert memory.version("UserRoles", "one") == 1 and doc.version == 1
    doc.assignments.append(Assignment(user="bob", role="boss"))
    save_all([doc])  # the store it was saved to
    assert memory.version("UserRoles", "one") == 2
